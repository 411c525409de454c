// Image files of rendered frames.
//
// A frame is width x height x 3 bytes: red, green, blue per pixel, rows from
// the bottom of the image up, no row padding. CopyPixToFile writes it raw
// (".pix", no header); voxa_render can also write it as a PNG (rows from the
// top, as PNG stores them). Pure file functions; any thread.
#pragma once

#include "platform/status.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace voxa {

// The file name of CopyPixToFile: when the first two characters of name are
// both decimal digits d1 d2, "%s_%c%c" of (imageName, d1, d2); otherwise
// name itself. imageName is cut at 99 characters.
std::string FrameFileName(std::string_view name, std::string_view imageName);

// Creates or truncates path and writes the bytes. False when the file
// cannot be created or written.
bool WriteRawImage(const std::string& path, std::span<const uint8_t> rgb);

// Writes a bottom-up RGB frame as an 8-bit RGB PNG. Fails (the message
// without the path) when the size does not match or the file cannot be
// written.
Status WritePngImage(const std::string& path, int width, int height, std::span<const uint8_t> rgb);

// Reads an 8-bit RGB or RGBA PNG back into a bottom-up RGB frame (used by
// tests and tools to check what was written).
bool ReadPngImage(const std::string& path, int& width, int& height, std::string& rgb);

}  // namespace voxa
