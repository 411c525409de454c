#include "engine/context/color_table.h"

#include "platform/paths.h"
#include "platform/unique_fd.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

namespace voxa {

namespace {

constexpr char kDefaultMap[] = "default";
constexpr float kByteToUnit = 0.003921569f;  // 1/255
constexpr int kMapLines = 64;

struct MapEntry {
    int r, g, b;
    bool read = false;
};

// Reads a map file's (index, red, green, blue) groups into entries.
void ReadMapFile(std::FILE* f, std::array<MapEntry, kColorTableSize>& out) {
    for (int line = 0; line < kMapLines; ++line) {
        for (int group = 0; group < 4; ++group) {
            int index, r, g, b;
            if (std::fscanf(f, "%d %d %d %d", &index, &r, &g, &b) != 4) return;
            MapEntry& e = out[line + 64 * group];
            e = {r, g, b, true};
        }
    }
}

// Interpolates one channel between successive points; the last point's
// index takes its value exactly.
template <typename Get, typename Set>
void Interpolate(int count, const int* index, Get value, Set set) {
    for (int k = 0; k + 1 < count; ++k) {
        int p = index[k], q = index[k + 1];
        if (q <= p) continue;
        float a = value(k), b = value(k + 1);
        float slope = (b - a) / static_cast<float>(q - p);
        for (int i = p; i < q; ++i) set(i, a + static_cast<float>(i - p) * slope);
    }
    set(index[count - 1], value(count - 1));
}

bool ValidPoints(std::span<const int> index) {
    if (index.empty() || index.size() > static_cast<size_t>(kMaxColorPoints)) return false;
    return std::all_of(index.begin(), index.end(),
                       [](int i) { return i >= 0 && i < kColorTableSize; });
}

}  // namespace

Status CheckMapText(std::string_view text, std::string_view name) {
    const std::string file(name);
    auto wrong = [&](int line, const std::string& what) {
        return InvalidArgument(file + ":" + std::to_string(line) + ": " + what);
    };
    int line = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) nl = text.size();
        std::string_view row = text.substr(pos, nl - pos);
        pos = nl + 1;
        ++line;
        if (!row.empty() && row.back() == '\r') row.remove_suffix(1);
        const bool blank = row.find_first_not_of(" \t") == std::string_view::npos;
        if (line > kMapFileLines) {
            if (blank) continue;
            return wrong(line, "a map file has 64 lines; this is one more");
        }
        if (blank) return wrong(line, "empty line; a map file has 64 lines of 16 integers");
        int count = 0;
        size_t i = 0;
        while (i < row.size()) {
            while (i < row.size() && (row[i] == ' ' || row[i] == '\t')) ++i;
            if (i >= row.size()) break;
            size_t start = i;
            while (i < row.size() && row[i] != ' ' && row[i] != '\t') ++i;
            std::string token(row.substr(start, i - start));
            char* end = nullptr;
            errno = 0;
            long value = std::strtol(token.c_str(), &end, 10);
            if (end == token.c_str() || *end != '\0' || errno != 0) {
                std::string shown = token.substr(0, 20);
                for (char& c : shown)
                    if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126) c = '?';
                return wrong(line, "'" + shown + "' is not an integer");
            }
            if (count >= kMapLineNumbers) return wrong(line, "more than 16 numbers");
            if (count % 4 != 0 && (value < 0 || value > 255))
                return wrong(line, "colour value " + std::to_string(value) + " is outside 0..255");
            ++count;
        }
        if (count != kMapLineNumbers)
            return wrong(line, std::to_string(count) + " numbers; a map line has 16 (index, red, green, blue four times)");
    }
    if (line < kMapFileLines)
        return InvalidArgument(file + ": ends after " + std::to_string(line) +
                               " lines; a map file has 64 lines of 16 integers");
    return Status::Ok();
}

Status CheckMapFile(std::string_view path) {
    const std::string file = DrivePath(path);
    struct stat st{};
    if (::stat(file.c_str(), &st) != 0) return NotFound(std::string(path) + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return InvalidArgument(std::string(path) + ": is a directory, not a map file");
    if (!S_ISREG(st.st_mode)) return InvalidArgument(std::string(path) + ": is not a regular file");
    constexpr off_t kMaxMapBytes = 64 * 1024;
    if (st.st_size > kMaxMapBytes)
        return InvalidArgument(std::string(path) + ": " + std::to_string(st.st_size) +
                               " bytes is larger than any map file");
    UniqueFile f(std::fopen(file.c_str(), "rb"));
    if (!f) return NotFound(std::string(path) + ": " + std::strerror(errno));
    std::string text(static_cast<size_t>(st.st_size), '\0');
    text.resize(std::fread(text.data(), 1, text.size(), f.get()));
    return CheckMapText(text, path);
}

ColorTable::ColorTable() {
    for (int i = 0; i < kColorTableSize; ++i) {
        float v = static_cast<float>(i) / 255.0f;
        m_entries[i] = {v, v, v, v};
    }
    RebuildPacked();
    m_colorPoints.count = 2;
    m_colorPoints.index = {};
    m_colorPoints.index[1] = 255;
    m_colorPoints.red[1] = m_colorPoints.green[1] = m_colorPoints.blue[1] = 1.0f;
    m_alphaPoints.count = 2;
    m_alphaPoints.index[1] = 255;
    m_alphaPoints.alpha[1] = 1.0f;
}

uint32_t ColorTable::PackEntry(const Rgba& e) {
    auto channel = [](float v) -> uint32_t {
        if (!(v > 0.0f)) return 0;  // also NaN
        if (v >= 1.0f) return 255;
        return static_cast<uint32_t>(v * 255.99f);
    };
    return channel(e.r) | channel(e.g) << 8 | channel(e.b) << 16 | channel(e.a) << 24;
}

void ColorTable::RebuildPacked() {
    for (int i = 0; i < kColorTableSize; ++i) m_packed[i] = PackEntry(m_entries[i]);
}

int ColorTable::LoadMapFiles(std::string_view colorMapFile, std::string_view opacityMapFile) {
    if (colorMapFile == kDefaultMap) return kMapsLoaded;
    UniqueFile cmap(std::fopen(DrivePath(colorMapFile).c_str(), "r"));
    if (!cmap) return kColorMapMissing;
    UniqueFile amap(std::fopen(DrivePath(opacityMapFile).c_str(), "r"));
    if (!amap) return kOpacityMapMissing;

    std::array<MapEntry, kColorTableSize> colors{}, opacities{};
    ReadMapFile(cmap.get(), colors);
    ReadMapFile(amap.get(), opacities);
    for (int i = 0; i < kColorTableSize; ++i) {
        Rgba& e = m_entries[i];
        if (colors[i].read) {
            e.r = static_cast<float>(colors[i].r) * kByteToUnit;
            e.g = static_cast<float>(colors[i].g) * kByteToUnit;
            e.b = static_cast<float>(colors[i].b) * kByteToUnit;
        }
        if (opacities[i].read) {
            const MapEntry& o = opacities[i];
            int weighted = static_cast<int>(0.3 * o.r + 0.6 * o.g + 0.1 * o.b + 1e-9);
            e.a = static_cast<float>(weighted) / 255.0f;
        }
    }
    RebuildPacked();
    return kMapsLoaded;
}

bool ColorTable::SetColorPoints(std::span<const int> index, std::span<const float> red,
                                std::span<const float> green, std::span<const float> blue) {
    if (!ValidPoints(index) || red.size() < index.size() || green.size() < index.size() ||
        blue.size() < index.size())
        return false;
    const int n = static_cast<int>(index.size());
    ColorPoints& cp = m_colorPoints;
    cp.count = n;
    for (int k = 0; k < n; ++k) {
        cp.index[k] = index[k];
        cp.red[k] = red[k];
        cp.green[k] = green[k];
        cp.blue[k] = blue[k];
    }
    Interpolate(n, cp.index.data(), [&](int k) { return cp.red[k]; },
                [&](int i, float v) { m_entries[i].r = v; });
    Interpolate(n, cp.index.data(), [&](int k) { return cp.green[k]; },
                [&](int i, float v) { m_entries[i].g = v; });
    Interpolate(n, cp.index.data(), [&](int k) { return cp.blue[k]; },
                [&](int i, float v) { m_entries[i].b = v; });
    if (!m_alphaGiven) {
        for (int i = 0; i <= cp.index[n - 1]; ++i) {
            Rgba& e = m_entries[i];
            e.a = 0.1f * e.r + 0.6f * e.g + 0.3f * e.b;
        }
        m_alphaPoints.count = n;
        for (int k = 0; k < n; ++k) {
            m_alphaPoints.index[k] = cp.index[k];
            m_alphaPoints.alpha[k] = 0.1f * cp.red[k] + 0.6f * cp.green[k] + 0.3f * cp.blue[k];
        }
    }
    RebuildPacked();
    m_alphaGiven = false;
    return true;
}

bool ColorTable::SetAlphaPoints(std::span<const int> index, std::span<const float> alpha) {
    if (!ValidPoints(index) || alpha.size() < index.size()) return false;
    const int n = static_cast<int>(index.size());
    AlphaPoints& ap = m_alphaPoints;
    ap.count = n;
    for (int k = 0; k < n; ++k) {
        ap.index[k] = index[k];
        ap.alpha[k] = alpha[k];
    }
    Interpolate(n, ap.index.data(), [&](int k) { return ap.alpha[k]; },
                [&](int i, float v) { m_entries[i].a = v; });
    m_alphaGiven = true;
    return true;
}

}  // namespace voxa
