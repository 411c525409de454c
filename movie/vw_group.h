// Movie groups of the wall controller vw: the ".vw" file that names, for
// every panel of a display wall, the machine that shows it, the window
// position there, the frame size and the movies (segments) it plays one
// after the other; and vw's command line.
//
// A movie group file is read line by line; the first character of a line
// decides its kind:
//   "# ..."                          comment
//   "HOST FILE WIDTH HEIGHT FRAMES"  a panel, or a further segment of the
//                                    panel whose host token is HOST
//   "& FILE"                         one more copy of the last segment's
//                                    movie (file list joined with ",")
//   "> START FRAMES"                 start frame and frame count of that
//                                    segment number, for every panel
// HOST is "machine" or "machine:XxY" (window position on that machine).
//
// The tables hold what they admit (100 panels, 32 segments a panel, file
// lists of 255 bytes, lines of 255 characters); a file that asks for more,
// or has a line of none of the forms, is refused with a message naming the
// file and the line. Blank lines are skipped.
//
// Plain values, no threads: any thread may use them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace voxa::movie {

inline constexpr int kMaxPanels = 100;
inline constexpr int kMaxSegments = 32;
inline constexpr size_t kMaxGroupLine = 255;
inline constexpr size_t kMaxFileList = 255;
// The movie server shows frames of at most its 12 MiB display buffer.
inline constexpr long long kMaxFrameBytes = 12582912;

struct Segment {
    std::string files;   // one or more copies of the movie, joined by ","
    int frameCount = 0;  // frames start..frameCount-1 are played
    int startFrame = 0;
};

struct Panel {
    std::string hostToken;  // "machine" or "machine:XxY"
    int width = 0;
    int height = 0;
    std::vector<Segment> segments;
};

struct MovieGroup {
    std::vector<Panel> panels;
};

struct HostToken {
    std::string machine;
    int x = 0;
    int y = 0;
};

// Splits "machine:XxY" (or "machine") into the machine name and the window
// position (0, 0 without ":").
Result<HostToken> SplitHostToken(std::string_view token);

// Parses the text of a movie group file; fileName names it in messages
// ("wall.vw:3: ...").
Result<MovieGroup> ParseMovieGroup(std::string_view text, std::string_view fileName);

inline constexpr const char* kFailedToOpenFile = "Failed to open file: %s";
// Reads and parses a movie group file; a file that cannot be opened gives
// "Failed to open file: NAME".
Result<MovieGroup> LoadMovieGroup(const std::string& path);

// The file names of a segment's list, in order.
std::vector<std::string> SplitSegmentFiles(std::string_view files);

// ---- command line ----

inline constexpr const char* kUsageText =
    "vw [<input file> [-mode <play, initialize>][-speed <speed in frames per sec>]"
    "[-expand <expansion factor>]]";

enum class VwAction {
    kDialog,  // the dialog, optionally loading a file and initialising or playing
    kUsage,   // "-h", "-help" or "?": the usage text, nothing else
    kHelp,    // "--help": the full help on standard output
    kPlay,    // --play GROUP.vw: the wall without the dialog
    kExport,  // --export GROUP.vw OUT.mp4: the wall's movie as a video file
    kError,   // bad arguments (message in error)
};

enum class StartMode { kNone, kInitialize, kPlay };

struct VwCommandLine {
    VwAction action = VwAction::kDialog;
    std::string inputFile;
    StartMode mode = StartMode::kNone;
    std::optional<int> speed;     // frames per second
    std::optional<float> expand;  // zoom factor
    std::optional<int> frames;    // --play: frames to play
    std::string outFile;          // --export
    std::optional<int> fps;       // --export
    std::string error;
};

// Parses the arguments after the program name.
VwCommandLine ParseVwCommandLine(const std::vector<std::string>& args);

}  // namespace voxa::movie
