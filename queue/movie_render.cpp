#include "queue/movie_render.h"

#include "engine/context/color_table.h"
#include "engine/context/options.h"
#include "engine/context/render_request.h"
#include "queue/frame_delivery.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace voxa::queue {

HeadlessEngine::HeadlessEngine(int width, int height)
    : m_width(width),
      m_height(height),
      m_process(std::make_unique<RenderProcess>()) {
    m_process->SetDisplayMode(DisplayMode::kHeadless);
    m_pipeline = std::make_unique<FramePipeline>(*m_process);
}

HeadlessEngine::~HeadlessEngine() {
    if (m_context) m_context->ClearIt();
}

Status HeadlessEngine::FreshContext() {
    auto context = std::make_unique<RenderContext>(*m_process);
    // The node's initial frustum: 34 degrees across the window.
    const float center[3] = {0, 1, 0}, up[3] = {0, 0, 1}, normal[3] = {0, 1, 0};
    const float panWidth = 2.0f * std::tan(17.0f * 0.017453292f) * static_cast<float>(m_width) /
                           static_cast<float>(m_height);
    context->SetFrustum(center, up, normal, m_width, m_height, panWidth);
    m_pipeline->Attach(*context);
    context->StartUp();  // the window stays up while the previous context still uses it
    if (m_context) m_context->ClearIt();
    m_context = std::move(context);
    std::string status;
    m_context->SetOption(kOptSetStatusRequest, kStatusIsGlWindowUp);
    m_context->GetStatus(&status);
    if (status != kReplyGlWindowIsUp)
        return Unavailable("no OpenGL context could be made (no EGL surfaceless or pbuffer "
                           "support?); see DEBUG_VOXA.txt under $VOXA_ROOT");
    m_context->SetOption("NRenderingBuffers", "1");
    m_context->SaveKey(&m_baseline);
    return Status::Ok();
}

Status HeadlessEngine::Start() { return FreshContext(); }

Status HeadlessEngine::BeginMovie(const Movie& movie) {
    // A fresh context per movie: options set by an earlier movie do not
    // carry over, so every node renders a movie alike whatever it rendered
    // before (the GL window, the brick cache and the process-wide options
    // stay).
    VOXA_TRY(FreshContext());
    for (const auto& [key, value] : ParseMovieOptions(movie.options)) m_context->SetOption(key, value);
    m_context->SetOption(kOptBufferedIO, "1");
    m_context->SaveKey(&m_baseline);
    return Status::Ok();
}

Result<std::vector<unsigned char>> HeadlessEngine::RenderPanel(const Movie& movie,
                                                               std::string_view keywords,
                                                               const std::string& zbPath,
                                                               int panelIndex) {
    if (panelIndex < 0 || panelIndex >= static_cast<int>(movie.panels.size()))
        return InvalidArgument("no panel " + std::to_string(panelIndex));
    const Panel& panel = movie.panels[static_cast<size_t>(panelIndex)];
    if (zbPath.size() >= static_cast<size_t>(kNameField))
        return InvalidArgument("ZB path longer than 99 characters: " + zbPath);

    Renderparams key = m_baseline;
    std::memset(key.ifauxclip, 0, sizeof(key.ifauxclip));
    std::memset(key.auxclip, 0, sizeof(key.auxclip));
    FrameControlPoints points;
    ApplyFrameKeywords(keywords, key, points);
    CopyNameField(key.zbname, zbPath);
    m_context->RestorKey(&key);
    m_context->MutableColors() = ColorTable();
    if (int n = points.AlphaCountToUse(); n > 0)
        m_context->SetLUTia(n, points.alphaIndex.data(), points.alpha.data());
    if (int n = points.ColorCountToUse(); n > 0)
        m_context->SetLUTirgb(n, points.colorIndex.data(), points.red.data(), points.green.data(),
                              points.blue.data());

    m_context->SetFrustum(panel.center.data(), panel.up.data(), panel.normal.data(), m_width,
                          m_height, panel.panWidth);
    char ratio[64];
    std::snprintf(ratio, sizeof(ratio), "%f", panel.screenRatio);
    m_context->SetOption(kOptScreenRatio, ratio);
    m_context->SetDoRender();
    if (m_context->LastFrameResult() < 0) {
        std::string why = m_pipeline->LastFrame().error;
        return Failed("frame failed with code " + std::to_string(m_context->LastFrameResult()) +
                      (why.empty() ? "" : ": " + why));
    }
    BinaryDataVOXA data;
    m_context->GetPix(&data);
    return CutCenter(data.m_pBuffer, m_width, m_height, panel.width, panel.height);
}

}  // namespace voxa::queue
