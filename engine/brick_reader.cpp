#include "engine/brick_reader.h"

#include "platform/direct_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

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

int64_t DirectBrickReader::Read(void* dest, const std::string& path, int64_t offset, int64_t count) {
    if (count <= 0 || count % kSlotAlign != 0) return PlainReadBrick(dest, path, offset, count);
    if (path != m_name) {
        if (path == kReaderNone) return 0;
        m_fd.Reset();
        m_name = kNoFileOpen;
        if (path == kReaderClose) return 0;
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
        m_unbuffered = fd >= 0;
        if (fd < 0 && errno == EINVAL) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return 0;
        m_fd.Reset(fd);
        m_name = path;
    }
    if (offset < 0) return 0;
    if (m_unbuffered && !IsDirectAligned(static_cast<uint64_t>(offset), dest, static_cast<size_t>(count))) {
        // A caller outside the cache handed an unaligned buffer or offset:
        // serve it through the buffered path rather than fail.
        return PlainReadBrick(dest, path, offset, count);
    }
    return PreadAll(m_fd.Get(), dest, offset, count);
}

int64_t DirectBrickReader::ReadWith(int bufferedIO, void* dest, const std::string& path,
                                    int64_t offset, int64_t count) {
    if (ChooseReader(bufferedIO, count) == ReaderKind::kDirect) return Read(dest, path, offset, count);
    return PlainReadBrick(dest, path, offset, count);
}

}  // namespace voxa
