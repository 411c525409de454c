// Volume readers of zbmake: raw volumes and NIfTI-1 files become a
// SourceVolume for the brick tree writer (engine/bricks/zb_writer.h).
//
// Single-threaded library code; the zbmake program is a thin shell.
#pragma once

#include "engine/bricks/zb_writer.h"
#include "platform/status.h"

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace voxa {

enum class RawType { kU8, kU16, kF32 };

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

// Raw volume of native byte order. The file must be a regular file of at
// least the claimed size, and the tree must fit the memory left, before
// anything of that size is allocated.
Status LoadRawVolume(const std::string& path, int nx, int ny, int nz, RawType type, SourceVolume& out);
// NIfTI-1 single file (.nii or .nii.gz, either byte order); datatypes
// u8, i8, i16, u16, i32, u32, f32, f64; scl_slope/scl_inter applied; the
// first volume of a series. The header is checked (ParseNiftiHeader), the
// claimed size against a plain file's size and against memory, before the
// data is read. *notNifti (when given) tells whether a failure came from
// an input without a NIfTI-1 header (perhaps a raw volume).
Status LoadNifti(const std::string& path, SourceVolume& out, bool* notNifti = nullptr);

}  // namespace voxa
