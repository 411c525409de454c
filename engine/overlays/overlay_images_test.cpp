#include "engine/overlays/overlay_images.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace voxa {
namespace {

uint32_t Ch(uint32_t word, int c) { return (word >> (8 * c)) & 0xFFu; }

TEST(OverlayRamp, CountsMapToLogarithmicEntries) {
    EXPECT_EQ(RampEntry(0), 0);
    EXPECT_EQ(RampEntry(1), 1);
    EXPECT_EQ(RampEntry(9), 31);  // 1 + floor(32 * 0.954)
    EXPECT_EQ(RampEntry(10), 33);
    EXPECT_EQ(RampEntry(100), 65);
    EXPECT_EQ(RampEntry(1000), 97);
    EXPECT_EQ(RampEntry(100000000ull), 255);  // 257 capped
}

TEST(OverlayRamp, KnotsAndLinearSegments) {
    auto ramp = MakeRamp();
    EXPECT_EQ(ramp[0], RgbaWord(255, 255, 255, 255));
    EXPECT_EQ(ramp[1], RgbaWord(0, 0, 0, 255));
    EXPECT_EQ(ramp[33], RgbaWord(0, 160, 0, 255));
    EXPECT_EQ(ramp[65], RgbaWord(0, 0, 160, 255));
    EXPECT_EQ(ramp[97], RgbaWord(160, 0, 0, 255));
    EXPECT_EQ(ramp[129], RgbaWord(160, 160, 0, 255));
    EXPECT_EQ(ramp[161], RgbaWord(0, 160, 160, 255));
    EXPECT_EQ(ramp[193], RgbaWord(0, 255, 0, 255));
    EXPECT_EQ(ramp[225], RgbaWord(0, 0, 255, 255));
    EXPECT_EQ(ramp[17], RgbaWord(0, 80, 0, 255));  // halfway black -> green
    // Entry 255 lies 30/31 of the way from bright blue to bright red.
    EXPECT_NEAR(Ch(ramp[255], 0), 255.9 * 30 / 31, 1.0);
    EXPECT_NEAR(Ch(ramp[255], 2), 255.9 / 31, 1.0);
    for (uint32_t w : ramp) EXPECT_EQ(Ch(w, 3), 255u);
}

class ColorBarTest : public ::testing::Test {
protected:
    ColorBarTest() {
        for (int v = 0; v < 256; ++v) packed[v] = RgbaWord(v, 255 - v, v / 2, v % 7);
    }
    uint32_t packed[256];
};

TEST_F(ColorBarTest, WithoutTicksAllThirtyTwoRowsAreColoured) {
    ColorBarLayout layout = ColorBarLayoutFor(false);
    EXPECT_EQ(layout.colouredRows, 34);
    EXPECT_FLOAT_EQ(layout.y0, -1.8f);
    EXPECT_FLOAT_EQ(layout.margin, 0.01f);
    RgbaImage img = MakeColorBarImage(packed, {});
    ASSERT_EQ(img.width, 256);
    ASSERT_EQ(img.height, 32);
    for (int r = 0; r < 32; ++r)
        for (int c = 0; c < 256; ++c)
            ASSERT_EQ(img.At(c, r), RgbaWord(c, 255 - c, c / 2, 255)) << c << "," << r;
}

TEST_F(ColorBarTest, WithTicksSixteenRowsAndWhiteTickMarks) {
    std::vector<Tick> ticks = {MakeTick(0, "lo"), MakeTick(100, "mid"), MakeTick(300, "off")};
    ColorBarLayout layout = ColorBarLayoutFor(true);
    EXPECT_EQ(layout.colouredRows, 16);
    EXPECT_FLOAT_EQ(layout.y0, -1.6f);
    EXPECT_FLOAT_EQ(layout.margin, 0.05f);
    RgbaImage img = MakeColorBarImage(packed, ticks);
    for (int r = 0; r < 32; ++r) {
        for (int c = 0; c < 256; ++c) {
            uint32_t want = 0;
            if (r < 16) want = RgbaWord(c, 255 - c, c / 2, 255);
            else if (r <= 23 && (c == 0 || c == 100)) want = kOpaqueWhite;
            ASSERT_EQ(img.At(c, r), want) << c << "," << r;
        }
    }
    Vertex3 p = ColorBarLabelPosition(layout, 100);
    EXPECT_NEAR(p.x, 100 * 0.0140625 - 1.85, 1e-6);
    EXPECT_FLOAT_EQ(p.y, -1.9f);
}

TEST(ColorBar, QuadsPutTextureRowZeroAtTheTop) {
    ColorBarLayout layout = ColorBarLayoutFor(true);
    TexturedQuad bar = ColorBarQuad(layout);
    for (int v = 0; v < 4; ++v) {
        // Row 0 (t = 0) at y0 = -1.6, the last row (t = 1) at -1.9.
        float wantY = bar.tex[v][1] == 0.0f ? -1.6f : -1.9f;
        EXPECT_FLOAT_EQ(bar.corners[v].y, wantY);
        float wantX = bar.tex[v][0] == 0.0f ? -1.8f : 1.8f;
        EXPECT_FLOAT_EQ(bar.corners[v].x, wantX);
        EXPECT_FLOAT_EQ(bar.corners[v].z, -1.0f);
    }
    TexturedQuad back = ColorBarBackdropQuad(layout);
    EXPECT_FLOAT_EQ(back.corners[0].x, -1.85f);
    EXPECT_FLOAT_EQ(back.corners[0].y, -1.91f);
    EXPECT_FLOAT_EQ(back.corners[2].x, 1.85f);
    EXPECT_FLOAT_EQ(back.corners[2].y, -1.59f);
    TexturedQuad cross = CrossPlotQuad();
    EXPECT_FLOAT_EQ(cross.corners[0].x, -1.68f);
    EXPECT_FLOAT_EQ(cross.tex[0][1], 0.0f);  // row 0 at the bottom
    EXPECT_FLOAT_EQ(cross.corners[2].y, 1.9f);
    EXPECT_FLOAT_EQ(PdfPlotQuad().corners[0].x, -1.78f);
}

TEST(ColorBar, BackdropIsTranslucentBlack) {
    RgbaImage img = MakeColorBarBackdrop();
    ASSERT_EQ(img.texels.size(), 256u * 32u);
    for (uint32_t t : img.texels) ASSERT_EQ(t, RgbaWord(0, 0, 0, 100));
}

TEST(CrossPlot, CellsBordersAndTickMarks) {
    JointCounts joint;
    joint.At(5, 7) = 10;    // row: second byte 5, column: main byte 7
    joint.At(200, 40) = 1;
    joint.At(0, 9) = 1000;  // on the border row: black wins
    std::vector<Tick> xt = {MakeTick(100, "x")}, yt = {MakeTick(50, "y")};
    RgbaImage img = MakeCrossImage(joint, xt, yt);
    ASSERT_EQ(img.width, 256);
    ASSERT_EQ(img.height, 256);
    auto ramp = MakeRamp();
    EXPECT_EQ(img.At(7, 5), ramp[33]);
    EXPECT_EQ(img.At(40, 200), ramp[1]);
    EXPECT_EQ(img.At(8, 8), ramp[0]);  // empty cell: white
    EXPECT_EQ(img.At(9, 0), kOpaqueBlack);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(img.At(0, i), kOpaqueBlack);
        EXPECT_EQ(img.At(255, i), kOpaqueBlack);
        EXPECT_EQ(img.At(i, 255), kOpaqueBlack);
    }
    for (int r = 1; r < 8; ++r) EXPECT_EQ(img.At(100, r), kOpaqueBlack);
    EXPECT_EQ(img.At(100, 8), ramp[0]);
    for (int c = 1; c < 8; ++c) EXPECT_EQ(img.At(c, 50), kOpaqueBlack);
    EXPECT_EQ(img.At(8, 50), ramp[0]);
}

TEST(PdfPlot, DefaultTicksDecadeAndBars) {
    SingleCounts counts{};
    counts[10] = 30;
    counts[20] = 10;
    PdfPlot plot = MakePdfPlot(counts, {});
    EXPECT_EQ(plot.maxCount, 30u);
    EXPECT_EQ(plot.sum, 40u);
    EXPECT_DOUBLE_EQ(plot.g, 1.0);  // labels 0 .. 256 over positions 0 .. 256
    EXPECT_EQ(plot.decade, 0);      // log10(0.75) = -0.12
    ASSERT_EQ(plot.xTicks.size(), 5u);
    EXPECT_EQ(plot.xTicks[2].position, 128);
    EXPECT_EQ(plot.xTicks[2].label, "128");
    ASSERT_EQ(plot.yTicks.size(), 5u);
    EXPECT_EQ(plot.yTicks[0].position, 100);
    EXPECT_EQ(plot.yTicks[0].label, "-4");
    EXPECT_EQ(plot.yTicks[4].position, 500);
    EXPECT_EQ(plot.yTicks[4].label, "0");

    const RgbaImage& img = plot.image;
    ASSERT_EQ(img.width, 256);
    ASSERT_EQ(img.height, 512);
    const uint32_t green = RgbaWord(0, 160, 0, 255);
    // Column 10: (log10(0.75) + 0)*100 + 500 = 487.5 -> rows 2..486 green.
    int top10 = static_cast<int>(std::log10(0.75) * 100 + 500);
    EXPECT_EQ(img.At(10, 2), green);
    EXPECT_EQ(img.At(10, top10 - 1), green);
    EXPECT_EQ(img.At(10, top10), kOpaqueWhite);
    int top20 = static_cast<int>(std::log10(0.25) * 100 + 500);
    EXPECT_EQ(img.At(20, top20 - 1), green);
    EXPECT_EQ(img.At(20, top20), kOpaqueWhite);
    EXPECT_EQ(img.At(30, 100 + 1), kOpaqueWhite);  // no count: white
    for (int r : {0, 1, 510, 511}) EXPECT_EQ(img.At(30, r), kOpaqueBlack);
    for (int c = 0; c < 8; ++c) EXPECT_EQ(img.At(c, 300), kOpaqueBlack);
    EXPECT_EQ(img.At(8, 300), kOpaqueWhite);
    for (int r = 0; r < 16; ++r) EXPECT_EQ(img.At(64, r), kOpaqueBlack);
    EXPECT_EQ(img.At(64, 16), kOpaqueWhite);
}

TEST(PdfPlot, ColourBarTicksGiveTheSlopeAndALowerDecade) {
    SingleCounts counts{};
    counts[50] = 2;
    counts[60] = 3;
    std::vector<Tick> ticks = {MakeTick(0, "0"), MakeTick(128, "1000"), MakeTick(256, "2048.0")};
    PdfPlot plot = MakePdfPlot(counts, ticks);
    EXPECT_DOUBLE_EQ(plot.g, 8.0);
    // max density 3/(8*5) = 0.075: log10 = -1.12 -> D = -1
    EXPECT_EQ(plot.decade, -1);
    EXPECT_EQ(plot.yTicks[0].label, "-5");
    EXPECT_EQ(plot.yTicks[4].label, "-1");
    ASSERT_EQ(plot.xTicks.size(), 3u);
    EXPECT_EQ(plot.xTicks[1].label, "1000");
}

TEST(PdfPlot, UnusableLabelsAndEmptyCountsStaySane) {
    SingleCounts counts{};
    std::vector<Tick> ticks = {MakeTick(10, "low"), MakeTick(200, "high")};
    PdfPlot empty = MakePdfPlot(counts, ticks);
    EXPECT_DOUBLE_EQ(empty.g, 1.0);  // labels read as 0: slope 0 replaced by 1
    EXPECT_EQ(empty.decade, 0);
    for (int c = 1; c < 255; ++c) ASSERT_NE(empty.image.At(c, 100 + 1), RgbaWord(0, 160, 0, 255));
    counts[5] = 7;
    std::vector<Tick> one = {MakeTick(10, "3")};
    PdfPlot single = MakePdfPlot(counts, one);
    EXPECT_DOUBLE_EQ(single.g, 1.0);
    EXPECT_EQ(single.decade, 0);  // density 1
    EXPECT_EQ(single.image.At(5, 499), RgbaWord(0, 160, 0, 255));
}

TEST(PdfPlot, LabelPositions) {
    EXPECT_NEAR(PdfXLabelPosition(128).x, 128 * 0.014374999 - 1.85, 1e-6);
    EXPECT_NEAR(PdfYLabelPosition(300).y, 300 * 0.0071874997 - 1.81, 1e-6);
    EXPECT_NEAR(CrossXLabelPosition(64).x, 64 * 0.014335938 - 1.75, 1e-6);
    EXPECT_NEAR(CrossYLabelPosition(64).y, 64 * 0.014374999 - 1.81, 1e-6);
    EXPECT_FLOAT_EQ(PdfCaptionPosition().y, 1.598125f);
}

TEST(StatsCounting, CountsOnlyTheRegionOfThePaddedBrick) {
    const int px = 8, py = 4, pz = 3;
    std::vector<uint8_t> a(px * py * pz), b(px * py * pz);
    std::mt19937 rng(9);
    for (size_t i = 0; i < a.size(); ++i) {
        a[i] = static_cast<uint8_t>(rng() % 5);
        b[i] = static_cast<uint8_t>(rng() % 3);
    }
    CountRegion region{{1, 0, 1}, {6, 3, 3}, px, py};
    JointCounts joint;
    SingleCounts single{};
    EXPECT_EQ(CountCross(a, b, region, joint), 5u * 3u * 2u);
    EXPECT_EQ(CountPdf(a, region, single), 30u);
    JointCounts wantJoint;
    SingleCounts wantSingle{};
    for (int z = 1; z < 3; ++z)
        for (int y = 0; y < 3; ++y)
            for (int x = 1; x < 6; ++x) {
                size_t i = x + px * (y + py * z);
                ++wantJoint.At(b[i], a[i]);
                ++wantSingle[a[i]];
            }
    EXPECT_EQ(joint.cells, wantJoint.cells);
    EXPECT_EQ(single, wantSingle);
}

TEST(StatsCounting, RegionsBeyondTheBufferAreCut) {
    std::vector<uint8_t> a(4 * 4 * 2, 3);
    SingleCounts single{};
    CountRegion region{{-2, 0, 0}, {9, 9, 9}, 4, 4};  // clamped to 4 x 4 x 2
    EXPECT_EQ(CountPdf(a, region, single), 32u);
    EXPECT_EQ(single[3], 32u);
    CountRegion emptyRegion{{2, 0, 0}, {2, 4, 2}, 4, 4};
    EXPECT_EQ(CountPdf(a, emptyRegion, single), 0u);
}

TEST(FloorAndBox, FacesFollowTheEyeSide) {
    std::array<float, 6> limits = {-1, 1, -1, 1, -1, 1};
    FloorSettings floor;
    floor.alpha = 128;
    floor.red = 10;
    floor.spacing = 0.25f;
    BoxSettings box;
    box.alpha = 255;
    box.green = 200;
    std::array<float, 3> eye = {0, 0, 5};
    OverlayGeometry far = FloorAndBoxQuads(limits, eye, floor, box, OverlayPass::kFar);
    OverlayGeometry near = FloorAndBoxQuads(limits, eye, floor, box, OverlayPass::kNear);
    // Far: z low, x low, x high, y low, y high faces; near: z high only.
    EXPECT_EQ(far.box.size(), 20u);
    EXPECT_EQ(near.box.size(), 4u);
    for (const OverlayQuad& q : near.box) {
        for (const Vertex3& v : q.corners) EXPECT_FLOAT_EQ(v.z, 1.0f);
        EXPECT_EQ(q.rgba, RgbaWord(0, 200, 0, 255));
    }
    // First far face is z low; its first edge runs along x at y = -1,
    // 0.01*h wide (h = 2).
    const OverlayQuad& e = far.box[0];
    EXPECT_FLOAT_EQ(e.corners[0].x, -1);
    EXPECT_FLOAT_EQ(e.corners[1].x, 1);
    EXPECT_FLOAT_EQ(e.corners[0].y, -1.01f);
    EXPECT_FLOAT_EQ(e.corners[3].y, -0.99f);
    EXPECT_FLOAT_EQ(e.corners[0].z, -1);
    // Second far face is x low (plane x = -1).
    for (const Vertex3& v : far.box[4].corners) EXPECT_FLOAT_EQ(v.x, -1.0f);

    // Floor above: drawn in the far pass only; margin 5 on extents of 2.
    EXPECT_TRUE(near.floor.empty());
    ASSERT_FALSE(far.floor.empty());
    const OverlayQuad& f = far.floor[0];
    EXPECT_FLOAT_EQ(f.corners[0].x, -11);
    EXPECT_FLOAT_EQ(f.corners[2].x, 11);
    EXPECT_FLOAT_EQ(f.corners[2].y, 11);
    EXPECT_FLOAT_EQ(f.corners[0].z, -1);
    EXPECT_EQ(f.rgba, RgbaWord(10, 0, 0, 128));
    // Grid: x = k/4 for k = -44..44, then y likewise; opaque black.
    ASSERT_EQ(far.floor.size(), 1u + 89u + 89u);
    EXPECT_FLOAT_EQ(far.floor[1].corners[0].x, -11.0f - 0.01f);
    EXPECT_EQ(far.floor[1].rgba, kOpaqueBlack);
    EXPECT_FLOAT_EQ(far.floor[90].corners[0].y, -11.0f - 0.01f);
}

TEST(FloorAndBox, EyeBelowTheFloorAndSwitchedOff) {
    std::array<float, 6> limits = {0, 4, 0, 2, 0, 1};
    FloorSettings floor;
    floor.alpha = 50;
    floor.spacing = 0;  // no grid
    BoxSettings box;    // alpha 0: no box
    std::array<float, 3> eye = {2, 1, -3};
    OverlayGeometry far = FloorAndBoxQuads(limits, eye, floor, box, OverlayPass::kFar);
    OverlayGeometry near = FloorAndBoxQuads(limits, eye, floor, box, OverlayPass::kNear);
    EXPECT_TRUE(far.floor.empty());
    EXPECT_EQ(near.floor.size(), 1u);
    EXPECT_TRUE(near.box.empty());
    floor.alpha = 0;
    near = FloorAndBoxQuads(limits, eye, floor, box, OverlayPass::kNear);
    EXPECT_TRUE(near.floor.empty());
    // A spacing asking for more lines than the bound draws the floor alone.
    floor.alpha = 50;
    floor.spacing = 1e-6f;
    near = FloorAndBoxQuads(limits, eye, floor, box, OverlayPass::kNear);
    EXPECT_EQ(near.floor.size(), 1u);
}

TEST(FloorAndBox, SolidImageIsOneColour) {
    RgbaImage img = MakeSolidImage(RgbaWord(1, 2, 3, 4));
    ASSERT_EQ(img.width, 256);
    ASSERT_EQ(img.height, 32);
    for (uint32_t t : img.texels) ASSERT_EQ(t, RgbaWord(1, 2, 3, 4));
}

}  // namespace
}  // namespace voxa
