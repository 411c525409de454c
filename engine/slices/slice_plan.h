// Slice pass planning for one brick in one panel: which of the six passes
// run, which slices each pass draws and in what order, which voxel planes
// and weights build each slice's texture, and the textured quad of each
// slice cut to its pass's pyramid around the eye.
//
// A brick is drawn as stacks of axis-aligned translucent quads, composited
// back to front. Space around the eye is split into six square pyramids
// (one per axis and direction, measured in finest voxels); each pass draws
// only the part of its slices inside its own pyramid, so every point of the
// brick is drawn by exactly one pass.
//
// Everything here is pure arithmetic on plain values: no OpenGL. The frame
// pipeline calls PlanPasses once per brick and panel and then, for each
// planned pass, makes the layout it reads (transpose.h), builds or picks
// each slice's texture (texels.h) and issues the quad. Thread-compatible:
// no shared state.
//
// Units: world coordinates for positions, boxes and the eye; voxel plane
// indices count voxels of the brick including its overlap margin; texture
// coordinates are in [0, 1] over the padded side.
#pragma once

#include <array>
#include <string_view>
#include <vector>

namespace voxa {

// The three kinds of pass, by slice axis. The value is the slice axis
// (0 = x, 1 = y, 2 = z).
enum class PassKind { kYZ = 0, kXZ = 1, kXY = 2 };

// Axis of the slices of a pass, and its two in-plane axes (s, t):
// y-z -> (y, z), x-z -> (x, z), x-y -> (x, y).
int SliceAxis(PassKind kind);
int InPlaneAxisS(PassKind kind);
int InPlaneAxisT(PassKind kind);

// Everything a brick's passes depend on, as the frame pipeline knows it.
struct BrickPassInput {
    std::array<float, 3> boxMin{};      // world box low corner (x0, y0, z0)
    std::array<float, 3> boxWidth{};    // world box widths (> 0)
    std::array<int, 3> sides{};         // nx, ny, nz in voxels, overlap included
    std::array<int, 3> padded{};        // padded sides Px, Py, Pz (powers of two)
    int overlap = 0;                    // ov: overlap-table entry of the brick's own stride
    float density = 1.0f;               // nplanes: slices per voxel plane
    std::array<float, 3> voxelSize{};   // finest voxel sizes wx, wy, wz (> 0)
    std::array<float, 3> eye{};         // eye position
    std::array<int, 6> auxFlags{};      // ifauxclip; 2 enables a plane
    std::array<float, 6> auxOffsets{};  // offset d (fourth float) of each auxclip plane
    float opacity = 1.0f;               // engine opacity
    float xmin = -1.0f, xmax = 1.0f;    // volume limits on x (for the slice opacity)
};

// Pass counts per (axis, side) from the eight corners of the brick box,
// after the +1 rule. counts[axis][side]; side 1 = corner on the positive
// side of the eye on that axis.
struct OrientationCounts {
    std::array<std::array<int, 2>, 3> counts{};
};
OrientationCounts CountOrientations(const BrickPassInput& in);

// Texture coordinate range of one axis: lo = max(ov, 0.5)/P and
// hi = (n - max(ov, 0.5))/P. Map() takes a world position on that axis.
struct TextureRange {
    float lo = 0, hi = 0;
    float boxMin = 0, boxWidth = 1;
    float Map(float p) const { return lo + (hi - lo) * (p - boxMin) / boxWidth; }
};
TextureRange TextureRangeOf(const BrickPassInput& in, int axis);

// World range of the brick on an axis, narrowed by the auxiliary box when
// flag 0 is 2: a plane narrows the range where it lies inside the box; a
// plane wholly beyond the box empties it (lo >= hi).
struct WorldRange {
    float lo = 0, hi = 0;
    bool Empty() const { return !(lo < hi); }
};
WorldRange AuxRange(const BrickPassInput& in, int axis);

// Slice opacity: |(spacing x, y, z)| * 128 * opacity / (xmax - xmin), with
// spacing = box width / ((n - 2 ov) * density). 0 for degenerate input.
float SliceAlpha(const BrickPassInput& in);

// Number of slices of a pass along an axis: m = (n - 2 ov) * density.
double SliceCountM(const BrickPassInput& in, int axis);

// The two voxel planes of slice number i on an axis and the weight of the
// lower one. h = ov + trunc((x - min)/step + 0.5) clamped to n - 1,
// l = h - 1 clamped to 0, w = (ph - x)/(ph - pl) clamped to [0, 1]
// (a slice beyond the outer plane centres takes the outer plane alone).
// interpolate is false when l == h or the density is exactly 1.0; the
// texture then comes from one plane, SinglePlane(): plane l (weightLow = 1),
// except for a density-1.0 slice whose h was clamped at the outer plane,
// which lies on plane h (weightLow = 0).
struct SlicePlanes {
    int low = 0, high = 0;
    float weightLow = 1.0f;
    bool interpolate = false;
};
SlicePlanes PlanesForSlice(const BrickPassInput& in, int axis, int sliceNumber);

// World position of slice number i on an axis: (i + 0.5)*(width/m) + min.
float SlicePosition(const BrickPassInput& in, int axis, int sliceNumber);

struct SliceVertex {
    std::array<float, 3> pos{};  // world position
    float s = 0, t = 0;          // texture coordinates
};

struct PlannedSlice {
    int number = 0;          // slice number i
    float position = 0;      // world coordinate on the slice axis
    SlicePlanes planes;      // voxel planes and weight for the texture
    // Vertices in drawing order: (s lo, t lo), (s lo, t hi), (s hi, t hi),
    // (s hi, t lo) of the pyramid-cut span.
    std::array<SliceVertex, 4> quad{};
};

struct PlannedPass {
    PassKind kind = PassKind::kYZ;
    int side = 0;       // 0: slices from the lowest index up; 1: from the highest down
    int direction = 1;  // u: +1 for side 0, -1 for side 1
    int texWidth = 0;   // slice image width: padded side of the s axis
    int texHeight = 0;  // slice image height: padded side of the t axis
    // Only the slices to draw (the clipped and pyramid-rejected ones are
    // left out; their textures would never be seen), in drawing order.
    std::vector<PlannedSlice> slices;
};

struct PassPlan {
    float alpha = 0;  // current colour (1, 1, 1, alpha) at the start of each pass
    OrientationCounts counts;
    // In drawing order: side 0 then side 1; y-z, x-z, x-y within a side.
    std::vector<PlannedPass> passes;
};

// Bound on slices per pass: a density asking for more gives an empty plan.
inline constexpr int kMaxSlicesPerPass = 16384;

// Plans the passes of one brick in one panel. Invalid input (sides below 1
// or above their padded sides, non-positive widths, voxel sizes or density,
// n - 2 ov <= 0, more than kMaxSlicesPerPass slices) gives an empty plan.
PassPlan PlanPasses(const BrickPassInput& in);

// The one plane a slice shows when it is not interpolated ("Bol" without
// interpolation), and the plane a "Bob" (hardware palette) pass uploads for
// every slice: l when l == h or w > 0.5, else h.
int SinglePlane(const SlicePlanes& planes);

// How a slice texture is made: the engine's colour table ("Bol") or the
// hardware palette ("Bob"). Paired data always use the engine's table.
enum class TextureMethod { kBol, kBob };
TextureMethod ChooseTextureMethod(bool usePalet, bool paired);

// Timer labels around a pass: "Begin Bob_RenderingYZ" / "End   Bob_RenderingYZ"
// when UsePalet is on (even for paired data), else "Bol_..."; XZ, XY alike.
struct TimerLabels {
    std::string_view begin, end;
};
TimerLabels PassTimerLabels(PassKind kind, bool usePalet);
// "Begin TposeYZ"/"End   TposeYZ" (kYZ) and "Begin TposeXZ"/"End   TposeXZ" (kXZ).
TimerLabels TransposeTimerLabels(PassKind kind);

}  // namespace voxa
