#include "engine/context/render_context.h"

#include "engine/gl/gl_palette.h"
#include "engine/gl/gl_state.h"
#include "engine/context/pixel_files.h"
#include "platform/debug_file.h"
#include "platform/paths.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace voxa {

namespace {

constexpr char kColorTableEntryPoint[] = "glColorTableEXT";
constexpr char kPalettedTextureExtension[] = "GL_EXT_paletted_texture";
constexpr size_t kMaxDirectory = 99;

using ColorTableEXTProc = void (*)(GLenum, GLenum, GLsizei, GLenum, GLenum, const GLvoid*);

size_t FrameBytes(const RenderRequestBlock& b) {
    return static_cast<size_t>(b.width) * static_cast<size_t>(b.height) * 3;
}

}  // namespace

// ---------------------------------------------------------------------------
// RenderProcess

RenderProcess::RenderProcess()
    : m_timers(std::make_unique<TimerRecorder>()), m_pending(InitialRequestBlock()) {}

RenderProcess::~RenderProcess() {
    // GL objects go while their context still exists.
    if (m_window) m_window->MakeCurrent();
    m_palette.reset();
    m_window.reset();
}

void RenderProcess::CommitWorkBuffers() {
    if (m_workBuffers[0]) return;
    for (AlignedBuffer& b : m_workBuffers) b = AlignedBuffer(kWorkBufferBytes);
}

std::span<unsigned char> RenderProcess::WorkBuffer(int index) {
    if (index < 0 || index >= kWorkBufferCount) return {};
    AlignedBuffer& b = m_workBuffers[static_cast<size_t>(index)];
    return {b.Data(), b.Size()};
}

// ---------------------------------------------------------------------------
// RenderContext

RenderContext::RenderContext(RenderProcess& process)
    : m_process(process),
      m_block(InitialRequestBlock()),
      m_current(m_block),
      m_frame(&RenderContext::ClearFrame) {
    m_process.CommitWorkBuffers();
}

RenderContext::~RenderContext() = default;

void RenderContext::LogDebug(const std::vector<std::string>& texts) {
    for (const std::string& t : texts) AppendDebugText(kDebugVoxaFile, t);
}

GlWindow* RenderContext::Window() {
    return m_process.m_windowUp ? m_process.m_window.get() : nullptr;
}

GlPalette* RenderContext::PaletteStandIn() { return m_process.m_palette.get(); }

void RenderContext::SetFrameFunction(FrameFunction frame) {
    m_frame = frame ? std::move(frame) : FrameFunction(&RenderContext::ClearFrame);
}

void RenderContext::SetVolumeSize(int nx, int ny, int nz) {
    m_extras.nx = nx;
    m_extras.ny = ny;
    m_extras.nz = nz;
}

// --- lifecycle ---------------------------------------------------------------

int RenderContext::StartUp() {
    ++m_process.m_userCount;
    if (!m_process.m_windowUp) MakeWindowReady();
    if (m_process.m_hooks.startReaders) m_process.m_hooks.startReaders();
    return 0;
}

int RenderContext::ClearIt() {
    --m_process.m_userCount;
    if (m_process.m_userCount == 0 && m_process.m_windowUp) TakeWindowDown();
    return 0;
}

void RenderContext::MakeWindowReady() {
    GlWindowRequest request;
    request.mode = m_process.m_displayMode;
    request.width = m_block.width;
    request.height = m_block.height;
    request.hostWindow = m_hostWindow;
    request.title = kWindowTitle;
    std::vector<std::string> failures;
    m_process.m_window = GlWindow::Create(request, &failures);
    LogDebug(failures);
    if (!m_process.m_window) return;  // the window-up flag stays down
    SetInitialGlState();
    m_process.m_windowUp = true;
}

void RenderContext::SetInitialGlState() {
    GlWindow& w = *m_process.m_window;
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glEnable(GL_TEXTURE_2D);
    const bool paletted = w.HasExtension(kPalettedTextureExtension);
    if (paletted) glEnable(kGlColorIndex8Ext);
    glEnable(GL_BLEND);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_DITHER);
    glDisable(GL_FOG);
    glDisable(GL_LIGHTING);
    glDisable(GL_STENCIL_TEST);
    glDisable(GL_TEXTURE_1D);
    glDisable(GL_COLOR_LOGIC_OP);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);  // read-back of any width
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    // The driver's answer for an unknown name is not to be trusted (the
    // dispatcher hands out stubs), so the extension must be listed too.
    m_process.m_colorTableEXT = paletted ? w.ProcAddress(kColorTableEntryPoint) : nullptr;
    for (GLuint name : w.TextureNames()) {
        glBindTexture(GL_TEXTURE_2D, name);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP);
    }
    glBindTexture(GL_TEXTURE_2D, 0);
    ApplyBufferSelection();
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glFlush();
    if (m_options.nRenderingBuffers == 2) w.SwapBuffers();
    DrainGlErrors();
    // Palette mode chosen before the window came up takes effect now.
    if (m_options.usePalet) {
        m_process.m_windowUp = true;
        LoadPalette();
    }
}

void RenderContext::TakeWindowDown() {
    if (m_process.m_window) m_process.m_window->MakeCurrent();
    m_process.m_palette.reset();
    m_process.m_window.reset();
    m_process.m_colorTableEXT = nullptr;
    m_frustumIndex = -1;
    m_loadedVolume = kNoVolume;
    m_process.m_windowUp = false;
    if (m_process.m_hooks.windowDown) m_process.m_hooks.windowDown();
}

void RenderContext::ApplyBufferSelection() {
    GlWindow* w = m_process.m_window.get();
    if (w == nullptr) return;
    BufferRole role = m_options.nRenderingBuffers == 2 ? BufferRole::kBack : BufferRole::kFront;
    w->SelectDrawBuffer(role);
    w->SelectReadBuffer(role);
}

// --- rendering ---------------------------------------------------------------

int RenderContext::SetDoRender() {
    m_process.m_pending = m_block;
    m_process.m_request.store(RequestCode::kRender, std::memory_order_release);
    // The render takes the request.
    m_block = m_process.m_pending;
    m_current = m_process.m_pending;
    m_quality.opacity = m_current.opacity;
    m_quality.nplanes = m_current.nplanes;
    m_quality.maxplanes = m_current.maxplanes;
    m_quality.pixelError = m_current.pixelError;
    m_quality.angleError = m_current.angleError;
    m_quality.sizeError = m_current.sizeError;
    m_block.firstRequest = 0;
    m_block.frustumChanged = 0;
    m_block.mapFlag = 0;
    m_block.viewReset = 0;
    m_process.m_pixels.assign(FrameBytes(m_current), 0);

    GlWindow* w = Window();
    if (w != nullptr) {
        w->MakeCurrent();
        if (!w->SetFrameSize(m_current.width, m_current.height)) {
            // Keep the old buffers; the frame draws into what fits.
        }
        ApplyBufferSelection();
        m_lastFrameResult = m_frame(*this);
        w->PumpEvents();
    } else {
        m_lastFrameResult = 0;  // no window: the frame draws nothing
    }
    m_process.ClearAbort();
    m_process.m_request.store(RequestCode::kNone, std::memory_order_release);
    return 0;
}

int RenderContext::ClearFrame(RenderContext& context) {
    const OptionSettings& o = context.Options();
    TimerRecorder& timers = context.Process().Timers();
    if (o.timersOn == 1) {
        timers.SetTimerFile(o.timerOutputFile);
        timers.StampTimer(kBeginRendering);
    }
    if (context.Window() != nullptr) {
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        context.EndFrame();
    }
    if (o.timersOn == 1) {
        timers.StampTimer(kEndRendering);
        return timers.WriteTimerFile() == 1 ? 0 : -3;
    }
    return 0;
}

void RenderContext::EndFrame() {
    GlWindow* w = Window();
    if (w == nullptr) return;
    if (m_options.nRenderingBuffers == 2 && m_options.autoSwapBuffers == 1) {
        w->SwapBuffers();
        glFlush();
        glFinish();
    } else {
        w->FinishDrawing();
    }
}

int RenderContext::StopRendering() {
    if (m_process.m_request.load(std::memory_order_acquire) == RequestCode::kRender) {
        m_process.m_abort.store(true, std::memory_order_release);
        if (m_process.m_hooks.abort) m_process.m_hooks.abort();
    }
    return 0;
}

// --- pixels ------------------------------------------------------------------

void RenderContext::ReadFrame(BufferRole role) {
    std::vector<unsigned char>& pixels = m_process.m_pixels;
    pixels.resize(FrameBytes(m_current));
    GlWindow* w = Window();
    if (w == nullptr) return;  // nothing to read: the buffer keeps its bytes
    w->MakeCurrent();
    BufferRole before = w->ReadRole();
    w->SelectReadBuffer(role);
    {
        PixelTransferScope transfer;
        const int width = std::min(m_current.width, w->Width());
        const int height = std::min(m_current.height, w->Height());
        if (width == m_current.width) {
            glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
        } else {
            // The frame buffers are smaller than the frame (a failed resize):
            // read what exists, row by row, and leave the rest black.
            for (int y = 0; y < height; ++y)
                glReadPixels(0, y, width, 1, GL_RGB, GL_UNSIGNED_BYTE,
                             pixels.data() + static_cast<size_t>(y) * m_current.width * 3);
        }
        glFlush();
        glFinish();
    }
    w->SelectReadBuffer(before);
    if (m_options.nRenderingBuffers == 2) w->SelectReadBuffer(BufferRole::kBack);
}

int RenderContext::GetPix(BinaryDataVOXA* pData) {
    ReadFrame(BufferRole::kFront);
    if (pData != nullptr) {
        pData->m_lSize = static_cast<int32_t>(FrameBytes(m_current));
        pData->m_pBuffer.assign(m_process.m_pixels.begin(), m_process.m_pixels.end());
    }
    return 0;
}

int RenderContext::PutPix(int32_t lSize, const unsigned char* cPix) {
    const size_t bytes = FrameBytes(m_current);
    // A buffer shorter than the frame would be read past its end: refused.
    if (cPix == nullptr || lSize < 0 || static_cast<size_t>(lSize) < bytes) return 0;
    m_process.m_pixels.assign(cPix, cPix + bytes);
    GlWindow* w = Window();
    if (w == nullptr) return 0;
    w->MakeCurrent();
    {
        PixelTransferScope transfer;
        glDrawPixels(m_current.width, m_current.height, GL_RGB, GL_UNSIGNED_BYTE,
                     m_process.m_pixels.data());
        glFlush();
        glFinish();
    }
    if (m_options.nRenderingBuffers == 2)
        w->SwapBuffers();
    else
        w->FinishDrawing();
    return 0;
}

int RenderContext::CopyPixToFile(std::string_view cFile) {
    GlWindow* w = Window();
    const bool twoBuffers = m_options.nRenderingBuffers == 2;
    if (w != nullptr && twoBuffers) w->SwapBuffers();
    ReadFrame(twoBuffers ? BufferRole::kBack : BufferRole::kFront);
    if (w != nullptr && twoBuffers) w->SwapBuffers();
    std::string name = FrameFileName(cFile, m_extras.imageName);
    // A file that cannot be created is skipped; the call still succeeds.
    WriteRawImage(DrivePath(name), m_process.m_pixels);
    return 0;
}

// --- view, maps, quality -------------------------------------------------------

int RenderContext::SetFrustum(const float* center, const float* up, const float* normal,
                              int iWidth, int iHeight, float fPanWidth) {
    if (center == nullptr || up == nullptr || normal == nullptr) return 0;
    if (ApplyFrustum(m_block, center, up, normal, iWidth, iHeight, fPanWidth)) {
        m_viewChanged = true;
        m_panelCount = 1;
    }
    return 0;
}

int RenderContext::AddFrustum(const float* center, const float* up, const float* normal,
                              int iWidth, int iHeight, float fPanWidth) {
    return SetFrustum(center, up, normal, iWidth, iHeight, fPanWidth);
}

int RenderContext::IncrementEyePoint(int delx, int dely, int iMouseMode) {
    IncrementEye(m_block, delx, dely, iMouseMode);
    return 0;
}

int RenderContext::ZoomEyePoint(int /*delx*/, int dely, int iMouseMode) {
    ZoomEye(m_block, dely, iMouseMode);
    return 0;
}

int RenderContext::SetNearFarClip(float fNear, float fFar) {
    m_block.nearClip = fNear;
    m_block.farClip = fFar;
    return 0;
}

int RenderContext::SaveKey(Renderparams* SKey) {
    if (SKey != nullptr) *SKey = MakeKey(m_block, m_quality, m_extras);
    return 0;
}

int RenderContext::RestorKey(const Renderparams* SKey) {
    if (SKey != nullptr) ApplyKey(*SKey, m_block, m_quality, m_extras);
    return 0;
}

int RenderContext::Set_ZBname(std::string_view cZBnew) {
    CopyNameField(m_block.zbName, cZBnew);
    return 0;
}

int RenderContext::SetLUT(std::string_view sAmap, std::string_view sCmap) {
    CopyNameField(m_block.amapName, sAmap);
    CopyNameField(m_block.cmapName, sCmap);
    return 0;
}

int RenderContext::SetOpacity(float fOpacity) {
    // The request block's copy is written too, so the next frame uses it.
    m_quality.opacity = m_block.opacity = fOpacity;
    return 0;
}

int RenderContext::SetRenderQuality(int iPixErr, float fAngleError, float fSizeError) {
    // The request block's copies are written too, so the next frame uses them.
    m_quality.pixelError = m_block.pixelError = iPixErr;
    m_quality.angleError = m_block.angleError = fAngleError;
    m_quality.sizeError = m_block.sizeError = fSizeError;
    return 0;
}

int RenderContext::SetCurrentWorkingDir(std::string_view cDir) {
    std::string dir(cDir.substr(0, kMaxDirectory));
    if (!dir.empty()) (void)chdir(DrivePath(dir).c_str());
    m_otherDirsLoaded = false;
    return 0;
}

int RenderContext::Set_hWnd(unsigned long i_hWnd) {
    m_hostWindow = i_hWnd;
    return 0;
}

int RenderContext::SetLUTirgb(int N, const int* ind, const float* red, const float* grn,
                              const float* blu) {
    if (N < 1 || N > kMaxColorPoints || !ind || !red || !grn || !blu) return 0;
    const size_t n = static_cast<size_t>(N);
    m_colors.SetColorPoints({ind, n}, {red, n}, {grn, n}, {blu, n});
    return 0;
}

int RenderContext::SetLUTia(int N, const int* ind, const float* alpha) {
    if (N < 1 || N > kMaxColorPoints || !ind || !alpha) return 0;
    const size_t n = static_cast<size_t>(N);
    m_colors.SetAlphaPoints({ind, n}, {alpha, n});
    return 0;
}

int RenderContext::GetLUT32irgb(int* N, int* ind, float* red, float* grn, float* blu) {
    const ColorPoints& p = m_colors.GetColorPoints();
    if (N != nullptr) *N = p.count;
    for (int k = 0; k < p.count; ++k) {
        if (ind) ind[k] = p.index[static_cast<size_t>(k)];
        if (red) red[k] = p.red[static_cast<size_t>(k)];
        if (grn) grn[k] = p.green[static_cast<size_t>(k)];
        if (blu) blu[k] = p.blue[static_cast<size_t>(k)];
    }
    return 0;
}

int RenderContext::GetLUT32ia(int* N, int* ind, float* alp) {
    const AlphaPoints& p = m_colors.GetAlphaPoints();
    if (N != nullptr) *N = p.count;
    for (int k = 0; k < p.count; ++k) {
        if (ind) ind[k] = p.index[static_cast<size_t>(k)];
        if (alp) alp[k] = p.alpha[static_cast<size_t>(k)];
    }
    return 0;
}

// --- options and status ----------------------------------------------------------

bool RenderContext::LoadPalette() {
    GlWindow* w = Window();
    if (w == nullptr) return false;
    w->MakeCurrent();
    if (m_process.m_colorTableEXT != nullptr) {
        auto colorTable = reinterpret_cast<ColorTableEXTProc>(m_process.m_colorTableEXT);
        colorTable(GL_TEXTURE_2D, GL_RGBA, kColorTableSize, GL_RGBA, GL_FLOAT,
                   m_colors.Entries().data());
        return true;
    }
    if (!m_process.m_palette) {
        Result<std::unique_ptr<GlPalette>> palette = GlPalette::Create();
        if (!palette.ok()) {
            LogDebug({"UsePalet: " + palette.status().message() + "\n"});
            return false;
        }
        m_process.m_palette = std::move(palette).value();
    }
    static_assert(kPaletteSize == kColorTableSize);
    std::array<float, kPaletteSize * 4> rgba{};
    for (int i = 0; i < kPaletteSize; ++i) {
        const Rgba& e = m_colors.Entries()[static_cast<size_t>(i)];
        rgba[static_cast<size_t>(i) * 4 + 0] = e.r;
        rgba[static_cast<size_t>(i) * 4 + 1] = e.g;
        rgba[static_cast<size_t>(i) * 4 + 2] = e.b;
        rgba[static_cast<size_t>(i) * 4 + 3] = e.a;
    }
    m_process.m_palette->Load(rgba);
    DrainGlErrors();
    return true;
}

int RenderContext::SetOption(std::string_view wcKey, std::string_view wcValue) {
    OptionEffect effect =
        ApplyOptionKeyword(wcKey, wcValue, m_options, m_process.m_options);
    GlWindow* w = Window();
    switch (effect) {
        case OptionEffect::kPaletteChanged:
            if (m_options.usePalet) LoadPalette();
            break;
        case OptionEffect::kBuffersChanged:
            if (w != nullptr) {
                w->MakeCurrent();
                ApplyBufferSelection();
            }
            break;
        case OptionEffect::kSwapBuffers:
            if (w != nullptr) {
                w->MakeCurrent();
                w->SwapBuffers();
                glFlush();
                glFinish();
            }
            break;
        case OptionEffect::kCacheSizeChanged:
            if (m_process.m_hooks.cacheSize) m_process.m_hooks.cacheSize(m_process.m_options.cacheMB);
            break;
        case OptionEffect::kForgetVolume:
            m_loadedVolume = kNoVolume;
            break;
        case OptionEffect::kNone:
            break;
    }
    return 0;
}

int RenderContext::GetStatus(std::string* wcStatus) {
    std::string reply = m_process.m_request.load(std::memory_order_acquire) != RequestCode::kNone
                            ? kReplyWorking
                            : kReplyIdle;
    std::string& word = m_options.statusRequest;
    if (word == kStatusPriorityRequest) {
        char buf[16];
        std::snprintf(buf, sizeof(buf), "%hd", m_process.m_options.priority);
        reply = buf;
        word = kStatusRendering;
    } else if (word == kStatusIsGlWindowUp) {
        reply = m_process.m_windowUp ? kReplyGlWindowIsUp : kReplyGlWindowIsDown;
        word = kStatusRendering;
    } else if (word == kStatusGetAllPreviousOptions) {
        // The reply grows with the history (at most 1000 lines of 512 bytes).
        reply = m_process.m_options.history.Format();
        word = kStatusRendering;
    }
    if (wcStatus != nullptr) *wcStatus = std::move(reply);
    return 0;
}

}  // namespace voxa
