// The directories a file-serving component may touch.
//
// A path from a client is served only when, after turning drive paths and
// backslashes into a Linux path, it is absolute, at most 255 bytes long,
// has no ".." component, and its canonical form (symbolic links of the
// existing part resolved) lies inside one of the roots.
//
// The check and the open are apart in time (the spool worker opens a file
// later, on its own thread), so Open does not trust the checked name: it
// opens the canonical path relative to the root's directory descriptor with
// openat2(RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS), which refuses any symbolic
// link put anywhere into the path after the check and anything outside the
// root. Where the kernel lacks openat2 (before 5.6, or filtered), Open falls
// back to open(O_NOFOLLOW) on the full path: a link put at the last
// component is still refused, a directory swapped for a link is not.
//
// Immutable after set-up; Check and Open are thread-safe.
#pragma once

#include "platform/status.h"
#include "platform/unique_fd.h"

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace voxa {

inline constexpr size_t kMaxFileName = 255;  // narrow file name, without terminator

// A path that passed the check: which root it lies in and where.
struct ServedPath {
    std::string full;      // canonical absolute path (also the file's name in caches)
    size_t root = 0;       // index into the roots
    std::string relative;  // full, relative to the root (never empty)
};

class DataRoots {
public:
    DataRoots();

    // Adds a root; it must exist as a directory.
    Status Add(const std::string& dir);
    // Adds every directory listed in a text file (one a line; blank lines
    // and lines starting with '#' skipped). Fails when the file cannot be
    // read. A listed directory that is refused is skipped; one message per
    // skipped line ("FILE line N: ...") goes to *skipped.
    Status AddFromFile(const std::string& file, std::vector<std::string>* skipped);
    const std::vector<std::string>& Roots() const { return m_roots; }

    // Where `path` is served from, when it may be served; else a refusal
    // saying why, fit for a status text.
    Result<ServedPath> Check(std::string_view path) const;

    // Opens a checked path (flags as for open(2); mode with O_CREAT) without
    // following any symbolic link put there since the check. An invalid fd
    // and errno in *err when refused.
    UniqueFd Open(const ServedPath& path, int flags, mode_t mode, int* err) const;

    // True when Open confines the whole path beneath the root (openat2).
    bool OpensBeneathRoot() const { return m_beneath; }
    // Tests only: use the O_NOFOLLOW fallback even where openat2 exists.
    void DisableOpenBeneathForTest() { m_beneath = false; }

private:
    std::vector<std::string> m_roots;  // canonical, no trailing "/"
    std::vector<UniqueFd> m_rootFds;   // O_PATH descriptors of the roots, same order
    bool m_beneath = false;            // openat2 works here
};

}  // namespace voxa
