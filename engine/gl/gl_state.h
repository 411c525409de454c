// GL state in one place: the constants of the GL extensions the engine
// uses, the error drain, a debug-only call check, and the scopes that set
// the fixed-function state a piece of drawing needs and put back what the
// caller had when they end.
//
// All of it runs on the thread whose GL context is current.
#pragma once

#include <GL/gl.h>

namespace voxa {

// Extension constants (one definition each; the system GL headers of some
// drivers lack them).
inline constexpr GLenum kGlColorIndex8Ext = 0x80E5;  // GL_COLOR_INDEX8_EXT (paletted textures)
inline constexpr GLenum kGlRgba32f = 0x8814;         // GL_RGBA32F (float textures)

// Reads and clears the pending GL error flags, at most kMaxGlErrorReads of
// them (a lost context can report an error on every read). Returns how many
// were cleared.
inline constexpr int kMaxGlErrorReads = 64;
int DrainGlErrors();

// Debug builds: reports on stderr every GL error pending after `what`
// (bounded like DrainGlErrors) and returns how many there were. Used
// through GL_CHECK, which is a plain call in release builds.
int ReportGlErrors(const char* what, const char* file, int line);

#ifdef NDEBUG
#define GL_CHECK(call) call
#else
#define GL_CHECK(call)                                             \
    do {                                                           \
        call;                                                      \
        ::voxa::ReportGlErrors(#call, __FILE__, __LINE__);         \
    } while (0)
#endif

// Pixel transfers (glReadPixels, glDrawPixels): texturing and blending off,
// the texture matrix selected and rows packed and unpacked byte by byte.
// The caller's texture and blend switches, matrix mode and pack and unpack
// alignments come back on destruction.
class PixelTransferScope {
public:
    PixelTransferScope();
    ~PixelTransferScope();
    PixelTransferScope(const PixelTransferScope&) = delete;
    PixelTransferScope& operator=(const PixelTransferScope&) = delete;

private:
    GLboolean m_texture2d = GL_FALSE;
    GLboolean m_blend = GL_FALSE;
    GLint m_matrixMode = GL_MODELVIEW;
    GLint m_packAlignment = 4;
    GLint m_unpackAlignment = 4;
};

// The fixed-function state every overlay needs: texturing on with
// `texture` bound (modulated), alpha blending on, depth test, culling,
// lighting, alpha test, fog, stencil and logic ops off, filled polygons,
// tightly packed pixel rows, an identity texture matrix. The caller's state
// comes back on destruction (attribute stacks plus the texture matrix).
class OverlayStateScope {
public:
    explicit OverlayStateScope(GLuint texture);
    ~OverlayStateScope();
    OverlayStateScope(const OverlayStateScope&) = delete;
    OverlayStateScope& operator=(const OverlayStateScope&) = delete;
};

// Untextured, unblended drawing in the current colour (labels); flushes
// and switches texturing and blending back on when it ends.
class UntexturedScope {
public:
    UntexturedScope();
    ~UntexturedScope();
    UntexturedScope(const UntexturedScope&) = delete;
    UntexturedScope& operator=(const UntexturedScope&) = delete;
};

}  // namespace voxa
