#include "spool/spool_write.h"

#include "hosting/activation.h"
#include "hosting/interfaces.capnp.h"

#include <kj/async-io.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

namespace voxa::spool {

namespace {

constexpr uint64_t kPiece = 4194304;
constexpr int kRingSize = 32;
constexpr int kStatusPolls = 100;
constexpr auto kRetryPause = std::chrono::milliseconds(100);

struct RingEntry {
    uint64_t offset = 0;
    uint64_t size = 0;
    int slot = -1;
};

template <typename Func>
bool Call(Func&& func) {
    return kj::runCatchingExceptions(std::forward<Func>(func)) == nullptr;
}

}  // namespace

const char* SpoolWriteMessage(int result) {
    switch (result) {
    case kWriteNoRuntime: return "CoInitializeEx failed\n";
    case kWriteNoObject: return "CoCreateInstanceEx failed for Ispool1\n";
    case kWriteInitWriteFailed: return "DCOM call of InitWrite to spool server failed\n";
    case kWriteServerBusy: return "spool server is already in use: try again later\n";
    case kWriteWriteReqFailed: return "DCOM call of WriteReq to spool server failed\n";
    case kWriteStatusFailed: return "DCOM call of GetWriteStatus to spool server failed\n";
    case kWriteTimedOut: return "Buffer write not compled after 10 sec\n";
    default: return "";
    }
}

int SpoolWrite(const std::string& host, const std::string& path, uint64_t offset,
               uint64_t count, const unsigned char* data, const WriteProgress& progress,
               WriteOutcome* outcome) {
    WriteOutcome ignored;
    WriteOutcome& result = outcome ? *outcome : ignored;
    result = WriteOutcome{};
    // The event loop stands in for the component runtime of this thread.
    std::optional<kj::AsyncIoContext> io;
    if (!Call([&]() { io.emplace(kj::setupAsyncIo()); })) return kWriteNoRuntime;
    auto& ws = io->waitScope;

    kj::Own<hosting::RemoteObject> object;
    std::string error;
    if (hosting::CreateInstanceOnHost(*io, hosting::Spool1Class(), host, &object, &error) < 0) {
        return kWriteNoObject;
    }
    auto spool = object->As<rpc::Ispool1>();

    int status = 0;
    if (!Call([&]() { status = spool.initWriteRequest().send().wait(ws).getIStatus(); })) {
        return kWriteInitWriteFailed;
    }
    if (status <= 0) return kWriteServerBusy;

    // Ends the run and releases the object (by returning) after a failure.
    auto finish = [&](int result) {
        (void)Call([&]() { spool.finishRequest().send().wait(ws); });
        return result;
    };

    RingEntry ring[kRingSize];
    std::optional<int> previous;
    uint64_t queued = 0;
    uint64_t confirmed = 0;
    for (int n = 0;; n = (n + 1) % kRingSize) {
        if (queued < count) {
            const uint64_t size = std::min(count - queued, kPiece);
            const uint64_t at = offset + queued;
            int slot = -1;
            while (true) {
                bool ok = Call([&]() {
                    auto request = spool.writeReqRequest();
                    request.setWcPathFile(path);
                    request.setLOffHi(static_cast<uint32_t>(at >> 32));
                    request.setLOffLo(static_cast<uint32_t>(at));
                    request.setLNbytes(static_cast<int32_t>(size));
                    request.setUcBuf(kj::arrayPtr(data + queued, size));
                    slot = request.send().wait(ws).getIBuf();
                });
                if (!ok) return finish(kWriteWriteReqFailed);
                if (slot >= 0) break;
                std::this_thread::sleep_for(kRetryPause);
            }
            ring[n] = {at, size, slot};
            queued += kPiece;
        }
        if (previous) {
            const RingEntry& entry = ring[*previous];
            int wrote = -1;
            for (int poll = 0; poll < kStatusPolls; ++poll) {
                bool ok = Call([&]() {
                    auto request = spool.getWriteStatusRequest();
                    request.setIBuf(entry.slot);
                    wrote = request.send().wait(ws).getIWrote();
                });
                if (!ok) return finish(kWriteStatusFailed);
                if (wrote >= 0) break;
                std::this_thread::sleep_for(kRetryPause);
            }
            if (wrote < 0) return finish(kWriteTimedOut);
            confirmed += entry.size;
            result.written += static_cast<uint64_t>(wrote);
            if (static_cast<uint64_t>(wrote) != entry.size) {
                // The slot keeps its status text until it takes a new
                // request; none is sent before this call.
                ++result.shortPieces;
                if (result.firstShort.size() < kShortPiecesKept) {
                    ShortPiece piece{entry.offset, entry.size, wrote, {}};
                    (void)Call([&]() {
                        auto request = spool.getStatusRequest();
                        request.setIBuf(entry.slot);
                        piece.status = request.send().wait(ws).getWcStatus().cStr();
                    });
                    result.firstShort.push_back(std::move(piece));
                }
            }
            if (progress) progress(confirmed, count);
        }
        previous = n;
        if (confirmed >= count) break;
    }
    return finish(kWriteOk);
}

}  // namespace voxa::spool
