#include "engine/slices/slice_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

namespace voxa {
namespace {

// A unit-box brick of n^3 voxels, padded to p, isotropic finest voxels.
BrickPassInput UnitBrick(int n, int p, int ov, float density) {
    BrickPassInput in;
    in.boxMin = {0, 0, 0};
    in.boxWidth = {1, 1, 1};
    in.sides = {n, n, n};
    in.padded = {p, p, p};
    in.overlap = ov;
    in.density = density;
    float w = 1.0f / static_cast<float>(n - 2 * ov);
    in.voxelSize = {w, w, w};
    in.auxOffsets = {-10, 10, -10, 10, -10, 10};
    return in;
}

TEST(SlicePasses, EyeFarOnPlusXGivesOneYZPassFromLowToHighX) {
    BrickPassInput in = UnitBrick(64, 64, 0, 1.0f);
    in.eye = {100, 0.5f, 0.5f};
    PassPlan plan = PlanPasses(in);
    ASSERT_EQ(plan.passes.size(), 1u);
    const PlannedPass& pass = plan.passes[0];
    EXPECT_EQ(pass.kind, PassKind::kYZ);
    EXPECT_EQ(pass.side, 0);
    EXPECT_EQ(pass.direction, 1);
    EXPECT_EQ(pass.texWidth, 64);
    EXPECT_EQ(pass.texHeight, 64);
    ASSERT_EQ(pass.slices.size(), 64u);
    for (int k = 0; k < 64; ++k) {
        EXPECT_EQ(pass.slices[k].number, k);
        EXPECT_NEAR(pass.slices[k].position, (k + 0.5) / 64.0, 1e-6);
        // The far eye sees the whole box in its pyramid.
        EXPECT_FLOAT_EQ(pass.slices[k].quad[0].pos[1], 0.0f);
        EXPECT_FLOAT_EQ(pass.slices[k].quad[2].pos[1], 1.0f);
        EXPECT_FLOAT_EQ(pass.slices[k].quad[2].pos[2], 1.0f);
    }
}

TEST(SlicePasses, EyeFarOnMinusXWalksSlicesFromHighToLow) {
    BrickPassInput in = UnitBrick(16, 16, 0, 1.0f);
    in.eye = {-50, 0.5f, 0.5f};
    PassPlan plan = PlanPasses(in);
    ASSERT_EQ(plan.passes.size(), 1u);
    EXPECT_EQ(plan.passes[0].side, 1);
    EXPECT_EQ(plan.passes[0].direction, -1);
    ASSERT_EQ(plan.passes[0].slices.size(), 16u);
    for (int k = 0; k < 16; ++k) EXPECT_EQ(plan.passes[0].slices[k].number, 15 - k);
}

TEST(SlicePasses, EyeInsideBrickGivesAllSixPassesEachInItsPyramid) {
    BrickPassInput in = UnitBrick(16, 16, 0, 1.0f);
    in.eye = {0.3f, 0.6f, 0.45f};
    PassPlan plan = PlanPasses(in);
    ASSERT_EQ(plan.passes.size(), 6u);
    const PassKind order[3] = {PassKind::kYZ, PassKind::kXZ, PassKind::kXY};
    for (int p = 0; p < 6; ++p) {
        EXPECT_EQ(plan.passes[p].side, p / 3);
        EXPECT_EQ(plan.passes[p].kind, order[p % 3]);
        EXPECT_FALSE(plan.passes[p].slices.empty());
        int axis = p % 3;
        for (const PlannedSlice& s : plan.passes[p].slices) {
            // Slices lie on the pass's side of the eye.
            float along = (s.position - in.eye[axis]) * (p / 3 == 0 ? -1.0f : 1.0f);
            EXPECT_GT(along, 0.0f);
            for (const SliceVertex& v : s.quad) {
                for (int b = 0; b < 3; ++b) {
                    if (b == axis) continue;
                    EXPECT_LE(std::fabs(v.pos[b] - in.eye[b]), along + 1e-5f);
                    EXPECT_GE(v.pos[b], -1e-6f);
                    EXPECT_LE(v.pos[b], 1.0f + 1e-6f);
                }
            }
        }
    }
}

// Every point of the brick lies in exactly one pass's pyramid: the sum of
// the quad areas of all passes, times the slice spacing, is the box volume.
TEST(SlicePasses, PassesTogetherCoverTheBrickOnce) {
    BrickPassInput in = UnitBrick(64, 64, 0, 1.0f);
    in.eye = {0.37f, 0.52f, 0.61f};
    PassPlan plan = PlanPasses(in);
    ASSERT_EQ(plan.passes.size(), 6u);
    double volume = 0;
    for (const PlannedPass& pass : plan.passes) {
        int s = InPlaneAxisS(pass.kind), t = InPlaneAxisT(pass.kind);
        for (const PlannedSlice& sl : pass.slices) {
            double area = (sl.quad[2].pos[s] - sl.quad[0].pos[s]) *
                          (sl.quad[2].pos[t] - sl.quad[0].pos[t]);
            volume += area / 64.0;
        }
    }
    EXPECT_NEAR(volume, 1.0, 0.03);
}

TEST(SlicePasses, CornersStraddlingAnAxisAddOneToEveryCount) {
    // Anisotropic finest voxels: corners at x = 0 are x-dominated (side 0);
    // corners at x = 1 are z-dominated, two below the eye and two above.
    BrickPassInput in = UnitBrick(4, 4, 0, 1.0f);
    in.voxelSize = {0.25f, 0.5f, 0.125f};
    in.eye = {1.5f, 0.5f, 0.5f};
    OrientationCounts oc = CountOrientations(in);
    EXPECT_EQ(oc.counts[0][0], 5);
    EXPECT_EQ(oc.counts[0][1], 1);
    EXPECT_EQ(oc.counts[1][0], 1);
    EXPECT_EQ(oc.counts[1][1], 1);
    EXPECT_EQ(oc.counts[2][0], 3);
    EXPECT_EQ(oc.counts[2][1], 3);
}

TEST(SlicePasses, PyramidCutSpansForKnownEye) {
    BrickPassInput in = UnitBrick(4, 4, 0, 1.0f);
    in.voxelSize = {0.25f, 0.5f, 0.125f};
    in.eye = {1.5f, 0.5f, 0.5f};
    PassPlan plan = PlanPasses(in);
    ASSERT_EQ(plan.passes.size(), 6u);
    const PlannedPass& yz = plan.passes[0];
    ASSERT_EQ(yz.kind, PassKind::kYZ);
    ASSERT_EQ(yz.slices.size(), 4u);
    const PlannedSlice& last = yz.slices[3];  // x = 0.875, a = 0.625
    EXPECT_FLOAT_EQ(last.position, 0.875f);
    // y half span a*wy/wx = 1.25 covers the box; z half span a*wz/wx = 0.3125.
    const float expectY[4] = {0, 0, 1, 1};
    const float expectZ[4] = {0.1875f, 0.8125f, 0.8125f, 0.1875f};
    for (int v = 0; v < 4; ++v) {
        EXPECT_FLOAT_EQ(last.quad[v].pos[0], 0.875f);
        EXPECT_NEAR(last.quad[v].pos[1], expectY[v], 1e-6);
        EXPECT_NEAR(last.quad[v].pos[2], expectZ[v], 1e-6);
        // ov = 0: texture range 0.5/4 .. 3.5/4 over the box.
        EXPECT_NEAR(last.quad[v].s, 0.125 + 0.75 * expectY[v], 1e-6);
        EXPECT_NEAR(last.quad[v].t, 0.125 + 0.75 * expectZ[v], 1e-6);
    }
    // Side 1 of x: the eye is beyond the box, no slice has a > 0.
    EXPECT_EQ(plan.passes[3].kind, PassKind::kYZ);
    EXPECT_TRUE(plan.passes[3].slices.empty());
}

TEST(SlicePasses, TextureCoordinatesFollowTheOverlap) {
    for (int ov : {0, 1}) {
        BrickPassInput in = UnitBrick(10, 16, ov, 1.0f);
        in.eye = {0.5f, 0.5f, 100};
        PassPlan plan = PlanPasses(in);
        ASSERT_EQ(plan.passes.size(), 1u);
        EXPECT_EQ(plan.passes[0].kind, PassKind::kXY);
        ASSERT_FALSE(plan.passes[0].slices.empty());
        const PlannedSlice& s = plan.passes[0].slices[0];
        double lo = (ov == 0 ? 0.5 : 1.0) / 16.0;
        double hi = (10 - (ov == 0 ? 0.5 : 1.0)) / 16.0;
        // Vertex order (lo, lo), (lo, hi), (hi, hi), (hi, lo).
        EXPECT_NEAR(s.quad[0].s, lo, 1e-6);
        EXPECT_NEAR(s.quad[0].t, lo, 1e-6);
        EXPECT_NEAR(s.quad[1].s, lo, 1e-6);
        EXPECT_NEAR(s.quad[1].t, hi, 1e-6);
        EXPECT_NEAR(s.quad[2].s, hi, 1e-6);
        EXPECT_NEAR(s.quad[2].t, hi, 1e-6);
        EXPECT_NEAR(s.quad[3].s, hi, 1e-6);
        EXPECT_NEAR(s.quad[3].t, lo, 1e-6);
        EXPECT_EQ(plan.passes[0].slices.size(), static_cast<size_t>(10 - 2 * ov));
    }
}

TEST(SlicePlanes, DensityOneNeverInterpolatesAndShowsTheSlicePlane) {
    for (int ov : {0, 1, 2}) {
        BrickPassInput in = UnitBrick(12, 16, ov, 1.0f);
        int m = 12 - 2 * ov;
        for (int i = 0; i < m; ++i) {
            SlicePlanes p = PlanesForSlice(in, 0, i);
            EXPECT_FALSE(p.interpolate) << "ov " << ov << " slice " << i;
            EXPECT_EQ(SinglePlane(p), ov + i) << "ov " << ov << " slice " << i;
        }
    }
}

TEST(SlicePlanes, DensityTwoPutsSlicesAtQuarterVoxels) {
    // Plane centres lie at 0.5, 1.5, ... steps from the low face; density 2
    // puts slices at 0.25, 0.75, 1.25, ... steps.
    BrickPassInput in = UnitBrick(10, 16, 1, 2.0f);
    // With ov = 1 plane 0 is the overlap voxel, centred at -0.5 steps.
    SlicePlanes first = PlanesForSlice(in, 1, 0);  // 0.25 steps
    EXPECT_EQ(first.high, 1);
    EXPECT_EQ(first.low, 0);
    EXPECT_TRUE(first.interpolate);
    EXPECT_NEAR(first.weightLow, 0.25f, 1e-6);
    SlicePlanes s1 = PlanesForSlice(in, 1, 1);  // 0.75 steps
    EXPECT_EQ(s1.low, 1);
    EXPECT_EQ(s1.high, 2);
    EXPECT_TRUE(s1.interpolate);
    EXPECT_NEAR(s1.weightLow, 0.75f, 1e-6);
    SlicePlanes s2 = PlanesForSlice(in, 1, 2);  // 1.25 steps
    EXPECT_EQ(s2.low, 1);
    EXPECT_EQ(s2.high, 2);
    EXPECT_NEAR(s2.weightLow, 0.25f, 1e-6);
    EXPECT_EQ(SinglePlane(s1), 1);
    EXPECT_EQ(SinglePlane(s2), 2);
}

TEST(SlicePlanes, SliceMidwayBetweenPlanesTakesEachWithHalfWeight) {
    // Density 1.5 puts slice 1 at 1.0 steps, midway between planes 0 and 1.
    BrickPassInput in = UnitBrick(8, 8, 0, 1.5f);
    EXPECT_NEAR(SlicePosition(in, 2, 1), 1.0 / 8.0, 1e-6);
    SlicePlanes p = PlanesForSlice(in, 2, 1);
    EXPECT_EQ(p.low, 0);
    EXPECT_EQ(p.high, 1);
    EXPECT_TRUE(p.interpolate);
    EXPECT_NEAR(p.weightLow, 0.5f, 1e-6);
    EXPECT_EQ(SinglePlane(p), 1);  // not above 0.5: plane h
}

TEST(SlicePlanes, SliceBeyondTheLastPlaneUsesTheTwoOuterPlanes) {
    BrickPassInput in = UnitBrick(8, 8, 0, 2.0f);
    SlicePlanes p = PlanesForSlice(in, 0, 15);  // 7.75 steps, past centre 7.5
    EXPECT_EQ(p.high, 7);
    EXPECT_EQ(p.low, 6);
    EXPECT_TRUE(p.interpolate);
    EXPECT_FLOAT_EQ(p.weightLow, 0.0f);  // no extrapolation: plane 7 alone
    EXPECT_EQ(SinglePlane(p), 7);
}

TEST(SlicePlanes, SideOneDrawsTheSameSlicesAsSideZeroForFractionalCounts) {
    BrickPassInput in = UnitBrick(7, 8, 0, 1.5f);  // m = 10.5
    in.eye = {100, 0.5f, 0.5f};
    std::set<int> side0, side1;
    PassPlan front = PlanPasses(in);
    for (const PlannedSlice& s : front.passes.at(0).slices) side0.insert(s.number);
    in.eye = {-100, 0.5f, 0.5f};
    PassPlan back = PlanPasses(in);
    ASSERT_EQ(back.passes.at(0).side, 1);
    for (const PlannedSlice& s : back.passes.at(0).slices) side1.insert(s.number);
    EXPECT_EQ(side0.size(), 11u);
    EXPECT_EQ(side0, side1);
    EXPECT_EQ(*side1.begin(), 0);  // nothing below the box
}

TEST(SliceClip, AuxiliaryPlanesSkipSlicesAndNarrowTheQuad) {
    BrickPassInput in = UnitBrick(16, 16, 0, 1.0f);
    in.eye = {100, 0.5f, 0.5f};
    in.auxFlags = {2, 2, 2, 2, 2, 2};
    in.auxOffsets = {0.5f, 0.8f, 0.25f, 0.75f, -5, 5};
    PassPlan plan = PlanPasses(in);
    ASSERT_EQ(plan.passes.size(), 1u);
    for (const PlannedSlice& s : plan.passes[0].slices) {
        EXPECT_GE(s.position, 0.5f);
        EXPECT_LE(s.position, 0.8f);
        EXPECT_FLOAT_EQ(s.quad[0].pos[1], 0.25f);
        EXPECT_FLOAT_EQ(s.quad[2].pos[1], 0.75f);
        EXPECT_FLOAT_EQ(s.quad[0].pos[2], 0.0f);
    }
    // x = (i + 0.5)/16 in [0.5, 0.8]: i = 8 .. 12.
    EXPECT_EQ(plan.passes[0].slices.size(), 5u);
}

TEST(SliceClip, PlaneFlagsOtherThanTwoDoNothing) {
    BrickPassInput in = UnitBrick(16, 16, 0, 1.0f);
    in.eye = {100, 0.5f, 0.5f};
    in.auxFlags = {1, 1, 1, 1, 1, 1};
    in.auxOffsets = {0.5f, 0.8f, 0.25f, 0.75f, 0, 0};
    EXPECT_EQ(PlanPasses(in).passes.at(0).slices.size(), 16u);
}

TEST(SliceClip, AuxiliaryBoxBeyondTheBrickDrawsNothing) {
    BrickPassInput in = UnitBrick(16, 16, 0, 1.0f);
    in.eye = {100, 0.5f, 0.5f};
    in.auxFlags = {2, 0, 0, 0, 0, 0};
    in.auxOffsets = {-5, 5, 2.0f, 5, -5, 5};  // y low plane above the box
    EXPECT_TRUE(AuxRange(in, 1).Empty());
    PassPlan plan = PlanPasses(in);
    ASSERT_EQ(plan.passes.size(), 1u);
    EXPECT_TRUE(plan.passes[0].slices.empty());
}

TEST(SliceOpacity, AlphaFromSliceSpacings) {
    BrickPassInput in = UnitBrick(10, 16, 1, 2.0f);
    in.boxWidth = {1, 2, 4};
    in.opacity = 0.5f;
    in.xmin = -2;
    in.xmax = 2;
    // spacings 1/16, 2/16, 4/16
    double len = std::sqrt(1.0 + 4.0 + 16.0) / 16.0;
    EXPECT_NEAR(SliceAlpha(in), len * 128 * 0.5 / 4.0, 1e-5);
    in.xmax = in.xmin;
    EXPECT_EQ(SliceAlpha(in), 0.0f);
}

TEST(SlicePasses, InvalidInputGivesEmptyPlan) {
    BrickPassInput good = UnitBrick(8, 8, 0, 1.0f);
    good.eye = {10, 0, 0};
    ASSERT_FALSE(PlanPasses(good).passes.empty());
    BrickPassInput in = good;
    in.density = 0;
    EXPECT_TRUE(PlanPasses(in).passes.empty());
    in = good;
    in.sides[1] = 9;  // above padded side
    EXPECT_TRUE(PlanPasses(in).passes.empty());
    in = good;
    in.overlap = 4;  // n - 2 ov = 0
    EXPECT_TRUE(PlanPasses(in).passes.empty());
    in = good;
    in.density = 1e6f;  // more slices than the bound
    EXPECT_TRUE(PlanPasses(in).passes.empty());
    in = good;
    in.voxelSize[2] = 0;
    EXPECT_TRUE(PlanPasses(in).passes.empty());
}

TEST(SliceLabels, TimerNamesFollowUsePaletEvenForPairedData) {
    EXPECT_EQ(PassTimerLabels(PassKind::kXZ, true).begin, "Begin Bob_RenderingXZ");
    EXPECT_EQ(PassTimerLabels(PassKind::kXZ, true).end, "End   Bob_RenderingXZ");
    EXPECT_EQ(PassTimerLabels(PassKind::kXY, false).begin, "Begin Bol_RenderingXY");
    EXPECT_EQ(PassTimerLabels(PassKind::kYZ, false).end, "End   Bol_RenderingYZ");
    EXPECT_EQ(TransposeTimerLabels(PassKind::kYZ).end, "End   TposeYZ");
    EXPECT_EQ(TransposeTimerLabels(PassKind::kXZ).begin, "Begin TposeXZ");
    EXPECT_EQ(ChooseTextureMethod(true, false), TextureMethod::kBob);
    EXPECT_EQ(ChooseTextureMethod(true, true), TextureMethod::kBol);
    EXPECT_EQ(ChooseTextureMethod(false, false), TextureMethod::kBol);
}

}  // namespace
}  // namespace voxa
