// voxa_render: drives one render context in direct mode from the command
// line, headless by default, and writes the frames as raw ".pix" files or
// PNG images. The argument parsing and the run live here so that tests can
// call them; voxa_render_main.cpp only forwards argv.
#pragma once

#include "platform/status.h"


#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

namespace voxa {

struct VoxaRenderArgs {
    std::string zbFile;  // empty: the built-in test volume
    int width = 640;
    int height = 480;
    std::string keysFile;
    std::string cmapFile;
    std::string amapFile;
    std::vector<std::pair<std::string, std::string>> options;
    int frames = 1;
    int orbitDx = 0, orbitDy = 0;
    std::string outFile;
    std::string timersFile;
    bool window = false;
    double holdSeconds = 0.0;
    bool verbose = false;
    bool help = false;
    // --movie: one panel of a queued movie frame, as a render node renders it.
    std::string movie;
    int movieFrame = 1;
    int moviePanel = 0;
    bool sizeGiven = false;
    std::string host;  // --host: drive voxa_server there instead of direct mode
};

// Parses argv (without the program name); a bad argument fails with a
// message that names it.
Status ParseVoxaRenderArgs(const std::vector<std::string>& args, VoxaRenderArgs& out);

// The help text.
std::string VoxaRenderUsage(const std::string& program);

// Output file of frame `index` of `count`: the name itself for one frame,
// else "_NNNN" inserted before the extension ("f.png" -> "f_0003.png").
std::string NumberedOutput(const std::string& name, int index, int count);

bool HasSuffix(const std::string& s, const std::string& suffix);

// Runs the program; returns the exit status (0 success, 1 failure while
// rendering or writing, 2 bad arguments or input files).
int RunVoxaRender(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace voxa
