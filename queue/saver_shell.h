// The screen-saver shell of the render node: it owns the saver window's
// life (creation, the 100 ms timer, destruction) and drives the node's
// render context in direct mode on its own thread.
//
// SaverCore is the window-system-free part: the creation set-up of the
// render context, one timer tick (a queue step, or the idle picture: the
// test pattern turned a little further), and destruction (ClearIt). It is
// given the window's id and size, and the queue step as a callback, so it
// runs with a fake step and without a display in tests.
//
// SaverShell adds X11 the way screen-saver managers run their display
// programs: it adopts the window named by -window-id or
// $XSCREENSAVER_WINDOW, or the root window, or creates its own window, and
// hands it to the render context with Set_hWnd, so the window's input and
// cursor stay the saver's. In its own window a key, a button or a close
// request ends the saver; an adopted window that is destroyed ends it too.
// Between ticks it waits on the X connection in slices of at most 50 ms,
// so a stop request (SIGTERM, SIGINT) is seen within a second even while
// the idle picture pauses.
//
// Timing: a tick runs no sooner than 100 ms after the end of the previous
// one; after an idle picture the next tick waits 1 s (the picture turns
// about once a second and an empty queue is asked about once a second),
// but input and stop requests are still handled during that wait.
//
// One thread: the thread that calls Create runs every tick and Destroy and
// holds the render context's GL context throughout. The stop flag may be
// set from a signal handler or another thread.
#pragma once

#include "engine/context/render_context.h"
#include "platform/status.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace voxa::queue {

inline constexpr int kSaverTickMs = 100;
inline constexpr int kIdlePauseMs = 1000;
// A window smaller than this in both sides is a preview: idle pictures
// only, no queue steps.
inline constexpr int kPreviewLimit = 200;
inline constexpr char kTestPatternName[] = "test_pattern";
inline constexpr char kSaverWindowEnv[] = "XSCREENSAVER_WINDOW";
// The idle picture turns as a mouse drag of 10 by 7 pixels would (mode 3:
// orbit and roll the up vector with it).
inline constexpr int kIdleTurnX = 10;
inline constexpr int kIdleTurnY = 7;
inline constexpr int kIdleTurnMode = 3;
// 17 degrees: half the default field of view across the panel.
inline constexpr double kHalfFieldRadians = 0.29670597054064274;

// One queue step for a window of width x height: 1 when it rendered a frame
// or completed a movie, 0 when there was nothing to do or the step failed.
using QueueStepFunction = std::function<int(int width, int height)>;

// The pan width of the saver's frustum for a window: 2 tan 17 deg W / H.
float SaverPanWidth(int width, int height);

enum class TickOutcome {
    kFrame,        // the queue step rendered a frame or completed a movie
    kIdlePicture,  // no work: the idle picture was drawn
    kPaused,       // inside the pause after an idle picture: nothing done
};

class SaverCore {
  public:
    // step may be empty (a node without a queue: idle pictures only).
    SaverCore(RenderContext& context, QueueStepFunction step);
    ~SaverCore();
    SaverCore(const SaverCore&) = delete;
    SaverCore& operator=(const SaverCore&) = delete;

    // The window is created: size, Tumble setting, frustum, Set_hWnd and
    // StartUp, options, test pattern, view key and maps. windowId 0 lets the
    // render context choose (headless or its own window).
    void Create(unsigned long windowId, int width, int height);
    // One timer tick at time now.
    TickOutcome Tick(std::chrono::steady_clock::time_point now);
    // The window is destroyed: ClearIt (once; later calls do nothing).
    void Destroy();

    // When the next tick is due (the end of the last tick plus 100 ms, or
    // plus 1 s after an idle picture).
    std::chrono::steady_clock::time_point NextTick() const { return m_nextTick; }
    bool IsPreview() const { return m_width < kPreviewLimit && m_height < kPreviewLimit; }
    // True when the render context answers "GL_WINDOW_IS_UP".
    bool GlWindowIsUp();
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    int Tumble() const { return m_tumble; }
    // Overrides the setting for this run (a manager's -tumble / -no-tumble);
    // nothing is written.
    void SetTumble(int tumble) { m_tumble = tumble != 0 ? 1 : 0; }
    int QueueSteps() const { return m_queueSteps; }
    int IdlePictures() const { return m_idlePictures; }
    bool Created() const { return m_created; }

  private:
    void SetFrustumOptionsAndMaps();
    void DrawIdlePicture();

    RenderContext& m_context;
    QueueStepFunction m_step;
    int m_width = 0;
    int m_height = 0;
    int m_tumble = 1;
    bool m_created = false;
    int m_queueSteps = 0;
    int m_idlePictures = 0;
    std::chrono::steady_clock::time_point m_nextTick{};
};

enum class SaverWindowKind {
    kOwn,       // a window of our own (a key, a button or closing it ends the saver)
    kWindowId,  // the window named by -window-id or $XSCREENSAVER_WINDOW
    kRoot,      // the root window
};

struct SaverWindowChoice {
    SaverWindowKind kind = SaverWindowKind::kOwn;
    unsigned long windowId = 0;
    int ownWidth = 1280;  // size of an own window
    int ownHeight = 1024;
};

// Parses a window id as a manager passes it: decimal or 0x-hex. Refuses
// empty, signed, trailing text, 0 and values beyond 32 bits (X ids are 29).
Result<unsigned long> ParseWindowId(std::string_view text);

// Why Run ended.
enum class SaverEnd {
    kStopRequested,  // the stop flag (SIGTERM, SIGINT)
    kUserInput,      // a key or button in the own window
    kWindowClosed,   // the own window's close request, or the adopted window destroyed
};
const char* SaverEndName(SaverEnd end);

class SaverShell {
  public:
    explicit SaverShell(const std::atomic<bool>& stop);
    ~SaverShell();
    SaverShell(const SaverShell&) = delete;
    SaverShell& operator=(const SaverShell&) = delete;

    // Opens the display and adopts or creates the window; its size is known
    // afterwards. Fails (nothing left open) when there is no display or the
    // window does not exist.
    Status OpenWindow(const SaverWindowChoice& choice);
    // The creation set-up on the render context with the open window.
    void Create(RenderContext& context, QueueStepFunction step);
    // Ticks and handles window events until the saver must end.
    SaverEnd Run();
    // Stops the timer, ClearIt, destroys an own window, closes the display.
    void Destroy();

    unsigned long WindowId() const;
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    // Valid after Create.
    SaverCore& Core() { return *m_core; }

  private:
    // Handles pending X events; true when the saver must end (*end says why).
    bool HandleEvents(SaverEnd* end);

    struct X;
    std::unique_ptr<X> m_x;
    std::unique_ptr<SaverCore> m_core;
    const std::atomic<bool>& m_stop;
    int m_width = 0;
    int m_height = 0;
};

}  // namespace voxa::queue
