#include "movie/vw_wall.h"

#include <capnp/rpc-twoparty.h>
#include <kj/async-io.h>
#include <kj/debug.h>
#include <kj/timer.h>

#include <cmath>
#include <cstdio>
#include <iostream>

#include "hosting/activation.h"
#include "hosting/class_registry.h"
#include "hosting/interfaces.capnp.h"

namespace voxa::movie {

namespace {

// A float rate read at its seven significant digits (0.03f is 0.0299999993
// as a double, which would make 1000 ms at 30 frames a second 29 frames),
// exactly as the movie server reads it, so both count the same frames.
double RateOf(float rate) {
    if (rate == 0.0f || !std::isfinite(rate)) return 0.0;
    const double d = rate;
    const double scale = std::pow(10.0, 6 - static_cast<int>(std::floor(std::log10(std::fabs(d)))));
    return std::round(d * scale) / scale;
}

}  // namespace

int WallClock::FrameAt(int t) const {
    const double rate = RateOf(t < time0 ? rateBefore : rateAfter);
    double frames = static_cast<double>(t - time0) * rate;
    frames += frames * 1e-9;  // 0.29 x 100 is 28.999999999999996 in doubles
    const double frame = static_cast<double>(frame0) + std::trunc(frames);
    if (frame < 0) return 0;
    if (frame > 2e9) return 2000000000;
    return static_cast<int>(frame);
}

const char* PanelStatusText(PanelStatus status) {
    switch (status) {
        case PanelStatus::kOn:
            return "ON";
        case PanelStatus::kError:
            return "ERROR";
        case PanelStatus::kOff:
            break;
    }
    return "OFF";
}

namespace {

using Imi = rpc::Imi;
using Clock = std::chrono::steady_clock;
constexpr int kAlignRounds = 10;
constexpr int kAlignSleepMs = 10;
constexpr int kSegmentCheckMs = 100;
constexpr int kFrameShowMs = 1000;
constexpr int kSwitchWithinMs = 500;

std::string FormatFloat(float v) {
    char text[64];
    std::snprintf(text, sizeof text, "%f", static_cast<double>(v));
    return text;
}

}  // namespace

// Everything below runs on the wall thread, except Post/Snapshot/Now.
struct Wall::Impl {
    struct Link {
        kj::Own<hosting::RemoteObject> object;
        std::unique_ptr<Imi::Client> imi;
    };

    explicit Impl(WallOptions o) : options(std::move(o)) {
        if (!options.log)
            options.log = [](const std::string& m) { std::cerr << "vw: " << m << "\n"; };
        base = Clock::now();
        baseNs.store(base.time_since_epoch().count(), std::memory_order_release);
        callBoundMs = options.callTimeoutMs;
        thread = std::thread([this] { ThreadMain(); });
    }

    ~Impl() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            quit = true;
        }
        wake.notify_all();
        thread.join();
    }

    // ---- shared with other threads ----
    WallOptions options;
    mutable std::mutex mutex;  // guards jobs, quit, view
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    bool quit = false;
    WallView view;
    std::atomic<int64_t> baseNs{0};  // written by the wall thread at Initialize
    std::thread thread;

    template <typename T>
    std::future<T> Post(std::function<T()> work) {
        // The view is published before the caller learns the command is done.
        auto task = std::make_shared<std::packaged_task<T()>>([this, work = std::move(work)] {
            T result = work();
            Publish();
            return result;
        });
        auto future = task->get_future();
        {
            std::lock_guard<std::mutex> lock(mutex);
            jobs.push_back([task] { (*task)(); });
        }
        wake.notify_all();
        return future;
    }

    int NowMs() const {
        auto b = Clock::time_point(Clock::duration(baseNs.load(std::memory_order_acquire)));
        return static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - b).count());
    }

    // ---- wall thread only ----
    kj::AsyncIoContext* io = nullptr;
    Clock::time_point base;
    MovieGroup group;
    std::vector<PanelStatus> status;
    std::vector<std::string> errors;
    std::vector<Link> links;
    WallClock clock;
    int wallState = 0;
    bool segmentsOn = false;
    int segment = 0;
    int currentFrame = 0;
    int fps = 10;
    float zoom = 1.0f;
    // A limited play: frames to play, played in finished passes, origin of this pass.
    bool limitOn = false;
    bool limitReached = false;
    int limitFrames = 0;
    int limitPlayed = 0;
    int limitOrigin = 0;
    int nextShow = 0, nextAlign = 0, nextCheck = 0;

    void ThreadMain() {
        auto ctx = kj::setupAsyncIo();
        io = &ctx;
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(mutex);
                wake.wait_for(lock, std::chrono::milliseconds(20),
                              [this] { return quit || !jobs.empty(); });
                if (!jobs.empty()) {
                    job = std::move(jobs.front());
                    jobs.pop_front();
                } else if (quit) {
                    break;
                }
            }
            // The event loop's clock only moves while the loop runs; between
            // commands the thread waits on the condition variable, so turn the
            // loop first: a bound or delay started by the job counts from now,
            // not from the last time the loop ran (which, between realigns,
            // is seconds ago), and messages the servers sent meanwhile
            // (replies, disconnects) are taken in.
            io->waitScope.poll();
            if (job) job();
            io->waitScope.poll();
            Periodic();
            Publish();
        }
        if (wallState == 1) DoExit();
        links.clear();
        io = nullptr;
    }

    void Publish() {
        WallView v;
        v.wallState = wallState;
        v.segment = segment;
        v.currentFrame = currentFrame;
        v.limitReached = limitReached;
        v.clock = clock;
        for (size_t i = 0; i < group.panels.size(); ++i) {
            const Panel& p = group.panels[i];
            v.panels.push_back({p.hostToken, status[i], p.width, p.height, p.segments, errors[i]});
        }
        std::lock_guard<std::mutex> lock(mutex);
        view = std::move(v);
    }

    int Now() const { return NowMs(); }

    kj::Timer& Timer() { return io->provider->getTimer(); }
    void Sleep(int ms) { Timer().afterDelay(ms * kj::MILLISECONDS).wait(io->waitScope); }

    template <typename T>
    kj::Promise<T> Bounded(kj::Promise<T> promise, int ms) {
        return Timer().timeoutAfter(ms * kj::MILLISECONDS, kj::mv(promise));
    }

    template <typename R>
    kj::Promise<void> Done(capnp::RemotePromise<R>&& p, int timeoutMs = 0) {
        return Bounded(p.then([](capnp::Response<R>&&) {}),
                       timeoutMs > 0 ? timeoutMs : callBoundMs);
    }

    // Bound of one call. While panels initialise it is the Initialize bound
    // for every call: panels served by one server process wait behind each
    // other's first Initialize there.
    int callBoundMs = 0;

    bool Active(size_t i) const { return status[i] == PanelStatus::kOn && links[i].imi; }

    void MarkError(size_t i, const std::string& why) {
        if (status[i] == PanelStatus::kError) return;
        status[i] = PanelStatus::kError;
        errors[i] = why;
        options.log(group.panels[i].hostToken + ": " + why + " (panel left out)");
        // Released later, outside any promise chain that may still use it.
        deadLinks.push_back(std::move(links[i]));
        links[i] = Link{};
    }
    std::vector<Link> deadLinks;

    // Runs call(i, imi) on every active panel at once and waits for all; a
    // panel whose call fails or times out turns "ERROR".
    void ForEachActive(const std::function<kj::Promise<void>(size_t, Imi::Client&)>& call) {
        kj::Vector<kj::Promise<void>> all;
        for (size_t i = 0; i < links.size(); ++i) {
            if (!Active(i)) continue;
            all.add(call(i, *links[i].imi)
                        .then([]() {},
                              [this, i](kj::Exception&& e) {
                                  MarkError(i, e.getDescription().cStr());
                              }));
        }
        kj::joinPromises(all.releaseAsArray()).wait(io->waitScope);
        deadLinks.clear();
    }

    kj::Promise<void> SetParams(Imi::Client& imi, int t0, int f0, float before, float after) {
        auto req = imi.setMovieParametersRequest();
        req.setITime0(t0);
        req.setIFrame0(f0);
        req.setFFrame0m(before);
        req.setFFrame0p(after);
        return Done(req.send());
    }

    kj::Promise<void> InitSegment(size_t i, Imi::Client& imi, int seg) {
        const Panel& p = group.panels[i];
        const Segment& s = p.segments[seg % p.segments.size()];
        auto req = imi.initializeRequest();
        req.setWcFile(s.files);
        req.setINx(p.width);
        req.setINy(p.height);
        req.setINframes(s.frameCount);
        return Done(req.send(), options.initializeTimeoutMs);
    }

    struct AlignSums {
        int64_t server = 0;
        int64_t local = 0;
    };

    // GetTime ten times (10 ms apart), then SetOffset(server - controller time).
    kj::Promise<void> Align(Imi::Client& imi, int round, std::shared_ptr<AlignSums> sums) {
        if (round == kAlignRounds) {
            auto req = imi.setOffsetRequest();
            req.setLTimeOffset(static_cast<int32_t>(sums->server / kAlignRounds -
                                                    sums->local / (2 * kAlignRounds)));
            return Done(req.send());
        }
        const int t1 = Now();
        auto get =
            Bounded(imi.getTimeRequest().send().then(
                        [](capnp::Response<Imi::GetTimeResults>&& r) { return r.getLTime(); }),
                    callBoundMs);
        return get
            .then([this, t1, sums](int32_t s) {
                sums->server += s;
                sums->local += t1 + Now();
                return Timer().afterDelay(kAlignSleepMs * kj::MILLISECONDS);
            })
            .then([this, &imi, round, sums]() { return Align(imi, round + 1, sums); });
    }

    void AlignAll() {
        ForEachActive([this](size_t, Imi::Client& imi) {
            return Align(imi, 0, std::make_shared<AlignSums>());
        });
    }

    // ---- commands ----

    Notice DoLoad(MovieGroup g) {
        for (const Panel& p : g.panels)
            if (p.segments.empty() || p.width <= 0 || p.height <= 0)
                return {"Panel " + p.hostToken + " has no movie.", "vw"};
        if (wallState == 1) DoExit();
        links.clear();
        group = std::move(g);
        status.assign(group.panels.size(), PanelStatus::kOff);
        errors.assign(group.panels.size(), "");
        links.resize(group.panels.size());
        segment = 0;
        currentFrame = 0;
        clock = {};
        return {};
    }

    Notice DoInitialize(float z) {
        if (wallState == 1) return {kNoNeedToReinitialize, kIsAlreadyInitialized};
        if (group.panels.empty()) return {kNoPanelListLoaded, kCanNotInitialize};
        zoom = z;
        base = Clock::now();
        baseNs.store(base.time_since_epoch().count(), std::memory_order_release);
        clock = {};
        limitOn = limitReached = false;
        links.clear();
        links.resize(group.panels.size());
        status.assign(group.panels.size(), PanelStatus::kOff);
        errors.assign(group.panels.size(), "");
        Activate();
        callBoundMs = options.initializeTimeoutMs;
        // Options, the first segment, then the clock: the server's movie
        // time starts at its first Initialize, so align after it.
        ForEachPending([this](size_t i, Imi::Client& imi) {
            HostToken host = HostOf(i);
            auto expand = imi.setOptionRequest();
            expand.setWcKey("Expand");
            expand.setWcValue(FormatFloat(zoom));
            auto xo = imi.setOptionRequest();
            xo.setWcKey("Xoffset");
            xo.setWcValue(std::to_string(host.x));
            auto yo = imi.setOptionRequest();
            yo.setWcKey("Yoffset");
            yo.setWcValue(std::to_string(host.y));
            kj::Vector<kj::Promise<void>> opts;
            opts.add(Done(expand.send()));
            opts.add(Done(xo.send()));
            opts.add(Done(yo.send()));
            return kj::joinPromises(opts.releaseAsArray())
                .then([this, i, &imi]() { return InitSegment(i, imi, 0); })
                .then([this, &imi]() { return Align(imi, 0, std::make_shared<AlignSums>()); });
        });
        callBoundMs = options.callTimeoutMs;
        segment = 0;
        const int t0 = Now() + options.leadMs;
        const int start = group.panels[0].segments[0].startFrame;
        clock = {t0, start, 0.0f, 0.0f};
        ForEachActive([&](size_t i, Imi::Client& imi) {
            return SetParams(imi, t0, group.panels[i].segments[0].startFrame, 0.0f, 0.0f);
        });
        wallState = 1;
        segmentsOn = group.panels[0].segments.size() > 1;
        currentFrame = start;
        const int now = Now();
        nextShow = now + kFrameShowMs;
        nextAlign = now + options.realignEveryMs;
        nextCheck = now + kSegmentCheckMs;
        return {};
    }

    // Runs call on every panel that is connected but not yet "ON"; those
    // that come through turn "ON".
    void ForEachPending(const std::function<kj::Promise<void>(size_t, Imi::Client&)>& call) {
        kj::Vector<kj::Promise<void>> all;
        for (size_t i = 0; i < links.size(); ++i) {
            if (status[i] != PanelStatus::kOff || !links[i].imi) continue;
            all.add(call(i, *links[i].imi)
                        .then([this, i]() { status[i] = PanelStatus::kOn; },
                              [this, i](kj::Exception&& e) {
                                  MarkError(i, e.getDescription().cStr());
                              }));
        }
        kj::joinPromises(all.releaseAsArray()).wait(io->waitScope);
        deadLinks.clear();
    }

    // The panel's machine and window position; a token that names none
    // (a group not read from a file) gives an empty machine, which fails to
    // activate.
    HostToken HostOf(size_t i) const {
        auto host = SplitHostToken(group.panels[i].hostToken);
        return host.ok() ? *host : HostToken{};
    }

    // Connects to every panel's machine at once (bounded); a local machine
    // with nothing listening gets its registered server launched.
    void Activate() {
        const uint16_t port = hosting::ClassPort(hosting::MiClass());
        std::vector<kj::Maybe<kj::Own<kj::AsyncIoStream>>> streams(group.panels.size());
        std::vector<std::string> why(group.panels.size());
        kj::Vector<kj::Promise<void>> all;
        for (size_t i = 0; i < group.panels.size(); ++i) {
            std::string machine = HostOf(i).machine;
            auto connect = io->provider->getNetwork()
                               .parseAddress(machine, port)
                               .then([](kj::Own<kj::NetworkAddress> a) {
                                   return a->connect().attach(kj::mv(a));
                               });
            all.add(
                Bounded(kj::mv(connect), options.connectTimeoutMs)
                    .then([&streams, i](kj::Own<kj::AsyncIoStream> s) { streams[i] = kj::mv(s); },
                          [&why, i](kj::Exception&& e) { why[i] = e.getDescription().cStr(); }));
        }
        kj::joinPromises(all.releaseAsArray()).wait(io->waitScope);
        for (size_t i = 0; i < group.panels.size(); ++i) {
            std::string machine = HostOf(i).machine;
            KJ_IF_MAYBE (s, streams[i]) {
                links[i].object = kj::heap<hosting::RemoteObject>(kj::mv(*s));
            } else if (options.launchLocal && hosting::IsLocalHost(machine)) {
                kj::Own<hosting::RemoteObject> object;
                std::string error;
                if (hosting::CreateInstanceOnHost(*io, hosting::MiClass(), machine, &object,
                                                  &error) == 0)
                    links[i].object = kj::mv(object);
                else
                    why[i] = error;
            }
            if (links[i].object) {
                links[i].imi = std::make_unique<Imi::Client>(links[i].object->As<Imi>());
            } else {
                status[i] = PanelStatus::kError;
                errors[i] = "activation on " + machine + " failed: " + why[i];
                options.log(group.panels[i].hostToken + ": " + errors[i]);
            }
        }
    }

    // Schedules (t0, f0, old rate after, rate) on every panel and commits it.
    void Schedule(int t0, int f0, float rate) {
        const float before = clock.rateAfter;
        ForEachActive(
            [&](size_t, Imi::Client& imi) { return SetParams(imi, t0, f0, before, rate); });
        clock = {t0, f0, before, rate};
    }

    Notice DoPlay(int f, float z) {
        if (wallState != 1) {
            Notice n = DoInitialize(z);
            if (!n.text.empty()) return n;
        }
        fps = f;
        const int t = Now() + options.leadMs;
        Schedule(t, clock.FrameAt(t), static_cast<float>(fps * 0.001));
        return {};
    }

    Notice DoPlayFrames(int f, float z, int frames) {
        Notice n = DoPlay(f, z);
        if (!n.text.empty()) return n;
        limitOn = true;
        limitReached = false;
        limitFrames = frames;
        limitPlayed = 0;
        limitOrigin = clock.frame0;
        return {};
    }

    Notice DoStop(int back) {
        if (wallState != 1) return {kNeedToInitialize, kCanNotShowMovie};
        const int t = Now() + options.leadMs;
        Schedule(t, std::max(0, clock.FrameAt(t) - back), 0.0f);
        return {};
    }

    Notice DoFrameForward() {
        if (wallState != 1) return {kNeedToInitialize, kCanNotShowMovie};
        ForEachActive(
            [this](size_t, Imi::Client& imi) { return Done(imi.framePPRequest().send()); });
        clock.frame0 += 1;
        return {};
    }

    Notice DoGoTo(int g) {
        if (!group.panels.empty()) {
            const Panel& first = group.panels[0];
            const Segment& s = first.segments[segment % first.segments.size()];
            if (g < s.startFrame || g >= s.frameCount) g = s.startFrame;
        }
        if (wallState == 1) clock = {Now() + options.leadMs, g, 0.0f, 0.0f};
        Notice n = DoStop(0);
        n.value = g;
        return n;
    }

    void DoExit() {
        if (wallState == 1) {
            DoStop(0);
            kj::Vector<kj::Promise<void>> all;
            for (size_t i = 0; i < links.size(); ++i) {
                if (!Active(i)) continue;
                all.add(Bounded(links[i].imi->shutDownRequest().send().then([](auto&&) {}),
                                options.shutDownTimeoutMs)
                            .then([]() {},
                                  [this, i](kj::Exception&& e) {
                                      options.log(group.panels[i].hostToken +
                                                  ": ShutDown: " + e.getDescription().cStr());
                                  }));
            }
            kj::joinPromises(all.releaseAsArray()).wait(io->waitScope);
        }
        links.clear();
        links.resize(group.panels.size());
        for (auto& s : status)
            if (s == PanelStatus::kOn) s = PanelStatus::kOff;
        wallState = 0;
        segmentsOn = false;
        limitOn = false;
    }

    std::vector<std::string> DoQueryStatus() {
        std::vector<std::string> texts(links.size());
        ForEachActive([&](size_t i, Imi::Client& imi) {
            return Bounded(imi.getStatusRequest().send().then(
                               [&texts, i](capnp::Response<Imi::GetStatusResults>&& r) {
                                   texts[i] = r.getWcStatus().cStr();
                               }),
                           callBoundMs);
        });
        return texts;
    }

    // ---- periodic work (the clock and the segment switch) ----

    const Segment& FirstPanelSegment() const {
        const Panel& first = group.panels[0];
        return first.segments[segment % first.segments.size()];
    }

    void Periodic() {
        if (wallState != 1) return;
        int now = Now();
        if (now >= nextShow) {
            const int count = FirstPanelSegment().frameCount;
            currentFrame = count > 0 ? clock.FrameAt(now) % count : clock.FrameAt(now);
            nextShow = now + kFrameShowMs;
        }
        if (now >= nextAlign) {
            AlignAll();
            nextAlign = Now() + options.realignEveryMs;
        }
        now = Now();
        if (now >= nextCheck) {
            CheckPass(now);
            nextCheck = Now() + kSegmentCheckMs;
        }
    }

    // Freezes the wall on frame `last` at the instant the clock reaches it.
    void FreezeAt(int last) {
        const int now = Now();
        const int c = clock.FrameAt(now);
        const int r = static_cast<int>(std::trunc((last - c) / clock.rateAfter));
        const int t0 = now + std::max(0, r);
        const float before = clock.rateAfter;
        ForEachActive(
            [&](size_t, Imi::Client& imi) { return SetParams(imi, t0, last, before, 0.0f); });
        clock = {t0, last, before, 0.0f};
    }

    void CheckPass(int now) {
        if (clock.rateAfter <= 0) return;
        const int c = clock.FrameAt(now);
        const int h = FirstPanelSegment().frameCount;
        if (limitOn) {
            const int target = limitOrigin + (limitFrames - limitPlayed) - 1;
            const int passEnd = segmentsOn ? h * (c / h + 1) - 1 : target;
            if (target <= passEnd) {
                const int r = static_cast<int>(std::trunc((target - c) / clock.rateAfter));
                if (r < kSwitchWithinMs) {
                    FreezeAt(target);
                    limitOn = false;
                    limitReached = true;
                }
                return;
            }
        }
        if (!segmentsOn) return;
        const int last = h * (c / h + 1) - 1;
        const int r = static_cast<int>(std::trunc((last - c) / clock.rateAfter));
        if (r >= kSwitchWithinMs) return;
        // The wall freezes on the pass's last frame, switches every panel to
        // the next segment, positions it on its start frame and plays on.
        FreezeAt(last);
        Sleep(options.freezeHoldMs);
        if (limitOn) limitPlayed += last - limitOrigin + 1;
        segment = (segment + 1) % static_cast<int>(group.panels[0].segments.size());
        ForEachActive([&](size_t i, Imi::Client& imi) { return InitSegment(i, imi, segment); });
        Sleep(options.reinitHoldMs);
        const int t0 = Now() + options.leadMs;
        ForEachActive([&](size_t i, Imi::Client& imi) {
            const Panel& p = group.panels[i];
            return SetParams(imi, t0, p.segments[segment % p.segments.size()].startFrame, 0.1f,
                             0.0f);
        });
        clock = {t0, FirstPanelSegment().startFrame, 0.1f, 0.0f};
        Sleep(options.restartHoldMs);
        limitOrigin = clock.frame0;
        const int t = Now() + options.leadMs;
        Schedule(t, clock.FrameAt(t), static_cast<float>(fps * 0.001));
        currentFrame = clock.frame0;
    }
};

Wall::Wall(WallOptions options) : m_impl(std::make_unique<Impl>(std::move(options))) {}
Wall::~Wall() = default;

std::future<Notice> Wall::Load(MovieGroup group) {
    auto shared = std::make_shared<MovieGroup>(std::move(group));
    return m_impl->Post<Notice>([this, shared] { return m_impl->DoLoad(std::move(*shared)); });
}
std::future<Notice> Wall::Initialize(float zoom) {
    return m_impl->Post<Notice>([this, zoom] { return m_impl->DoInitialize(zoom); });
}
std::future<Notice> Wall::Play(int fps, float zoom) {
    return m_impl->Post<Notice>([this, fps, zoom] { return m_impl->DoPlay(fps, zoom); });
}
std::future<Notice> Wall::PlayFrames(int fps, float zoom, int frames) {
    return m_impl->Post<Notice>(
        [this, fps, zoom, frames] { return m_impl->DoPlayFrames(fps, zoom, frames); });
}
std::future<Notice> Wall::Stop() {
    return m_impl->Post<Notice>([this] { return m_impl->DoStop(0); });
}
std::future<Notice> Wall::FrameBack() {
    return m_impl->Post<Notice>([this] { return m_impl->DoStop(1); });
}
std::future<Notice> Wall::FrameForward() {
    return m_impl->Post<Notice>([this] { return m_impl->DoFrameForward(); });
}
std::future<Notice> Wall::GoToFrame(int frame) {
    return m_impl->Post<Notice>([this, frame] { return m_impl->DoGoTo(frame); });
}
std::future<Notice> Wall::Exit() {
    return m_impl->Post<Notice>([this] {
        m_impl->DoExit();
        return Notice{};
    });
}
std::future<std::vector<std::string>> Wall::QueryStatus() {
    return m_impl->Post<std::vector<std::string>>([this] { return m_impl->DoQueryStatus(); });
}

WallView Wall::Snapshot() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->view;
}

int Wall::Now() const {
    return m_impl->NowMs();
}

}  // namespace voxa::movie
