// Texture palette for "UsePalet" where the paletted-texture extension
// ("glColorTableEXT") is missing: a fragment-shader palette look-up. Voxel
// bytes stay an 8-bit index texture (GL_LUMINANCE8, or GL_R8) on texture
// unit 0; the colour table is a 256 x 1 RGBA float texture on unit 1; the
// shader replaces each index by its table entry and multiplies by the
// vertex colour (the fixed-function "modulate" environment).
//
// The GL 2.0 shader entry points are loaded through eglGetProcAddress.
// Owns its program and palette texture; made and used on the thread that
// owns the GL context, destroyed while that context is current.
#pragma once

#include "platform/status.h"

#include <GL/gl.h>

#include <array>
#include <memory>
#include <string>

namespace voxa {

struct GlShaderEntryPoints;

// Entries of the palette texture: one per voxel byte.
inline constexpr int kPaletteSize = 256;

class GlPalette {
public:
    // Compiles and links the look-up program; fails when the context lacks
    // shaders or the program does not build.
    static Result<std::unique_ptr<GlPalette>> Create();
    ~GlPalette();
    GlPalette(const GlPalette&) = delete;
    GlPalette& operator=(const GlPalette&) = delete;

    // Loads 256 RGBA float entries (red, green, blue, opacity of entry 0,
    // then of entry 1, ...) into the palette texture.
    void Load(const std::array<float, kPaletteSize * 4>& rgba);
    // Starts drawing through the palette (program in use, palette bound on
    // unit 1, unit 0 active for the index texture); End restores the
    // fixed-function pipeline.
    void Begin();
    // Between Begin and End: the size of the index texture about to be
    // drawn, so that the shader filters linearly after the look-up (as a
    // paletted texture with linear filters does). Begin resets it to 0 x 0,
    // which samples the index texture as it is filtered.
    void SetIndexSize(int width, int height);
    // Between Begin and End: colours come out premultiplied by their
    // opacity (r*a, g*a, b*a, a), for front-to-back accumulation. Begin
    // turns it off.
    void SetPremultiplied(bool on);
    void End();
    GLuint Program() const { return m_program; }
    GLuint PaletteTexture() const { return m_paletteTexture; }

private:
    GlPalette();
    std::unique_ptr<GlShaderEntryPoints> m_gl;
    GLuint m_program = 0;
    GLuint m_paletteTexture = 0;
    GLint m_indexUniform = -1;
    GLint m_paletteUniform = -1;
    GLint m_sizeUniform = -1;
    GLint m_premultiplyUniform = -1;
};

}  // namespace voxa
