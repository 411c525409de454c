// The engine's label font: the built-in 8 x 13 bitmap font turned into GL
// display lists, one per character 0-255, from list base 1000. A list draws
// its character with glBitmap at the current raster position and moves the
// raster position on by the character's advance, so labels are drawn with
// glRasterPos, glListBase(1000) and glCallLists, with or without a window.
// Characters the font has no glyph for (0-31, 127-255) only advance.
//
// The lists belong to the GL context that was current when they were made;
// a new context needs them made again. Call with a GL context current, on
// the thread that owns it.
#pragma once

#include <GL/gl.h>

namespace voxa {

inline constexpr GLuint kFontListBase = 1000;
inline constexpr int kFontListCount = 256;
// Every character advances the raster position by this many pixels.
inline constexpr int kFontAdvance = 8;

// The glyph rows of a character (bottom row first, one byte per row, high
// bit leftmost), or null when the font has no glyph for it.
const unsigned char* GlyphRows(unsigned char character);

// Compiles the 256 character lists from base (replacing lists of those
// names) and leaves the pixel unpack state as it was.
void CompileFontLists(GLuint base = kFontListBase);

}  // namespace voxa
