// OpenGL drawing of one brick's slice passes in one panel: the lazy
// transposes, the slice textures ("Bol" from the engine's colour table, or
// "Bob" through the texture palette) and the pyramid-cut quads.
//
// The planning (which passes, which slices, planes, weights and quads) is
// slice_plan.h; texel building is texels.h; this file issues the GL calls.
// Expects the projection of the panel current, the model-view identity,
// blending and 2-D texturing on, the engine texture bound (linear filters,
// clamping) and the texture environment "modulate". Render thread only.
#pragma once

#include "engine/slice_plan.h"
#include "engine/texels.h"
#include "engine/transpose.h"

#include <cstdint>
#include <span>

namespace voxa {

class GlPalette;
class TimerRecorder;
class WorkBuffers;

// How "Bob" slices are coloured: through the driver's paletted textures
// ("glColorTableEXT"), or through the shader stand-in.
struct PaletteBinding {
    bool extension = false;          // colour-index textures (GL_COLOR_INDEX8_EXT)
    GlPalette* standIn = nullptr;    // used when the extension is missing
};

struct BrickBytes {
    const uint8_t* main = nullptr;    // native layout of the main brick
    const uint8_t* second = nullptr;  // native layout of the second brick (paired data)
    BrickShape shape;
};

// Texture names the slices are uploaded into, taken in turn: a slice never
// re-specifies a texture that a slice drawn just before still reads, so the
// driver need not wait for that drawing to finish (a software rasterizer
// otherwise stalls at every upload). Empty: the bound texture is used.
struct SliceTextures {
    const unsigned int* names = nullptr;
    int count = 0;
};

struct SliceDrawSettings {
    bool usePalet = false;
    bool paired = false;
    bool timers = false;  // stamp the pass and transpose markers
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

private:
    void MakeTransposes(PassKind kind, const BrickBytes& bytes, WorkBuffers& buffers,
                        bool paired, bool timers, TimerRecorder& recorder);

    StagingImage m_staging;
    int m_nextTexture = 0;
};

}  // namespace voxa
