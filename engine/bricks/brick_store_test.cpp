#include "engine/bricks/brick_store.h"

#include "engine/bricks/brick_cache.h"
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace voxa {
namespace {

using testing::FreshRoot;
using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteWholeFile;

TEST(BrickStore, MissingZbFileGivesTheTestVolume) {
    FreshRoot root;
    BrickStore store;
    ASSERT_TRUE(store.LoadVolume(root.File("none.zb"), {2, 3, 4}, nullptr).ok());
    EXPECT_TRUE(store.IsTestVolume());
    const BrickTable& t = store.Table();
    ASSERT_EQ(t.Count(), 1);
    EXPECT_EQ(t.root, 0);
    EXPECT_EQ(t.bricks[0].nx, 64);
    EXPECT_EQ(store.loadedBrick, 0);
    EXPECT_FLOAT_EQ(t.limits.xmin, -2);
    EXPECT_FLOAT_EQ(t.limits.ymax, 3);
    EXPECT_FLOAT_EQ(t.limits.zmin, -4);
    // Expected voxels computed here in double precision: the edges of the
    // cube (two coordinates within 2 of a face) carry a ramp, all else 0.
    const unsigned char* v = store.Buffers().PaddedMain();
    const unsigned char* xz = store.Buffers().MainXZ();
    int mismatches = 0, edges = 0;
    for (int z = 0; z < 64; ++z)
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 64; ++x) {
                int faces = (x < 2 || x > 61) + (y < 2 || y > 61) + (z < 2 || z > 61);
                int expect = faces >= 2 ? 127 + static_cast<int>(std::floor(42.666668 * (x + y + z) / 64.0)) : 0;
                int got = v[(z * 64 + y) * 64 + x];
                edges += faces >= 2;
                mismatches += got != expect;
                EXPECT_EQ(xz[(z * 64 + y) * 64 + x], got);
            }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(edges, 12 * 60 * 4 + 8 * 8);
    EXPECT_EQ(v[0], 127);
    EXPECT_EQ(v[64 * 64 * 64 - 1], 127 + 126);
}

TEST(BrickStore, LoadsOncePerPathAndScaleAndReportsBadFiles) {
    FreshRoot root;
    TempDir dir;
    const std::string zb = dir.File("v.zb");
    ASSERT_TRUE(WriteWholeFile(zb, "d.vol 0 1 4 4 4 0 0 0 -1 0\n"));
    BrickStore store;
    ASSERT_TRUE(store.LoadVolume(zb, {1, 1, 1}, nullptr).ok());
    EXPECT_FALSE(store.IsTestVolume());
    EXPECT_EQ(store.BrickPath(0), dir.Path() + "/d.vol");
    // Same path: nothing is read (the broken file goes unnoticed).
    ASSERT_TRUE(WriteWholeFile(zb, "d.vol 0 1 4\n"));
    EXPECT_TRUE(store.LoadVolume(zb, {1, 1, 1}, nullptr).ok());
    EXPECT_EQ(store.Table().Count(), 1);
    // New scale factors read it again.
    Status failed = store.LoadVolume(zb, {2, 1, 1}, nullptr);
    EXPECT_FALSE(failed.ok());
    EXPECT_NE(failed.message().find("needs 11"), std::string::npos) << failed.message();
    // Asked again with the same path and scale: the same failure.
    Status again = store.LoadVolume(zb, {2, 1, 1}, nullptr);
    EXPECT_FALSE(again.ok());
    EXPECT_EQ(again.message(), failed.message());
    EXPECT_NE(ReadWholeFile(root.File("DEBUG_VOXA.txt")).find("needs 11"), std::string::npos);
    EXPECT_EQ(store.Table().Count(), 0);
    store.ForgetPath();
    ASSERT_TRUE(WriteWholeFile(zb, "abcRGBxxxxxyz.dat 0 1 4 4 4 0 0 0 -1 0\n"));
    EXPECT_TRUE(store.LoadVolume(zb, {2, 1, 1}, nullptr).ok());
    EXPECT_TRUE(store.IsPaired());
    EXPECT_EQ(store.SecondBrickPath(0), dir.Path() + "/abcALPHA___yz.dat");
}

TEST(BrickStore, EveryFileTheReadersWouldOpenIsCheckedOnce) {
    FreshRoot root;
    TempDir dir, other;
    const std::string zb = dir.File("v.zb");
    // Three bricks in two files, the root brick last; paired names.
    ASSERT_TRUE(WriteWholeFile(zb, "abcRGBxxxxxyz.dat 0 1 4 4 4 0 0 0 2 0\n"
                                   "abcRGBxxxxxyz.dat 64 1 4 4 4 4 0 0 2 0\n"
                                   "sub/abcRGBxxxxxzz.dat 0 2 4 2 2 0 0 0 -1 0\n"));
    ASSERT_TRUE(WriteWholeFile(dir.File(kOtherDirsFile), other.Path() + "/\n"));
    BrickStore store;
    BrickCache cache(1);
    Status loaded = store.LoadVolume(zb, {1, 1, 1}, &cache);
    ASSERT_TRUE(loaded.ok()) << loaded.message();
    ASSERT_EQ(cache.CheckDataDirs(zb), 2);
    std::vector<std::string> asked;
    auto allow = [&](const std::string& path) {
        asked.push_back(path);
        return Status::Ok();
    };
    ASSERT_TRUE(CheckVolumeFiles(store, cache, allow).ok());
    std::sort(asked.begin(), asked.end());
    // Main and second files, in the ZB file's directory (with the name's own
    // folder) and in the other directory (the file name alone).
    // (The second brick's name is formed from the whole name, folder and
    // all: "sub/abcRGB..." gives "subALPHA___...".)
    const std::string subSecond = AlphaName("sub/abcRGBxxxxxzz.dat");
    ASSERT_EQ(subSecond.find('/'), std::string::npos);
    std::vector<std::string> expected = {
        dir.Path() + "/abcALPHA___yz.dat",     dir.Path() + "/abcRGBxxxxxyz.dat",
        dir.Path() + "/" + subSecond,          dir.Path() + "/sub/abcRGBxxxxxzz.dat",
        other.Path() + "/abcALPHA___yz.dat",   other.Path() + "/" + subSecond,
        other.Path() + "/abcRGBxxxxxyz.dat",   other.Path() + "/abcRGBxxxxxzz.dat"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(asked, expected);

    // The first refusal ends the check and names the brick file.
    auto refuseOther = [&](const std::string& path) {
        return path.rfind(other.Path(), 0) == 0 ? Refused("outside the data roots") : Status::Ok();
    };
    Status refused = CheckVolumeFiles(store, cache, refuseOther);
    EXPECT_EQ(refused.code(), StatusCode::kRefused);
    EXPECT_NE(refused.message().find("outside the data roots"), std::string::npos);
    EXPECT_NE(refused.message().find("(brick file "), std::string::npos) << refused.message();

    // The built-in test volume reads no file.
    BrickStore test;
    ASSERT_TRUE(test.LoadVolume(root.File("none.zb"), {1, 1, 1}, nullptr).ok());
    EXPECT_TRUE(CheckVolumeFiles(test, cache, [](const std::string&) {
                    return Refused("nothing may be read");
                }).ok());
}

TEST(BrickStore, WorkBuffersGrowForLargeBricks) {
    FreshRoot root;
    TempDir dir;
    const std::string zb = dir.File("v.zb");
    ASSERT_TRUE(WriteWholeFile(zb, "d.vol 0 1 130 100 100 0 0 0 -1 0\n"));  // pads to 256x128x128
    BrickStore store;
    EXPECT_EQ(store.Buffers().Size(), kInitialWorkBufferBytes);
    ASSERT_TRUE(store.LoadVolume(zb, {1, 1, 1}, nullptr).ok());
    EXPECT_EQ(store.Buffers().Size(), 256 * 128 * 128);
    ASSERT_TRUE(WriteWholeFile(zb, "d.vol 0 1 4 4 4 0 0 0 -1 0\n"));
    store.ForgetPath();
    ASSERT_TRUE(store.LoadVolume(zb, {1, 1, 1}, nullptr).ok());
    EXPECT_EQ(store.Buffers().Size(), 256 * 128 * 128);  // never shrinks
}

TEST(BrickPrep, OddBrickFillPadsRowByRow) {
    Brick b;
    b.nx = 3;
    b.ny = 2;
    b.nz = 1;
    std::vector<unsigned char> src = {1, 2, 3, 4, 5, 6};
    std::vector<unsigned char> padded(4 * 2 * 2, 0);
    const unsigned char* out = OddBrickFill(src.data(), b, padded.data(), nullptr);
    ASSERT_EQ(out, padded.data());
    const std::vector<unsigned char> expect = {1, 2, 3, 128, 4, 5, 6, 128, 128, 128, 128, 128, 128, 128, 128, 128};
    EXPECT_EQ(padded, expect);
    // Power-of-two x and y: the bytes are used in place.
    b.nx = 2;
    b.ny = 2;
    b.nz = 3;
    EXPECT_EQ(OddBrickFill(src.data(), b, padded.data(), nullptr), src.data());
}

TEST(BrickPrep, SecondBrickIsReadAndPadded) {
    TempDir dir;
    const std::string f = dir.File("abcALPHA___.dat");
    std::string bytes;
    for (int i = 0; i < 100; ++i) bytes += static_cast<char>(i);
    ASSERT_TRUE(WriteWholeFile(f, bytes));
    WorkBuffers wb;
    DirectBrickReader reader;
    Brick b;
    b.offset = 10;
    b.nx = 3;
    b.ny = 1;
    b.nz = 2;  // pads to 4 x 2 x 2
    ASSERT_TRUE(ReadSecondBrick(f, b, 1, reader, wb));
    const unsigned char* p = wb.PaddedSecond();
    EXPECT_EQ(p[0], 10);
    EXPECT_EQ(p[2], 12);
    EXPECT_EQ(p[3], 128);
    EXPECT_EQ(p[8], 13);  // second plane starts at 4 * 2
    b.offset = 98;        // runs past the end: short read
    EXPECT_FALSE(ReadSecondBrick(f, b, 0, reader, wb));
    EXPECT_EQ(wb.PaddedSecond()[0], 128);
}

TEST(BrickStore, NewVolumeFlushesTheCache) {
    FreshRoot root;
    TempDir dir;
    const std::string data = dir.File("d.vol");
    ASSERT_TRUE(WriteWholeFile(data, std::string(65536, 'a')));
    const std::string zb = dir.File("v.zb");
    ASSERT_TRUE(WriteWholeFile(zb, "d.vol 0 1 64 64 16 0 0 0 -1 0\n"));
    BrickCache cache(1);
    BrickStore store;
    ASSERT_TRUE(store.LoadVolume(zb, {1, 1, 1}, &cache).ok());
    cache.CheckDataDirs(zb);
    cache.ResetRequests();
    cache.PostRequest(0, store.BrickPath(0), 0, store.Table().bricks[0].ByteCount());
    cache.SetPosted();
    unsigned char* p = cache.GetCacheBuffer(0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[65535], 'a');
    cache.Release(0);
    cache.WaitUntilIdle();
    EXPECT_TRUE(cache.IsResident(0));
    ASSERT_TRUE(WriteWholeFile(dir.File("w.zb"), "d.vol 0 1 64 64 16 0 0 0 -1 0\n"));
    ASSERT_TRUE(store.LoadVolume(dir.File("w.zb"), {1, 1, 1}, &cache).ok());
    EXPECT_FALSE(cache.IsResident(0));
}

}  // namespace
}  // namespace voxa
