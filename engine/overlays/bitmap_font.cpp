#include "engine/overlays/bitmap_font.h"

#include "engine/overlays/bitmap_font_data.h"

namespace voxa {

static_assert(kFontWidth == kFontAdvance, "one glyph byte per row of an 8-pixel cell");

const unsigned char* GlyphRows(unsigned char character) {
    if (character < kFontFirst || character > kFontLast) return nullptr;
    return kFontGlyphs[character - kFontFirst];
}

void CompileFontLists(GLuint base) {
    // The bitmaps are read at compile time with the unpack state in force:
    // make it the tightly packed default for the duration.
    glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
    glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
    glPixelStorei(GL_UNPACK_LSB_FIRST, GL_FALSE);
    glPixelStorei(GL_UNPACK_SWAP_BYTES, GL_FALSE);
    static constexpr unsigned char kNoPixels[1] = {0};
    for (int c = 0; c < kFontListCount; ++c) {
        glNewList(base + static_cast<GLuint>(c), GL_COMPILE);
        if (const unsigned char* rows = GlyphRows(static_cast<unsigned char>(c))) {
            glBitmap(kFontWidth, kFontHeight, 0.0f, static_cast<GLfloat>(kFontDescent),
                     static_cast<GLfloat>(kFontAdvance), 0.0f, rows);
        } else {
            glBitmap(0, 0, 0.0f, 0.0f, static_cast<GLfloat>(kFontAdvance), 0.0f, kNoPixels);
        }
        glEndList();
    }
    glPopClientAttrib();
}

}  // namespace voxa
