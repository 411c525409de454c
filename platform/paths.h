// Drive paths of the system mapped onto Linux directories.
//
// "C:/NAME" (debug, settings and option files) lives under the machine root
// $VOXA_ROOT (default $HOME/.voxa); "H:/NAME" (the shared fallback of the
// queue settings file) under $VOXA_SHARED (default /etc/voxa). Both roots
// are read from the environment at every call, so tests can point them at
// fresh temporary directories. The machine root is created on first use.
// Thread-safe (reads only the environment).
#pragma once

#include <string>
#include <string_view>

namespace voxa {

// $VOXA_ROOT, or $HOME/.voxa; created if missing.
std::string VoxaRoot();
// $VOXA_SHARED, or /etc/voxa; not created (it is shared, read-mostly).
std::string VoxaShared();

// Maps a drive path: "C:/NAME" or "C:\NAME" (any case of the letter) to
// VoxaRoot()/NAME and "H:/NAME" to VoxaShared()/NAME; backslashes in NAME
// become "/". Any other text is returned with backslashes turned into "/".
std::string DrivePath(std::string_view path);

// Joins a directory and a name with one "/".
std::string JoinPath(std::string_view dir, std::string_view name);

// Creates a directory and its parents; true when it exists afterwards.
bool MakeDirs(const std::string& dir);

}  // namespace voxa
