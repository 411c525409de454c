#include "engine/context/render_request.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace voxa {

bool CopyNameField(char* field, size_t size, std::string_view text) {
    if (size == 0) return text.empty();
    size_t n = std::min(text.size(), size - 1);
    // Stop at an embedded terminator, as a C string copy would.
    size_t nul = text.substr(0, n).find('\0');
    if (nul != std::string_view::npos) n = nul;
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, size - n);
    return n == text.size() || nul != std::string_view::npos;
}

RenderRequestBlock InitialRequestBlock() {
    RenderRequestBlock b;
    std::memset(&b, 0, sizeof(b));
    const float tan17 = std::tan(17.0f * 0.017453292f);
    b.firstRequest = 1;
    b.frustumChanged = 1;
    b.width = 1024;
    b.height = 1024;
    b.panelCenter[1] = 1.0f;
    b.panelNormal[1] = 1.0f;
    b.panelUp[2] = 1.0f;
    b.halfWidth = tan17;
    b.halfHeight = tan17;
    b.fieldOfView = 34.0f;
    b.aspect = 1.0f;
    b.mapFlag = 1;
    CopyNameField(b.cmapName, kDefaultMapName);
    CopyNameField(b.amapName, kDefaultMapName);
    b.viewReset = 1;
    b.eye[2] = 10.0f;
    b.up[1] = 1.0f;
    b.nearClip = 0.5f;
    b.farClip = 20.5f;
    b.opacity = 1.0f;
    b.nplanes = 1.0f;
    b.maxplanes = 1.0f;
    b.pixelError = 5;
    b.angleError = 0.02f;
    b.sizeError = 8.0f;
    return b;
}

int FrameControlPoints::AlphaCountToUse() const {
    if (declaredAlphaCount >= 1 && declaredAlphaCount <= kMaxControlPoints &&
        declaredAlphaCount <= alphaCount)
        return declaredAlphaCount;
    return alphaCount;
}

int FrameControlPoints::ColorCountToUse() const {
    if (declaredColorCount >= 1 && declaredColorCount <= kMaxControlPoints &&
        declaredColorCount <= colorCount)
        return declaredColorCount;
    return colorCount;
}

namespace {

// First word of a line and the rest.
std::string_view FirstWord(std::string_view line) {
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos) return {};
    size_t end = line.find_first_of(" \t", start);
    return line.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

void ApplyLine(const char* line, std::string_view word, Renderparams& key, FrameControlPoints& pts) {
    if (word == "opfov") {
        std::sscanf(line, " opfov %f %f", &key.opacity, &key.fovangle);
    } else if (word == "eye") {
        std::sscanf(line, " eye %f %f %f", &key.eyeX, &key.eyeY, &key.eyeZ);
    } else if (word == "center") {
        std::sscanf(line, " center %f %f %f", &key.centerX, &key.centerY, &key.centerZ);
    } else if (word == "up") {
        std::sscanf(line, " up %f %f %f", &key.upX, &key.upY, &key.upZ);
    } else if (word == "eyedir") {
        std::sscanf(line, " eyedir %f %f %f", &key.eyedirX, &key.eyedirY, &key.eyedirZ);
    } else if (word == "nearfarnp") {
        std::sscanf(line, " nearfarnp %f %f %f", &key.my_near, &key.my_far, &key.nplanes);
    } else if (word == "tolerances") {
        float pixelError = static_cast<float>(key.icoltolerance);
        int n = std::sscanf(line, " tolerances %f %f %f", &key.angletolerance, &key.vrtolerance,
                            &pixelError);
        if (n >= 3 && std::isfinite(pixelError) && std::fabs(pixelError) < 2.0e9f)
            key.icoltolerance = static_cast<int32_t>(pixelError);
    } else if (word == "ifauxclip") {
        int* e = key.ifauxclip;
        std::sscanf(line, " ifauxclip %d %d %d %d %d %d", &e[0], &e[1], &e[2], &e[3], &e[4], &e[5]);
    } else if (word == "auxclip") {
        float(*p)[4] = key.auxclip;
        std::sscanf(line, " auxclip %f %f %f %f %f %f", &p[0][3], &p[1][3], &p[2][3], &p[3][3],
                    &p[4][3], &p[5][3]);
    } else if (word == "notsac") {
        std::sscanf(line, " notsac %d %d", &pts.declaredAlphaCount, &pts.declaredColorCount);
    } else if (word == "anot") {
        if (pts.alphaCount >= kMaxControlPoints) return;
        int index = 0;
        float alpha = 0.0f;
        if (std::sscanf(line, " anot %d %f", &index, &alpha) < 1) return;
        pts.alphaIndex[pts.alphaCount] = index;
        pts.alpha[pts.alphaCount] = alpha;
        ++pts.alphaCount;
    } else if (word == "cnot") {
        if (pts.colorCount >= kMaxControlPoints) return;
        int index = 0;
        float r = 0.0f, g = 0.0f, b = 0.0f;
        if (std::sscanf(line, " cnot %d %f %f %f", &index, &r, &g, &b) < 1) return;
        int k = pts.colorCount++;
        pts.colorIndex[k] = index;
        pts.red[k] = r;
        pts.green[k] = g;
        pts.blue[k] = b;
    }
}

}  // namespace

int ApplyFrameKeywords(std::string_view text, Renderparams& key, FrameControlPoints& points) {
    int lines = 0;
    size_t pos = 0;
    while (pos <= text.size() && lines < kMaxFrameKeywordLines) {
        size_t nl = text.find('\n', pos);
        std::string_view line =
            text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) break;
        ++lines;
        std::string owned(line);  // sscanf needs a terminated line
        ApplyLine(owned.c_str(), FirstWord(line), key, points);
        if (nl == std::string_view::npos) break;
        pos = nl + 1;
    }
    return lines;
}

}  // namespace voxa
