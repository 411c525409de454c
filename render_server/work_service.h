// The process-wide side of voxa_server: one render context with its frame
// pipeline, the render thread that owns them while it runs, the queue of
// requests handed to that thread, the user count, and the data roots that
// confine every path a client sends.
//
// Ownership: WorkService owns the RenderProcess, the RenderContext and the
// FramePipeline (whose brick readers it therefore also owns) and the render
// thread. While the render thread runs, only it touches the context; while
// no thread runs, the main thread applies requests to the context directly
// (there is no GL then: options are applied, frames and pixel reads answer
// at once with nothing).
//
// Hand-over: the main thread appends a Job to the queue (mutex + condition
// variable); the render thread takes jobs one at a time in order, carries
// each out, stores its results and then fulfils the job's cross-thread
// fulfiller, which resumes the waiting call on the main thread's event loop
// (the main thread never sleeps, so other calls, StopRendering among them,
// are served while one waits). Jobs never overwrite each other, and a
// caller is released only by the completion of its own job. When the
// render thread ends, every job still queued is completed without effect,
// so no wait outlives the thread.
//
// Threads: every public method is for the main thread, except
// WindowUp() and AbortFrame(), which any thread may call.
#pragma once

#include "engine/frame/frame_pipeline.h"
#include "engine/context/render_context.h"
#include "engine/context/render_request.h"
#include "platform/data_roots.h"

#include <kj/async.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace voxa::render_server {

inline constexpr char kServerName[] = "voxa_server";

enum class JobKind {
    kRender,       // render block (request code 1)
    kOption,       // apply key = value (request code 3)
    kPutPix,       // draw pixels into the window (request code 4)
    kGetPix,       // read the frame into pixels (request code 5)
    kColorPoints,  // SetLUTirgb on the context's colour table
    kAlphaPoints,  // SetLUTia on the context's colour table
    kDirsChanged,  // the working directory changed: reload "otherdirs.txt"
    kExit,         // the last user's ClearIt (request code 2): window down, thread ends
};

// One request for the render thread. The main thread fills the inputs
// before it queues the job; the render thread writes the outputs before it
// sets done (release) and fulfils the fulfiller.
struct Job {
    explicit Job(JobKind k) : kind(k) {}
    JobKind kind;
    // Inputs.
    RenderRequestBlock block{};           // kRender
    std::string key, value;               // kOption
    std::vector<unsigned char> pixels;    // kPutPix (in), kGetPix (out)
    int count = 0;                        // kColorPoints, kAlphaPoints
    std::vector<int> index;
    std::vector<float> a, b, c;           // red, green, blue or alpha
    // Outputs.
    bool carriedOut = false;              // false: the thread ended first
    int frameResult = 0;                  // kRender: the frame function's result
    bool aborted = false;                 // kRender: ended early by StopRendering
    std::array<int32_t, 3> volumeSize{};  // kRender: nx, ny, nz of the loaded volume
    int width = 0, height = 0;            // kGetPix: frame size of the pixels
    std::atomic<bool> done{false};
    kj::Own<kj::CrossThreadPromiseFulfiller<void>> fulfiller;
};

enum class ThreadState { kStopped, kRunning, kStopping };

class WorkService {
public:
    WorkService(DataRoots roots, DisplayMode display);
    ~WorkService();  // ends the render thread (window down) and joins it
    WorkService(const WorkService&) = delete;
    WorkService& operator=(const WorkService&) = delete;

    // StartUp: one user more; starts the render thread unless one runs
    // (after a thread that is stopping has ended). Never waits for the window.
    kj::Promise<void> StartUp();
    // ClearIt: one user fewer (never below zero); the last user's ClearIt
    // takes the window down and resolves when the render thread has ended.
    kj::Promise<void> ClearIt();

    // Queues a job and returns the promise of its completion (resolved at
    // once, with the job carried out on this thread, when no render thread
    // runs). The job is carried out whether or not the promise is kept.
    kj::Promise<void> Submit(std::shared_ptr<Job> job);

    // StopRendering: aborts the frame in progress, if any (any thread).
    void AbortFrame();

    // Process-wide answers of GetStatus.
    bool WindowUp() const { return m_windowUp.load(std::memory_order_acquire); }
    int16_t Priority();
    std::string OptionHistory();

    int Users() const { return m_users; }
    ThreadState State() const { return m_state; }
    // Number of render threads started so far (tests).
    int ThreadsStarted() const { return m_threadsStarted; }

    // Paths from clients: a name relative to the working directory is made
    // absolute first; then it must lie inside a data root. On success the
    // canonical path; else why not.
    Result<ServedPath> ConfinePath(std::string_view path) const;
    const DataRoots& Roots() const { return m_roots; }
    // SetCurrentWorkingDir: a directory inside the data roots (a refusal
    // otherwise, nothing changed).
    Status ChangeDirectory(std::string_view dir);
    const std::string& WorkingDirectory() const { return m_cwd; }

    // Appends one line to the debug file.
    static void Log(const std::string& text);

    // Tests: the frame report of the last frame (read only after that
    // frame's job completed).
    const FrameReport& LastFrame() const { return m_pipeline.LastFrame(); }

private:
    void StartThread();
    void RenderLoop();
    void CarryOut(Job& job);
    void Complete(Job& job);
    kj::Promise<void> WhenNotStopping();
    kj::Promise<void> SubmitNow(std::shared_ptr<Job> job);

    DataRoots m_roots;
    std::string m_cwd;
    RenderProcess m_process;
    RenderContext m_context;
    FramePipeline m_pipeline;

    // Main thread only.
    int m_users = 0;
    ThreadState m_state = ThreadState::kStopped;
    int m_threadsStarted = 0;
    std::thread m_thread;
    kj::Maybe<kj::ForkedPromise<void>> m_threadEnded;
    // Set before the thread starts; the thread fulfils it as its last act.
    kj::Own<kj::CrossThreadPromiseFulfiller<void>> m_endedFulfiller;

    // Shared with the render thread.
    std::mutex m_queueMutex;                     // guards m_queue
    std::condition_variable m_queueWake;
    std::deque<std::shared_ptr<Job>> m_queue;
    std::mutex m_optionsMutex;                   // guards the context's options while applied
    std::atomic<bool> m_windowUp{false};         // render thread writes, release/acquire
    std::atomic<bool> m_rendering{false};        // a frame is being drawn (render thread)
    std::mutex m_abortMutex;                     // a stop and the end of a frame, one at a time
};

}  // namespace voxa::render_server
