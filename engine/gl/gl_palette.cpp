#include "engine/gl/gl_palette.h"
#include "engine/gl/gl_state.h"

#include <EGL/egl.h>
#include <GL/glext.h>

#include <vector>

namespace voxa {

struct GlShaderEntryPoints {
    PFNGLCREATESHADERPROC CreateShader = nullptr;
    PFNGLSHADERSOURCEPROC ShaderSource = nullptr;
    PFNGLCOMPILESHADERPROC CompileShader = nullptr;
    PFNGLGETSHADERIVPROC GetShaderiv = nullptr;
    PFNGLGETSHADERINFOLOGPROC GetShaderInfoLog = nullptr;
    PFNGLDELETESHADERPROC DeleteShader = nullptr;
    PFNGLCREATEPROGRAMPROC CreateProgram = nullptr;
    PFNGLATTACHSHADERPROC AttachShader = nullptr;
    PFNGLLINKPROGRAMPROC LinkProgram = nullptr;
    PFNGLGETPROGRAMIVPROC GetProgramiv = nullptr;
    PFNGLGETPROGRAMINFOLOGPROC GetProgramInfoLog = nullptr;
    PFNGLDELETEPROGRAMPROC DeleteProgram = nullptr;
    PFNGLUSEPROGRAMPROC UseProgram = nullptr;
    PFNGLGETUNIFORMLOCATIONPROC GetUniformLocation = nullptr;
    PFNGLUNIFORM1IPROC Uniform1i = nullptr;
    PFNGLUNIFORM2FPROC Uniform2f = nullptr;
    PFNGLACTIVETEXTUREPROC ActiveTexture = nullptr;

    bool Load() {
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
        VOXA_LOAD(Uniform2f, PFNGLUNIFORM2FPROC, "glUniform2f");
        VOXA_LOAD(ActiveTexture, PFNGLACTIVETEXTUREPROC, "glActiveTexture");
#undef VOXA_LOAD
        return CreateShader && ShaderSource && CompileShader && GetShaderiv && GetShaderInfoLog &&
               DeleteShader && CreateProgram && AttachShader && LinkProgram && GetProgramiv &&
               GetProgramInfoLog && DeleteProgram && UseProgram && GetUniformLocation &&
               Uniform1i && Uniform2f && ActiveTexture;
    }
};

namespace {

constexpr char kVertexShader[] = R"(#version 120
void main() {
    gl_TexCoord[0] = gl_TextureMatrix[0] * gl_MultiTexCoord0;
    gl_FrontColor = gl_Color;
    gl_Position = ftransform();
}
)";

// Index i (stored as i/255) selects texel i of the 256-texel palette. As
// with a paletted texture, filtering happens after the look-up: the four
// index texels around the sample point (read at their centres, so exactly)
// are looked up and their colours blended bilinearly. With indexSize 0 the
// index is sampled as it comes (nearest filtering).
constexpr char kFragmentShader[] = R"(#version 120
uniform sampler2D indexTexture;
uniform sampler2D palette;
uniform vec2 indexSize;
vec4 Lookup(vec2 st) {
    float index = texture2D(indexTexture, st).r;
    return texture2D(palette, vec2((floor(index * 255.0 + 0.5) + 0.5) / 256.0, 0.5));
}
void main() {
    vec2 st = gl_TexCoord[0].st;
    vec4 colour;
    if (indexSize.x > 0.0) {
        vec2 t = clamp(st * indexSize - 0.5, vec2(0.0), indexSize - 1.0);
        vec2 f = fract(t);
        vec2 base = floor(t);
        vec2 next = min(base + 1.0, indexSize - 1.0);
        vec2 a = (base + 0.5) / indexSize;
        vec2 b = (next + 0.5) / indexSize;
        colour = mix(mix(Lookup(a), Lookup(vec2(b.x, a.y)), f.x),
                     mix(Lookup(vec2(a.x, b.y)), Lookup(b), f.x), f.y);
    } else {
        colour = Lookup(st);
    }
    gl_FragColor = colour * gl_Color;
}
)";


Result<GLuint> Compile(GlShaderEntryPoints& gl, GLenum type, const char* source) {
    GLuint shader = gl.CreateShader(type);
    gl.ShaderSource(shader, 1, &source, nullptr);
    gl.CompileShader(shader);
    GLint ok = GL_FALSE;
    gl.GetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (ok != GL_TRUE) {
        char log[1024] = "";
        gl.GetShaderInfoLog(shader, sizeof(log), nullptr, log);
        gl.DeleteShader(shader);
        return Failed(std::string("palette shader does not compile: ") + log);
    }
    return shader;
}

}  // namespace

GlPalette::GlPalette() : m_gl(std::make_unique<GlShaderEntryPoints>()) {}

Result<std::unique_ptr<GlPalette>> GlPalette::Create() {
    std::unique_ptr<GlPalette> p(new GlPalette());  // private constructor
    GlShaderEntryPoints& gl = *p->m_gl;
    if (!gl.Load()) return Unavailable("the context has no GL 2.0 shader entry points");
    VOXA_ASSIGN_OR_RETURN(GLuint vs, Compile(gl, GL_VERTEX_SHADER, kVertexShader));
    Result<GLuint> fs = Compile(gl, GL_FRAGMENT_SHADER, kFragmentShader);
    if (!fs.ok()) {
        gl.DeleteShader(vs);
        return fs.status();
    }
    p->m_program = gl.CreateProgram();
    gl.AttachShader(p->m_program, vs);
    gl.AttachShader(p->m_program, *fs);
    gl.LinkProgram(p->m_program);
    gl.DeleteShader(vs);  // freed with the program
    gl.DeleteShader(*fs);
    GLint ok = GL_FALSE;
    gl.GetProgramiv(p->m_program, GL_LINK_STATUS, &ok);
    if (ok != GL_TRUE) {
        char log[1024] = "";
        gl.GetProgramInfoLog(p->m_program, sizeof(log), nullptr, log);
        return Failed(std::string("palette program does not link: ") + log);
    }
    p->m_indexUniform = gl.GetUniformLocation(p->m_program, "indexTexture");
    p->m_paletteUniform = gl.GetUniformLocation(p->m_program, "palette");
    p->m_sizeUniform = gl.GetUniformLocation(p->m_program, "indexSize");

    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    glGenTextures(1, &p->m_paletteTexture);
    glBindTexture(GL_TEXTURE_2D, p->m_paletteTexture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    std::vector<float> zeros(kPaletteSize * 4, 0.0f);
    glTexImage2D(GL_TEXTURE_2D, 0, static_cast<GLint>(kGlRgba32f), kPaletteSize, 1, 0, GL_RGBA,
                 GL_FLOAT, zeros.data());
    glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(bound));
    return p;
}

GlPalette::~GlPalette() {
    if (m_paletteTexture != 0) glDeleteTextures(1, &m_paletteTexture);
    if (m_program != 0) m_gl->DeleteProgram(m_program);
}

void GlPalette::Load(const std::array<float, kPaletteSize * 4>& rgba) {
    GLint bound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &bound);
    glBindTexture(GL_TEXTURE_2D, m_paletteTexture);
    GL_CHECK(glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, kPaletteSize, 1, GL_RGBA, GL_FLOAT,
                             rgba.data()));
    glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(bound));
}

void GlPalette::Begin() {
    GlShaderEntryPoints& gl = *m_gl;
    gl.UseProgram(m_program);
    gl.Uniform1i(m_indexUniform, 0);
    gl.Uniform1i(m_paletteUniform, 1);
    gl.Uniform2f(m_sizeUniform, 0.0f, 0.0f);
    gl.ActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, m_paletteTexture);
    gl.ActiveTexture(GL_TEXTURE0);
}

void GlPalette::SetIndexSize(int width, int height) {
    m_gl->Uniform2f(m_sizeUniform, static_cast<float>(width), static_cast<float>(height));
}

void GlPalette::End() {
    GlShaderEntryPoints& gl = *m_gl;
    gl.ActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, 0);
    gl.ActiveTexture(GL_TEXTURE0);
    gl.UseProgram(0);
}

}  // namespace voxa
