// Tests of reading a single-file brick tree's index and pruning it, against
// layouts worked out by hand.
#include "fileport/zb_prune.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace voxa::fileport {
namespace {

constexpr int64_t kMaxBrick = 32 << 20;

struct Line {
    int64_t offset;
    int stride, nx, ny, nz, parent, error;
};

std::string Header(const std::vector<Line>& lines, const std::string& trailer = "") {
    std::string text;
    char buf[256];
    int x = 0;
    for (const Line& l : lines) {
        std::snprintf(buf, sizeof buf, "src.zb %lld %d %d %d %d %d %d %d %d %d\n",
                      static_cast<long long>(l.offset), l.stride, l.nx, l.ny, l.nz, x, -1, -1, l.parent,
                      l.error);
        text += buf;
        x += 8;
    }
    text += trailer;
    text.resize(131072, '\0');
    return text;
}

// Strides 1, 2, 4, 8. Stride-1 brick 0 lies under stride-2 brick 5 and brick
// 1 under brick 4, so a depth-first walk meets brick 1 before brick 0.
std::vector<Line> FourLevels() {
    std::vector<Line> l = {
        {0, 1, 10, 10, 10, 5, 3}, {0, 1, 10, 10, 10, 4, 4}, {0, 1, 20, 10, 10, 6, 5},
        {0, 1, 10, 10, 10, 7, 6}, {0, 2, 12, 12, 12, 8, 7}, {0, 2, 12, 12, 12, 8, 7},
        {0, 2, 12, 12, 12, 9, 7}, {0, 2, 12, 12, 12, 9, 7}, {0, 4, 12, 12, 12, 10, 8},
        {0, 4, 12, 12, 12, 10, 8}, {0, 8, 100, 100, 100, -1, 9},
    };
    for (size_t i = 0; i < l.size(); ++i) l[i].offset = 131072 + static_cast<int64_t>(i) * 1310720;
    return l;
}

PrunedTree Prune(const std::vector<Line>& lines, int levels, const std::string& trailer = "") {
    auto header = ParseZbHeader(Header(lines, trailer), kMaxBrick);
    EXPECT_TRUE(header.ok()) << header.status().message();
    auto tree = PruneZbTree(*header, levels, "copy.zb");
    EXPECT_TRUE(tree.ok()) << tree.status().message();
    return tree.ok() ? *tree : PrunedTree{};
}

TEST(ZbPrune, OneLevelKeepsTheRootAloneRightAfterTheHeader) {
    PrunedTree t = Prune(FourLevels(), 1);
    ASSERT_EQ(t.bricks.size(), 1u);
    const TreeBrick& root = t.bricks[0].brick;
    EXPECT_EQ(root.offset, 131072);
    EXPECT_EQ(root.stride, 1);
    EXPECT_EQ(root.error, 0);
    EXPECT_EQ(root.parent, -1);
    EXPECT_EQ(root.name, "copy.zb");
    EXPECT_EQ(t.bricks[0].sourceOffset, 131072 + 10 * 1310720);
    // A 100 x 100 x 100 brick takes 16 x 65,536 = 1,048,576 bytes.
    EXPECT_EQ(t.fileLength, 131072 + 1048576);
    EXPECT_EQ(LaidOutBytes(1000000), 1048576);
    EXPECT_EQ(LaidOutBytes(0), 65536);
    EXPECT_EQ(LaidOutBytes(65536), 65536);
    EXPECT_EQ(LaidOutBytes(65537), 131072);
}

TEST(ZbPrune, TwoLevelsKeepStridesEightAndFourAsTwoAndOneFinestFirst) {
    PrunedTree t = Prune(FourLevels(), 2);
    ASSERT_EQ(t.bricks.size(), 3u);
    const int strides[] = {1, 1, 2};
    const int parents[] = {2, 2, -1};
    const int errors[] = {0, 0, 9};
    const int64_t offsets[] = {131072, 196608, 262144};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(t.bricks[i].brick.stride, strides[i]) << i;
        EXPECT_EQ(t.bricks[i].brick.parent, parents[i]) << i;
        EXPECT_EQ(t.bricks[i].brick.error, errors[i]) << i;
        EXPECT_EQ(t.bricks[i].brick.offset, offsets[i]) << i;
        EXPECT_EQ(t.bricks[i].sourceOffset, 131072 + (8 + i) * int64_t{1310720}) << i;
    }
    EXPECT_EQ(t.fileLength, 262144 + 1048576);
}

TEST(ZbPrune, MoreLevelsThanTheTreeKeepsEveryBrickAndLaysThemOutDepthFirst) {
    PrunedTree t = Prune(FourLevels(), 10);
    ASSERT_EQ(t.bricks.size(), 11u);
    const auto src = FourLevels();
    // Walk order per stride: 1, 0, 2, 3 | 4, 5, 6, 7 | 8, 9 | 10.
    const int64_t offsets[] = {196608, 131072, 262144, 327680, 393216, 458752,
                               524288, 589824, 655360, 720896, 786432};
    for (int i = 0; i < 11; ++i) {
        EXPECT_EQ(t.bricks[i].brick.stride, src[i].stride) << i;
        EXPECT_EQ(t.bricks[i].brick.parent, src[i].parent) << i;
        EXPECT_EQ(t.bricks[i].brick.offset, offsets[i]) << i;
        EXPECT_EQ(t.bricks[i].brick.error, src[i].stride == 1 ? 0 : src[i].error) << i;
    }
    EXPECT_EQ(t.fileLength, 786432 + 1048576);
}

TEST(ZbPrune, HeaderTextHasOneFixedWidthLinePerBrickThenTheTrailer) {
    PrunedTree t = Prune(FourLevels(), 2, "XYZ_Limits -1 1 -1 1 -0.5 0.5\nnotes here\n\nignored\n");
    ASSERT_EQ(t.trailer.size(), 2u);
    auto text = ZbHeaderText(t);
    ASSERT_TRUE(text.ok());
    EXPECT_EQ(*text,
              "copy.zb     131072  1     12   12   12      64    -1    -1        2   0\n"
              "copy.zb     196608  1     12   12   12      72    -1    -1        2   0\n"
              "copy.zb     262144  2    100  100  100      80    -1    -1       -1   9\n"
              "XYZ_Limits -1 1 -1 1 -0.5 0.5\n"
              "notes here\n");
    // The new index reads back as the same tree.
    auto again = ParseZbHeader(*text, kMaxBrick);
    ASSERT_TRUE(again.ok()) << again.status().message();
    ASSERT_EQ(again->bricks.size(), 3u);
    EXPECT_EQ(again->bricks[1].offset, 196608);
    EXPECT_EQ(again->bricks[2].parent, -1);
}

TEST(ZbPrune, BrokenOrOversizedIndexesAreRefused) {
    auto refused = [](const std::string& text, int levels = 1) {
        auto h = ParseZbHeader(text, kMaxBrick);
        if (!h.ok()) return true;
        auto t = PruneZbTree(*h, levels, "copy.zb");
        if (!t.ok()) return true;
        return !ZbHeaderText(*t).ok();
    };
    auto lines = FourLevels();
    EXPECT_FALSE(refused(Header(lines)));
    // No root line.
    auto noRoot = lines;
    noRoot.pop_back();
    EXPECT_TRUE(refused(Header(noRoot)));
    EXPECT_TRUE(refused(""));
    // Parent fields out of range, pointing at itself or at a finer brick.
    auto bad = lines;
    bad[0].parent = 11;
    EXPECT_TRUE(refused(Header(bad)));
    bad = lines;
    bad[4].parent = 4;
    EXPECT_TRUE(refused(Header(bad)));
    bad = lines;
    bad[4].parent = 0;
    EXPECT_TRUE(refused(Header(bad)));
    // A brick beyond the first 4 GiB, which GetPartFile cannot reach.
    bad = lines;
    bad[3].offset = 4294967296LL - 999;
    EXPECT_TRUE(refused(Header(bad)));
    bad[3].offset = 4294967296LL - 1000;  // ends exactly at 4 GiB: fine
    EXPECT_FALSE(refused(Header(bad)));
    // A brick larger than one transfer.
    bad = lines;
    bad[10].nx = bad[10].ny = bad[10].nz = 400;  // 64,000,000 bytes
    EXPECT_TRUE(refused(Header(bad)));
    // A side of 0 and a stride of 128.
    bad = lines;
    bad[2].nz = 0;
    EXPECT_TRUE(refused(Header(bad)));
    bad = lines;
    bad[10].stride = 128;
    EXPECT_TRUE(refused(Header(bad)));
    // A line longer than 200 characters, a field that is no number.
    EXPECT_TRUE(refused(std::string(201, 'x') + " 0 1 1 1 1 0 0 0 -1 0\n"));
    EXPECT_TRUE(refused("a.zb 0 1 1 1 1 0 0 0 -1 zero\n"));
    EXPECT_TRUE(refused("a.zb 99999999999999999999 1 1 1 1 0 0 0 -1 0\n"));
}

TEST(ZbPrune, TablesLimitsAreEnforced) {
    // 65 children under one root: one more than a child list holds.
    std::vector<Line> wide;
    for (int i = 0; i < 65; ++i) wide.push_back({131072, 1, 4, 4, 4, 65, 0});
    wide.push_back({131072, 2, 8, 8, 8, -1, 0});
    auto h = ParseZbHeader(Header(wide), kMaxBrick);
    ASSERT_TRUE(h.ok());
    EXPECT_FALSE(PruneZbTree(*h, 2, "c.zb").ok());
    wide.erase(wide.begin());  // 64 children fit
    for (auto& l : wide) l.parent = l.parent >= 0 ? 64 : -1;
    h = ParseZbHeader(Header(wide), kMaxBrick);
    ASSERT_TRUE(h.ok());
    EXPECT_TRUE(PruneZbTree(*h, 2, "c.zb").ok());

    // 2049 bricks are more than the table holds.
    std::string many;
    for (int i = 0; i < 2048; ++i) many += "a 0 1 1 1 1 0 0 0 2048 0\n";
    many += "a 0 2 1 1 1 0 0 0 -1 0\n";
    EXPECT_FALSE(ParseZbHeader(many, kMaxBrick).ok());

    // An index that would not fit before byte 131,072 under a long name:
    // 1 + 30 + 30 x 63 = 1,921 bricks of about 124 bytes a line.
    std::vector<Line> big;
    for (int p = 0; p < 30; ++p)
        for (int c = 0; c < 63; ++c) big.push_back({131072, 1, 4, 4, 4, 1890 + p, 0});
    for (int p = 0; p < 30; ++p) big.push_back({131072, 2, 4, 4, 4, 1920, 0});
    big.push_back({131072, 4, 4, 4, 4, -1, 0});
    h = ParseZbHeader(Header(big).substr(0, std::string::npos), kMaxBrick);
    ASSERT_TRUE(h.ok()) << h.status().message();
    auto t = PruneZbTree(*h, 3, std::string(60, 'n'));
    ASSERT_TRUE(t.ok());
    EXPECT_FALSE(ZbHeaderText(*t).ok());
    t = PruneZbTree(*h, 2, std::string(60, 'n'));  // 31 bricks fit
    ASSERT_TRUE(t.ok());
    EXPECT_TRUE(ZbHeaderText(*t).ok());
    EXPECT_FALSE(PruneZbTree(*h, 2, std::string(64, 'n')).ok());  // name over 63 characters
}

}  // namespace
}  // namespace voxa::fileport
