#include "engine/gl/gl_program.h"

#include <EGL/egl.h>

#include <string>

namespace voxa {

bool GlShaderEntryPoints::Load() {
    auto get = [](const char* name) { return eglGetProcAddress(name); };
#define VOXA_LOAD(member, type, name) member = reinterpret_cast<type>(get(name))
    VOXA_LOAD(CreateShader, PFNGLCREATESHADERPROC, "glCreateShader");
    VOXA_LOAD(ShaderSource, PFNGLSHADERSOURCEPROC, "glShaderSource");
    VOXA_LOAD(CompileShader, PFNGLCOMPILESHADERPROC, "glCompileShader");
    VOXA_LOAD(GetShaderiv, PFNGLGETSHADERIVPROC, "glGetShaderiv");
    VOXA_LOAD(GetShaderInfoLog, PFNGLGETSHADERINFOLOGPROC, "glGetShaderInfoLog");
    VOXA_LOAD(DeleteShader, PFNGLDELETESHADERPROC, "glDeleteShader");
    VOXA_LOAD(CreateProgram, PFNGLCREATEPROGRAMPROC, "glCreateProgram");
    VOXA_LOAD(AttachShader, PFNGLATTACHSHADERPROC, "glAttachShader");
    VOXA_LOAD(LinkProgram, PFNGLLINKPROGRAMPROC, "glLinkProgram");
    VOXA_LOAD(GetProgramiv, PFNGLGETPROGRAMIVPROC, "glGetProgramiv");
    VOXA_LOAD(GetProgramInfoLog, PFNGLGETPROGRAMINFOLOGPROC, "glGetProgramInfoLog");
    VOXA_LOAD(DeleteProgram, PFNGLDELETEPROGRAMPROC, "glDeleteProgram");
    VOXA_LOAD(UseProgram, PFNGLUSEPROGRAMPROC, "glUseProgram");
    VOXA_LOAD(GetUniformLocation, PFNGLGETUNIFORMLOCATIONPROC, "glGetUniformLocation");
    VOXA_LOAD(Uniform1i, PFNGLUNIFORM1IPROC, "glUniform1i");
    VOXA_LOAD(Uniform1f, PFNGLUNIFORM1FPROC, "glUniform1f");
    VOXA_LOAD(Uniform2f, PFNGLUNIFORM2FPROC, "glUniform2f");
    VOXA_LOAD(ActiveTexture, PFNGLACTIVETEXTUREPROC, "glActiveTexture");
#undef VOXA_LOAD
    return CreateShader && ShaderSource && CompileShader && GetShaderiv && GetShaderInfoLog &&
           DeleteShader && CreateProgram && AttachShader && LinkProgram && GetProgramiv &&
           GetProgramInfoLog && DeleteProgram && UseProgram && GetUniformLocation && Uniform1i &&
           Uniform1f && Uniform2f && ActiveTexture;
}

bool GlFramebufferEntryPoints::Load() {
    auto get = [](const char* name) { return eglGetProcAddress(name); };
#define VOXA_LOAD(member, type, name) member = reinterpret_cast<type>(get(name))
    VOXA_LOAD(GenFramebuffers, PFNGLGENFRAMEBUFFERSPROC, "glGenFramebuffers");
    VOXA_LOAD(DeleteFramebuffers, PFNGLDELETEFRAMEBUFFERSPROC, "glDeleteFramebuffers");
    VOXA_LOAD(BindFramebuffer, PFNGLBINDFRAMEBUFFERPROC, "glBindFramebuffer");
    VOXA_LOAD(FramebufferTexture2D, PFNGLFRAMEBUFFERTEXTURE2DPROC, "glFramebufferTexture2D");
    VOXA_LOAD(GenRenderbuffers, PFNGLGENRENDERBUFFERSPROC, "glGenRenderbuffers");
    VOXA_LOAD(DeleteRenderbuffers, PFNGLDELETERENDERBUFFERSPROC, "glDeleteRenderbuffers");
    VOXA_LOAD(BindRenderbuffer, PFNGLBINDRENDERBUFFERPROC, "glBindRenderbuffer");
    VOXA_LOAD(RenderbufferStorage, PFNGLRENDERBUFFERSTORAGEPROC, "glRenderbufferStorage");
    VOXA_LOAD(FramebufferRenderbuffer, PFNGLFRAMEBUFFERRENDERBUFFERPROC,
              "glFramebufferRenderbuffer");
    VOXA_LOAD(CheckFramebufferStatus, PFNGLCHECKFRAMEBUFFERSTATUSPROC, "glCheckFramebufferStatus");
    VOXA_LOAD(BlitFramebuffer, PFNGLBLITFRAMEBUFFERPROC, "glBlitFramebuffer");
#undef VOXA_LOAD
    return GenFramebuffers && DeleteFramebuffers && BindFramebuffer && FramebufferTexture2D &&
           GenRenderbuffers && DeleteRenderbuffers && BindRenderbuffer && RenderbufferStorage &&
           FramebufferRenderbuffer && CheckFramebufferStatus && BlitFramebuffer;
}

namespace {

Result<GLuint> Compile(const GlShaderEntryPoints& gl, GLenum type, const char* source,
                       const char* what) {
    GLuint shader = gl.CreateShader(type);
    gl.ShaderSource(shader, 1, &source, nullptr);
    gl.CompileShader(shader);
    GLint ok = GL_FALSE;
    gl.GetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (ok != GL_TRUE) {
        char log[1024] = "";
        gl.GetShaderInfoLog(shader, sizeof(log), nullptr, log);
        gl.DeleteShader(shader);
        return Failed(std::string(what) + " shader does not compile: " + log);
    }
    return shader;
}

}  // namespace

Result<GLuint> BuildProgram(const GlShaderEntryPoints& gl, const char* vertexSource,
                            const char* fragmentSource, const char* what) {
    VOXA_ASSIGN_OR_RETURN(GLuint vs, Compile(gl, GL_VERTEX_SHADER, vertexSource, what));
    Result<GLuint> fs = Compile(gl, GL_FRAGMENT_SHADER, fragmentSource, what);
    if (!fs.ok()) {
        gl.DeleteShader(vs);
        return fs.status();
    }
    GLuint program = gl.CreateProgram();
    gl.AttachShader(program, vs);
    gl.AttachShader(program, *fs);
    gl.LinkProgram(program);
    gl.DeleteShader(vs);  // freed with the program
    gl.DeleteShader(*fs);
    GLint ok = GL_FALSE;
    gl.GetProgramiv(program, GL_LINK_STATUS, &ok);
    if (ok != GL_TRUE) {
        char log[1024] = "";
        gl.GetProgramInfoLog(program, sizeof(log), nullptr, log);
        gl.DeleteProgram(program);
        return Failed(std::string(what) + " program does not link: " + log);
    }
    return program;
}

}  // namespace voxa
