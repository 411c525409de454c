// Unbuffered (O_DIRECT) file transfers at 64-bit offsets, and aligned buffers.
//
// A DirectFile owns one descriptor opened with O_DIRECT. Transfers need the
// offset, the count and the buffer address aligned to kDirectAlignment; the
// file system may still refuse (tmpfs refuses O_DIRECT at open with EINVAL).
// Every refusal or short transfer is reported (a count below the one asked
// for, or -1) so that callers take their buffered fallback, which is
// BufferedReadAt / BufferedWriteAt below. Not thread-safe: one owner thread
// per DirectFile.
#pragma once

#include "platform/unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace voxa {

inline constexpr size_t kDirectAlignment = 4096;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// A zero-initialised block aligned to `alignment` bytes (a power of two,
// at least sizeof(void*)); empty when allocation fails.
class AlignedBuffer {
public:
    AlignedBuffer() = default;
    AlignedBuffer(size_t bytes, size_t alignment = 65536);

    unsigned char* Data() const { return m_data.get(); }
    size_t Size() const { return m_size; }
    explicit operator bool() const { return m_data != nullptr; }

private:
    std::unique_ptr<unsigned char, FreeDeleter> m_data;
    size_t m_size = 0;
};

enum class FileAccess { kRead, kWrite };

// True when offset, count and address all meet kDirectAlignment.
bool IsDirectAligned(uint64_t offset, const void* buffer, size_t count);

class DirectFile {
public:
    DirectFile() = default;

    // Opens path with O_DIRECT: reads open an existing file read-only,
    // writes open or create it keeping its contents. False when refused;
    // LastError() gives errno.
    bool Open(const std::string& path, FileAccess access);
    void Close();
    bool IsOpen() const { return static_cast<bool>(m_fd); }
    const std::string& Name() const { return m_name; }
    int LastError() const { return m_lastError; }

    // Moves count bytes at offset; returns the bytes moved (less than count
    // at end of file or on a refused transfer, which sets LastError), or -1
    // when nothing moved because of an error.
    int64_t ReadAt(uint64_t offset, void* buffer, size_t count);
    int64_t WriteAt(uint64_t offset, const void* buffer, size_t count);
    // Size of the open file in bytes, -1 on error.
    int64_t Size() const;

private:
    UniqueFd m_fd;
    std::string m_name;
    int m_lastError = 0;
};

// Buffered fallback: opens path, transfers count bytes at offset, closes.
// Writes open or create the file keeping its contents. Returns bytes moved,
// 0 when the file cannot be opened.
int64_t BufferedReadAt(const std::string& path, uint64_t offset, void* buffer, size_t count);
int64_t BufferedWriteAt(const std::string& path, uint64_t offset, const void* buffer,
                        size_t count);

}  // namespace voxa
