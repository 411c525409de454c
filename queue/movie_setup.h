// Movies of the render queue: the texts of a movie row (options, frusta,
// destinations), their parsing into panels, and the round-robin choice of
// the next movie ready to render.
//
// A panel is one display panel of the wall: its frustum (centre, up,
// normal, world width), its pixel size, the pan width and screen ratio that
// make its pixels, cut from the centre of the node's window image, cover
// exactly its world width, and where its movie file lives (host and file).
//
// Plain functions over plain data; SetUpNextMovie uses the caller's
// connection. One thread.
#pragma once

#include "platform/status.h"
#include "queue/queue_db.h"

#include <array>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace voxa::queue {

inline constexpr int kMaxPanels = 100;
inline constexpr int kMaxFrames = 10000;
inline constexpr int kMaxFrustaLines = 500;
inline constexpr size_t kMaxMovieText = 8191;
inline constexpr char kStatusFilesCreated[] = "FilesCreated";
inline constexpr char kStatusCompleted[] = "Completed";
inline constexpr char kIdleOption[] = "IDLE";

struct Panel {
    std::array<float, 3> center{};
    std::array<float, 3> up{};
    std::array<float, 3> normal{};
    int width = 0;    // pixels
    int height = 0;
    float worldWidth = 0.0f;
    float panWidth = 0.0f;
    float screenRatio = 1.0f;
    bool hasDimension = false;
    std::string host;  // destination host
    std::string file;  // movie file on that host: "DIR/NAME_NN"
};

// Pan width and screen ratio of a w x h panel of world width f on a W x H
// window.
std::pair<float, float> PanGeometry(int w, int h, float f, int windowWidth, int windowHeight);

// Parses the frusta text ("frustum", "center", "up", "normal", "dimension"
// lines; an empty line ends it) for a window of W x H. Refuses more than 100
// panels, a panel without a positive pixel size or larger than the window,
// a non-positive world width, and a panel whose centre and normal are
// perpendicular (centre . normal = 0: the panel plane passes through the
// eye, no frustum).
Result<std::vector<Panel>> ParseFrusta(std::string_view text, int windowWidth, int windowHeight);

// Gives every panel its destination from the destinations text ("HOST DIR"
// per line, in panel order; an empty line ends it): file "DIR/NAME_NN".
// Refuses more than 100 lines and a panel without a destination.
Status ParseDestinations(std::string_view text, std::string_view movieName,
                         std::vector<Panel>& panels);

// Keyword and value of every options line (the value is everything after
// the one separator following the keyword). "IDLE" lines and lines without
// a value are left out.
std::vector<std::pair<std::string, std::string>> ParseMovieOptions(std::string_view text);

// A movie in hand.
struct Movie {
    int number = 0;  // row number in the movie list
    std::string name;
    std::string options, frusta, destinations;
    std::vector<Panel> panels;
    std::map<int, std::string> frameZb;  // frame number -> ZB file name (empty: NULL)
    int FrameCount() const { return static_cast<int>(frameZb.size()); }
};

// Reads movie `number`'s row and frame list and parses it for a W x H
// window. Fails when a text does not parse, the frame table is missing or
// holds more than 10,000 frames.
Result<Movie> LoadMovie(QueueDb& db, int number, int windowWidth, int windowHeight);
// The same by name.
Result<Movie> LoadMovieByName(QueueDb& db, std::string_view name, int windowWidth,
                              int windowHeight);

// Round robin over the movie list from *movieIndex: the first movie in
// "FilesCreated" state that loads is taken and *movieIndex becomes its
// position. Movies that fail to load are logged and passed over (the index
// moves past them). Returns the movie, nullopt when none is ready (an empty
// list included), or the failure of the movie-list select.
struct SetUpResult {
    std::optional<Movie> movie;
    int readyMovies = 0;   // movies in "FilesCreated" state
    int failedMovies = 0;  // of those, how many failed to load
};
Result<SetUpResult> SetUpNextMovie(QueueDb& db, int* movieIndex, int windowWidth,
                                   int windowHeight,
                                   const std::function<void(const std::string&)>& log);

}  // namespace voxa::queue
