#include "tools/voxa_render.h"

#include "engine/frame/frame_pipeline.h"
#include "engine/context/color_table.h"
#include "engine/context/pixel_files.h"
#include "engine/context/render_context.h"
#include "engine/context/render_request.h"
#include "queue/movie_preview.h"
#include "platform/sys.h"
#include "tools/number_args.h"
#include "tools/voxa_render_remote.h"

#include <cctype>
#include <chrono>
#include <cstring>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <sstream>
#include <thread>

namespace voxa {

namespace {

constexpr char kProgram[] = "voxa_render";

}  // namespace

bool HasSuffix(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}


std::string VoxaRenderUsage(const std::string& program) {
    return "Usage: " + program +
           " [options]\n"
           "\n"
           "Renders frames with one render context in direct mode, headless unless\n"
           "--window is given, and writes them to files.\n"
           "\n"
           "  --zb FILE          ZB volume file (default: the built-in test volume)\n"
           "  --size WxH         frame size in pixels (default 640x480)\n"
           "  --keys FILE        frame keyword text: eye, center, up, opfov, nearfarnp,\n"
           "                     tolerances, ifauxclip, auxclip, notsac, anot, cnot lines\n"
           "  --cmap FILE        colour-map file (needs --amap)\n"
           "  --amap FILE        opacity-map file (needs --cmap)\n"
           "  --option KEY=VALUE render option, e.g. ShowColorBar=1 (repeatable)\n"
           "  --frames N         number of frames (default 1)\n"
           "  --orbit DX,DY      eye motion between frames (mouse deltas, orbit mode 0)\n"
           "  --out FILE         output: FILE.pix (raw RGB rows from the bottom, as\n"
           "                     CopyPixToFile writes them) or FILE.png; with several\n"
           "                     frames _NNNN is inserted before the extension\n"
           "  --timers FILE      switch timers on and append them to FILE (.pto)\n"
           "  --window           show the frames in an X11 window (\"VOXA - SERVER\")\n"
           "  --hold SECONDS     with --window: keep the window up this long after the\n"
           "                     last frame (Esc or closing the window ends it early)\n"
           "  --verbose          report the GL context and every frame written\n"
           "  --movie NAME       render one panel of a queued movie frame exactly as a\n"
           "                     render node does (queue settings from\n"
           "                     $VOXA_ROOT/VOXA_DEFAULT_SQL_QUEUE.txt; --size is the\n"
           "                     node's -geometry, default 1280x1024; --out needed)\n"
           "  --frame N          with --movie: the (first) frame number (default 1);\n"
           "                     with --frames K, frames N to N+K-1 in turn\n"
           "  --panel P          with --movie: the panel index (default 0)\n"
           "  --host HOST        render on voxa_server on HOST (launched on demand when\n"
           "                     HOST is this machine) instead of in this process; the\n"
           "                     files written are the same\n"
           "  --help             this text\n"
           "\n"
           "Exit status: 0 done, 1 a frame could not be rendered or written,\n"
           "2 bad arguments or unreadable input files.\n";
}

namespace {

// An option that takes a value (the next argument) and that value.
Status ParseValueOption(const std::string& a, const std::string& v, VoxaRenderArgs& out) {
    if (a == "--host") {
        if (v.empty()) return InvalidArgument("--host needs a host name");
        out.host = v;
    } else if (a == "--zb" || a == "--keys" || a == "--cmap" || a == "--amap" || a == "--out" ||
               a == "--timers") {
        if (v.empty()) return InvalidArgument(a + " needs a file name");
        std::string& field = a == "--zb"     ? out.zbFile
                             : a == "--keys" ? out.keysFile
                             : a == "--cmap" ? out.cmapFile
                             : a == "--amap" ? out.amapFile
                             : a == "--out"  ? out.outFile
                                             : out.timersFile;
        field = v;
    } else if (a == "--movie") {
        if (v.empty()) return InvalidArgument("--movie needs a movie name");
        out.movie = v;
    } else if (a == "--frame" || a == "--panel") {
        int n = 0;
        if (!ParseIntArg(v, n) || n < (a == "--frame" ? 1 : 0))
            return InvalidArgument(a + " needs a number, got '" + v + "'");
        (a == "--frame" ? out.movieFrame : out.moviePanel) = n;
    } else if (a == "--size") {
        out.sizeGiven = true;
        if (!ParseIntPairArg(v, 'x', out.width, out.height) || out.width < 1 || out.height < 1 ||
            out.width > kMaxFrameSide || out.height > kMaxFrameSide)
            return InvalidArgument("--size needs WxH with sides from 1 to " + std::to_string(kMaxFrameSide) +
                                   ", got '" + v + "'");
    } else if (a == "--option") {
        size_t eq = v.find('=');
        if (eq == std::string::npos || eq == 0) return InvalidArgument("--option needs KEY=VALUE, got '" + v + "'");
        out.options.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    } else if (a == "--frames") {
        if (!ParseIntArg(v, out.frames) || out.frames < 1 || out.frames > 100000)
            return InvalidArgument("--frames needs a number from 1 to 100000, got '" + v + "'");
    } else if (a == "--orbit") {
        if (!ParseIntPairArg(v, ',', out.orbitDx, out.orbitDy))
            return InvalidArgument("--orbit needs DX,DY, got '" + v + "'");
    } else if (a == "--hold") {
        if (!ParseDoubleArg(v, out.holdSeconds) || !(out.holdSeconds >= 0.0) || out.holdSeconds > 86400.0)
            return InvalidArgument("--hold needs seconds from 0 to 86400, got '" + v + "'");
    }
    return Status::Ok();
}

// What an option says when its value is missing ("" for options without one).
std::string MissingValue(const std::string& a) {
    if (a == "--host") return "--host needs a host name";
    if (a == "--zb" || a == "--keys" || a == "--cmap" || a == "--amap" || a == "--out" || a == "--timers")
        return a + " needs a file name";
    if (a == "--movie") return "--movie needs a movie name";
    if (a == "--frame" || a == "--panel") return a + " needs a number, got ''";
    if (a == "--size")
        return "--size needs WxH with sides from 1 to " + std::to_string(kMaxFrameSide) + ", got ''";
    if (a == "--option") return "--option needs KEY=VALUE";
    if (a == "--frames") return "--frames needs a number from 1 to 100000, got ''";
    if (a == "--orbit") return "--orbit needs DX,DY, got ''";
    if (a == "--hold") return "--hold needs seconds";
    return "";
}

}  // namespace

Status ParseVoxaRenderArgs(const std::vector<std::string>& args, VoxaRenderArgs& out) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            out.help = true;
        } else if (a == "--verbose" || a == "-v") {
            out.verbose = true;
        } else if (a == "--window") {
            out.window = true;
        } else if (std::string missing = MissingValue(a); !missing.empty()) {
            if (i + 1 >= args.size()) return InvalidArgument(missing);
            VOXA_TRY(ParseValueOption(a, args[++i], out));
        } else {
            return InvalidArgument("unknown argument '" + a + "'");
        }
    }
    if (out.cmapFile.empty() != out.amapFile.empty()) return InvalidArgument("--cmap and --amap go together");
    if (!out.outFile.empty() && !HasSuffix(out.outFile, ".pix") && !HasSuffix(out.outFile, ".png"))
        return InvalidArgument("--out must end in .pix or .png, got '" + out.outFile + "'");
    return Status::Ok();
}

std::string NumberedOutput(const std::string& name, int index, int count) {
    if (count <= 1) return name;
    size_t dot = name.rfind('.');
    size_t slash = name.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = name.size();
    char number[16];
    std::snprintf(number, sizeof(number), "_%04d", index);
    return name.substr(0, dot) + number + name.substr(dot);
}

namespace {

int RunMoviePreview(const VoxaRenderArgs& args, std::ostream& out, std::ostream& err) {
    if (args.outFile.empty()) {
        err << kProgram << ": --movie needs --out FILE.pix or FILE.png\n";
        return 2;
    }
    queue::MoviePreviewRequest request;
    request.movie = args.movie;
    request.frame = args.movieFrame;
    request.panel = args.moviePanel;
    if (args.sizeGiven) {
        request.windowWidth = args.width;
        request.windowHeight = args.height;
    }
    request.frames = args.frames;
    for (int i = 0; i < args.frames; ++i) request.outFiles.push_back(NumberedOutput(args.outFile, i, args.frames));
    return queue::RenderMoviePreview(request, out, err);
}

// Map files are checked whole: a file that is not a map (random bytes,
// text, a directory) is refused with the line that is wrong. A missing
// file is named before a wrong one.
Status CheckMapFiles(const VoxaRenderArgs& args) {
    if (args.cmapFile.empty()) return Status::Ok();
    const std::pair<std::string, const char*> maps[] = {{args.cmapFile, "colour-map"}, {args.amapFile, "opacity-map"}};
    Status checks[2] = {CheckMapFile(maps[0].first), CheckMapFile(maps[1].first)};
    for (bool missing : {true, false}) {
        for (int i = 0; i < 2; ++i) {
            if (checks[i].ok() || (checks[i].code() == StatusCode::kNotFound) != missing) continue;
            if (missing) return NotFound(std::string("cannot open the ") + maps[i].second + " file '" + maps[i].first + "'");
            return InvalidArgument(std::string("not ") + (i == 0 ? "a " : "an ") + maps[i].second +
                                   " file: " + checks[i].message());
        }
    }
    return Status::Ok();
}

// Input files are checked before anything is set up. (The engine draws
// its built-in test volume when a ZB file cannot be opened; from the
// command line a mistyped name is an error.)
Status CheckInputFiles(const VoxaRenderArgs& args, std::string& keysText) {
    std::string probe;
    if (!args.zbFile.empty() && !ReadFileText(args.zbFile, probe))
        return NotFound("cannot read the ZB file '" + args.zbFile + "'");
    if (!args.keysFile.empty() && !ReadFileText(args.keysFile, keysText))
        return NotFound("cannot read the keyword file '" + args.keysFile + "'");
    return CheckMapFiles(args);
}

// Control points the engine cannot use are reported, not dropped silently.
template <typename Index>
void WarnUnusablePoints(const Index& index, int n, const char* word, const std::string& keysFile, std::ostream& err) {
    bool outside = false, falling = false;
    for (int i = 0; i < n; ++i) {
        int v = index[static_cast<size_t>(i)];
        outside = outside || v < 0 || v > 255;
        falling = falling || (i > 0 && v <= index[static_cast<size_t>(i - 1)]);
    }
    if (outside)
        err << kProgram << ": warning: '" << word << "' indices outside 0..255 in '" << keysFile
            << "': those control points are all ignored\n";
    else if (falling)
        err << kProgram << ": warning: '" << word << "' indices of '" << keysFile
            << "' do not rise: the segments between them are skipped\n";
}

void ApplyKeys(RenderContext& context, const VoxaRenderArgs& args, const std::string& keysText, std::ostream& err) {
    Renderparams key;
    FrameControlPoints points;
    ApplyFrameKeywordsTo(context, keysText, key, points);
    WarnUnusablePoints(points.alphaIndex, points.AlphaCountToUse(), "anot", args.keysFile, err);
    WarnUnusablePoints(points.colorIndex, points.ColorCountToUse(), "cnot", args.keysFile, err);
}

void SetUpContext(RenderContext& context, const VoxaRenderArgs& args, const std::string& keysText,
                  std::ostream& err) {
    // The default panel: 34 degrees across, the engine's default frustum.
    const float center[3] = {0, 1, 0}, up[3] = {0, 0, 1}, normal[3] = {0, 1, 0};
    const float panWidth = 2.0f * std::tan(17.0f * 0.017453292f);
    context.SetFrustum(center, up, normal, args.width, args.height, panWidth);
    if (!args.zbFile.empty()) context.Set_ZBname(args.zbFile);
    if (!args.cmapFile.empty()) {
        context.SetLUT(args.amapFile, args.cmapFile);
        context.MutableColors().LoadMapFiles(args.cmapFile, args.amapFile);
    }
    if (!args.timersFile.empty()) {
        context.SetOption(kOptTimerOutputFile, args.timersFile);
        context.SetOption(kOptTimersOn, "1");
    }
    for (const auto& [key, value] : args.options) context.SetOption(key, value);
    if (!keysText.empty()) ApplyKeys(context, args, keysText, err);
}

// Starts the context; false (said on err) when no GL context could be made.
bool StartContext(RenderContext& context, const VoxaRenderArgs& args, std::ostream& out, std::ostream& err) {
    context.StartUp();
    std::string status;
    context.SetOption(kOptSetStatusRequest, kStatusIsGlWindowUp);
    context.GetStatus(&status);
    if (status != kReplyGlWindowIsUp) {
        err << kProgram << ": no OpenGL context could be made ("
            << (args.window ? "is DISPLAY set to a running X server?" : "no EGL surfaceless or pbuffer support?")
            << "); see " << "DEBUG_VOXA.txt under $VOXA_ROOT\n";
        return false;
    }
    if (args.verbose) {
        out << kProgram << ": " << (args.window ? "window" : "headless") << " " << args.width << "x" << args.height
            << ", " << context.Window()->Description() << "\n";
        out << kProgram << ": volume " << (args.zbFile.empty() ? std::string("(built-in test volume)") : args.zbFile)
            << "\n";
    }
    return true;
}

Status WriteFrame(RenderContext& context, const VoxaRenderArgs& args, const std::string& file) {
    if (HasSuffix(file, ".png")) {
        BinaryDataVOXA data;
        context.GetPix(&data);
        return WritePngImage(file, args.width, args.height, data.m_pBuffer);
    }
    // CopyPixToFile numbers names that begin with two digits; "./" keeps
    // the name as given.
    std::string name = file;
    if (name.size() >= 2 && std::isdigit(static_cast<unsigned char>(name[0])) &&
        std::isdigit(static_cast<unsigned char>(name[1])))
        name = "./" + name;
    context.CopyPixToFile(name);
    std::ifstream check(name, std::ios::binary | std::ios::ate);
    if (check && static_cast<long long>(check.tellg()) == 3LL * args.width * args.height) return Status::Ok();
    return IoError("cannot write the file");
}

// Renders and writes every frame; 0, or 1 when a frame failed, lost
// bricks or could not be written.
int RenderFrames(RenderContext& context, FramePipeline& pipeline, const VoxaRenderArgs& args, std::ostream& out,
                 std::ostream& err) {
    int result = 0;
    int failedReads = pipeline.Cache().FailedReads();
    for (int f = 0; f < args.frames; ++f) {
        if (f > 0 && (args.orbitDx != 0 || args.orbitDy != 0)) context.IncrementEyePoint(args.orbitDx, args.orbitDy, 0);
        context.SetDoRender();
        if (context.LastFrameResult() < 0) {
            err << kProgram << ": frame " << f << " failed with code " << context.LastFrameResult();
            if (!pipeline.LastFrame().error.empty()) err << ": " << pipeline.LastFrame().error;
            err << "\n";
            return 1;
        }
        // Bricks whose data could not be read are left out of the frame: it
        // is still written, but the run fails and says why.
        if (int failed = pipeline.Cache().FailedReads(); failed != failedReads) {
            err << kProgram << ": frame " << f << ": " << (failed - failedReads) << " brick"
                << (failed - failedReads == 1 ? "" : "s")
                << " could not be read (left out of the frame): " << pipeline.Cache().LastFailure() << "\n";
            failedReads = failed;
            result = 1;
        }
        if (!args.outFile.empty()) {
            const std::string file = NumberedOutput(args.outFile, f, args.frames);
            if (Status written = WriteFrame(context, args, file); !written.ok()) {
                err << kProgram << ": " << file << ": " << written.message() << "\n";
                return 1;
            }
            if (args.verbose) out << kProgram << ": wrote " << file << "\n";
        }
        if (GlWindow* w = context.Window(); w != nullptr && w->QuitPosted()) break;
    }
    return result;
}

// With --window --hold: keeps the window up until the time is over or it
// is closed.
void HoldWindow(RenderContext& context, double seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    while (std::chrono::steady_clock::now() < until) {
        GlWindow* w = context.Window();
        if (w == nullptr || w->PumpEvents()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace

int RunVoxaRender(const std::vector<std::string>& argv, std::ostream& out, std::ostream& err) {
    VoxaRenderArgs args;
    if (Status parsed = ParseVoxaRenderArgs(argv, args); !parsed.ok()) {
        err << kProgram << ": " << parsed.message() << "\n" << "Try '" << kProgram << " --help'.\n";
        return 2;
    }
    if (args.help) {
        out << VoxaRenderUsage(kProgram);
        return 0;
    }
    if (!args.movie.empty()) return RunMoviePreview(args, out, err);
    if (!args.host.empty()) return RunVoxaRenderRemote(args, out, err);
    std::string keysText;
    if (Status inputs = CheckInputFiles(args, keysText); !inputs.ok()) {
        err << kProgram << ": " << inputs.message() << "\n";
        return 2;
    }
    auto process = std::make_unique<RenderProcess>();
    process->SetDisplayMode(args.window ? DisplayMode::kWindow : DisplayMode::kHeadless);
    RenderContext context(*process);
    FramePipeline pipeline(*process);
    pipeline.Attach(context);
    if (args.verbose) pipeline.SetLog([&out](const std::string& line) { out << kProgram << ": " << line << "\n"; });
    SetUpContext(context, args, keysText, err);
    if (!StartContext(context, args, out, err)) {
        context.ClearIt();
        return 1;
    }
    const int result = RenderFrames(context, pipeline, args, out, err);
    if (args.window && result == 0 && args.holdSeconds > 0.0) HoldWindow(context, args.holdSeconds);
    context.ClearIt();
    return result;
}

}  // namespace voxa
