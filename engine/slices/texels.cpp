#include "engine/slices/texels.h"

#include <algorithm>
#include <cmath>

namespace voxa {

namespace {

constexpr float kChannelScale = 255.99f;

uint32_t Truncate(float v) {
    if (!(v > 0)) return 0;  // also NaN
    if (v >= 255.0f) return 255;
    return static_cast<uint32_t>(v);
}

}  // namespace

uint32_t ChannelByte(float v) { return Truncate(kChannelScale * v); }

std::span<uint32_t> StagingImage::Image(int width, int height) {
    if (width <= 0 || height <= 0) return {};
    size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (count > kCapacity) return {};
    return std::span<uint32_t>(m_words.data(), count);
}

void MakeInterpolationTables(const ColorTableRef& table, float weightLow, InterpolationTables& out) {
    float wPrime = std::clamp(weightLow, 0.0f, 1.0f) * kChannelScale;
    for (int v = 0; v < 256; ++v) {
        uint32_t packed = table.packed[v];
        uint32_t t1 = 0;
        for (int c = 0; c < 4; ++c) {
            uint32_t full = (packed >> (8 * c)) & 0xFFu;
            // Never above the packed channel, so T2 = packed - T1 borrows nothing.
            uint32_t part = std::min(Truncate(wPrime * table.rgba[v][c]), full);
            t1 |= part << (8 * c);
        }
        out.t1[v] = t1;
        out.t2[v] = packed - t1;
    }
}

void MakePairedTables(const ColorTableRef& table, PairedTables& out) {
    for (int v = 0; v < 256; ++v) {
        out.rgb[v] = ChannelByte(table.rgba[v][0]) | (ChannelByte(table.rgba[v][1]) << 8) |
                     (ChannelByte(table.rgba[v][2]) << 16);
        out.alpha[v] = ChannelByte(table.rgba[v][3]) << 24;
    }
}

void BuildPlainTexels(std::span<const uint8_t> plane, const uint32_t* packed,
                      std::span<uint32_t> out) {
    const size_t n = std::min(plane.size(), out.size());
    const uint8_t* in = plane.data();
    uint32_t* dst = out.data();
    for (size_t i = 0; i < n; ++i) dst[i] = packed[in[i]];
}

void BuildPairedTexels(std::span<const uint8_t> mainPlane, std::span<const uint8_t> secondPlane,
                       const PairedTables& tables, std::span<uint32_t> out) {
    const size_t n = std::min({mainPlane.size(), secondPlane.size(), out.size()});
    const uint8_t* a = mainPlane.data();
    const uint8_t* b = secondPlane.data();
    uint32_t* dst = out.data();
    for (size_t i = 0; i < n; ++i) dst[i] = tables.rgb[a[i]] | tables.alpha[b[i]];
}

void BuildInterpolatedTexels(std::span<const uint8_t> lowPlane, std::span<const uint8_t> highPlane,
                             const InterpolationTables& tables, std::span<uint32_t> out) {
    const size_t n = std::min({lowPlane.size(), highPlane.size(), out.size()});
    const uint8_t* lo = lowPlane.data();
    const uint8_t* hi = highPlane.data();
    uint32_t* dst = out.data();
    for (size_t i = 0; i < n; ++i) dst[i] = tables.t1[lo[i]] + tables.t2[hi[i]];
}

std::span<const uint32_t> BuildBolSlice(const BolSource& src, PassKind kind,
                                        const PlannedSlice& slice, const ColorTableRef& table,
                                        StagingImage& staging) {
    const int width = src.shape.padded[InPlaneAxisS(kind)];
    const int height = src.shape.padded[InPlaneAxisT(kind)];
    std::span<uint32_t> out = staging.Image(width, height);
    if (out.empty()) return {};
    const bool paired = !src.second.empty();

    if (slice.planes.interpolate) {
        auto low = SliceImage(src.main, src.shape, kind, slice.planes.low);
        auto high = SliceImage(src.main, src.shape, kind, slice.planes.high);
        if (low.empty() || high.empty()) return {};
        InterpolationTables tables;
        MakeInterpolationTables(table, slice.planes.weightLow, tables);
        BuildInterpolatedTexels(low, high, tables, out);
        return out;
    }

    const int plane = SinglePlane(slice.planes);
    auto mainPlane = SliceImage(src.main, src.shape, kind, plane);
    if (mainPlane.empty()) return {};
    if (paired) {
        auto secondPlane = SliceImage(src.second, src.shape, kind, plane);
        if (secondPlane.empty()) return {};
        PairedTables tables;
        MakePairedTables(table, tables);
        BuildPairedTexels(mainPlane, secondPlane, tables, out);
    } else {
        BuildPlainTexels(mainPlane, table.packed, out);
    }
    return out;
}

VisibleValues VisibleOfPacked(const uint32_t* packed) {
    VisibleValues v{};
    for (int i = 0; i < 256; ++i) v[static_cast<size_t>(i)] = (packed[i] >> 24) != 0 ? 1 : 0;
    return v;
}

VisibleValues VisibleOfFloats(const float (*rgba)[4]) {
    VisibleValues v{};
    for (int i = 0; i < 256; ++i) v[static_cast<size_t>(i)] = rgba[i][3] != 0.0f ? 1 : 0;
    return v;
}

namespace {

// Grows r to hold the visible span [first, last] of row y.
void AddRow(TexelRect& r, int y, int first, int last) {
    if (r.Empty()) {
        r = {first, y, last, y};
        return;
    }
    r.x0 = std::min(r.x0, first);
    r.x1 = std::max(r.x1, last);
    r.y1 = y;
}

}  // namespace

TexelRect VisibleTexelRect(std::span<const uint32_t> texels, int width, int height) {
    TexelRect r;
    if (width <= 0 || height <= 0 ||
        texels.size() < static_cast<size_t>(width) * static_cast<size_t>(height))
        return r;
    // One pass of plain ORs (they vectorise): the OR of each column and of
    // each row; the rectangle follows from their opacity bytes.
    constexpr uint32_t kAlpha = 0xFF000000u;
    constexpr int kColumns = StagingImage::kMaxWidth;
    if (width > kColumns) return {0, 0, width - 1, height - 1};  // cannot happen: staging bound
    uint32_t columns[kColumns] = {};
    int firstRow = -1, lastRow = -1;
    for (int y = 0; y < height; ++y) {
        const uint32_t* row = texels.data() + static_cast<size_t>(y) * width;
        uint32_t any = 0;
        for (int x = 0; x < width; ++x) {
            columns[x] |= row[x];
            any |= row[x];
        }
        if ((any & kAlpha) == 0) continue;
        if (firstRow < 0) firstRow = y;
        lastRow = y;
    }
    if (firstRow < 0) return r;
    int first = 0, last = width - 1;
    while ((columns[first] & kAlpha) == 0) ++first;
    while ((columns[last] & kAlpha) == 0) --last;
    return {first, firstRow, last, lastRow};
}

TexelRect VisibleByteRect(std::span<const uint8_t> bytes, int width, int height,
                          const VisibleValues& visible) {
    TexelRect r;
    if (width <= 0 || height <= 0 ||
        bytes.size() < static_cast<size_t>(width) * static_cast<size_t>(height))
        return r;
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = bytes.data() + static_cast<size_t>(y) * width;
        int first = 0;
        while (first < width && visible[row[first]] == 0) ++first;
        if (first == width) continue;
        int last = width - 1;
        while (visible[row[last]] == 0) --last;
        AddRow(r, y, first, last);
    }
    return r;
}

bool AnyVisibleByte(std::span<const uint8_t> native, const BrickShape& shape,
                    const VisibleValues& visible) {
    if (!ValidShape(shape) || native.size() < NativeBytesRead(shape)) return false;
    const int nx = shape.sides[0];
    for (int z = 0; z < shape.sides[2]; ++z) {
        for (int y = 0; y < shape.sides[1]; ++y) {
            const uint8_t* row = native.data() + NativeIndex(shape, 0, y, z);
            uint8_t any = 0;
            for (int x = 0; x < nx; ++x) any |= visible[row[x]];
            if (any != 0) return true;
        }
    }
    return false;
}

}  // namespace voxa
