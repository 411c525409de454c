// Diagnostic text files of the system ("DEBUG_VOXA.txt" and friends).
//
// Each message is appended to the file and the file is closed again, so a
// crash loses nothing already written and several processes may append to
// the same file. Thread-safe (each call opens its own descriptor; one
// write() per message).
#pragma once

#include <string>
#include <string_view>

namespace voxa {

// The engine's debug file: window preparation failures, unreadable brick
// data, bad volume files.
inline constexpr char kDebugVoxaFile[] = "C:/DEBUG_VOXA.txt";

// Appends text to the file at path (a drive path such as "C:/DEBUG_VOXA.txt"
// or a plain path). Returns false when the file cannot be opened or written.
bool AppendDebugText(std::string_view path, std::string_view text);

}  // namespace voxa
