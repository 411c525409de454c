#include "queue/movie_setup.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace voxa::queue {

namespace {

// Lines of a text separated by "\n" ("\r" before it dropped), up to the
// first empty line, at most maxLines.
std::vector<std::string_view> Lines(std::string_view text, int maxLines) {
    std::vector<std::string_view> lines;
    size_t at = 0;
    while (at < text.size() && static_cast<int>(lines.size()) < maxLines) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) break;
        lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

std::vector<std::string> Words(std::string_view line) {
    std::vector<std::string> words;
    std::istringstream in{std::string(line)};
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

bool ParseFloat(const std::string& s, float& out) {
    char* end = nullptr;
    float v = std::strtof(s.c_str(), &end);
    if (end == s.c_str() || *end != '\0' || !std::isfinite(v)) return false;
    out = v;
    return true;
}

bool ParseInt(const std::string& s, int& out) {
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (end == s.c_str() || *end != '\0' || v < -1000000000L || v > 1000000000L) return false;
    out = static_cast<int>(v);
    return true;
}

bool ParseVector(const std::vector<std::string>& w, std::array<float, 3>& out) {
    if (w.size() < 4) return false;
    for (int i = 0; i < 3; ++i)
        if (!ParseFloat(w[static_cast<size_t>(i + 1)], out[static_cast<size_t>(i)])) return false;
    return true;
}

}  // namespace

std::pair<float, float> PanGeometry(int w, int h, float f, int windowWidth, int windowHeight) {
    if (w == windowWidth && h == windowHeight) return {f, 1.0f};
    float k = static_cast<float>(w) / static_cast<float>(windowWidth);
    float l = static_cast<float>(h) / static_cast<float>(windowHeight);
    if (k > 1.0f || l > 1.0f) {
        if (k >= l) return {f, k / l};
        return {(l / k) * f, 1.0f};
    }
    return {f / k, 1.0f / k};
}

Result<std::vector<Panel>> ParseFrusta(std::string_view text, int windowWidth, int windowHeight) {
    std::vector<Panel> panels;
    int lineNo = 0;
    const std::vector<std::string_view> lines = Lines(text, kMaxFrustaLines + 1);
    if (static_cast<int>(lines.size()) > kMaxFrustaLines)
        return InvalidArgument("frusta: more than 500 lines");
    for (std::string_view line : lines) {
        ++lineNo;
        std::vector<std::string> w = Words(line);
        if (w.empty()) continue;
        auto bad = [&](const std::string& why) {
            return InvalidArgument("frusta line " + std::to_string(lineNo) + " '" +
                                   std::string(line) + "': " + why);
        };
        if (w[0] == "frustum") {
            if (static_cast<int>(panels.size()) >= kMaxPanels)
                return InvalidArgument("frusta: more than 100 panels");
            panels.emplace_back();
            continue;
        }
        if (panels.empty()) continue;  // lines before the first panel
        Panel& p = panels.back();
        if (w[0] == "center") {
            if (!ParseVector(w, p.center)) return bad("needs three numbers");
        } else if (w[0] == "up") {
            if (!ParseVector(w, p.up)) return bad("needs three numbers");
        } else if (w[0] == "normal") {
            if (!ParseVector(w, p.normal)) return bad("needs three numbers");
        } else if (w[0] == "dimension") {
            if (w.size() < 4 || !ParseInt(w[1], p.width) || !ParseInt(w[2], p.height) ||
                !ParseFloat(w[3], p.worldWidth))
                return bad("needs pixel width, pixel height and world width");
            p.hasDimension = true;
        }
    }
    if (panels.empty()) return InvalidArgument("frusta: no panel (no 'frustum' line)");
    for (size_t i = 0; i < panels.size(); ++i) {
        Panel& p = panels[i];
        std::string which = "panel " + std::to_string(i) + ": ";
        if (!p.hasDimension || p.width <= 0 || p.height <= 0)
            return InvalidArgument(which + "needs a 'dimension' line with a positive pixel size");
        if (!(p.worldWidth > 0.0f)) return InvalidArgument(which + "world width must be positive");
        if (p.width > windowWidth || p.height > windowHeight)
            return InvalidArgument(which + std::to_string(p.width) + "x" + std::to_string(p.height) +
                                   " is larger than the " + std::to_string(windowWidth) + "x" +
                                   std::to_string(windowHeight) + " window");
        float dot = p.center[0] * p.normal[0] + p.center[1] * p.normal[1] + p.center[2] * p.normal[2];
        if (dot == 0.0f)
            return InvalidArgument(which + "centre . normal is 0 (the panel plane passes through "
                                           "the eye)");
        auto [pan, ratio] = PanGeometry(p.width, p.height, p.worldWidth, windowWidth, windowHeight);
        p.panWidth = pan;
        p.screenRatio = ratio;
    }
    return panels;
}

Status ParseDestinations(std::string_view text, std::string_view movieName,
                         std::vector<Panel>& panels) {
    // One more line than allowed is read to tell "exactly 100" from "more".
    std::vector<std::string_view> lines = Lines(text, kMaxPanels + 1);
    if (static_cast<int>(lines.size()) > kMaxPanels)
        return InvalidArgument("destinations: more than 100 lines");
    for (size_t n = 0; n < panels.size(); ++n) {
        if (n >= lines.size())
            return InvalidArgument("destinations: panel " + std::to_string(n) +
                                   " has no destination line");
        std::vector<std::string> w = Words(lines[n]);
        if (w.size() < 2)
            return InvalidArgument("destinations line " + std::to_string(n + 1) +
                                   " needs a host and a directory");
        char suffix[8];
        std::snprintf(suffix, sizeof(suffix), "_%02d", static_cast<int>(n));
        std::string file = w[1] + "/" + std::string(movieName) + suffix;
        if (w[0].size() > 255 || file.size() > 255)
            return InvalidArgument("destinations line " + std::to_string(n + 1) +
                                   ": host or file longer than 255 characters");
        panels[n].host = w[0];
        panels[n].file = file;
    }
    return Status::Ok();
}

std::vector<std::pair<std::string, std::string>> ParseMovieOptions(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> options;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        size_t sep = line.find_first_of(" \t");
        if (sep == std::string_view::npos || sep == 0) continue;
        std::string key(line.substr(0, sep));
        std::string value(line.substr(sep + 1));
        if (key == kIdleOption || key.size() > 255 || value.size() > 255) continue;
        options.emplace_back(std::move(key), std::move(value));
    }
    return options;
}

Result<Movie> LoadMovie(QueueDb& db, int number, int windowWidth, int windowHeight) {
    VOXA_ASSIGN_OR_RETURN(Rows rows, db.Query("select name,options,frusta,destinations from " +
                                              std::string(kMoviesTable) + " where number=" +
                                              std::to_string(number)));
    if (rows.empty() || rows[0].size() < 4) return NotFound("movie " + std::to_string(number) + " is gone");
    Movie movie;
    movie.number = number;
    movie.name = rows[0][0].value_or("");
    movie.options = rows[0][1].value_or("");
    movie.frusta = rows[0][2].value_or("");
    movie.destinations = rows[0][3].value_or("");
    const std::string which = "movie '" + movie.name + "'";
    VOXA_TRY(CheckMovieName(movie.name).Prefixed("movie " + std::to_string(number)));
    for (const std::string* t : {&movie.options, &movie.frusta, &movie.destinations})
        if (t->size() > kMaxMovieText) return InvalidArgument(which + ": a text is longer than 8191 characters");
    auto panels = ParseFrusta(movie.frusta, windowWidth, windowHeight);
    if (!panels.ok()) return panels.status().Prefixed(which);
    movie.panels = std::move(*panels);
    VOXA_TRY(ParseDestinations(movie.destinations, movie.name, movie.panels).Prefixed(which));
    auto frames = db.Query("select number,zbfile from " + FrameTable(movie.name) +
                           " order by number limit " + std::to_string(kMaxFrames + 1));
    if (!frames.ok()) return frames.status().Prefixed(which + " frame table");
    if (static_cast<int>(frames->size()) > kMaxFrames)
        return InvalidArgument(which + ": more than 10000 frames");
    for (const Row& r : *frames) {
        if (r.size() < 2 || !r[0]) continue;
        int n = std::atoi(r[0]->c_str());
        if (n < 1) return InvalidArgument(which + ": frame number " + *r[0] + " is not positive");
        movie.frameZb[n] = r[1].value_or("");
    }
    return movie;
}

Result<Movie> LoadMovieByName(QueueDb& db, std::string_view name, int windowWidth,
                              int windowHeight) {
    VOXA_ASSIGN_OR_RETURN(Rows rows, db.Query("select number from " + std::string(kMoviesTable) +
                                              " where name=" + db.Quote(name) +
                                              " order by number limit 1"));
    if (rows.empty() || !rows[0][0]) return NotFound("no movie named '" + std::string(name) + "'");
    return LoadMovie(db, std::atoi(rows[0][0]->c_str()), windowWidth, windowHeight);
}

Result<SetUpResult> SetUpNextMovie(QueueDb& db, int* movieIndex, int windowWidth,
                                   int windowHeight,
                                   const std::function<void(const std::string&)>& log) {
    VOXA_ASSIGN_OR_RETURN(Rows rows, db.Query("select number,name,status from " +
                                              std::string(kMoviesTable) + " order by number"));
    SetUpResult result;
    const int n = static_cast<int>(rows.size());
    if (n == 0) return result;  // no movie at all
    *movieIndex = ((*movieIndex % n) + n) % n;
    for (const Row& r : rows)
        if (r.size() >= 3 && r[2] && *r[2] == kStatusFilesCreated) ++result.readyMovies;
    for (int k = 0; k < n; ++k) {
        int at = (*movieIndex + k) % n;
        const Row& r = rows[static_cast<size_t>(at)];
        if (r.size() < 3 || !r[0] || !r[2] || *r[2] != kStatusFilesCreated) continue;
        auto movie = LoadMovie(db, std::atoi(r[0]->c_str()), windowWidth, windowHeight);
        if (!movie.ok()) {
            // A lost connection is the step's failure, not the movie's.
            if (movie.status().code() == StatusCode::kUnavailable) return movie.status();
            ++result.failedMovies;
            if (log) log("Skipping movie " + *r[0] + ": " + movie.status().message() + "\n");
            continue;
        }
        *movieIndex = at;
        result.movie = std::move(*movie);
        return result;
    }
    return result;
}

}  // namespace voxa::queue
