// A stand-in movie server for the controller's tests: one Imi object on
// its own thread and event loop, listening at address:port. It keeps the
// movie clock exactly as a movie server does (movie time = its own elapsed
// ms since the first Initialize, plus a skew, minus the newest offset;
// frame from the movie parameters, FramePP moves the clock in use), records
// every call in order, and answers GetStatus with "frame=N".
//
// Thread: its own; the accessors lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kj {
class Executor;
template <typename T>
class PromiseFulfiller;
}  // namespace kj

namespace voxa::movie::testing {

struct FakeClockState {
    std::mutex mutex;
    std::vector<std::string> calls;
    bool initialized = false;
    std::chrono::steady_clock::time_point start;
    int skewMs = 0;
    int offset = 0;
    int params[2] = {0, 0};
    float rates[2] = {0, 0};
    int inUse[2] = {0, 0};
    float inUseRates[2] = {0, 0};
    int nFrames = 0;

    int MovieTimeLocked() const;
    int FrameLocked();
};

class FakePanel {
  public:
    // skewMs: added to this server's elapsed time (a clock that started elsewhere).
    FakePanel(std::string address, uint16_t port, int skewMs = 0);
    ~FakePanel();
    FakePanel(const FakePanel&) = delete;
    FakePanel& operator=(const FakePanel&) = delete;

    bool Listening() const { return m_listening; }
    // Ends the server as a killed process would: every connection drops.
    void Kill();

    std::vector<std::string> Calls();
    // Calls whose text starts with prefix.
    std::vector<std::string> CallsStartingWith(const std::string& prefix);
    // The frame this panel shows now.
    int Frame();

  private:
    void Run();

    std::string m_address;
    uint16_t m_port;
    std::shared_ptr<FakeClockState> m_state;
    std::thread m_thread;
    bool m_listening = false;
    std::mutex m_mutex;
    const kj::Executor* m_executor = nullptr;
    kj::PromiseFulfiller<void>* m_stop = nullptr;
    bool m_stopped = false;
    bool m_runEnded = false;
    std::condition_variable m_ready;
};

}  // namespace voxa::movie::testing
