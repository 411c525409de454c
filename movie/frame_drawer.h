// Puts movie frames (RGB bytes, 3 per pixel, rows from the bottom, no row
// padding) into the back buffer of a GlWindow, at its lower-left corner,
// zoomed by the panel's "Expand".
//
// The bytes are widened to RGBA (our own loop) and go into a texture of the
// frame's size with glTexSubImage2D (the driver has taken them when the call
// returns, as with glDrawPixels) and from there into the window's frame:
//   kBlit        zoom 1: a framebuffer blit, texel for pixel; a software
//                rasterizer does it as a plain copy;
//   kQuad        a whole zoom n > 1: one textured quad with nearest
//                sampling, each texel covering n x n pixels from the corner,
//                the same pixels as glDrawPixels with that pixel zoom;
//   kDrawPixels  glDrawPixels with glPixelZoom: zooms that are not whole
//                (where pixel centres fall on texel edges, and the texel
//                shown is the driver's choice), frames larger than the
//                driver's textures, and when asked (to compare the paths).
// glDrawPixels of RGB bytes makes the driver allocate, convert and draw a
// whole new image for every frame (20-50 ms for 1080p in software, with
// long outliers); the texture is made once per frame size and refilled.
//
// Owns its texture and framebuffer. Made, used and destroyed on the thread
// whose context the window made current, and destroyed before the window.
// Changes no GL state that it does not restore, except the pixel zoom and
// unpack alignment that the drawing needs.
#pragma once

#include "engine/gl/gl_window.h"

#include <GL/gl.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace voxa::movie {

enum class DrawPath { kBlit, kQuad, kDrawPixels };

const char* DrawPathName(DrawPath path);

class FrameDrawer {
public:
    explicit FrameDrawer(GlWindow& window);
    ~FrameDrawer();
    FrameDrawer(const FrameDrawer&) = delete;
    FrameDrawer& operator=(const FrameDrawer&) = delete;

    // Frames of width x height from now on, shown at zoom expand (> 0).
    // Makes the texture when the size changes. With forceDrawPixels the
    // frames are drawn with glDrawPixels however the driver could do it.
    void Prepare(int width, int height, float expand, bool forceDrawPixels = false);
    DrawPath Path() const { return m_path; }

    // Draws a frame of the prepared size into the window's draw buffer;
    // the rest of the window (if the frame does not cover it) is cleared.
    void Draw(const uint8_t* rgb);

private:
    struct Entry;
    bool MakeTexture();
    void DeleteObjects();
    void DrawQuad();

    GlWindow& m_window;
    std::unique_ptr<Entry> m_gl;
    GLuint m_texture = 0;
    GLuint m_framebuffer = 0;
    int m_width = 0, m_height = 0;  // of the texture (0: none)
    std::vector<uint32_t> m_staging;  // the frame as RGBA, for the texture
    int m_frameWidth = 0, m_frameHeight = 0;
    float m_expand = 1.0f;
    DrawPath m_path = DrawPath::kDrawPixels;
};

}  // namespace voxa::movie
