#include "tools/zbmake.h"

#include "engine/bricks/brick_cache.h"
#include "engine/bricks/brick_reader.h"
#include "engine/bricks/zb_file.h"
#include "platform/direct_io.h"
#include "platform/test_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

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
using testing::RunCommand;
using testing::TempDir;
using testing::WriteWholeFile;

const std::string kZbMake = std::string(VOXA_BIN_DIR) + "/zbmake";



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
    ASSERT_TRUE(s.ok()) << s.message();
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
    ASSERT_TRUE(LoadNifti(dir.File("le.nii"), v).ok());
    EXPECT_DOUBLE_EQ(v.values[59], 29.5);
    // Faults.
    ASSERT_TRUE(WriteWholeFile(dir.File("short.nii"), Nifti(false, 64, 64, dims, pix, 0, 0, f64.substr(0, 100))));
    s = LoadNifti(dir.File("short.nii"), v);
    EXPECT_FALSE(s.ok());
    EXPECT_NE(s.message().find("ends inside"), std::string::npos) << s.message();
    ASSERT_TRUE(WriteWholeFile(dir.File("rgb.nii"), Nifti(false, 128, 24, dims, pix, 0, 0, std::string(180, 'a'))));
    s = LoadNifti(dir.File("rgb.nii"), v);
    EXPECT_NE(s.message().find("datatype 128"), std::string::npos) << s.message();
    ASSERT_TRUE(WriteWholeFile(dir.File("text.nii"), std::string(400, 'x')));
    EXPECT_FALSE(LoadNifti(dir.File("text.nii"), v).ok());
}

// Little-endian header fields, patched into a header made by Nifti().
void PutFloat(std::string& h, size_t at, float v) { std::memcpy(&h[at], &v, 4); }
void PutShort(std::string& h, size_t at, int16_t v) { std::memcpy(&h[at], &v, 2); }

bool Sanitized() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

// Every header field is checked before it is used: a vox_offset of 1e30
// once became an undefined 64-bit value and a pointer far outside the file.
TEST(ZbMake, NiftiHeaderFieldsAreCheckedBeforeUse) {
    TempDir dir;
    const int16_t dims[3] = {4, 4, 4};
    const float pix[3] = {1, 1, 1};
    const std::string good = Nifti(false, 2, 8, dims, pix, 0, 0, std::string(64, '\x07'));
    SourceVolume v;
    ASSERT_TRUE(WriteWholeFile(dir.File("good.nii"), good));
    ASSERT_TRUE(LoadNifti(dir.File("good.nii"), v).ok());
    struct Case {
        const char* name;
        std::function<void(std::string&)> patch;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"offset_huge", [](std::string& h) { PutFloat(h, 108, 1e30f); }, "bad vox_offset 1e+30"},
        {"offset_nan", [](std::string& h) { PutFloat(h, 108, NAN); }, "bad vox_offset"},
        {"offset_small", [](std::string& h) { PutFloat(h, 108, 100.0f); }, "bad vox_offset 100"},
        {"offset_fraction", [](std::string& h) { PutFloat(h, 108, 352.5f); }, "bad vox_offset 352.5"},
        {"offset_past_end", [](std::string& h) { PutFloat(h, 108, 1024.0f); }, "ends inside the voxel data"},
        {"dim0", [](std::string& h) { PutShort(h, 40, 9); }, "bad dim[0] 9"},
        {"dim_negative", [](std::string& h) { PutShort(h, 44, -4); }, "bad dim[2] -4"},
        {"dim_zero_time", [](std::string& h) { PutShort(h, 40, 4); PutShort(h, 48, 0); }, "bad dim[4] 0"},
        {"datatype", [](std::string& h) { PutShort(h, 70, 1); }, "datatype 1 is not supported"},
    };
    for (const Case& c : cases) {
        std::string h = good;
        c.patch(h);
        const std::string path = dir.File(std::string(c.name) + ".nii");
        ASSERT_TRUE(WriteWholeFile(path, h));
        auto s = LoadNifti(path, v);
        EXPECT_FALSE(s.ok()) << c.name;
        EXPECT_NE(s.message().find(c.message), std::string::npos) << c.name << ": " << s.message();
        EXPECT_EQ(s.message().find(path), 0u) << s.message();  // names the file, once
        EXPECT_EQ(s.message().find(path, 1), std::string::npos) << s.message();
    }
    // The program says so and exits 2 (it crashed with SIGSEGV).
    auto run = RunCommand(kZbMake + " " + dir.File("offset_huge.nii") + " " + dir.File("o.zb") + " 2>&1");
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_NE(run.out.find("bad vox_offset"), std::string::npos) << run.out;
    // A NaN slope leaves the values unscaled.
    std::string h = good;
    PutFloat(h, 112, NAN);
    ASSERT_TRUE(WriteWholeFile(dir.File("nan_slope.nii"), h));
    ASSERT_TRUE(LoadNifti(dir.File("nan_slope.nii"), v).ok());
    EXPECT_FLOAT_EQ(v.values[5], 7.0f);
}

// Claimed sizes are checked against the file and the memory left before
// anything of that size is allocated (it died of std::bad_alloc).
TEST(ZbMakeProgram, ClaimedSizesAreCheckedBeforeAllocating) {
    if (Sanitized()) GTEST_SKIP() << "an address-space limit does not work under AddressSanitizer";
    TempDir dir;
    ASSERT_TRUE(WriteWholeFile(dir.File("four.raw"), "abcd"));
    const std::string limit = "ulimit -v 2097152; ";  // 2 GiB of address space
    auto raw = RunCommand(limit + kZbMake + " " + dir.File("four.raw") + " " + dir.File("r.zb") +
                          " --dims 2048,1024,1024 --type f32 --quiet 2>&1");
    EXPECT_EQ(raw.status, 2) << raw.out;
    EXPECT_NE(raw.out.find("four.raw: holds 4 bytes, 2048x1024x1024 voxels need 8589934592"),
              std::string::npos)
        << raw.out;
    // A small .nii.gz whose data is all there (512 MiB of zeros) but whose
    // tree needs more memory than the limit leaves.
    const int16_t dims[3] = {1024, 1024, 512};
    const float pix[3] = {1, 1, 1};
    const std::string gzPath = dir.File("big.nii.gz");
    {
        gzFile g = gzopen(gzPath.c_str(), "wb1");
        ASSERT_NE(g, nullptr);
        const std::string header = Nifti(false, 2, 8, dims, pix, 0, 0, "");
        ASSERT_EQ(gzwrite(g, header.data(), static_cast<unsigned>(header.size())), static_cast<int>(header.size()));
        const std::vector<char> zeros(1 << 20, 0);
        for (int i = 0; i < 512; ++i) ASSERT_EQ(gzwrite(g, zeros.data(), 1 << 20), 1 << 20);
        gzclose(g);
    }
    std::ifstream gz(gzPath, std::ios::binary | std::ios::ate);
    EXPECT_LT(static_cast<long long>(gz.tellg()), 4 << 20);
    auto big = RunCommand(limit + kZbMake + " " + gzPath + " " + dir.File("b.zb") + " --quiet 2>&1");
    EXPECT_EQ(big.status, 2) << big.out;
    EXPECT_NE(big.out.find("536870912 voxels need about"), std::string::npos) << big.out;
    EXPECT_NE(big.out.find("of memory to brick"), std::string::npos) << big.out;
    EXPECT_FALSE(std::ifstream(dir.File("b.zb")));
    // The estimate is what the build needs at its peak: floats of the source
    // and the byte levels, or the source bytes while loading.
    EXPECT_EQ(ZbMakeMemoryNeed(1000, 100), 4000 + 3000 + 428 + 1000 + (64 << 20));
    EXPECT_EQ(ZbMakeMemoryNeed(1000, 8000), 4000 + 8000 + (64 << 20));
}

// Every tree zbmake writes loads with the engine's reader: a spacing that
// would give a side of no printable width is refused (raw) or replaced
// with 1,1,1 and a warning (a NIfTI header's).
TEST(ZbMakeProgram, DegenerateSpacingNeverWritesATreeThatDoesNotLoad) {
    TempDir dir;
    ASSERT_TRUE(WriteWholeFile(dir.File("v.raw"), std::string(8 * 8 * 8, '\x40')));
    auto raw = RunCommand(kZbMake + " " + dir.File("v.raw") + " " + dir.File("r.zb") +
                          " --dims 8,8,8 --spacing 1.2e-38,1,1 --quiet 2>&1");
    EXPECT_EQ(raw.status, 2) << raw.out;
    EXPECT_NE(raw.out.find("is degenerate: the x side"), std::string::npos) << raw.out;
    EXPECT_FALSE(std::ifstream(dir.File("r.zb")));
    auto zero = RunCommand(kZbMake + " " + dir.File("v.raw") + " " + dir.File("r.zb") +
                           " --dims 8,8,8 --spacing 1,0,1 --quiet 2>&1");
    EXPECT_EQ(zero.status, 2) << zero.out;
    EXPECT_NE(zero.out.find("each must be a positive number"), std::string::npos) << zero.out;

    const int16_t dims[3] = {8, 8, 8};
    const float pix[3] = {1.2e-38f, 1, 1};
    ASSERT_TRUE(WriteWholeFile(dir.File("tiny.nii"), Nifti(false, 2, 8, dims, pix, 0, 0, std::string(512, '\x40'))));
    auto nii = RunCommand(kZbMake + " " + dir.File("tiny.nii") + " " + dir.File("n.zb") + " --quiet 2>&1");
    EXPECT_EQ(nii.status, 0) << nii.out;
    EXPECT_NE(nii.out.find("warning"), std::string::npos) << nii.out;
    BrickTable t;
    auto loaded = ReadZbFile(dir.File("n.zb"), {1, 1, 1}, t);
    ASSERT_TRUE(loaded.ok()) << loaded.message();
    EXPECT_FLOAT_EQ(t.limits.xmax, 1.0f);
    EXPECT_FLOAT_EQ(t.limits.ymin, -1.0f);

}

// A tree that cannot be finished leaves no data file behind; an input that
// is a directory is named once.
TEST(ZbMakeProgram, FailureLeavesNoPartialOutput) {
    TempDir dir;
    ASSERT_TRUE(WriteWholeFile(dir.File("v.raw"), std::string(8 * 8 * 8, '\x40')));
    // The ZB path is a directory: the data file is written, the ZB file is not.
    std::filesystem::create_directories(dir.File("out/t.zb"));
    auto run = RunCommand(kZbMake + " " + dir.File("v.raw") + " " + dir.File("out/t.zb") +
                          " --dims 8,8,8 --quiet 2>&1");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("t.zb: cannot create"), std::string::npos) << run.out;
    EXPECT_FALSE(std::ifstream(dir.File("out/data_t.raw")));
    // Directory input.
    auto d = RunCommand(kZbMake + " " + dir.Path() + " " + dir.File("d.zb") + " 2>&1");
    EXPECT_EQ(d.status, 2) << d.out;
    ASSERT_NE(d.out.find(dir.Path()), std::string::npos) << d.out;  // named ...
    EXPECT_EQ(d.out.find(dir.Path()), d.out.rfind(dir.Path())) << d.out;  // ... once
    EXPECT_NE(d.out.find("is a directory, not a volume file"), std::string::npos) << d.out;
    auto dr = RunCommand(kZbMake + " " + dir.Path() + " " + dir.File("d.zb") + " --dims 2,2,2 2>&1");
    EXPECT_EQ(dr.status, 2) << dr.out;
    EXPECT_NE(dr.out.find("is a directory, not a volume file"), std::string::npos) << dr.out;
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
    // Raw input without --dims is taken for NIfTI: the refusal says how.
    auto noDims = RunCommand(kZbMake + " " + dir.File("v.raw") + " " + dir.File("w.zb") + " 2>&1");
    EXPECT_EQ(noDims.status, 2);
    EXPECT_NE(noDims.out.find("v.raw: not a NIfTI-1 file (sizeof_hdr) (raw input needs --dims X,Y,Z --type "
                              "u8|u16|f32)"),
              std::string::npos)
        << noDims.out;
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
    ASSERT_TRUE(ReadZbFile(dir.File("ch2.zb"), {1, 1, 1}, t).ok());
    EXPECT_GT(t.Count(), 8);
    EXPECT_GT(t.bricks[t.root].error, 0);
    // 181 x 217 x 181 voxels of 1 mm: cores of 62 need strides up to 4, so
    // the extent is the data rounded up to multiples of 4 (184 x 220 x 184),
    // and the limits hug the head: y spans -1 .. 1, x and z 184 / 220.
    EXPECT_EQ(t.bricks[t.root].stride, 4);
    EXPECT_EQ(t.extentX, 184);
    EXPECT_EQ(t.extentY, 220);
    EXPECT_EQ(t.extentZ, 184);
    EXPECT_NEAR(t.limits.ymin, -1.0, 1e-4);
    EXPECT_NEAR(t.limits.ymax, 1.0, 1e-4);
    for (float v : {t.limits.xmax, t.limits.zmax, -t.limits.xmin, -t.limits.zmin}) {
        EXPECT_NEAR(v, 184.0 / 220.0, 1e-4);
        EXPECT_NEAR(v, 181.0 / 217.0, 0.005);  // the data's own proportions
    }
    EXPECT_NE(info.out.find("limits x -0.8364 .. 0.8364  y -1.0000 .. 1.0000  z -0.8364 .. 0.8364"),
              std::string::npos)
        << info.out;
}

}  // namespace
}  // namespace voxa
