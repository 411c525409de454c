#include "tools/voxa_view/view_model.h"

#include "engine/frame/frame_pipeline.h"
#include "engine/context/options.h"
#include "engine/context/render_context.h"
#include "engine/context/render_request.h"
#include "hosting/activation.h"
#include "render_server/work_client.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace voxa::view {

namespace {

constexpr int kWheelNotch = 120;
constexpr int kWheelZoomStep = 100;
constexpr int kStatusPollMs = 5;
constexpr int kWindowWaitMs = 20000;
constexpr float kPanWidth = 2.0f * 0.30573068f;  // 34 degrees across

const float kCenter[3] = {0, 1, 0}, kUp[3] = {0, 0, 1}, kNormal[3] = {0, 1, 0};

// The view of a frame keyword text, through either kind of context (both
// have the render context's operations).
template <typename Work>
Quality ApplyKeys(Work& work, const std::string& text) {
    Renderparams key;
    FrameControlPoints points;
    ApplyFrameKeywordsTo(work, text, key, points);
    return Quality{key.icoltolerance, key.angletolerance, key.vrtolerance, key.opacity};
}

// --- direct mode ---------------------------------------------------------------

class DirectBackend final : public FrameBackend {
public:
    Status Open(const ViewSetup& setup) override {
        m_process = std::make_unique<RenderProcess>();
        m_process->SetDisplayMode(DisplayMode::kHeadless);
        m_context = std::make_unique<RenderContext>(*m_process);
        m_pipeline = std::make_unique<FramePipeline>(*m_process);
        m_pipeline->Attach(*m_context);
        m_context->SetFrustum(kCenter, kUp, kNormal, setup.width, setup.height, kPanWidth);
        if (!setup.zbFile.empty()) m_context->Set_ZBname(setup.zbFile);
        if (!setup.cmapFile.empty()) m_context->SetLUT(setup.amapFile, setup.cmapFile);
        if (!setup.keysText.empty()) m_initial = ApplyKeys(*m_context, setup.keysText);
        m_context->StartUp();
        if (m_context->Window() == nullptr)
            return Failed("no OpenGL context could be made (see DEBUG_VOXA.txt under $VOXA_ROOT)");
        return Status::Ok();
    }
    Quality Initial() const override { return m_initial; }
    void Orbit(int dx, int dy) override { m_context->IncrementEyePoint(dx, dy, 0); }
    void Zoom(int dy) override { m_context->ZoomEyePoint(0, dy, 0); }
    void SetQuality(const Quality& q) override {
        m_context->SetRenderQuality(q.pixelError, q.angleError, q.sizeError);
        m_context->SetOpacity(q.opacity);
    }
    bool Render(bool* aborted, int* bricks) override {
        {
            std::lock_guard<std::mutex> lock(m_abortMutex);
            m_rendering = true;
        }
        m_context->SetDoRender();
        {
            // A stop that came as the frame was ending must not end the next.
            std::lock_guard<std::mutex> lock(m_abortMutex);
            m_rendering = false;
            m_process->ClearAbort();
            m_pipeline->Cache().ClearAbort();
        }
        *aborted = m_pipeline->LastFrame().aborted;
        *bricks = static_cast<int>(m_pipeline->LastFrame().renderList.size());
        m_failure.clear();
        if (const int result = m_context->LastFrameResult(); result < 0) {
            m_failure = m_pipeline->LastFrame().error;
            if (m_failure.empty()) m_failure = "frame result " + std::to_string(result);
        }
        return true;
    }
    std::string LastFrameFailure() const override { return m_failure; }
    bool Read(Frame* frame) override {
        BinaryDataVOXA data;
        m_context->GetPix(&data);
        frame->width = m_context->CurrentBlock().width;
        frame->height = m_context->CurrentBlock().height;
        frame->rgb = std::move(data.m_pBuffer);
        return true;
    }
    void Abort() override {
        std::lock_guard<std::mutex> lock(m_abortMutex);
        if (m_rendering) m_context->StopRendering();
    }
    void Close() override {
        if (m_context) m_context->ClearIt();
        m_pipeline.reset();
        m_context.reset();
        m_process.reset();
    }
    std::string LastError() const override { return {}; }

private:
    std::unique_ptr<RenderProcess> m_process;
    std::unique_ptr<RenderContext> m_context;
    std::unique_ptr<FramePipeline> m_pipeline;
    std::string m_failure;
    Quality m_initial;
    std::mutex m_abortMutex;  // Abort (UI thread) and the end of a frame, one at a time
    bool m_rendering = false;
};

// --- remote --------------------------------------------------------------------

class RemoteBackend final : public FrameBackend {
public:
    Status Open(const ViewSetup& setup) override {
        m_work = std::make_unique<render_server::RemoteWork>();
        if (std::string error; m_work->Connect(setup.host, &error) != 0) return Unavailable(error);
        const bool local = hosting::IsLocalHost(setup.host);
        auto name = [&](const std::string& n) {
            return local && !n.empty() ? std::filesystem::absolute(n).lexically_normal().string()
                                       : n;
        };
        m_width = setup.width;
        m_height = setup.height;
        m_work->SetFrustum(kCenter, kUp, kNormal, setup.width, setup.height, kPanWidth);
        if (!setup.zbFile.empty()) m_work->Set_ZBname(name(setup.zbFile));
        if (!setup.cmapFile.empty()) m_work->SetLUT(name(setup.amapFile), name(setup.cmapFile));
        if (!setup.keysText.empty()) m_initial = ApplyKeys(*m_work, setup.keysText);
        // Frames are polled, so that new input can stop a slow one.
        m_work->SetOption(kOptBlockOnRender, "0");
        m_work->StartUp();
        std::string status;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWindowWaitMs);
        do {
            m_work->SetOption(kOptSetStatusRequest, kStatusIsGlWindowUp);
            if (m_work->GetStatus(&status) != 0) break;
            if (status == kReplyGlWindowIsUp) return Status::Ok();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } while (std::chrono::steady_clock::now() < until);
        if (m_work->Lost()) return Unavailable(m_work->LastError());
        return Failed("the server on " + setup.host + " has no OpenGL context");
    }
    Quality Initial() const override { return m_initial; }
    void Orbit(int dx, int dy) override { m_work->IncrementEyePoint(dx, dy, 0); }
    void Zoom(int dy) override { m_work->ZoomEyePoint(0, dy, 0); }
    void SetQuality(const Quality& q) override {
        m_work->SetRenderQuality(q.pixelError, q.angleError, q.sizeError);
        m_work->SetOpacity(q.opacity);
    }
    bool Render(bool* aborted, int* bricks) override {
        *bricks = -1;
        *aborted = false;
        m_abort.store(false);
        if (m_work->SetDoRender() != 0) return false;
        std::string status;
        for (;;) {
            if (m_abort.exchange(false)) {
                m_work->StopRendering();
                *aborted = true;
            }
            if (m_work->GetStatus(&status) != 0) return false;
            if (status != kReplyWorking) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(kStatusPollMs));
        }
        // How the frame ended; a server that does not know the question
        // answers with its state, which is no number.
        m_failure.clear();
        m_work->SetOption(kOptSetStatusRequest, kStatusLastFrameResult);
        if (m_work->GetStatus(&status) != 0) return false;
        char* end = nullptr;
        const long result = std::strtol(status.c_str(), &end, 10);
        if (!status.empty() && end != nullptr && *end == '\0' && result < 0)
            m_failure = "the server could not draw it (result " + std::to_string(result) +
                        "); see DEBUG_VOXA.txt under its $VOXA_ROOT";
        return true;
    }
    std::string LastFrameFailure() const override { return m_failure; }
    bool Read(Frame* frame) override {
        BinaryDataVOXA data;
        if (m_work->GetPix(&data) != 0) return false;
        frame->width = m_width;
        frame->height = m_height;
        frame->rgb = std::move(data.m_pBuffer);
        return true;
    }
    void Abort() override { m_abort.store(true); }
    void Close() override {
        if (m_work && !m_work->Lost()) m_work->ClearIt();
        m_work.reset();
    }
    std::string LastError() const override { return m_work ? m_work->LastError() : ""; }

private:
    std::unique_ptr<render_server::RemoteWork> m_work;
    std::atomic<bool> m_abort{false};
    std::string m_failure;
    int m_width = 0, m_height = 0;
    Quality m_initial;
};

}  // namespace

std::unique_ptr<FrameBackend> MakeDirectBackend() { return std::make_unique<DirectBackend>(); }
std::unique_ptr<FrameBackend> MakeRemoteBackend() { return std::make_unique<RemoteBackend>(); }

// --- worker ----------------------------------------------------------------------

FrameWorker::FrameWorker(std::unique_ptr<FrameBackend> backend, ViewSetup setup,
                         FrameCallback onFrame, ErrorCallback onError)
    : m_backend(std::move(backend)),
      m_setup(std::move(setup)),
      m_onFrame(std::move(onFrame)),
      m_onError(std::move(onError)) {
    m_pending.render = true;  // the first frame
    m_thread = std::thread([this] { Run(); });
}

FrameWorker::~FrameWorker() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
    if (m_rendering.load()) m_backend->Abort();
    if (m_thread.joinable()) m_thread.join();
}

void FrameWorker::Post(const std::function<void(PendingInput&)>& change) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        change(m_pending);
        m_pending.render = true;
        // The frame under way shows a view that is already out of date.
        // Under the lock: the worker cannot meanwhile have taken this input
        // and started the frame that shows it.
        if (m_rendering.load() && !m_frameIsStale) {
            m_frameIsStale = true;
            m_backend->Abort();
        }
    }
    m_wake.notify_one();
}

void FrameWorker::PostOrbit(int dx, int dy) {
    Post([&](PendingInput& p) {
        p.orbitDx += dx;
        p.orbitDy += dy;
    });
}

void FrameWorker::PostZoom(int dy) {
    Post([&](PendingInput& p) { p.zoomDy += dy; });
}

void FrameWorker::PostQuality(const Quality& q) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quality = q;
    }
    Post([&](PendingInput& p) {
        p.quality = true;
        p.q = q;
    });
}

void FrameWorker::PostRender() {
    Post([](PendingInput&) {});
}

Quality FrameWorker::CurrentQuality() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_quality;
}

void FrameWorker::Run() {
    if (Status opened = m_backend->Open(m_setup); !opened.ok()) {
        m_backend->Close();
        if (m_onError) m_onError(opened.message());
        return;
    }
    int serial = 0;
    Quality quality = m_backend->Initial();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quality = quality;
    }
    for (;;) {
        PendingInput input;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop || m_pending.render; });
            if (m_stop) break;
            input = m_pending;
            m_pending = PendingInput();
        }
        if (input.orbitDx != 0 || input.orbitDy != 0) m_backend->Orbit(input.orbitDx, input.orbitDy);
        if (input.zoomDy != 0) m_backend->Zoom(input.zoomDy);
        if (input.quality) {
            quality = input.q;
            m_backend->SetQuality(quality);
        }
        {
            // Input that came while the last was applied: this frame would
            // be out of date before it starts; take that input first.
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop || m_pending.render) continue;
            m_frameIsStale = false;
            m_rendering.store(true);
        }
        auto start = std::chrono::steady_clock::now();
        bool aborted = false;
        int bricks = -1;
        bool ok = m_backend->Render(&aborted, &bricks);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_rendering.store(false);
        }
        Frame frame;
        ok = ok && m_backend->Read(&frame);
        if (!ok) {
            if (m_onError) m_onError("the connection was lost: " + m_backend->LastError());
            break;
        }
        if (aborted) ++m_aborts;
        frame.milliseconds =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        frame.aborted = aborted;
        frame.failure = m_backend->LastFrameFailure();
        frame.quality = quality;
        frame.bricks = bricks;
        frame.serial = ++serial;
        // An aborted frame is only worth showing when nothing newer comes.
        if (m_onFrame) m_onFrame(frame);
    }
    m_backend->Close();
}

// --- input -----------------------------------------------------------------------

ViewAction DragAction(Button button, int dx, int dy) {
    ViewAction a;
    if (button == Button::kLeft) {
        a.orbitDx = dx;
        a.orbitDy = -dy;
    } else if (button == Button::kRight) {
        a.zoomDy = -dy;
    }
    return a;
}

ViewAction WheelAction(int angleDelta) {
    ViewAction a;
    a.zoomDy = angleDelta * kWheelZoomStep / kWheelNotch;
    return a;
}

bool KeyQuality(char key, Quality* q) {
    switch (key) {
        case '+':
            q->opacity = std::min(1.0f, q->opacity + 0.1f);
            return true;
        case '-':
            q->opacity = std::max(0.0f, q->opacity - 0.1f);
            return true;
        case '[':
            q->pixelError = std::max(0, q->pixelError - 1);
            return true;
        case ']':
            q->pixelError = q->pixelError + 1;
            return true;
        case ',':
            q->angleError = std::max(0.0f, q->angleError - 0.005f);
            return true;
        case '.':
            q->angleError = q->angleError + 0.005f;
            return true;
        case '<':
            q->sizeError = std::max(0.0f, q->sizeError - 1.0f);
            return true;
        case '>':
            q->sizeError = q->sizeError + 1.0f;
            return true;
        case '0':
            q->pixelError = 0;
            q->angleError = 0.0f;
            q->sizeError = 0.0f;
            return true;
        case 'd':
            *q = Quality{5, 0.02f, 8.0f, q->opacity};
            return true;
        default:
            return false;
    }
}

std::string FrameSummary(const Frame& f) {
    char buf[160];
    std::snprintf(buf, sizeof(buf), "%.1f ms  detail: pixel error %d, angle %g, size %g  opacity %g", f.milliseconds,
                  f.quality.pixelError, f.quality.angleError, f.quality.sizeError,
                  f.quality.opacity);
    std::string s = buf;
    if (f.bricks >= 0) s += "  " + std::to_string(f.bricks) + " bricks";
    if (f.aborted) s += "  (aborted)";
    if (!f.failure.empty()) s += "  failed: " + f.failure;
    return s;
}

}  // namespace voxa::view
