// The synthetic test movie that spoolwrite writes: 200 frames of 512 x 512
// RGB pixels; byte b of a pixel is 255 inside disc b, else 0. The discs move
// and bounce off the frame edges from frame to frame. Pure function.
#pragma once

#include <cstddef>
#include <vector>

namespace voxa::spool {

inline constexpr int kMovieFrames = 200;
inline constexpr int kMovieSide = 512;
inline constexpr size_t kMovieFrameBytes = size_t{kMovieSide} * kMovieSide * 3;  // 786,432
inline constexpr size_t kMovieBytes = kMovieFrameBytes * kMovieFrames;            // 157,286,400

struct Disc {
    int column, row, radius, columnStep, rowStep;
};

// The discs at frame 0.
std::vector<Disc> InitialDiscs();
// Moves every disc one frame on, bouncing at the edges.
void MoveDiscs(std::vector<Disc>& discs);
// Builds the whole movie.
std::vector<unsigned char> GenerateTestMovie();

}  // namespace voxa::spool
