// OpenGL drawing of everything the engine shows besides the volume: the
// floor with its grid and the bounding box (in the panel's own view), the
// colour bar with its tick labels, and the two statistics plots ("cross",
// the joint histogram, and "pdf", the logarithmic probability density).
// The images, quads and label positions come from overlay_images.h; this
// class uploads the images into one engine texture and issues the GL calls.
//
// Labels use the built-in bitmap font (bitmap_font.h): display lists for
// characters 0-255 from base 1000, made once per GL context.
//
// GL state: every Draw* call sets the fixed-function state it needs (2-D
// texturing on with MODULATE, blending SRC_ALPHA / ONE_MINUS_SRC_ALPHA,
// depth test, culling, lighting, alpha test and fog off, tight pixel
// unpacking, an identity texture matrix) and restores on return what it
// found: enables, current colour and raster position, matrix mode and the
// three matrices, texture binding and environment, blend function, clear
// colour, list base and pixel-store state. The contents of the given
// texture are replaced, so the caller uploads its own image again before
// using that texture. The caller must have no shader program bound (the
// palette stand-in ended). The colour bar and the plots draw in the current
// viewport; the plots clear the whole colour and depth buffers first.
//
// Owned by the frame pipeline; called on the thread that owns the GL
// context, with the context current.
#pragma once

#include "engine/overlays/overlay_images.h"
#include "engine/overlays/overlay_settings.h"

#include <GL/gl.h>

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace voxa {

class OverlayDrawer {
public:
    // texture: the engine texture the overlay images are uploaded into.
    explicit OverlayDrawer(GLuint texture);

    // Floor with grid and bounding-box edges in world coordinates, through
    // the projection and modelview matrices in force (the panel's view).
    // kFar before the first brick of a frame, kNear after the last. limits:
    // xmin, xmax, ymin, ymax, zmin, zmax. Draws nothing when the floor alpha
    // plus the box alpha is 0. Floor and box each end with flush and finish.
    void DrawFloorAndBox(OverlayPass pass, const std::array<float, 6>& limits,
                         const std::array<float, 3>& eye, const FloorSettings& floor,
                         const BoxSettings& box);

    // The colour bar (the caller checks "ShowColorBar" > 0) from the packed
    // colour table, with the colour-bar ticks (marks and white labels) when
    // there are any. screenRatio is "ScreenRatio"; a ratio of 0 or one that
    // is not finite would make no projection, and nothing is drawn.
    void DrawColorBar(const uint32_t packed[256], std::span<const Tick> ticks, float screenRatio);

    // The "cross" plot over the whole buffer (cleared to white first) with
    // black x and y labels. The caller clears the x and y tick lists
    // afterwards.
    void DrawCrossPlot(const JointCounts& joint, std::span<const Tick> xTicks,
                       std::span<const Tick> yTicks);

    // The "pdf" plot over the whole buffer (cleared to white first). Its x
    // ticks are the colour-bar ticks, or 0, 64, 128, 192, 256 when there are
    // none; its y ticks are the five decades; the x and y tick lists of the
    // options are not used, and the caller clears them afterwards. Returns
    // the plot drawn (decade, ticks, image).
    PdfPlot DrawPdfPlot(const SingleCounts& counts, std::span<const Tick> colourBarTicks);

    // Marks the font as missing (the graphics set-up made a new context).
    void FontStale();
    // Makes the font lists unless they exist in the current context.
    void EnsureFont();
    bool FontReady() const { return m_fontReady; }

    // Draws text with the font lists at a raster position given in the
    // current model, view and projection (nothing when that position is
    // outside the view). Colour, texturing and blending are the caller's;
    // texts longer than 255 characters are cut. Leaves the list base 1000.
    static void DrawLabel(const Vertex3& rasterPos, std::string_view text);

private:
    void Upload(const RgbaImage& image);
    void DrawSolidQuads(std::span<const OverlayQuad> quads);

    GLuint m_texture = 0;
    bool m_fontReady = false;
};

}  // namespace voxa
