#include "engine/frame/front_to_back.h"
#include "engine/frame/slice_gl.h"
#include "engine/gl/gl_state.h"
#include "engine/gl/gl_window.h"

#include <gtest/gtest.h>

#include <GL/gl.h>

#include <array>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace voxa {
namespace {

constexpr int kSize = 64;

// A headless window, identity matrices, and a white 1 x 1 texture bound:
// slices then take the colour of the current vertex colour.
class FrontToBackTest : public ::testing::Test {
protected:
    void SetUp() override {
        GlWindowRequest request;
        request.mode = DisplayMode::kHeadless;
        request.width = kSize;
        request.height = kSize;
        std::vector<std::string> failures;
        m_window = GlWindow::Create(request, &failures);
        ASSERT_NE(m_window, nullptr) << "no GL context";
        ASSERT_TRUE(m_window->MakeCurrent());
        glViewport(0, 0, kSize, kSize);
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glGenTextures(1, &m_white);
        glBindTexture(GL_TEXTURE_2D, m_white);
        const unsigned char white[4] = {255, 255, 255, 255};
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, 1, 1, 0, GL_RGBA, GL_UNSIGNED_BYTE, white);
        glEnable(GL_TEXTURE_2D);
        glEnable(GL_BLEND);
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
        Result<std::unique_ptr<FrontToBack>> made = FrontToBack::Create();
        ASSERT_TRUE(made.ok()) << made.status().message();
        m_ftb = std::move(*made);
        DrainGlErrors();
    }
    void TearDown() override {
        m_ftb.reset();
        if (m_white != 0) glDeleteTextures(1, &m_white);
    }

    // The window cleared to `background` (opaque).
    static void ClearWindow(float r, float g, float b) {
        glClearColor(r, g, b, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);
    }
    // A quad over window pixels x0..x1 (exclusive), all rows.
    static void Quad(int x0, int x1, float r, float g, float b, float a) {
        Rect(x0, x1, 0, kSize, kSize, r, g, b, a);
    }
    // A quad over pixels [x0, x1) x [y0, y1) of a viewport of size x size.
    static void Rect(int x0, int x1, int y0, int y1, int size, float r, float g, float b, float a) {
        glColor4f(r, g, b, a);
        const float l = -1.0f + 2.0f * x0 / size, rr = -1.0f + 2.0f * x1 / size;
        const float bo = -1.0f + 2.0f * y0 / size, to = -1.0f + 2.0f * y1 / size;
        glBegin(GL_QUADS);
        glTexCoord2f(0.5f, 0.5f);
        glVertex2f(l, bo);
        glVertex2f(rr, bo);
        glVertex2f(rr, to);
        glVertex2f(l, to);
        glEnd();
    }
    static std::array<int, 3> Pixel(int x, int y) {
        unsigned char rgb[3] = {};
        PixelTransferScope transfer;
        glReadPixels(x, y, 1, 1, GL_RGB, GL_UNSIGNED_BYTE, rgb);
        return {rgb[0], rgb[1], rgb[2]};
    }
    static void ExpectPixel(int x, int y, std::array<double, 3> expected, const char* what) {
        const std::array<int, 3> got = Pixel(x, y);
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(got[static_cast<size_t>(c)], std::lround(expected[static_cast<size_t>(c)] * 255.0), 1)
                << what << " channel " << c << " at " << x << "," << y;
    }

    std::unique_ptr<GlWindow> m_window;
    std::unique_ptr<FrontToBack> m_ftb;
    GLuint m_white = 0;
};

TEST_F(FrontToBackTest, NearestFirstGivesTheImageOfBackToFrontOverTheWindow) {
    ClearWindow(0.0f, 0.0f, 1.0f);
    ASSERT_TRUE(m_ftb->BeginFrame(1, kSize, kSize).ok());
    m_ftb->BindPanel(0);
    m_ftb->BeginSlices();
    Quad(0, kSize, 1.0f, 0.0f, 0.0f, 0.5f);       // nearest: red, half opaque, everywhere
    Quad(0, kSize / 2, 0.0f, 1.0f, 0.0f, 0.5f);   // behind it: green, left half
    Quad(0, kSize / 4, 1.0f, 1.0f, 1.0f, 0.25f);  // farthest: white, left quarter
    m_ftb->EndSlices();
    EXPECT_TRUE(m_ftb->Used(0));
    m_ftb->Composite(0);
    // Back to front over blue, by hand: c' = a*c + (1 - a)*c.
    auto over = [](std::array<double, 3> dst, std::array<double, 3> c, double a) {
        for (int i = 0; i < 3; ++i) dst[static_cast<size_t>(i)] = a * c[static_cast<size_t>(i)] + (1 - a) * dst[static_cast<size_t>(i)];
        return dst;
    };
    const std::array<double, 3> blue{0, 0, 1}, red{1, 0, 0}, green{0, 1, 0}, white{1, 1, 1};
    ExpectPixel(5, 30, over(over(over(blue, white, 0.25), green, 0.5), red, 0.5), "three layers");
    ExpectPixel(24, 30, over(over(blue, green, 0.5), red, 0.5), "two layers");
    ExpectPixel(50, 30, over(blue, red, 0.5), "one layer");
    // The caller's blending and program are back.
    GLint src = 0, dst = 0, program = -1;
    glGetIntegerv(GL_BLEND_SRC, &src);
    glGetIntegerv(GL_BLEND_DST, &dst);
    glGetIntegerv(GL_CURRENT_PROGRAM, &program);
    EXPECT_EQ(src, GL_SRC_ALPHA);
    EXPECT_EQ(dst, GL_ONE_MINUS_SRC_ALPHA);
    EXPECT_EQ(program, 0);
    EXPECT_EQ(glIsEnabled(GL_STENCIL_TEST), GL_FALSE);
}

TEST_F(FrontToBackTest, OpaquePixelsAreMarkedAndTakeNothingMore) {
    ClearWindow(0.0f, 0.0f, 0.0f);
    ASSERT_TRUE(m_ftb->BeginFrame(1, kSize, kSize).ok());
    m_ftb->BindPanel(0);
    m_ftb->BeginSlices();
    Quad(0, 40, 1.0f, 1.0f, 1.0f, 1.0f);  // opaque white over x < 40
    Quad(0, kSize, 1.0f, 0.0f, 0.0f, 0.5f);
    m_ftb->MarkOpaque(ScissorBox{});  // the whole view
    // Nothing of x < 32 (two whole tiles) is open; from the tile that
    // holds x = 40, the first unmarked pixel, everything is.
    static_assert(FrontToBack::kTile == 16);
    EXPECT_TRUE(m_ftb->Open(ScissorBox{2, 3, 30, 40}).Empty());
    const ScissorBox open = m_ftb->Open(ScissorBox{10, 0, 50, kSize});
    EXPECT_EQ(open.x, 32);
    EXPECT_EQ(open.width, 28);
    EXPECT_EQ(open.height, kSize);
    // Behind them, a green layer: marked pixels take none of it.
    Quad(0, kSize, 0.0f, 1.0f, 0.0f, 1.0f);
    m_ftb->EndSlices();
    m_ftb->Composite(0);
    ExpectPixel(20, 10, {1, 1, 1}, "opaque white");
    ExpectPixel(50, 10, {0.5, 0.5, 0}, "red over green");

    // Not marked when the opacity is never reached: the layer behind shows
    // by the 1 - 254.75/255 left of it.
    ClearWindow(0.0f, 0.0f, 0.0f);
    m_ftb->SetOpaqueAlpha(1.5f);
    ASSERT_TRUE(m_ftb->BeginFrame(1, kSize, kSize).ok());
    m_ftb->BindPanel(0);
    m_ftb->BeginSlices();
    Quad(0, kSize, 1.0f, 1.0f, 1.0f, 1.0f);
    m_ftb->MarkOpaque(ScissorBox{});
    EXPECT_FALSE(m_ftb->Open(ScissorBox{0, 0, 8, 8}).Empty());
    m_ftb->EndSlices();
    m_ftb->Composite(0);
    ExpectPixel(20, 10, {1, 1, 1}, "opaque white, unmarked");
}

// A slice is drawn only over the rows of tiles still open, in at most
// kMaxPieces pieces that together hold every open tile of its box.
TEST_F(FrontToBackTest, SlicesAreCutToThePiecesStillOpen) {
    constexpr int T = FrontToBack::kTile;
    ClearWindow(0.0f, 0.0f, 0.0f);
    ASSERT_TRUE(m_ftb->BeginFrame(1, kSize, kSize).ok());
    m_ftb->BindPanel(0);
    m_ftb->BeginSlices();
    // Opaque: the bottom-left 2 x 2 tiles and the right-hand tile column.
    Rect(0, 2 * T, 0, 2 * T, kSize, 1.0f, 1.0f, 1.0f, 1.0f);
    Rect(3 * T, 4 * T, 0, kSize, kSize, 1.0f, 1.0f, 1.0f, 1.0f);
    m_ftb->MarkOpaque(ScissorBox{});
    std::vector<ScissorBox> pieces;
    m_ftb->OpenPieces(ScissorBox{0, 0, kSize, kSize}, &pieces);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ((std::array<int, 4>{pieces[0].x, pieces[0].y, pieces[0].width, pieces[0].height}),
              (std::array<int, 4>{2 * T, 0, T, 2 * T}));
    EXPECT_EQ((std::array<int, 4>{pieces[1].x, pieces[1].y, pieces[1].width, pieces[1].height}),
              (std::array<int, 4>{0, 2 * T, 3 * T, 2 * T}));
    // A box within the open column: one piece, the box itself.
    m_ftb->OpenPieces(ScissorBox{40, 8, 8, 50}, &pieces);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ((std::array<int, 4>{pieces[0].x, pieces[0].y, pieces[0].width, pieces[0].height}),
              (std::array<int, 4>{40, 8, 8, 50}));
    // A box wholly within opaque tiles: nothing.
    m_ftb->OpenPieces(ScissorBox{50, 10, 12, 40}, &pieces);
    EXPECT_TRUE(pieces.empty());
    m_ftb->EndSlices();

    // A larger panel whose rows of tiles alternate between two open spans:
    // more rows than pieces, so neighbours are joined.
    constexpr int kPanel = 16 * T;
    ASSERT_TRUE(m_ftb->BeginFrame(1, kPanel, kPanel).ok());
    glViewport(0, 0, kPanel, kPanel);
    m_ftb->BindPanel(0);
    m_ftb->BeginSlices();
    auto openFrom = [&](int ty) { return ty % 2 == 0 ? 4 : 8; };  // first open tile of a row
    for (int ty = 0; ty < 16; ++ty)
        Rect(0, openFrom(ty) * T, ty * T, (ty + 1) * T, kPanel, 1.0f, 1.0f, 1.0f, 1.0f);
    m_ftb->MarkOpaque(ScissorBox{});
    const ScissorBox box{T / 2, T / 2, kPanel - T, kPanel - T};
    m_ftb->OpenPieces(box, &pieces);
    EXPECT_EQ(static_cast<int>(pieces.size()), FrontToBack::kMaxPieces);
    int64_t area = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const ScissorBox& p = pieces[i];
        area += static_cast<int64_t>(p.width) * p.height;
        // Inside the box, bottom to top, never overlapping.
        EXPECT_GE(p.x, box.x);
        EXPECT_GE(p.y, box.y);
        EXPECT_LE(p.x + p.width, box.x + box.width);
        EXPECT_LE(p.y + p.height, box.y + box.height);
        if (i > 0) {
            EXPECT_EQ(p.y, pieces[i - 1].y + pieces[i - 1].height);
        }
    }
    // Every open pixel of the box is in a piece (checked on tile corners
    // and centres), and the pieces take fewer pixels than the box.
    for (int ty = 0; ty < 16; ++ty) {
        for (int x = openFrom(ty) * T; x < kPanel; x += T / 2) {
            const int y = ty * T + T / 2;
            if (x < box.x || x >= box.x + box.width || y < box.y || y >= box.y + box.height) continue;
            bool held = false;
            for (const ScissorBox& p : pieces)
                held |= x >= p.x && x < p.x + p.width && y >= p.y && y < p.y + p.height;
            EXPECT_TRUE(held) << x << "," << y;
        }
    }
    EXPECT_LT(area, static_cast<int64_t>(box.width) * box.height);
    m_ftb->EndSlices();
    glViewport(0, 0, kSize, kSize);
}

TEST_F(FrontToBackTest, EachPanelAccumulatesOnItsOwnAndStartsEmpty) {
    ClearWindow(0.0f, 0.0f, 0.0f);
    ASSERT_TRUE(m_ftb->BeginFrame(2, kSize, kSize).ok());
    m_ftb->BindPanel(0);
    m_ftb->BeginSlices();
    Quad(0, kSize, 1.0f, 0.0f, 0.0f, 1.0f);
    m_ftb->EndSlices();
    m_ftb->BindPanel(1);
    m_ftb->BeginSlices();
    Quad(0, kSize, 0.0f, 0.0f, 1.0f, 0.5f);
    m_ftb->EndSlices();
    EXPECT_TRUE(m_ftb->Used(0));
    EXPECT_TRUE(m_ftb->Used(1));
    m_ftb->Composite(1);
    ExpectPixel(10, 10, {0, 0, 0.5}, "panel 1 alone");
    m_ftb->Composite(0);
    ExpectPixel(10, 10, {1, 0, 0}, "panel 0 over it");

    // A new frame: nothing of the last one is left.
    ClearWindow(0.0f, 0.0f, 0.0f);
    ASSERT_TRUE(m_ftb->BeginFrame(2, kSize, kSize).ok());
    EXPECT_FALSE(m_ftb->Used(0));
    m_ftb->BindPanel(0);
    m_ftb->BeginSlices();
    Quad(0, kSize / 2, 0.0f, 1.0f, 0.0f, 1.0f);
    m_ftb->EndSlices();
    m_ftb->Composite(0);
    m_ftb->Composite(1);  // took nothing: leaves the window alone
    ExpectPixel(10, 10, {0, 1, 0}, "new frame, left");
    ExpectPixel(50, 10, {0, 0, 0}, "new frame, right");
}

}  // namespace
}  // namespace voxa
