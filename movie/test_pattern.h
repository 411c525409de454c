// The test movie pattern: every frame carries its own number in its pixels.
//
// Pixel (column c, row r counted from the bottom, as the file stores rows)
// of frame f: red = f mod 256, green = (f div 256) mod 256, blue = 255 on a
// vertical bar 16 columns wide that moves 8 columns a frame, else
// (c xor r) mod 256. So a frame read back from the screen names itself and
// every byte of it can be predicted. Pure functions, except WriteTestMovie.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace voxa::movie {

uint8_t PatternByte(int64_t frame, int width, int row, int column, int channel);
// One frame, width x height x 3 bytes, rows from the bottom.
void FillFrame(int64_t frame, int width, int height, uint8_t* out);
std::vector<uint8_t> MakeFrame(int64_t frame, int width, int height);
// The frame number that a pixel's red and green name.
inline int64_t DecodeFrameNumber(const uint8_t* rgb) { return rgb[0] + 256 * rgb[1]; }

// Writes a movie of frames 0 .. frames - 1 to path (created or truncated).
// progress, when set, is called after each frame with the frames written.
bool WriteTestMovie(const std::string& path, int width, int height, int frames,
                    std::string* error, const std::function<void(int)>& progress = {});

}  // namespace voxa::movie
