// OpenGL drawing of one brick's slice passes in one panel: the lazy
// transposes, the slice textures ("Bol" from the engine's colour table, or
// "Bob" through the texture palette) and the pyramid-cut quads.
//
// The planning (which passes, which slices, planes, weights and quads) is
// slice_plan.h; texel building is texels.h; this file issues the GL calls.
//
// Invisible parts are not drawn. Blending a fragment of opacity 0 with
// source alpha / one minus source alpha leaves the frame buffer exactly as
// it was, and linear filtering of texels that all have opacity 0 gives
// opacity 0. So a slice whose texels all have opacity 0 is neither uploaded
// nor drawn; a brick whose bytes all map to opacity 0 draws no slice (its
// passes still run, with their timer marks, and with timers on its
// transposes are still made, so the timer file keeps its shape); and each
// drawn slice is scissored to the screen box of the part of its quad whose
// texture coordinates can reach a visible texel. The scissor leaves every
// fragment inside it computed from the same vertices and state as without
// it, so the image is the same to the bit; inside it, fragments of opacity
// 0 are discarded by the alpha test (blending them would change nothing).
// VOXA_DRAW_ALL_SLICES=1 turns all of this off (the reference the tests
// compare against).
// Expects the projection of the panel current, the model-view identity,
// blending and 2-D texturing on, the engine texture bound (linear filters,
// clamping) and the texture environment "modulate". Render thread only.
#pragma once

#include "engine/slices/slice_plan.h"
#include "engine/slices/texels.h"
#include "engine/slices/transpose.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace voxa {

class FrontToBack;
class GlPalette;
class ScissorScope;
class TimerRecorder;
class WorkBuffers;

// How "Bob" slices are coloured: through the driver's paletted textures
// ("glColorTableEXT"), or through the shader stand-in.
struct PaletteBinding {
    bool extension = false;          // colour-index textures (GL_COLOR_INDEX8_EXT)
    GlPalette* standIn = nullptr;    // used when the extension is missing
};

// Set to 1 to draw every planned slice in full: no skipping of invisible
// slices or bricks, no scissor. Read once by the host (FrameDebugSettings)
// and passed in as SliceDrawSettings::drawAll.
inline constexpr char kDrawAllSlicesEnv[] = "VOXA_DRAW_ALL_SLICES";

// Part of a slice quad in world coordinates on the pass's in-plane axes
// (s axis and t axis of the pass).
struct QuadSpan {
    float sLo = 0, sHi = 0, tLo = 0, tHi = 0;
};

// The part of a planned quad (vertices in PlanPasses order: (s lo, t lo),
// (s lo, t hi), (s hi, t hi), (s hi, t lo)) whose fragments can read a texel
// of `visible` in a texWidth x texHeight texture with linear filtering. A
// fragment at texture coordinate c reads texels floor(c*P - 0.5) and the
// next, so texels x0..x1 are reachable only for c in ((x0 - 0.5)/P,
// (x1 + 1.5)/P); the interval is taken half a texel wider on each side for
// rounding, mapped back to world positions through the quad's linear
// texture map, and intersected with the quad. Empty optional: no fragment
// of the quad can read a visible texel (also for an empty rectangle).
std::optional<QuadSpan> TightenQuad(const std::array<SliceVertex, 4>& quad, PassKind kind,
                                    const TexelRect& visible, int texWidth, int texHeight);

// Window-space rectangle for glScissor.
struct ScissorBox {
    int x = 0, y = 0, width = 0, height = 0;
    bool Empty() const { return width <= 0 || height <= 0; }
};

// The smallest box holding both (non-empty) boxes.
inline ScissorBox Joined(const ScissorBox& a, const ScissorBox& b) {
    const int x0 = a.x < b.x ? a.x : b.x, y0 = a.y < b.y ? a.y : b.y;
    const int x1 = a.x + a.width > b.x + b.width ? a.x + a.width : b.x + b.width;
    const int y1 = a.y + a.height > b.y + b.height ? a.y + a.height : b.y + b.height;
    return {x0, y0, x1 - x0, y1 - y0};
}

// The window box (grown by two pixels, cut to the viewport) around the
// projection of the four world corners through projection x model-view
// (column-major, as glGetFloatv returns them) and the viewport (x, y, w, h).
// A corner at or behind the eye plane (w <= 0) gives the whole viewport.
// Empty: the corners project wholly outside the viewport.
ScissorBox ProjectedBox(const std::array<std::array<float, 3>, 4>& corners,
                        const std::array<float, 16>& projection,
                        const std::array<float, 16>& modelView, const std::array<int, 4>& viewport);

struct BrickBytes {
    const uint8_t* main = nullptr;    // native layout of the main brick
    const uint8_t* second = nullptr;  // native layout of the second brick (paired data)
    BrickShape shape;
    // Overlap ov of the brick's own stride (its texture range starts at
    // max(ov, 0.5) texels); -1 when unknown. A whole brick is judged
    // invisible from its bytes only where no texel beyond its sides can be
    // reached: ov >= 1 or sides equal to the padded sides on every axis.
    int overlap = -1;
};

// Texture names the slices are uploaded into, taken in turn: a slice never
// re-specifies a texture that a slice drawn just before still reads, so the
// driver need not wait for that drawing to finish (a software rasterizer
// otherwise stalls at every upload). Empty: the bound texture is used.
struct SliceTextures {
    const unsigned int* names = nullptr;
    int count = 0;
};

// The slice textures' names grouped by the image they hold storage for
// (format and size), so that a slice can be uploaded into storage of the
// right shape (a sub-image upload) instead of re-specifying the texture:
// re-specification makes the driver allocate, and a software rasterizer
// clear, fresh storage for every slice. Each shape gets a ring of up to
// kRing names taken in turn (the same reason as above: a slice does not
// overwrite a texture that a slice drawn just before still reads); names
// never handed out are taken first, then the largest ring gives up one.
// Pure bookkeeping of indices into SliceTextures::names; whether a name
// really holds storage of that shape is checked at upload.
struct TextureShape {
    int format = 0, width = 0, height = 0;
    bool operator==(const TextureShape&) const = default;
};

class SliceTexturePool {
public:
    static constexpr int kRing = 32;
    // Index (0 .. count-1) of the name the next slice image of `shape`
    // goes into; -1 when count <= 0. A new set of names (other pointer or
    // count) starts the bookkeeping afresh.
    int Pick(const SliceTextures& names, const TextureShape& shape);
    // Forgets every assignment (the GL context and its textures are gone).
    void Forget();

private:
    struct Ring {
        TextureShape shape;
        std::vector<int> slots;
        size_t next = 0;
    };
    std::vector<Ring> m_rings;
    const unsigned int* m_names = nullptr;
    int m_count = 0;
    int m_fresh = 0;  // names before this index have been handed out
};

struct SliceDrawSettings {
    bool usePalet = false;
    bool paired = false;
    bool timers = false;   // stamp the pass and transpose markers
    bool drawAll = false;  // every planned slice in full (kDrawAllSlicesEnv)
    // Composite front to back into its accumulation buffer (bound by the
    // caller) instead of back to front into the frame buffer; "Bol" slices
    // only, "Bob" slices ignore it.
    FrontToBack* frontToBack = nullptr;
};

class SliceDrawer {
public:
    // Draws the passes of one brick in one panel; the transposes are made
    // in the work buffers when a pass first needs them (their validity
    // marks live in the buffers and are cleared when a brick is loaded).
    // Returns the number of slices drawn.
    int DrawPasses(const PassPlan& plan, const BrickBytes& bytes, WorkBuffers& buffers,
                   const ColorTableRef& table, const SliceDrawSettings& settings,
                   const PaletteBinding& palette, TimerRecorder& timers,
                   const SliceTextures& textures = {});
    // The GL context went away: the textures' storage with it.
    void ForgetTextures() { m_pool.Forget(); }

private:
    struct BrickPasses;
    int DrawPass(const BrickPasses& b, const PlannedPass& pass, std::span<const uint8_t> mainLayout,
                 std::span<const uint8_t> secondLayout, float alpha);
    // Front to back: counts a slice drawn over `pieces` and marks the
    // opaque pixels every FrontToBack::kMarkEvery slices.
    void SliceDrawn(const BrickPasses& b, std::span<const ScissorBox> pieces);
    void MarkOpaque(const BrickPasses& b);
    const void* SliceTexels(const BrickPasses& b, const PlannedPass& pass,
                            const PlannedSlice& slice, std::span<const uint8_t> mainLayout,
                            std::span<const uint8_t> secondLayout, TexelRect& shown);
    // Binds the texture of the next slice of `pass`; true when it already
    // holds storage of the pass's shape (a sub-image upload will do).
    bool BindSliceTexture(const SliceTextures& textures, const PlannedPass& pass,
                          TextureMethod method, bool paletteExtension);
    void MakeTransposes(PassKind kind, const BrickBytes& bytes, WorkBuffers& buffers,
                        bool paired, bool timers, TimerRecorder& recorder);

    StagingImage m_staging;
    std::vector<ScissorBox> m_pieces;  // the open pieces of the slice drawn now
    SliceTexturePool m_pool;
    int m_sinceMark = 0;     // slices drawn since the last marking
    ScissorBox m_markBox;    // their boxes' union (empty: the whole view)
    bool m_markAll = false;  // one of them was not scissored
};

}  // namespace voxa
