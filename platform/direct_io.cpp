#include "platform/direct_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace voxa {

AlignedBuffer::AlignedBuffer(size_t bytes, size_t alignment) {
    void* p = nullptr;
    if (bytes == 0) bytes = alignment;
    if (posix_memalign(&p, alignment, bytes) != 0) return;
    std::memset(p, 0, bytes);
    m_data.reset(static_cast<unsigned char*>(p));
    m_size = bytes;
}

bool IsDirectAligned(uint64_t offset, const void* buffer, size_t count) {
    return offset % kDirectAlignment == 0 && count % kDirectAlignment == 0 &&
           reinterpret_cast<uintptr_t>(buffer) % kDirectAlignment == 0;
}

namespace {

// Loops over partial transfers; returns bytes moved or -1 with err set.
template <typename Op>
int64_t TransferAll(Op op, uint64_t offset, size_t count, int& err) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = op(done, offset + done);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            return done > 0 ? static_cast<int64_t>(done) : -1;
        }
        if (n == 0) break;  // end of file
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

}  // namespace

bool DirectFile::Open(const std::string& path, FileAccess access) {
    Close();
    int flags = O_DIRECT | O_CLOEXEC;
    flags |= access == FileAccess::kRead ? O_RDONLY : (O_WRONLY | O_CREAT);
    int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) {
        m_lastError = errno;
        return false;
    }
    m_fd.Reset(fd);
    m_name = path;
    m_lastError = 0;
    return true;
}

void DirectFile::Close() {
    m_fd.Reset();
    m_name.clear();
}

int64_t DirectFile::ReadAt(uint64_t offset, void* buffer, size_t count) {
    if (!m_fd) return -1;
    auto* out = static_cast<unsigned char*>(buffer);
    return TransferAll(
        [&](size_t done, uint64_t at) {
            return ::pread(m_fd.Get(), out + done, count - done, static_cast<off_t>(at));
        },
        offset, count, m_lastError);
}

int64_t DirectFile::WriteAt(uint64_t offset, const void* buffer, size_t count) {
    if (!m_fd) return -1;
    const auto* in = static_cast<const unsigned char*>(buffer);
    return TransferAll(
        [&](size_t done, uint64_t at) {
            return ::pwrite(m_fd.Get(), in + done, count - done, static_cast<off_t>(at));
        },
        offset, count, m_lastError);
}

int64_t DirectFile::Size() const {
    struct stat st{};
    if (!m_fd || fstat(m_fd.Get(), &st) != 0) return -1;
    return st.st_size;
}

int64_t BufferedReadAt(const std::string& path, uint64_t offset, void* buffer, size_t count) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return 0;
    int err = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    int64_t n = TransferAll(
        [&](size_t done, uint64_t at) {
            return ::pread(fd.Get(), out + done, count - done, static_cast<off_t>(at));
        },
        offset, count, err);
    return n < 0 ? 0 : n;
}

int64_t BufferedWriteAt(const std::string& path, uint64_t offset, const void* buffer,
                        size_t count) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (!fd) return 0;
    int err = 0;
    const auto* in = static_cast<const unsigned char*>(buffer);
    int64_t n = TransferAll(
        [&](size_t done, uint64_t at) {
            return ::pwrite(fd.Get(), in + done, count - done, static_cast<off_t>(at));
        },
        offset, count, err);
    return n < 0 ? 0 : n;
}

}  // namespace voxa
