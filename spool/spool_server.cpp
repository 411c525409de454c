#include "spool/spool_server.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cassert>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace voxa::spool {

namespace {

constexpr const char* kNoFile = "none";
constexpr auto kPollInterval = std::chrono::milliseconds(10);
constexpr auto kFinishWait = std::chrono::milliseconds(100);
constexpr auto kAllocRetryWait = std::chrono::milliseconds(1000);
constexpr size_t kPageAlign = 4096;

constexpr const char* kTextRequestedWrite =
    "Requested Write of %ld bytes to Address Lo = %ld Hi = %ld";
constexpr const char* kTextWroteHigh =
    "Wrote %ld bytes to Address Lo = %ld Hi = %ld   Requested %ld bytes  IO Type: "
    "HighPerformance";
constexpr const char* kTextWroteLow =
    "Wrote %ld bytes to Address Lo = %ld Hi = %ld   Requested %ld bytes  IO Type: "
    "LowPerformance";
constexpr const char* kTextFillFailed =
    "Wrote %ld bytes to Address Lo = %ld Hi = %ld   Requested %ld bytes";
constexpr const char* kTextFillKb = "Wrote %ld kB";
constexpr const char* kTextReadHigh =
    " Read Status:  Hi Performance IO:\n===Requested: %ld   Got: %ld\n===iBuf=%d  lOffLo=%ld, "
    "lOffHi=%ld, lNBReq=%ld\n";
constexpr const char* kTextReadLow =
    " Read Status:  Low Performance IO:\n===Requested: %ld   Got: %ld\n===iBuf=%d  lOffLo=%ld, "
    "lOffHi=%ld, lNBReq=%ld\n";
constexpr const char* kTextNoAlloc = "Could NOT allocate space for DCOM";
constexpr const char* kTextNoReadRequest = "No Read Request was assigned to this buffer";
constexpr const char* kTextNoWriteRequest = "No Write Request was assigned to this buffer";
constexpr const char* kTextNoSuchSlot = "No such buffer: %d (buffers are 0 to 7)";
constexpr const char* kTextRefused = "Refused: %s";
constexpr const char* kTextNoRun = "Refused: no run is open (Initialize or InitWrite first)";
constexpr const char* kTextRunEnding = "Refused: the run is ending (Finish was called)";
constexpr const char* kTextReadInWriteRun =
    "Refused: a read request in a write run (a read run is opened by Initialize)";
constexpr const char* kTextWriteInReadRun =
    "Refused: a write request in a read run (a write run is opened by InitWrite)";
constexpr const char* kTextTooLarge = "Refused: %ld bytes is not a piece of 0 to 4194304 bytes";
constexpr const char* kTextSlotBusy = "Refused: buffer %d, next in turn, is not free (collect its result)";
constexpr const char* kTextFillNoSpace =
    "Refused: zero-fill to %lld bytes would grow the file by %lld bytes; the file system has "
    "%lld bytes free";

// Numbers in status texts print as signed 32-bit values.
long L32(int64_t value) { return static_cast<long>(static_cast<int32_t>(value)); }

uint64_t Offset64(uint32_t hi, uint32_t lo) { return (static_cast<uint64_t>(hi) << 32) | lo; }

bool ValidSlot(int n) { return n >= 0 && n < kSlotCount; }

}  // namespace

SpoolServer::SpoolServer(DataRoots roots)
    : m_roots(std::move(roots)),
      m_completion(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

SpoolServer::~SpoolServer() {
    RequestStop();
    if (m_worker.joinable()) m_worker.join();
}

void SpoolServer::SetText(Slot& slot, const char* format, ...) {
    std::lock_guard<std::mutex> lock(slot.textMutex);
    va_list args;
    va_start(args, format);
    std::vsnprintf(slot.text, sizeof(slot.text), format, args);
    va_end(args);
}

// ---- runs ------------------------------------------------------------------

int SpoolServer::Initialize() { return StartRun(RunKind::kRead); }
int SpoolServer::InitWrite() { return StartRun(RunKind::kWrite); }

int SpoolServer::StartRun(RunKind kind) {
    if (m_inUse) return 0;
    AlignedBuffer& buffer = kind == RunKind::kRead ? m_readBuffer : m_writeBuffer;
    if (!buffer) {
        size_t bytes = kind == RunKind::kRead ? kMaxPiece : size_t{kMaxPiece} * kSlotCount;
        buffer = AlignedBuffer(bytes, kPageAlign);
        if (!buffer) return 0;  // out of memory: no run
    }
    m_inUse = true;
    m_runKind = kind;
    for (Slot& slot : m_slots) {
        slot.state.store(kFree, std::memory_order_release);
        slot.writeResult.store(-1, std::memory_order_relaxed);
    }
    m_nextSlot = 0;
    // Finish waits for the worker to end, so none is running here; the
    // check stays as a guard that there is never a second worker.
    if (m_worker.joinable()) m_worker.join();
    m_stop.store(false, std::memory_order_release);
    m_workerRunning.store(true, std::memory_order_release);
    if (kind == RunKind::kRead) {
        m_worker = std::thread([this] { ReaderWorker(); });
    } else {
        m_worker = std::thread([this] { WriterWorker(); });
    }
    return 1;
}

void SpoolServer::Finish() {
    RequestStop();
    std::this_thread::sleep_for(kFinishWait);
    EndRun();
}

void SpoolServer::RequestStop() {
    {
        std::lock_guard<std::mutex> lock(m_wakeMutex);
        m_stop.store(true, std::memory_order_release);
    }
    m_wake.notify_all();
}

void SpoolServer::EndRun() {
    // A worker may still be inside a transfer: wait for it, so that the next
    // run never has two workers on the same slots.
    if (m_worker.joinable()) m_worker.join();
    m_workerRunning.store(false, std::memory_order_release);
    m_inUse = false;
}

// ---- requests --------------------------------------------------------------

void SpoolServer::SetRefusal(const char* format, ...) {
    std::lock_guard<std::mutex> lock(m_refusalMutex);
    va_list args;
    va_start(args, format);
    std::vsnprintf(m_refusal, sizeof(m_refusal), format, args);
    va_end(args);
}

const char* SpoolServer::RunRefusal(RunKind kind) const {
    if (!m_inUse) return kTextNoRun;
    if (m_stop.load(std::memory_order_acquire)) return kTextRunEnding;
    if (kind != m_runKind) return kind == RunKind::kRead ? kTextReadInWriteRun : kTextWriteInReadRun;
    return nullptr;
}

bool SpoolServer::AcceptCommon(int n, std::string_view path, uint32_t offsetHi,
                               uint32_t offsetLo, int32_t count) {
    Slot& slot = m_slots[n];
    Result<ServedPath> confined = m_roots.Check(path);
    slot.refused = !confined.ok();
    if (slot.refused) {
        slot.file = ServedPath{};
        SetText(slot, kTextRefused, confined.status().message().c_str());
    } else {
        slot.file = std::move(*confined);
    }
    slot.offsetHi = offsetHi;
    slot.offsetLo = offsetLo;
    slot.count = count;
    slot.got = 0;
    slot.block = ReadBlock{};
    return !slot.refused;
}

void SpoolServer::Publish(int n) {
    {
        std::lock_guard<std::mutex> lock(m_wakeMutex);
        m_slots[n].state.store(kRequested, std::memory_order_release);
    }
    m_wake.notify_all();
    m_nextSlot = (n + 1) % kSlotCount;
}

int SpoolServer::ReadReq(std::string_view path, uint32_t offsetHi, uint32_t offsetLo,
                         uint32_t count) {
    if (count > static_cast<uint32_t>(kMaxPiece)) {
        SetRefusal(kTextTooLarge, static_cast<long>(count));
        return kPieceTooLarge;
    }
    if (const char* why = RunRefusal(RunKind::kRead)) {
        SetRefusal("%s", why);
        return kPieceTooLarge;
    }
    const int n = m_nextSlot;
    if (m_slots[n].state.load(std::memory_order_acquire) != kFree) {
        SetRefusal(kTextSlotBusy, n);
        return kSlotBusy;
    }
    AcceptCommon(n, path, offsetHi, offsetLo, static_cast<int32_t>(count));
    Publish(n);
    return n;
}

int SpoolServer::WriteReq(std::string_view path, uint32_t offsetHi, uint32_t offsetLo,
                          int32_t count, const unsigned char* data, size_t dataSize) {
    if (count < 0 || count > kMaxPiece) {
        SetRefusal(kTextTooLarge, static_cast<long>(count));
        return kPieceTooLarge;
    }
    // The byte array carries its own length; it must be the count.
    if (count > 0 && dataSize != static_cast<size_t>(count)) {
        SetRefusal("Refused: %ld bytes of data for a count of %ld", static_cast<long>(dataSize),
                   static_cast<long>(count));
        return kPieceTooLarge;
    }
    if (const char* why = RunRefusal(RunKind::kWrite)) {
        SetRefusal("%s", why);
        return kPieceTooLarge;
    }
    const int n = m_nextSlot;
    Slot& slot = m_slots[n];
    if (slot.state.load(std::memory_order_acquire) != kFree) {
        SetRefusal(kTextSlotBusy, n);
        return kSlotBusy;
    }
    if (m_writeBuffer) {
        unsigned char* region = m_writeBuffer.Data() + size_t{kMaxPiece} * n;
        if (count > 0) {
            std::memcpy(region, data, static_cast<size_t>(count));
        } else {
            std::memset(region, 0, kMaxPiece);
        }
    }
    if (AcceptCommon(n, path, offsetHi, offsetLo, count)) {
        SetText(slot, kTextRequestedWrite, L32(count), L32(offsetLo), L32(offsetHi));
    }
    slot.writeResult.store(-1, std::memory_order_relaxed);
    Publish(n);
    return n;
}

// ---- collecting ------------------------------------------------------------

int SpoolServer::GetReq(int n, ReadBlock* block) {
    *block = ReadBlock{};
    if (!ValidSlot(n)) return kNoReadRequest;
    if (m_runKind != RunKind::kRead) {
        // The slots hold another client's writes: leave them alone.
        SetRefusal("%s (the open run writes)", kTextNoReadRequest);
        return kNoReadRequest;
    }
    Slot& slot = m_slots[n];
    int state = slot.state.load(std::memory_order_acquire);
    if (state == kDone) {
        *block = std::move(slot.block);
        block->size = block->data ? slot.got : 0;
        slot.state.store(kFree, std::memory_order_release);
        return 1;
    }
    if (state == kRequested) return 0;
    SetText(slot, "%s", kTextNoReadRequest);
    return kNoReadRequest;
}

int SpoolServer::GetWriteStatus(int n) {
    if (!ValidSlot(n)) return kNoWriteRequest;
    if (m_runKind != RunKind::kWrite) {
        SetRefusal("%s (the open run reads)", kTextNoWriteRequest);
        return kNoWriteRequest;
    }
    Slot& slot = m_slots[n];
    int state = slot.state.load(std::memory_order_acquire);
    if (state == kDone) {
        int32_t result = slot.writeResult.load(std::memory_order_acquire);
        slot.state.store(kFree, std::memory_order_release);
        return result;
    }
    if (state == kRequested) return slot.writeResult.load(std::memory_order_acquire);
    SetText(slot, "%s", kTextNoWriteRequest);
    return kNoWriteRequest;
}

bool SpoolServer::IsTransferPending(int n) const {
    if (!ValidSlot(n)) return false;
    const Slot& slot = m_slots[n];
    return slot.state.load(std::memory_order_acquire) == kRequested && slot.count > 0;
}

std::string SpoolServer::GetStatus(int n) {
    if (n < 0) {
        std::lock_guard<std::mutex> lock(m_refusalMutex);
        if (m_refusal[0] != '\0') return m_refusal;
    }
    if (!ValidSlot(n)) {
        char text[kStatusTextMax + 1];
        std::snprintf(text, sizeof(text), kTextNoSuchSlot, n);
        return text;
    }
    std::lock_guard<std::mutex> lock(m_slots[n].textMutex);
    return m_slots[n].text;
}

void SpoolServer::GetSize(std::string_view path, uint32_t* lo, uint32_t* hi) {
    *lo = 0;
    *hi = 0;
    Result<ServedPath> file = m_roots.Check(path);
    if (!file.ok()) return;
    int err = 0;
    UniqueFd fd = m_roots.Open(*file, O_RDONLY, 0, &err);
    struct stat st{};
    if (!fd || ::fstat(fd.Get(), &st) != 0) return;
    uint64_t size = static_cast<uint64_t>(st.st_size);
    *lo = static_cast<uint32_t>(size);
    *hi = static_cast<uint32_t>(size >> 32);
}

// ---- worker ----------------------------------------------------------------

bool SpoolServer::WaitForRequest(int n) {
    std::unique_lock<std::mutex> lock(m_wakeMutex);
    while (true) {
        if (m_stop.load(std::memory_order_acquire)) return false;
        if (m_slots[n].state.load(std::memory_order_acquire) == kRequested) return true;
        m_wake.wait_for(lock, kPollInterval);
    }
}

void SpoolServer::SignalDone(int n) {
    m_slots[n].state.store(kDone, std::memory_order_release);
    SignalCompletion();
}

void SpoolServer::SignalCompletion() {
    uint64_t one = 1;
    ssize_t written = ::write(m_completion.Get(), &one, sizeof(one));
    (void)written;  // a full counter still wakes the reader
}

void SpoolServer::ReaderWorker() {
    for (int n = 0; WaitForRequest(n); n = (n + 1) % kSlotCount) {
        ReadPiece(m_slots[n], n);
        SignalDone(n);
    }
    m_readFile.Close();
    m_workerRunning.store(false, std::memory_order_release);
    SignalCompletion();
}

void SpoolServer::WriterWorker() {
    for (int n = 0; WaitForRequest(n); n = (n + 1) % kSlotCount) {
        Slot& slot = m_slots[n];
        if (slot.refused) {
            slot.writeResult.store(slot.count == 0 ? kZeroFillFailed : 0,
                                   std::memory_order_release);
        } else if (slot.count > 0) {
            WritePiece(slot, n);
        } else {
            ZeroFill(slot, n);
        }
        SignalDone(n);
    }
    m_writeFile.Close();
    m_workerRunning.store(false, std::memory_order_release);
    SignalCompletion();
}

int64_t SpoolServer::HighPerformanceRead(const ServedPath& file, uint64_t offset, void* buffer,
                                         size_t count) {
    if (m_readFile.IsOpen() && m_readFile.Name() != file.full) m_readFile.Close();
    if (file.full == kNoFile) return 0;
    if (!m_readFile.IsOpen() && !m_readFile.Open(m_roots, file, FileAccess::kRead)) return 0;
    int64_t got = m_readFile.ReadAt(offset, buffer, count);
    return got < 0 ? 0 : got;
}

int64_t SpoolServer::HighPerformanceWrite(const ServedPath& file, uint64_t offset,
                                          const void* buffer, size_t count) {
    if (m_writeFile.IsOpen() && m_writeFile.Name() != file.full) m_writeFile.Close();
    if (file.full == kNoFile) return 0;
    if (!m_writeFile.IsOpen() && !m_writeFile.Open(m_roots, file, FileAccess::kWrite)) return 0;
    int64_t wrote = m_writeFile.WriteAt(offset, buffer, count);
    return wrote < 0 ? 0 : wrote;
}

void SpoolServer::ReadPiece(Slot& slot, int n) {
    const uint64_t offset = Offset64(slot.offsetHi, slot.offsetLo);
    const size_t count = static_cast<size_t>(slot.count);
    int64_t got = 0;
    if (!slot.refused) {
        if (slot.offsetLo % kHighPerformanceAlign == 0 && count % kHighPerformanceAlign == 0) {
            got = HighPerformanceRead(slot.file, offset, m_readBuffer.Data(), count);
            SetText(slot, kTextReadHigh, L32(count), L32(got), n, L32(slot.offsetLo),
                    L32(slot.offsetHi), L32(count));
        }
        if (got != static_cast<int64_t>(count)) {
            m_readFile.Close();
            got = BufferedReadAt(m_roots, slot.file, offset, m_readBuffer.Data(), count);
            SetText(slot, kTextReadLow, L32(count), L32(got), n, L32(slot.offsetLo),
                    L32(slot.offsetHi), L32(count));
        }
    }
    slot.got = static_cast<int32_t>(got);
    ReadBlock block;
    if (count > 0) {
        block.data.reset(static_cast<unsigned char*>(std::malloc(count)));
        if (!block.data) {
            std::this_thread::sleep_for(kAllocRetryWait);
            block.data.reset(static_cast<unsigned char*>(std::malloc(count)));
        }
        if (!block.data) {
            SetText(slot, "%s", kTextNoAlloc);
            slot.got = 0;
        } else {
            std::memcpy(block.data.get(), m_readBuffer.Data(), static_cast<size_t>(slot.got));
        }
    }
    block.size = slot.got;
    slot.block = std::move(block);
}

void SpoolServer::WritePiece(Slot& slot, int n) {
    const unsigned char* region = m_writeBuffer.Data() + size_t{kMaxPiece} * n;
    const uint64_t offset = Offset64(slot.offsetHi, slot.offsetLo);
    const size_t count = static_cast<size_t>(slot.count);
    const bool aligned =
        slot.offsetLo % kHighPerformanceAlign == 0 && count % kHighPerformanceAlign == 0;
    int64_t written = -1;
    if (aligned) {
        written = HighPerformanceWrite(slot.file, offset, region, count);
        SetText(slot, kTextWroteHigh, L32(written), L32(slot.offsetLo), L32(slot.offsetHi),
                L32(count));
    }
    if (written != static_cast<int64_t>(count)) {
        m_writeFile.Close();
        written = BufferedWriteAt(m_roots, slot.file, offset, region, count);
        SetText(slot, kTextWroteLow, L32(written), L32(slot.offsetLo), L32(slot.offsetHi),
                L32(count));
    }
    slot.writeResult.store(static_cast<int32_t>(written), std::memory_order_release);
}

void SpoolServer::ZeroFill(Slot& slot, int n) {
    const unsigned char* zeros = m_writeBuffer.Data() + size_t{kMaxPiece} * n;
    const int64_t length = static_cast<int64_t>(Offset64(slot.offsetHi, slot.offsetLo));
    int32_t kb = 0;
    if (length <= 0) {
        // Nothing to write: report 0 kB, so that the request completes.
        SetText(slot, kTextFillKb, 0L);
        slot.writeResult.store(0, std::memory_order_release);
        return;
    }
    if (!ZeroFillFits(slot, length)) {
        slot.writeResult.store(kZeroFillFailed, std::memory_order_release);
        return;
    }
    for (int64_t pos = 0; pos < length;) {
        // A Finish ends a long fill between pieces instead of blocking it.
        if (m_stop.load(std::memory_order_acquire)) return;
        const size_t piece = static_cast<size_t>(std::min<int64_t>(length - pos, kMaxPiece));
        const uint32_t posLo = static_cast<uint32_t>(pos);
        const uint32_t posHi = static_cast<uint32_t>(static_cast<uint64_t>(pos) >> 32);
        int64_t written = -1;
        if (posLo % kHighPerformanceAlign == 0 && piece % kHighPerformanceAlign == 0) {
            written = HighPerformanceWrite(slot.file, static_cast<uint64_t>(pos), zeros, piece);
        }
        if (written != static_cast<int64_t>(piece)) {
            m_writeFile.Close();
            written = BufferedWriteAt(m_roots, slot.file, static_cast<uint64_t>(pos), zeros, piece);
        }
        if (written != static_cast<int64_t>(piece) || written == 0) {
            slot.writeResult.store(kZeroFillFailed, std::memory_order_release);
            SetText(slot, kTextFillFailed, L32(written), L32(posLo), L32(posHi), L32(piece));
            return;
        }
        kb += static_cast<int32_t>(written / 1024);
        slot.writeResult.store(kb, std::memory_order_release);
        SetText(slot, kTextFillKb, static_cast<long>(kb));
        pos += static_cast<int64_t>(piece);
    }
}

bool SpoolServer::ZeroFillFits(Slot& slot, int64_t length) {
    // The file's size now (0 when it does not exist yet) and the free space
    // of its file system (of the directory that will hold it, else the root).
    int64_t size = 0;
    struct statvfs fs{};
    bool haveFs = false;
    int err = 0;
    UniqueFd fd = m_roots.Open(slot.file, O_RDONLY, 0, &err);
    struct stat st{};
    if (fd && ::fstat(fd.Get(), &st) == 0) {
        size = st.st_size;
        haveFs = ::fstatvfs(fd.Get(), &fs) == 0;
    }
    if (!haveFs) {
        std::string dir = slot.file.full.substr(0, slot.file.full.find_last_of('/') + 1);
        haveFs = ::statvfs(dir.c_str(), &fs) == 0;
        if (!haveFs && slot.file.root < m_roots.Roots().size())
            haveFs = ::statvfs(m_roots.Roots()[slot.file.root].c_str(), &fs) == 0;
    }
    if (!haveFs) return true;  // nothing known: the writes themselves will tell
    const int64_t growth = length > size ? length - size : 0;
    const unsigned long long freeBytes =
        static_cast<unsigned long long>(fs.f_bavail) * static_cast<unsigned long long>(fs.f_frsize);
    if (static_cast<unsigned long long>(growth) <= freeBytes) return true;
    SetText(slot, kTextFillNoSpace, static_cast<long long>(length), static_cast<long long>(growth),
            static_cast<long long>(freeBytes));
    return false;
}

}  // namespace voxa::spool
