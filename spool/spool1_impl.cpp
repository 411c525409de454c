#include "spool/spool1_impl.h"

#include "hosting/data_root_options.h"
#include "platform/paths.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>

namespace voxa::spool {

CompletionWatcher::CompletionWatcher(kj::LowLevelAsyncIoProvider& provider, int fd)
    : m_input(provider.wrapInputFd(fd, kj::LowLevelAsyncIoProvider::ALREADY_NONBLOCK |
                                           kj::LowLevelAsyncIoProvider::ALREADY_CLOEXEC)),
      m_loop(ReadLoop().eagerlyEvaluate([](kj::Exception&&) {})) {}

kj::Promise<void> CompletionWatcher::ReadLoop() {
    return m_input->tryRead(&m_value, sizeof(m_value), sizeof(m_value))
        .then([this](size_t n) -> kj::Promise<void> {
            if (n == 0) return kj::READY_NOW;
            auto waiters = kj::mv(m_waiters);
            m_waiters = kj::Vector<kj::Own<kj::PromiseFulfiller<void>>>();
            for (auto& waiter : waiters) waiter->fulfill();
            return ReadLoop();
        });
}

kj::Promise<void> CompletionWatcher::Next() {
    // Drop waiters whose callers gave up (timed out).
    kj::Vector<kj::Own<kj::PromiseFulfiller<void>>> live;
    for (auto& waiter : m_waiters) {
        if (waiter->isWaiting()) live.add(kj::mv(waiter));
    }
    m_waiters = kj::mv(live);
    auto paf = kj::newPromiseAndFulfiller<void>();
    m_waiters.add(kj::mv(paf.fulfiller));
    return kj::mv(paf.promise);
}

SpoolService::SpoolService(DataRoots roots, kj::AsyncIoContext& io)
    : m_server(std::move(roots)),
      m_watcher(*io.lowLevelProvider, m_server.CompletionFd()),
      m_timer(io.provider->getTimer()) {}

kj::Promise<void> SpoolService::WaitWhilePending(int slot, kj::TimePoint deadline) {
    if (!m_server.IsTransferPending(slot) || m_timer.now() >= deadline) return kj::READY_NOW;
    return m_watcher.Next()
        .exclusiveJoin(m_timer.atTime(deadline))
        .then([this, slot, deadline]() { return WaitWhilePending(slot, deadline); });
}

kj::Promise<void> SpoolService::WaitForWorkerEnd() {
    if (!m_server.WorkerRunning()) return kj::READY_NOW;
    return m_watcher.Next()
        .exclusiveJoin(m_timer.afterDelay(kFinishPollMs * kj::MILLISECONDS))
        .then([this]() { return WaitForWorkerEnd(); });
}

void SpoolService::Finish() {
    if (m_endingActive) return;  // already ending
    m_endingActive = true;
    m_server.RequestStop();
    // The forked promise is replaced only by the next Finish, never from
    // inside its own continuation.
    m_ending = m_timer.afterDelay(kFinishWaitMs * kj::MILLISECONDS)
                   .then([this]() { return WaitForWorkerEnd(); })
                   .then([this]() {
                       m_server.EndRun();
                       m_endingActive = false;
                   })
                   .fork();
}

bool SpoolService::FinishFor(const void* owner) {
    if (!m_server.InUse() || m_owner != owner) return false;
    m_owner = nullptr;
    Finish();
    return true;
}

void SpoolService::Released(const void* owner) {
    if (owner != nullptr && m_owner == owner) FinishFor(owner);
}

kj::Promise<void> SpoolService::WhenRunEnded() {
    if (m_endingActive) {
        KJ_IF_MAYBE(ending, m_ending) { return ending->addBranch(); }
    }
    return kj::READY_NOW;
}

Spool1Impl::Spool1Impl(std::shared_ptr<SpoolService> service, hosting::ObjectRef ref)
    : m_keep(std::move(service)),
      m_service(*m_keep),
      m_server(m_service.Server()),
      m_ref(std::move(ref)) {}

Spool1Impl::~Spool1Impl() { m_service.Released(this); }

kj::Promise<void> Spool1Impl::readReq(ReadReqContext context) {
    auto p = context.getParams();
    context.getResults().setIBuf(m_server.ReadReq(p.getWcPathFile().cStr(), p.getLOffsetHi(),
                                                  p.getLOffsetLo(), p.getLNbytes()));
    return kj::READY_NOW;
}

kj::Promise<void> Spool1Impl::initialize(InitializeContext context) {
    return m_service.WhenRunEnded().then([this, context]() mutable {
        int status = m_server.Initialize();
        if (status == 1) m_service.SetOwner(this);
        context.getResults().setIStatus(status);
    });
}

kj::Promise<void> Spool1Impl::getReq(GetReqContext context) {
    int slot = context.getParams().getIBuf();
    auto deadline = m_service.Timer().now() + kStatusWaitMs * kj::MILLISECONDS;
    return m_service.WaitWhilePending(slot, deadline).then([this, context, slot]() mutable {
        ReadBlock block;
        int ready = m_server.GetReq(slot, &block);
        auto results = context.getResults();
        results.setIReady(ready);
        if (ready == 1 && block.size > 0) {
            results.setPData(kj::arrayPtr(block.data.get(), static_cast<size_t>(block.size)));
        } else {
            results.initPData(0);
        }
    });
}

kj::Promise<void> Spool1Impl::finish(FinishContext) {
    // A Finish from a client that did not open the run leaves it open.
    m_service.FinishFor(this);
    return kj::READY_NOW;
}

kj::Promise<void> Spool1Impl::getSize(GetSizeContext context) {
    uint32_t lo = 0, hi = 0;
    m_server.GetSize(context.getParams().getWcPathFile().cStr(), &lo, &hi);
    context.getResults().setDwLo(lo);
    context.getResults().setDwHi(hi);
    return kj::READY_NOW;
}

kj::Promise<void> Spool1Impl::getStatus(GetStatusContext context) {
    context.getResults().setWcStatus(m_server.GetStatus(context.getParams().getIBuf()));
    return kj::READY_NOW;
}

kj::Promise<void> Spool1Impl::initWrite(InitWriteContext context) {
    return m_service.WhenRunEnded().then([this, context]() mutable {
        int status = m_server.InitWrite();
        if (status == 1) m_service.SetOwner(this);
        context.getResults().setIStatus(status);
    });
}

kj::Promise<void> Spool1Impl::writeReq(WriteReqContext context) {
    auto p = context.getParams();
    auto data = p.getUcBuf();
    int slot = m_server.WriteReq(p.getWcPathFile().cStr(), p.getLOffHi(), p.getLOffLo(),
                                 p.getLNbytes(), data.begin(), data.size());
    context.releaseParams();
    context.getResults().setIBuf(slot);
    return kj::READY_NOW;
}

kj::Promise<void> Spool1Impl::getWriteStatus(GetWriteStatusContext context) {
    int slot = context.getParams().getIBuf();
    auto deadline = m_service.Timer().now() + kStatusWaitMs * kj::MILLISECONDS;
    return m_service.WaitWhilePending(slot, deadline).then([this, context, slot]() mutable {
        context.getResults().setIWrote(m_server.GetWriteStatus(slot));
    });
}

std::optional<hosting::ObjectFactory> MakeSpoolFactory(const hosting::ServerCommandLine& cl,
                                                       kj::AsyncIoContext& io,
                                                       std::string* error) {
    DataRoots roots;
    std::vector<std::string> warnings;
    if (!hosting::BuildDataRoots(cl, &roots, &warnings, error)) return std::nullopt;
    for (const std::string& warning : warnings) {
        std::fprintf(stderr, "spool: warning: %s\n", warning.c_str());
    }
    auto service = std::make_shared<SpoolService>(std::move(roots), io);
    return hosting::ObjectFactory(
        [service](hosting::ObjectRef ref) -> capnp::Capability::Client {
            return kj::heap<Spool1Impl>(service, std::move(ref));
        });
}

}  // namespace voxa::spool
