#include "engine/bricks/zb_file.h"

#include "engine/bricks/brick_table.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace voxa {
namespace {

const ScaleFactors kUnit{1, 1, 1};

std::string Line(const char* name, long long off, int s, int n, int x0, int y0, int z0, int parent,
                 int err, int ny = -1, int nz = -1) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "%s %lld %d %d %d %d %d %d %d %d %d\n", name, off, s, n, ny < 0 ? n : ny,
                  nz < 0 ? n : nz, x0, y0, z0, parent, err);
    return buf;
}

// Two levels: eight 10^3 bricks (core 8, overlap 1) under one root.
std::string TwoLevelTree() {
    std::string t;
    int i = 0;
    for (int z = 0; z < 2; ++z)
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 2; ++x, ++i)
                t += Line("data.vol", 65536LL * i, 1, 10, x * 8 - 1, y * 8 - 1, z * 8 - 1, 8, i);
    t += Line("data.vol", 65536LL * 8, 2, 10, -1, -1, -1, -1, 50);
    return t;
}

TEST(ZbFile, RootOnFirstLineGivesOneBrick) {
    BrickTable t;
    auto s = ParseZbText(Line("d.vol", 0, 1, 16, 0, 0, 0, -1, 0) + Line("junk", 0, 1, 1, 0, 0, 0, 0, 0), kUnit, t);
    ASSERT_TRUE(s.ok()) << s.message();
    EXPECT_EQ(t.Count(), 1);
    EXPECT_EQ(t.root, 0);
    EXPECT_EQ(t.extentX, 16);
    EXPECT_EQ(t.bricks[0].childCount, 0);
}

TEST(ZbFile, TwoLevelTreeParentsOverlapExtentAndLimits) {
    BrickTable t;
    auto s = ParseZbText(TwoLevelTree() + "XYZ_Limits -2 2, -3 3; -4 4\n", {2, 1, 0.5f}, t);
    ASSERT_TRUE(s.ok()) << s.message();
    EXPECT_EQ(t.Count(), 9);
    EXPECT_EQ(t.root, 8);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(t.bricks[k].parent, 8) << k;
    EXPECT_EQ(t.bricks[8].childCount, 8);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(t.bricks[8].children[k], k);
    EXPECT_EQ(t.overlap[1], 1);
    EXPECT_EQ(t.overlap[2], 1);
    EXPECT_EQ(t.overlap[4], 0);
    EXPECT_EQ(t.extentX, (10 - 2) * 2);
    EXPECT_FLOAT_EQ(t.limits.xmin, -4);
    EXPECT_FLOAT_EQ(t.limits.xmax, 4);
    EXPECT_FLOAT_EQ(t.limits.ymin, -3);
    EXPECT_FLOAT_EQ(t.limits.zmax, 2);
    EXPECT_EQ(t.largestPadded, 16 * 16 * 16);
}

TEST(ZbFile, DefaultLimitsFollowTheExtentRatios) {
    BrickTable t;
    // Root 34 x 18 x 10 with overlap 1: extent 32 x 16 x 8.
    auto s = ParseZbText(Line("d.vol", 0, 1, 34, -1, -1, -1, -1, 0, 18, 10) + "something else\n", {3, 2, 1}, t);
    ASSERT_TRUE(s.ok()) << s.message();
    EXPECT_FLOAT_EQ(t.limits.xmin, -3);
    EXPECT_FLOAT_EQ(t.limits.xmax, 3);
    EXPECT_FLOAT_EQ(t.limits.ymax, 0.5f * 2);
    EXPECT_FLOAT_EQ(t.limits.zmin, -0.25f);
}

TEST(ZbFile, CentreOnEveryCandidateBoundaryFails) {
    // Brick 0's centre (4, 2, 2) lies on the x face of both candidate
    // parents (boxes 0..4 and 4..8 on x); their own centres lie in the root.
    std::string text = Line("d.vol", 0, 1, 4, 2, 0, 0, 0, 0) + Line("d.vol", 0, 2, 2, 0, 0, 0, 0, 0) +
                       Line("d.vol", 0, 2, 2, 2, 0, 0, 0, 0) + Line("d.vol", 0, 4, 4, 0, 0, 0, -1, 0);
    BrickTable t;
    auto s = ParseZbText(text, kUnit, t);
    EXPECT_FALSE(s.ok());
    EXPECT_NE(s.message().find("brick 0 (line 1) lies inside no brick"), std::string::npos) << s.message();
    EXPECT_EQ(t.Count(), 0);
}

TEST(ZbFile, HigherIndexWinsBetweenContainingParents) {
    std::string text = Line("d.vol", 0, 1, 4, 0, 0, 0, 0, 0) +      // centre (2,2,2)
                       Line("d.vol", 0, 2, 4, -1, -1, -1, 0, 0) +    // box -2..6
                       Line("d.vol", 0, 2, 4, 0, 0, 0, 0, 0) +       // box 0..8
                       Line("d.vol", 0, 4, 4, -1, -1, -1, -1, 0);    // root box -4..12
    BrickTable t;
    auto s = ParseZbText(text, kUnit, t);
    ASSERT_TRUE(s.ok()) << s.message();
    EXPECT_EQ(t.bricks[0].parent, 2);
    EXPECT_EQ(t.bricks[1].parent, 3);
}

// Positions near the +-2^28 bound with strides 63 and 126: the containment
// test must not overflow. Reference: the same test in 128-bit arithmetic.
TEST(ZbFile, ContainmentNearThePositionBoundsDoesNotOverflow) {
    const int64_t k = int64_t{1} << 28;
    for (int64_t stride : {1, 2, 63, 126, 127}) {
        for (int64_t x0 : {-k, -k + 1, -k / 2, int64_t{0}, k / 2, k - 65536, k}) {
            for (int64_t n : {1, 2, 65536}) {
                for (int64_t c : std::initializer_list<int64_t>{-63 * k, -63 * k + 63 * 32768, -1, 63 * k, 126 * k, -126 * k,
                                  stride * x0 + 1, stride * (x0 + n) - 1, stride * x0}) {
                    const __int128 lo = static_cast<__int128>(stride) * x0;
                    const __int128 hi = static_cast<__int128>(stride) * (x0 + n);
                    const bool inside = lo < c && c < hi;
                    EXPECT_EQ(CentreInside(stride, x0, n, c), inside)
                        << "stride " << stride << " x0 " << x0 << " n " << n << " centre " << c;
                }
            }
        }
    }
    // A child at -2^28 lies inside no root at +2^28 - 65536 (the overflowing
    // product once made it that root's child).
    const int k28 = 1 << 28;
    BrickTable t;
    auto s = ParseZbText(Line("d.vol", 0, 63, 65536, -k28, 0, 0, 1, 0, 2, 2) +
                             Line("d.vol", 1LL << 30, 126, 65536, k28 - 65536, 0, 0, -1, 0, 2, 2),
                         kUnit, t);
    EXPECT_FALSE(s.ok());
    EXPECT_NE(s.message().find("lies inside no brick"), std::string::npos) << s.message();
    // The same child under a root that does hold it loads.
    s = ParseZbText(Line("d.vol", 0, 63, 65536, k28 - 65536, 0, 0, 1, 0, 2, 2) +
                        Line("d.vol", 1LL << 30, 126, 65536, k28 / 2 - 32778, 0, 0, -1, 0, 2, 2),
                    kUnit, t);
    ASSERT_TRUE(s.ok()) << s.message();
    EXPECT_EQ(t.bricks[0].parent, 1);
}

TEST(ZbFile, PadSides) {
    EXPECT_EQ(PadSide(1), 2);
    EXPECT_EQ(PadSide(2), 2);
    EXPECT_EQ(PadSide(3), 4);
    EXPECT_EQ(PadSide(64), 64);
    EXPECT_EQ(PadSide(65), 128);
}

struct BadCase {
    const char* what;
    std::string text;
    const char* expect;
};

TEST(ZbFile, BadInputGivesClearErrors) {
    std::string longName(64, 'n');
    std::string many;
    for (int i = 0; i < kMaxBricks + 1; ++i) many += Line("d.vol", 0, 1, 2, 0, 0, 0, 0, 0);
    const BadCase cases[] = {
        {"too few tokens", "d.vol 0 1 2 2 2 0 0 0 -1\n", "needs 11"},
        {"no root", Line("d.vol", 0, 1, 2, 0, 0, 0, 0, 0), "ends before the root"},
        {"empty", "", "ends before the root"},
        {"long name", Line(longName.c_str(), 0, 1, 2, 0, 0, 0, -1, 0), "63 characters"},
        {"offset at limit", Line("d.vol", 20000000000LL, 1, 2, 0, 0, 0, -1, 0), "offset"},
        {"negative offset", Line("d.vol", -5, 1, 2, 0, 0, 0, -1, 0), "offset"},
        {"stride 128", Line("d.vol", 0, 128, 2, 0, 0, 0, -1, 0), "stride"},
        {"side zero", Line("d.vol", 0, 1, 0, 0, 0, 0, -1, 0), "sides"},
        {"huge brick", Line("d.vol", 0, 1, 65536, 0, 0, 0, -1, 0), "1 GiB"},
        {"not a number", "d.vol 0 1 2x 2 2 0 0 0 -1 0\n", "sides"},
        {"overflowing number", "d.vol 99999999999999999999 1 2 2 2 0 0 0 -1 0\n", "offset"},
        {"too many bricks", many, "8192"},
        {"line too long", "d.vol 0 1 2 2 2 0 0 0 -1 0" + std::string(200, ' ') + "\n", "200"},
        {"bad limits", Line("d.vol", 0, 1, 2, 0, 0, 0, -1, 0) + "XYZ_Limits 1 2 3\n", "six numbers"},
        {"root smaller than overlap", Line("d.vol", 0, 1, 2, -1, -1, -1, -1, 0), "overlap"},
    };
    for (const BadCase& c : cases) {
        BrickTable t;
        auto s = ParseZbText(c.text, kUnit, t, "f.zb");
        EXPECT_FALSE(s.ok()) << c.what;
        EXPECT_NE(s.message().find(c.expect), std::string::npos) << c.what << ": " << s.message();
        EXPECT_EQ(t.Count(), 0) << c.what;
    }
}

TEST(ZbFile, TooManyChildrenIsRefused) {
    std::string text;
    for (int i = 0; i < 33; ++i) text += Line("d.vol", 0, 1, 2, 0, 0, 0, 0, 0);
    text += Line("d.vol", 0, 2, 4, -1, -1, -1, -1, 0);
    BrickTable t;
    auto s = ParseZbText(text, kUnit, t);
    EXPECT_FALSE(s.ok());
    EXPECT_NE(s.message().find("32 children"), std::string::npos) << s.message();
}

TEST(ZbFile, DirectoryAndPairedNames) {
    EXPECT_EQ(DataDirOf("/data/vol/brain.zb"), "/data/vol/");
    EXPECT_EQ(DataDirOf("D:\\vols\\a.zb"), "D:\\vols\\");
    EXPECT_EQ(DataDirOf("a.zb"), "");
    std::string deep = std::string(120, 'd') + "/x.zb";
    EXPECT_EQ(DataDirOf(deep), "");  // the separator lies beyond 100 characters
    EXPECT_TRUE(IsPairedName("volRGB_brick.dat"));
    EXPECT_FALSE(IsPairedName("volume.dat"));
    EXPECT_EQ(AlphaName("volRGB_brick.dat"), "volALPHA___k.dat");
}

}  // namespace
}  // namespace voxa
