#include "engine/bricks/brick_cache.h"

#include "engine/timers/timers.h"
#include "engine/bricks/zb_file.h"
#include "platform/debug_file.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace voxa {

namespace {
constexpr int64_t kMaxJoinedRead = 4 << 20;
}  // namespace

std::vector<int> BuildReadOrder(const std::vector<int64_t>& offsets) {
    const int n = static_cast<int>(offsets.size());
    std::vector<int64_t> work(offsets);
    std::vector<int> order;
    order.reserve(n);
    for (int g = 0; g < n; g += kReadGroup) {
        const int end = std::min(n, g + kReadGroup);
        for (int k = g; k < end; ++k) {
            int best = -1;
            for (int j = g; j < end; ++j)
                if (work[j] < kMaxBrickOffset && (best < 0 || work[j] < work[best])) best = j;
            order.push_back(best);
            work[best] = kMaxBrickOffset;
        }
    }
    return order;
}

std::vector<std::string> ParseOtherDirs(std::string_view text, int* skipped) {
    std::vector<std::string> dirs;
    int bad = 0;
    std::istringstream in{std::string(text)};
    std::string word;
    while (in >> word) {
        if (word.size() > kMaxRequestPath) {
            ++bad;
            continue;
        }
        if (word.back() != '/' && word.back() != '\\') word += '/';
        dirs.push_back(word);
    }
    if (skipped) *skipped = bad;
    return dirs;
}

BrickCache::BrickCache(int cacheMB) : m_cacheMB(std::max(1, cacheMB)) {
    for (auto& a : m_brickToSlot) a.store(-1, std::memory_order_relaxed);
    for (auto& a : m_failedInList) a.store(-1, std::memory_order_relaxed);
    for (auto& a : m_progress) a.store(0, std::memory_order_relaxed);
    m_requests.resize(kMaxReadRequests);
}

BrickCache::~BrickCache() { StopReaders(); }

void BrickCache::Notify() {
    { std::lock_guard<std::mutex> lock(m_waitMutex); }
    m_waitCv.notify_all();
}

// Waits until pred() holds. Every change a waiter depends on is followed by
// Notify(), so the poll interval is only a backstop.
template <typename Pred>
void BrickCache::WaitFor(Pred pred, int pollMs) {
    while (!pred()) {
        std::unique_lock<std::mutex> lock(m_waitMutex);
        if (pred()) return;
        m_waitCv.wait_for(lock, std::chrono::milliseconds(pollMs));
    }
}

// ---------------------------------------------------------------- options

void BrickCache::AllocateRegion() {
    m_regionBytes = 0;
    m_region = AlignedBuffer();
    AlignedBuffer region(static_cast<size_t>(m_cacheMB) << 20, kSlotAlign);
    if (!region) {
        char buf[128];
        std::snprintf(buf, sizeof buf, "Brick cache: cannot allocate %d MB\n", m_cacheMB);
        AppendDebugText(kDebugVoxaFile, buf);
        SetLastFailure(buf);
        return;
    }
    m_region = std::move(region);
    m_regionBytes = static_cast<int64_t>(m_region.Size());
}

void BrickCache::SetCacheMB(int mb) {
    mb = std::max(1, mb);
    if (mb == m_cacheMB && m_region) return;
    m_cacheMB = mb;
    if (!m_region) return;  // used at the first allocation
    WaitUntilIdle();
    AllocateRegion();
    EmptySlotTables();
}

// ---------------------------------------------------------------- readers

void BrickCache::StartReaders() {
    if (!m_threads.empty()) return;
    int count;
    {
        std::lock_guard<std::mutex> lock(m_dirsMutex);
        count = static_cast<int>(m_dirs.size());
    }
    m_started.store(0);
    m_state.store(ReaderState::kStopped, std::memory_order_release);
    m_barrier = std::make_unique<std::barrier<ListEnd>>(count, ListEnd{this});
    for (int i = 0; i < count; ++i) m_threads.emplace_back([this, i, count] { ReaderMain(i, count); });
    WaitFor([&] { return m_state.load(std::memory_order_acquire) == ReaderState::kRunning; }, 50);
}

void BrickCache::StopReaders() {
    if (m_threads.empty()) return;
    m_state.store(ReaderState::kStopRequested, std::memory_order_release);
    Notify();
    WaitFor([&] { return m_state.load(std::memory_order_acquire) == ReaderState::kStopped; }, 50);
    m_threads.clear();  // joins
    m_barrier.reset();
}

int BrickCache::CheckDataDirs(const std::string& zbPath) {
    const std::string dir = DataDirOf(zbPath);
    if (!m_dirKnown || dir != m_lastDir) {
        m_dirKnown = true;
        m_lastDir = dir;
        std::ifstream in(dir + kOtherDirsFile);
        if (in) {  // without the file the readers stay as they are
            std::stringstream text;
            text << in.rdbuf();
            int skipped = 0;
            std::vector<std::string> listed = ParseOtherDirs(text.str(), &skipped);
            if (static_cast<int>(listed.size()) >= kMaxReaders) {
                skipped += static_cast<int>(listed.size()) - (kMaxReaders - 1);
                listed.resize(kMaxReaders - 1);
            }
            if (skipped > 0) {
                char buf[400];
                std::snprintf(buf, sizeof buf, "%.255s%s: %d directories left out (too long or too many)\n",
                              dir.c_str(), kOtherDirsFile, skipped);
                AppendDebugText(kDebugVoxaFile, buf);
            }
            std::vector<std::string> dirs{""};
            dirs.insert(dirs.end(), listed.begin(), listed.end());
            WaitUntilIdle();
            if (!m_threads.empty() && dirs.size() != m_threads.size()) StopReaders();
            std::lock_guard<std::mutex> lock(m_dirsMutex);
            m_dirs = std::move(dirs);
        }
    }
    StartReaders();
    return ReaderCount();
}

void BrickCache::ForgetDataDir() {
    m_dirKnown = false;
    m_lastDir.clear();
}

void BrickCache::EmptySlotTables() {
    for (auto& s : m_slots) {
        s.state.store(SlotState::kFree, std::memory_order_relaxed);
        s.brick.store(-1, std::memory_order_relaxed);
        s.pending.store(false, std::memory_order_relaxed);
        s.start = s.end = 0;
        s.ptr = nullptr;
    }
    for (auto& b : m_brickToSlot) b.store(-1, std::memory_order_release);
}

// Like WaitFor, for a reader thread: before it blocks it lets its reads in
// flight finish and publishes them, so no reader ever sleeps on bytes it
// has read but not yet handed over.
template <typename Pred>
void BrickCache::WaitDraining(ReaderIo& io, Pred pred, int pollMs) {
    if (pred()) return;
    DrainRuns(io);
    WaitFor(pred, pollMs);
}

void BrickCache::ReaderMain(int index, int count) {
    ReaderIo io(index);
    MeetAtStart(index, count);
    while (Running()) {
        // Idle until a list is posted. A list aborted before the readers took
        // it up is ended all the same (the barrier below sets the state back
        // to none), or the render thread would wait for it for ever.
        WaitFor([&] {
            return !Running() || m_posted.load(std::memory_order_acquire) != ListState::kNone;
        }, 50);
        if (!Running()) break;
        // Thread 0 plans the list and its read order; the others wait.
        if (index == 0) {
            if (ListPosted()) Plan(count);
        } else {
            WaitFor([&] { return m_planReady.load(std::memory_order_acquire) || !ListPosted(); }, 10);
        }
        StreamList(io, count);
        DrainRuns(io);
        m_progress[index].store(INT_MAX, std::memory_order_release);
        Notify();
        // All readers meet; the last to arrive ends the list.
        m_barrier->arrive_and_wait();
    }
    // Stop: meet once more; thread 0 marks the readers stopped.
    m_barrier->arrive_and_wait();
    if (index == 0) {
        m_state.store(ReaderState::kStopped, std::memory_order_release);
        Notify();
    }
}

// Thread 0 empties the tables and obtains the region; once every reader has
// arrived, it marks the readers running.
void BrickCache::MeetAtStart(int index, int count) {
    if (index == 0) {
        EmptySlotTables();
        if (!m_region) AllocateRegion();
        m_fill = 0;
        m_slotCount = 0;
        m_wrapped = false;
    }
    m_started.fetch_add(1, std::memory_order_acq_rel);
    Notify();
    if (index == 0) {
        WaitFor([&] { return m_started.load(std::memory_order_acquire) == count; }, 10);
        m_state.store(ReaderState::kRunning, std::memory_order_release);
        Notify();
    } else {
        WaitFor([&] { return m_state.load(std::memory_order_acquire) != ReaderState::kStopped; },
                10);
    }
}

// No held or still-unfilled slot overlaps [start, end) among the slots
// before `below`.
bool BrickCache::SpanFree(int below, int64_t start, int64_t end) const {
    for (int j = 0; j < below; ++j) {
        const Slot& s = m_slots[j];
        if (s.start < end && start < s.end &&
            (s.state.load(std::memory_order_acquire) == SlotState::kHeld ||
             s.pending.load(std::memory_order_acquire)))
            return false;
    }
    return true;
}

// One reader's walk through the plan: it keeps pace with the others, waits
// until a position's span is free, and reads the runs it serves.
void BrickCache::StreamList(ReaderIo& io, int count) {
    const int index = io.index;
    const int positions =
        m_planReady.load(std::memory_order_acquire) ? static_cast<int>(m_plan.size()) : 0;
    auto go = [&] { return ListPosted() && Running(); };
    int servedUpTo = -1;
    for (int p = 0; p < positions && go(); ++p) {
        // Hand over whatever has arrived meanwhile.
        if (!io.runs.empty()) FinishRuns(io, false);
        const PlanEntry& e = m_plan[p];
        if (count >= 2) KeepPace(io, e, count);
        if (e.skip) continue;
        // Wait until no held or still-unfilled slot overlaps the span.
        WaitDraining(io, [&] { return !go() || SpanFree(e.slot, e.start, e.end); }, 10);
        if (!go()) break;
        if (ServingThread(p, count) != index || p <= servedUpTo) continue;
        const int last = JoinedRunEnd(p, positions, index, count);
        if (last > p) {
            WaitDraining(io, [&] { return !go() || SpanFree(e.slot, e.start, m_plan[last].end); },
                         10);
            if (!go()) break;
        }
        StartRun(io, p, last);
        servedUpTo = last;
    }
}

// Readers stay within 8 x N slots of each other: this reader says where it
// is and waits for the slowest to come near enough.
void BrickCache::KeepPace(ReaderIo& io, const PlanEntry& e, int count) {
    const int lag = kReadRun * 2 * count;
    m_progress[io.index].store(e.slotsBefore, std::memory_order_release);
    Notify();
    WaitDraining(io, [&] {
        if (!ListPosted() || !Running()) return true;
        int least = INT_MAX;
        for (int t = 0; t < count; ++t)
            least = std::min(least, m_progress[t].load(std::memory_order_acquire));
        return least >= e.slotsBefore - lag;
    }, 10);
}

// The last position of the run that starts at `first`: the bricks this
// reader serves that follow one another both in the file and in the ring
// are read with one transfer of up to 4 MiB. (With one reader every run is
// its own, so runs join up to that size.)
int BrickCache::JoinedRunEnd(int first, int positions, int index, int count) const {
    const int64_t start = m_plan[first].start;
    int last = first;
    while (last + 1 < positions && ServingThread(last + 1, count) == index &&
           m_plan[last + 1].end - start <= kMaxJoinedRead &&
           Contiguous(m_plan[last], m_plan[last + 1]))
        ++last;
    return last;
}

void BrickCache::Plan(int readers) {
    m_listNumber.fetch_add(1, std::memory_order_acq_rel);
    {
        std::lock_guard<std::mutex> lock(m_logMutex);
        m_loggedFiles.clear();
    }
    MakeRoomForList();
    const int n = m_requestCount;
    std::vector<int64_t> offsets(n);
    for (int r = 0; r < n; ++r) offsets[r] = m_requests[r].offset;
    m_readOrder = BuildReadOrder(offsets);

    // Lay out every slot of the list now, so that all readers walk the
    // same plan and a brick's residency is judged once, before any read.
    m_plan.assign(n, PlanEntry{});
    std::vector<char> seen(kMaxBricks, 0);
    const int list = m_listNumber.load(std::memory_order_relaxed);
    for (int p = 0; p < n; ++p) {
        PlanEntry& e = m_plan[p];
        e.request = m_readOrder[p];
        e.slotsBefore = m_slotCount;
        LayOutSlot(e, list, seen);
    }
    for (int t = 0; t < readers; ++t) m_progress[t].store(0, std::memory_order_release);
    m_planReady.store(true, std::memory_order_release);
    Notify();
}

// A list whose rounded sizes fit behind the bricks already cached is
// appended (those bricks are held meanwhile); one that does not fit, or
// follows a list that wrapped the ring, empties the cache first.
void BrickCache::MakeRoomForList() {
    const int n = m_requestCount;
    const int64_t size = m_regionBytes;
    if (m_slots[0].brick.load(std::memory_order_acquire) < 0) {  // cache empty
        m_fill = 0;
        m_slotCount = 0;
        m_wrapped = false;
    }
    int64_t needed = m_fill;
    int newSlots = 0;
    for (int r = 0; r < n; ++r) {
        if (!IsResident(m_requests[r].brick)) {
            needed += RoundUpToSlot(m_requests[r].count);
            ++newSlots;
        }
    }
    if (needed > size || m_wrapped || m_slotCount + newSlots > kMaxCacheSlots) {
        m_fill = 0;
        m_slotCount = 0;
        m_wrapped = false;
        EmptySlotTables();
        m_emptyingPlans.fetch_add(1, std::memory_order_relaxed);
    } else {
        for (int j = 0; j < m_slotCount; ++j)
            m_slots[j].state.store(SlotState::kHeld, std::memory_order_release);
    }
}

// The slot of one plan position, at the fill position of the ring (which
// wraps to its start when the brick does not fit before the end). Resident
// and repeated bricks are skipped; a brick larger than the region fails.
void BrickCache::LayOutSlot(PlanEntry& e, int list, std::vector<char>& seen) {
    const int64_t size = m_regionBytes;
    const Request& q = m_requests[e.request];
    const int64_t len = RoundUpToSlot(q.count);
    if (IsResident(q.brick) || seen[q.brick]) return;
    seen[q.brick] = 1;
    if (len > size || m_slotCount >= kMaxCacheSlots) {
        m_failedInList[q.brick].store(list, std::memory_order_release);
        m_failedReads.fetch_add(1, std::memory_order_relaxed);
        char buf[160];
        std::snprintf(buf, sizeof buf, "Brick %d: %lld bytes do not fit the %lld byte brick cache\n",
                      q.brick, static_cast<long long>(q.count), static_cast<long long>(size));
        AppendDebugText(kDebugVoxaFile, buf);
        SetLastFailure(buf);
        return;
    }
    if (m_fill + len > size) {
        m_fill = 0;
        m_wrapped = true;
    }
    e.skip = false;
    e.slot = m_slotCount++;
    e.start = m_fill;
    e.end = m_fill + len;
    m_fill = e.end;
    Slot& s = m_slots[e.slot];
    s.start = e.start;
    s.end = e.end;
    s.state.store(SlotState::kFree, std::memory_order_relaxed);
    s.brick.store(-1, std::memory_order_relaxed);
    s.pending.store(true, std::memory_order_release);
}

bool BrickCache::Contiguous(const PlanEntry& a, const PlanEntry& b) const {
    if (a.skip || b.skip || b.slot != a.slot + 1 || b.start != a.end) return false;
    const Request& qa = m_requests[a.request];
    const Request& qb = m_requests[b.request];
    const int64_t len = a.end - a.start;
    return qa.count == len && qb.count == b.end - b.start && qb.offset == qa.offset + len && qb.path == qa.path;
}

void BrickCache::ServeRun(int index, int first, int last, DirectBrickReader& reader) {
    if (first == last) {
        Serve(index, m_plan[first], reader);
        return;
    }
    const PlanEntry& a = m_plan[first];
    const PlanEntry& z = m_plan[last];
    const Request& q = m_requests[a.request];
    InvalidateOverwritten(a.slot, a.start, z.end);
    const std::string path = ReaderPath(index, q.path);
    const int64_t total = z.end - a.start;
    const int64_t got = reader.ReadWith(m_bufferedIO.load(std::memory_order_relaxed), m_region.Data() + a.start,
                                        path, q.offset, total);
    if (HandOverRun(index, first, last, got, total, reader)) Notify();
}

bool BrickCache::HandOverRun(int index, int first, int last, int64_t got, int64_t total,
                             DirectBrickReader& reader) {
    if (got != total) {
        // Find out brick by brick which ones fail.
        for (int p = first; p <= last; ++p) Serve(index, m_plan[p], reader);
        return false;
    }
    m_bytesRead.fetch_add(got, std::memory_order_relaxed);
    for (int p = first; p <= last; ++p) {
        const PlanEntry& e = m_plan[p];
        Publish(e, m_requests[e.request].brick);
    }
    return true;
}

// Starts the read of plan positions first..last. Unbuffered reads go to
// the kernel's asynchronous I/O, so up to kReadsInFlight of them travel at
// once; anything else (plain reader, buffered fallback, a refused submit)
// is read here and now, after the reads in flight have been handed over.
void BrickCache::StartRun(ReaderIo& io, int first, int last) {
    const PlanEntry& a = m_plan[first];
    const PlanEntry& z = m_plan[last];
    const Request& q = m_requests[a.request];
    const std::string path = ReaderPath(io.index, q.path);
    const int64_t total = first == last ? q.count : z.end - a.start;
    const int bufferedIO = m_bufferedIO.load(std::memory_order_relaxed);
    unsigned char* dest = m_region.Data() + a.start;
    if (io.aio.Ok() && ChooseReader(bufferedIO, total) == ReaderKind::kDirect) {
        // Keep the descriptor open while reads on it are in flight.
        if (path != io.reader.OpenName()) DrainRuns(io);
        while (static_cast<int>(io.runs.size()) >= io.aio.Depth()) FinishRuns(io, true);
        const int fd = io.reader.UnbufferedFd(bufferedIO, dest, path, q.offset, total);
        if (fd >= 0) {
            InvalidateOverwritten(a.slot, a.start, z.end);
            if (io.aio.Submit(fd, dest, q.offset, total, io.headTag + io.runs.size())) {
                io.runs.push_back(RunInFlight{first, last, total});
                return;
            }
        }
    }
    DrainRuns(io);
    ServeRun(io.index, first, last, io.reader);
}

// Takes finished reads (waiting for one when `wait` and the oldest is not
// finished) and publishes the runs that are finished, oldest first, up to
// the first one still in flight.
void BrickCache::FinishRuns(ReaderIo& io, bool wait) {
    if (io.runs.empty()) return;
    io.done.clear();
    io.aio.Reap(wait && !io.runs.front().finished, &io.done);
    for (const AsyncReads::Completion& c : io.done) {
        RunInFlight& r = io.runs[static_cast<size_t>(c.tag - io.headTag)];
        r.finished = true;
        r.got = c.result;
    }
    bool published = false;
    while (!io.runs.empty() && io.runs.front().finished) {
        const RunInFlight r = io.runs.front();
        io.runs.pop_front();
        ++io.headTag;
        if (HandOverRun(io.index, r.first, r.last, r.got, r.total, io.reader)) published = true;
    }
    if (published) Notify();
}

void BrickCache::DrainRuns(ReaderIo& io) {
    while (!io.runs.empty()) FinishRuns(io, true);
}

void BrickCache::InvalidateOverwritten(int below, int64_t start, int64_t end) {
    // Bricks whose bytes the new span overwrites are no longer in the cache.
    for (int j = 0; j < below; ++j) {
        Slot& old = m_slots[j];
        int b = old.brick.load(std::memory_order_acquire);
        if (b >= 0 && old.start < end && start < old.end) {
            old.brick.store(-1, std::memory_order_release);
            int expected = j;
            m_brickToSlot[b].compare_exchange_strong(expected, -1, std::memory_order_acq_rel);
        }
    }
}

int BrickCache::DirectoryCount() {
    std::lock_guard<std::mutex> lock(m_dirsMutex);
    return static_cast<int>(m_dirs.size());
}

std::string BrickCache::ReaderPath(int index, const std::string& requestPath) {
    if (index == 0) return requestPath;
    size_t cut = requestPath.find_last_of("/\\");
    std::lock_guard<std::mutex> lock(m_dirsMutex);
    return m_dirs[index] + (cut == std::string::npos ? requestPath : requestPath.substr(cut + 1));
}

void BrickCache::Publish(const PlanEntry& e, int brick) {
    Slot& slot = m_slots[e.slot];
    slot.ptr = m_region.Data() + e.start;
    slot.brick.store(brick, std::memory_order_release);
    m_brickToSlot[brick].store(e.slot, std::memory_order_release);
    slot.state.store(SlotState::kHeld, std::memory_order_release);
    slot.pending.store(false, std::memory_order_release);
}

void BrickCache::Serve(int index, const PlanEntry& e, DirectBrickReader& reader) {
    const Request& q = m_requests[e.request];
    InvalidateOverwritten(e.slot, e.start, e.end);
    const std::string path = ReaderPath(index, q.path);
    const int64_t got = reader.ReadWith(m_bufferedIO.load(std::memory_order_relaxed), m_region.Data() + e.start,
                                        path, q.offset, q.count);
    if (got == q.count) {
        m_bytesRead.fetch_add(got, std::memory_order_relaxed);
        Publish(e, q.brick);
    } else {
        // Never publish stale bytes as the brick: the renderer is told the
        // read failed and skips the brick.
        m_failedInList[q.brick].store(m_listNumber.load(std::memory_order_relaxed), std::memory_order_release);
        m_failedReads.fetch_add(1, std::memory_order_relaxed);
        LogReadFailure(path, q.brick, q.offset, q.count, got);
        m_slots[e.slot].pending.store(false, std::memory_order_release);
    }
    Notify();
}

std::string BrickCache::LastFailure() const {
    std::lock_guard<std::mutex> lock(m_failureMutex);
    return m_lastFailure;
}

void BrickCache::SetLastFailure(const char* text) {
    std::string line(text);
    while (!line.empty() && line.back() == '\n') line.pop_back();
    std::lock_guard<std::mutex> lock(m_failureMutex);
    m_lastFailure = std::move(line);
}

void BrickCache::LogReadFailure(const std::string& path, int brick, int64_t offset, int64_t count,
                                int64_t got) {
    {
        char text[512];
        std::snprintf(text, sizeof text, "cannot read data file %.255s (brick %d: %lld bytes at %lld, got %lld)",
                      path.c_str(), brick, static_cast<long long>(count), static_cast<long long>(offset),
                      static_cast<long long>(got));
        SetLastFailure(text);
    }
    {
        std::lock_guard<std::mutex> lock(m_logMutex);
        if (!m_loggedFiles.insert(path).second) return;
    }
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "Brick reader: cannot read data file %.255s (brick %d: %lld bytes at %lld, got %lld)\n",
                  path.c_str(), brick, static_cast<long long>(count), static_cast<long long>(offset),
                  static_cast<long long>(got));
    AppendDebugText(kDebugVoxaFile, buf);
}

void BrickCache::EndList() {
    // Runs once, when every reader has arrived at the barrier.
    for (auto& s : m_slots) s.pending.store(false, std::memory_order_relaxed);
    if (m_posted.load(std::memory_order_acquire) != ListState::kNone) {
        m_requestCount = 0;
        m_posted.store(ListState::kNone, std::memory_order_release);
    }
    Notify();
}

// ---------------------------------------------------------------- frame

void BrickCache::WaitUntilIdle() {
    if (m_threads.empty()) {
        // No reader will take the list: drop it.
        m_posted.store(ListState::kNone, std::memory_order_release);
        return;
    }
    WaitFor([&] { return m_posted.load(std::memory_order_acquire) == ListState::kNone; }, 10);
}

void BrickCache::ResetRequests() {
    WaitUntilIdle();
    m_requestCount = 0;
    m_planReady.store(false, std::memory_order_release);
}

bool BrickCache::PostRequest(int brick, std::string_view path, int64_t offset, int64_t count) {
    if (m_requestCount >= kMaxReadRequests || brick < 0 || brick >= kMaxBricks ||
        path.size() > kMaxRequestPath || count <= 0 || offset < 0 || offset >= kMaxBrickOffset)
        return false;
    Request& r = m_requests[m_requestCount++];
    r.brick = brick;
    r.path.assign(path);
    r.offset = offset;
    r.count = count;
    m_postedCount[brick] = count;
    return true;
}

void BrickCache::SetPosted() {
    // Plan ready is cleared here too, so a list posted without a reset can
    // never be served from the previous list's plan.
    m_planReady.store(false, std::memory_order_release);
    m_posted.store(ListState::kPosted, std::memory_order_release);
    Notify();
}

bool BrickCache::ResidentSlot(int brick, int* slot) const {
    if (brick < 0 || brick >= kMaxBricks) return false;
    int s = m_brickToSlot[brick].load(std::memory_order_acquire);
    if (s < 0 || s >= kMaxCacheSlots) return false;
    if (m_slots[s].brick.load(std::memory_order_acquire) != brick) return false;
    if (slot) *slot = s;
    return true;
}

bool BrickCache::IsResident(int brick) const { return ResidentSlot(brick, nullptr); }

unsigned char* BrickCache::GetCacheBuffer(int brick) {
    if (m_timers) m_timers->StampTimer(kBeginGetCacheBuffer);
    auto posted = [&] { return m_posted.load(std::memory_order_acquire) == ListState::kPosted; };
    WaitFor([&] { return m_planReady.load(std::memory_order_acquire) || !posted() || AbortRaised(); },
            10);
    unsigned char* result = nullptr;
    int slot = -1;
    WaitFor([&] {
        if (ResidentSlot(brick, &slot)) {
            result = m_slots[slot].ptr;
            return true;
        }
        if (AbortRaised()) {
            result = m_region.Data();
            return true;
        }
        if (brick < 0 || brick >= kMaxBricks) return true;
        // Its data file could not be read in this list.
        if (m_failedInList[brick].load(std::memory_order_acquire) ==
            m_listNumber.load(std::memory_order_acquire))
            return true;
        // The list is over and the brick was not among it.
        return m_posted.load(std::memory_order_acquire) == ListState::kNone && !ResidentSlot(brick, &slot);
    }, 10);
    if (m_timers) {
        char label[64];
        int count = (brick >= 0 && brick < kMaxBricks) ? static_cast<int>(m_postedCount[brick]) : 0;
        std::snprintf(label, sizeof label, kEndGetCacheBufferFormat, count);
        m_timers->StampTimer(label);
    }
    return result;
}

void BrickCache::Release(int brick) {
    int slot = -1;
    if (!ResidentSlot(brick, &slot)) return;
    m_slots[slot].state.store(SlotState::kFree, std::memory_order_release);
    Notify();
}

void BrickCache::Flush() {
    WaitUntilIdle();
    EmptySlotTables();
}

void BrickCache::RaiseAbort() {
    m_abort.store(true, std::memory_order_release);
    ListState expected = ListState::kPosted;
    m_posted.compare_exchange_strong(expected, ListState::kAborted, std::memory_order_acq_rel);
    Notify();
}

}  // namespace voxa
