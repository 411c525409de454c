#include "movie/vw_fake_panel.h"

#include <capnp/rpc-twoparty.h>
#include <kj/async-io.h>

#include <cmath>
#include <condition_variable>
#include <cstdio>

#include "hosting/interfaces.capnp.h"
#include "movie/vw_wall.h"

namespace voxa::movie::testing {

int FakeClockState::MovieTimeLocked() const {
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    return static_cast<int>(elapsed.count()) + skewMs - offset;
}

int FakeClockState::FrameLocked() {
    const int t = MovieTimeLocked();
    if (params[0] != inUse[0]) {
        inUse[0] = params[0];
        inUse[1] = params[1];
        inUseRates[0] = rates[0];
        inUseRates[1] = rates[1];
    }
    WallClock clock{inUse[0], inUse[1], inUseRates[0], inUseRates[1]};
    return clock.FrameAt(t);
}

namespace {

class FakeImi final : public rpc::Imi::Server {
  public:
    explicit FakeImi(std::shared_ptr<FakeClockState> s) : m_s(std::move(s)) {}

  protected:
    kj::Promise<void> getTime(GetTimeContext context) override {
        std::lock_guard<std::mutex> lock(m_s->mutex);
        m_s->calls.push_back("GetTime");
        context.getResults().setLTime(m_s->MovieTimeLocked() + m_s->offset);
        return kj::READY_NOW;
    }
    kj::Promise<void> initialize(InitializeContext context) override {
        auto p = context.getParams();
        std::lock_guard<std::mutex> lock(m_s->mutex);
        m_s->calls.push_back(std::string("Initialize ") + p.getWcFile().cStr() + " " +
                             std::to_string(p.getINx()) + " " + std::to_string(p.getINy()) + " " +
                             std::to_string(p.getINframes()));
        if (!m_s->initialized) m_s->start = std::chrono::steady_clock::now();
        m_s->initialized = true;
        m_s->nFrames = p.getINframes();
        m_s->params[0] = m_s->inUse[0] = 0;
        m_s->inUse[1] = 0;
        m_s->inUseRates[0] = m_s->inUseRates[1] = 0;
        return kj::READY_NOW;
    }
    kj::Promise<void> shutDown(ShutDownContext) override { return Record("ShutDown"); }
    kj::Promise<void> framePP(FramePPContext) override {
        std::lock_guard<std::mutex> lock(m_s->mutex);
        m_s->calls.push_back("FramePP");
        m_s->FrameLocked();
        m_s->inUse[1] += 1;
        return kj::READY_NOW;
    }
    kj::Promise<void> setOffset(SetOffsetContext context) override {
        std::lock_guard<std::mutex> lock(m_s->mutex);
        m_s->offset = context.getParams().getLTimeOffset();
        m_s->calls.push_back("SetOffset " + std::to_string(m_s->offset));
        return kj::READY_NOW;
    }
    kj::Promise<void> setMovieParameters(SetMovieParametersContext context) override {
        auto p = context.getParams();
        std::lock_guard<std::mutex> lock(m_s->mutex);
        m_s->params[0] = p.getITime0();
        m_s->params[1] = p.getIFrame0();
        m_s->rates[0] = p.getFFrame0m();
        m_s->rates[1] = p.getFFrame0p();
        char text[128];
        std::snprintf(text, sizeof text, "SetMovieParameters %d %d %.4f %.4f", p.getITime0(),
                      p.getIFrame0(), static_cast<double>(p.getFFrame0m()),
                      static_cast<double>(p.getFFrame0p()));
        m_s->calls.push_back(text);
        return kj::READY_NOW;
    }
    kj::Promise<void> setOption(SetOptionContext context) override {
        auto p = context.getParams();
        return Record(std::string("SetOption ") + p.getWcKey().cStr() + " " +
                      p.getWcValue().cStr());
    }
    kj::Promise<void> getStatus(GetStatusContext context) override {
        std::lock_guard<std::mutex> lock(m_s->mutex);
        m_s->calls.push_back("GetStatus");
        context.getResults().setWcStatus("frame=" + std::to_string(m_s->FrameLocked()));
        return kj::READY_NOW;
    }

  private:
    kj::Promise<void> Record(std::string call) {
        std::lock_guard<std::mutex> lock(m_s->mutex);
        m_s->calls.push_back(std::move(call));
        return kj::READY_NOW;
    }
    std::shared_ptr<FakeClockState> m_s;
};

}  // namespace

FakePanel::FakePanel(std::string address, uint16_t port, int skewMs)
    : m_address(std::move(address)), m_port(port), m_state(std::make_shared<FakeClockState>()) {
    m_state->skewMs = skewMs;
    m_state->start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(m_mutex);
    m_thread = std::thread([this] {
        Run();
        std::lock_guard<std::mutex> l(m_mutex);
        m_runEnded = true;
        m_ready.notify_all();
    });
    m_ready.wait(lock, [&] { return m_executor != nullptr || m_runEnded; });
    if (m_runEnded) {
        lock.unlock();
        m_thread.join();
    }
}

void FakePanel::Run() {
    auto io = kj::setupAsyncIo();
    kj::Own<kj::ConnectionReceiver> listener;
    auto failed = kj::runCatchingExceptions([&]() {
        auto addr = io.provider->getNetwork().parseAddress(m_address, m_port).wait(io.waitScope);
        listener = addr->listen();
    });
    if (failed != nullptr) return;
    capnp::TwoPartyServer server(kj::heap<FakeImi>(m_state));
    auto paf = kj::newPromiseAndFulfiller<void>();
    auto serving = server.listen(*listener);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_listening = true;
        m_executor = &kj::getCurrentThreadExecutor();
        m_stop = paf.fulfiller.get();
    }
    m_ready.notify_all();
    paf.promise.exclusiveJoin(kj::mv(serving)).wait(io.waitScope);
}

void FakePanel::Kill() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_stopped || !m_thread.joinable()) return;
    m_stopped = true;
    const kj::Executor* executor = m_executor;
    kj::PromiseFulfiller<void>* stop = m_stop;
    lock.unlock();
    if (executor) executor->executeSync([stop] { stop->fulfill(); });
    m_thread.join();
}

FakePanel::~FakePanel() {
    Kill();
}

std::vector<std::string> FakePanel::Calls() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->calls;
}

std::vector<std::string> FakePanel::CallsStartingWith(const std::string& prefix) {
    std::vector<std::string> out;
    for (auto& c : Calls())
        if (c.rfind(prefix, 0) == 0) out.push_back(c);
    return out;
}

int FakePanel::Frame() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->FrameLocked();
}

}  // namespace voxa::movie::testing
