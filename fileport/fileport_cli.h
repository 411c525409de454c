// The command lines of the remote file service: fileport_gui's scripted
// work (--list, --copy, --rdl) and getfile. Each returns the program's exit
// status: 0 done, 1 a failure (a site, file or row that failed), 2 bad
// arguments or input. Output goes to out, messages and progress to err.
//
// Thread: the caller's; each call sets up its own KJ event loop.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace voxa::fileport {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitBadInput = 2;
// Levels kept when no --prune is given: every level of any tree.
inline constexpr int kKeepAllLevels = 64;

// True when the arguments ask fileport_gui for command-line work.
bool IsCommandLineWork(const std::vector<std::string>& args);

int RunFileportCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

// getfile HOST DIR NAME: copies one file into the current directory.
int RunGetFile(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

extern const char kFileportUsage[];
extern const char kGetFileUsage[];

}  // namespace voxa::fileport
