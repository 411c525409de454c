// The model of the interactive viewer voxa_view, free of Qt: where frames
// come from (a render context in this process, or a voxa_work object on a
// render host), the worker thread that renders them, and the translation
// of mouse and keyboard input into view operations.
//
// FrameBackend: one render context's operations, direct or remote. All its
// methods run on the worker thread, except Abort, which the UI thread calls
// to end a frame in progress.
//
// FrameWorker: owns the backend and one thread. The UI thread posts input
// (Post*), which accumulates; the worker applies what accumulated, renders
// one frame, reads it back and hands it to the frame callback (on the
// worker thread), then waits for more. New input while a frame renders
// aborts that frame (StopRendering), so a slow frame never holds up the
// next view. The UI thread never waits for a frame.
#pragma once

#include "platform/status.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace voxa::view {

struct ViewSetup {
    std::string host;      // empty: direct mode in this process
    std::string zbFile;    // empty: the built-in test volume
    std::string cmapFile;  // both or neither
    std::string amapFile;
    std::string keysText;  // frame keyword text of the first view ("eye", "center", ...)
    int width = 640;
    int height = 480;
};

// The quality settings the viewer controls.
struct Quality {
    int pixelError = 5;
    float angleError = 0.02f;
    float sizeError = 8.0f;
    float opacity = 1.0f;
};

struct Frame {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;  // width x height x 3, rows from the bottom up
    double milliseconds = 0;         // render and read-back
    bool aborted = false;            // ended early by new input
    Quality quality;                 // the settings it was drawn with
    int bricks = -1;                 // bricks drawn (direct mode), -1 unknown
    int serial = 0;                  // counts frames delivered
    // Why the frame could not be drawn (empty when it was): the image is
    // then what the window held before.
    std::string failure;
};

class FrameBackend {
public:
    virtual ~FrameBackend() = default;
    // Sets the frame size, the volume and the maps and starts up. Fails
    // (with why) when no frames can be had.
    virtual Status Open(const ViewSetup& setup) = 0;
    // The quality the view starts with (the defaults, or what the keyword
    // text set); valid after Open.
    virtual Quality Initial() const = 0;
    virtual void Orbit(int dx, int dy) = 0;  // IncrementEyePoint mode 0
    virtual void Zoom(int dy) = 0;           // ZoomEyePoint
    virtual void SetQuality(const Quality& q) = 0;
    // Renders one frame; returns when it is done or aborted. False when
    // the connection is lost.
    virtual bool Render(bool* aborted, int* bricks) = 0;
    virtual bool Read(Frame* frame) = 0;
    // Why the last Render's frame could not be drawn; empty when it was
    // (or when that cannot be known).
    virtual std::string LastFrameFailure() const { return {}; }
    virtual void Abort() = 0;  // any thread
    virtual void Close() = 0;
    virtual std::string LastError() const = 0;
};

// A render context of this process (headless).
std::unique_ptr<FrameBackend> MakeDirectBackend();
// A voxa_work object on setup.host.
std::unique_ptr<FrameBackend> MakeRemoteBackend();

// Input accumulated by the UI thread between two frames.
struct PendingInput {
    int orbitDx = 0, orbitDy = 0;
    int zoomDy = 0;
    bool quality = false;
    Quality q;
    bool render = false;
};

class FrameWorker {
public:
    using FrameCallback = std::function<void(const Frame&)>;
    using ErrorCallback = std::function<void(const std::string&)>;

    // The backend is opened on the worker thread; onError reports a failed
    // open or a lost connection (then the worker ends).
    FrameWorker(std::unique_ptr<FrameBackend> backend, ViewSetup setup, FrameCallback onFrame,
                ErrorCallback onError);
    ~FrameWorker();  // ends the thread (aborting a frame in progress)
    FrameWorker(const FrameWorker&) = delete;
    FrameWorker& operator=(const FrameWorker&) = delete;

    void PostOrbit(int dx, int dy);
    void PostZoom(int dy);
    void PostQuality(const Quality& q);
    void PostRender();
    Quality CurrentQuality();
    // Frames aborted so far by new input (tests).
    int Aborts() const { return m_aborts.load(); }

private:
    void Post(const std::function<void(PendingInput&)>& change);
    void Run();

    std::unique_ptr<FrameBackend> m_backend;
    ViewSetup m_setup;
    FrameCallback m_onFrame;
    ErrorCallback m_onError;
    std::mutex m_mutex;  // guards m_pending, m_stop, m_quality, m_frameIsStale
    std::condition_variable m_wake;
    PendingInput m_pending;
    Quality m_quality;
    bool m_stop = false;
    // True while Render runs for input older than what is pending: only
    // such a frame is aborted by new input. Set by the worker when it takes
    // the pending input (false) and by Post (true), both under m_mutex, so
    // that an abort never reaches a frame already showing the new input.
    bool m_frameIsStale = false;
    std::atomic<bool> m_rendering{false};  // worker sets while Render runs
    std::atomic<int> m_aborts{0};
    std::thread m_thread;
};

// Mouse and keyboard translation (pure functions, tested).
enum class Button { kNone, kLeft, kRight };

struct ViewAction {
    int orbitDx = 0, orbitDy = 0;
    int zoomDy = 0;
};

// A mouse move by (dx, dy) pixels (y down, as screens count) with a button
// held: the left button orbits (moving up turns the view up), the right
// button zooms (moving up approaches).
ViewAction DragAction(Button button, int dx, int dy);
// A wheel turn in eighths of a degree (120 per notch): one notch forward
// approaches by a zoom step of 100.
ViewAction WheelAction(int angleDelta);
// Keyboard: "+"/"-" opacity, "[" / "]" pixel error, "," / "." angle error,
// "<" / ">" size error, "0" finest detail (all tolerances 0), "d" the
// defaults (5, 0.02, 8). False for other keys.
bool KeyQuality(char key, Quality* q);

// "12.3 ms  detail: pixel error 5, angle 0.02, size 8  opacity 1  37 bricks",
// and "(aborted)" for a frame ended early.
std::string FrameSummary(const Frame& frame);

}  // namespace voxa::view
