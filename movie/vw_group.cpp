#include "movie/vw_group.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace voxa::movie {
namespace {

constexpr int kMaxCommandWords = 21;

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

// A whole decimal integer (optional sign), nothing else.
std::optional<long long> ParseInt(std::string_view text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::string s(text);
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || end != s.c_str() + s.size()) return std::nullopt;
    return v;
}

std::optional<float> ParseFloat(std::string_view text) {
    if (text.empty() || text.size() > 64) return std::nullopt;
    std::string s(text);
    char* end = nullptr;
    errno = 0;
    float v = std::strtof(s.c_str(), &end);
    if (errno != 0 || end != s.c_str() + s.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

class LineError {
  public:
    LineError(std::string_view file, int line)
        : m_prefix(std::string(file) + ":" + std::to_string(line) + ": ") {}
    Status operator()(const std::string& what) const { return InvalidArgument(m_prefix + what); }

  private:
    std::string m_prefix;
};

// Positive int within limit, or a message.
std::optional<std::string> CheckCount(std::string_view text, const char* what, long long limit,
                                      int* out) {
    auto v = ParseInt(text);
    if (!v) return std::string(what) + " \"" + std::string(text) + "\" is not a whole number";
    if (*v <= 0) return std::string(what) + " must be at least 1 (got " + std::string(text) + ")";
    if (*v > limit) return std::string(what) + " " + std::string(text) + " is too large";
    *out = static_cast<int>(*v);
    return std::nullopt;
}

}  // namespace

Result<HostToken> SplitHostToken(std::string_view token) {
    HostToken host;
    size_t colon = token.find(':');
    host.machine = std::string(token.substr(0, colon));
    if (host.machine.empty())
        return InvalidArgument("host token \"" + std::string(token) + "\" names no machine");
    if (colon == std::string_view::npos) return host;
    std::string_view pos = token.substr(colon + 1);
    size_t x = pos.find('x');
    auto px = x == std::string_view::npos ? std::nullopt : ParseInt(pos.substr(0, x));
    auto py = x == std::string_view::npos ? std::nullopt : ParseInt(pos.substr(x + 1));
    if (!px || !py || *px < -99999 || *px > 99999 || *py < -99999 || *py > 99999)
        return InvalidArgument("host token \"" + std::string(token) +
                               "\" has no window position XxY after \":\"");
    host.x = static_cast<int>(*px);
    host.y = static_cast<int>(*py);
    return host;
}

std::vector<std::string> SplitSegmentFiles(std::string_view files) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= files.size()) {
        size_t comma = files.find(',', start);
        if (comma == std::string_view::npos) comma = files.size();
        if (comma > start) names.emplace_back(files.substr(start, comma - start));
        start = comma + 1;
    }
    return names;
}

Result<MovieGroup> ParseMovieGroup(std::string_view text, std::string_view fileName) {
    MovieGroup group;
    int lastPanel = -1;  // panel named by the most recent panel-or-segment line
    int lineNo = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos) eol = text.size();
        std::string_view line = text.substr(pos, eol - pos);
        pos = eol + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        LineError error(fileName, lineNo);
        if (line.size() > kMaxGroupLine)
            return error("line longer than " + std::to_string(kMaxGroupLine) + " characters");
        if (line.find('\0') != std::string_view::npos) return error("line holds a NUL byte");
        auto words = Words(line);
        if (words.empty()) continue;
        if (line[0] == '#') continue;

        if (line[0] == '&') {
            if (words.size() != 2 || words[0] != "&") return error("a copy line is \"& FILE\"");
            if (lastPanel < 0) return error("copy line \"&\" before any panel line");
            Segment& seg = group.panels[lastPanel].segments.back();
            if (seg.files.size() + 1 + words[1].size() > kMaxFileList)
                return error("file list longer than " + std::to_string(kMaxFileList) + " bytes");
            seg.files += ",";
            seg.files += words[1];
            continue;
        }
        if (line[0] == '>') {
            if (words.size() != 3 || words[0] != ">")
                return error("a segment range line is \"> START FRAMES\"");
            if (lastPanel < 0) return error("segment range line \">\" before any panel line");
            auto start = ParseInt(words[1]);
            if (!start || *start < 0 || *start > 1000000000)
                return error("start frame \"" + std::string(words[1]) + "\" is not a frame number");
            int count = 0;
            if (auto bad = CheckCount(words[2], "frame count", 1000000000, &count))
                return error(*bad);
            if (*start >= count)
                return error("start frame " + std::string(words[1]) +
                             " is not below the frame count " + std::string(words[2]));
            const size_t n = group.panels[lastPanel].segments.size() - 1;
            for (Panel& panel : group.panels) {
                if (n < panel.segments.size()) {
                    panel.segments[n].startFrame = static_cast<int>(*start);
                    panel.segments[n].frameCount = count;
                }
            }
            continue;
        }

        if (words.size() != 5) return error("a panel line is \"HOST FILE WIDTH HEIGHT FRAMES\"");
        auto host = SplitHostToken(words[0]);
        if (!host.ok()) return error(host.status().message());
        if (words[1].size() > kMaxFileList)
            return error("file list longer than " + std::to_string(kMaxFileList) + " bytes");
        int width = 0, height = 0, frames = 0;
        if (auto bad = CheckCount(words[2], "width", 65535, &width)) return error(*bad);
        if (auto bad = CheckCount(words[3], "height", 65535, &height)) return error(*bad);
        if (auto bad = CheckCount(words[4], "frame count", 1000000000, &frames)) return error(*bad);
        if (static_cast<long long>(width) * height * 3 > kMaxFrameBytes)
            return error("frames of " + std::to_string(width) + "x" + std::to_string(height) +
                         " exceed the movie server's " + std::to_string(kMaxFrameBytes) + " bytes");
        Segment seg{std::string(words[1]), frames, 0};
        int found = -1;
        for (size_t i = 0; i < group.panels.size(); ++i)
            if (group.panels[i].hostToken == words[0]) found = static_cast<int>(i);
        if (found >= 0) {
            Panel& panel = group.panels[found];
            if (panel.segments.size() >= static_cast<size_t>(kMaxSegments))
                return error("panel " + panel.hostToken + " has more than " +
                             std::to_string(kMaxSegments) + " segments");
            if (panel.width != width || panel.height != height)
                return error("segment of " + panel.hostToken + " is " + std::to_string(width) +
                             "x" + std::to_string(height) + ", its panel " +
                             std::to_string(panel.width) + "x" + std::to_string(panel.height));
            panel.segments.push_back(std::move(seg));
            lastPanel = found;
        } else {
            if (group.panels.size() >= static_cast<size_t>(kMaxPanels))
                return error("more than " + std::to_string(kMaxPanels) + " panels");
            Panel panel{std::string(words[0]), width, height, {}};
            panel.segments.push_back(std::move(seg));
            group.panels.push_back(std::move(panel));
            lastPanel = static_cast<int>(group.panels.size()) - 1;
        }
    }
    return group;
}

Result<MovieGroup> LoadMovieGroup(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char message[512];
    std::snprintf(message, sizeof message, kFailedToOpenFile, path.c_str());
    if (!in) return NotFound(message);
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return IoError(message);
    return ParseMovieGroup(text.str(), path);
}

VwCommandLine ParseVwCommandLine(const std::vector<std::string>& args) {
    VwCommandLine cl;
    auto fail = [&cl](std::string message) {
        cl.action = VwAction::kError;
        cl.error = std::move(message);
        return cl;
    };
    if (args.empty()) return cl;
    const std::string& first = args[0];
    if (first == "-h" || first == "-help" || first == "?") {
        cl.action = VwAction::kUsage;
        return cl;
    }
    if (first == "--help") {
        cl.action = VwAction::kHelp;
        return cl;
    }
    if (first == "--play" || first == "--export") {
        const bool play = first == "--play";
        cl.action = play ? VwAction::kPlay : VwAction::kExport;
        size_t i = 1;
        if (i >= args.size() || args[i].rfind("--", 0) == 0)
            return fail(first + " needs a movie group file");
        cl.inputFile = args[i++];
        if (!play) {
            if (i >= args.size() || args[i].rfind("--", 0) == 0)
                return fail("--export needs an output file");
            cl.outFile = args[i++];
        }
        for (; i < args.size(); ++i) {
            const std::string& opt = args[i];
            if (i + 1 >= args.size()) return fail(opt + " needs a value");
            const std::string& value = args[++i];
            auto n = ParseInt(value);
            if (play && opt == "--speed") {
                if (!n || *n < 1 || *n > 1000)
                    return fail("--speed takes 1 to 1000 frames per second");
                cl.speed = static_cast<int>(*n);
            } else if (play && opt == "--frames") {
                if (!n || *n < 1 || *n > 1000000000)
                    return fail("--frames takes a count of at least 1");
                cl.frames = static_cast<int>(*n);
            } else if (play && opt == "--expand") {
                auto f = ParseFloat(value);
                if (!f || *f <= 0) return fail("--expand takes a zoom factor above 0");
                cl.expand = *f;
            } else if (!play && opt == "--fps") {
                if (!n || *n < 1 || *n > 240) return fail("--fps takes 1 to 240 frames per second");
                cl.fps = static_cast<int>(*n);
            } else {
                return fail("unknown option " + opt);
            }
        }
        return cl;
    }

    // The dialog's own command line: the input file, then pairs of option
    // and value; at most 21 words count, unknown options are ignored.
    const size_t words = std::min(args.size(), static_cast<size_t>(kMaxCommandWords));
    size_t i = 0;
    if (args[0].empty() || args[0][0] != '-') cl.inputFile = args[i++];
    for (; i + 1 < words; i += 2) {
        const std::string& opt = args[i];
        const std::string& value = args[i + 1];
        if (opt == "-mode") {
            if (value == "play")
                cl.mode = StartMode::kPlay;
            else if (value == "initialize")
                cl.mode = StartMode::kInitialize;
            else
                return fail("-mode takes play or initialize, not \"" + value + "\"");
        } else if (opt == "-speed") {
            auto n = ParseInt(value);
            if (!n || *n < 0 || *n > 1000) return fail("-speed takes 0 to 1000 frames per second");
            cl.speed = static_cast<int>(*n);
        } else if (opt == "-expand") {
            auto f = ParseFloat(value);
            if (!f || *f <= 0) return fail("-expand takes a zoom factor above 0");
            cl.expand = *f;
        }
    }
    return cl;
}

}  // namespace voxa::movie
