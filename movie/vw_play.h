// vw without its dialog: --play (run the wall from a script) and --export
// (the wall movie as an MP4 file). Each returns the program's exit status:
// 0 done, 1 a panel or the encoding failed, 2 bad input.
#pragma once

#include <cstdio>

#include "movie/vw_group.h"
#include "movie/vw_wall.h"

namespace voxa::movie {

// Initialises every panel of the group, plays cl.frames frames (default:
// the movie once) at cl.speed frames per second (default 10), printing the
// wall's frame each second on out, then stops the wall, shuts the panels
// down and returns.
int RunPlay(const VwCommandLine& cl, std::FILE* out, const WallOptions& options = {});

// Encodes the wall movie of cl.inputFile into cl.outFile (cl.fps, default 10).
int RunExport(const VwCommandLine& cl, std::FILE* out);

}  // namespace voxa::movie
