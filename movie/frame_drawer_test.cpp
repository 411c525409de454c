// Tests of the frame drawer: every path puts the frame's bytes on screen
// exactly where glDrawPixels with a pixel zoom puts them, read back from a
// headless window and compared with pixels computed here.
#include "movie/frame_drawer.h"

#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <string>
#include <vector>

namespace voxa::movie {
namespace {

using testing::ScopedEnv;

// Bytes that differ from pixel to pixel and channel to channel, so that a
// shifted row, a swapped channel or a lost byte shows.
std::vector<uint8_t> Pattern(int width, int height, int seed) {
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                rgb[(static_cast<size_t>(y) * width + x) * 3 + c] = static_cast<uint8_t>(
                    c == 0 ? x + seed : c == 1 ? 255 - y - seed : x * 13 + y * 7 + seed * 5);
    return rgb;
}

// The window as glDrawPixels at the lower-left corner with pixel zoom
// `zoom` leaves it: pixel (x, y) shows frame pixel (floor((x + 0.5) / zoom),
// floor((y + 0.5) / zoom)) where that lies in the frame, black elsewhere.
std::vector<uint8_t> Expected(const std::vector<uint8_t>& frame, int width, int height,
                              double zoom, int winWidth, int winHeight) {
    std::vector<uint8_t> out(static_cast<size_t>(winWidth) * winHeight * 3, 0);
    for (int y = 0; y < winHeight; ++y) {
        int sy = static_cast<int>(std::floor((y + 0.5) / zoom));
        if (sy >= height) continue;
        for (int x = 0; x < winWidth; ++x) {
            int sx = static_cast<int>(std::floor((x + 0.5) / zoom));
            if (sx >= width) continue;
            for (int c = 0; c < 3; ++c)
                out[(static_cast<size_t>(y) * winWidth + x) * 3 + c] =
                    frame[(static_cast<size_t>(sy) * width + sx) * 3 + c];
        }
    }
    return out;
}

struct DrawRig {
    ScopedEnv egl{"EGL_PLATFORM", "surfaceless"};
    std::unique_ptr<GlWindow> window;

    explicit DrawRig(int width, int height) {
        GlWindowRequest request;
        request.mode = DisplayMode::kHeadless;
        request.width = width;
        request.height = height;
        std::vector<std::string> failures;
        window = GlWindow::Create(request, &failures);
        if (window) {
            glMatrixMode(GL_PROJECTION);
            glLoadIdentity();
            glMatrixMode(GL_MODELVIEW);
            glLoadIdentity();
            glClearColor(0, 0, 0, 0);
            glDisable(GL_DITHER);
        }
    }
    // Draws into the back buffer, swaps and reads the front buffer.
    std::vector<uint8_t> Show(FrameDrawer& drawer, const std::vector<uint8_t>& frame) {
        window->SelectDrawBuffer(BufferRole::kBack);
        drawer.Draw(frame.data());
        window->SwapBuffers();
        std::vector<uint8_t> out(static_cast<size_t>(window->Width()) * window->Height() * 3);
        window->SelectReadBuffer(BufferRole::kFront);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, window->Width(), window->Height(), GL_RGB, GL_UNSIGNED_BYTE,
                     out.data());
        return out;
    }
};

int Mismatches(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size()) return -1;
    int n = 0;
    for (size_t i = 0; i < a.size(); ++i) n += a[i] != b[i];
    return n;
}

// For zooms that are not whole: pixels that are not the frame pixel the
// zoom puts there, give or take one texel (the driver rounds texel
// coordinates its own way there), or black inside the zoomed frame (its
// last row and column aside). The pattern tells a pixel's origin by its
// first two bytes.
int FarPixels(const std::vector<uint8_t>& got, const std::vector<uint8_t>& frame, int width,
              int height, int seed, double zoom, int winWidth, int winHeight) {
    int far = 0;
    for (int y = 0; y < winHeight; ++y)
        for (int x = 0; x < winWidth; ++x) {
            const uint8_t* p = &got[(static_cast<size_t>(y) * winWidth + x) * 3];
            int wantX = static_cast<int>(std::floor((x + 0.5) / zoom));
            int wantY = static_cast<int>(std::floor((y + 0.5) / zoom));
            bool inside = wantX < width - 1 && wantY < height - 1;
            if (p[0] == 0 && p[1] == 0 && p[2] == 0) {
                far += inside;
                continue;
            }
            int sx = p[0] - seed, sy = 255 - seed - p[1];
            bool real = sx >= 0 && sx < width && sy >= 0 && sy < height &&
                        std::equal(p, p + 3, &frame[(static_cast<size_t>(sy) * width + sx) * 3]);
            far += !real || std::abs(sx - wantX) > 1 || std::abs(sy - wantY) > 1;
        }
    return far;
}

TEST(FrameDrawer, EveryPathAndZoomShowsTheFramesPixelsExactly) {
    // An odd width: rows of RGB bytes are not 4-byte aligned.
    const int width = 37, height = 23;
    struct Case {
        float zoom;
        DrawPath path;
    };
    for (Case k : {Case{1.0f, DrawPath::kBlit}, Case{2.0f, DrawPath::kQuad},
                   Case{3.0f, DrawPath::kQuad}, Case{1.5f, DrawPath::kDrawPixels},
                   Case{0.5f, DrawPath::kDrawPixels}, Case{0.75f, DrawPath::kDrawPixels}}) {
        SCOPED_TRACE("zoom " + std::to_string(k.zoom));
        int winWidth = static_cast<int>(width * k.zoom + 0.5f);
        int winHeight = static_cast<int>(height * k.zoom + 0.5f);
        DrawRig rig(winWidth, winHeight);
        ASSERT_TRUE(rig.window);
        FrameDrawer drawer(*rig.window);
        FrameDrawer reference(*rig.window);
        drawer.Prepare(width, height, k.zoom);
        EXPECT_EQ(drawer.Path(), k.path) << DrawPathName(drawer.Path());
        reference.Prepare(width, height, k.zoom, /*forceDrawPixels=*/true);
        EXPECT_EQ(reference.Path(), DrawPath::kDrawPixels);
        // Several frames through the same texture: each replaces the last.
        for (int seed = 0; seed < 3; ++seed) {
            std::vector<uint8_t> frame = Pattern(width, height, seed);
            std::vector<uint8_t> want = Expected(frame, width, height, k.zoom, winWidth, winHeight);
            if (k.path == DrawPath::kDrawPixels) {
                EXPECT_EQ(FarPixels(rig.Show(drawer, frame), frame, width, height, seed, k.zoom,
                                    winWidth, winHeight),
                          0)
                    << "seed " << seed;
                continue;
            }
            EXPECT_EQ(Mismatches(rig.Show(drawer, frame), want), 0) << "seed " << seed;
            EXPECT_EQ(Mismatches(rig.Show(reference, frame), want), 0) << "seed " << seed;
        }
    }
}

TEST(FrameDrawer, WindowLargerThanTheFrameIsBlackAroundItAndSizesChange) {
    DrawRig rig(50, 30);
    ASSERT_TRUE(rig.window);
    FrameDrawer drawer(*rig.window);
    // First a frame that fills the window with light bytes ...
    std::vector<uint8_t> full(50 * 30 * 3, 200);
    drawer.Prepare(50, 30, 1.0f);
    EXPECT_EQ(Mismatches(rig.Show(drawer, full), full), 0);
    EXPECT_EQ(Mismatches(rig.Show(drawer, full), full), 0);  // both buffers light
    // ... then smaller frames: the texture is made anew, the rest is black.
    for (float zoom : {1.0f, 2.0f}) {
        SCOPED_TRACE("zoom " + std::to_string(zoom));
        drawer.Prepare(17, 9, zoom);
        std::vector<uint8_t> frame = Pattern(17, 9, 5);
        std::vector<uint8_t> want = Expected(frame, 17, 9, zoom, 50, 30);
        EXPECT_EQ(Mismatches(rig.Show(drawer, frame), want), 0);
        EXPECT_EQ(Mismatches(rig.Show(drawer, frame), want), 0);
    }
}

TEST(FrameDrawer, FrameWiderThanAnyTextureIsDrawnWithDrawPixels) {
    DrawRig rig(40, 2);
    ASSERT_TRUE(rig.window);
    GLint maxSize = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
    ASSERT_GT(maxSize, 0);
    const int width = maxSize + 1, height = 2;
    FrameDrawer drawer(*rig.window);
    drawer.Prepare(width, height, 1.0f);
    EXPECT_EQ(drawer.Path(), DrawPath::kDrawPixels);
    std::vector<uint8_t> frame = Pattern(width, height, 2);
    // The window shows the frame's lower-left 40 x 2 pixels.
    std::vector<uint8_t> want(40 * 2 * 3);
    for (int y = 0; y < 2; ++y)
        for (int i = 0; i < 40 * 3; ++i)
            want[static_cast<size_t>(y) * 40 * 3 + i] =
                frame[static_cast<size_t>(y) * width * 3 + i];
    EXPECT_EQ(Mismatches(rig.Show(drawer, frame), want), 0);
    // A sane size afterwards gets its texture.
    drawer.Prepare(40, 2, 1.0f);
    EXPECT_EQ(drawer.Path(), DrawPath::kBlit);
    EXPECT_EQ(Mismatches(rig.Show(drawer, want), want), 0);
}

}  // namespace
}  // namespace voxa::movie
