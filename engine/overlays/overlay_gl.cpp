#include "engine/overlays/overlay_gl.h"

#include "engine/overlays/bitmap_font.h"

#include <GL/glu.h>

#include <algorithm>
#include <bit>
#include <cmath>

namespace voxa {

// Texel words are uploaded as RGBA bytes: their memory order must be R, G,
// B, A, which the word layout gives on little-endian machines.
static_assert(std::endian::native == std::endian::little, "texel words are R, G, B, A in memory");

namespace {

constexpr size_t kMaxLabelChars = 255;
// The fixed screen view of the colour bar and the plots.
constexpr double kScreenNear = 0.5, kScreenFar = 1.5;
constexpr float kPlotRatio = 1.0f;

// Sets the fixed-function state every overlay needs and restores what the
// caller had on destruction (attribute stacks plus the texture matrix).
class OverlayState {
public:
    explicit OverlayState(GLuint texture) {
        glPushAttrib(GL_CURRENT_BIT | GL_ENABLE_BIT | GL_TEXTURE_BIT | GL_COLOR_BUFFER_BIT |
                     GL_DEPTH_BUFFER_BIT | GL_LIST_BIT | GL_TRANSFORM_BIT | GL_POLYGON_BIT);
        glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
        glEnable(GL_TEXTURE_2D);
        glDisable(GL_TEXTURE_1D);
        glEnable(GL_BLEND);
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
        glDisable(GL_DEPTH_TEST);
        glDisable(GL_CULL_FACE);
        glDisable(GL_LIGHTING);
        glDisable(GL_ALPHA_TEST);
        glDisable(GL_FOG);
        glDisable(GL_STENCIL_TEST);
        glDisable(GL_COLOR_LOGIC_OP);
        glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
        glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
        glBindTexture(GL_TEXTURE_2D, texture);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
        glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
        glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
        glPixelStorei(GL_UNPACK_SWAP_BYTES, GL_FALSE);
        glMatrixMode(GL_TEXTURE);
        glPushMatrix();
        glLoadIdentity();
    }
    ~OverlayState() {
        glMatrixMode(GL_TEXTURE);
        glPopMatrix();
        glPopClientAttrib();
        glPopAttrib();
    }
    OverlayState(const OverlayState&) = delete;
    OverlayState& operator=(const OverlayState&) = delete;
};

// The screen view of the colour bar and the plots:
// glFrustum(-s, s, -s, s, 0.5, 1.5) and a look from the origin down -z
// with y up, so the plane z = -1 shows x and y from -2s to 2s. The
// caller's projection and modelview come back on destruction.
class ScreenView {
public:
    explicit ScreenView(float s) {
        glMatrixMode(GL_PROJECTION);
        glPushMatrix();
        glLoadIdentity();
        glFrustum(-s, s, -s, s, kScreenNear, kScreenFar);
        glMatrixMode(GL_MODELVIEW);
        glPushMatrix();
        glLoadIdentity();
        gluLookAt(0.0, 0.0, 0.0, 0.0, 0.0, -1.0, 0.0, 1.0, 0.0);
    }
    ~ScreenView() {
        glMatrixMode(GL_MODELVIEW);
        glPopMatrix();
        glMatrixMode(GL_PROJECTION);
        glPopMatrix();
    }
    ScreenView(const ScreenView&) = delete;
    ScreenView& operator=(const ScreenView&) = delete;
};

void DrawTexturedQuad(const TexturedQuad& q) {
    glBegin(GL_QUADS);
    for (size_t i = 0; i < q.corners.size(); ++i) {
        glTexCoord2f(q.tex[i][0], q.tex[i][1]);
        glVertex3f(q.corners[i].x, q.corners[i].y, q.corners[i].z);
    }
    glEnd();
}

void FlushAndFinish() {
    glFlush();
    glFinish();
}

// Clears colour and depth to white for a plot (the clear colour is the
// caller's again when the overlay state is restored).
void ClearToWhite() {
    glClearColor(1.0f, 1.0f, 1.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
}

// Labels are drawn untextured and unblended, in the current colour.
class LabelMode {
public:
    LabelMode() {
        glDisable(GL_TEXTURE_2D);
        glDisable(GL_BLEND);
    }
    ~LabelMode() {
        FlushAndFinish();
        glEnable(GL_BLEND);
        glEnable(GL_TEXTURE_2D);
    }
    LabelMode(const LabelMode&) = delete;
    LabelMode& operator=(const LabelMode&) = delete;
};

}  // namespace

OverlayDrawer::OverlayDrawer(GLuint texture) : m_texture(texture) {}

void OverlayDrawer::Upload(const RgbaImage& image) {
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, image.width, image.height, 0, GL_RGBA,
                 GL_UNSIGNED_BYTE, image.texels.data());
}

void OverlayDrawer::DrawSolidQuads(std::span<const OverlayQuad> quads) {
    bool uploaded = false;
    uint32_t current = 0;
    for (const OverlayQuad& q : quads) {
        if (!uploaded || q.rgba != current) {
            Upload(MakeSolidImage(q.rgba));
            uploaded = true;
            current = q.rgba;
        }
        // One colour everywhere: sample the middle of the image, away from
        // the clamped border.
        glBegin(GL_QUADS);
        glTexCoord2f(0.5f, 0.5f);
        for (const Vertex3& v : q.corners) glVertex3f(v.x, v.y, v.z);
        glEnd();
    }
}

void OverlayDrawer::DrawFloorAndBox(OverlayPass pass, const std::array<float, 6>& limits,
                                    const std::array<float, 3>& eye, const FloorSettings& floor,
                                    const BoxSettings& box) {
    const OverlayGeometry geo = FloorAndBoxQuads(limits, eye, floor, box, pass);
    if (geo.floor.empty() && geo.box.empty()) return;
    OverlayState state(m_texture);
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
    if (!geo.floor.empty()) {
        DrawSolidQuads(geo.floor);
        FlushAndFinish();
    }
    if (!geo.box.empty()) {
        DrawSolidQuads(geo.box);
        FlushAndFinish();
    }
}

void OverlayDrawer::DrawColorBar(const uint32_t packed[256], std::span<const Tick> ticks,
                                 float screenRatio) {
    if (!std::isfinite(screenRatio) || screenRatio == 0.0f) return;
    const ColorBarLayout layout = ColorBarLayoutFor(!ticks.empty());
    OverlayState state(m_texture);
    ScreenView view(screenRatio);
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);

    Upload(MakeColorBarBackdrop());
    DrawTexturedQuad(ColorBarBackdropQuad(layout));
    Upload(MakeColorBarImage(packed, ticks));
    DrawTexturedQuad(ColorBarQuad(layout));
    FlushAndFinish();

    if (ticks.empty()) return;
    EnsureFont();
    LabelMode labels;
    for (const Tick& t : ticks) DrawLabel(ColorBarLabelPosition(layout, t.position), t.label);
}

void OverlayDrawer::DrawCrossPlot(const JointCounts& joint, std::span<const Tick> xTicks,
                                  std::span<const Tick> yTicks) {
    OverlayState state(m_texture);
    ClearToWhite();
    ScreenView view(kPlotRatio);
    glColor4f(0.0f, 0.0f, 0.0f, 1.0f);
    EnsureFont();
    {
        LabelMode labels;
        for (const Tick& t : xTicks) DrawLabel(CrossXLabelPosition(t.position), t.label);
        for (const Tick& t : yTicks) DrawLabel(CrossYLabelPosition(t.position), t.label);
    }
    Upload(MakeCrossImage(joint, xTicks, yTicks));
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
    DrawTexturedQuad(CrossPlotQuad());
    FlushAndFinish();
}

PdfPlot OverlayDrawer::DrawPdfPlot(const SingleCounts& counts,
                                   std::span<const Tick> colourBarTicks) {
    PdfPlot plot = MakePdfPlot(counts, colourBarTicks);
    OverlayState state(m_texture);
    ClearToWhite();
    ScreenView view(kPlotRatio);
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
    Upload(plot.image);
    DrawTexturedQuad(PdfPlotQuad());
    FlushAndFinish();

    EnsureFont();
    glColor4f(0.0f, 0.0f, 0.0f, 1.0f);
    LabelMode labels;
    for (const Tick& t : plot.xTicks) DrawLabel(PdfXLabelPosition(t.position), t.label);
    for (const Tick& t : plot.yTicks) DrawLabel(PdfYLabelPosition(t.position), t.label);
    DrawLabel(PdfCaptionPosition(), kPdfCaption);
    return plot;
}

void OverlayDrawer::FontStale() { m_fontReady = false; }

void OverlayDrawer::EnsureFont() {
    // The lists are checked as well as the mark: a context made without the
    // mark being set would otherwise draw no labels.
    if (m_fontReady && glIsList(kFontListBase + 'A') == GL_TRUE) return;
    CompileFontLists(kFontListBase);
    m_fontReady = true;
}

void OverlayDrawer::DrawLabel(const Vertex3& rasterPos, std::string_view text) {
    const size_t n = std::min(text.size(), kMaxLabelChars);
    glRasterPos3f(rasterPos.x, rasterPos.y, rasterPos.z);
    glListBase(kFontListBase);
    glCallLists(static_cast<GLsizei>(n), GL_UNSIGNED_BYTE, text.data());
}

}  // namespace voxa
