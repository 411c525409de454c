#include "engine/overlays/overlay_images.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace voxa {

namespace {

constexpr int kBarWidth = 256;
constexpr int kBarHeight = 32;
constexpr uint32_t kBackdrop = RgbaWord(0, 0, 0, 100);
constexpr uint32_t kPdfGreen = RgbaWord(0, 160, 0, 255);
constexpr char kTickFormat[] = "%d";

RgbaImage MakeImage(int width, int height, uint32_t fill) {
    RgbaImage img;
    img.width = width;
    img.height = height;
    img.texels.assign(static_cast<size_t>(width) * height, fill);
    return img;
}

void Set(RgbaImage& img, int column, int row, uint32_t value) {
    if (column < 0 || column >= img.width || row < 0 || row >= img.height) return;
    img.texels[static_cast<size_t>(row) * img.width + column] = value;
}

uint32_t ClampByte(int v) { return static_cast<uint32_t>(std::clamp(v, 0, 255)); }

std::string FormatInt(int v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, kTickFormat, v);
    return buf;
}

// A label read as a number the way "%f" reads it; 0 when it is not one.
double LabelValue(const std::string& label) {
    float v = 0;
    if (std::sscanf(label.c_str(), "%f", &v) != 1) return 0;
    return v;
}

struct Ranges {
    int x0, x1, y0, y1, z0, z1;
};

// Clamps the region to the padded plane; z is bounded by the span later.
Ranges Clip(const CountRegion& r) {
    return {std::max(r.begin[0], 0), std::min(r.end[0], r.px), std::max(r.begin[1], 0),
            std::min(r.end[1], r.py), std::max(r.begin[2], 0), r.end[2]};
}

// Visits the region row by row: fn(rowStart, x0, x1) with byte offsets of
// the native layout; stops at rows that would run past `size`.
template <typename Fn>
uint64_t ForEachRow(const CountRegion& region, size_t size, Fn fn) {
    Ranges c = Clip(region);
    if (c.x0 >= c.x1 || c.y0 >= c.y1 || c.z0 >= c.z1) return 0;
    uint64_t counted = 0;
    const size_t px = static_cast<size_t>(region.px), py = static_cast<size_t>(region.py);
    for (int z = c.z0; z < c.z1; ++z) {
        for (int y = c.y0; y < c.y1; ++y) {
            size_t row = px * (y + py * z);
            if (row + c.x1 > size) return counted;
            fn(row + c.x0, row + c.x1);
            counted += static_cast<uint64_t>(c.x1 - c.x0);
        }
    }
    return counted;
}

Vertex3 At(int axisA, float a, int axisB, float b, int axisC, float c) {
    float v[3];
    v[axisA] = a;
    v[axisB] = b;
    v[axisC] = c;
    return {v[0], v[1], v[2]};
}

// Axis-aligned quad at z = -1 from (x0, y0) to (x1, y1); t0 is the texture
// row coordinate at y0, t1 at y1.
TexturedQuad Rect(float x0, float y0, float x1, float y1, float t0, float t1) {
    TexturedQuad q;
    q.corners = {{{x0, y0, -1.0f}, {x1, y0, -1.0f}, {x1, y1, -1.0f}, {x0, y1, -1.0f}}};
    q.tex = {{{0.0f, t0}, {1.0f, t0}, {1.0f, t1}, {0.0f, t1}}};
    return q;
}

}  // namespace

TexturedQuad ColorBarBackdropQuad(const ColorBarLayout& layout) {
    float half = 1.8f + layout.margin;
    return Rect(-half, -1.91f, half, layout.y0 + 0.01f, 0.0f, 1.0f);
}

TexturedQuad ColorBarQuad(const ColorBarLayout& layout) {
    return Rect(-1.8f, -1.9f, 1.8f, layout.y0, 1.0f, 0.0f);
}

TexturedQuad CrossPlotQuad() { return Rect(-1.68f, -1.78f, 1.99f, 1.9f, 0.0f, 1.0f); }

TexturedQuad PdfPlotQuad() { return Rect(-1.78f, -1.78f, 1.9f, 1.9f, 0.0f, 1.0f); }

Tick MakeTick(int position, std::string label) {
    if (label.size() > Tick::kMaxLabel) label.resize(Tick::kMaxLabel);
    return {position, std::move(label)};
}

uint64_t CountCross(std::span<const uint8_t> mainNative, std::span<const uint8_t> secondNative,
                    const CountRegion& region, JointCounts& joint) {
    const size_t size = std::min(mainNative.size(), secondNative.size());
    const uint8_t* a = mainNative.data();
    const uint8_t* b = secondNative.data();
    uint64_t* cells = joint.cells.data();
    return ForEachRow(region, size, [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) ++cells[static_cast<size_t>(b[i]) * 256 + a[i]];
    });
}

uint64_t CountPdf(std::span<const uint8_t> mainNative, const CountRegion& region,
                  SingleCounts& counts) {
    const uint8_t* a = mainNative.data();
    return ForEachRow(region, mainNative.size(), [&](size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) ++counts[a[i]];
    });
}

std::array<uint32_t, 256> MakeRamp() {
    struct Knot {
        int index;
        float r, g, b;
    };
    static constexpr Knot kKnots[] = {
        {0, 255.9f, 255.9f, 255.9f}, {1, 0, 0, 0},        {33, 0, 160, 0},
        {65, 0, 0, 160},             {97, 160, 0, 0},     {129, 160, 160, 0},
        {161, 0, 160, 160},          {193, 0, 255.9f, 0}, {225, 0, 0, 255.9f},
        {256, 255.9f, 0, 0},
    };
    std::array<uint32_t, 256> ramp{};
    int k = 0;
    for (int i = 0; i < 256; ++i) {
        while (i >= kKnots[k + 1].index) ++k;
        const Knot& a = kKnots[k];
        const Knot& b = kKnots[k + 1];
        float f = static_cast<float>(i - a.index) / static_cast<float>(b.index - a.index);
        auto ch = [f](float va, float vb) {
            return static_cast<uint32_t>(static_cast<int>(va + (vb - va) * f));
        };
        ramp[i] = RgbaWord(ch(a.r, b.r), ch(a.g, b.g), ch(a.b, b.b), 255);
    }
    return ramp;
}

int RampEntry(uint64_t count) {
    if (count == 0) return 0;
    double e = 1.0 + std::floor(32.0 * std::log10(static_cast<double>(count)));
    return static_cast<int>(std::min(e, 255.0));
}

ColorBarLayout ColorBarLayoutFor(bool hasTicks) {
    if (hasTicks) return {-1.6f, 0.05f, 16};
    return {-1.8f, 0.01f, 34};
}

RgbaImage MakeColorBarBackdrop() { return MakeImage(kBarWidth, kBarHeight, kBackdrop); }

RgbaImage MakeColorBarImage(const uint32_t packed[256], std::span<const Tick> ticks) {
    const ColorBarLayout layout = ColorBarLayoutFor(!ticks.empty());
    RgbaImage img = MakeImage(kBarWidth, kBarHeight, 0);
    const int rows = std::min(layout.colouredRows, kBarHeight);
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < kBarWidth; ++c) Set(img, c, r, (packed[c] & 0x00FFFFFFu) | 0xFF000000u);
    }
    for (const Tick& t : ticks) {
        if (t.position < 0 || t.position >= kBarWidth) continue;
        for (int r = 16; r <= 23; ++r) Set(img, t.position, r, kOpaqueWhite);
    }
    return img;
}

Vertex3 ColorBarLabelPosition(const ColorBarLayout& layout, int position) {
    return {position * 0.0140625f - (1.8f + layout.margin), -1.9f, -1.0f};
}

RgbaImage MakeCrossImage(const JointCounts& joint, std::span<const Tick> xTicks,
                         std::span<const Tick> yTicks) {
    const std::array<uint32_t, 256> ramp = MakeRamp();
    RgbaImage img = MakeImage(256, 256, 0);
    for (int r = 0; r < 256; ++r) {
        for (int c = 0; c < 256; ++c) Set(img, c, r, ramp[RampEntry(joint.At(r, c))]);
    }
    for (int i = 0; i < 256; ++i) {
        Set(img, 0, i, kOpaqueBlack);
        Set(img, 255, i, kOpaqueBlack);
        Set(img, i, 0, kOpaqueBlack);
        Set(img, i, 255, kOpaqueBlack);
    }
    for (const Tick& t : yTicks) {
        for (int c = 0; c < 8; ++c) Set(img, c, t.position, kOpaqueBlack);
    }
    for (const Tick& t : xTicks) {
        for (int r = 0; r < 8; ++r) Set(img, t.position, r, kOpaqueBlack);
    }
    return img;
}

Vertex3 CrossXLabelPosition(int position) {
    return {position * 0.014335938f - 1.75f, -1.9f, -1.0f};
}
Vertex3 CrossYLabelPosition(int position) {
    return {-1.99f, position * 0.014374999f - 1.81f, -1.0f};
}

PdfPlot MakePdfPlot(const SingleCounts& counts, std::span<const Tick> colourBarTicks) {
    PdfPlot plot;
    for (uint64_t n : counts) {
        plot.maxCount = std::max(plot.maxCount, n);
        plot.sum += n;
    }
    if (colourBarTicks.empty()) {
        for (int p = 0; p <= 256; p += 64) plot.xTicks.push_back(MakeTick(p, FormatInt(p)));
    } else {
        plot.xTicks.assign(colourBarTicks.begin(), colourBarTicks.end());
    }

    const Tick& first = plot.xTicks.front();
    const Tick& last = plot.xTicks.back();
    plot.g = 1;
    if (last.position != first.position) {
        double g = std::fabs((LabelValue(last.label) - LabelValue(first.label)) /
                             static_cast<double>(last.position - first.position));
        if (std::isfinite(g) && g > 0) plot.g = g;
    }
    const double scale = plot.sum > 0 ? 1.0 / (plot.g * static_cast<double>(plot.sum)) : 0;

    if (plot.sum > 0) {
        double top = std::log10(static_cast<double>(plot.maxCount) * scale) + 100.9;
        plot.decade = static_cast<int>(std::clamp(top, -1e6, 1e6)) - 100;
    }
    for (int k = 1; k <= 5; ++k) {
        plot.yTicks.push_back(MakeTick(100 * k, FormatInt(plot.decade - 5 + k)));
    }

    plot.image = MakeImage(256, 512, kOpaqueWhite);
    for (int c = 0; c < 256; ++c) {
        if (counts[c] == 0) continue;
        double rows = (std::log10(static_cast<double>(counts[c]) * scale) - plot.decade) * 100.0 + 500.0;
        int top = static_cast<int>(std::clamp(rows, 0.0, 512.0));
        for (int r = 0; r < top; ++r) Set(plot.image, c, r, kPdfGreen);
    }
    for (int r = 0; r < 512; ++r) {
        Set(plot.image, 0, r, kOpaqueBlack);
        Set(plot.image, 255, r, kOpaqueBlack);
    }
    for (int c = 0; c < 256; ++c) {
        for (int r : {0, 1, 510, 511}) Set(plot.image, c, r, kOpaqueBlack);
    }
    for (const Tick& t : plot.yTicks) {
        for (int c = 0; c < 8; ++c) Set(plot.image, c, t.position, kOpaqueBlack);
    }
    for (const Tick& t : plot.xTicks) {
        for (int r = 0; r < 16; ++r) Set(plot.image, t.position, r, kOpaqueBlack);
    }
    return plot;
}

Vertex3 PdfXLabelPosition(int position) {
    return {position * 0.014374999f - 1.85f, -1.9f, -1.0f};
}
Vertex3 PdfYLabelPosition(int position) {
    return {-1.9f, position * 0.0071874997f - 1.81f, -1.0f};
}
Vertex3 PdfCaptionPosition() { return {-1.73f, 1.598125f, -1.0f}; }

namespace {

// The corners of the volume's box, its sides, and the half width of the
// grid lines and box edges (0.5 % of the longest side).
struct VolumeBox {
    float lo[3], hi[3], d[3];
    float half;
};

// The floor under the volume (the plane z = zmin, grown by the margin) and
// its black grid lines, when the eye is on the pass's side of it.
void FloorQuads(const VolumeBox& v, const std::array<float, 3>& eye, const FloorSettings& floor,
                bool far, std::vector<OverlayQuad>& out) {
    if (floor.alpha <= 0 || !(far ? eye[2] > v.lo[2] : eye[2] < v.lo[2])) return;
    const float z = v.lo[2], half = v.half;
    const float x0 = v.lo[0] - v.d[0] * floor.margin, x1 = v.hi[0] + v.d[0] * floor.margin;
    const float y0 = v.lo[1] - v.d[1] * floor.margin, y1 = v.hi[1] + v.d[1] * floor.margin;
    out.push_back({{{{x0, y0, z}, {x1, y0, z}, {x1, y1, z}, {x0, y1, z}}},
                   RgbaWord(ClampByte(floor.red), ClampByte(floor.green), ClampByte(floor.blue),
                            ClampByte(floor.alpha))});
    if (!(floor.spacing > 0 && std::isfinite(floor.spacing))) return;
    const double kx0 = std::ceil(x0 / floor.spacing), kx1 = std::floor(x1 / floor.spacing);
    const double ky0 = std::ceil(y0 / floor.spacing), ky1 = std::floor(y1 / floor.spacing);
    if (!(kx1 - kx0 < kMaxGridLines && ky1 - ky0 < kMaxGridLines)) return;
    for (double k = kx0; k <= kx1; ++k) {
        float x = static_cast<float>(k * floor.spacing);
        out.push_back({{{{x - half, y0, z}, {x + half, y0, z}, {x + half, y1, z}, {x - half, y1, z}}},
                       kOpaqueBlack});
    }
    for (double k = ky0; k <= ky1; ++k) {
        float y = static_cast<float>(k * floor.spacing);
        out.push_back({{{{x0, y - half, z}, {x1, y - half, z}, {x1, y + half, z}, {x0, y + half, z}}},
                       kOpaqueBlack});
    }
}

// The four edges of one face of the box (on `axis` at `plane`, spanned by
// axes a and b), each a thin quad in the face's plane.
void FaceEdges(const VolumeBox& v, int axis, int a, int b, float plane, uint32_t colour,
               std::vector<OverlayQuad>& out) {
    const float half = v.half;
    const float ca[4] = {v.lo[a], v.hi[a], v.hi[a], v.lo[a]};
    const float cb[4] = {v.lo[b], v.lo[b], v.hi[b], v.hi[b]};
    for (int e = 0; e < 4; ++e) {
        const int n = (e + 1) % 4;
        OverlayQuad q;
        q.rgba = colour;
        if (ca[e] != ca[n]) {  // edge along a: widen along b
            q.corners = {At(a, ca[e], b, cb[e] - half, axis, plane),
                         At(a, ca[n], b, cb[n] - half, axis, plane),
                         At(a, ca[n], b, cb[n] + half, axis, plane),
                         At(a, ca[e], b, cb[e] + half, axis, plane)};
        } else {  // edge along b: widen along a
            q.corners = {At(a, ca[e] - half, b, cb[e], axis, plane),
                         At(a, ca[n] - half, b, cb[n], axis, plane),
                         At(a, ca[n] + half, b, cb[n], axis, plane),
                         At(a, ca[e] + half, b, cb[e], axis, plane)};
        }
        out.push_back(q);
    }
}

// The box faces of the pass: the far pass draws the faces whose inner side
// holds the eye, the near pass those seen from outside.
void BoxQuads(const VolumeBox& v, const std::array<float, 3>& eye, const BoxSettings& box,
              bool far, std::vector<OverlayQuad>& out) {
    if (box.alpha < 1) return;
    const uint32_t colour =
        RgbaWord(ClampByte(box.red), ClampByte(box.green), ClampByte(box.blue), ClampByte(box.alpha));
    // Face axis and its in-plane axes (a, b): z faces (x, y), x faces
    // (y, z), y faces (z, x).
    const int faces[3][3] = {{2, 0, 1}, {0, 1, 2}, {1, 2, 0}};
    for (const auto& f : faces) {
        const int axis = f[0];
        for (int high = 0; high < 2; ++high) {
            const float plane = high ? v.hi[axis] : v.lo[axis];
            const bool inner = high ? eye[axis] < plane : eye[axis] > plane;
            const bool outer = high ? eye[axis] > plane : eye[axis] < plane;
            if (far ? !inner : !outer) continue;
            FaceEdges(v, axis, f[1], f[2], plane, colour, out);
        }
    }
}

}  // namespace

OverlayGeometry FloorAndBoxQuads(const std::array<float, 6>& limits,
                                 const std::array<float, 3>& eye, const FloorSettings& floor,
                                 const BoxSettings& box, OverlayPass pass) {
    OverlayGeometry geo;
    if (floor.alpha + box.alpha == 0) return geo;
    VolumeBox v{{limits[0], limits[2], limits[4]}, {limits[1], limits[3], limits[5]}, {}, 0};
    for (int a = 0; a < 3; ++a) v.d[a] = v.hi[a] - v.lo[a];
    v.half = 0.005f * std::max({v.d[0], v.d[1], v.d[2]});
    const bool far = pass == OverlayPass::kFar;
    FloorQuads(v, eye, floor, far, geo.floor);
    BoxQuads(v, eye, box, far, geo.box);
    return geo;
}

RgbaImage MakeSolidImage(uint32_t rgba) { return MakeImage(kBarWidth, kBarHeight, rgba); }

}  // namespace voxa
