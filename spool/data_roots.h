// The directories a file-serving component may touch.
//
// A path from a client is served only when, after turning drive paths and
// backslashes into a Linux path, it is absolute, at most 255 bytes long,
// has no ".." component, and its canonical form (symbolic links of the
// existing part resolved) lies inside one of the roots. Immutable after
// set-up; thread-safe for Check.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace voxa::spool {

inline constexpr size_t kMaxFileName = 255;  // narrow file name, without terminator

class DataRoots {
public:
    // Adds a root; it must exist as a directory. False (message in *error)
    // otherwise.
    bool Add(const std::string& dir, std::string* error);
    // Adds every directory listed in a text file (one a line; blank lines
    // and lines starting with '#' skipped). False when the file cannot be
    // read or a listed root is refused (message in *error; the valid ones
    // are still added).
    bool AddFromFile(const std::string& file, std::string* error);
    const std::vector<std::string>& Roots() const { return m_roots; }

    // True when path may be served; *resolved is the canonical path to use.
    // Else false and *reason says why, fit for a status text.
    bool Check(std::string_view path, std::string* resolved, std::string* reason) const;

private:
    std::vector<std::string> m_roots;  // canonical, no trailing "/"
};

}  // namespace voxa::spool
