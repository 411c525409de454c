// Rendering the panels of a queued movie frame.
//
// FrameRenderer is what the queue node renders with; EngineFrameRenderer
// does it with a headless render context. Every frame starts from the
// movie's baseline view key (the context's initial key with the movie's
// options applied), so a frame looks the same whichever node renders it
// and whatever that node drew before; the colour table starts from the
// default map, and the frame's control points (if any) are applied on top.
//
// HeadlessEngine owns a render process, a render context (a fresh one per
// movie) and a frame pipeline on an EGL surfaceless context of a given size (voxa_saver -headless and
// voxa_render --movie both use it, so a preview matches the farm).
//
// One thread: the one that created the engine (it owns the GL context).
#pragma once

#include "engine/frame/frame_pipeline.h"
#include "engine/context/render_context.h"
#include "platform/status.h"
#include "queue/movie_setup.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace voxa::queue {

class FrameRenderer {
public:
    virtual ~FrameRenderer() = default;
    // Applies the movie's options and records its baseline view key.
    virtual Status BeginMovie(const Movie& movie) = 0;
    // Renders panel p of a frame (keyword text, full ZB path) and returns
    // the panel's w x h x 3 bytes.
    virtual Result<std::vector<unsigned char>> RenderPanel(const Movie& movie,
                                                           std::string_view keywords,
                                                           const std::string& zbPath, int panel) = 0;
};

class HeadlessEngine : public FrameRenderer {
public:
    HeadlessEngine(int width, int height);
    ~HeadlessEngine() override;
    // Makes the GL context; a failure when none can be made.
    Status Start();
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    RenderContext& Context() { return *m_context; }

    Status BeginMovie(const Movie& movie) override;
    Result<std::vector<unsigned char>> RenderPanel(const Movie& movie, std::string_view keywords,
                                                   const std::string& zbPath, int panel) override;

private:
    Status FreshContext();
    int m_width, m_height;
    std::unique_ptr<RenderProcess> m_process;
    std::unique_ptr<RenderContext> m_context;
    std::unique_ptr<FramePipeline> m_pipeline;
    Renderparams m_baseline{};
};

}  // namespace voxa::queue
