// voxa_render: drives one render context in direct mode from the command
// line, headless by default, and writes the frames as raw ".pix" files or
// PNG images. The argument parsing and the run live here so that tests can
// call them; voxa_render_main.cpp only forwards argv.
#pragma once

#include "engine/context/render_request.h"
#include "platform/status.h"

#include <cstring>

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

// The whole of a file; false when it cannot be read.
bool ReadInputFile(const std::string& path, std::string& text);
bool HasSuffix(const std::string& s, const std::string& suffix);

// Applies a keyword text to a render target (a context here or a server's
// work object): its key is read, the clip planes cleared, the keywords
// applied, and the key and control points sent back. Returns the points.
template <typename Target>
FrameControlPoints ApplyKeysTo(Target& target, const std::string& keysText) {
    Renderparams key;
    std::memset(&key, 0, sizeof(key));
    target.SaveKey(&key);
    std::memset(key.ifauxclip, 0, sizeof(key.ifauxclip));
    std::memset(key.auxclip, 0, sizeof(key.auxclip));
    FrameControlPoints points;
    ApplyFrameKeywords(keysText, key, points);
    target.RestorKey(&key);
    if (int n = points.AlphaCountToUse(); n > 0) target.SetLUTia(n, points.alphaIndex.data(), points.alpha.data());
    if (int n = points.ColorCountToUse(); n > 0)
        target.SetLUTirgb(n, points.colorIndex.data(), points.red.data(), points.green.data(), points.blue.data());
    return points;
}

// Runs the program; returns the exit status (0 success, 1 failure while
// rendering or writing, 2 bad arguments or input files).
int RunVoxaRender(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace voxa
