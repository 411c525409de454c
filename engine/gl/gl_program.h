// GLSL programs on the compatibility context: the GL 2.0 shader entry
// points and the frame buffer object ones (loaded through
// eglGetProcAddress), and the compile-and-link step every program of the
// engine goes through.
//
// Made and used on the thread that owns the GL context.
#pragma once

#include "platform/status.h"

#include <GL/gl.h>
#include <GL/glext.h>

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
    PFNGLUNIFORM1FPROC Uniform1f = nullptr;
    PFNGLUNIFORM2FPROC Uniform2f = nullptr;
    PFNGLACTIVETEXTUREPROC ActiveTexture = nullptr;

    // False when the context lacks any of them.
    bool Load();
};

// Frame buffer objects (GL 3.0 / ARB_framebuffer_object).
struct GlFramebufferEntryPoints {
    PFNGLGENFRAMEBUFFERSPROC GenFramebuffers = nullptr;
    PFNGLDELETEFRAMEBUFFERSPROC DeleteFramebuffers = nullptr;
    PFNGLBINDFRAMEBUFFERPROC BindFramebuffer = nullptr;
    PFNGLFRAMEBUFFERTEXTURE2DPROC FramebufferTexture2D = nullptr;
    PFNGLGENRENDERBUFFERSPROC GenRenderbuffers = nullptr;
    PFNGLDELETERENDERBUFFERSPROC DeleteRenderbuffers = nullptr;
    PFNGLBINDRENDERBUFFERPROC BindRenderbuffer = nullptr;
    PFNGLRENDERBUFFERSTORAGEPROC RenderbufferStorage = nullptr;
    PFNGLFRAMEBUFFERRENDERBUFFERPROC FramebufferRenderbuffer = nullptr;
    PFNGLCHECKFRAMEBUFFERSTATUSPROC CheckFramebufferStatus = nullptr;
    PFNGLBLITFRAMEBUFFERPROC BlitFramebuffer = nullptr;

    // False when the context lacks any of them.
    bool Load();
};

// Vertex shader of the fixed-function pipeline's texturing: texture
// coordinates through the texture matrix, the vertex colour, ftransform().
inline constexpr char kFixedFunctionVertexShader[] = R"(#version 120
void main() {
    gl_TexCoord[0] = gl_TextureMatrix[0] * gl_MultiTexCoord0;
    gl_FrontColor = gl_Color;
    gl_Position = ftransform();
}
)";

// Compiles the two shaders and links them; `what` names the program in
// the failure text. The shaders are freed with the program.
Result<GLuint> BuildProgram(const GlShaderEntryPoints& gl, const char* vertexSource,
                            const char* fragmentSource, const char* what);

}  // namespace voxa
