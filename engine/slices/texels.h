// "Bol" slice textures: RGBA texels built by the engine from its colour
// table, one table look-up per texel (two and an integer add when a slice
// lies between two voxel planes), and the staging image they are built in.
//
// Texel format: four bytes R, G, B, A in memory order, i.e. the 32-bit word
// R + 256*G + 65536*B + 16777216*A on this little-endian machine; a channel
// is the truncation of 255.99 x the table's float (0 to 1). The colour
// table is taken as plain arrays (256 RGBA floats and its packed words) so
// this code does not depend on where the table lives.
//
// The frame pipeline owns one StagingImage (shared with the overlay images)
// and calls BuildBolSlice for each slice of a "Bol" pass, then uploads the
// returned words as a width x height RGBA unsigned-byte image. Thread-
// compatible; no shared state.
#pragma once

#include "engine/slices/slice_plan.h"
#include "engine/slices/transpose.h"

#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <vector>

namespace voxa {

static_assert(std::endian::native == std::endian::little,
              "texel words are R,G,B,A bytes in memory order");

// The engine's colour table as plain arrays: 256 entries each.
struct ColorTableRef {
    const float (*rgba)[4] = nullptr;  // red, green, blue, opacity in 0-1
    const uint32_t* packed = nullptr;  // packed words of the same table
};

// Truncation of 255.99 x v, for v in 0-1 (values outside are clamped).
uint32_t ChannelByte(float v);

// Staging image of at most 256 x 512 words for texel upload.
class StagingImage {
public:
    static constexpr int kMaxWidth = 256;
    static constexpr int kMaxHeight = 512;
    static constexpr size_t kCapacity = static_cast<size_t>(kMaxWidth) * kMaxHeight;

    StagingImage() : m_words(kCapacity) {}
    // The first width*height words, or an empty span when that exceeds
    // the capacity (or a side is not positive).
    std::span<uint32_t> Image(int width, int height);

private:
    std::vector<uint32_t> m_words;
};

// Interpolation tables of one slice: with w' = w*255.99, T1[v] = the word of
// the truncations of w'*red, w'*green, w'*blue, w'*opacity of entry v (each
// channel at most the packed one), T2[v] = packed[v] - T1[v], so that no
// channel borrows. texel = T1[byte of plane l] + T2[byte of plane h].
struct InterpolationTables {
    uint32_t t1[256];
    uint32_t t2[256];
};
void MakeInterpolationTables(const ColorTableRef& table, float weightLow, InterpolationTables& out);

// Tables for paired data without interpolation: rgb[v] = red, green, blue
// bytes of entry v (opacity byte 0); alpha[v] = opacity byte of entry v << 24.
struct PairedTables {
    uint32_t rgb[256];
    uint32_t alpha[256];
};
void MakePairedTables(const ColorTableRef& table, PairedTables& out);

// out[i] = packed[plane[i]]. out must hold plane.size() words.
void BuildPlainTexels(std::span<const uint8_t> plane, const uint32_t* packed,
                      std::span<uint32_t> out);
// out[i] = rgb[main[i]] | alpha[second[i]].
void BuildPairedTexels(std::span<const uint8_t> mainPlane, std::span<const uint8_t> secondPlane,
                       const PairedTables& tables, std::span<uint32_t> out);
// out[i] = T1[low[i]] + T2[high[i]].
void BuildInterpolatedTexels(std::span<const uint8_t> lowPlane, std::span<const uint8_t> highPlane,
                             const InterpolationTables& tables, std::span<uint32_t> out);

// Visibility of slice textures. A texel whose opacity byte is 0 adds
// nothing when blended with source alpha / one minus source alpha, and
// bilinear filtering of texels that all have opacity 0 gives opacity 0, so
// the parts of a slice that read only such texels need not be drawn.

// The rectangle of texels with a non-zero opacity, in texel indices
// (inclusive bounds), or an empty rectangle (Empty()) when there is none.
struct TexelRect {
    int x0 = 0, y0 = 0, x1 = -1, y1 = -1;
    bool Empty() const { return x1 < x0 || y1 < y0; }
};

// Byte values whose colour has a non-zero opacity: 1 where visible, 0 where not.
using VisibleValues = std::array<uint8_t, 256>;
// "Bol" texels: visible when the opacity byte of packed[v] is not 0.
VisibleValues VisibleOfPacked(const uint32_t* packed);
// Palette look-up ("Bob"): visible when the table's opacity float is not
// exactly 0 (a NaN counts as visible).
VisibleValues VisibleOfFloats(const float (*rgba)[4]);

// Over a width x height image of RGBA words (row-major, width words a row).
TexelRect VisibleTexelRect(std::span<const uint32_t> texels, int width, int height);
// Over a width x height image of byte values seen through `visible`.
TexelRect VisibleByteRect(std::span<const uint8_t> bytes, int width, int height,
                          const VisibleValues& visible);
// True when some byte x < nx, y < ny, z < nz of a native layout is visible.
// The layout must hold NativeBytesRead(shape) bytes (false otherwise).
bool AnyVisibleByte(std::span<const uint8_t> native, const BrickShape& shape,
                    const VisibleValues& visible);

// The layouts a "Bol" pass reads: for y-z passes the y-z transposes, for
// x-z passes the x-z transposes, for x-y passes the native bricks. second
// is empty unless the data are paired.
struct BolSource {
    std::span<const uint8_t> main;
    std::span<const uint8_t> second;
    BrickShape shape;
};

// Builds the texture of one planned slice of a pass into the staging image
// and returns the pass's texWidth x texHeight words, ready for upload.
// Without interpolation: packed[byte] (paired: rgb of the main byte and
// opacity of the second); with it: T1/T2 of the main variable alone.
// Returns an empty span when a plane lies outside the layouts or the image
// exceeds the staging capacity.
std::span<const uint32_t> BuildBolSlice(const BolSource& src, PassKind kind,
                                        const PlannedSlice& slice, const ColorTableRef& table,
                                        StagingImage& staging);

}  // namespace voxa
