// The wall's movie as an ordinary video file: the panels' movie frame files
// tiled as the wall shows them (each panel at the window position of its
// host token) and encoded to H.264 in an MP4 file with FFmpeg's libraries.
// Frames are read straight from the movie files (the first copy of each
// segment's list); no server is involved. Segments follow one another as
// the wall plays them: for each segment of the first panel, its frames
// from the start frame to the frame count.
//
// One thread; nothing shared.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "movie/vw_group.h"
#include "platform/status.h"

namespace voxa::movie {

struct WallLayout {
    int width = 0;  // even (H.264 4:2:0 needs even sides); padding is black
    int height = 0;
    std::vector<std::pair<int, int>> origins;  // each panel's top-left corner in the wall
    bool inRow = false;  // positions overlapped: panels laid side by side in file order
};

// Places the panels by their host tokens' positions (shifted so the
// top-left panel is at 0,0); when two panels overlap (for example every
// machine's window at 0x0), lays them out left to right in file order.
Result<WallLayout> LayOutWall(const MovieGroup& group);

// A movie file name of the group as this machine reads it: "C:/X" drive
// paths under $VOXA_ROOT, relative names beside the group file.
std::string ResolveMovieFile(const std::string& name, const std::string& groupDir);

struct ExportResult {
    int frames = 0;
    int width = 0;
    int height = 0;
    int missingTiles = 0;  // tiles drawn black because the movie file was short or missing
};

// Encodes the wall movie to outPath at fps frames per second; progress is
// called with (frames done, total).
Result<ExportResult> ExportWallMovie(const MovieGroup& group, const std::string& groupDir,
                                     const std::string& outPath, int fps,
                                     const std::function<void(int, int)>& progress = {});

// The wall's frame k as top-down RGB rows (what ExportWallMovie encodes).
// Exposed for tests and tools.
Result<std::vector<uint8_t>> ComposeWallFrame(const MovieGroup& group, const WallLayout& layout,
                                              const std::string& groupDir, int k,
                                              int* missingTiles);

// Number of frames of the wall movie (all segments of the first panel).
int WallMovieFrames(const MovieGroup& group);

}  // namespace voxa::movie
