// Colour table: initial table, control points, map files, packing.
#include "engine/context/color_table.h"

#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace voxa {
namespace {

using testing::TempDir;
using testing::WriteWholeFile;

// A map file whose entry i has colour (r(i), g(i), b(i)), in the file's
// line layout: line j holds entries j, j+64, j+128, j+192.
template <typename F>
std::string MapFile(F colour) {
    std::string text;
    for (int j = 0; j < 64; ++j) {
        for (int g = 0; g < 4; ++g) {
            int i = j + 64 * g;
            auto [r, gr, b] = colour(i);
            text += std::to_string(i) + " " + std::to_string(r) + " " + std::to_string(gr) + " " +
                    std::to_string(b) + (g == 3 ? "\n" : " ");
        }
    }
    return text;
}

TEST(ColorTable, StartsAsAGreyRampWithTwoPoints) {
    ColorTable t;
    EXPECT_EQ(t.Packed()[0], 0u);
    EXPECT_EQ(t.Packed()[7], 7u * 0x01010101u);
    EXPECT_EQ(t.Packed()[255], 0xFFFFFFFFu);
    EXPECT_FLOAT_EQ(t.Entries()[51].g, 0.2f);
    EXPECT_EQ(t.GetColorPoints().count, 2);
    EXPECT_EQ(t.GetAlphaPoints().index[1], 255);
    EXPECT_FLOAT_EQ(t.GetAlphaPoints().alpha[1], 1.0f);
    EXPECT_FALSE(t.AlphaGiven());
}

TEST(ColorTable, BlackToWhitePointsGiveGreyRampWithDerivedAlpha) {
    ColorTable t;
    const int ind[2] = {0, 255};
    const float black[2] = {0, 1};
    ASSERT_TRUE(t.SetColorPoints(ind, black, black, black));
    for (int i = 0; i < 256; ++i) {
        const Rgba& e = t.Entries()[static_cast<size_t>(i)];
        float v = i < 255 ? static_cast<float>(i) / 255.0f : 1.0f;
        ASSERT_NEAR(e.r, v, 1e-6) << i;
        ASSERT_FLOAT_EQ(e.g, e.r);
        ASSERT_NEAR(e.a, 0.1f * e.r + 0.6f * e.g + 0.3f * e.b, 1e-6);
        uint32_t w = t.Packed()[static_cast<size_t>(i)];
        ASSERT_EQ(w & 0xFF, (w >> 8) & 0xFF);
        ASSERT_EQ(w & 0xFF, (w >> 16) & 0xFF);
        ASSERT_EQ(w & 0xFF, static_cast<uint32_t>(v * 255.99f));
    }
    EXPECT_FLOAT_EQ(t.Entries()[255].r, 1.0f);  // the last point exactly
    const AlphaPoints& a = t.GetAlphaPoints();
    ASSERT_EQ(a.count, 2);
    EXPECT_EQ(a.index[0], 0);
    EXPECT_FLOAT_EQ(a.alpha[0], 0.0f);
    EXPECT_EQ(a.index[1], 255);
    EXPECT_FLOAT_EQ(a.alpha[1], 1.0f);
}

TEST(ColorTable, EntriesOutsideThePointsKeepTheirValues) {
    ColorTable t;
    const int ind[2] = {100, 110};
    const float red[2] = {1, 1}, zero[2] = {0, 0};
    ASSERT_TRUE(t.SetColorPoints(ind, red, zero, zero));
    EXPECT_FLOAT_EQ(t.Entries()[99].r, 99.0f / 255.0f);
    EXPECT_FLOAT_EQ(t.Entries()[105].r, 1.0f);
    EXPECT_FLOAT_EQ(t.Entries()[105].g, 0.0f);
    EXPECT_FLOAT_EQ(t.Entries()[111].g, 111.0f / 255.0f);
    // Alpha is derived for entries 0 up to the last point's index.
    EXPECT_FLOAT_EQ(t.Entries()[50].a, 50.0f / 255.0f);  // 0.1+0.6+0.3 of grey
    EXPECT_FLOAT_EQ(t.Entries()[105].a, 0.1f);
    EXPECT_FLOAT_EQ(t.Entries()[200].a, 200.0f / 255.0f);  // beyond: untouched
}

TEST(ColorTable, InterpolationUsesTheFloatSlope) {
    ColorTable t;
    const int ind[3] = {0, 3, 255};
    const float red[3] = {0, 1, 0}, zero[3] = {0, 0, 0};
    ASSERT_TRUE(t.SetColorPoints(ind, red, zero, zero));
    float slope = 1.0f / 3.0f;
    EXPECT_EQ(t.Entries()[2].r, 0.0f + 2.0f * slope);
    EXPECT_FLOAT_EQ(t.Entries()[3].r, 1.0f);
    EXPECT_NEAR(t.Entries()[129].r, 1.0f - 126.0f / 252.0f, 1e-6);
}

TEST(ColorTable, AlphaPointsSetTheMarkAndSurviveTheNextColourPoints) {
    ColorTable t;
    const int ind[2] = {0, 255};
    const float alpha[2] = {1, 0};
    uint32_t before = t.Packed()[10];
    ASSERT_TRUE(t.SetAlphaPoints(ind, alpha));
    EXPECT_TRUE(t.AlphaGiven());
    EXPECT_NEAR(t.Entries()[51].a, 0.8f, 1e-6);
    EXPECT_EQ(t.Packed()[10], before);  // not rebuilt
    const float red[2] = {0, 1}, zero[2] = {0, 0};
    ASSERT_TRUE(t.SetColorPoints(ind, red, zero, zero));
    EXPECT_FALSE(t.AlphaGiven());
    EXPECT_NEAR(t.Entries()[51].a, 0.8f, 1e-6);  // kept: alpha was given
    EXPECT_EQ(t.Packed()[51] >> 24, static_cast<uint32_t>(t.Entries()[51].a * 255.99f));
    EXPECT_FLOAT_EQ(t.GetAlphaPoints().alpha[0], 1.0f);
    // The mark is clear now: the next colour points derive alpha again.
    ASSERT_TRUE(t.SetColorPoints(ind, red, zero, zero));
    EXPECT_NEAR(t.Entries()[51].a, 0.1f * 0.2f, 1e-6);
}

TEST(ColorTable, BadPointsAreRefused) {
    ColorTable t;
    const int outside[2] = {0, 256};
    const float v[2] = {0, 1};
    EXPECT_FALSE(t.SetColorPoints(outside, v, v, v));
    EXPECT_FALSE(t.SetAlphaPoints(outside, v));
    EXPECT_FALSE(t.SetColorPoints(std::span<const int>(), {}, {}, {}));
    int many[33] = {};
    float f[33] = {};
    EXPECT_FALSE(t.SetColorPoints(many, f, f, f));
    EXPECT_EQ(t.GetColorPoints().count, 2);
}

TEST(ColorTable, PackingClampsValuesOutsideZeroToOne) {
    EXPECT_EQ(ColorTable::PackEntry({2.0f, -1.0f, 0.5f, 1.0f}), 0xFF7F00FFu);
}

TEST(ColorMapFiles, GreyOpacityMapGivesValueOver255) {
    TempDir dir;
    std::string cmap = dir.File("c.map"), amap = dir.File("a.map");
    WriteWholeFile(cmap, MapFile([](int i) { return std::tuple{i, 255 - i, i / 2}; }));
    WriteWholeFile(amap, MapFile([](int i) { return std::tuple{i, i, i}; }));
    ColorTable t;
    ASSERT_EQ(t.LoadMapFiles(cmap, amap), 0);
    for (int i = 0; i < 256; ++i) {
        const Rgba& e = t.Entries()[static_cast<size_t>(i)];
        ASSERT_NEAR(e.r, i / 255.0f, 1e-6) << i;
        ASSERT_NEAR(e.g, (255 - i) / 255.0f, 1e-6);
        ASSERT_NEAR(e.b, (i / 2) / 255.0f, 1e-6);
        ASSERT_NEAR(e.a, i / 255.0f, 1e-6);
    }
    EXPECT_EQ(t.Packed()[255] & 0xFF, 255u);
}

TEST(ColorMapFiles, OpacityIsTheTruncatedWeightedSum) {
    TempDir dir;
    std::string cmap = dir.File("c.map"), amap = dir.File("a.map");
    WriteWholeFile(cmap, MapFile([](int) { return std::tuple{0, 0, 0}; }));
    // 0.3 x 10 + 0.6 x 1 + 0.1 x 5 = 4.1 -> 4
    WriteWholeFile(amap, MapFile([](int) { return std::tuple{10, 1, 5}; }));
    ColorTable t;
    ASSERT_EQ(t.LoadMapFiles(cmap, amap), 0);
    EXPECT_FLOAT_EQ(t.Entries()[17].a, 4.0f / 255.0f);
}

TEST(ColorMapFiles, MissingFilesLeaveTheTableAndReturnTheirCodes) {
    TempDir dir;
    std::string cmap = dir.File("c.map");
    WriteWholeFile(cmap, MapFile([](int) { return std::tuple{255, 0, 0}; }));
    ColorTable t;
    EXPECT_EQ(t.LoadMapFiles(cmap, dir.File("none.map")), -1);
    EXPECT_EQ(t.LoadMapFiles(dir.File("none.map"), cmap), -2);
    EXPECT_FLOAT_EQ(t.Entries()[3].r, 3.0f / 255.0f);
    EXPECT_EQ(t.LoadMapFiles("default", "whatever"), 0);
    EXPECT_FLOAT_EQ(t.Entries()[3].r, 3.0f / 255.0f);
}

TEST(ColorMapFiles, AShortFileLeavesTheRestAlone) {
    TempDir dir;
    std::string cmap = dir.File("c.map");
    WriteWholeFile(cmap, "0 255 255 255 64 255 255 255 128 255 255 255 192 255 255 255\n");
    ColorTable t;
    ASSERT_EQ(t.LoadMapFiles(cmap, cmap), 0);
    EXPECT_FLOAT_EQ(t.Entries()[64].r, 1.0f);
    EXPECT_FLOAT_EQ(t.Entries()[1].r, 1.0f / 255.0f);
}

}  // namespace
}  // namespace voxa
