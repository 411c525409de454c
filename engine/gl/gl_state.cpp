#include "engine/gl/gl_state.h"

#include <cstdio>

namespace voxa {

int DrainGlErrors() {
    int cleared = 0;
    while (cleared < kMaxGlErrorReads && glGetError() != GL_NO_ERROR) ++cleared;
    return cleared;
}

int ReportGlErrors(const char* what, const char* file, int line) {
    int count = 0;
    for (GLenum e = glGetError(); e != GL_NO_ERROR && count < kMaxGlErrorReads;
         e = glGetError()) {
        std::fprintf(stderr, "%s:%d: GL error 0x%04X after %s\n", file, line,
                     static_cast<unsigned>(e), what);
        ++count;
    }
    return count;
}

PixelTransferScope::PixelTransferScope() {
    m_texture2d = glIsEnabled(GL_TEXTURE_2D);
    m_blend = glIsEnabled(GL_BLEND);
    glGetIntegerv(GL_MATRIX_MODE, &m_matrixMode);
    glGetIntegerv(GL_PACK_ALIGNMENT, &m_packAlignment);
    glGetIntegerv(GL_UNPACK_ALIGNMENT, &m_unpackAlignment);
    glMatrixMode(GL_TEXTURE);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_BLEND);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
}

PixelTransferScope::~PixelTransferScope() {
    glPixelStorei(GL_PACK_ALIGNMENT, m_packAlignment);
    glPixelStorei(GL_UNPACK_ALIGNMENT, m_unpackAlignment);
    glMatrixMode(static_cast<GLenum>(m_matrixMode));
    if (m_blend == GL_TRUE) glEnable(GL_BLEND);
    if (m_texture2d == GL_TRUE) glEnable(GL_TEXTURE_2D);
}

OverlayStateScope::OverlayStateScope(GLuint texture) {
    glPushAttrib(GL_CURRENT_BIT | GL_ENABLE_BIT | GL_TEXTURE_BIT | GL_COLOR_BUFFER_BIT |
                 GL_DEPTH_BUFFER_BIT | GL_LIST_BIT | GL_TRANSFORM_BIT | GL_POLYGON_BIT);
    glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
    glEnable(GL_TEXTURE_2D);
    glDisable(GL_TEXTURE_1D);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    glDisable(GL_LIGHTING);
    glDisable(GL_ALPHA_TEST);
    glDisable(GL_FOG);
    glDisable(GL_STENCIL_TEST);
    glDisable(GL_COLOR_LOGIC_OP);
    glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    glBindTexture(GL_TEXTURE_2D, texture);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
    glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
    glPixelStorei(GL_UNPACK_SWAP_BYTES, GL_FALSE);
    glMatrixMode(GL_TEXTURE);
    glPushMatrix();
    glLoadIdentity();
}

OverlayStateScope::~OverlayStateScope() {
    glMatrixMode(GL_TEXTURE);
    glPopMatrix();
    glPopClientAttrib();
    glPopAttrib();
}

UntexturedScope::UntexturedScope() {
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_BLEND);
}

UntexturedScope::~UntexturedScope() {
    glFlush();
    glFinish();
    glEnable(GL_BLEND);
    glEnable(GL_TEXTURE_2D);
}

}  // namespace voxa
