// Everything the engine draws besides the volume, computed without OpenGL:
// the images of the colour bar and of the two statistics plots ("cross",
// the joint histogram of two variables, and "pdf", the logarithmic
// probability density), the statistics counting over a brick, the label
// positions, and the floor, grid and bounding-box geometry as world-space
// quads.
//
// Images are RGBA texel words (bytes R, G, B, A in memory order, the same
// format as the slice textures), row 0 first (texture row t = 0). The
// textured quads below say where each texture corner goes: the plots have
// row 0 at the bottom, the colour bar has row 0 at its top edge y0. The
// frame pipeline uploads the images (through its staging image) and issues
// the quads, projections and label raster positions; everything here is a
// pure function of its arguments.
// Thread-compatible; no shared state.
#pragma once

#include "engine/overlays/overlay_settings.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace voxa {

struct RgbaImage {
    int width = 0, height = 0;
    std::vector<uint32_t> texels;  // width*height words, row by row from row 0
    uint32_t At(int column, int row) const {
        return texels[static_cast<size_t>(row) * width + column];
    }
};

// Texel word from channel bytes.
constexpr uint32_t RgbaWord(uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
    return r | (g << 8) | (b << 16) | (a << 24);
}
inline constexpr uint32_t kOpaqueBlack = RgbaWord(0, 0, 0, 255);
inline constexpr uint32_t kOpaqueWhite = RgbaWord(255, 255, 255, 255);

// A tick: a position (0-255 on the colour bar and the plots' x axes; a row
// on the "pdf" y axis) and a label of at most 63 characters.
// A tick with its label cut to kMaxLabel characters.
Tick MakeTick(int position, std::string label);

// ---- statistics counts ----

// Joint counts 256 x 256 (row: second variable byte; column: main byte)
// and single counts 256.
struct JointCounts {
    std::vector<uint64_t> cells = std::vector<uint64_t>(256 * 256, 0);
    uint64_t& At(int row, int column) { return cells[static_cast<size_t>(row) * 256 + column]; }
    uint64_t At(int row, int column) const { return cells[static_cast<size_t>(row) * 256 + column]; }
};
using SingleCounts = std::array<uint64_t, 256>;

// Voxel index ranges [begin, end) of a brick on x, y, z, and the native
// layout's padded sides Px, Py (the bytes are at x + Px*(y + Py*z)).
struct CountRegion {
    std::array<int, 3> begin{}, end{};
    int px = 0, py = 0;
};
// "cross": joint[second byte][main byte] += 1 over the region. Ranges are
// clamped to the bytes the spans can hold; returns the voxels counted.
uint64_t CountCross(std::span<const uint8_t> mainNative, std::span<const uint8_t> secondNative,
                    const CountRegion& region, JointCounts& joint);
// "pdf": counts[main byte] += 1 over the region; returns the voxels counted.
uint64_t CountPdf(std::span<const uint8_t> mainNative, const CountRegion& region,
                  SingleCounts& counts);

// ---- ramp of the "cross" plot ----

// 256 colours linear between the knots 0 white, 1 black, 33 green,
// 65 blue, 97 red, 129 yellow, 161 cyan, 193 bright green, 225 bright
// blue, 256 bright red; opacity 255.
std::array<uint32_t, 256> MakeRamp();
// Ramp entry of a count: 0 for 0, else 1 + floor(32 log10 n), at most 255.
int RampEntry(uint64_t count);

// ---- colour bar ----

struct ColorBarLayout {
    float y0 = -1.8f;      // top of the bar
    float margin = 0.01f;  // backdrop margin
    int colouredRows = 34;
};
// Without colour-bar ticks: y0 -1.8, 34 coloured rows (all 32), margin
// 0.01; with ticks: y0 -1.6, 16 rows, margin 0.05.
ColorBarLayout ColorBarLayoutFor(bool hasTicks);
// 256 x 32, every texel black with opacity 100.
RgbaImage MakeColorBarBackdrop();
// 256 x 32: column c in rows below the coloured row count has the colour of
// entry c (packed word) with opacity 255, else 0; with ticks, rows 16-23 at
// each tick's column are opaque white (ticks outside 0-255 are ignored).
RgbaImage MakeColorBarImage(const uint32_t packed[256], std::span<const Tick> ticks);

struct Vertex3 {
    float x = 0, y = 0, z = 0;
};
// A quad with texture coordinates, corners counter-clockwise from the
// lower left: (x0, y0), (x1, y0), (x1, y1), (x0, y1).
struct TexturedQuad {
    std::array<Vertex3, 4> corners;
    std::array<std::array<float, 2>, 4> tex;  // (s, t) per corner
};
// Backdrop: x from -(1.8 + margin) to 1.8 + margin, y from -1.91 to
// y0 + 0.01, z = -1, the whole image.
TexturedQuad ColorBarBackdropQuad(const ColorBarLayout& layout);
// Bar: x from -1.8 (column 0) to 1.8, y from -1.9 (t = 1) up to y0
// (texture row 0), z = -1.
TexturedQuad ColorBarQuad(const ColorBarLayout& layout);
// Raster position of a colour-bar tick label:
// (position*0.0140625 - (1.8 + margin), -1.9, -1).
Vertex3 ColorBarLabelPosition(const ColorBarLayout& layout, int position);

// ---- "cross" plot ----

// 256 x 256: cell (row r, column c) is ramp[RampEntry(joint[r][c])];
// columns 0 and 255 and rows 0 and 255 opaque black; in columns 0-7 the
// rows of the y ticks and in rows 0-7 the columns of the x ticks black.
RgbaImage MakeCrossImage(const JointCounts& joint, std::span<const Tick> xTicks,
                         std::span<const Tick> yTicks);
// Label raster positions: x at (position*0.014335938 - 1.75, -1.9, -1),
// y at (-1.99, position*0.014374999 - 1.81, -1).
// The plot quad: (-1.68, -1.78) to (1.99, 1.9) at z = -1, texture (0, 0)
// at the lower left.
TexturedQuad CrossPlotQuad();
Vertex3 CrossXLabelPosition(int position);
Vertex3 CrossYLabelPosition(int position);

// ---- "pdf" plot ----

struct PdfPlot {
    uint64_t maxCount = 0;  // M
    uint64_t sum = 0;       // S
    double g = 1;           // data units per byte along x
    int decade = 0;         // D
    std::vector<Tick> xTicks;
    std::vector<Tick> yTicks;  // rows 100..500 labelled D-4..D
    RgbaImage image;           // 256 x 512
};
inline constexpr char kPdfCaption[] = "Log PDF";
// Makes the plot from the single counts; colourBarTicks replace the
// default x ticks 0, 64, 128, 192, 256 when not empty. The first and last x
// labels are read as numbers ("%f", 0 when not a number) to give g.
// Where g cannot be formed (equal positions, or a zero or non-finite
// slope) g is 1 (per byte); with no counts (S = 0) D is 0 and no column
// has a bar.
PdfPlot MakePdfPlot(const SingleCounts& counts, std::span<const Tick> colourBarTicks);
// Label raster positions: x at (position*0.014374999 - 1.85, -1.9, -1),
// y at (-1.9, position*0.0071874997 - 1.81, -1); caption at
// (-1.73, 1.598125, -1).
// The plot quad: (-1.78, -1.78) to (1.9, 1.9) at z = -1, texture (0, 0)
// at the lower left.
TexturedQuad PdfPlotQuad();
Vertex3 PdfXLabelPosition(int position);
Vertex3 PdfYLabelPosition(int position);
Vertex3 PdfCaptionPosition();

// ---- floor, grid and bounding box ----

struct OverlayQuad {
    std::array<Vertex3, 4> corners;
    uint32_t rgba = 0;  // colour as a texel word (the quad's 256 x 32 image)
};

enum class OverlayPass { kFar, kNear };


// Bound on grid lines per axis; a spacing asking for more draws no grid.
inline constexpr int kMaxGridLines = 4096;

struct OverlayGeometry {
    std::vector<OverlayQuad> floor;  // the floor quad, then the grid lines
    std::vector<OverlayQuad> box;    // edge quads of the faces drawn in this pass
};
// limits: xmin, xmax, ymin, ymax, zmin, zmax. Nothing when the floor alpha
// plus the box alpha is 0. Floor when its alpha is positive and the eye is
// above zmin (far pass) or below it (near pass); box when its alpha is at
// least 1, with the faces whose inner side (far) or outer side (near) holds
// the eye, visited z, x, y, low face before high.
OverlayGeometry FloorAndBoxQuads(const std::array<float, 6>& limits,
                                 const std::array<float, 3>& eye, const FloorSettings& floor,
                                 const BoxSettings& box, OverlayPass pass);

// A 256 x 32 image of one colour (the texture of floor, grid and box quads).
RgbaImage MakeSolidImage(uint32_t rgba);

}  // namespace voxa
