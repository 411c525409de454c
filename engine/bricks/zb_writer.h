// Brick tree writer: a ZB file and its data file from a volume of values.
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
// Single-threaded library code.
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

inline constexpr int64_t kMaxVolumeVoxels = int64_t{1} << 31;
// Each side 1 .. 65536, at most kMaxVolumeVoxels in all.
bool VolumeDimsFit(int64_t nx, int64_t ny, int64_t nz);

// Voxel spacings whose sides, in world units, would not span a printable
// range (longest side 2, each other side at least kMinWorldSide): refused.
inline constexpr double kMinWorldSide = 1e-4;
// Why the spacing cannot shape the limits of a volume of nx x ny x nz
// voxels ("" when it can): not finite, not positive, or sides in a ratio
// beyond 2 : kMinWorldSide.
std::string DegenerateSpacing(const std::array<float, 3>& spacing, int nx, int ny, int nz);

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
Status MakeZb(const SourceVolume& volume, const std::string& zbPath, const ZbMakeOptions& options,
              ZbMakeReport* report = nullptr);

// Loads a ZB file with the engine's reader and describes it: bricks,
// levels, errors, extent, limits, data files. Returns false (with the
// reader's message) when the tree cannot be built or a data file is
// missing or short.
bool DescribeZb(const std::string& zbPath, std::ostream& out);

}  // namespace voxa
