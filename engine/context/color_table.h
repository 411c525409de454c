// Colour table of the engine: 256 entries of red, green, blue and opacity
// (floats 0-1; entry i colours voxel byte i), its packed form (256 words,
// red in the low byte, then green, blue, opacity; each channel the
// truncation of 255.99 x value), and the two sources that fill it: a pair of
// map files, or colour and opacity control points.
//
// No GL here: the palette upload and the slice textures read Entries() and
// Packed(). Owned by the render context; one thread at a time.
#pragma once

#include "platform/status.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace voxa {

inline constexpr int kColorTableSize = 256;
inline constexpr int kMaxColorPoints = 32;

struct Rgba {
    float r, g, b, a;
};

struct ColorPoints {
    int count = 0;
    std::array<int, kMaxColorPoints> index{};
    std::array<float, kMaxColorPoints> red{}, green{}, blue{};
};

struct AlphaPoints {
    int count = 0;
    std::array<int, kMaxColorPoints> index{};
    std::array<float, kMaxColorPoints> alpha{};
};

inline constexpr int kMapFileLines = 64;
inline constexpr int kMapLineNumbers = 16;

// Checks that a colour-map or opacity-map text is one: 64 lines (blank
// lines after them allowed), each of 16 integers, four groups of index,
// red, green, blue with the colours 0..255. The failure names `name` and
// the first line that is wrong, and says what is wrong with it.
Status CheckMapText(std::string_view text, std::string_view name);
// The same for a file: it must also be a regular file of at most 64 KiB.
Status CheckMapFile(std::string_view path);

class ColorTable {
public:
    // Results of LoadMapFiles.
    static constexpr int kMapsLoaded = 0;
    static constexpr int kOpacityMapMissing = -1;
    static constexpr int kColorMapMissing = -2;

    // Entry i = (i/255, i/255, i/255, i/255), packed word i x 0x01010101;
    // colour points (0: black), (255: white); alpha points (0: 0), (255: 1).
    ColorTable();

    // Loads a colour-map file and an opacity-map file (64 lines of 16
    // integers: four groups of index, red, green, blue; line j gives the
    // entries j, j+64, j+128, j+192). Red, green and blue come from the
    // colour map (value/255), opacity from the opacity map
    // (trunc(0.3r + 0.6g + 0.1b)/255). The colour-map name "default" loads
    // nothing. Returns 0, -1 (opacity map cannot be opened) or -2 (colour
    // map cannot be opened); on failure the table is unchanged. Entries that
    // a short file does not reach keep their values. Rebuilds the packed
    // table.
    int LoadMapFiles(std::string_view colorMapFile, std::string_view opacityMapFile);

    // Colour control points: stores them, interpolates red, green, blue
    // between successive points, derives opacity (0.1r + 0.6g + 0.3b) and
    // the alpha points when no opacity points were set since the last call,
    // rebuilds the packed table and clears the explicit-opacity mark.
    // Refuses (false, nothing changed) a count outside 1..32 or an index
    // outside 0..255.
    bool SetColorPoints(std::span<const int> index, std::span<const float> red,
                        std::span<const float> green, std::span<const float> blue);
    // Opacity control points: stores them, interpolates the opacity column,
    // sets the explicit-opacity mark; the packed table is not rebuilt.
    // Same refusals as SetColorPoints.
    bool SetAlphaPoints(std::span<const int> index, std::span<const float> alpha);

    const ColorPoints& GetColorPoints() const { return m_colorPoints; }
    const AlphaPoints& GetAlphaPoints() const { return m_alphaPoints; }
    bool AlphaGiven() const { return m_alphaGiven; }

    const std::array<Rgba, kColorTableSize>& Entries() const { return m_entries; }
    const std::array<uint32_t, kColorTableSize>& Packed() const { return m_packed; }
    // Recomputes the packed words from the float entries (channels clamped
    // to 0-1 before packing so that no channel spills into the next byte).
    void RebuildPacked();

    static uint32_t PackEntry(const Rgba& e);

private:
    std::array<Rgba, kColorTableSize> m_entries{};
    std::array<uint32_t, kColorTableSize> m_packed{};
    ColorPoints m_colorPoints;
    AlphaPoints m_alphaPoints;
    bool m_alphaGiven = false;
};

}  // namespace voxa
