// Reading a brick's bytes from its data file.
//
// PlainReadBrick opens, reads at the 64-bit offset and closes at every
// call. A DirectBrickReader keeps one data file open between calls and
// reads it unbuffered (O_DIRECT), for byte counts that are whole multiples
// of 64 KiB into 64 KiB aligned destinations; other counts go to the plain
// reader. Where the file system refuses O_DIRECT the file is read through
// the buffered path instead.
//
// A DirectBrickReader belongs to one thread (each reader thread and the
// renderer have their own).
#pragma once

#include "platform/unique_fd.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace voxa {

inline constexpr int64_t kSlotAlign = 65536;
inline constexpr char kNoFileOpen[] = "nofileopen";
inline constexpr char kReaderNone[] = "none";
inline constexpr char kReaderClose[] = "close";

// Plain reader: returns the bytes read (0 when the file cannot be opened,
// fewer than count at its end or on an error).
int64_t PlainReadBrick(void* dest, const std::string& path, int64_t offset, int64_t count);

enum class ReaderKind { kPlain, kDirect };
// Which reader serves a brick: the direct one only with BufferedIO 1 and a
// count that is a positive multiple of 64 KiB.
ReaderKind ChooseReader(int bufferedIO, int64_t count);

class DirectBrickReader {
public:
    // Direct reader: with a count that is not a multiple of 64 KiB (or is
    // not positive) this is the plain reader. Otherwise: the name "none"
    // returns 0 unless it is the open file; a different file is closed
    // first; "close" returns 0 after closing; a file that cannot be opened
    // returns 0 and leaves the reader with no file ("nofileopen").
    int64_t Read(void* dest, const std::string& path, int64_t offset, int64_t count);

    // Reads with the reader chosen by BufferedIO.
    int64_t ReadWith(int bufferedIO, void* dest, const std::string& path, int64_t offset,
                     int64_t count);

    // For a read that the caller starts itself (AsyncReads): opens the file
    // as Read does and returns its descriptor when the read can go to it
    // unbuffered (direct reader, O_DIRECT taken, aligned offset, buffer and
    // count); -1 otherwise, and the caller reads through Read/ReadWith.
    int UnbufferedFd(int bufferedIO, const void* dest, const std::string& path, int64_t offset, int64_t count);

    const std::string& OpenName() const { return m_name; }
    // True when the open file was taken with O_DIRECT (false: buffered
    // fallback, e.g. a file system that refuses unbuffered access).
    bool IsUnbuffered() const { return m_unbuffered; }

private:
    // Makes `path` the open file unless it already is: O_DIRECT first,
    // buffered where the file system refuses it. False when it cannot be
    // opened (no file open then).
    bool Open(const std::string& path);

    UniqueFd m_fd;
    std::string m_name = kNoFileOpen;
    bool m_unbuffered = false;
};

// Unbuffered reads kept in flight with the kernel's asynchronous I/O
// (io_submit on an O_DIRECT descriptor), so that a reader thread can start
// the next read while the previous one is still on its way. Each read
// carries a tag that comes back with its completion; completions may
// arrive in any order. Belongs to one thread. The destructor waits for
// every read still in flight (their buffers stay untouched afterwards).
class AsyncReads {
public:
    static constexpr int kMaxDepth = 16;
    struct Completion {
        uint64_t tag = 0;
        int64_t result = 0;  // bytes read, or -errno
    };

    explicit AsyncReads(int depth);
    ~AsyncReads();
    AsyncReads(const AsyncReads&) = delete;
    AsyncReads& operator=(const AsyncReads&) = delete;

    // False when the kernel gave no context: callers read synchronously.
    bool Ok() const { return m_ctx != 0; }
    int Depth() const { return m_depth; }
    int InFlight() const { return m_inFlight; }
    // Starts a read of count bytes at offset into dest. False when it could
    // not be started (no context, queue full, refused by the kernel).
    bool Submit(int fd, void* dest, int64_t offset, int64_t count, uint64_t tag);
    // Appends finished reads to done: waits for at least one when `wait`
    // (and a read is in flight), else takes only those already finished.
    void Reap(bool wait, std::vector<Completion>* done);

private:
    unsigned long m_ctx = 0;  // aio_context_t
    int m_depth = 0;
    int m_inFlight = 0;
};

}  // namespace voxa
