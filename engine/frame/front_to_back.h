// Front-to-back compositing of the slices, with pixels that have become
// opaque masked out.
//
// Back to front, every fragment of every slice is textured and blended,
// also where slices drawn after it will hide it. Front to back, a pixel
// whose accumulated
// opacity is (all but) 1 can take no more colour, so later slices may skip
// it. Slices are drawn nearest first into an accumulation buffer of the
// panel (32-bit float RGBA, premultiplied colour, and a stencil plane):
//
//   C += (1 - A) * a * c        A += (1 - A) * a
//
// (blend factors "one minus destination alpha" and "one" on the fragment
// (a * c, a), which the slice program forms from the texel and the vertex
// colour as the fixed-function "modulate" would). Now and then, the pixels
// of the last slice's box whose opacity has reached kOpaqueAlpha are marked
// in the stencil plane, and slices draw only where it is unmarked; the
// rasterizer then rejects those fragments before texturing them. What a
// marked pixel misses is at most 1 - kOpaqueAlpha of its colour, a quarter
// of a level of an 8-bit channel. At the end the accumulated panel goes
// over the window's contents (the cleared panel and the far overlays) once:
// window = C + (1 - A) * window. In exact arithmetic that is the image of
// back-to-front "over" compositing; in the float buffer the colour is
// rounded once instead of once per slice.
//
// One accumulation buffer per panel, kept while the sizes stay the same.
// Made on the render thread with the GL context current; the buffers,
// programs and textures are freed with the object (context still current)
// or dropped with Forget when the context is gone.
#pragma once

#include "platform/status.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace voxa {

struct FrontToBackGl;
struct ScissorBox;

// Set to 1 to composite front to back. Without it slices are composited
// back to front straight into the window's frame buffer, which measured
// faster on the software rasterizer with two threads (blending into 8-bit
// colour costs less than into floats, and the markings drain the
// rasterizer) and needs no read-back on a GPU.
inline constexpr char kFrontToBackEnv[] = "VOXA_FRONT_TO_BACK";

class FrontToBack {
public:
    // Opacity from which a pixel takes no more slices.
    static constexpr float kOpaqueAlpha = 1.0f - 0.25f / 255.0f;
    // Drawn slices between two markings of opaque pixels.
    static constexpr int kMarkEvery = 8;
    // Markings between two reads of the marks (for Open).
    static constexpr int kReadEvery = 4;
    // Side in pixels of the tiles the read marks are kept in.
    static constexpr int kTile = 16;
    // Most pieces a slice is drawn in (each is one more draw call).
    static constexpr int kMaxPieces = 6;

    // Fails when the context lacks frame buffer objects, float textures,
    // shaders or texture barriers.
    static Result<std::unique_ptr<FrontToBack>> Create();
    ~FrontToBack();
    FrontToBack(const FrontToBack&) = delete;
    FrontToBack& operator=(const FrontToBack&) = delete;

    // A new frame of `panels` panels of width x height pixels: nothing
    // accumulated yet. Remembers the frame buffer bound now as the window's.
    Status BeginFrame(int panels, int width, int height);
    // Panel k's accumulation buffer becomes the draw target (cleared the
    // first time in the frame).
    void BindPanel(int k);
    // The window's frame buffer becomes the draw target again.
    void BindWindow();
    // Whether panel k took any slices this frame.
    bool Used(int k) const;

    // Between BeginSlices and EndSlices, slices drawn with the bound
    // texture and the current colour accumulate front to back where no
    // opaque pixel is marked: through the engine's slice program, or, with
    // `ownProgram` false, through the caller's, which must give premultiplied
    // colours (the palette stand-in does). The caller's program, blending,
    // alpha and stencil tests come back at EndSlices.
    void BeginSlices(bool ownProgram = true);
    void EndSlices();
    // Marks the opaque pixels inside `box` (window coordinates; the whole
    // viewport when empty); every kReadEvery markings the marks of the box
    // are read back into the panel's grid of opaque tiles, which OpenPieces
    // and Open consult. Between BeginSlices and EndSlices.
    void MarkOpaque(const ScissorBox& box);
    // The parts of `box` (window coordinates) that may still take colour:
    // the box cut to the tiles not yet known opaque, one piece per row of
    // tiles from its first open tile to its last (rows with the same span
    // joined), at most kMaxPieces pieces (neighbours joined where that adds
    // the fewest pixels). Empty: all of the box is opaque.
    void OpenPieces(const ScissorBox& box, std::vector<ScissorBox>* pieces) const;
    // The bounding box of OpenPieces (empty: all of `box` is opaque).
    ScissorBox Open(const ScissorBox& box) const;

    // Puts panel k's accumulation over the window's frame buffer (which it
    // binds) in the viewport; nothing when the panel took no slices.
    void Composite(int k);

    // The opacity from which pixels are marked (kOpaqueAlpha unless set;
    // above 1 nothing is ever marked).
    void SetOpaqueAlpha(float alpha) { m_opaqueAlpha = alpha; }

    // The context went away: forget the names without freeing them.
    void Forget();

private:
    FrontToBack();
    struct PanelBuffer;
    void Release();
    void DeletePanels();
    void ReadMarks(const ScissorBox& box);

    std::unique_ptr<FrontToBackGl> m_gl;
    std::vector<PanelBuffer> m_panels;
    int m_width = 0, m_height = 0;
    unsigned int m_window = 0;  // frame buffer of the window
    unsigned int m_sliceProgram = 0, m_markProgram = 0, m_compositeProgram = 0;
    int m_markSize = -1, m_markThreshold = -1, m_compositeSize = -1;
    int m_current = -1;
    bool m_inSlices = false;
    float m_opaqueAlpha = kOpaqueAlpha;
    int m_blendSrc = 0, m_blendDst = 0;  // the caller's, put back at EndSlices
    int m_tilesX = 0, m_tilesY = 0;  // the panels' tile grids
    int m_markCount = 0;
    std::vector<uint8_t> m_marks;  // read-back stencil of the tiles read
};

}  // namespace voxa
