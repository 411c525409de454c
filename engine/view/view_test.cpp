#include "engine/view/selection.h"
#include "engine/view/view.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

namespace voxa {
namespace {

constexpr float kTol = 1e-5f;

void ExpectVec(Vec3 a, Vec3 b, float tol = kTol) {
    EXPECT_NEAR(a.x, b.x, tol);
    EXPECT_NEAR(a.y, b.y, tol);
    EXPECT_NEAR(a.z, b.z, tol);
}

TEST(View, DefaultViewAndFrustumAreSymmetricAlongTheViewDirection) {
    ViewFrame f = ComputeViewFrame({0, 0, 10}, {0, 0, 0}, {0, 1, 0});
    ExpectVec(f.d, {0, 0, -1});
    ExpectVec(f.u, {0, 1, 0});
    ExpectVec(f.r, {1, 0, 0});  // d x u
    PanelView p = ComputePanelView(f, FrustumBlock{});
    const float t = std::tan(17.0f * 3.14159265f / 180.0f);
    EXPECT_NEAR(p.left, -t, kTol);
    EXPECT_NEAR(p.right, t, kTol);
    EXPECT_NEAR(p.bottom, -t, kTol);
    EXPECT_NEAR(p.top, t, kTol);
    ExpectVec(p.aw, {0, 0, -1});  // looks from E towards P
    ExpectVec(p.bw, {0, 1, 0});
    EXPECT_NEAR(p.magnification, 1.0f, kTol);
    EXPECT_NEAR(p.Depth({0, 0, -3}), 3.0f, kTol);
}

TEST(View, UpIsMadeOrthogonalToTheViewDirection) {
    ViewFrame f = ComputeViewFrame({0, 0, 0}, {0, 0, -5}, {0, 1, 1});
    EXPECT_NEAR(Dot(f.u, f.d), 0.0f, kTol);
    ExpectVec(f.u, {0, 1, 0});
}

TEST(View, SidewaysPanelCentreGivesOffAxisFrustum) {
    ViewFrame f = ComputeViewFrame({0, 0, 10}, {0, 0, 0}, {0, 1, 0});
    FrustumBlock fr;
    fr.center = {0.5f, 2.0f, 0.0f};  // half a unit to the right, 2 ahead
    fr.halfWidth = 1.0f;
    fr.halfHeight = 0.75f;
    PanelView p = ComputePanelView(f, fr);
    // Cw.Nw = 0.5, m = 1/2: left = (0.5 - 1)/2, right = (0.5 + 1)/2.
    EXPECT_NEAR(p.left, -0.25f, kTol);
    EXPECT_NEAR(p.right, 0.75f, kTol);
    EXPECT_NEAR(p.bottom, -0.375f, kTol);
    EXPECT_NEAR(p.top, 0.375f, kTol);
    ExpectVec(p.aw, {0, 0, -1});  // still the panel normal
}

TEST(View, SidePlanesSeparateInsideFromOutside) {
    ViewFrame f = ComputeViewFrame({0, 0, 10}, {0, 0, 0}, {0, 1, 0});
    PanelView p = ComputePanelView(f, FrustumBlock{});
    Vec3 ahead{0, 0, -5};
    for (int k = 0; k < 4; ++k) EXPECT_FALSE(p.Outside(k, ahead)) << k;
    // tan 17 deg = 0.3057: at depth 5 the frustum reaches 1.53 sideways.
    EXPECT_TRUE(p.Outside(kPlaneLeft, {-2, 0, -5}));
    EXPECT_FALSE(p.Outside(kPlaneLeft, {-1.4f, 0, -5}));
    EXPECT_TRUE(p.Outside(kPlaneRight, {2, 0, -5}));
    EXPECT_TRUE(p.Outside(kPlaneTop, {0, 2, -5}));
    EXPECT_TRUE(p.Outside(kPlaneBottom, {0, -2, -5}));
    EXPECT_FALSE(p.Outside(kPlaneBottom, {0, -1.4f, -5}));
}

TEST(View, PanelRecordHasItsLinesInOrder) {
    ViewFrame f = ComputeViewFrame({0, 0, 10}, {0, 0, 0}, {0, 1, 0});
    PanelView p = ComputePanelView(f, FrustumBlock{});
    std::string rec = FormatPanelRecord({&p, {0, 0, 10}, 0.5f, 20.5f, {-1, 1, -1, 1, -1, 1}, 0.25f});
    std::istringstream in(rec);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, std::string(72, '='));
    std::getline(in, line);
    EXPECT_EQ(line, "left=-0.152865  right=0.152865");
    std::getline(in, line);
    EXPECT_EQ(line, "bot =-0.152865  top  =0.152865");
    std::getline(in, line);
    EXPECT_EQ(line, "near=0.500000  far  =20.500000");
    std::getline(in, line);
    EXPECT_EQ(line, "EYE:    0.000000 0.000000 10.000000");
    std::getline(in, line);
    EXPECT_EQ(line, "LOOKAT: 0.000000 0.000000 9.000000");
    EXPECT_NE(rec.find("panmagi 1.000000\n"), std::string::npos);
    EXPECT_NE(rec.find("fLimits: -1.000000 1.000000 -1.000000 1.000000 -1.000000 1.000000\n"),
              std::string::npos);
    EXPECT_TRUE(rec.ends_with("softdistance = 0.250000\n"));
}

VolumeExtent Cube64() {
    VolumeExtent e;
    e.limits = {-1, 1, -1, 1, -1, 1};
    e.voxels = {64, 64, 64};
    return e;
}

TEST(BrickBox, OverlapIsTakenOffAndDistanceAddsOneVoxel) {
    VolumeExtent e = Cube64();
    // A stride-2 brick with overlap 1 at x0 = -1 starts at the volume's edge.
    WorldBox b = BrickWorldBox(e, 2, {34, 34, 34}, {-1, -1, -1}, 1);
    EXPECT_NEAR(b.min.x, -1.0f, kTol);
    EXPECT_NEAR(b.width.x, 2.0f, kTol);
    EXPECT_NEAR(BrickDistance2(e, b, {0, 0, 0}), 0.0f, kTol);  // eye inside
    // Eye 1 unit beyond the +z face: gap 1 plus one finest voxel (1/32).
    EXPECT_NEAR(BrickDistance2(e, b, {0, 0, 2}), std::pow(1.0f + 1.0f / 32, 2.0f), 1e-4f);
}

// A two-level tree: root 0 with eight children 1..8 (octants of the cube).
std::vector<LodBrick> TwoLevels(Vec3 eye, const VolumeExtent& e) {
    std::vector<LodBrick> b(9);
    b[0].stride = 2;
    b[0].error = 10;
    WorldBox rootBox = BrickWorldBox(e, 2, {32, 32, 32}, {0, 0, 0}, 0);
    b[0].distance2 = BrickDistance2(e, rootBox, eye);
    for (int i = 1; i <= 8; ++i) {
        int o = i - 1;
        std::array<int, 3> x0{(o & 1) * 32, (o & 2) ? 32 : 0, (o & 4) ? 32 : 0};
        WorldBox box = BrickWorldBox(e, 1, {32, 32, 32}, x0, 0);
        b[static_cast<size_t>(i)].stride = 1;
        b[static_cast<size_t>(i)].error = 0;
        b[static_cast<size_t>(i)].distance2 = BrickDistance2(e, box, eye);
        b[0].children.push_back(i);
    }
    return b;
}

TEST(Selection, ToleranceAtOrAboveEveryErrorGivesTheRootAlone) {
    VolumeExtent e = Cube64();
    auto bricks = TwoLevels({0, 0, 10}, e);
    LodParams p;
    p.voxelsPerUnit = 32;
    p.coltolerance = 10;
    EXPECT_EQ(SelectBricks(bricks, 0, p), std::vector<int>{0});
}

TEST(Selection, ZeroTolerancesGiveTheLeavesFarthestFirst) {
    VolumeExtent e = Cube64();
    auto bricks = TwoLevels({0, 0, 10}, e);
    LodParams p;
    p.voxelsPerUnit = 32;
    std::vector<int> sel = SelectBricks(bricks, 0, p);
    ASSERT_EQ(sel.size(), 8u);
    for (size_t i = 1; i < sel.size(); ++i)
        EXPECT_GE(bricks[static_cast<size_t>(sel[i - 1])].distance2,
                  bricks[static_cast<size_t>(sel[i])].distance2);
    // Equal distances keep child-list order: the four low-z octants (1, 2, 3, 4) come first.
    EXPECT_EQ(std::vector<int>(sel.begin(), sel.begin() + 4), (std::vector<int>{1, 2, 3, 4}));
}

TEST(Selection, AngleAndSizeTolerancesStopSplitting) {
    VolumeExtent e = Cube64();
    auto bricks = TwoLevels({0, 0, 10}, e);
    LodParams p;
    p.voxelsPerUnit = 32;
    // Root voxel size w = 2/32; distance ~9: 9 * 0.01 > w, so it stays whole.
    p.angletolerance = 0.01f;
    EXPECT_EQ(SelectBricks(bricks, 0, p).size(), 1u);
    // An eye inside the root counts as the near distance: 0.5 * 0.01 < w.
    auto inside = TwoLevels({0.1f, 0.1f, 0.1f}, e);
    EXPECT_EQ(SelectBricks(inside, 0, p).size(), 8u);
    // Size tolerance: b = 3 * 1.01 / 32 > w = 2/32 stops the split.
    p.angletolerance = 0;
    p.vrtolerance = 3;
    EXPECT_EQ(SelectBricks(bricks, 0, p).size(), 1u);
    p.vrtolerance = 1.9f;
    EXPECT_EQ(SelectBricks(bricks, 0, p).size(), 8u);
}

TEST(Culling, NearFarSoftDistanceSidePlanesAndAuxBox) {
    ViewFrame f = ComputeViewFrame({0, 0, 10}, {0, 0, 0}, {0, 1, 0});
    PanelView panel = ComputePanelView(f, FrustumBlock{});
    Vec3 eye{0, 0, 10};
    WorldBox box{{-0.1f, -0.1f, 9.6f}, {0.2f, 0.2f, 0.2f}};  // depth 0.2 .. 0.4
    CullParams p;
    p.nearDist = 0.5f;
    EXPECT_FALSE(CullBrick(box, {8, 8, 8}, eye, panel, p).visible);
    p.softdistance = 0.2f;  // near - soft = 0.3: part of the brick lies beyond
    EXPECT_TRUE(CullBrick(box, {8, 8, 8}, eye, panel, p).visible);

    WorldBox far{{-0.1f, -0.1f, -11.0f}, {0.2f, 0.2f, 0.2f}};  // depth 20.8 .. 21
    p.softdistance = 0;
    EXPECT_FALSE(CullBrick(far, {8, 8, 8}, eye, panel, p).visible);
    p.softdistance = 0.4f;
    EXPECT_TRUE(CullBrick(far, {8, 8, 8}, eye, panel, p).visible);

    WorldBox aside{{5, -0.1f, -0.1f}, {0.2f, 0.2f, 0.2f}};
    EXPECT_FALSE(CullBrick(aside, {8, 8, 8}, eye, panel, p).visible);

    WorldBox unit{{-1, -1, -1}, {2, 2, 2}};
    p.aux.flags = {2, 2, 0, 0, 0, 0};
    p.aux.offsets = {0.0f, 5.0f, -9, 9, -9, 9};  // x from 0, planes outside elsewhere
    CullResult r = CullBrick(unit, {64, 64, 64}, eye, panel, p);
    ASSERT_TRUE(r.visible);
    EXPECT_NEAR(r.lo[0], 0.0f, kTol);
    EXPECT_NEAR(r.hi[0], 1.0f, kTol);
    EXPECT_EQ(r.indexBegin[0], 32);
    EXPECT_EQ(r.indexEnd[0], 64);
    EXPECT_EQ(r.indexBegin[1], 0);
    p.aux.offsets = {1.5f, 5.0f, -9, 9, -9, 9};  // box wholly beside the brick
    EXPECT_FALSE(CullBrick(unit, {64, 64, 64}, eye, panel, p).visible);
}

}  // namespace
}  // namespace voxa
