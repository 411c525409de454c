#include "engine/bricks/zb_writer.h"

#include "engine/bricks/brick_cache.h"
#include "engine/bricks/brick_reader.h"
#include "engine/bricks/zb_file.h"
#include "platform/direct_io.h"
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace voxa {
namespace {

using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteWholeFile;

unsigned char Src(int x, int y, int z) { return static_cast<unsigned char>((x * 3 + y * 5 + z * 7) % 256); }

SourceVolume Ramp(int nx, int ny, int nz) {
    SourceVolume v;
    v.nx = nx;
    v.ny = ny;
    v.nz = nz;
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) v.values.push_back(Src(x, y, z));
    return v;
}

// The levels of a volume, made here independently of zbmake: each coarser
// voxel is the rounded mean of the (up to eight) finer voxels below it.
struct RefLevel {
    int n[3];
    std::vector<int> v;
    int At(int x, int y, int z) const { return v[(size_t(z) * n[1] + y) * n[0] + x]; }
};

std::vector<RefLevel> ReferencePyramid(int nx, int ny, int nz, int levels) {
    std::vector<RefLevel> out(1);
    out[0] = {{nx, ny, nz}, {}};
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) out[0].v.push_back(Src(x, y, z));
    while (static_cast<int>(out.size()) < levels) {
        const RefLevel& f = out.back();
        RefLevel c{{(f.n[0] + 1) / 2, (f.n[1] + 1) / 2, (f.n[2] + 1) / 2}, {}};
        for (int z = 0; z < c.n[2]; ++z)
            for (int y = 0; y < c.n[1]; ++y)
                for (int x = 0; x < c.n[0]; ++x) {
                    int sum = 0, count = 0;
                    for (int d = 0; d < 8; ++d) {
                        const int fx = 2 * x + (d & 1), fy = 2 * y + ((d >> 1) & 1), fz = 2 * z + (d >> 2);
                        if (fx < f.n[0] && fy < f.n[1] && fz < f.n[2]) {
                            sum += f.At(fx, fy, fz);
                            ++count;
                        }
                    }
                    c.v.push_back((sum + count / 2) / count);
                }
        out.push_back(std::move(c));
    }
    return out;
}

struct TreeCase {
    int nx, ny, nz, brick, overlap;
};

std::ostream& operator<<(std::ostream& o, const TreeCase& c) {
    return o << c.nx << "x" << c.ny << "x" << c.nz << " brick " << c.brick << " overlap " << c.overlap;
}

class ZbWriterTree : public ::testing::TestWithParam<TreeCase> {};

// Builds the tree, loads it with the engine's reader (which rebuilds every
// parent from geometry with the strict centre test) and checks every
// brick of every level against the reference pyramid: bytes, trimmed
// sides, cores that tile the level exactly once, 64 KiB aligned offsets.
TEST_P(ZbWriterTree, BricksTileEveryLevelAndHugTheData) {
    const TreeCase c = GetParam();
    TempDir dir;
    ZbMakeOptions opt;
    opt.brick = c.brick;
    opt.overlap = c.overlap;
    opt.range = std::array<double, 2>{0, 255};
    ZbMakeReport rep;
    const std::string zb = dir.File("t.zb");
    auto s = MakeZb(Ramp(c.nx, c.ny, c.nz), zb, opt, &rep);
    ASSERT_TRUE(s.ok()) << s.message();
    BrickTable t;
    auto ls = ReadZbFile(zb, {1, 1, 1}, t);
    ASSERT_TRUE(ls.ok()) << ls.message();
    ASSERT_EQ(t.root, t.Count() - 1);

    const int ov = c.overlap, core = c.brick - 2 * ov;
    int levels = 1;
    for (int n = std::max({c.nx, c.ny, c.nz}); n > core; n = (n + 1) / 2) ++levels;
    EXPECT_EQ(rep.levels, levels);
    const int rootStride = 1 << (levels - 1);
    EXPECT_EQ(t.bricks[t.root].stride, rootStride);
    const auto ref = ReferencePyramid(c.nx, c.ny, c.nz, levels);

    // Extent: the data rounded up to whole root voxels; without overlap a
    // one-voxel remainder may keep one more root voxel.
    const int64_t extent[3] = {t.extentX, t.extentY, t.extentZ};
    const int dims[3] = {c.nx, c.ny, c.nz};
    for (int a = 0; a < 3; ++a) {
        const int64_t rounded = int64_t{ref[levels - 1].n[a]} * rootStride;
        if (ov > 0)
            EXPECT_EQ(extent[a], rounded) << "axis " << a;
        else
            EXPECT_TRUE(extent[a] == rounded || extent[a] == rounded + rootStride) << "axis " << a;
        EXPECT_GE(extent[a], dims[a]);
    }
    // Limits: the extent's world box, longest side -1 .. 1, centred.
    const float lim[6] = {t.limits.xmin, t.limits.xmax, t.limits.ymin, t.limits.ymax, t.limits.zmin, t.limits.zmax};
    const double longest = double(std::max({extent[0], extent[1], extent[2]}));
    for (int a = 0; a < 3; ++a) {
        EXPECT_NEAR(lim[2 * a + 1], extent[a] / longest, 1e-4) << "axis " << a;
        EXPECT_NEAR(lim[2 * a], -extent[a] / longest, 1e-4) << "axis " << a;
    }

    // Data file: every brick on a 64 KiB boundary, none overlapping another.
    const std::string dataPath = dir.File(rep.dataName);
    const int64_t fileSize = static_cast<int64_t>(ReadWholeFile(dataPath).size());
    EXPECT_EQ(fileSize, rep.dataBytes);
    std::vector<std::pair<int64_t, int64_t>> spans;
    for (const Brick& b : t.bricks) {
        EXPECT_EQ(b.offset % 65536, 0);
        spans.push_back({b.offset, b.offset + b.ByteCount()});
        ASSERT_LE(b.offset + b.ByteCount(), fileSize);
    }
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i) ASSERT_LE(spans[i - 1].second, spans[i].first);

    DirectBrickReader reader;  // direct reads where the count allows, else plain
    std::vector<std::vector<int>> covered(levels);
    for (int l = 0; l < levels; ++l) covered[l].assign(ref[l].v.size(), 0);
    for (const Brick& b : t.bricks) {
        int l = 0;
        while ((1 << l) < b.stride) ++l;
        ASSERT_LT(l, levels);
        const RefLevel& lv = ref[l];
        const int side[3] = {b.nx, b.ny, b.nz}, first[3] = {b.x0, b.y0, b.z0};
        for (int a = 0; a < 3; ++a) {
            ASSERT_EQ((first[a] + ov) % core, 0) << "brick on the core grid";
            const int left = lv.n[a] - (first[a] + ov);
            ASSERT_GT(left, 0) << "brick starts inside its level";
            if (ov > 0)
                EXPECT_EQ(side[a] - 2 * ov, std::min(core, left)) << "axis " << a << " stride " << b.stride;
            else
                EXPECT_TRUE(side[a] == std::min(core, left) || (left == 1 && side[a] == 2))
                    << "axis " << a << " stride " << b.stride << " side " << side[a];
        }
        AlignedBuffer buf(static_cast<size_t>(RoundUpToSlot(b.ByteCount())));
        ASSERT_EQ(reader.ReadWith(1, buf.Data(), dataPath, b.offset, b.ByteCount()), b.ByteCount());
        for (int w = 0; w < b.nz; ++w)
            for (int v = 0; v < b.ny; ++v)
                for (int u = 0; u < b.nx; ++u) {
                    const int x = b.x0 + u, y = b.y0 + v, z = b.z0 + w;
                    const int got = buf.Data()[(int64_t(w) * b.ny + v) * b.nx + u];
                    const bool inside = x >= 0 && y >= 0 && z >= 0 && x < lv.n[0] && y < lv.n[1] && z < lv.n[2];
                    ASSERT_EQ(got, inside ? lv.At(x, y, z) : 0)
                        << "stride " << b.stride << " at " << x << "," << y << "," << z;
                    const bool inCore =
                        u >= ov && v >= ov && w >= ov && u < b.nx - ov && v < b.ny - ov && w < b.nz - ov;
                    if (inside && inCore) ++covered[l][(size_t(z) * lv.n[1] + y) * lv.n[0] + x];
                }
        if (b.stride == 1) {
            EXPECT_EQ(b.error, 0);
        }
    }
    for (int l = 0; l < levels; ++l)
        for (int n : covered[l]) ASSERT_EQ(n, 1) << "level " << l << ": every voxel in exactly one core";
}

INSTANTIATE_TEST_SUITE_P(AwkwardSizes, ZbWriterTree,
                         ::testing::Values(TreeCase{181, 217, 181, 64, 1}, TreeCase{65, 1, 3, 64, 1},
                                           TreeCase{1, 1, 1, 64, 1}, TreeCase{130, 64, 2, 32, 1},
                                           TreeCase{70, 50, 40, 16, 1}, TreeCase{33, 7, 5, 8, 2},
                                           TreeCase{63, 64, 2, 64, 1}, TreeCase{1, 1, 1, 4, 0},
                                           TreeCase{11, 6, 3, 5, 0}, TreeCase{29, 13, 9, 4, 0}));

// Every remainder at every level, for small cores with and without
// overlap: the engine finds a parent for every brick.
TEST(ZbWriter, EveryRemainderKeepsAParent) {
    TempDir dir;
    for (int brick : {4, 5, 6, 7})
        for (int ov : {0, 1})
            for (int n = 1; n <= 40; ++n) {
                if (brick - 2 * ov < 2) continue;
                ZbMakeOptions opt;
                opt.brick = brick;
                opt.overlap = ov;
                const std::string zb = dir.File("r.zb");
                auto s = MakeZb(Ramp(n, n % 7 + 1, 1), zb, opt);
                ASSERT_TRUE(s.ok()) << s.message();
                BrickTable t;
                auto ls = ReadZbFile(zb, {1, 1, 1}, t);
                ASSERT_TRUE(ls.ok()) << "brick " << brick << " overlap " << ov << " n " << n << ": " << ls.message();
                EXPECT_GE(t.extentX, n);
                EXPECT_LT(t.extentX, n + 2 * t.bricks[t.root].stride);
            }
}

TEST(ZbWriter, ZbTextLongerThanOneReadChunkLoadsWhole) {
    // Small bricks make a long index (the reader takes the text in 64 KiB
    // pieces); every line written is a brick read back.
    TempDir dir;
    ZbMakeOptions opt;
    opt.brick = 4;
    const std::string zb = dir.File("long.zb");
    SourceVolume v;
    v.nx = v.ny = v.nz = 30;
    v.values.assign(30 * 30 * 30, 1.0f);
    ZbMakeReport report;
    ASSERT_TRUE(MakeZb(v, zb, opt, &report).ok());
    const std::string text = ReadWholeFile(zb);
    ASSERT_GT(text.size(), size_t{64} << 10);
    const auto lines = std::count(text.begin(), text.end(), '\n');
    BrickTable t;
    Status loaded = ReadZbFile(zb, {1, 1, 1}, t);
    ASSERT_TRUE(loaded.ok()) << loaded.message();
    EXPECT_EQ(t.Count(), report.bricks);
    EXPECT_EQ(t.Count() + 1, lines);  // and the limits line
    EXPECT_EQ(t.root, t.Count() - 1);
}

TEST(ZbWriter, CoarseVoxelsAreMeansAndCarryTheirError) {
    TempDir dir;
    ZbMakeOptions opt;
    opt.brick = 16;
    opt.range = std::array<double, 2>{0, 255};
    ZbMakeReport rep;
    const std::string zb = dir.File("ramp.zb");
    ASSERT_TRUE(MakeZb(Ramp(70, 50, 40), zb, opt, &rep).ok());
    BrickTable t;
    ASSERT_TRUE(ReadZbFile(zb, {1, 1, 1}, t).ok());
    const std::string data = ReadWholeFile(dir.File(rep.dataName));
    int leaves = 0;
    for (const Brick& b : t.bricks) leaves += b.stride == 1 ? 1 : 0;
    EXPECT_EQ(leaves, 5 * 4 * 3);  // cores of 14: 70 = 5 * 14, 50 -> 4, 40 -> 3
    // A coarse voxel is the rounded mean of its eight finer voxels; its
    // brick's error is at least that voxel's largest deviation.
    const Brick& l1 = t.bricks[leaves];
    ASSERT_EQ(l1.stride, 2);
    ASSERT_EQ(l1.x0, -1);
    int sum = 0, dev = 0;
    for (int i = 0; i < 8; ++i) sum += Src(i & 1, (i >> 1) & 1, (i >> 2) & 1);
    const int mean = (sum + 4) / 8;
    for (int i = 0; i < 8; ++i) dev = std::max(dev, std::abs(mean - Src(i & 1, (i >> 1) & 1, (i >> 2) & 1)));
    EXPECT_EQ(static_cast<unsigned char>(data[l1.offset + (1 * l1.ny + 1) * l1.nx + 1]), mean);
    EXPECT_GE(l1.error, dev);
    EXPECT_GT(t.bricks[t.root].error, 0);
}

TEST(ZbWriter, ConstantVolumeHasNoErrorAndOutputDirectoryIsMade) {
    TempDir dir;
    SourceVolume v;
    v.nx = v.ny = v.nz = 40;
    v.values.assign(40 * 40 * 40, 7.0f);
    ZbMakeOptions opt;
    opt.brick = 16;
    // The output directory does not exist yet: it is made.
    const std::string zb = dir.File("new/sub/c.zb");
    ASSERT_TRUE(MakeZb(v, zb, opt).ok());
    BrickTable t;
    ASSERT_TRUE(ReadZbFile(zb, {1, 1, 1}, t).ok());
    for (const Brick& b : t.bricks) EXPECT_EQ(b.error, 0);
}

TEST(ZbWriter, SmallVolumeIsOneRootBrickWithLimitsFromSpacing) {
    TempDir dir;
    SourceVolume v = Ramp(10, 20, 5);
    v.spacing = {2, 1, 1};
    ZbMakeOptions opt;  // 64^3 bricks
    ASSERT_TRUE(MakeZb(v, dir.File("s.zb"), opt).ok());
    BrickTable t;
    ASSERT_TRUE(ReadZbFile(dir.File("s.zb"), {1, 1, 1}, t).ok());
    ASSERT_EQ(t.Count(), 1);
    // The root holds the data and its margins, nothing more.
    EXPECT_EQ(t.bricks[0].nx, 12);
    EXPECT_EQ(t.bricks[0].ny, 22);
    EXPECT_EQ(t.bricks[0].nz, 7);
    EXPECT_EQ(t.extentX, 10);
    EXPECT_EQ(t.extentZ, 5);
    // World box from the spacing: x and y both 20 units -> -1 .. 1; z 5.
    EXPECT_NEAR(t.limits.xmin, -1.0, 1e-5);
    EXPECT_NEAR(t.limits.xmax, 1.0, 1e-5);
    EXPECT_NEAR(t.limits.ymin, -1.0, 1e-5);
    EXPECT_NEAR(t.limits.ymax, 1.0, 1e-5);
    EXPECT_NEAR(t.limits.zmin, -0.25, 1e-5);
    EXPECT_NEAR(t.limits.zmax, 0.25, 1e-5);
}

TEST(ZbWriter, OtherDirectoriesGetCopies) {
    TempDir dir, d1;
    ZbMakeOptions opt;
    opt.brick = 16;
    opt.otherDirs = {d1.Path() + "/copy"};
    ZbMakeReport rep;
    ASSERT_TRUE(MakeZb(Ramp(20, 20, 20), dir.File("m.zb"), opt, &rep).ok());
    EXPECT_EQ(ReadWholeFile(dir.File("otherdirs.txt")), d1.Path() + "/copy/\n");
    // The report names the data file the ZB file's lines name, and the copy
    // holds its bytes (two missing files would read alike).
    EXPECT_EQ(rep.dataName, "data_m.raw");
    const std::string data = ReadWholeFile(dir.File("data_m.raw"));
    ASSERT_GE(data.size(), 65536u);
    EXPECT_EQ(ReadWholeFile(dir.File("m.zb")).rfind("data_m.raw ", 0), 0u);
    EXPECT_TRUE(ReadWholeFile(d1.Path() + "/copy/data_m.raw") == data);
}

TEST(ZbWriter, ScalesOverTheRange) {
    auto b = ScaleToBytes({-1, 0, 5, 10, 11, NAN}, 0, 10);
    const std::vector<unsigned char> expect = {0, 0, 128, 255, 255, 0};
    EXPECT_EQ(b, expect);
}

// A refused or unfinished tree leaves none of its files behind.
TEST(ZbWriter, RefusedOrUnfinishedTreesLeaveNothingBehind) {
    TempDir dir;
    // Degenerate spacing is refused before anything is written.
    SourceVolume v = Ramp(8, 8, 8);
    v.spacing = {1, 1e-9f, 1};
    ZbMakeOptions opt;
    auto s = MakeZb(v, dir.File("lib/l.zb"), opt);
    EXPECT_FALSE(s.ok());
    EXPECT_NE(s.message().find("the y side"), std::string::npos) << s.message();
    EXPECT_FALSE(std::ifstream(dir.File("lib/data_l.raw")));

    // The ZB path is a directory: the data file and its copies are removed.
    std::filesystem::create_directories(dir.File("out/t.zb"));
    v.spacing = {1, 1, 1};
    opt.otherDirs = {dir.File("copy")};
    s = MakeZb(v, dir.File("out/t.zb"), opt);
    EXPECT_FALSE(s.ok());
    EXPECT_NE(s.message().find("t.zb: cannot create"), std::string::npos) << s.message();
    EXPECT_FALSE(std::ifstream(dir.File("copy/data_t.raw")));
    EXPECT_FALSE(std::ifstream(dir.File("out/data_t.raw")));
}

}  // namespace
}  // namespace voxa
