// NIfTI-1 files from outside, plain and gzip-compressed, then the tree
// zbmake builds from them: the two forms load alike or are refused alike,
// and every tree written loads again with the engine's reader.
#include "engine/bricks/zb_file.h"
#include "tools/zbmake.h"

#include <stdlib.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

struct Files {
    std::string dir;
    Files() {
        char name[] = "/dev/shm/voxa_fuzz_nifti_XXXXXX";  // memory: no disk writes per input
        if (::mkdtemp(name) == nullptr) {
            std::snprintf(name, sizeof name, "/tmp/voxa_fuzz_nifti_XXXXXX");
            if (::mkdtemp(name) == nullptr) std::abort();
        }
        dir = name;
    }
    ~Files() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

// Volumes above this many voxels are loaded but not bricked (speed).
constexpr int64_t kMaxBrickedVoxels = 1 << 14;

bool SameVolume(const voxa::SourceVolume& a, const voxa::SourceVolume& b) {
    if (a.nx != b.nx || a.ny != b.ny || a.nz != b.nz || a.spacing != b.spacing) return false;
    if (a.values.size() != b.values.size()) return false;
    return a.values.empty() ||
           std::memcmp(a.values.data(), b.values.data(), a.values.size() * sizeof(float)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Files files;
    const std::string plain = files.dir + "/in.nii", packed = files.dir + "/in.nii.gz";
    {
        std::FILE* f = std::fopen(plain.c_str(), "wb");
        if (f == nullptr) std::abort();
        std::fwrite(data, 1, size, f);
        std::fclose(f);
        gzFile g = gzopen(packed.c_str(), "wb1");
        if (g == nullptr) std::abort();
        if (size > 0) gzwrite(g, data, static_cast<unsigned>(size));
        gzclose(g);
    }
    voxa::SourceVolume a, b;
    const voxa::Status sa = voxa::LoadNifti(plain, a);
    const voxa::Status sb = voxa::LoadNifti(packed, b);
    // A gzip input is itself compressed once more: only plain inputs must
    // agree between the two forms.
    const bool gzipInput = size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
    if (!gzipInput) {
        if (sa.ok() != sb.ok()) std::abort();
        if (sa.ok() && !SameVolume(a, b)) std::abort();
    }
    if (!sa.ok()) {
        if (sa.message().compare(0, plain.size(), plain) != 0) std::abort();
        return 0;
    }
    if (int64_t{a.nx} * a.ny * a.nz > kMaxBrickedVoxels) return 0;
    if (!voxa::DegenerateSpacing(a.spacing, a.nx, a.ny, a.nz).empty()) a.spacing = {1, 1, 1};
    voxa::ZbMakeOptions options;
    options.brick = 16;
    const std::string zb = files.dir + "/tree.zb";
    const std::string dataFile = files.dir + "/data_tree.raw";
    const voxa::Status made = voxa::MakeZb(a, zb, options);
    if (!made.ok()) {
        // Refused with a message, and nothing left behind.
        if (made.message().empty() || std::filesystem::exists(dataFile) || std::filesystem::exists(zb))
            std::abort();
        return 0;
    }
    voxa::BrickTable table;
    if (!voxa::ReadZbFile(zb, {1, 1, 1}, table).ok()) std::abort();
    std::filesystem::remove(zb);
    std::filesystem::remove(dataFile);
    return 0;
}
