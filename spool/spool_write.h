// The write routine of spoolwrite: writes a block of bytes through the spool
// server on a host into a file there, pipelined (the next piece is queued
// before the previous one is collected). One thread; it runs its own KJ
// event loop for the duration of the call.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace voxa::spool {

// Results of SpoolWrite.
inline constexpr int kWriteOk = 1;
inline constexpr int kWriteNoRuntime = -1;
inline constexpr int kWriteNoObject = -2;
inline constexpr int kWriteInitWriteFailed = -3;
inline constexpr int kWriteServerBusy = -4;
inline constexpr int kWriteWriteReqFailed = -5;
inline constexpr int kWriteStatusFailed = -6;
inline constexpr int kWriteTimedOut = -7;

// The message printed for a result (empty for unknown results).
const char* SpoolWriteMessage(int result);

// Called after each confirmed piece with the bytes confirmed and the total.
using WriteProgress = std::function<void(uint64_t confirmed, uint64_t total)>;

// A piece that the server wrote short: its place, its size, the server's
// iWrote and the status text of its slot (for a refused path "Refused: ...").
struct ShortPiece {
    uint64_t offset = 0;
    uint64_t size = 0;
    int32_t wrote = 0;
    std::string status;
};

inline constexpr size_t kShortPiecesKept = 4;

// What the server reported about the pieces it confirmed. A piece counts as
// confirmed with its full size whatever the server wrote (the routine's
// result stays 1); written is what the server says it wrote, so a caller can
// tell a complete write from one the server refused in part or in whole.
struct WriteOutcome {
    uint64_t written = 0;             // sum of iWrote over the confirmed pieces
    uint64_t shortPieces = 0;         // pieces whose iWrote differed from their size
    std::vector<ShortPiece> firstShort;  // the first kShortPiecesKept of them
};

// Returns kWriteOk or a failure code; *outcome (when given) is filled in
// either way.
int SpoolWrite(const std::string& host, const std::string& path, uint64_t offset,
               uint64_t count, const unsigned char* data, const WriteProgress& progress = {},
               WriteOutcome* outcome = nullptr);

}  // namespace voxa::spool
