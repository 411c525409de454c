#include "spool/served_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace voxa::spool {

namespace {

constexpr mode_t kNewFileMode = 0644;

int Flags(FileAccess access) {
    return access == FileAccess::kRead ? O_RDONLY : (O_WRONLY | O_CREAT);
}

// Loops over partial transfers; returns bytes moved, or -1 when the first
// attempt failed.
template <typename Op>
int64_t TransferAll(Op op, uint64_t offset, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = op(done, offset + done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return done > 0 ? static_cast<int64_t>(done) : -1;
        }
        if (n == 0) break;  // end of file
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

int64_t Read(int fd, uint64_t offset, void* buffer, size_t count) {
    auto* out = static_cast<unsigned char*>(buffer);
    return TransferAll(
        [&](size_t done, uint64_t at) {
            return ::pread(fd, out + done, count - done, static_cast<off_t>(at));
        },
        offset, count);
}

int64_t Write(int fd, uint64_t offset, const void* buffer, size_t count) {
    const auto* in = static_cast<const unsigned char*>(buffer);
    return TransferAll(
        [&](size_t done, uint64_t at) {
            return ::pwrite(fd, in + done, count - done, static_cast<off_t>(at));
        },
        offset, count);
}

}  // namespace

bool ServedFile::Open(const DataRoots& roots, const ServedPath& path, FileAccess access) {
    Close();
    int err = 0;
    m_fd = roots.Open(path, Flags(access) | O_DIRECT, kNewFileMode, &err);
    if (!m_fd) return false;
    m_name = path.full;
    return true;
}

void ServedFile::Close() {
    m_fd.Reset();
    m_name.clear();
}

int64_t ServedFile::ReadAt(uint64_t offset, void* buffer, size_t count) {
    return m_fd ? Read(m_fd.Get(), offset, buffer, count) : -1;
}

int64_t ServedFile::WriteAt(uint64_t offset, const void* buffer, size_t count) {
    return m_fd ? Write(m_fd.Get(), offset, buffer, count) : -1;
}

int64_t BufferedReadAt(const DataRoots& roots, const ServedPath& path, uint64_t offset,
                       void* buffer, size_t count) {
    int err = 0;
    UniqueFd fd = roots.Open(path, Flags(FileAccess::kRead), 0, &err);
    if (!fd) return 0;
    int64_t n = Read(fd.Get(), offset, buffer, count);
    return n < 0 ? 0 : n;
}

int64_t BufferedWriteAt(const DataRoots& roots, const ServedPath& path, uint64_t offset,
                        const void* buffer, size_t count) {
    int err = 0;
    UniqueFd fd = roots.Open(path, Flags(FileAccess::kWrite), kNewFileMode, &err);
    if (!fd) return 0;
    int64_t n = Write(fd.Get(), offset, buffer, count);
    return n < 0 ? 0 : n;
}

}  // namespace voxa::spool
