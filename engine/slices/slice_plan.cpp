#include "engine/slices/slice_plan.h"

#include <algorithm>
#include <optional>
#include <cmath>

namespace voxa {

namespace {

constexpr int kAuxEnabled = 2;

constexpr std::string_view kBobBegin[3] = {"Begin Bob_RenderingYZ", "Begin Bob_RenderingXZ",
                                           "Begin Bob_RenderingXY"};
constexpr std::string_view kBobEnd[3] = {"End   Bob_RenderingYZ", "End   Bob_RenderingXZ",
                                         "End   Bob_RenderingXY"};
constexpr std::string_view kBolBegin[3] = {"Begin Bol_RenderingYZ", "Begin Bol_RenderingXZ",
                                           "Begin Bol_RenderingXY"};
constexpr std::string_view kBolEnd[3] = {"End   Bol_RenderingYZ", "End   Bol_RenderingXZ",
                                         "End   Bol_RenderingXY"};
constexpr std::string_view kTposeYZBegin = "Begin TposeYZ";
constexpr std::string_view kTposeYZEnd = "End   TposeYZ";
constexpr std::string_view kTposeXZBegin = "Begin TposeXZ";
constexpr std::string_view kTposeXZEnd = "End   TposeXZ";

bool Positive(float v) { return std::isfinite(v) && v > 0; }

bool ValidInput(const BrickPassInput& in) {
    if (in.overlap < 0 || !Positive(in.density)) return false;
    for (int a = 0; a < 3; ++a) {
        if (in.sides[a] < 1 || in.padded[a] < in.sides[a]) return false;
        if (!Positive(in.boxWidth[a]) || !Positive(in.voxelSize[a])) return false;
        if (!std::isfinite(in.boxMin[a]) || !std::isfinite(in.eye[a])) return false;
        if (in.sides[a] - 2 * in.overlap <= 0) return false;
        if (std::ceil(SliceCountM(in, a)) > kMaxSlicesPerPass) return false;
    }
    return true;
}

// Number of slices a pass draws: k = 0, 1, ... while k < m.
int SlicesDrawn(double m) { return m > 0 ? static_cast<int>(std::ceil(m)) : 0; }

}  // namespace

int SliceAxis(PassKind kind) { return static_cast<int>(kind); }
int InPlaneAxisS(PassKind kind) { return kind == PassKind::kYZ ? 1 : 0; }
int InPlaneAxisT(PassKind kind) { return kind == PassKind::kXY ? 1 : 2; }

OrientationCounts CountOrientations(const BrickPassInput& in) {
    OrientationCounts oc;
    for (int corner = 0; corner < 8; ++corner) {
        float d[3], r[3];
        for (int a = 0; a < 3; ++a) {
            float c = in.boxMin[a] + (((corner >> a) & 1) ? in.boxWidth[a] : 0.0f);
            d[a] = c - in.eye[a];
            r[a] = std::fabs(d[a]) / in.voxelSize[a];
        }
        int axis;
        if (r[0] > r[1] && r[0] > r[2]) {
            axis = 0;
        } else if (r[0] <= r[1] && r[1] > r[2]) {
            axis = 1;
        } else {
            axis = 2;
        }
        int side = d[axis] > 0 ? 1 : 0;
        ++oc.counts[axis][side];
    }
    bool straddles = false;
    for (int a = 0; a < 3; ++a) {
        if (oc.counts[a][0] > 0 && oc.counts[a][1] > 0) straddles = true;
    }
    if (straddles) {
        for (auto& axis : oc.counts) {
            for (int& c : axis) ++c;
        }
    }
    return oc;
}

TextureRange TextureRangeOf(const BrickPassInput& in, int axis) {
    TextureRange r;
    float margin = std::max(static_cast<float>(in.overlap), 0.5f);
    float p = static_cast<float>(in.padded[axis]);
    r.lo = margin / p;
    r.hi = (static_cast<float>(in.sides[axis]) - margin) / p;
    r.boxMin = in.boxMin[axis];
    r.boxWidth = in.boxWidth[axis];
    return r;
}

WorldRange AuxRange(const BrickPassInput& in, int axis) {
    WorldRange r{in.boxMin[axis], in.boxMin[axis] + in.boxWidth[axis]};
    if (in.auxFlags[0] != kAuxEnabled) return r;
    float boxLo = r.lo, boxHi = r.hi;
    float low = in.auxOffsets[2 * axis];
    float high = in.auxOffsets[2 * axis + 1];
    if (low > boxLo && low < boxHi) r.lo = low;
    if (high > boxLo && high < boxHi) r.hi = high;
    // A plane wholly beyond the box leaves nothing of the brick on this axis.
    if (low >= boxHi || high <= boxLo) r.hi = r.lo;
    return r;
}

double SliceCountM(const BrickPassInput& in, int axis) {
    return static_cast<double>(in.sides[axis] - 2 * in.overlap) * static_cast<double>(in.density);
}

float SliceAlpha(const BrickPassInput& in) {
    double sum = 0;
    for (int a = 0; a < 3; ++a) {
        double m = SliceCountM(in, a);
        if (!(m > 0)) return 0;
        double spacing = in.boxWidth[a] / m;
        sum += spacing * spacing;
    }
    double span = static_cast<double>(in.xmax) - static_cast<double>(in.xmin);
    if (!(span > 0)) return 0;
    return static_cast<float>(std::sqrt(sum) * 128.0 * in.opacity / span);
}

float SlicePosition(const BrickPassInput& in, int axis, int sliceNumber) {
    double m = SliceCountM(in, axis);
    return static_cast<float>((sliceNumber + 0.5) * (in.boxWidth[axis] / m) + in.boxMin[axis]);
}

SlicePlanes PlanesForSlice(const BrickPassInput& in, int axis, int sliceNumber) {
    // Distance of the slice from the box's low face in voxel steps,
    // (x - min)/step, taken from the slice number so that density 1.0 lands
    // exactly on plane centres instead of one float rounding off them.
    double t = (sliceNumber + 0.5) / static_cast<double>(in.density);
    int n = in.sides[axis];
    SlicePlanes p;
    p.high = std::min(in.overlap + static_cast<int>(std::floor(t + 0.5)), n - 1);
    p.low = std::max(p.high - 1, 0);
    if (p.low == p.high) {
        p.weightLow = 1.0f;
        p.interpolate = false;
        return p;
    }
    double ph = p.high - in.overlap + 0.5;
    double pl = p.low - in.overlap + 0.5;
    double w = (ph - t) / (ph - pl);
    p.weightLow = static_cast<float>(std::clamp(w, 0.0, 1.0));
    p.interpolate = in.density != 1.0f;
    // Density 1.0 puts every slice on a plane centre: on plane l (w = 1),
    // or on plane h where h was clamped at the outer plane (w = 0).
    if (!p.interpolate) p.weightLow = p.weightLow > 0.5f ? 1.0f : 0.0f;
    return p;
}

namespace {

// Per axis: the world range the auxiliary clip planes leave, and the map
// from world position to texture coordinate.
struct AxisRanges {
    std::array<WorldRange, 3> world;
    std::array<TextureRange, 3> tex;
    bool auxEmpty = false;  // some axis has nothing left
};

AxisRanges RangesOf(const BrickPassInput& in) {
    AxisRanges r;
    for (int a = 0; a < 3; ++a) {
        r.world[a] = AuxRange(in, a);
        r.tex[a] = TextureRangeOf(in, a);
        if (r.world[a].Empty()) r.auxEmpty = true;
    }
    return r;
}

// Slice i of a pass, or nothing when the auxiliary planes remove it or the
// pyramid cut leaves nothing of it. The pyramid cut keeps the part of the
// slice whose offset from the eye, in finest voxels, is largest along the
// slice axis.
std::optional<PlannedSlice> PlanSlice(const BrickPassInput& in, const AxisRanges& r,
                                      const PlannedPass& pass, int i) {
    const int axis = SliceAxis(pass.kind);
    const int sAxis = InPlaneAxisS(pass.kind), tAxis = InPlaneAxisT(pass.kind);
    float x = SlicePosition(in, axis, i);
    if (in.auxFlags[2 * axis] == kAuxEnabled && x < in.auxOffsets[2 * axis]) return std::nullopt;
    if (in.auxFlags[2 * axis + 1] == kAuxEnabled && x > in.auxOffsets[2 * axis + 1])
        return std::nullopt;
    float a = (in.eye[axis] - x) * static_cast<float>(pass.direction);
    if (a <= 0) return std::nullopt;
    float hs = a * in.voxelSize[sAxis] / in.voxelSize[axis];
    float ht = a * in.voxelSize[tAxis] / in.voxelSize[axis];
    float sLo = std::max(r.world[sAxis].lo, in.eye[sAxis] - hs);
    float sHi = std::min(r.world[sAxis].hi, in.eye[sAxis] + hs);
    float tLo = std::max(r.world[tAxis].lo, in.eye[tAxis] - ht);
    float tHi = std::min(r.world[tAxis].hi, in.eye[tAxis] + ht);
    if (!(sLo < sHi) || !(tLo < tHi)) return std::nullopt;

    PlannedSlice slice;
    slice.number = i;
    slice.position = x;
    slice.planes = PlanesForSlice(in, axis, i);
    const float sv[4] = {sLo, sLo, sHi, sHi};
    const float tv[4] = {tLo, tHi, tHi, tLo};
    for (int v = 0; v < 4; ++v) {
        SliceVertex& vert = slice.quad[v];
        vert.pos[axis] = x;
        vert.pos[sAxis] = sv[v];
        vert.pos[tAxis] = tv[v];
        vert.s = r.tex[sAxis].Map(sv[v]);
        vert.t = r.tex[tAxis].Map(tv[v]);
    }
    return slice;
}

PlannedPass PlanPass(const BrickPassInput& in, const AxisRanges& r, PassKind kind, int side) {
    PlannedPass pass;
    pass.kind = kind;
    pass.side = side;
    pass.direction = side == 0 ? 1 : -1;
    const int axis = SliceAxis(kind);
    pass.texWidth = in.padded[InPlaneAxisS(kind)];
    pass.texHeight = in.padded[InPlaneAxisT(kind)];
    const int count = SlicesDrawn(SliceCountM(in, axis));
    for (int k = 0; k < count && !r.auxEmpty; ++k) {
        // Side 1 walks the same slice numbers as side 0, reversed.
        const int i = side == 0 ? k : count - 1 - k;
        if (std::optional<PlannedSlice> slice = PlanSlice(in, r, pass, i))
            pass.slices.push_back(*slice);
    }
    return pass;
}

}  // namespace

PassPlan PlanPasses(const BrickPassInput& in) {
    PassPlan plan;
    if (!ValidInput(in)) return plan;
    plan.alpha = SliceAlpha(in);
    plan.counts = CountOrientations(in);
    const AxisRanges ranges = RangesOf(in);
    for (int side = 0; side < 2; ++side)
        for (PassKind kind : {PassKind::kYZ, PassKind::kXZ, PassKind::kXY})
            if (plan.counts.counts[SliceAxis(kind)][side] > 0)
                plan.passes.push_back(PlanPass(in, ranges, kind, side));
    return plan;
}

int SinglePlane(const SlicePlanes& planes) {
    return planes.weightLow > 0.5f ? planes.low : planes.high;
}

TextureMethod ChooseTextureMethod(bool usePalet, bool paired) {
    return usePalet && !paired ? TextureMethod::kBob : TextureMethod::kBol;
}

TimerLabels PassTimerLabels(PassKind kind, bool usePalet) {
    int k = static_cast<int>(kind);
    if (usePalet) return {kBobBegin[k], kBobEnd[k]};
    return {kBolBegin[k], kBolEnd[k]};
}

TimerLabels TransposeTimerLabels(PassKind kind) {
    if (kind == PassKind::kXZ) return {kTposeXZBegin, kTposeXZEnd};
    return {kTposeYZBegin, kTposeYZEnd};
}

}  // namespace voxa
