#include "engine/overlays/overlay_gl.h"

#include "engine/overlays/bitmap_font.h"
#include "engine/gl/gl_state.h"

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

}  // namespace

OverlayDrawer::OverlayDrawer(GLuint texture) : m_texture(texture) {}

void OverlayDrawer::Upload(const RgbaImage& image) {
    GL_CHECK(glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, image.width, image.height, 0, GL_RGBA,
                          GL_UNSIGNED_BYTE, image.texels.data()));
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
    OverlayStateScope state(m_texture);
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
    OverlayStateScope state(m_texture);
    ScreenView view(screenRatio);
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);

    Upload(MakeColorBarBackdrop());
    DrawTexturedQuad(ColorBarBackdropQuad(layout));
    Upload(MakeColorBarImage(packed, ticks));
    DrawTexturedQuad(ColorBarQuad(layout));
    FlushAndFinish();

    if (ticks.empty()) return;
    EnsureFont();
    UntexturedScope labels;
    for (const Tick& t : ticks) DrawLabel(ColorBarLabelPosition(layout, t.position), t.label);
}

void OverlayDrawer::DrawCrossPlot(const JointCounts& joint, std::span<const Tick> xTicks,
                                  std::span<const Tick> yTicks) {
    OverlayStateScope state(m_texture);
    ClearToWhite();
    ScreenView view(kPlotRatio);
    glColor4f(0.0f, 0.0f, 0.0f, 1.0f);
    EnsureFont();
    {
        UntexturedScope labels;
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
    OverlayStateScope state(m_texture);
    ClearToWhite();
    ScreenView view(kPlotRatio);
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
    Upload(plot.image);
    DrawTexturedQuad(PdfPlotQuad());
    FlushAndFinish();

    EnsureFont();
    glColor4f(0.0f, 0.0f, 0.0f, 1.0f);
    UntexturedScope labels;
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
