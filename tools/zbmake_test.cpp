#include "tools/zbmake.h"

#include "engine/zb_file.h"
#include "platform/test_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace voxa {
namespace {

using testing::ReadWholeFile;
using testing::RunCommand;
using testing::TempDir;
using testing::WriteWholeFile;

const std::string kZbMake = std::string(VOXA_BIN_DIR) + "/zbmake";

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

TEST(ZbMake, LeafBricksHoldTheSourceVoxels) {
    TempDir dir;
    const int nx = 70, ny = 50, nz = 40;
    ZbMakeOptions opt;
    opt.brick = 16;
    opt.range = std::array<double, 2>{0, 255};
    ZbMakeReport rep;
    const std::string zb = dir.File("ramp.zb");
    auto s = MakeZb(Ramp(nx, ny, nz), zb, opt, &rep);
    ASSERT_TRUE(s.ok) << s.message;
    BrickTable t;
    auto ls = ReadZbFile(zb, {1, 1, 1}, t);
    ASSERT_TRUE(ls.ok) << ls.message;
    EXPECT_EQ(t.root, t.Count() - 1);
    EXPECT_EQ(t.bricks[t.root].stride, 8);  // 70 -> 35 -> 18 -> 9 fits one core of 14
    EXPECT_EQ(rep.levels, 4);
    EXPECT_EQ(t.extentX, 14 * 8);
    const std::string data = ReadWholeFile(dir.File(rep.dataName));
    std::vector<int> covered(size_t(nx) * ny * nz, 0);
    int leaves = 0;
    for (const Brick& b : t.bricks) {
        EXPECT_EQ(b.offset % 65536, 0);
        if (b.stride != 1) continue;
        ++leaves;
        EXPECT_EQ(b.error, 0);
        ASSERT_LE(b.offset + b.ByteCount(), static_cast<int64_t>(data.size()));
        for (int w = 0; w < b.nz; ++w)
            for (int v = 0; v < b.ny; ++v)
                for (int u = 0; u < b.nx; ++u) {
                    const int x = b.x0 + u, y = b.y0 + v, z = b.z0 + w;
                    const auto got = static_cast<unsigned char>(data[b.offset + (int64_t(w) * b.ny + v) * b.nx + u]);
                    const bool inside = x >= 0 && y >= 0 && z >= 0 && x < nx && y < ny && z < nz;
                    ASSERT_EQ(got, inside ? Src(x, y, z) : 0) << x << "," << y << "," << z;
                    const bool core = u >= 1 && v >= 1 && w >= 1 && u < b.nx - 1 && v < b.ny - 1 && w < b.nz - 1;
                    if (inside && core) ++covered[(size_t(z) * ny + y) * nx + x];
                }
    }
    EXPECT_EQ(leaves, 5 * 4 * 3);
    for (int c : covered) ASSERT_EQ(c, 1);  // every voxel in exactly one core
    // A coarse voxel is the rounded mean of its eight finer voxels; its
    // brick's error is at least that voxel's largest deviation.
    const Brick& l1 = t.bricks[leaves];
    ASSERT_EQ(l1.stride, 2);
    int sum = 0, dev = 0;
    for (int i = 0; i < 8; ++i) sum += Src(i & 1, (i >> 1) & 1, (i >> 2) & 1);
    const int mean = (sum + 4) / 8;
    for (int i = 0; i < 8; ++i) dev = std::max(dev, std::abs(mean - Src(i & 1, (i >> 1) & 1, (i >> 2) & 1)));
    EXPECT_EQ(static_cast<unsigned char>(data[l1.offset + (1 * 16 + 1) * 16 + 1]), mean);
    EXPECT_GE(l1.error, dev);
    EXPECT_GT(t.bricks[t.root].error, 0);
}

TEST(ZbMake, ConstantVolumeHasNoErrorAndOutputDirectoryIsMade) {
    TempDir dir;
    SourceVolume v;
    v.nx = v.ny = v.nz = 40;
    v.values.assign(40 * 40 * 40, 7.0f);
    ZbMakeOptions opt;
    opt.brick = 16;
    // The output directory does not exist yet: it is made.
    const std::string zb = dir.File("new/sub/c.zb");
    ASSERT_TRUE(MakeZb(v, zb, opt).ok);
    BrickTable t;
    ASSERT_TRUE(ReadZbFile(zb, {1, 1, 1}, t).ok);
    for (const Brick& b : t.bricks) EXPECT_EQ(b.error, 0);
}

TEST(ZbMake, SmallVolumeIsOneRootBrickWithLimitsFromSpacing) {
    TempDir dir;
    SourceVolume v = Ramp(10, 20, 5);
    v.spacing = {2, 1, 1};
    ZbMakeOptions opt;  // 64^3 bricks
    ASSERT_TRUE(MakeZb(v, dir.File("s.zb"), opt).ok);
    BrickTable t;
    ASSERT_TRUE(ReadZbFile(dir.File("s.zb"), {1, 1, 1}, t).ok);
    ASSERT_EQ(t.Count(), 1);
    // Longest side: x and y both 20 units -> -1 .. 1; data starts at xmin.
    EXPECT_NEAR(t.limits.xmin, -1.0, 1e-5);
    EXPECT_NEAR(t.limits.ymin, -1.0, 1e-5);
    EXPECT_NEAR(t.limits.zmin, -0.25, 1e-5);
    // The root covers 62 finest voxels: 62 * 2 / 20 units on x.
    EXPECT_NEAR(t.limits.xmax - t.limits.xmin, 62 * 2 * 0.1, 1e-4);
}

TEST(ZbMake, OtherDirectoriesGetCopies) {
    TempDir dir, d1;
    ZbMakeOptions opt;
    opt.brick = 16;
    opt.otherDirs = {d1.Path() + "/copy"};
    ZbMakeReport rep;
    ASSERT_TRUE(MakeZb(Ramp(20, 20, 20), dir.File("m.zb"), opt, &rep).ok);
    EXPECT_EQ(ReadWholeFile(dir.File("otherdirs.txt")), d1.Path() + "/copy/\n");
    EXPECT_EQ(ReadWholeFile(d1.Path() + "/copy/" + rep.dataName), ReadWholeFile(dir.File(rep.dataName)));
}

// Writes a NIfTI-1 header + data (n+1), optionally big-endian.
std::string Nifti(bool bigEndian, int16_t datatype, int16_t bitpix, const int16_t dims[3], const float pix[3],
                  float slope, float inter, const std::string& voxels) {
    std::string h(352, '\0');
    auto put = [&](size_t at, const void* p, size_t n) {
        std::memcpy(&h[at], p, n);
        if (bigEndian) std::reverse(h.begin() + at, h.begin() + at + n);
    };
    int32_t size = 348;
    put(0, &size, 4);
    int16_t dim[8] = {3, dims[0], dims[1], dims[2], 1, 1, 1, 1};
    for (int i = 0; i < 8; ++i) put(40 + 2 * i, &dim[i], 2);
    put(70, &datatype, 2);
    put(72, &bitpix, 2);
    float pd[8] = {1, pix[0], pix[1], pix[2], 1, 1, 1, 1};
    for (int i = 0; i < 8; ++i) put(76 + 4 * i, &pd[i], 4);
    float off = 352;
    put(108, &off, 4);
    put(112, &slope, 4);
    put(116, &inter, 4);
    std::memcpy(&h[344], "n+1", 4);
    return h + voxels;
}

TEST(ZbMake, ReadsNiftiOfEitherByteOrderCompressedOrNot) {
    TempDir dir;
    const int16_t dims[3] = {5, 4, 3};
    const float pix[3] = {1.5f, -2.0f, 3.0f};
    // Big-endian i16, scaled, gzip-compressed.
    std::string vox;
    for (int i = 0; i < 60; ++i) {
        int16_t v = static_cast<int16_t>(i * 100 - 3000);
        vox += static_cast<char>((v >> 8) & 0xff);
        vox += static_cast<char>(v & 0xff);
    }
    const std::string nii = Nifti(true, 4, 16, dims, pix, 2.0f, 10.0f, vox);
    const std::string gzPath = dir.File("be.nii.gz");
    {
        gzFile g = gzopen(gzPath.c_str(), "wb");
        ASSERT_NE(g, nullptr);
        ASSERT_EQ(gzwrite(g, nii.data(), static_cast<unsigned>(nii.size())), static_cast<int>(nii.size()));
        gzclose(g);
    }
    SourceVolume v;
    auto s = LoadNifti(gzPath, v);
    ASSERT_TRUE(s.ok) << s.message;
    EXPECT_EQ(v.nx, 5);
    EXPECT_EQ(v.nz, 3);
    for (int i = 0; i < 60; ++i) ASSERT_FLOAT_EQ(v.values[i], (i * 100 - 3000) * 2.0f + 10.0f);
    EXPECT_FLOAT_EQ(v.spacing[1], 2.0f);
    // Little-endian f64, plain file, slope 0 means no scaling.
    std::string f64;
    for (int i = 0; i < 60; ++i) {
        double d = i * 0.5;
        f64.append(reinterpret_cast<const char*>(&d), 8);
    }
    ASSERT_TRUE(WriteWholeFile(dir.File("le.nii"), Nifti(false, 64, 64, dims, pix, 0, 0, f64)));
    ASSERT_TRUE(LoadNifti(dir.File("le.nii"), v).ok);
    EXPECT_DOUBLE_EQ(v.values[59], 29.5);
    // Faults.
    ASSERT_TRUE(WriteWholeFile(dir.File("short.nii"), Nifti(false, 64, 64, dims, pix, 0, 0, f64.substr(0, 100))));
    s = LoadNifti(dir.File("short.nii"), v);
    EXPECT_FALSE(s.ok);
    EXPECT_NE(s.message.find("ends inside"), std::string::npos) << s.message;
    ASSERT_TRUE(WriteWholeFile(dir.File("rgb.nii"), Nifti(false, 128, 24, dims, pix, 0, 0, std::string(180, 'a'))));
    s = LoadNifti(dir.File("rgb.nii"), v);
    EXPECT_NE(s.message.find("datatype 128"), std::string::npos) << s.message;
    ASSERT_TRUE(WriteWholeFile(dir.File("text.nii"), std::string(400, 'x')));
    EXPECT_FALSE(LoadNifti(dir.File("text.nii"), v).ok);
}

TEST(ZbMake, ScalesOverTheRange) {
    auto b = ScaleToBytes({-1, 0, 5, 10, 11, NAN}, 0, 10);
    const std::vector<unsigned char> expect = {0, 0, 128, 255, 255, 0};
    EXPECT_EQ(b, expect);
}

TEST(ZbMakeProgram, BuildsDescribesAndRefuses) {
    TempDir dir;
    auto help = RunCommand(kZbMake + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("usage: zbmake"), std::string::npos);
    std::string raw;
    for (int i = 0; i < 30 * 20 * 10; ++i) {
        uint16_t v = static_cast<uint16_t>(i);
        raw.append(reinterpret_cast<const char*>(&v), 2);
    }
    ASSERT_TRUE(WriteWholeFile(dir.File("v.raw"), raw));
    auto made = RunCommand(kZbMake + " " + dir.File("v.raw") + " " + dir.File("v.zb") +
                           " --dims 30,20,10 --type u16 --brick 16 --quiet");
    EXPECT_EQ(made.status, 0);
    auto info = RunCommand(kZbMake + " --info " + dir.File("v.zb"));
    EXPECT_EQ(info.status, 0);
    EXPECT_NE(info.out.find("bricks, root"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("level stride   1:     6 bricks"), std::string::npos) << info.out;
    // Wrong size of raw input, and a broken ZB file.
    auto bad = RunCommand(kZbMake + " " + dir.File("v.raw") + " " + dir.File("w.zb") +
                          " --dims 31,20,10 --type u16 2>&1");
    EXPECT_NE(bad.status, 0);
    EXPECT_NE(bad.out.find("need"), std::string::npos) << bad.out;
    ASSERT_TRUE(WriteWholeFile(dir.File("b.zb"), "x 0 1 2\n"));
    auto badInfo = RunCommand(kZbMake + " --info " + dir.File("b.zb"));
    EXPECT_EQ(badInfo.status, 1);
    EXPECT_NE(badInfo.out.find("needs 11"), std::string::npos) << badInfo.out;
}

TEST(ZbMakeProgram, RealMriVolume) {
    const char* ch2 = "/usr/share/mricron/templates/ch2.nii.gz";
    if (!std::ifstream(ch2)) GTEST_SKIP() << "mricron-data not installed";
    TempDir dir;
    auto made = RunCommand(kZbMake + " " + ch2 + " " + dir.File("ch2.zb") + " --quiet");
    ASSERT_EQ(made.status, 0);
    auto info = RunCommand(kZbMake + " --info " + dir.File("ch2.zb"));
    EXPECT_EQ(info.status, 0) << info.out;
    BrickTable t;
    ASSERT_TRUE(ReadZbFile(dir.File("ch2.zb"), {1, 1, 1}, t).ok);
    EXPECT_GT(t.Count(), 8);
    EXPECT_GT(t.bricks[t.root].error, 0);
}

}  // namespace
}  // namespace voxa
