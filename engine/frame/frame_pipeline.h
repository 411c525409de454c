// The frame pipeline: one render of the volume.
//
// Each render takes the snapshot of the request, loads the volume (once per
// ZB path), loads the colour maps when their names change, selects bricks
// by level of detail, culls them against the panel, posts their reads to
// the brick readers (all reads of a frame known at once, so the readers
// order them by file offset), then walks the render list back to front:
// each brick is made ready once, drawn in every panel that sees it, and
// released. Overlays and the buffer swap end the frame.
//
// A FramePipeline is made by the host next to its RenderProcess and
// attached to the render context; it owns the brick store, the brick cache
// with its reader threads, the panel image buffers and the overlay drawer.
// Render thread only, except RequestAbort (any thread).
#pragma once

#include "engine/bricks/brick_cache.h"
#include "engine/bricks/brick_reader.h"
#include "engine/bricks/brick_store.h"
#include "engine/frame/front_to_back.h"
#include "engine/overlays/overlay_images.h"
#include "engine/view/selection.h"
#include "engine/frame/slice_gl.h"
#include "engine/view/view.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace voxa {

class ColorTable;
class OverlayDrawer;
class RenderContext;
class RenderProcess;

inline constexpr char kDebugPanelFile[] = "C:/DEBUG_SCR_PAN.txt";
// Set to 1 to append the panel-switch record to "DEBUG_SCR_PAN.txt".
inline constexpr char kPanelLogEnv[] = "VOXA_PANEL_LOG";
inline constexpr char kBeginJsubRenderloop[] = "Begin jsubRenderloop";
inline constexpr char kEndJsubRenderloop[] = "End   jsubRenderloop";

// Debug switches of the frame pipeline. The host reads them from the
// environment once, when the process starts (FromEnvironment: each is on
// when its variable is "1"), and hands them to the pipeline; they are not
// read again per brick or per panel.
struct FrameDebugSettings {
    bool drawAllSlices = false;  // kDrawAllSlicesEnv: no skipping, no scissor
    bool panelLog = false;       // kPanelLogEnv: append the panel-switch record
    bool frontToBack = false;    // kFrontToBackEnv: front-to-back compositing
    static FrameDebugSettings FromEnvironment();
};

// What the last frame did, for tests, the verbose mode of the tools and
// benchmarks.
struct FrameReport {
    int result = 0;
    std::vector<int> selection;   // bricks chosen by level of detail, back to front
    std::vector<int> renderList;  // those some panel sees
    int requestsPosted = 0;       // read requests handed to the readers
    int slicesDrawn = 0;
    bool aborted = false;
    std::string error;  // why a failed frame failed (empty otherwise)
};

class FramePipeline {
public:
    explicit FramePipeline(RenderProcess& process,
                           FrameDebugSettings debug = FrameDebugSettings::FromEnvironment());
    ~FramePipeline();
    FramePipeline(const FramePipeline&) = delete;
    FramePipeline& operator=(const FramePipeline&) = delete;

    // Makes this pipeline the frame function of the context and connects
    // the process hooks (reader start, window down, cache size, abort).
    void Attach(RenderContext& context);

    // Draws one frame from the context's current block. 0 after a finished
    // or aborted frame; -1 when the brick tree cannot be built; -1 or -2
    // when a colour-map file cannot be opened; with timers on, the result
    // of writing the timer file is reported as -3 when it fails.
    int Render(RenderContext& context);

    const FrameReport& LastFrame() const { return m_report; }
    BrickStore& Store() { return m_store; }
    BrickCache& Cache() { return m_cache; }
    void SetDebugSettings(const FrameDebugSettings& debug) { m_debug = debug; }
    const FrameDebugSettings& DebugSettings() const { return m_debug; }
    // Slack around the near and far limits when culling (0 by default).
    void SetSoftDistance(float d) { m_softdistance = d; }
    // Called with one line per frame describing the chosen bricks.
    void SetLog(std::function<void(const std::string&)> log) { m_log = std::move(log); }
    const SingleCounts& PdfCounts() const { return m_single; }
    const JointCounts& CrossCounts() const { return m_joint; }

private:
    struct Panel {
        PanelView view;
        std::vector<unsigned char> image;  // W x H x 3, RGB, rows bottom-up
    };

    struct FrameState;
    // What the drawing of the bricks of one frame keeps from brick to brick.
    struct BrickDrawing {
        PaletteBinding palette;
        SliceDrawSettings settings;
        SliceTextures textures;
        FloorSettings floor;
        BoxSettings box;
        bool firstBrick = true;
    };

    int Abandon(RenderContext& context);
    // Makes panel k current: its projection, its image in the window. With
    // `accumulate`, slices composited front to back then go to the panel's
    // accumulation buffer.
    void SwitchToPanel(int k, RenderContext& context, bool accumulate = true);
    // The accumulation buffers of this frame when it composites front to
    // back, else null (then slices go straight to the window).
    FrontToBack* FrontToBackFor(RenderContext& context, const FrameState& f);
    // Puts every panel's accumulation over its image in the window.
    void CompositePanels(RenderContext& context, const FrameState& f);
    bool MakeReady(RenderContext& context, int brick);
    // The steps of Render.
    void TakeSnapshot(RenderContext& context, FrameState& f);
    int FinishTimers(RenderContext& context, const FrameState& f, int result);
    int LoadVolume(RenderContext& context, FrameState& f);
    void SetUpPanels(RenderContext& context, FrameState& f);
    int LoadColors(RenderContext& context, const FrameState& f);
    static void UseColorTable(const ColorTable& colors, FrameState& f);
    void ChooseBricks(const FrameState& f);
    bool PostReads(RenderContext& context, FrameState& f);
    void LogRenderList() const;
    bool DrawBricks(RenderContext& context, const FrameState& f);
    BrickBytes BytesOf(const FrameState& f, const Brick& b);
    void CountStatistics(const FrameState& f, const BrickBytes& bytes, const CullResult& cull);
    BrickPassInput PassInput(const FrameState& f, const Brick& b) const;
    void DrawBrickInPanel(RenderContext& context, const FrameState& f, BrickDrawing& d,
                          int brick, const CullResult& cull);
    void DrawOverlays(RenderContext& context, const FrameState& f);
    std::array<float, 3> EyeArray() const { return {m_eye.x, m_eye.y, m_eye.z}; }

    RenderProcess& m_process;
    FrameDebugSettings m_debug;
    BrickCache m_cache;
    BrickStore m_store;
    DirectBrickReader m_secondReader;
    SliceDrawer m_slices;
    std::unique_ptr<OverlayDrawer> m_overlay;
    std::unique_ptr<FrontToBack> m_frontToBack;
    bool m_frontToBackRefused = false;  // the context cannot: back to front
    FrontToBack* m_accumulating = nullptr;  // this frame's, while bricks are drawn
    std::vector<Panel> m_panels;
    int m_currentPanel = -1;
    const unsigned char* m_mainBytes = nullptr;  // native bytes of the loaded brick
    std::string m_loadedMap;                     // colour-map name loaded last
    float m_softdistance = 0.0f;
    JointCounts m_joint;
    SingleCounts m_single;
    FrameReport m_report;
    std::function<void(const std::string&)> m_log;
    uint64_t m_checkedLoad = 0;  // BrickStore::Loads() when the volume's files were last allowed
    // Frame values used by the panel switch.
    float m_near = 0.5f, m_far = 20.5f;
    Vec3 m_eye;
    std::array<float, 6> m_limits{};
    int m_width = 0, m_height = 0;
};

}  // namespace voxa
