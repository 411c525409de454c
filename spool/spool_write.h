// The write routine of spoolwrite: writes a block of bytes through the spool
// server on a host into a file there, pipelined (the next piece is queued
// before the previous one is collected). One thread; it runs its own KJ
// event loop for the duration of the call.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

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

int SpoolWrite(const std::string& host, const std::string& path, uint64_t offset,
               uint64_t count, const unsigned char* data, const WriteProgress& progress = {});

}  // namespace voxa::spool
