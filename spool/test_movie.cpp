#include "spool/test_movie.h"

#include <cstring>

namespace voxa::spool {

std::vector<Disc> InitialDiscs() {
    return {{100, 200, 20, 3, -4}, {200, 300, 30, 4, 5}, {300, 100, 40, -2, 7}};
}

namespace {

void MoveAxis(int& position, int& step, int radius) {
    position += step;
    const int bound = step < 0 ? radius : kMovieSide - radius;
    if ((position - bound) * step > 0) step = -step;
}

}  // namespace

void MoveDiscs(std::vector<Disc>& discs) {
    for (Disc& d : discs) {
        MoveAxis(d.column, d.columnStep, d.radius);
        MoveAxis(d.row, d.rowStep, d.radius);
    }
}

std::vector<unsigned char> GenerateTestMovie() {
    std::vector<unsigned char> movie(kMovieBytes, 0);
    std::vector<Disc> discs = InitialDiscs();
    for (int f = 0; f < kMovieFrames; ++f) {
        unsigned char* frame = movie.data() + kMovieFrameBytes * f;
        for (size_t b = 0; b < discs.size(); ++b) {
            const Disc& d = discs[b];
            const int r2 = d.radius * d.radius;
            // Only rows and columns near the disc can be inside it.
            for (int y = d.row - d.radius; y <= d.row + d.radius; ++y) {
                if (y < 0 || y >= kMovieSide) continue;
                for (int x = d.column - d.radius; x <= d.column + d.radius; ++x) {
                    if (x < 0 || x >= kMovieSide) continue;
                    const int dy = y - d.row, dx = x - d.column;
                    if (dy * dy + dx * dx < r2) {
                        frame[(size_t{static_cast<size_t>(y)} * kMovieSide + x) * 3 + b] = 255;
                    }
                }
            }
        }
        MoveDiscs(discs);
    }
    return movie;
}

}  // namespace voxa::spool
