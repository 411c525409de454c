// Single-file brick trees: the index text in the first 131,072 bytes of the
// file (zero-filled after the text) and the bricks' bytes after it, each
// brick on a 64 KiB boundary; every brick line names the file itself. This
// is the layout that remote copies prune; the engine reads it like any ZB
// file (its reader stops at the root and the XYZ_Limits line).
//
// Single-threaded library code.
#pragma once

#include "platform/status.h"

#include <cstdint>
#include <string>

namespace voxa {

inline constexpr int64_t kSingleFileHeaderBytes = 131072;

// Rewrites the brick tree of zbPath (read with the engine's reader, bricks
// from their data files) as one file outPath. Fails, writing nothing under
// outPath, when the index would not fit in the header area, a brick name
// would be longer than 63 characters, or a data file is short.
Status PackSingleFile(const std::string& zbPath, const std::string& outPath);

}  // namespace voxa
