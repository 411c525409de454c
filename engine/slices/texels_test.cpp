#include "engine/slices/texels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace voxa {
namespace {

uint32_t Channel(uint32_t word, int c) { return (word >> (8 * c)) & 0xFFu; }

// A colour table with random floats and its packed words, built here the
// way the engine defines them: channel = (int)(255.99 * value).
struct TestTable {
    float rgba[256][4];
    uint32_t packed[256];
    explicit TestTable(unsigned seed) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> u(0.0f, 1.0f);
        for (int v = 0; v < 256; ++v) {
            uint32_t word = 0;
            for (int c = 0; c < 4; ++c) {
                rgba[v][c] = (v % 17 == 0) ? static_cast<float>(c & 1) : u(rng);
                word |= static_cast<uint32_t>(static_cast<int>(255.99f * rgba[v][c])) << (8 * c);
            }
            packed[v] = word;
        }
    }
    ColorTableRef Ref() const { return {rgba, packed}; }
};

TEST(BolTables, T1PlusT2IsThePackedWordWithoutBorrowsForAllWeights) {
    TestTable table(1);
    InterpolationTables t;
    for (float w : {0.0f, 0.1f, 0.25f, 0.3333f, 0.5f, 0.75f, 0.9f, 0.999f, 1.0f}) {
        MakeInterpolationTables(table.Ref(), w, t);
        for (int v = 0; v < 256; ++v) {
            ASSERT_EQ(t.t1[v] + t.t2[v], table.packed[v]) << "w " << w << " v " << v;
            for (int c = 0; c < 4; ++c) {
                // Channel by channel: the parts add up without carries.
                ASSERT_EQ(Channel(t.t1[v], c) + Channel(t.t2[v], c), Channel(table.packed[v], c));
                double expect = std::floor(w * 255.99 * table.rgba[v][c]);
                ASSERT_NEAR(Channel(t.t1[v], c), expect, 1.0) << "w " << w << " v " << v;
            }
        }
    }
}

TEST(BolTexels, InterpolatedTexelsBlendTheTwoPlanes) {
    TestTable table(2);
    std::vector<uint8_t> low(300), high(300);
    std::mt19937 rng(3);
    for (size_t i = 0; i < low.size(); ++i) {
        low[i] = static_cast<uint8_t>(rng());
        high[i] = static_cast<uint8_t>(rng());
    }
    InterpolationTables t;
    const float w = 0.3f;
    MakeInterpolationTables(table.Ref(), w, t);
    std::vector<uint32_t> out(300);
    BuildInterpolatedTexels(low, high, t, out);
    for (size_t i = 0; i < out.size(); ++i) {
        for (int c = 0; c < 4; ++c) {
            double expect = w * Channel(table.packed[low[i]], c) +
                            (1 - w) * Channel(table.packed[high[i]], c);
            ASSERT_NEAR(Channel(out[i], c), expect, 2.0) << i << " channel " << c;
        }
    }
}

TEST(BolTexels, PlainAndPairedTexels) {
    TestTable table(4);
    std::vector<uint8_t> mainPlane = {0, 1, 17, 200, 255};
    std::vector<uint8_t> second = {255, 34, 0, 9, 128};
    std::vector<uint32_t> out(5);
    BuildPlainTexels(mainPlane, table.packed, out);
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(out[i], table.packed[mainPlane[i]]);

    PairedTables pt;
    MakePairedTables(table.Ref(), pt);
    BuildPairedTexels(mainPlane, second, pt, out);
    for (size_t i = 0; i < 5; ++i) {
        const float* m = table.rgba[mainPlane[i]];
        const float* s = table.rgba[second[i]];
        auto bytes = reinterpret_cast<const uint8_t*>(&out[i]);  // R, G, B, A in memory
        EXPECT_EQ(bytes[0], static_cast<int>(255.99f * m[0]));
        EXPECT_EQ(bytes[1], static_cast<int>(255.99f * m[1]));
        EXPECT_EQ(bytes[2], static_cast<int>(255.99f * m[2]));
        EXPECT_EQ(bytes[3], static_cast<int>(255.99f * s[3]));
    }
}

TEST(BolTexels, ChannelBytesTruncateAndClamp) {
    EXPECT_EQ(ChannelByte(1.0f), 255u);
    EXPECT_EQ(ChannelByte(0.5f), 127u);  // 127.995
    EXPECT_EQ(ChannelByte(0.0f), 0u);
    EXPECT_EQ(ChannelByte(-0.5f), 0u);
    EXPECT_EQ(ChannelByte(3.0f), 255u);
    EXPECT_EQ(ChannelByte(std::nanf("")), 0u);
}

TEST(StagingImage, HoldsAtMost256By512Words) {
    StagingImage staging;
    EXPECT_EQ(staging.Image(256, 512).size(), 256u * 512u);
    EXPECT_EQ(staging.Image(512, 256).size(), 256u * 512u);
    EXPECT_TRUE(staging.Image(512, 512).empty());
    EXPECT_TRUE(staging.Image(0, 16).empty());
    EXPECT_TRUE(staging.Image(16, -1).empty());
}

// A brick whose voxel (x, y, z) holds x + 8y + 32z, in its native and
// x-z layouts; slices built through the planner pick the right planes.
class BolSliceTest : public ::testing::Test {
protected:
    BolSliceTest() : table(5) {
        shape = {{8, 4, 2}, {8, 4, 2}};
        native.resize(PaddedVolume(shape));
        for (int z = 0; z < 2; ++z)
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 8; ++x) native[NativeIndex(shape, x, y, z)] = Value(x, y, z);
        xz.resize(PaddedVolume(shape));
        EXPECT_TRUE(TransposeXZ(native, xz, shape));
    }
    static uint8_t Value(int x, int y, int z) { return static_cast<uint8_t>(x + 8 * y + 32 * z); }

    BrickPassInput Input(float density) const {
        BrickPassInput in;
        in.boxWidth = {1, 1, 1};
        in.sides = shape.sides;
        in.padded = shape.padded;
        in.density = density;
        in.voxelSize = {0.125f, 0.25f, 0.5f};
        in.eye = {0.5f, -100, 0.5f};  // far on -y: one x-z pass, side 1
        return in;
    }

    TestTable table;
    BrickShape shape;
    std::vector<uint8_t> native, xz;
    StagingImage staging;
};

TEST_F(BolSliceTest, DensityOneSlicesShowTheirOwnPlane) {
    PassPlan plan = PlanPasses(Input(1.0f));
    ASSERT_EQ(plan.passes.size(), 1u);
    const PlannedPass& pass = plan.passes[0];
    ASSERT_EQ(pass.kind, PassKind::kXZ);
    ASSERT_EQ(pass.slices.size(), 4u);
    for (const PlannedSlice& s : pass.slices) {
        auto img = BuildBolSlice({xz, {}, shape}, pass.kind, s, table.Ref(), staging);
        ASSERT_EQ(img.size(), 16u);  // Px x Pz
        int y = s.number;
        for (int z = 0; z < 2; ++z)
            for (int x = 0; x < 8; ++x)
                ASSERT_EQ(img[x + 8 * z], table.packed[Value(x, y, z)]) << x << "," << y;
    }
}

TEST_F(BolSliceTest, InterpolatedSlicesUseTheWeightedPlanes) {
    PassPlan plan = PlanPasses(Input(2.0f));
    const PlannedPass& pass = plan.passes.at(0);
    int interpolated = 0;
    for (const PlannedSlice& s : pass.slices) {
        auto img = BuildBolSlice({xz, {}, shape}, pass.kind, s, table.Ref(), staging);
        ASSERT_EQ(img.size(), 16u);
        if (!s.planes.interpolate) continue;
        ++interpolated;
        float w = s.planes.weightLow;
        for (int z = 0; z < 2; ++z)
            for (int x = 0; x < 8; ++x) {
                uint32_t lo = table.packed[Value(x, s.planes.low, z)];
                uint32_t hi = table.packed[Value(x, s.planes.high, z)];
                for (int c = 0; c < 4; ++c) {
                    double expect = w * Channel(lo, c) + (1 - w) * Channel(hi, c);
                    ASSERT_NEAR(Channel(img[x + 8 * z], c), expect, 2.0);
                }
            }
    }
    EXPECT_GT(interpolated, 0);
}

TEST_F(BolSliceTest, PairedDataTakeOpacityFromTheSecondBrick) {
    std::vector<uint8_t> secondNative(native.size()), secondXZ(native.size());
    for (size_t i = 0; i < secondNative.size(); ++i)
        secondNative[i] = static_cast<uint8_t>(255 - i);
    ASSERT_TRUE(TransposeXZ(secondNative, secondXZ, shape));
    PassPlan plan = PlanPasses(Input(1.0f));
    const PlannedPass& pass = plan.passes.at(0);
    const PlannedSlice& s = pass.slices.at(1);
    auto img = BuildBolSlice({xz, secondXZ, shape}, pass.kind, s, table.Ref(), staging);
    ASSERT_EQ(img.size(), 16u);
    int y = s.number;
    for (int z = 0; z < 2; ++z)
        for (int x = 0; x < 8; ++x) {
            uint8_t a = Value(x, y, z);
            uint8_t b = secondNative[NativeIndex(shape, x, y, z)];
            EXPECT_EQ(Channel(img[x + 8 * z], 0), static_cast<uint32_t>(255.99f * table.rgba[a][0]));
            EXPECT_EQ(Channel(img[x + 8 * z], 3), static_cast<uint32_t>(255.99f * table.rgba[b][3]));
        }
}

TEST_F(BolSliceTest, PlaneOutsideTheLayoutGivesNoImage) {
    PlannedSlice s;
    s.planes.low = s.planes.high = 9;  // beyond Py = 4
    EXPECT_TRUE(BuildBolSlice({xz, {}, shape}, PassKind::kXZ, s, table.Ref(), staging).empty());
}

}  // namespace
}  // namespace voxa
