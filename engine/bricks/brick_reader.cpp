#include "engine/bricks/brick_reader.h"

#include "platform/direct_io.h"

#include <fcntl.h>
#include <linux/aio_abi.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace voxa {
namespace {

int64_t PreadAll(int fd, void* dest, int64_t offset, int64_t count) {
    auto* out = static_cast<unsigned char*>(dest);
    int64_t done = 0;
    while (done < count) {
        ssize_t n = ::pread(fd, out + done, static_cast<size_t>(count - done),
                            static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) break;
        done += n;
    }
    return done;
}

}  // namespace

int64_t PlainReadBrick(void* dest, const std::string& path, int64_t offset, int64_t count) {
    if (count <= 0 || offset < 0) return 0;
    return BufferedReadAt(path, static_cast<uint64_t>(offset), dest, static_cast<size_t>(count));
}

ReaderKind ChooseReader(int bufferedIO, int64_t count) {
    if (bufferedIO == 1 && count > 0 && count % kSlotAlign == 0) return ReaderKind::kDirect;
    return ReaderKind::kPlain;
}

bool DirectBrickReader::Open(const std::string& path) {
    if (path == m_name) return true;
    m_fd.Reset();
    m_name = kNoFileOpen;
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    m_unbuffered = fd >= 0;
    if (fd < 0 && errno == EINVAL) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    m_fd.Reset(fd);
    m_name = path;
    return true;
}

int64_t DirectBrickReader::Read(void* dest, const std::string& path, int64_t offset, int64_t count) {
    if (count <= 0 || count % kSlotAlign != 0) return PlainReadBrick(dest, path, offset, count);
    if (path != m_name) {
        if (path == kReaderNone) return 0;
        if (path == kReaderClose) {
            m_fd.Reset();
            m_name = kNoFileOpen;
            return 0;
        }
        if (!Open(path)) return 0;
    }
    if (offset < 0) return 0;
    if (m_unbuffered && !IsDirectAligned(static_cast<uint64_t>(offset), dest, static_cast<size_t>(count))) {
        // A caller outside the cache handed an unaligned buffer or offset:
        // serve it through the buffered path rather than fail.
        return PlainReadBrick(dest, path, offset, count);
    }
    return PreadAll(m_fd.Get(), dest, offset, count);
}

int DirectBrickReader::UnbufferedFd(int bufferedIO, const void* dest, const std::string& path, int64_t offset,
                                    int64_t count) {
    if (ChooseReader(bufferedIO, count) != ReaderKind::kDirect || offset < 0) return -1;
    if (path == kReaderNone || path == kReaderClose) return -1;
    if (!Open(path)) return -1;
    if (!m_unbuffered || !IsDirectAligned(static_cast<uint64_t>(offset), dest, static_cast<size_t>(count)))
        return -1;
    return m_fd.Get();
}

int64_t DirectBrickReader::ReadWith(int bufferedIO, void* dest, const std::string& path,
                                    int64_t offset, int64_t count) {
    if (ChooseReader(bufferedIO, count) == ReaderKind::kDirect) return Read(dest, path, offset, count);
    return PlainReadBrick(dest, path, offset, count);
}

AsyncReads::AsyncReads(int depth) : m_depth(std::clamp(depth, 1, kMaxDepth)) {
    aio_context_t ctx = 0;
    if (::syscall(SYS_io_setup, m_depth, &ctx) == 0) m_ctx = ctx;
}

AsyncReads::~AsyncReads() {
    std::vector<Completion> done;
    while (m_ctx != 0 && m_inFlight > 0) Reap(true, &done);
    if (m_ctx != 0) ::syscall(SYS_io_destroy, static_cast<aio_context_t>(m_ctx));
}

bool AsyncReads::Submit(int fd, void* dest, int64_t offset, int64_t count, uint64_t tag) {
    if (m_ctx == 0 || m_inFlight >= m_depth || fd < 0 || count <= 0 || offset < 0) return false;
    iocb cb;
    std::memset(&cb, 0, sizeof cb);
    cb.aio_data = tag;
    cb.aio_lio_opcode = IOCB_CMD_PREAD;
    cb.aio_fildes = static_cast<uint32_t>(fd);
    cb.aio_buf = reinterpret_cast<uint64_t>(dest);
    cb.aio_nbytes = static_cast<uint64_t>(count);
    cb.aio_offset = offset;
    iocb* list[1] = {&cb};
    long n;
    do {
        n = ::syscall(SYS_io_submit, static_cast<aio_context_t>(m_ctx), 1L, list);
    } while (n < 0 && errno == EINTR);
    if (n != 1) return false;
    ++m_inFlight;
    return true;
}

void AsyncReads::Reap(bool wait, std::vector<Completion>* done) {
    if (m_ctx == 0 || m_inFlight == 0) return;
    io_event events[kMaxDepth];
    timespec zero{0, 0};
    long n;
    do {
        n = ::syscall(SYS_io_getevents, static_cast<aio_context_t>(m_ctx), wait ? 1L : 0L,
                      static_cast<long>(m_inFlight), events, wait ? nullptr : &zero);
    } while (n < 0 && errno == EINTR);
    for (long i = 0; i < n; ++i) done->push_back(Completion{events[i].data, static_cast<int64_t>(events[i].res)});
    if (n > 0) m_inFlight -= static_cast<int>(n);
}

}  // namespace voxa
