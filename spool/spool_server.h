// The disk spool server's process-wide state: 8 request slots shared by
// every spool1 object, one read or write run at a time, and the worker
// thread of the run.
//
// The main (RPC) thread calls every public method, one at a time. The
// worker thread of a run reads slot fields after it sees a slot in state
// requested and stores results before it sets the slot done. Slot states are
// std::atomic written with release and read with acquire, so the fields
// travel with them. The zero-fill progress (write result) is a single
// atomic 32-bit value the main thread reads while the worker updates it.
// Status texts are read by GetStatus at any time and so sit behind a small
// per-slot mutex.
//
// The worker transfers each piece unbuffered (O_DIRECT, file kept open)
// when its offset and length are multiples of 128 KiB, and buffered
// otherwise or when the unbuffered transfer falls short. Only paths inside
// the data roots are served; others get the failure values (0 bytes,
// -9 for a zero-fill, size 0) and a status text saying why. The worker
// opens files through DataRoots::Open, so a symbolic link put in place
// between the check of a request and its transfer is not followed.
#pragma once

#include "platform/direct_io.h"
#include "platform/unique_fd.h"
#include "platform/data_roots.h"
#include "spool/served_file.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace voxa::spool {

inline constexpr int kSlotCount = 8;
inline constexpr int32_t kMaxPiece = 4194304;     // 4 MiB
inline constexpr uint32_t kHighPerformanceAlign = 131072;  // 128 KiB
inline constexpr size_t kStatusTextMax = 255;

// Result codes of the interface.
inline constexpr int kSlotBusy = -1;        // ReadReq/WriteReq: slot next in turn not free
inline constexpr int kPieceTooLarge = -2;   // ReadReq/WriteReq
inline constexpr int kNoWriteRequest = -2;  // GetWriteStatus
inline constexpr int kNoReadRequest = -1;   // GetReq
inline constexpr int32_t kZeroFillFailed = -9;

// Data of a collected read: `m_lSize` valid bytes (the block may be larger).
struct ReadBlock {
    std::unique_ptr<unsigned char, FreeDeleter> data;
    int32_t size = 0;
};

class SpoolServer {
public:
    explicit SpoolServer(DataRoots roots);
    ~SpoolServer();  // ends a run's worker and waits for it
    SpoolServer(const SpoolServer&) = delete;
    SpoolServer& operator=(const SpoolServer&) = delete;

    // A request of the other kind than the open run (a ReadReq in a write
    // run, a WriteReq in a read run), or one while no run is open or the
    // run is ending, takes no slot and touches no file: it gets -2 and
    // GetStatus of that negative number says why. A refused request of any
    // kind (-1, -2) leaves its reason there.
    int ReadReq(std::string_view path, uint32_t offsetHi, uint32_t offsetLo, uint32_t count);
    int Initialize();
    // Returns iReady; on 1 *block holds the data.
    int GetReq(int slot, ReadBlock* block);
    // Ends the run: stop request, at least 100 ms for the worker to stop,
    // then waits for it to end and clears in use. Finish = RequestStop +
    // 100 ms + EndRun; the RPC layer runs the two halves without blocking.
    void Finish();
    void RequestStop();
    void EndRun();
    void GetSize(std::string_view path, uint32_t* lo, uint32_t* hi);
    // The slot's status text; for a negative number (what a refused request
    // returned) the reason of the last refusal.
    std::string GetStatus(int slot);
    int InitWrite();
    int WriteReq(std::string_view path, uint32_t offsetHi, uint32_t offsetLo, int32_t count,
                 const unsigned char* data, size_t dataSize);
    // GetReq in a write run answers -1 and GetWriteStatus in a read run -2,
    // as for a slot without a request of its kind; the slot (and the other
    // client's result in it) is left alone.
    int GetWriteStatus(int slot);

    // True while the slot holds a data transfer (not a zero-fill) that the
    // worker has not finished: a status query would answer "pending".
    bool IsTransferPending(int slot) const;
    // Descriptor that becomes readable (eventfd) each time the worker
    // finishes a slot or ends; the RPC layer waits on it instead of polling.
    int CompletionFd() const { return m_completion.Get(); }

    bool InUse() const { return m_inUse; }
    bool IsWriteRun() const { return m_inUse && m_runKind == RunKind::kWrite; }
    bool WorkerRunning() const { return m_workerRunning.load(std::memory_order_acquire); }

private:
    enum class RunKind { kRead, kWrite };
    enum SlotState : int { kFree = 0, kRequested = 1, kDone = 2 };

    struct Slot {
        std::atomic<int> state{kFree};  // main: free->requested, done->free; worker: ->done
        // Written by the main thread before state = requested.
        ServedPath file;                // checked path inside a data root
        bool refused = false;           // path refused; status text says why
        uint32_t offsetLo = 0;
        uint32_t offsetHi = 0;
        int32_t count = 0;
        // Written by the worker before state = done.
        int32_t got = 0;
        ReadBlock block;
        std::atomic<int32_t> writeResult{-1};
        // Status text; both threads.
        mutable std::mutex textMutex;
        char text[kStatusTextMax + 1] = {};
    };

    int StartRun(RunKind kind);
    // Why a request of this kind cannot be taken now (nullptr: it can).
    const char* RunRefusal(RunKind kind) const;
    void SetRefusal(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool AcceptCommon(int n, std::string_view path, uint32_t offsetHi, uint32_t offsetLo,
                      int32_t count);
    void Publish(int n);
    void SetText(Slot& slot, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Worker side.
    bool WaitForRequest(int n);
    void ReaderWorker();
    void WriterWorker();
    void ReadPiece(Slot& slot, int n);
    void WritePiece(Slot& slot, int n);
    void ZeroFill(Slot& slot, int n);
    // False (status text set) when growing the file to `length` bytes needs
    // more than the file system's free space.
    bool ZeroFillFits(Slot& slot, int64_t length);
    int64_t HighPerformanceRead(const ServedPath& file, uint64_t offset, void* buffer,
                                size_t count);
    int64_t HighPerformanceWrite(const ServedPath& file, uint64_t offset, const void* buffer,
                                 size_t count);
    void SignalDone(int n);
    void SignalCompletion();

    DataRoots m_roots;
    Slot m_slots[kSlotCount];
    int m_nextSlot = 0;                      // main thread only
    bool m_inUse = false;                    // main thread only
    RunKind m_runKind = RunKind::kRead;      // main thread only: the last run started
    std::mutex m_refusalMutex;
    char m_refusal[kStatusTextMax + 1] = {}; // last request refused without a slot
    std::atomic<bool> m_workerRunning{false};
    std::atomic<bool> m_stop{false};         // main sets, worker reads
    std::mutex m_wakeMutex;                  // with m_wake: new request or stop
    std::condition_variable m_wake;
    std::thread m_worker;
    AlignedBuffer m_readBuffer;              // 4 MiB, first Initialize
    AlignedBuffer m_writeBuffer;             // 8 x 4 MiB, first InitWrite
    ServedFile m_readFile;                   // worker only: open unbuffered file
    ServedFile m_writeFile;                  // worker only
    UniqueFd m_completion;                   // eventfd
};

}  // namespace voxa::spool
