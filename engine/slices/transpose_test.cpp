#include "engine/slices/transpose.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace voxa {
namespace {

constexpr uint8_t kUntouched = 0xEE;

uint8_t Pattern(size_t i) { return static_cast<uint8_t>((i * 2654435761u) >> 13); }

struct Case {
    std::array<int, 3> sides, padded;
    int rowsY;  // expected copied rows of y
};

class TransposeLayouts : public ::testing::TestWithParam<Case> {};

// Whole padded native buffer filled with a pattern; every byte of the
// destination is checked: copied bytes at their documented index, all
// others untouched.
TEST_P(TransposeLayouts, YZPutsByteXYZAtYPlusPyTimesZPlusPzTimesX) {
    const Case c = GetParam();
    BrickShape shape{c.sides, c.padded};
    const int px = c.padded[0], py = c.padded[1], pz = c.padded[2];
    ASSERT_EQ(CopiedRowsY(shape), c.rowsY);
    std::vector<uint8_t> native(static_cast<size_t>(px) * py * pz);
    for (size_t i = 0; i < native.size(); ++i) native[i] = Pattern(i);
    std::vector<uint8_t> dst(native.size(), kUntouched);
    ASSERT_TRUE(TransposeYZ(native, dst, shape));
    for (int x = 0; x < px; ++x) {
        for (int z = 0; z < pz; ++z) {
            for (int y = 0; y < py; ++y) {
                size_t at = static_cast<size_t>(y) + py * (z + static_cast<size_t>(pz) * x);
                bool copied = x < c.sides[0] && y < c.rowsY && z < c.sides[2];
                uint8_t want = copied ? native[x + px * (y + static_cast<size_t>(py) * z)]
                                      : kUntouched;
                ASSERT_EQ(dst[at], want) << x << "," << y << "," << z;
            }
        }
    }
}

TEST_P(TransposeLayouts, XZPutsByteXYZAtXPlusPxTimesZPlusPzTimesY) {
    const Case c = GetParam();
    BrickShape shape{c.sides, c.padded};
    const int px = c.padded[0], py = c.padded[1], pz = c.padded[2];
    std::vector<uint8_t> native(static_cast<size_t>(px) * py * pz);
    for (size_t i = 0; i < native.size(); ++i) native[i] = Pattern(i + 7);
    std::vector<uint8_t> dst(native.size(), kUntouched);
    ASSERT_TRUE(TransposeXZ(native, dst, shape));
    for (int y = 0; y < py; ++y) {
        for (int z = 0; z < pz; ++z) {
            for (int x = 0; x < px; ++x) {
                size_t at = static_cast<size_t>(x) + px * (z + static_cast<size_t>(pz) * y);
                bool copied = x < c.sides[0] && y < c.rowsY && z < c.sides[2];
                uint8_t want = copied ? native[x + px * (y + static_cast<size_t>(py) * z)]
                                      : kUntouched;
                ASSERT_EQ(dst[at], want) << x << "," << y << "," << z;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    OddSizesAndPadding, TransposeLayouts,
    ::testing::Values(Case{{13, 7, 5}, {16, 8, 8}, 8},       // y rounded up to 8
                      Case{{13, 5, 5}, {16, 16, 8}, 8},      // rounded within a larger side
                      Case{{2, 2, 1}, {2, 2, 2}, 2},         // rounding capped by Py
                      Case{{37, 41, 9}, {64, 64, 16}, 44},   // tiles plus ragged edges
                      Case{{64, 64, 3}, {64, 64, 4}, 64},    // whole tiles
                      Case{{16, 33, 2}, {16, 64, 2}, 36}));  // ragged y only

TEST(Transpose, ReadsOnlyTheBytesOfAnUnpaddedCacheBrick) {
    // Sides already padded on x and y: the brick store hands over nx*ny*nz
    // bytes of cache even when z pads further.
    BrickShape shape{{8, 8, 5}, {8, 8, 8}};
    EXPECT_EQ(NativeBytesRead(shape), 8u * 8u * 5u);
    std::vector<uint8_t> native(8 * 8 * 5);
    for (size_t i = 0; i < native.size(); ++i) native[i] = Pattern(i);
    std::vector<uint8_t> dst(PaddedVolume(shape));
    EXPECT_TRUE(TransposeYZ(native, dst, shape));
    EXPECT_EQ(dst[YZIndex(shape, 3, 6, 4)], native[NativeIndex(shape, 3, 6, 4)]);
}

TEST(Transpose, RefusesShortBuffersAndBadShapesWithoutWriting) {
    BrickShape shape{{8, 8, 8}, {8, 8, 8}};
    std::vector<uint8_t> native(512, 1), dst(512, kUntouched);
    std::vector<uint8_t> shortNative(511, 1), shortDst(511, kUntouched);
    EXPECT_FALSE(TransposeYZ(shortNative, dst, shape));
    EXPECT_FALSE(TransposeXZ(native, shortDst, shape));
    BrickShape bad{{9, 8, 8}, {8, 8, 8}};
    EXPECT_FALSE(TransposeYZ(native, dst, bad));
    BrickShape zero{{0, 8, 8}, {8, 8, 8}};
    EXPECT_FALSE(TransposeXZ(native, dst, zero));
    for (uint8_t b : dst) ASSERT_EQ(b, kUntouched);
    for (uint8_t b : shortDst) ASSERT_EQ(b, kUntouched);
}

TEST(Transpose, SliceImagesAreContiguousPlanesOfEachLayout) {
    BrickShape shape{{4, 8, 2}, {4, 8, 2}};
    std::vector<uint8_t> layout(PaddedVolume(shape));
    for (size_t i = 0; i < layout.size(); ++i) layout[i] = static_cast<uint8_t>(i);
    auto yz = SliceImage(layout, shape, PassKind::kYZ, 3);  // Py x Pz at Py*Pz*3
    ASSERT_EQ(yz.size(), 16u);
    EXPECT_EQ(yz.data(), layout.data() + 48);
    auto xz = SliceImage(layout, shape, PassKind::kXZ, 5);  // Px x Pz at Px*Pz*5
    ASSERT_EQ(xz.size(), 8u);
    EXPECT_EQ(xz.data(), layout.data() + 40);
    auto xy = SliceImage(layout, shape, PassKind::kXY, 1);  // Px x Py at Px*Py
    ASSERT_EQ(xy.size(), 32u);
    EXPECT_EQ(xy.data(), layout.data() + 32);
    EXPECT_TRUE(SliceImage(layout, shape, PassKind::kXY, 2).empty());
    EXPECT_TRUE(SliceImage(layout, shape, PassKind::kYZ, -1).empty());
    EXPECT_TRUE(SliceImage(std::span<const uint8_t>(layout).first(40), shape, PassKind::kXY, 1)
                    .empty());
}

}  // namespace
}  // namespace voxa
