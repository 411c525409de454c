// Small system services: tick counts, host name, free disk space.
// Thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace voxa {

// Milliseconds on a monotonic clock (the system's tick count); wraps like
// a 32-bit tick counter would not: it is 64-bit and never wraps in practice.
uint64_t TickCountMs();
// Seconds on the monotonic high-resolution clock.
double HighResSeconds();
// The machine's host name (gethostname), "localhost" when it cannot be read.
std::string HostName();
// Free bytes available to unprivileged users on the file system holding
// path; -1 when it cannot be determined.
int64_t FreeDiskBytes(const std::string& path);

// The whole of a file into text; false when it cannot be opened.
bool ReadFileText(const std::string& path, std::string& text);

}  // namespace voxa
