// The wall controller: drives one movie server object (class mi,
// interface Imi) per panel of a movie group, keeps their movie clocks
// aligned with its own, and starts, stops, steps and positions all panels
// together by scheduling every change on all servers for one common
// instant a little ahead (lead time, 100 ms).
//
// Threads: one wall thread owns the KJ event loop and every Cap'n Proto
// connection. Commands from any thread (the dialog, vw --play) are queued
// to it and run one at a time in the order they were posted; the periodic
// work (current frame each second, clock realignment every 10 s, the
// segment switch and the end of a limited play, checked every 100 ms) runs
// on the same thread between commands. So a change is computed, sent to
// every panel and committed to the controller's clock as one step, and
// every panel receives the changes in the same order. Each command returns
// a future of its Notice (a warning for the user, or nothing).
//
// Every wait for a panel is bounded (connect, each call): a panel that
// fails to activate, or whose call fails or times out, turns "ERROR", is
// released and is left out of every later call; the wall goes on.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "movie/vw_group.h"

namespace voxa::movie {

// Texts and titles of the controller's warnings.
inline constexpr const char* kNoNeedToReinitialize = "No need to reinitialize.";
inline constexpr const char* kIsAlreadyInitialized = "IS ALREADY INITITIALIZE";
inline constexpr const char* kNoPanelListLoaded = "No panel list loaded.";
inline constexpr const char* kCanNotInitialize = "CAN NOT INITITIALIZE MOVIE";
inline constexpr const char* kNeedToInitialize = "You need to initialize movie.";
inline constexpr const char* kCanNotShowMovie = "CAN NOT SHOW MOVIE";

// The movie clock: frame at time t (ms) = frame0 + trunc((t - time0) * rate),
// with rateBefore before time0 and rateAfter from it on (frames per ms);
// never below 0. The servers compute their frame the same way.
struct WallClock {
    int time0 = 0;
    int frame0 = 0;
    float rateBefore = 0.0f;
    float rateAfter = 0.0f;
    int FrameAt(int t) const;
};

enum class PanelStatus { kOff = 0, kOn = 1, kError = -1 };
const char* PanelStatusText(PanelStatus status);  // "OFF", "ON", "ERROR"

struct PanelView {
    std::string hostToken;
    PanelStatus status = PanelStatus::kOff;
    int width = 0;
    int height = 0;
    std::vector<Segment> segments;
    std::string error;  // why it turned "ERROR"
};

// Wall state values: 0 not initialised, 1 initialised.
struct WallView {
    int wallState = 0;
    int segment = 0;            // current segment (0-based)
    int currentFrame = 0;       // refreshed each second (modulo the segment's count)
    bool limitReached = false;  // a limited play froze on its last frame
    WallClock clock;
    std::vector<PanelView> panels;
};

struct Notice {
    std::string text;  // empty: nothing to tell
    std::string title;
    int value = 0;  // Go To Frame: the frame gone to
};

struct WallOptions {
    int leadMs = 100;  // changes take effect this far ahead
    int connectTimeoutMs = 3000;
    int callTimeoutMs = 3000;
    int initializeTimeoutMs = 20000;  // a first Initialize sets up the server's ring and window
    int shutDownTimeoutMs = 8000;
    int realignEveryMs = 10000;
    int freezeHoldMs = 500;   // segment switch: hold the last frame
    int reinitHoldMs = 1000;  // after Initialize of the next segment
    int restartHoldMs = 500;  // after positioning on its start frame
    bool launchLocal = true;  // start a registered server on this machine on demand
    // Messages about panels (activation failures, dead servers); default stderr.
    std::function<void(const std::string&)> log;
};

// The commands of a wall, as the dialog sees them (tests put a recording
// stand-in in its place).
class WallCommands {
  public:
    virtual ~WallCommands() = default;
    virtual std::future<Notice> Load(MovieGroup group) = 0;
    virtual std::future<Notice> Initialize(float zoom) = 0;
    virtual std::future<Notice> Play(int fps, float zoom) = 0;
    virtual std::future<Notice> Stop() = 0;
    virtual std::future<Notice> FrameBack() = 0;
    virtual std::future<Notice> FrameForward() = 0;
    virtual std::future<Notice> GoToFrame(int frame) = 0;
    virtual std::future<Notice> Exit() = 0;
    virtual WallView Snapshot() const = 0;
};

class Wall final : public WallCommands {
  public:
    explicit Wall(WallOptions options = {});
    // Shuts an initialised wall down and ends the wall thread.
    ~Wall() override;
    Wall(const Wall&) = delete;
    Wall& operator=(const Wall&) = delete;

    // A new panel table; an initialised wall is shut down first.
    std::future<Notice> Load(MovieGroup group) override;
    std::future<Notice> Initialize(float zoom) override;
    // Plays at fps frames per second from the current frame (initialising first).
    std::future<Notice> Play(int fps, float zoom) override;
    // Plays `frames` frames at fps from the current frame and freezes on the
    // last one (limitReached in the view), crossing segments as Play does.
    std::future<Notice> PlayFrames(int fps, float zoom, int frames);
    std::future<Notice> Stop() override;
    std::future<Notice> FrameBack() override;
    std::future<Notice> FrameForward() override;
    std::future<Notice> GoToFrame(int frame) override;
    // Stops the wall and shuts every panel down (ShutDown, release).
    std::future<Notice> Exit() override;
    // Each panel's GetStatus text ("" for a panel that is not on).
    std::future<std::vector<std::string>> QueryStatus();

    WallView Snapshot() const override;
    // Controller time (ms since Initialize).
    int Now() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace voxa::movie
