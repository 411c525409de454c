// Files of the spool server, opened only through the data roots.
//
// The platform's DirectFile and Buffered*At open by name; the spool server
// must instead open a checked path beneath its root at the moment of the
// transfer (see DataRoots::Open), so it keeps its own small file type with
// the same transfer rules: a ServedFile opened for unbuffered I/O
// (O_DIRECT) stays open across pieces; BufferedReadAt / BufferedWriteAt
// open, transfer and close for each piece. Transfers report the bytes moved
// (short at end of file or when refused). One owner thread per ServedFile.
#pragma once

#include "platform/direct_io.h"
#include "platform/unique_fd.h"
#include "platform/data_roots.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace voxa::spool {

class ServedFile {
public:
    // Opens with O_DIRECT: reads open an existing file read-only, writes
    // open or create it keeping its contents. False when refused.
    bool Open(const DataRoots& roots, const ServedPath& path, FileAccess access);
    void Close();
    bool IsOpen() const { return static_cast<bool>(m_fd); }
    const std::string& Name() const { return m_name; }

    // Bytes moved, or -1 when nothing moved because of an error.
    int64_t ReadAt(uint64_t offset, void* buffer, size_t count);
    int64_t WriteAt(uint64_t offset, const void* buffer, size_t count);

private:
    UniqueFd m_fd;
    std::string m_name;
};

// Buffered transfers of one piece; 0 when the file cannot be opened.
int64_t BufferedReadAt(const DataRoots& roots, const ServedPath& path, uint64_t offset,
                       void* buffer, size_t count);
int64_t BufferedWriteAt(const DataRoots& roots, const ServedPath& path, uint64_t offset,
                        const void* buffer, size_t count);

}  // namespace voxa::spool
