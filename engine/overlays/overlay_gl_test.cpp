// Overlay drawing on a headless EGL context: pixels read back and compared
// with positions and colours worked out here from the projections.
//
// Set VOXA_OVERLAY_PNG_DIR to a folder to get a PNG of every frame checked.
#include "engine/overlays/overlay_gl.h"

#include "engine/overlays/bitmap_font.h"
#include "engine/overlays/bitmap_font_data.h"
#include "engine/context/pixel_files.h"
#include "engine/context/render_context.h"
#include "platform/test_support.h"

#include <GL/glu.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace voxa {
namespace {

using testing::FreshRoot;
using testing::PrivateXServer;
using testing::ScopedEnv;

struct Rgb {
    int r = 0, g = 0, b = 0;
};

std::ostream& operator<<(std::ostream& os, const Rgb& c) {
    return os << "(" << c.r << ", " << c.g << ", " << c.b << ")";
}

bool Near(const Rgb& a, const Rgb& b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kBlack{0, 0, 0};

struct Frame {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;  // rows bottom-up
    Rgb At(int x, int y) const {
        const size_t i = (static_cast<size_t>(y) * width + x) * 3;
        return {rgb[i], rgb[i + 1], rgb[i + 2]};
    }
};

// Window coordinate of a point of the plane z = -1 seen through
// glFrustum(-s, s, -s, s, 0.5, 1.5) from the origin: the plane shows -2s to
// 2s across the viewport.
double ScreenWindow(double v, double s, int size) { return (0.5 * v / s + 1.0) / 2.0 * size; }
// Pixel whose centre is nearest to a window coordinate.
int PixelAt(double window) { return static_cast<int>(std::floor(window)); }

// A perspective view worked out without GL: look-at plus a symmetric
// frustum of half width `half` at the near distance.
struct TestView {
    std::array<double, 3> eye, centre, up;
    double half, nearZ, farZ;
    int width, height;

    void Apply() const {
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glFrustum(-half, half, -half, half, nearZ, farZ);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        gluLookAt(eye[0], eye[1], eye[2], centre[0], centre[1], centre[2], up[0], up[1], up[2]);
    }
    // Window coordinates of a world point.
    std::array<double, 2> Project(const std::array<double, 3>& p) const {
        auto sub = [](auto a, auto b) {
            return std::array<double, 3>{a[0] - b[0], a[1] - b[1], a[2] - b[2]};
        };
        auto dot = [](auto a, auto b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; };
        auto cross = [](auto a, auto b) {
            return std::array<double, 3>{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                                         a[0] * b[1] - a[1] * b[0]};
        };
        auto unit = [&](auto a) {
            double n = std::sqrt(dot(a, a));
            return std::array<double, 3>{a[0] / n, a[1] / n, a[2] / n};
        };
        const auto f = unit(sub(centre, eye));
        const auto s = unit(cross(f, up));
        const auto u = cross(s, f);
        const auto d = sub(p, eye);
        const double xe = dot(s, d), ye = dot(u, d), depth = dot(f, d);
        const double xn = nearZ * xe / (half * depth), yn = nearZ * ye / (half * depth);
        return {(xn + 1) / 2 * width, (yn + 1) / 2 * height};
    }
};

// Expected pixels of a label drawn from raster window position (xw, yw):
// the glyph bits of the built-in font, 8 pixels apart.
struct LabelBox {
    int x0, y0, width, height;
    bool Contains(int x, int y) const {
        return x >= x0 && x < x0 + width && y >= y0 && y < y0 + height;
    }
};
LabelBox LabelBoxAt(double xw, double yw, size_t chars) {
    return {static_cast<int>(std::floor(xw)), static_cast<int>(std::floor(yw)) - kFontDescent,
            static_cast<int>(chars) * kFontWidth, kFontHeight};
}
bool GlyphBit(std::string_view text, const LabelBox& box, int x, int y) {
    const int i = (x - box.x0) / kFontWidth, col = (x - box.x0) % kFontWidth;
    const unsigned char c = static_cast<unsigned char>(text[static_cast<size_t>(i)]);
    if (c < kFontFirst || c > kFontLast) return false;
    return (kFontGlyphs[c - kFontFirst][y - box.y0] >> (7 - col)) & 1;
}


class OverlayGlTest : public ::testing::Test {
protected:
    void StartFrame(int width, int height, DisplayMode mode = DisplayMode::kHeadless) {
        m_process.SetDisplayMode(mode);
        m_context = std::make_unique<RenderContext>(m_process);
        const float center[3] = {0, 1, 0}, up[3] = {0, 0, 1}, normal[3] = {0, 1, 0};
        m_context->SetFrustum(center, up, normal, width, height, 1.0f);
        m_context->StartUp();
        ASSERT_TRUE(m_process.WindowUp());
        ASSERT_EQ(m_process.Window()->IsHeadless(), mode == DisplayMode::kHeadless);
        m_width = width;
        m_height = height;
        glViewport(0, 0, width, height);
        while (glGetError() != GL_NO_ERROR) {
        }
        m_drawer = std::make_unique<OverlayDrawer>(m_process.Window()->TextureNames()[0]);
    }

    static void ClearTo(const Rgb& c) {
        glClearColor(c.r / 255.0f, c.g / 255.0f, c.b / 255.0f, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        glClearColor(0, 0, 0, 1);
    }

    Frame Read(const char* pngName) {
        glFinish();
        Frame f{m_width, m_height, std::vector<uint8_t>(static_cast<size_t>(m_width) * m_height * 3)};
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadPixels(0, 0, m_width, m_height, GL_RGB, GL_UNSIGNED_BYTE, f.rgb.data());
        if (const char* dir = std::getenv("VOXA_OVERLAY_PNG_DIR")) {
            EXPECT_TRUE(WritePngImage(std::string(dir) + "/" + pngName + ".png", m_width, m_height, f.rgb).ok());
        }
        return f;
    }

    FreshRoot m_root;
    std::unique_ptr<PrivateXServer> m_server;  // window tests only; outlives the window
    RenderProcess m_process;
    std::unique_ptr<RenderContext> m_context;
    std::unique_ptr<OverlayDrawer> m_drawer;
    int m_width = 0, m_height = 0;
};

// A colour table running from red (entry 0) to blue (entry 255).
std::array<uint32_t, 256> RedToBlue() {
    std::array<uint32_t, 256> packed{};
    for (uint32_t i = 0; i < 256; ++i) packed[i] = (255 - i) | (i << 16) | (255u << 24);
    return packed;
}

// Bar colour expected at a window column: the linear filter between the
// two texels around it, red falling and blue rising one step per texel.
Rgb BarColourAt(int column, double s, int width) {
    const double xw = column + 0.5;
    const double x = ((xw / width) * 2 - 1) * 2 * s;
    const double u = std::clamp((x + 1.8) / 3.6 * 256 - 0.5, 0.0, 255.0);
    return {static_cast<int>(std::lround(255 - u)), 0, static_cast<int>(std::lround(u))};
}

// Grey 128 under the black backdrop of opacity 100.
constexpr Rgb kGrey{128, 128, 128};
constexpr int kUnderBackdrop = 78;  // 128 x (1 - 100/255) = 77.8

TEST_F(OverlayGlTest, ColourBarShowsTheColourTableAcrossTheScreenRatio) {
    StartFrame(1024, 512);
    ClearTo(kGrey);
    const auto packed = RedToBlue();
    const double s = 1.25;
    m_drawer->DrawColorBar(packed.data(), {}, static_cast<float>(s));
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    Frame f = Read("colour_bar_plain");
    // Without ticks the bar spans y -1.9 to -1.8; take its middle row.
    const int row = PixelAt(ScreenWindow(-1.85, s, 512));
    // Linear filtering in 8-bit weights: 3 steps of tolerance.
    for (double x : {-1.7, -1.0, -0.2, 0.5, 1.3, 1.75}) {
        const int column = PixelAt(ScreenWindow(x, s, 1024));
        SCOPED_TRACE(column);
        EXPECT_PRED3(Near, f.At(column, row), BarColourAt(column, s, 1024), 3) << f.At(column, row);
    }
    // Beyond the backdrop's ends (x = +-1.81) the frame is untouched.
    EXPECT_PRED3(Near, f.At(PixelAt(ScreenWindow(-1.83, s, 1024)) - 2, row), kGrey, 0);
    EXPECT_PRED3(Near, f.At(PixelAt(ScreenWindow(1.83, s, 1024)) + 2, row), kGrey, 0);
}

// Rows of a column whose colour is within tolerance of `colour`.
int CountRows(const Frame& f, int column, const Rgb& colour, int tolerance) {
    int n = 0;
    for (int y = 0; y < f.height; ++y) n += Near(f.At(column, y), colour, tolerance) ? 1 : 0;
    return n;
}

// Pixel rows whose centres lie between two window heights.
int RowsBetween(double low, double high) {
    return static_cast<int>(std::floor(high - 0.5) - std::ceil(low - 0.5)) + 1;
}

TEST_F(OverlayGlTest, ColourBarWithoutTicksIsAllThirtyTwoRowsTall) {
    StartFrame(1024, 512);
    ClearTo(kGrey);
    const auto packed = RedToBlue();
    m_drawer->DrawColorBar(packed.data(), {}, 1.0f);
    Frame f = Read("colour_bar_rows");
    const int column = PixelAt(ScreenWindow(0.0, 1, 1024));
    const Rgb colour = BarColourAt(column, 1, 1024);
    // All texture rows are coloured: the colour fills y -1.9 to -1.8.
    const double bottom = ScreenWindow(-1.9, 1, 512), top = ScreenWindow(-1.8, 1, 512);
    const int expected = RowsBetween(bottom, top);
    // The top edge meets the clamped border within a row: one row either way.
    EXPECT_NEAR(CountRows(f, column, colour, 4), expected, 1);
    for (int y = PixelAt(bottom) + 1; y < PixelAt(top); ++y)
        EXPECT_PRED3(Near, f.At(column, y), colour, 4) << "row " << y;
    // The backdrop shows a margin of 0.01 above and below, nothing beyond.
    EXPECT_PRED3(Near, f.At(column, PixelAt(ScreenWindow(-1.905, 1, 512))),
                 (Rgb{kUnderBackdrop, kUnderBackdrop, kUnderBackdrop}), 2);
    EXPECT_PRED3(Near, f.At(column, PixelAt(ScreenWindow(-1.795, 1, 512))),
                 (Rgb{kUnderBackdrop, kUnderBackdrop, kUnderBackdrop}), 2);
    EXPECT_PRED3(Near, f.At(column, PixelAt(ScreenWindow(-1.93, 1, 512))), kGrey, 0);
    EXPECT_PRED3(Near, f.At(column, PixelAt(ScreenWindow(-1.77, 1, 512))), kGrey, 0);
}

TEST_F(OverlayGlTest, ColourBarWithTicksHasSixteenColouredRowsAndWhiteMarksBelow) {
    StartFrame(1024, 512);
    ClearTo(kGrey);
    const auto packed = RedToBlue();
    // Two neighbouring ticks make a mark two texels wide; no labels.
    const std::vector<Tick> ticks = {{100, ""}, {101, ""}};
    m_drawer->DrawColorBar(packed.data(), ticks, 1.0f);
    Frame f = Read("colour_bar_tick_rows");

    // With ticks the bar runs from y -1.6 (texture row 0) to -1.9 (row 32):
    // rows 0-15 coloured down to -1.75, tick rows 16-23 down to -1.825.
    const double top = ScreenWindow(-1.6, 1, 512), colourEnd = ScreenWindow(-1.75, 1, 512),
                 tickEnd = ScreenWindow(-1.825, 1, 512), bottom = ScreenWindow(-1.9, 1, 512);
    const int plain = PixelAt(ScreenWindow(0.5, 1, 1024));
    const Rgb colour = BarColourAt(plain, 1, 1024);
    EXPECT_NEAR(CountRows(f, plain, colour, 4), RowsBetween(colourEnd, top), 1);
    for (int y = PixelAt(colourEnd) + 2; y < PixelAt(top) - 1; ++y)
        EXPECT_PRED3(Near, f.At(plain, y), colour, 4) << "row " << y;
    // Below the coloured rows the bar is clear: the backdrop shows.
    const Rgb backdrop{kUnderBackdrop, kUnderBackdrop, kUnderBackdrop};
    for (int y = PixelAt(bottom) + 1; y < PixelAt(colourEnd) - 1; ++y)
        EXPECT_PRED3(Near, f.At(plain, y), backdrop, 2) << "row " << y;

    // The mark: the middle of texels 100 and 101 is x = -1.8 + 101/256 x 3.6.
    const int mark = PixelAt(ScreenWindow(-1.8 + 101.0 / 256 * 3.6, 1, 1024));
    for (int y = PixelAt(tickEnd) + 2; y < PixelAt(colourEnd) - 1; ++y)
        EXPECT_PRED3(Near, f.At(mark, y), kWhite, 3) << "row " << y;
    EXPECT_NEAR(CountRows(f, mark, kWhite, 3), RowsBetween(tickEnd, colourEnd), 2);
    // Above the mark the column carries the colour of entry 100 or 101.
    const Rgb above = f.At(mark, PixelAt(ScreenWindow(-1.7, 1, 512)));
    EXPECT_NEAR(above.b, 100.5, 2) << above;
    EXPECT_NEAR(above.r, 154.5, 2) << above;
}

TEST_F(OverlayGlTest, TickLabelIsDrawnInWhiteAtItsRasterPositionOnly) {
    StartFrame(1024, 512);
    ClearTo(kGrey);
    const auto packed = RedToBlue();
    const std::string label = "Hi5";
    const std::vector<Tick> ticks = {{128, label}};
    m_drawer->DrawColorBar(packed.data(), ticks, 1.0f);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    Frame f = Read("colour_bar_label");
    // Raster position (128 x 0.0140625 - 1.85, -1.9, -1).
    const LabelBox box = LabelBoxAt(ScreenWindow(128 * 0.0140625 - 1.85, 1, 1024),
                                    ScreenWindow(-1.9, 1, 512), label.size());
    int glyphPixels = 0;
    for (int y = box.y0; y < box.y0 + box.height; ++y) {
        for (int x = 0; x < f.width; ++x) {
            const Rgb c = f.At(x, y);
            if (box.Contains(x, y) && GlyphBit(label, box, x, y)) {
                ++glyphPixels;
                ASSERT_PRED3(Near, c, kWhite, 0) << x << "," << y;
            } else if (y < PixelAt(ScreenWindow(-1.825, 1, 512))) {
                // Below the tick marks nothing else in the band is white.
                ASSERT_FALSE(Near(c, kWhite, 40)) << x << "," << y << " " << c;
            }
        }
    }
    EXPECT_GT(glyphPixels, 20);
}

TEST_F(OverlayGlTest, ColourBarWithScreenRatioZeroDrawsNothing) {
    StartFrame(64, 64);
    ClearTo(kGrey);
    const auto packed = RedToBlue();
    m_drawer->DrawColorBar(packed.data(), {}, 0.0f);
    m_drawer->DrawColorBar(packed.data(), {}, std::nanf(""));
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    Frame f = Read("colour_bar_zero_ratio");
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) ASSERT_PRED3(Near, f.At(x, y), kGrey, 0);
}

// ---- floor and box ----

TEST_F(OverlayGlTest, FloorCoversItsAreaWithBlackGridLines) {
    StartFrame(256, 256);
    const Rgb background{0, 0, 80};
    ClearTo(background);
    // Straight down from 20 above: the plane z = 0 shows -2.5 to 2.5.
    const TestView view{{0, 0, 20}, {0, 0, 0}, {0, 1, 0}, 0.125, 1, 100, 256, 256};
    view.Apply();
    // A tall volume: h = 10, so grid lines are 0.1 wide (5 pixels).
    const std::array<float, 6> limits = {-0.5f, 0.5f, -0.5f, 0.5f, 0.0f, 10.0f};
    FloorSettings floor;
    floor.red = 200, floor.green = 60, floor.blue = 30, floor.alpha = 255;
    floor.margin = 1.0f;  // the floor runs from -1.5 to 1.5
    floor.spacing = 0.5f;
    m_drawer->DrawFloorAndBox(OverlayPass::kFar, limits, {0, 0, 20}, floor, BoxSettings{});
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    Frame f = Read("floor");

    auto at = [&](double x, double y) {
        auto w = view.Project({x, y, 0});
        return f.At(PixelAt(w[0]), PixelAt(w[1]));
    };
    const Rgb floorColour{200, 60, 30};
    // Between grid lines: the floor colour (the texture is one colour).
    for (double x : {-1.25, -0.25, 0.75})
        for (double y : {-0.75, 0.25, 1.25}) EXPECT_PRED3(Near, at(x, y), floorColour, 1) << x << "," << y;
    // On the lines x = k/2 and y = k/2 for k = -3..3: black.
    for (int k = -3; k <= 3; ++k) {
        EXPECT_PRED3(Near, at(k * 0.5, 0.25), kBlack, 0) << "x line " << k;
        EXPECT_PRED3(Near, at(-0.75, k * 0.5), kBlack, 0) << "y line " << k;
    }
    // Beyond the floor (and its edge lines): the background.
    for (auto p : std::vector<std::array<double, 2>>{{1.7, 0.25}, {-1.7, 0.25}, {0.25, 1.7}, {2.2, 2.2}})
        EXPECT_PRED3(Near, at(p[0], p[1]), background, 0) << p[0] << "," << p[1];
    // Floor and lines cover the square from -1.5 to 1.5 and the outer
    // halves (0.05 wide) of the four edge lines: 9.6 square units.
    const auto lo = view.Project({-1.5, -1.5, 0}), hi = view.Project({1.5, 1.5, 0});
    const double perUnit = (hi[0] - lo[0]) / 3.0;  // 51.2 pixels
    int covered = 0;
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) covered += f.At(x, y).b == background.b ? 0 : 1;
    // Within a pixel row or column along the outline.
    EXPECT_NEAR(covered, 9.6 * perUnit * perUnit, 4 * 3.1 * perUnit);
}

TEST_F(OverlayGlTest, FloorIsDrawnInTheNearPassOnlyWhenTheEyeIsBelowIt) {
    StartFrame(64, 64);
    const Rgb background{0, 0, 80};
    ClearTo(background);
    const TestView view{{0, 0, 20}, {0, 0, 0}, {0, 1, 0}, 0.125, 1, 100, 64, 64};
    view.Apply();
    const std::array<float, 6> limits = {-0.5f, 0.5f, -0.5f, 0.5f, 0.0f, 10.0f};
    FloorSettings floor;
    floor.red = 255, floor.alpha = 255, floor.margin = 1.0f, floor.spacing = 100.0f;
    m_drawer->DrawFloorAndBox(OverlayPass::kNear, limits, {0, 0, 20}, floor, BoxSettings{});
    Frame f = Read("floor_near_pass");
    for (int y = 0; y < 64; y += 2)
        for (int x = 0; x < 64; x += 2) ASSERT_PRED3(Near, f.At(x, y), background, 0);
    // The same floor seen from below in the near pass is drawn.
    const TestView below{{0, 0, -20}, {0, 0, 0}, {0, 1, 0}, 0.125, 1, 100, 64, 64};
    below.Apply();
    m_drawer->DrawFloorAndBox(OverlayPass::kNear, limits, {0, 0, -20}, floor, BoxSettings{});
    Frame g = Read("floor_near_pass_below");
    const auto w = below.Project({0.7, 0.7, 0});
    EXPECT_PRED3(Near, g.At(PixelAt(w[0]), PixelAt(w[1])), (Rgb{255, 0, 0}), 0);
}

TEST_F(OverlayGlTest, HalfTransparentFloorBlendsOverTheFrame) {
    StartFrame(64, 64);
    ClearTo(Rgb{0, 0, 200});
    const TestView view{{0, 0, 20}, {0, 0, 0}, {0, 1, 0}, 0.125, 1, 100, 64, 64};
    view.Apply();
    const std::array<float, 6> limits = {-0.5f, 0.5f, -0.5f, 0.5f, 0.0f, 10.0f};
    FloorSettings floor;
    floor.red = 255, floor.alpha = 102, floor.margin = 1.0f, floor.spacing = 100.0f;  // no lines
    m_drawer->DrawFloorAndBox(OverlayPass::kFar, limits, {0, 0, 20}, floor, BoxSettings{});
    Frame f = Read("floor_blend");
    // 0.4 of red 255 over 0.6 of blue 200, away from the grid line at 0.
    const auto w = view.Project({0.7, -0.7, 0});
    const Rgb c = f.At(PixelAt(w[0]), PixelAt(w[1]));
    EXPECT_PRED3(Near, c, (Rgb{102, 0, 120}), 2) << c;
}

class BoxPassTest : public OverlayGlTest {
protected:
    // Eye outside the box beyond x = 1 and z = 1: the faces x = 1 and z = 1
    // face it (near pass), the others turn their inner side to it (far).
    const TestView m_view{{3, 0, 5}, {0, 0, 0}, {0, 1, 0}, 0.25, 1, 100, 512, 512};
    const std::array<float, 6> m_limits = {-1, 1, -1, 1, -1, 1};
    BoxSettings m_box{255, 255, 0, 255};
    Rgb m_background{0, 0, 90};

    Frame Draw(OverlayPass pass, const char* png) {
        StartFrame(512, 512);
        ClearTo(m_background);
        m_view.Apply();
        m_drawer->DrawFloorAndBox(pass, m_limits, {3, 0, 5}, FloorSettings{}, m_box);
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
        return Read(png);
    }
    Rgb At(const Frame& f, const std::array<double, 3>& p) const {
        auto w = m_view.Project(p);
        return f.At(PixelAt(w[0]), PixelAt(w[1]));
    }
};

// The edge (x = 1, z = 1) joins two near faces; (x = -1, z = -1) two far
// faces. Lines are 0.02 wide, about 3.5 pixels here.
TEST_F(BoxPassTest, FarPassDrawsTheFacesWhoseInnerSideHoldsTheEye) {
    Frame f = Draw(OverlayPass::kFar, "box_far");
    const Rgb yellow{255, 255, 0};
    for (double y : {-0.5, 0.2, 0.6}) {
        EXPECT_PRED3(Near, At(f, {-1, y, -1}), yellow, 0) << "far edge at y " << y;
        EXPECT_PRED3(Near, At(f, {1, y, 1}), m_background, 0) << "near edge at y " << y;
    }
    // Edges along x of the far faces y = +-1 at z = -1.
    EXPECT_PRED3(Near, At(f, {-0.5, 1, -1}), yellow, 0);
    EXPECT_PRED3(Near, At(f, {-0.5, -1, -1}), yellow, 0);
}

TEST_F(BoxPassTest, NearPassDrawsTheOtherFaces) {
    Frame f = Draw(OverlayPass::kNear, "box_near");
    const Rgb yellow{255, 255, 0};
    for (double y : {-0.5, 0.2, 0.6}) {
        EXPECT_PRED3(Near, At(f, {1, y, 1}), yellow, 0) << "near edge at y " << y;
        EXPECT_PRED3(Near, At(f, {-1, y, -1}), m_background, 0) << "far edge at y " << y;
    }
    // The top face's edges along x at y = +-1 are near; the bottom's are not.
    // ((-0.5, 1, -1) is seen through the top face's inside, clear of edges.)
    EXPECT_PRED3(Near, At(f, {-0.5, 1, 1}), yellow, 0);
    EXPECT_PRED3(Near, At(f, {-0.5, 1, -1}), m_background, 0);
}

TEST_F(BoxPassTest, BoxAlphaZeroDrawsNothing) {
    m_box.alpha = 0;
    Frame f = Draw(OverlayPass::kFar, "box_alpha_zero");
    for (int y = 0; y < 512; y += 3)
        for (int x = 0; x < 512; x += 3) ASSERT_PRED3(Near, f.At(x, y), m_background, 0);
}

// ---- statistics plots ----

// Middle of texel (column, row) of a plot image drawn on the quad from
// (x0, y0) to (x1, y1), as a pixel of a square frame of `size` with s = 1.
struct PlotMapping {
    double x0, y0, x1, y1;
    int columns, rows, size;
    int PixelX(double column) const {
        return PixelAt(ScreenWindow(x0 + (column + 0.5) / columns * (x1 - x0), 1, size));
    }
    int PixelY(double row) const {
        return PixelAt(ScreenWindow(y0 + (row + 0.5) / rows * (y1 - y0), 1, size));
    }
};

TEST_F(OverlayGlTest, CrossPlotColoursCellsByTheRampOfTheirCounts) {
    StartFrame(1024, 1024);
    ClearTo(kBlack);
    JointCounts joint;
    // Blocks of cells so the linear filter sees one count in the middle.
    auto fill = [&](int row0, int col0, uint64_t n) {
        for (int r = row0; r < row0 + 12; ++r)
            for (int c = col0; c < col0 + 12; ++c) joint.At(r, c) = n;
    };
    fill(100, 100, 10);   // ramp entry 33: (0, 160, 0)
    fill(180, 40, 100);   // ramp entry 65: (0, 0, 160)
    fill(40, 180, 1);     // ramp entry 1: black
    const std::vector<Tick> xTicks = {{128, "128"}}, yTicks = {{64, "64"}};
    m_drawer->DrawCrossPlot(joint, xTicks, yTicks);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    Frame f = Read("cross_plot");

    const PlotMapping m{-1.68, -1.78, 1.99, 1.9, 256, 256, 1024};
    EXPECT_PRED3(Near, f.At(m.PixelX(105.5), m.PixelY(105.5)), (Rgb{0, 160, 0}), 2);
    EXPECT_PRED3(Near, f.At(m.PixelX(45.5), m.PixelY(185.5)), (Rgb{0, 0, 160}), 2);
    EXPECT_PRED3(Near, f.At(m.PixelX(185.5), m.PixelY(45.5)), kBlack, 2);
    // Zero counts: ramp entry 0, white.
    EXPECT_PRED3(Near, f.At(m.PixelX(200), m.PixelY(200)), kWhite, 1);
    // Outside the plot: the white clear.
    EXPECT_PRED3(Near, f.At(5, 1020), kWhite, 0);
    EXPECT_PRED3(Near, f.At(1022, 500), kWhite, 0);
    // Border columns 0 and 255 and rows 0 and 255 are black. The engine's
    // textures clamp with a transparent border, so the outermost texels mix
    // with it: up to a quarter of white shows through (tolerance 64).
    for (int row : {30, 128, 220}) {
        EXPECT_PRED3(Near, f.At(m.PixelX(0), m.PixelY(row)), kBlack, 64) << row;
        EXPECT_PRED3(Near, f.At(m.PixelX(255), m.PixelY(row)), kBlack, 64) << row;
        EXPECT_PRED3(Near, f.At(m.PixelX(row), m.PixelY(0)), kBlack, 64) << row;
        EXPECT_PRED3(Near, f.At(m.PixelX(row), m.PixelY(255)), kBlack, 64) << row;
    }
    // Tick marks: rows 0-7 of column 128, columns 0-7 of row 64. A mark is
    // one texel (3.6 pixels) across; the sampled pixel centre lies within
    // half a pixel of the texel's middle, so up to 14% of the white
    // neighbour mixes in (tolerance 40).
    EXPECT_PRED3(Near, f.At(m.PixelX(128), m.PixelY(4)), kBlack, 40);
    EXPECT_PRED3(Near, f.At(m.PixelX(4), m.PixelY(64)), kBlack, 40);
    // Beside the mark the pixel samples between texels 129 and 130, both
    // white: a mark one texel too wide would make it half black.
    EXPECT_PRED3(Near, f.At(m.PixelX(129.5), m.PixelY(4)), kWhite, 2);

    // Labels in black: x label at (128 x 0.014335938 - 1.75, -1.9), y label
    // at (-1.99, 64 x 0.014374999 - 1.81).
    auto checkLabel = [&](const std::string& text, double x, double y) {
        const LabelBox box = LabelBoxAt(ScreenWindow(x, 1, 1024), ScreenWindow(y, 1, 1024), text.size());
        int glyph = 0;
        for (int py = box.y0; py < box.y0 + box.height; ++py)
            for (int px = box.x0; px < box.x0 + box.width; ++px) {
                if (GlyphBit(text, box, px, py)) {
                    ++glyph;
                    ASSERT_PRED3(Near, f.At(px, py), kBlack, 0) << text << " " << px << "," << py;
                } else {
                    ASSERT_PRED3(Near, f.At(px, py), kWhite, 0) << text << " " << px << "," << py;
                }
            }
        EXPECT_GT(glyph, 10) << text;
    };
    checkLabel("128", 128 * 0.014335938 - 1.75, -1.9);
    checkLabel("64", -1.99, 64 * 0.014374999 - 1.81);
}

TEST_F(OverlayGlTest, PdfPlotDrawsGreenBarsDecadesAndTheCaption) {
    StartFrame(1024, 1024);
    ClearTo(kBlack);
    SingleCounts counts{};
    for (int c = 100; c < 121; ++c) counts[c] = 1000;
    for (int c = 150; c < 171; ++c) counts[c] = 10;
    PdfPlot plot = m_drawer->DrawPdfPlot(counts, {});
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    Frame f = Read("pdf_plot");

    // Default x ticks 0..256 labelled with their positions: g = 1. S = 21210,
    // density of 1000 is 0.04715: decade trunc(log10(0.04715) + 100.9) - 100.
    const double sum = 21 * 1000 + 21 * 10;
    const int decade = static_cast<int>(std::log10(1000 / sum) + 100.9) - 100;
    ASSERT_EQ(decade, -1);
    EXPECT_EQ(plot.decade, decade);
    auto barTop = [&](double n) { return (std::log10(n / sum) - decade) * 100 + 500; };
    const PlotMapping m{-1.78, -1.78, 1.9, 1.9, 256, 512, 1024};
    const Rgb green{0, 160, 0};
    const double tall = barTop(1000), short_ = barTop(10);  // 467.3 and 267.3 rows
    EXPECT_PRED3(Near, f.At(m.PixelX(110), m.PixelY(200)), green, 2);
    EXPECT_PRED3(Near, f.At(m.PixelX(110), m.PixelY(tall - 4)), green, 2);
    EXPECT_PRED3(Near, f.At(m.PixelX(110), m.PixelY(tall + 4)), kWhite, 2);
    EXPECT_PRED3(Near, f.At(m.PixelX(160), m.PixelY(short_ - 4)), green, 2);
    EXPECT_PRED3(Near, f.At(m.PixelX(160), m.PixelY(short_ + 4)), kWhite, 2);
    EXPECT_PRED3(Near, f.At(m.PixelX(60), m.PixelY(200)), kWhite, 2);
    // Green columns are exactly 100-120 and 150-170 along a row near the foot.
    for (int c = 20; c < 236; ++c) {
        const bool bar = (c >= 100 && c <= 120) || (c >= 150 && c <= 170);
        const bool edge = c == 100 || c == 120 || c == 150 || c == 170 || c == 99 ||
                          c == 121 || c == 149 || c == 171;
        if (edge) continue;  // the linear filter mixes the neighbour in
        EXPECT_PRED3(Near, f.At(m.PixelX(c), m.PixelY(100.5) + 3), bar ? green : kWhite, 2) << c;
    }

    // The caption "Log PDF" at (-1.73, 1.598125) in black on the plot.
    const std::string caption = "Log PDF";
    const LabelBox box = LabelBoxAt(ScreenWindow(-1.73, 1, 1024), ScreenWindow(1.598125, 1, 1024),
                                    caption.size());
    int glyph = 0;
    for (int py = box.y0; py < box.y0 + box.height; ++py)
        for (int px = box.x0; px < box.x0 + box.width; ++px)
            if (GlyphBit(caption, box, px, py)) {
                ++glyph;
                ASSERT_PRED3(Near, f.At(px, py), kBlack, 0) << px << "," << py;
            }
    EXPECT_GT(glyph, 40);
    // A decade label: "-1" (D) at row 500, "-5" (D - 4) at row 100.
    ASSERT_EQ(plot.yTicks.size(), 5u);
    EXPECT_EQ(plot.yTicks.back().label, "-1");
    EXPECT_EQ(plot.yTicks.front().label, "-5");
    const LabelBox d = LabelBoxAt(ScreenWindow(-1.9, 1, 1024),
                                  ScreenWindow(500 * 0.0071874997 - 1.81, 1, 1024), 2);
    int black = 0;
    for (int py = d.y0; py < d.y0 + d.height; ++py)
        for (int px = d.x0; px < d.x0 + d.width; ++px) {
            black += Near(f.At(px, py), kBlack, 0) ? 1 : 0;
            ASSERT_EQ(Near(f.At(px, py), kBlack, 0), GlyphBit("-1", d, px, py)) << px << "," << py;
        }
    EXPECT_GT(black, 5);
}

// ---- font and state ----

TEST_F(OverlayGlTest, LabelDrawsGlyphsAndOnlyAdvancesOverUnknownCharacters) {
    StartFrame(128, 32);
    ClearTo(kBlack);
    m_drawer->EnsureFont();
    ASSERT_TRUE(m_drawer->FontReady());
    for (int c = 0; c < kFontListCount; ++c) ASSERT_TRUE(glIsList(kFontListBase + c)) << c;
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0, 128, 0, 32, -1, 1);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_BLEND);
    glColor3f(1, 0.5f, 0);
    const std::string text = "A\x01\xE9g|";
    OverlayDrawer::DrawLabel({10.25f, 8.5f, 0}, text);
    Frame f = Read("label");
    const Rgb orange{255, 128, 0};
    const LabelBox box = LabelBoxAt(10.25, 8.5, text.size());
    int lit = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 128; ++x) {
            const bool on = box.Contains(x, y) && GlyphBit(text, box, x, y);
            lit += on ? 1 : 0;
            ASSERT_PRED3(Near, f.At(x, y), on ? orange : kBlack, 1) << x << "," << y;
        }
    EXPECT_GT(lit, 30);
    // Nothing between the A and the g: the two unknown characters advanced.
    for (int y = 0; y < 32; ++y)
        for (int x = box.x0 + 8; x < box.x0 + 24; ++x) ASSERT_PRED3(Near, f.At(x, y), kBlack, 0);
}

TEST_F(OverlayGlTest, FontIsMadeAgainInANewContext) {
    StartFrame(32, 32);
    m_drawer->EnsureFont();
    ASSERT_TRUE(glIsList(kFontListBase + 'A'));
    // The window goes down and comes up again: a new GL context.
    m_context->ClearIt();
    m_context->StartUp();
    ASSERT_TRUE(m_process.WindowUp());
    EXPECT_FALSE(glIsList(kFontListBase + 'A'));
    m_drawer->EnsureFont();  // no stale mark: the missing lists are noticed
    EXPECT_TRUE(glIsList(kFontListBase + 'A'));
    m_drawer->FontStale();
    EXPECT_FALSE(m_drawer->FontReady());
    m_drawer->EnsureFont();
    EXPECT_TRUE(m_drawer->FontReady());
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(OverlayGlTest, PlotLabelsAreDrawnInAWindowToo) {
    m_server = std::make_unique<PrivateXServer>("640x480x24");
    if (!m_server->Ok()) GTEST_SKIP() << "Xvfb could not be started";
    StartFrame(256, 256, DisplayMode::kWindow);
    SingleCounts counts{};
    counts[40] = 7;
    m_drawer->DrawPdfPlot(counts, {});
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    Frame f = Read("pdf_plot_window");
    const std::string caption = "Log PDF";
    const LabelBox box = LabelBoxAt(ScreenWindow(-1.73, 1, 256), ScreenWindow(1.598125, 1, 256),
                                    caption.size());
    int glyph = 0;
    for (int py = box.y0; py < box.y0 + box.height; ++py)
        for (int px = box.x0; px < box.x0 + box.width; ++px)
            if (GlyphBit(caption, box, px, py)) {
                ++glyph;
                ASSERT_PRED3(Near, f.At(px, py), kBlack, 0) << px << "," << py;
            }
    EXPECT_GT(glyph, 40);
}

// What the frame pipeline may rely on after any overlay call.
struct GlSnapshot {
    std::array<GLfloat, 16> projection{}, modelview{}, texture{};
    GLint matrixMode = 0, binding = 0, listBase = 0, envMode = 0, unpackAlignment = 0;
    std::array<GLfloat, 4> colour{}, clear{};
    GLboolean texturing = 0, blending = 0, depth = 0;
    GLint blendSrc = 0, blendDst = 0;

    static GlSnapshot Take() {
        GlSnapshot s;
        glGetFloatv(GL_PROJECTION_MATRIX, s.projection.data());
        glGetFloatv(GL_MODELVIEW_MATRIX, s.modelview.data());
        glGetFloatv(GL_TEXTURE_MATRIX, s.texture.data());
        glGetIntegerv(GL_MATRIX_MODE, &s.matrixMode);
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &s.binding);
        glGetIntegerv(GL_LIST_BASE, &s.listBase);
        glGetTexEnviv(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, &s.envMode);
        glGetIntegerv(GL_UNPACK_ALIGNMENT, &s.unpackAlignment);
        glGetFloatv(GL_CURRENT_COLOR, s.colour.data());
        glGetFloatv(GL_COLOR_CLEAR_VALUE, s.clear.data());
        s.texturing = glIsEnabled(GL_TEXTURE_2D);
        s.blending = glIsEnabled(GL_BLEND);
        s.depth = glIsEnabled(GL_DEPTH_TEST);
        glGetIntegerv(GL_BLEND_SRC, &s.blendSrc);
        glGetIntegerv(GL_BLEND_DST, &s.blendDst);
        return s;
    }
    bool operator==(const GlSnapshot&) const = default;
};

TEST_F(OverlayGlTest, EveryOverlayLeavesTheCallersStateAsItFoundIt) {
    StartFrame(64, 64);
    // An unusual but legal state: texture matrix mode (as pixel read-back
    // leaves it), a scaled texture matrix, another texture bound, a
    // half-transparent colour, a grey clear colour, blending off.
    const TestView view{{0, 0, 20}, {0, 0, 0}, {0, 1, 0}, 0.125, 1, 100, 64, 64};
    view.Apply();
    glMatrixMode(GL_TEXTURE);
    glLoadIdentity();
    glScalef(2, 3, 1);
    glBindTexture(GL_TEXTURE_2D, m_process.Window()->TextureNames()[5]);
    glColor4f(0.25f, 0.5f, 0.75f, 0.5f);
    glClearColor(0.2f, 0.2f, 0.2f, 1);
    glDisable(GL_BLEND);
    glListBase(7);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    const GlSnapshot before = GlSnapshot::Take();

    const auto packed = RedToBlue();
    const std::vector<Tick> ticks = {{10, "a"}, {200, "b"}};
    FloorSettings floor;
    floor.alpha = 255;
    m_drawer->DrawFloorAndBox(OverlayPass::kFar, {-1, 1, -1, 1, -1, 1}, {0, 0, 20}, floor,
                              BoxSettings{255, 0, 0, 255});
    EXPECT_TRUE(GlSnapshot::Take() == before) << "floor and box";
    m_drawer->DrawColorBar(packed.data(), ticks, 1.0f);
    EXPECT_TRUE(GlSnapshot::Take() == before) << "colour bar";
    JointCounts joint;
    m_drawer->DrawCrossPlot(joint, ticks, ticks);
    EXPECT_TRUE(GlSnapshot::Take() == before) << "cross";
    SingleCounts counts{};
    counts[3] = 5;
    m_drawer->DrawPdfPlot(counts, ticks);
    EXPECT_TRUE(GlSnapshot::Take() == before) << "pdf";
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

}  // namespace
}  // namespace voxa
