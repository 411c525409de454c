#include "engine/bricks/zb_file.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace voxa {
namespace {

std::vector<std::string_view> Tokens(std::string_view line) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::strchr(kZbDelimiters, line[i]) && line[i] != '\0') ++i;
        size_t start = i;
        while (i < line.size() && !(std::strchr(kZbDelimiters, line[i]) && line[i] != '\0')) ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

bool ParseInt64(std::string_view tok, int64_t& out) {
    std::string s(tok);
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || end == s.c_str() || *end != '\0') return false;
    out = v;
    return true;
}

bool ParseInt(std::string_view tok, int lo, int hi, int& out) {
    int64_t v = 0;
    if (!ParseInt64(tok, v) || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

bool ParseFloat(std::string_view tok, double& out) {
    std::string s(tok);
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || *end != '\0' || !std::isfinite(v)) return false;
    out = v;
    return true;
}

std::string Where(std::string_view name, int line) {
    char buf[64];
    std::snprintf(buf, sizeof buf, ":%d: ", line);
    return std::string(name) + buf;
}

// Splits text into lines; each line keeps no terminator.
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) nl = text.size();
        out.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return out;
}

Status ParseBrickLine(std::string_view line, Brick& b, std::string_view where) {
    auto t = Tokens(line);
    std::string w(where);
    if (t.size() < 11) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "brick line has %zu tokens, needs 11", t.size());
        return InvalidArgument(w + buf);
    }
    if (t[0].size() >= kBrickNameSlot)
        return InvalidArgument(w + "data file name longer than 63 characters");
    b.name = std::string(t[0]);
    for (char& c : b.name)
        if (c == '\\') c = '/';
    if (!ParseInt64(t[1], b.offset) || b.offset < 0 || b.offset >= kMaxBrickOffset)
        return InvalidArgument(w + "offset is not a number in 0 .. 19999999999");
    if (!ParseInt(t[2], 1, kMaxStride - 1, b.stride))
        return InvalidArgument(w + "stride is not a number in 1 .. 127");
    if (!ParseInt(t[3], 1, kMaxBrickSide, b.nx) || !ParseInt(t[4], 1, kMaxBrickSide, b.ny) ||
        !ParseInt(t[5], 1, kMaxBrickSide, b.nz))
        return InvalidArgument(w + "brick sides must be numbers in 1 .. 65536");
    constexpr int kPos = 1 << 28;  // keeps stride * (x0 + nx) well inside 64 bits
    if (!ParseInt(t[6], -kPos, kPos, b.x0) || !ParseInt(t[7], -kPos, kPos, b.y0) ||
        !ParseInt(t[8], -kPos, kPos, b.z0))
        return InvalidArgument(w + "brick position is not a number in range");
    int parent = 0;
    if (!ParseInt(t[9], INT32_MIN, INT32_MAX, parent))
        return InvalidArgument(w + "parent is not a number");
    b.parent = parent < 0 ? -1 : parent;
    if (!ParseInt(t[10], INT32_MIN, INT32_MAX, b.error))
        return InvalidArgument(w + "error is not a number");
    if (PadBrick(b).Volume() > kMaxPaddedBrickBytes)
        return InvalidArgument(w + "brick is larger than 1 GiB when padded");
    return {};
}

}  // namespace

namespace {

// The brick lines up to and including the root (the first line without a
// parent); *next is the index of the line after the root.
Status ReadBrickLines(const std::vector<std::string_view>& lines, std::string_view name, BrickTable& table,
                      size_t* next) {
    size_t li = 0;
    while (true) {
        if (li >= lines.size()) return InvalidArgument(std::string(name) + ": file ends before the root line");
        std::string_view line = lines[li];
        std::string where = Where(name, static_cast<int>(li) + 1);
        if (line.size() > kMaxZbLine) return InvalidArgument(where + "line longer than 200 characters");
        if (table.Count() >= kMaxBricks) return InvalidArgument(where + "more than 8192 bricks");
        Brick b;
        VOXA_TRY(ParseBrickLine(line, b, where));
        ++li;
        int& ov = table.overlap[b.stride];
        if (-b.x0 > ov) ov = -b.x0;
        table.largestPadded = std::max(table.largestPadded, PadBrick(b).Volume());
        table.bricks.push_back(std::move(b));
        if (table.bricks.back().parent < 0) break;
    }
    *next = li;
    return Status::Ok();
}

// Extent from the root's core; limits from the extent's proportions, or
// from an XYZ_Limits line when one follows the root.
Status ReadExtentAndLimits(std::string_view limitsLine, int lineNo, std::string_view name,
                           const ScaleFactors& scale, BrickTable& table) {
    table.root = table.Count() - 1;
    const Brick& r = table.bricks[table.root];
    const int ov = table.overlap[r.stride];
    table.extentX = int64_t{r.nx - 2 * ov} * r.stride;
    table.extentY = int64_t{r.ny - 2 * ov} * r.stride;
    table.extentZ = int64_t{r.nz - 2 * ov} * r.stride;
    if (table.extentX <= 0 || table.extentY <= 0 || table.extentZ <= 0)
        return InvalidArgument(std::string(name) + ": root brick is not larger than twice its overlap");
    const float sx = scale[0], sy = scale[1], sz = scale[2];
    const float ry = static_cast<float>(table.extentY) / static_cast<float>(table.extentX);
    const float rz = static_cast<float>(table.extentZ) / static_cast<float>(table.extentX);
    table.limits = {-sx, sx, -ry * sy, ry * sy, -rz * sz, rz * sz};
    if (limitsLine.substr(0, std::strlen(kLimitsKeyword)) != kLimitsKeyword) return Status::Ok();
    auto t = Tokens(limitsLine);
    double v[6];
    bool good = t.size() >= 7;
    for (int i = 0; good && i < 6; ++i) good = ParseFloat(t[i + 1], v[i]);
    std::string where = Where(name, lineNo);
    if (!good) return InvalidArgument(where + "XYZ_Limits needs six numbers");
    if (v[0] == v[1] || v[2] == v[3] || v[4] == v[5])
        return InvalidArgument(where + "XYZ_Limits spans nothing on some axis");
    table.limits = {static_cast<float>(v[0] * sx), static_cast<float>(v[1] * sx),
                    static_cast<float>(v[2] * sy), static_cast<float>(v[3] * sy),
                    static_cast<float>(v[4] * sz), static_cast<float>(v[5] * sz)};
    return Status::Ok();
}

Status LinkBricks(std::string_view name, BrickTable& table) {
    int orphan = table.RebuildParents();
    if (orphan >= 0) {
        char buf[128];
        std::snprintf(buf, sizeof buf, ": brick %d (line %d) lies inside no brick of twice its stride",
                      orphan, orphan + 1);
        return InvalidArgument(std::string(name) + buf);
    }
    if (!table.RebuildChildLists())
        return InvalidArgument(std::string(name) + ": a brick has more than 32 children");
    return Status::Ok();
}

Status ParseZbLines(std::string_view text, const ScaleFactors& scale, BrickTable& table, std::string_view name) {
    auto lines = Lines(text);
    size_t li = 0;
    VOXA_TRY(ReadBrickLines(lines, name, table, &li));
    const std::string_view after = li < lines.size() ? lines[li] : std::string_view();
    VOXA_TRY(ReadExtentAndLimits(after, static_cast<int>(li) + 1, name, scale, table));
    return LinkBricks(name, table);
}

}  // namespace

Status ParseZbText(std::string_view text, const ScaleFactors& scale, BrickTable& table, std::string_view name) {
    table.Clear();
    Status st = ParseZbLines(text, scale, table, name);
    if (!st.ok()) table.Clear();
    return st;
}

Status ReadZbFile(const std::string& path, const ScaleFactors& scale, BrickTable& table) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        table.Clear();
        return NotFound(path + ": cannot open");
    }
    // A tree of 8192 bricks needs well under 2 MB of text; read at most a
    // bounded amount so a wrong file cannot exhaust memory.
    constexpr size_t kMaxText = 8u << 20;
    constexpr size_t kChunk = 64u << 10;
    std::string text;
    while (in && text.size() < kMaxText) {
        const size_t had = text.size();
        text.resize(had + std::min(kChunk, kMaxText - had));
        in.read(text.data() + had, static_cast<std::streamsize>(text.size() - had));
        text.resize(had + static_cast<size_t>(in.gcount()));
    }
    return ParseZbText(text, scale, table, path);
}

std::string DataDirOf(std::string_view zbPath) {
    std::string_view head = zbPath.substr(0, std::min<size_t>(zbPath.size(), 100));
    size_t pos = head.find_last_of("/\\");
    if (pos == std::string_view::npos) return "";
    return std::string(head.substr(0, pos + 1));
}

bool IsPairedName(std::string_view name) { return name.size() >= 6 && name.substr(3, 3) == kPairedMark; }

std::string AlphaName(std::string_view name) {
    std::string out(name);
    if (out.size() < 11) out.resize(11, '_');
    out.replace(3, 8, kAlphaMark);
    return out;
}

}  // namespace voxa
