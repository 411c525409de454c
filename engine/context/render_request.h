// The two fixed records of the render context:
//
// - RenderRequestBlock (564 bytes): everything a frame depends on. The view,
//   map and quality operations write it; SetDoRender hands a copy to the
//   renderer, which keeps it as the current block of the frame.
// - Renderparams (900 bytes): the view key that SaveKey fills and RestorKey
//   takes; it travels by value across the wire, so its layout is fixed.
//
// Both are plain data with fixed offsets (checked at compile time below).
// The frame keyword text of the render queue ("eye 0 0 10", "cnot 0 0 0 0",
// ...) fills a Renderparams and a set of control points through
// ApplyFrameKeywords. Plain data and pure functions: any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace voxa {

inline constexpr int kNameField = 100;  // char[100] name fields: 99 characters + terminator
inline constexpr int kAuxClipPlanes = 6;

inline constexpr char kDefaultMapName[] = "default";
inline constexpr char kDefaultImageName[] = "Test_Image.pix";
inline constexpr char kDefaultMovieName[] = "Test_Movie.pix";

// Copies text into a char[100]-style field, cut at size - 1 characters and
// always terminated. Returns false when the text was cut.
bool CopyNameField(char* field, size_t size, std::string_view text);
template <size_t N>
bool CopyNameField(char (&field)[N], std::string_view text) {
    return CopyNameField(field, N, text);
}
// Reads a char[N] field that may lack its terminator (a record from the
// wire): at most N - 1 characters.
template <size_t N>
std::string_view NameFieldView(const char (&field)[N]) {
    size_t n = 0;
    while (n < N - 1 && field[n] != '\0') ++n;
    return std::string_view(field, n);
}

struct RenderRequestBlock {
    int32_t firstRequest;          // 0: set at construction, cleared when a render takes it
    char zbName[kNameField];       // 4
    int32_t frustumChanged;        // 104
    int32_t width;                 // 108, pixels
    int32_t height;                // 112
    float panelCenter[3];          // 116
    float panelNormal[3];          // 128
    float panelUp[3];              // 140
    float halfWidth;               // 152
    float halfHeight;              // 156
    float fieldOfView;             // 160, degrees
    float aspect;                  // 164, height / width
    int32_t mapFlag;               // 168
    char cmapName[kNameField];     // 172
    char amapName[kNameField];     // 272
    int32_t viewReset;             // 372
    float eye[3];                  // 376
    float center[3];               // 388
    float up[3];                   // 400
    float nearClip;                // 412
    float farClip;                 // 416
    int32_t auxClipEnable[kAuxClipPlanes];    // 420
    float auxClipPlane[kAuxClipPlanes][4];    // 444
    float opacity;                 // 540 (copy)
    float nplanes;                 // 544 (copy)
    float maxplanes;               // 548 (copy)
    int32_t pixelError;            // 552 (copy)
    float angleError;              // 556 (copy)
    float sizeError;               // 560 (copy)
};

static_assert(sizeof(RenderRequestBlock) == 564);
static_assert(offsetof(RenderRequestBlock, zbName) == 4);
static_assert(offsetof(RenderRequestBlock, frustumChanged) == 104);
static_assert(offsetof(RenderRequestBlock, width) == 108);
static_assert(offsetof(RenderRequestBlock, height) == 112);
static_assert(offsetof(RenderRequestBlock, panelCenter) == 116);
static_assert(offsetof(RenderRequestBlock, panelNormal) == 128);
static_assert(offsetof(RenderRequestBlock, panelUp) == 140);
static_assert(offsetof(RenderRequestBlock, halfWidth) == 152);
static_assert(offsetof(RenderRequestBlock, halfHeight) == 156);
static_assert(offsetof(RenderRequestBlock, fieldOfView) == 160);
static_assert(offsetof(RenderRequestBlock, aspect) == 164);
static_assert(offsetof(RenderRequestBlock, mapFlag) == 168);
static_assert(offsetof(RenderRequestBlock, cmapName) == 172);
static_assert(offsetof(RenderRequestBlock, amapName) == 272);
static_assert(offsetof(RenderRequestBlock, viewReset) == 372);
static_assert(offsetof(RenderRequestBlock, eye) == 376);
static_assert(offsetof(RenderRequestBlock, center) == 388);
static_assert(offsetof(RenderRequestBlock, up) == 400);
static_assert(offsetof(RenderRequestBlock, nearClip) == 412);
static_assert(offsetof(RenderRequestBlock, farClip) == 416);
static_assert(offsetof(RenderRequestBlock, auxClipEnable) == 420);
static_assert(offsetof(RenderRequestBlock, auxClipPlane) == 444);
static_assert(offsetof(RenderRequestBlock, opacity) == 540);
static_assert(offsetof(RenderRequestBlock, nplanes) == 544);
static_assert(offsetof(RenderRequestBlock, maxplanes) == 548);
static_assert(offsetof(RenderRequestBlock, pixelError) == 552);
static_assert(offsetof(RenderRequestBlock, angleError) == 556);
static_assert(offsetof(RenderRequestBlock, sizeError) == 560);

// The block with its initial values (1024 x 1024, field of view 34 degrees,
// eye (0,0,10), maps "default", flags 1, ...).
RenderRequestBlock InitialRequestBlock();

struct Renderparams {
    float opacity;                 // 0
    char cmapname[kNameField];     // 4
    char amapname[kNameField];     // 104
    int32_t nx, ny, nz;            // 204
    char bobname[kNameField];      // 216
    char zbname[kNameField];       // 316
    int32_t isectx, isecty;        // 416
    int32_t nsectx, nsecty;        // 424
    int32_t width, height;         // 432
    int32_t hpos, vpos;            // 440
    int32_t moviemode;             // 448
    int32_t movieframes;           // 452
    char imagename[kNameField];    // 456
    char moviename[kNameField];    // 556
    float fovangle;                // 656
    float eyeX, eyeY, eyeZ;        // 660
    float centerX, centerY, centerZ;  // 672
    float upX, upY, upZ;           // 684
    float eyedirX, eyedirY, eyedirZ;  // 696
    int32_t viewdefined[4];        // 708
    int32_t ifauxclip[kAuxClipPlanes];   // 724
    float auxclip[kAuxClipPlanes][4];    // 748
    float my_near;                 // 844
    float my_far;                  // 848
    float softdistance;            // 852
    float nplanes;                 // 856
    float maxplanes;               // 860
    int32_t boxcolor;              // 864
    int32_t saveslabs;             // 868
    int32_t movieframe;            // 872
    int32_t nfpk;                  // 876
    int32_t ntpf;                  // 880
    float nrpk;                    // 884
    int32_t icoltolerance;         // 888
    float angletolerance;          // 892
    float vrtolerance;             // 896
};

static_assert(sizeof(Renderparams) == 900);
static_assert(offsetof(Renderparams, cmapname) == 4);
static_assert(offsetof(Renderparams, amapname) == 104);
static_assert(offsetof(Renderparams, nx) == 204);
static_assert(offsetof(Renderparams, ny) == 208);
static_assert(offsetof(Renderparams, nz) == 212);
static_assert(offsetof(Renderparams, bobname) == 216);
static_assert(offsetof(Renderparams, zbname) == 316);
static_assert(offsetof(Renderparams, isectx) == 416);
static_assert(offsetof(Renderparams, isecty) == 420);
static_assert(offsetof(Renderparams, nsectx) == 424);
static_assert(offsetof(Renderparams, nsecty) == 428);
static_assert(offsetof(Renderparams, width) == 432);
static_assert(offsetof(Renderparams, height) == 436);
static_assert(offsetof(Renderparams, hpos) == 440);
static_assert(offsetof(Renderparams, vpos) == 444);
static_assert(offsetof(Renderparams, moviemode) == 448);
static_assert(offsetof(Renderparams, movieframes) == 452);
static_assert(offsetof(Renderparams, imagename) == 456);
static_assert(offsetof(Renderparams, moviename) == 556);
static_assert(offsetof(Renderparams, fovangle) == 656);
static_assert(offsetof(Renderparams, eyeX) == 660);
static_assert(offsetof(Renderparams, centerX) == 672);
static_assert(offsetof(Renderparams, upX) == 684);
static_assert(offsetof(Renderparams, eyedirX) == 696);
static_assert(offsetof(Renderparams, viewdefined) == 708);
static_assert(offsetof(Renderparams, ifauxclip) == 724);
static_assert(offsetof(Renderparams, auxclip) == 748);
static_assert(offsetof(Renderparams, my_near) == 844);
static_assert(offsetof(Renderparams, my_far) == 848);
static_assert(offsetof(Renderparams, softdistance) == 852);
static_assert(offsetof(Renderparams, nplanes) == 856);
static_assert(offsetof(Renderparams, maxplanes) == 860);
static_assert(offsetof(Renderparams, boxcolor) == 864);
static_assert(offsetof(Renderparams, saveslabs) == 868);
static_assert(offsetof(Renderparams, movieframe) == 872);
static_assert(offsetof(Renderparams, nfpk) == 876);
static_assert(offsetof(Renderparams, ntpf) == 880);
static_assert(offsetof(Renderparams, nrpk) == 884);
static_assert(offsetof(Renderparams, icoltolerance) == 888);
static_assert(offsetof(Renderparams, angletolerance) == 892);
static_assert(offsetof(Renderparams, vrtolerance) == 896);

// ---------------------------------------------------------------------------
// Frame keyword text (one frame of a queued movie).

inline constexpr int kMaxControlPoints = 32;
inline constexpr int kMaxFrameKeywordLines = 100;

// Control points collected from "notsac", "anot" and "cnot" lines.
struct FrameControlPoints {
    int declaredAlphaCount = -1;  // "notsac" first number; -1 when no line gave it
    int declaredColorCount = -1;  // "notsac" second number
    int alphaCount = 0;           // "anot" lines taken (at most 32)
    std::array<int, kMaxControlPoints> alphaIndex{};
    std::array<float, kMaxControlPoints> alpha{};
    int colorCount = 0;           // "cnot" lines taken (at most 32)
    std::array<int, kMaxControlPoints> colorIndex{};
    std::array<float, kMaxControlPoints> red{}, green{}, blue{};

    // The counts to hand to SetLUTia / SetLUTirgb: the declared count when
    // it is 1..32 and no more than the points given, else the points given.
    // A declared count beyond the given points would hand over points that
    // were never set, so it is cut to what was given.
    int AlphaCountToUse() const;
    int ColorCountToUse() const;
};

// Applies the frame keyword text to key and points: lines separated by
// "\n" (a "\r" before it is dropped), at most 100, an empty line ends the
// text. Unknown first words are ignored; fields a line does not supply keep
// their values. Returns the number of lines read.
int ApplyFrameKeywords(std::string_view text, Renderparams& key, FrameControlPoints& points);

// Applies a frame keyword text through a render target (a render context
// or a server's work object, both with SaveKey/RestorKey/SetLUTia/
// SetLUTirgb): the target's key is taken, its clip planes cleared, the
// keywords written into it and the key restored, then the colour and
// opacity control points are set. key and points are left as applied.
template <typename Target>
void ApplyFrameKeywordsTo(Target& target, std::string_view text, Renderparams& key, FrameControlPoints& points) {
    std::memset(&key, 0, sizeof(key));
    target.SaveKey(&key);
    std::memset(key.ifauxclip, 0, sizeof(key.ifauxclip));
    std::memset(key.auxclip, 0, sizeof(key.auxclip));
    ApplyFrameKeywords(text, key, points);
    target.RestorKey(&key);
    if (int n = points.AlphaCountToUse(); n > 0) target.SetLUTia(n, points.alphaIndex.data(), points.alpha.data());
    if (int n = points.ColorCountToUse(); n > 0)
        target.SetLUTirgb(n, points.colorIndex.data(), points.red.data(), points.green.data(), points.blue.data());
}

}  // namespace voxa
