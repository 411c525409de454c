// The spool1 component object: Ispool1 over the process-wide SpoolServer.
//
// An object holds nothing but its count in the server shell; every object
// of the process talks to the same SpoolServer. Runs on the main thread.
//
// A status query (GetWriteStatus, GetReq) of a slot whose data transfer is
// still under way waits up to kStatusWaitMs on the event loop for the
// worker to finish it before it answers "pending"; other calls are served
// meanwhile. The answer is the same as an immediate one taken at that
// moment, and a pipelining client then rarely needs its own retry pause.
#pragma once

#include "hosting/interfaces.capnp.h"
#include "hosting/server_shell.h"
#include "spool/spool_server.h"

#include <kj/async-io.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace voxa::spool {

inline constexpr int kStatusWaitMs = 50;
inline constexpr int kFinishWaitMs = 100;  // the worker's grace period after a stop request
inline constexpr int kFinishPollMs = 10;

// Turns the worker's completion eventfd into promises on the main thread.
class CompletionWatcher {
public:
    CompletionWatcher(kj::LowLevelAsyncIoProvider& provider, int fd);
    // Resolves at the next completion signalled after this call (or at one
    // already signalled and not yet seen).
    kj::Promise<void> Next();

private:
    kj::Promise<void> ReadLoop();

    kj::Own<kj::AsyncInputStream> m_input;
    uint64_t m_value = 0;
    kj::Vector<kj::Own<kj::PromiseFulfiller<void>>> m_waiters;
    kj::Promise<void> m_loop;
};

// The main-thread side of the spool server, shared by every object: the
// process-wide SpoolServer, the completion watcher, and the end of a run.
//
// Finish returns to its caller at once; the run then ends on the event loop
// (the stop request, at least 100 ms for the worker, then the worker has
// ended and in use is cleared). An Initialize or InitWrite that arrives
// while a run is ending waits for that end and then starts its run, so a
// client always sees 1 after Finish and never gets a second worker.
//
// A run belongs to the object (one per client connection) that opened it:
// only that object's Finish ends it, and when that object is released (the
// client released it, or its connection closed because the client died)
// the run ends as a Finish would.
class SpoolService {
public:
    SpoolService(DataRoots roots, kj::AsyncIoContext& io);

    SpoolServer& Server() { return m_server; }
    kj::Timer& Timer() { return m_timer; }
    // Waits (on the event loop) while the slot's data transfer is pending,
    // at most until deadline.
    kj::Promise<void> WaitWhilePending(int slot, kj::TimePoint deadline);
    void Finish();
    // The run just started belongs to owner.
    void SetOwner(const void* owner) { m_owner = owner; }
    // Finish on behalf of a client: ends the run only when the client owns
    // it. False when it did not (the run stays open).
    bool FinishFor(const void* owner);
    // The client is gone: its run, if it has one, ends.
    void Released(const void* owner);
    const void* Owner() const { return m_owner; }
    // Resolves when no run is ending.
    kj::Promise<void> WhenRunEnded();

private:
    kj::Promise<void> WaitForWorkerEnd();

    SpoolServer m_server;
    CompletionWatcher m_watcher;
    kj::Timer& m_timer;
    kj::Maybe<kj::ForkedPromise<void>> m_ending;
    bool m_endingActive = false;
    const void* m_owner = nullptr;  // object that opened the open run
};

class Spool1Impl final : public rpc::Ispool1::Server {
public:
    Spool1Impl(std::shared_ptr<SpoolService> service, hosting::ObjectRef ref);
    ~Spool1Impl();  // ends the run this object opened

protected:
    kj::Promise<void> readReq(ReadReqContext context) override;
    kj::Promise<void> initialize(InitializeContext context) override;
    kj::Promise<void> getReq(GetReqContext context) override;
    kj::Promise<void> finish(FinishContext context) override;
    kj::Promise<void> getSize(GetSizeContext context) override;
    kj::Promise<void> getStatus(GetStatusContext context) override;
    kj::Promise<void> initWrite(InitWriteContext context) override;
    kj::Promise<void> writeReq(WriteReqContext context) override;
    kj::Promise<void> getWriteStatus(GetWriteStatusContext context) override;

private:
    std::shared_ptr<SpoolService> m_keep;
    SpoolService& m_service;
    SpoolServer& m_server;
    hosting::ObjectRef m_ref;
};

// Everything the spool program serves with: the data roots from the
// command line, the process-wide state and the object factory.
std::optional<hosting::ObjectFactory> MakeSpoolFactory(const hosting::ServerCommandLine& cl,
                                                       kj::AsyncIoContext& io,
                                                       std::string* error);

}  // namespace voxa::spool
