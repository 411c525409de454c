// Per-frame brick choice: world boxes of bricks, distances from the eye,
// selection by level of detail (back to front), and culling of a brick
// against a panel (near/far depth with soft distance, side planes, the
// auxiliary clip box).
//
// Pure functions over plain inputs so they can be tested without a volume
// or a graphics context; the frame pipeline feeds them from the brick table.
#pragma once

#include "engine/view/view.h"

#include <array>
#include <vector>

namespace voxa {

// Extents of the volume: world limits and the full size in finest voxels.
struct VolumeExtent {
    std::array<float, 6> limits{};  // xmin, xmax, ymin, ymax, zmin, zmax
    std::array<int, 3> voxels{};    // X, Y, Z
    // Finest voxel size on an axis.
    float Voxel(int axis) const {
        return (limits[2 * axis + 1] - limits[2 * axis]) / static_cast<float>(voxels[axis]);
    }
};

struct WorldBox {
    Vec3 min;    // lowest corner
    Vec3 width;  // extent on each axis
    float Max(int axis) const { return min[axis] + width[axis]; }
};

// World box of a brick of stride s at position x0 with sides n, with the
// overlap ov taken off each side: min = lim + w*s*(ov + x0), width =
// w*s*(n - 2 ov).
WorldBox BrickWorldBox(const VolumeExtent& ext, int stride, const std::array<int, 3>& n,
                       const std::array<int, 3>& x0, int ov);

// Squared distance from the eye to the box: per axis 0 when the eye lies
// within the box's extent, else the gap to the nearer face plus one finest
// voxel of that axis.
float BrickDistance2(const VolumeExtent& ext, const WorldBox& box, Vec3 eye);

struct LodBrick {
    int stride = 1;
    int error = 0;
    float distance2 = 0;        // from BrickDistance2
    std::vector<int> children;  // in child-list order
};

struct LodParams {
    int coltolerance = 0;
    float angletolerance = 0;
    float vrtolerance = 0;
    float nearDist = 0.5f;
    float voxelsPerUnit = 1;  // F = X / (xmax - xmin)
};

inline constexpr int kMaxSelected = 8192;

// Splits bricks from the root down until nothing splits; the result lists
// bricks back to front (children replace their parent farthest first).
std::vector<int> SelectBricks(const std::vector<LodBrick>& bricks, int root,
                              const LodParams& params);

// The auxiliary clip box: ifauxclip flags and the plane offsets (the
// fourth float of each auxclip plane). Planes 0/1 bound x from below and
// above, 2/3 y, 4/5 z; a flag of 2 enables its plane. Culling narrows by
// the box only when flag 0 is 2.
struct AuxClip {
    std::array<int, 6> flags{};
    std::array<float, 6> offsets{};
    bool BoxOn() const { return flags[0] == 2; }
};

struct CullParams {
    float nearDist = 0.5f;
    float farDist = 20.5f;
    float softdistance = 0;
    AuxClip aux;
};

struct CullResult {
    bool visible = false;
    // World ranges of the brick on each axis, narrowed by the auxiliary box.
    std::array<float, 3> lo{}, hi{};
    // Voxel index ranges [begin, end) of the brick inside those ranges.
    std::array<int, 3> indexBegin{}, indexEnd{};
};

// Tests the brick box against one panel. n gives the brick's sides for the
// voxel index ranges.
CullResult CullBrick(const WorldBox& box, const std::array<int, 3>& n, Vec3 eye,
                     const PanelView& panel, const CullParams& params);

}  // namespace voxa
