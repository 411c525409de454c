#include "movie/frame_drawer.h"

#include <GL/glext.h>

#include <bit>
#include <cmath>
#include <cstring>

namespace voxa::movie {

namespace {

// A zoom this close to 1 is no zoom: the window is the frame's size.
bool IsUnitZoom(float expand) { return std::lround(expand * 1024) == 1024; }

// A whole zoom n (as close as the unit test above): each texel covers n x n
// pixels, and no pixel centre ((x + 0.5) / n texels) falls on a texel edge.
// At other zooms some centres do, and which texel they show is the
// driver's choice: those frames keep to glDrawPixels, so that they look as
// they always did.
int WholeZoom(float expand) {
    long n = std::lround(expand);
    return n >= 1 && n <= 64 && std::lround(expand * 1024) == n * 1024 ? static_cast<int>(n) : 0;
}

// RGB bytes to RGBA words with opaque alpha (R in the lowest byte: GL_RGBA
// bytes in memory), four pixels from three words at a time. The driver's own
// conversion of GL_RGB uploads goes byte by byte and takes about twice as
// long; with the texture in the same layout its upload is a plain copy.
void RgbToRgba(const uint8_t* rgb, uint32_t* rgba, size_t pixels) {
    constexpr uint32_t kAlpha = 0xFF000000u;
    size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; i + 4 <= pixels; i += 4, rgb += 12, rgba += 4) {
            uint32_t w0, w1, w2;  // r0 g0 b0 r1 | g1 b1 r2 g2 | b2 r3 g3 b3
            std::memcpy(&w0, rgb, 4);
            std::memcpy(&w1, rgb + 4, 4);
            std::memcpy(&w2, rgb + 8, 4);
            rgba[0] = w0 | kAlpha;
            rgba[1] = (w0 >> 24) | (w1 << 8) | kAlpha;
            rgba[2] = (w1 >> 16) | (w2 << 16) | kAlpha;
            rgba[3] = (w2 >> 8) | kAlpha;
        }
    }
    for (; i < pixels; ++i, rgb += 3, ++rgba) {
        uint8_t bytes[4] = {rgb[0], rgb[1], rgb[2], 0xFF};
        std::memcpy(rgba, bytes, 4);
    }
}

}  // namespace

const char* DrawPathName(DrawPath path) {
    switch (path) {
        case DrawPath::kBlit: return "blit";
        case DrawPath::kQuad: return "quad";
        case DrawPath::kDrawPixels: return "drawpixels";
    }
    return "?";
}

// Framebuffer entry points beyond GL 1.1; all null when the driver lacks one.
struct FrameDrawer::Entry {
    PFNGLGENFRAMEBUFFERSPROC GenFramebuffers = nullptr;
    PFNGLDELETEFRAMEBUFFERSPROC DeleteFramebuffers = nullptr;
    PFNGLBINDFRAMEBUFFERPROC BindFramebuffer = nullptr;
    PFNGLFRAMEBUFFERTEXTURE2DPROC FramebufferTexture2D = nullptr;
    PFNGLCHECKFRAMEBUFFERSTATUSPROC CheckFramebufferStatus = nullptr;
    PFNGLBLITFRAMEBUFFERPROC BlitFramebuffer = nullptr;

    bool Load(const GlWindow& w) {
        GenFramebuffers = reinterpret_cast<PFNGLGENFRAMEBUFFERSPROC>(w.ProcAddress("glGenFramebuffers"));
        DeleteFramebuffers =
            reinterpret_cast<PFNGLDELETEFRAMEBUFFERSPROC>(w.ProcAddress("glDeleteFramebuffers"));
        BindFramebuffer = reinterpret_cast<PFNGLBINDFRAMEBUFFERPROC>(w.ProcAddress("glBindFramebuffer"));
        FramebufferTexture2D =
            reinterpret_cast<PFNGLFRAMEBUFFERTEXTURE2DPROC>(w.ProcAddress("glFramebufferTexture2D"));
        CheckFramebufferStatus = reinterpret_cast<PFNGLCHECKFRAMEBUFFERSTATUSPROC>(
            w.ProcAddress("glCheckFramebufferStatus"));
        BlitFramebuffer = reinterpret_cast<PFNGLBLITFRAMEBUFFERPROC>(w.ProcAddress("glBlitFramebuffer"));
        bool all = GenFramebuffers && DeleteFramebuffers && BindFramebuffer && FramebufferTexture2D &&
                   CheckFramebufferStatus && BlitFramebuffer;
        if (!all) *this = Entry{};
        return all;
    }
    bool Loaded() const { return GenFramebuffers != nullptr; }
};

FrameDrawer::FrameDrawer(GlWindow& window) : m_window(window), m_gl(std::make_unique<Entry>()) {
    m_gl->Load(window);
}

FrameDrawer::~FrameDrawer() { DeleteObjects(); }

void FrameDrawer::DeleteObjects() {
    if (m_framebuffer != 0) m_gl->DeleteFramebuffers(1, &m_framebuffer);
    if (m_texture != 0) glDeleteTextures(1, &m_texture);
    m_framebuffer = 0;
    m_texture = 0;
    m_width = m_height = 0;
    m_staging = {};
}

bool FrameDrawer::MakeTexture() {
    DeleteObjects();
    GLint maxSize = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
    if (m_frameWidth > maxSize || m_frameHeight > maxSize) return false;
    while (glGetError() != GL_NO_ERROR) {
    }
    GLint boundTexture = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &boundTexture);
    glGenTextures(1, &m_texture);
    glBindTexture(GL_TEXTURE_2D, m_texture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
    // RGBA8 is the window's own format: the blit is a copy, and so is the
    // upload of RGBA bytes.
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, m_frameWidth, m_frameHeight, 0, GL_RGBA,
                 GL_UNSIGNED_BYTE, nullptr);
    glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(boundTexture));
    if (glGetError() != GL_NO_ERROR) {
        DeleteObjects();
        return false;
    }
    m_width = m_frameWidth;
    m_height = m_frameHeight;
    m_staging.resize(static_cast<size_t>(m_width) * m_height);
    if (m_gl->Loaded()) {
        GLint boundRead = 0;
        glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &boundRead);
        m_gl->GenFramebuffers(1, &m_framebuffer);
        m_gl->BindFramebuffer(GL_READ_FRAMEBUFFER, m_framebuffer);
        m_gl->FramebufferTexture2D(GL_READ_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D,
                                   m_texture, 0);
        glReadBuffer(GL_COLOR_ATTACHMENT0);
        bool complete =
            m_gl->CheckFramebufferStatus(GL_READ_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
        m_gl->BindFramebuffer(GL_READ_FRAMEBUFFER, static_cast<GLuint>(boundRead));
        if (!complete) {
            m_gl->DeleteFramebuffers(1, &m_framebuffer);
            m_framebuffer = 0;
        }
    }
    return true;
}

void FrameDrawer::Prepare(int width, int height, float expand, bool forceDrawPixels) {
    m_frameWidth = width;
    m_frameHeight = height;
    m_expand = expand > 0 ? expand : 1.0f;
    int zoom = WholeZoom(m_expand);
    if (zoom > 0) m_expand = static_cast<float>(zoom);
    bool haveTexture = !forceDrawPixels && zoom > 0 && width > 0 && height > 0 &&
                       ((m_texture != 0 && width == m_width && height == m_height) || MakeTexture());
    if (!haveTexture)
        m_path = DrawPath::kDrawPixels;
    else if (zoom == 1 && m_framebuffer != 0)
        m_path = DrawPath::kBlit;
    else
        m_path = DrawPath::kQuad;
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    if (IsUnitZoom(m_expand))
        glPixelZoom(1.0f, 1.0f);
    else
        glPixelZoom(m_expand, m_expand);
}

void FrameDrawer::Draw(const uint8_t* rgb) {
    if (m_frameWidth <= 0 || m_frameHeight <= 0) return;
    // The texture paths draw whole zooms only: frame x zoom pixels.
    bool covered = m_path != DrawPath::kDrawPixels &&
                   m_frameWidth * static_cast<int>(m_expand) >= m_window.Width() &&
                   m_frameHeight * static_cast<int>(m_expand) >= m_window.Height();
    if (!covered) glClear(GL_COLOR_BUFFER_BIT);
    if (m_path == DrawPath::kDrawPixels) {
        glRasterPos2f(-1.0f, -1.0f);
        glDrawPixels(m_frameWidth, m_frameHeight, GL_RGB, GL_UNSIGNED_BYTE, rgb);
        return;
    }
    GLint boundTexture = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &boundTexture);
    glBindTexture(GL_TEXTURE_2D, m_texture);
    RgbToRgba(rgb, m_staging.data(), m_staging.size());
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, m_frameWidth, m_frameHeight, GL_RGBA, GL_UNSIGNED_BYTE,
                    m_staging.data());
    if (m_path == DrawPath::kBlit) {
        GLint boundRead = 0;
        glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &boundRead);
        m_gl->BindFramebuffer(GL_READ_FRAMEBUFFER, m_framebuffer);
        m_gl->BlitFramebuffer(0, 0, m_frameWidth, m_frameHeight, 0, 0, m_frameWidth,
                              m_frameHeight, GL_COLOR_BUFFER_BIT, GL_NEAREST);
        m_gl->BindFramebuffer(GL_READ_FRAMEBUFFER, static_cast<GLuint>(boundRead));
    } else {
        DrawQuad();
    }
    glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(boundTexture));
}

void FrameDrawer::DrawQuad() {
    // Window coordinates 0 .. frame x zoom from the lower-left corner, in
    // the normalised coordinates of the identity matrices and the window's
    // viewport; texel centres (i + 0.5) / size land on the pixels that
    // glDrawPixels would give them.
    float x1 = -1.0f + 2.0f * m_frameWidth * m_expand / static_cast<float>(m_window.Width());
    float y1 = -1.0f + 2.0f * m_frameHeight * m_expand / static_cast<float>(m_window.Height());
    glPushAttrib(GL_ENABLE_BIT | GL_TEXTURE_BIT | GL_TRANSFORM_BIT);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    glDisable(GL_BLEND);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_ALPHA_TEST);
    glDisable(GL_STENCIL_TEST);
    glDisable(GL_SCISSOR_TEST);
    glDisable(GL_LIGHTING);
    glEnable(GL_TEXTURE_2D);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    glBegin(GL_QUADS);
    glTexCoord2f(0.0f, 0.0f);
    glVertex2f(-1.0f, -1.0f);
    glTexCoord2f(1.0f, 0.0f);
    glVertex2f(x1, -1.0f);
    glTexCoord2f(1.0f, 1.0f);
    glVertex2f(x1, y1);
    glTexCoord2f(0.0f, 1.0f);
    glVertex2f(-1.0f, y1);
    glEnd();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
    glPopAttrib();
}

}  // namespace voxa::movie
