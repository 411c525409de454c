// zbmake: builds a brick tree (a ZB file and its data file) from a raw
// volume or a NIfTI-1 file.
//
// The source values are scaled to bytes over their range (or a given
// range). Level 0 is the volume itself; each further level halves the
// resolution (the mean of up to 2x2x2 voxels) until one brick holds the
// whole volume; that root is the last line of the ZB file. Bricks are laid
// on a grid of cores of brick - 2 * overlap voxels, each with an overlap
// margin on every side (voxels outside the volume are 0). Bricks inside
// the volume are brick x brick x brick voxels; the last brick of a row, and
// the root, hold only the voxels left in the volume plus the margins, so
// the root's box and the extent hug the data (rounded up to whole voxels
// of the coarsest level). The XYZ_Limits line gives that box its world
// shape from the voxel spacing, the longest side spanning -1 .. 1, centred
// on the origin. Every brick starts on a 64 KiB boundary of the data file;
// the engine's direct reader takes those whose byte count is a multiple
// of 64 KiB, the plain reader the trimmed ones. A brick's error is the
// largest difference, in byte units, between its core voxels and the
// finest voxels each of them stands for.
//
// Single-threaded library code; the zbmake program is a thin shell.
#pragma once

#include "platform/status.h"

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace voxa {

struct SourceVolume {
    int nx = 0, ny = 0, nz = 0;
    std::vector<float> values;  // x fastest, then y, then z
    std::array<float, 3> spacing{1, 1, 1};
};

enum class RawType { kU8, kU16, kF32 };

enum class MakeFault {
    kNone,
    kNotNifti,  // the input has no NIfTI-1 header (perhaps a raw volume)
    kOther,
};

struct MakeStatus {
    bool ok = true;
    std::string message;
    MakeFault fault = MakeFault::kNone;
    static MakeStatus Fail(std::string m, MakeFault f = MakeFault::kOther) { return {false, std::move(m), f}; }
};

inline constexpr size_t kNiftiHeaderBytes = 352;           // header and extension flags
inline constexpr int64_t kMaxNiftiOffset = int64_t{1} << 31;  // vox_offset at most

// The fields of a NIfTI-1 header that the loader uses, each checked:
// dimensions 1..65536 (at most 2^31 voxels; dim[0] 1..7 and every used
// dim[i] positive), a supported datatype, vox_offset a whole number of
// bytes from 352 to 2^31, slope and intercept finite (else no scaling),
// spacing finite and positive (else 1).
struct NiftiHeader {
    bool swap = false;
    int nx = 1, ny = 1, nz = 1;
    int datatype = 0;
    int bytesPerVoxel = 0;
    int64_t dataStart = 0;
    double slope = 0, inter = 0;  // slope 0: values unscaled
    std::array<float, 3> spacing{1, 1, 1};
};
// Sizeof_hdr 348 (either byte order) and magic "n+1".
bool LooksLikeNifti(const unsigned char* header, size_t size);
Result<NiftiHeader> ParseNiftiHeader(const unsigned char* header, size_t size);

// Bytes building a tree of `voxels` voxels needs at its peak, reading
// `sourceBytes` of source; and what this process can still allocate
// (available memory, and what an address-space limit leaves).
int64_t ZbMakeMemoryNeed(int64_t voxels, int64_t sourceBytes);
int64_t AvailableMemory();

// Voxel spacings whose sides, in world units, would not span a printable
// range (longest side 2, each other side at least kMinWorldSide): refused.
inline constexpr double kMinWorldSide = 1e-4;
// Why the spacing cannot shape the limits of a volume of nx x ny x nz
// voxels ("" when it can): not finite, not positive, or sides in a ratio
// beyond 2 : kMinWorldSide.
std::string DegenerateSpacing(const std::array<float, 3>& spacing, int nx, int ny, int nz);

// Raw volume of native byte order. The file must be a regular file of at
// least the claimed size, and the tree must fit the memory left, before
// anything of that size is allocated.
MakeStatus LoadRawVolume(const std::string& path, int nx, int ny, int nz, RawType type, SourceVolume& out);
// NIfTI-1 single file (.nii or .nii.gz, either byte order); datatypes
// u8, i8, i16, u16, i32, u32, f32, f64; scl_slope/scl_inter applied; the
// first volume of a series. The header is checked (ParseNiftiHeader), the
// claimed size against a plain file's size and against memory, before the
// data is read.
MakeStatus LoadNifti(const std::string& path, SourceVolume& out);

struct ZbMakeOptions {
    int brick = 64;
    int overlap = 1;
    std::optional<std::array<double, 2>> range;  // LO, HI; default: data range
    std::vector<std::string> otherDirs;           // copies of the data file
    std::ostream* progress = nullptr;
};

struct ZbMakeReport {
    int levels = 0;
    int bricks = 0;
    int64_t dataBytes = 0;
    std::string dataName;
    double lo = 0, hi = 0;
};

// Scales values to bytes: round((v - lo) / (hi - lo) * 255) clamped to
// 0..255; NaN and a zero-width range give 0.
std::vector<unsigned char> ScaleToBytes(const std::vector<float>& values, double lo, double hi);

// Writes the data file(s), the ZB file and otherdirs.txt, then loads the ZB
// file with the engine's reader. On any failure every file it wrote is
// removed again. Degenerate spacing (see DegenerateSpacing) is refused.
MakeStatus MakeZb(const SourceVolume& volume, const std::string& zbPath, const ZbMakeOptions& options,
                  ZbMakeReport* report = nullptr);

// Loads a ZB file with the engine's reader and describes it: bricks,
// levels, errors, extent, limits, data files. Returns false (with the
// reader's message) when the tree cannot be built.
bool DescribeZb(const std::string& zbPath, std::ostream& out);

}  // namespace voxa
