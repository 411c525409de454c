// Brick cache and its reader threads.
//
// One memory region of NCacheMB MiB is cut into slots (at most 8192) in
// ring order; every slot is a whole number of 64 KiB and starts on a
// 64 KiB boundary, so the direct reader can fill it unbuffered. One reader
// thread serves each data directory: thread 0 the ZB file's own directory,
// thread i the i-th line of "otherdirs.txt" there (each holds a copy of
// the same data files).
//
// A frame, as the render thread drives it:
//   cache.CheckDataDirs(zbPath);          // readers per directory
//   cache.ResetRequests();                // waits for the last list to end
//   for (brick in render order) cache.PostRequest(brick, dir + name, offset, nx*ny*nz);
//   cache.SetPosted();                    // the readers plan and stream
//   for (brick in render order) {
//       unsigned char* p = cache.GetCacheBuffer(brick);  // waits for it
//       if (cache.AbortRaised()) { ...abandon: ClearAbort(), WaitUntilIdle() }
//       if (p) draw it (nullptr: its data file could not be read; logged)
//       cache.Release(brick);
//   }
// Readers plan once per list: a list whose rounded sizes fit behind the
// bricks already cached is appended; one that does not fit (or follows a
// list that wrapped the ring) empties the cache and streams through the
// ring, the readers waiting for released slots. The read order takes the
// requests in groups of 64, each sorted by file offset; positions go to
// the threads in runs of four; readers stay within 8 x N slots of each
// other. Within its runs a reader joins bricks that follow one another in
// the file and in the ring into one read (up to 4 MiB) and keeps up to
// four unbuffered reads in flight at once, publishing them strictly in
// read order and handing over what it has before it waits on anything.
//
// Threads: every public function except RaiseAbort is for the render
// thread (the one that posts lists). RaiseAbort may be called from any
// thread. The readers are started and joined by this object (RAII).
#pragma once

#include "engine/bricks/brick_reader.h"
#include "engine/bricks/brick_table.h"
#include "platform/debug_file.h"
#include "platform/direct_io.h"

#include <array>
#include <atomic>
#include <barrier>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace voxa {

class TimerRecorder;

inline constexpr int kMaxCacheSlots = 8192;
inline constexpr int kMaxReadRequests = 8192;
inline constexpr int kMaxReaders = 64;
inline constexpr int kDefaultCacheMB = 360;
inline constexpr size_t kMaxRequestPath = 255;  // 256-byte path field
inline constexpr int kReadGroup = 64;
inline constexpr int kReadRun = 4;
inline constexpr char kOtherDirsFile[] = "otherdirs.txt";
inline constexpr char kBeginGetCacheBuffer[] = "Begin GetCacheBuffer";
inline constexpr char kEndGetCacheBufferFormat[] = "End   GetCacheBuffer : %d bytes";

// Where the reader threads are.
enum class ReaderState { kStopped, kRunning, kStopRequested };
// The frame's read list: none (the readers are idle or done), posted (the
// readers take it), aborted (the readers drop it and go idle).
enum class ListState { kNone, kPosted, kAborted };

inline int64_t RoundUpToSlot(int64_t count) { return (count + kSlotAlign - 1) / kSlotAlign * kSlotAlign; }

// Thread that serves read-order position p with n readers: runs of four.
inline int ServingThread(int p, int n) { return (p / kReadRun) % n; }

// The read order: request positions in groups of 64 (posting order), each
// group in ascending file offset by repeated minimum (ties keep posting
// order). Offsets must be below 20,000,000,000 (the taken mark).
std::vector<int> BuildReadOrder(const std::vector<int64_t>& offsets);

// Directory names listed in an "otherdirs.txt" text: white-space separated,
// each at most 255 characters (longer ones are left out and reported in
// `skipped`); a name without a trailing separator gets "/".
std::vector<std::string> ParseOtherDirs(std::string_view text, int* skipped = nullptr);

class BrickCache {
public:
    explicit BrickCache(int cacheMB = kDefaultCacheMB);
    ~BrickCache();
    BrickCache(const BrickCache&) = delete;
    BrickCache& operator=(const BrickCache&) = delete;

    // --- options ---
    // NCacheMB: with a region already in place it is replaced by one of the
    // new size and the cache is emptied (after the current list ends).
    void SetCacheMB(int mb);
    int CacheMB() const { return m_cacheMB; }
    int64_t CacheBytes() const { return m_regionBytes; }
    void SetBufferedIO(int value) { m_bufferedIO.store(value, std::memory_order_relaxed); }
    // Markers around GetCacheBuffer; nullptr switches them off. Not owned.
    void SetTimers(TimerRecorder* timers) { m_timers = timers; }

    // --- reader threads ---
    // Starts one reader per known directory (one at first) when none run.
    void StartReaders();
    // Called at each frame: when the ZB file's directory differs from the
    // one used last, reads "otherdirs.txt" there and restarts the readers
    // when their number changes. Returns the number of readers.
    int CheckDataDirs(const std::string& zbPath);
    // Forgets the remembered data directory (working directory changed).
    void ForgetDataDir();
    void StopReaders();
    int ReaderCount() const { return static_cast<int>(m_threads.size()); }
    // The directories the readers read from: the ZB file's own (index 0)
    // and those of its "otherdirs.txt", as CheckDataDirs last found them.
    int DirectoryCount();
    // Where reader `index` finds a data file named by its full path in the
    // ZB file's directory: that path for reader 0, else the reader's own
    // directory and the file's name. Any thread.
    std::string ReaderPath(int index, const std::string& requestPath);

    // --- one frame's read list ---
    // Waits until the readers are done with the previous list, then empties
    // the list and clears the plan-ready flag.
    void ResetRequests();
    // Appends one request; false when the list is full, the brick index is
    // outside 0..8191, the path is longer than 255 characters or the count
    // is not positive.
    bool PostRequest(int brick, std::string_view path, int64_t offset, int64_t count);
    // posted = 1: the readers take the list.
    void SetPosted();
    // The brick's bytes, waiting until they are in the cache. On abort the
    // start of the cache region; nullptr when the brick's data could not
    // be read (reported in "DEBUG_VOXA.txt") or was never requested.
    unsigned char* GetCacheBuffer(int brick);
    // The renderer is done with the brick: its slot becomes free.
    void Release(int brick);
    // All slots free, both maps empty (waits for the current list to end).
    void Flush();

    // --- abort (stop rendering) ---
    void RaiseAbort();  // any thread: abort flag, and a posted list becomes aborted
    bool AbortRaised() const { return m_abort.load(std::memory_order_acquire); }
    void ClearAbort() { m_abort.store(false, std::memory_order_release); }
    // Waits until the readers have cleared the posted flag.
    void WaitUntilIdle();

    // --- inspection ---
    bool IsResident(int brick) const;
    const unsigned char* RegionStart() const { return m_region.Data(); }
    ListState Posted() const { return m_posted.load(std::memory_order_acquire); }
    int64_t BytesRead() const { return m_bytesRead.load(std::memory_order_relaxed); }
    int FailedReads() const { return m_failedReads.load(std::memory_order_relaxed); }
    // Why the last failed read failed ("" when none has): the data file,
    // the brick and the bytes asked for and got, or a brick too large for
    // the cache. Any thread.
    std::string LastFailure() const;
    // Number of lists that emptied the cache before streaming.
    int EmptyingPlans() const { return m_emptyingPlans.load(std::memory_order_relaxed); }

private:
    enum class SlotState { kFree, kHeld };
    struct Slot {
        // Hand-over fields: written by the serving reader with release,
        // read by the renderer and the other readers with acquire.
        std::atomic<SlotState> state{SlotState::kFree};  // the renderer frees it
        std::atomic<int> brick{-1};                       // brick held, -1 none
        std::atomic<bool> pending{false};                 // planned but not yet served
        // Written by reader thread 0 while planning (published by plan ready).
        int64_t start = 0, end = 0;
        unsigned char* ptr = nullptr;  // written before brick is published
    };
    struct Request {
        int brick = -1;
        std::string path;
        int64_t offset = 0;
        int64_t count = 0;
    };
    struct PlanEntry {
        int request = -1;
        bool skip = true;
        int slot = -1;         // slot it fills
        int slotsBefore = 0;   // the readers' slot count before this position
        int64_t start = 0, end = 0;
    };
    // A reader's joined reads (plan positions first..last) that are still
    // in flight or wait for an older one; published strictly oldest first.
    struct RunInFlight {
        int first = 0, last = 0;
        int64_t total = 0;
        bool finished = false;
        int64_t got = 0;
    };
    // What one reader thread owns for its reads.
    struct ReaderIo {
        explicit ReaderIo(int i) : index(i) {}
        int index;
        DirectBrickReader reader;
        AsyncReads aio{kReadsInFlight};
        std::deque<RunInFlight> runs;
        uint64_t headTag = 0;  // tag of runs.front()
        std::vector<AsyncReads::Completion> done;
    };
    // Joined reads a reader keeps in flight at once.
    static constexpr int kReadsInFlight = 4;
    struct ListEnd {
        BrickCache* cache;
        void operator()() noexcept { cache->EndList(); }
    };

    void ReaderMain(int index, int count);
    void MeetAtStart(int index, int count);
    bool Running() const { return m_state.load(std::memory_order_acquire) == ReaderState::kRunning; }
    bool ListPosted() const { return m_posted.load(std::memory_order_acquire) == ListState::kPosted; }
    void StreamList(ReaderIo& io, int count);
    void KeepPace(ReaderIo& io, const PlanEntry& e, int count);
    int JoinedRunEnd(int first, int positions, int index, int count) const;
    bool SpanFree(int below, int64_t start, int64_t end) const;
    void Plan(int readers);
    void MakeRoomForList();
    void LayOutSlot(PlanEntry& e, int list, std::vector<char>& seen);
    void Serve(int index, const PlanEntry& e, DirectBrickReader& reader);
    void ServeRun(int index, int first, int last, DirectBrickReader& reader);
    // Plan positions first..last, read with one transfer of `got` bytes out
    // of `total`: all published when whole (true; the caller notifies),
    // else read again brick by brick to find the failing ones.
    bool HandOverRun(int index, int first, int last, int64_t got, int64_t total,
                     DirectBrickReader& reader);
    void StartRun(ReaderIo& io, int first, int last);
    void FinishRuns(ReaderIo& io, bool wait);
    void DrainRuns(ReaderIo& io);
    template <typename Pred>
    void WaitDraining(ReaderIo& io, Pred pred, int pollMs);
    bool Contiguous(const PlanEntry& a, const PlanEntry& b) const;
    void InvalidateOverwritten(int below, int64_t start, int64_t end);
    void Publish(const PlanEntry& e, int brick);
    void EndList();
    void EmptySlotTables();
    void AllocateRegion();
    bool ResidentSlot(int brick, int* slot) const;
    void Notify();
    template <typename Pred>
    void WaitFor(Pred pred, int pollMs);
    void LogReadFailure(const std::string& path, int brick, int64_t offset, int64_t count, int64_t got);

    // --- configuration (render thread; readers read while running) ---
    int m_cacheMB;
    std::atomic<int> m_bufferedIO{0};
    TimerRecorder* m_timers = nullptr;
    std::string m_lastDir;
    bool m_dirKnown = false;
    std::vector<std::string> m_dirs{""};  // [0] unused: thread 0 uses the request path
    std::mutex m_dirsMutex;

    // --- region (allocated by reader thread 0 or SetCacheMB while idle) ---
    AlignedBuffer m_region;
    int64_t m_regionBytes = 0;

    // --- shared tables ---
    std::array<Slot, kMaxCacheSlots> m_slots;
    std::array<std::atomic<int>, kMaxBricks> m_brickToSlot;
    std::array<std::atomic<int>, kMaxBricks> m_failedInList;  // list number of a failed read
    std::array<int64_t, kMaxBricks> m_postedCount{};          // nx*ny*nz for the markers

    // Request list: written by the renderer before posted = 1.
    std::vector<Request> m_requests;
    int m_requestCount = 0;
    // Plan and read order: written by reader thread 0 before plan ready.
    std::vector<int> m_readOrder;
    std::vector<PlanEntry> m_plan;
    int64_t m_fill = 0;    // fill position of the ring
    int m_slotCount = 0;   // slots in use
    bool m_wrapped = false;
    std::atomic<int> m_listNumber{0};

    // Flags: release on publish, acquire on read.
    std::atomic<ListState> m_posted{ListState::kNone};
    std::atomic<bool> m_planReady{false};
    std::atomic<ReaderState> m_state{ReaderState::kStopped};
    std::atomic<bool> m_abort{false};
    std::atomic<int> m_started{0};
    std::array<std::atomic<int>, kMaxReaders> m_progress;

    // Failure reports, once per file and list.
    std::mutex m_logMutex;
    std::set<std::string> m_loggedFiles;

    mutable std::mutex m_failureMutex;
    std::string m_lastFailure;
    void SetLastFailure(const char* text);

    std::atomic<int64_t> m_bytesRead{0};
    std::atomic<int> m_failedReads{0};
    std::atomic<int> m_emptyingPlans{0};

    std::mutex m_waitMutex;
    std::condition_variable m_waitCv;

    std::unique_ptr<std::barrier<ListEnd>> m_barrier;
    std::vector<std::jthread> m_threads;
};

}  // namespace voxa
