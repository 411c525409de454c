// The render context: the engine object through which a host drives the
// volume renderer in direct mode (every operation, rendering included, runs
// to completion on the caller's thread).
//
// RenderProcess holds what is shared by every render context of a process:
// the GL window and context, the user count, the window-up flag, the pixel
// buffer, the pending request, the request code and abort flag, the shared
// options (cache size, floor, box, priority, history), the timer recorder
// and the six 2 MiB work buffers. A host makes one RenderProcess in main and
// passes it to its RenderContext(s); tests make a fresh one per case.
//
// The frame itself is drawn by a pluggable frame function (SetFrameFunction);
// until the frame pipeline plugs in, the default clears the frame. A frame
// function gets the context and reads the current block, the options, the
// colour table and the window through the accessors below.
//
// Threads: the host's thread calls every operation and owns the GL context.
// StopRendering may come from another thread (it only raises the abort flag).
#pragma once

#include "engine/context/color_table.h"
#include "engine/gl/gl_window.h"
#include "engine/context/options.h"
#include "engine/context/render_request.h"
#include "engine/context/render_work.h"
#include "engine/timers/timers.h"
#include "platform/debug_file.h"
#include "platform/direct_io.h"
#include "platform/status.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace voxa {

inline constexpr char kNoVolume[] = "none";
inline constexpr int kWorkBufferCount = 6;
inline constexpr size_t kWorkBufferBytes = 2097152;

// Request codes of the render hand-over (render-thread mode uses all of
// them; direct mode sets 1 while a frame renders).
enum class RequestCode : int {
    kNone = 0,
    kRender = 1,
    kClear = 2,
    kOption = 3,
    kPutPix = 4,
    kGetPix = 5,
};

// The pixel transfer record of GetPix: the byte count and the bytes.
struct BinaryDataVOXA {
    int32_t m_lSize = 0;
    std::vector<unsigned char> m_pBuffer;
};

class RenderContext;

// Hooks through which the brick store takes part in the context's
// lifecycle; each may be empty.
struct EngineHooks {
    std::function<void()> startReaders;          // StartUp: start the brick reader thread
    std::function<void()> windowDown;            // last ClearIt: close the reader's brick file
    std::function<void(int cacheMB)> cacheSize;  // "NCacheMB": re-allocate the cache if it exists
    std::function<void()> abort;                 // StopRendering: wake readers and waits (any thread)
    // Every file a frame's volume reads from (each data file its ZB file
    // names, in the ZB file's directory and in each directory of its
    // "otherdirs.txt") must pass this check, or the frame gives -1 and
    // nothing is read. A server sets it to confine those reads to its data
    // roots; unset, any file may be read. Render thread.
    std::function<Status(const std::string& path)> checkDataFile;
};

class RenderProcess {
public:
    RenderProcess();
    ~RenderProcess();
    RenderProcess(const RenderProcess&) = delete;
    RenderProcess& operator=(const RenderProcess&) = delete;

    // Display choice for the next window creation (kAuto by default).
    void SetDisplayMode(DisplayMode mode) { m_displayMode = mode; }
    DisplayMode GetDisplayMode() const { return m_displayMode; }

    GlWindow* Window() { return m_window.get(); }
    bool WindowUp() const { return m_windowUp; }
    int UserCount() const { return m_userCount; }
    ProcessOptions& SharedOptions() { return m_options; }
    TimerRecorder& Timers() { return *m_timers; }
    std::vector<unsigned char>& PixelBuffer() { return m_pixels; }
    const RenderRequestBlock& PendingRequest() const { return m_pending; }
    RequestCode Request() const { return m_request.load(std::memory_order_acquire); }
    bool AbortRequested() const { return m_abort.load(std::memory_order_acquire); }
    void ClearAbort() { m_abort.store(false, std::memory_order_release); }
    // The work buffers (committed when the first context is made).
    std::span<unsigned char> WorkBuffer(int index);
    // Palette entry point "glColorTableEXT" of the current context, or null.
    void* ColorTableEXT() const { return m_colorTableEXT; }
    EngineHooks& Hooks() { return m_hooks; }

private:
    friend class RenderContext;
    void CommitWorkBuffers();

    DisplayMode m_displayMode = DisplayMode::kAuto;
    std::unique_ptr<GlWindow> m_window;
    std::unique_ptr<class GlPalette> m_palette;
    void* m_colorTableEXT = nullptr;
    bool m_windowUp = false;
    int m_userCount = 0;
    ProcessOptions m_options;
    std::unique_ptr<TimerRecorder> m_timers;
    std::vector<unsigned char> m_pixels;
    RenderRequestBlock m_pending;
    // Written by the render side, read by status and stop calls: release on
    // store, acquire on load.
    std::atomic<RequestCode> m_request{RequestCode::kNone};
    std::atomic<bool> m_abort{false};
    std::array<AlignedBuffer, kWorkBufferCount> m_workBuffers;
    EngineHooks m_hooks;
};

class RenderContext {
public:
    // Draws one frame from CurrentBlock(); returns 0 after a finished or
    // aborted frame, a negative code on failure.
    using FrameFunction = std::function<int(RenderContext&)>;

    explicit RenderContext(RenderProcess& process);
    ~RenderContext();
    RenderContext(const RenderContext&) = delete;
    RenderContext& operator=(const RenderContext&) = delete;

    // --- the render work interface (every operation returns 0) ---
    int ClearIt();
    int StartUp();
    int SetDoRender();
    int IncrementEyePoint(int delx, int dely, int iMouseMode);
    int SaveKey(Renderparams* SKey);
    int RestorKey(const Renderparams* SKey);
    int Set_ZBname(std::string_view cZBnew);
    int SetFrustum(const float* center, const float* up, const float* normal, int iWidth,
                   int iHeight, float fPanWidth);
    int AddFrustum(const float* center, const float* up, const float* normal, int iWidth,
                   int iHeight, float fPanWidth);
    int SetLUT(std::string_view sAmap, std::string_view sCmap);
    int ZoomEyePoint(int delx, int dely, int iMouseMode);
    int StopRendering();
    int SetRenderQuality(int iPixErr, float fAngleError, float fSizeError);
    int CopyPixToFile(std::string_view cFile);
    int SetCurrentWorkingDir(std::string_view cDir);
    int SetOpacity(float fOpacity);
    int SetNearFarClip(float fNear, float fFar);
    int Set_hWnd(unsigned long i_hWnd);
    int SetLUTirgb(int N, const int* ind, const float* red, const float* grn, const float* blu);
    int SetLUTia(int N, const int* ind, const float* alpha);
    // The caller supplies arrays of 32.
    int GetLUT32irgb(int* N, int* ind, float* red, float* grn, float* blu);
    int GetLUT32ia(int* N, int* ind, float* alp);
    int SetOption(std::string_view wcKey, std::string_view wcValue);
    int GetPix(BinaryDataVOXA* pData);
    int GetStatus(std::string* wcStatus);
    int PutPix(int32_t lSize, const unsigned char* cPix);

    // --- for the frame pipeline and hosts ---
    void SetFrameFunction(FrameFunction frame);
    // The default frame: clears colour and depth, swaps when
    // "NRenderingBuffers" is 2 and "AutoSwapBuffers" 1, stamps
    // "Begin Rendering" / "End   Rendering" when "TimersOn" is 1.
    static int ClearFrame(RenderContext& context);
    // Ends a frame: swaps, flushes and finishes when "NRenderingBuffers" is 2
    // and "AutoSwapBuffers" 1, else finishes the drawing (window mode: shows
    // the front buffer).
    void EndFrame();
    // Result of the last frame function call.
    int LastFrameResult() const { return m_lastFrameResult; }

    RenderProcess& Process() { return m_process; }
    const RenderRequestBlock& RequestBlock() const { return m_block; }
    // Replaces the request block with a copy handed over by a host that
    // keeps one block per client (the next SetDoRender renders it).
    void SetRequestBlock(const RenderRequestBlock& block) { m_block = block; }
    const RenderRequestBlock& CurrentBlock() const { return m_current; }
    const OptionSettings& Options() const { return m_options; }
    OptionSettings& MutableOptions() { return m_options; }
    const ProcessOptions& SharedOptions() const { return m_process.m_options; }
    const ColorTable& Colors() const { return m_colors; }
    ColorTable& MutableColors() { return m_colors; }
    const ViewQuality& Quality() const { return m_quality; }
    const KeyExtras& Extras() const { return m_extras; }
    void SetVolumeSize(int nx, int ny, int nz);
    // The window and GL context while the window is up, else null.
    GlWindow* Window();
    // Name of the loaded volume ("none" when nothing is loaded).
    const std::string& LoadedVolume() const { return m_loadedVolume; }
    void SetLoadedVolume(std::string_view name) { m_loadedVolume = name; }
    bool OtherDirsLoaded() const { return m_otherDirsLoaded; }
    void SetOtherDirsLoaded(bool loaded) { m_otherDirsLoaded = loaded; }
    int FrustumIndex() const { return m_frustumIndex; }
    void SetFrustumIndex(int index) { m_frustumIndex = index; }
    int PanelCount() const { return m_panelCount; }
    bool ViewChanged() const { return m_viewChanged; }
    void SetViewChanged(bool changed) { m_viewChanged = changed; }
    // Loads the colour table as the texture palette (the extension's
    // colour table, or the shader stand-in where it is missing). Needs the
    // window up; false otherwise.
    bool LoadPalette();
    // The palette stand-in while palette mode is on without the extension
    // (null otherwise).
    class GlPalette* PaletteStandIn();
    // Appends the texts to the debug file "C:/DEBUG_VOXA.txt".
    static void LogDebug(const std::vector<std::string>& texts);

private:
    void MakeWindowReady();
    void TakeWindowDown();
    void SetInitialGlState();
    void ApplyBufferSelection();
    void ReadFrame(BufferRole role);

    RenderProcess& m_process;
    RenderRequestBlock m_block;    // the request block
    RenderRequestBlock m_current;  // the block of the frame in progress or last drawn
    OptionSettings m_options;
    ColorTable m_colors;
    ViewQuality m_quality;
    KeyExtras m_extras;
    unsigned long m_hostWindow = 0;
    std::string m_loadedVolume = kNoVolume;
    bool m_otherDirsLoaded = false;
    bool m_viewChanged = true;
    int m_frustumIndex = -1;
    int m_panelCount = 1;
    int m_lastFrameResult = 0;
    FrameFunction m_frame;
};

}  // namespace voxa
