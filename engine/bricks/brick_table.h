// The brick tree of a volume: one entry per line of a ZB file, plus the
// values derived from it (overlap table, extent, world limits, largest
// padded brick, child lists).
//
// A BrickTable is plain data owned by the BrickStore; the render thread is
// its only writer and reader (the reader threads only see the request
// list of the brick cache, never the table).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace voxa {

inline constexpr int kMaxBricks = 8192;
inline constexpr int kMaxChildren = 32;
inline constexpr int kMaxStride = 128;       // strides are 1..127
inline constexpr size_t kBrickNameSlot = 64; // 63 characters + terminator

struct Brick {
    std::string name;    // data file, relative to the ZB file's directory
    int64_t offset = 0;  // byte offset in that file
    int stride = 1;      // 1 finest, 2, 4, ... coarser
    int nx = 0, ny = 0, nz = 0;  // sides in voxels, overlap included
    int x0 = 0, y0 = 0, z0 = 0;  // first voxel in voxels of its own level
    int parent = -1;     // rebuilt from geometry at load; -1 for the root
    int error = 0;       // level-of-detail error
    // Child list, ended by -1 when shorter than kMaxChildren.
    std::array<int, kMaxChildren> children{};
    int childCount = 0;

    int64_t ByteCount() const { return int64_t{nx} * ny * nz; }
};

// Padded size of one side: 2 when n <= 2, else the smallest power of two
// at least n (found by doubling from 2).
int PadSide(int n);

struct PaddedSides {
    int x = 2, y = 2, z = 2;
    int64_t Volume() const { return int64_t{x} * y * z; }
};
PaddedSides PadBrick(const Brick& b);

struct WorldLimits {
    float xmin = -1, xmax = 1, ymin = -1, ymax = 1, zmin = -1, zmax = 1;
};

struct BrickTable {
    std::vector<Brick> bricks;  // at most kMaxBricks, indexed by line
    int root = -1;
    // Entry s: largest -x0 over bricks of stride s (0 when none negative).
    std::array<int, kMaxStride> overlap{};
    // Full extent of the volume in finest voxels.
    int64_t extentX = 0, extentY = 0, extentZ = 0;
    WorldLimits limits;
    int64_t largestPadded = 0;  // largest padded brick volume in bytes

    int Count() const { return static_cast<int>(bricks.size()); }
    void Clear();

    // Parent of every brick but the root: the brick of twice the stride
    // whose full box holds the brick's centre strictly inside on all three
    // axes; the highest index wins. Returns the first brick without a
    // parent, or -1 when every brick found one.
    int RebuildParents();
    // Appends every brick, in index order, to its parent's child list.
    // Returns false when some parent would get more than kMaxChildren
    // (the extra children are left out).
    bool RebuildChildLists();
};

// Strict containment of a child's centre in a candidate parent's box on
// one axis (finest voxels): c lies strictly between sl*x0l and sl*(x0l+nl).
bool CentreInside(int64_t strideParent, int64_t x0Parent, int64_t nParent, int64_t centre);

}  // namespace voxa
