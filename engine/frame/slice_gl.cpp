#include "engine/frame/slice_gl.h"

#include "engine/frame/front_to_back.h"
#include "engine/gl/gl_palette.h"
#include "engine/gl/gl_state.h"
#include "engine/bricks/brick_store.h"
#include "engine/bricks/test_volume.h"
#include "engine/timers/timers.h"

#include <GL/gl.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace voxa {

namespace {


std::span<const uint8_t> Layout(const uint8_t* bytes, size_t size) {
    return bytes != nullptr ? std::span<const uint8_t>(bytes, size) : std::span<const uint8_t>();
}

// Narrows [pLo, pHi] (world, the quad's span on one axis, with texture
// coordinates cLo and cHi at its ends) to the positions whose texture
// coordinate lies in the grown footprint of texels first..last of a side
// of `padded` texels. False when nothing is left.
bool NarrowAxis(float pLo, float pHi, float cLo, float cHi, int first, int last, int padded,
                float& outLo, float& outHi) {
    const double p = static_cast<double>(padded);
    // Reachable: ((first - 0.5)/P, (last + 1.5)/P); half a texel more each side.
    const double fLo = (first - 1.0) / p;
    const double fHi = (last + 2.0) / p;
    const double dc = static_cast<double>(cHi) - static_cast<double>(cLo);
    if (!(std::fabs(dc) > 0)) {
        // No texture gradient across the quad: all of it or none.
        if (cLo < fLo || cLo > fHi) return false;
        outLo = pLo;
        outHi = pHi;
        return true;
    }
    const double scale = (static_cast<double>(pHi) - pLo) / dc;
    double a = pLo + (fLo - cLo) * scale;
    double b = pLo + (fHi - cLo) * scale;
    if (a > b) std::swap(a, b);
    const double lo = std::max<double>(a, pLo);
    const double hi = std::min<double>(b, pHi);
    if (lo > hi) return false;
    outLo = static_cast<float>(lo);
    outHi = static_cast<float>(hi);
    return true;
}

// The whole quad of a slice as a span on its pass's in-plane axes.
QuadSpan WholeSpan(const PlannedSlice& slice, PassKind kind) {
    const size_t sAxis = static_cast<size_t>(InPlaneAxisS(kind));
    const size_t tAxis = static_cast<size_t>(InPlaneAxisT(kind));
    return {slice.quad[0].pos[sAxis], slice.quad[2].pos[sAxis], slice.quad[0].pos[tAxis],
            slice.quad[2].pos[tAxis]};
}

void Multiply(const std::array<float, 16>& m, const double in[4], double out[4]) {
    for (int r = 0; r < 4; ++r)
        out[r] = m[static_cast<size_t>(r)] * in[0] + m[static_cast<size_t>(4 + r)] * in[1] +
                 m[static_cast<size_t>(8 + r)] * in[2] + m[static_cast<size_t>(12 + r)] * in[3];
}

}  // namespace

std::optional<QuadSpan> TightenQuad(const std::array<SliceVertex, 4>& quad, PassKind kind,
                                    const TexelRect& visible, int texWidth, int texHeight) {
    if (visible.Empty() || texWidth <= 0 || texHeight <= 0) return std::nullopt;
    const int sAxis = InPlaneAxisS(kind), tAxis = InPlaneAxisT(kind);
    const SliceVertex& low = quad[0];   // (s lo, t lo)
    const SliceVertex& high = quad[2];  // (s hi, t hi)
    QuadSpan span;
    if (!NarrowAxis(low.pos[static_cast<size_t>(sAxis)], high.pos[static_cast<size_t>(sAxis)],
                    low.s, high.s, visible.x0, visible.x1, texWidth, span.sLo, span.sHi))
        return std::nullopt;
    if (!NarrowAxis(low.pos[static_cast<size_t>(tAxis)], high.pos[static_cast<size_t>(tAxis)],
                    low.t, high.t, visible.y0, visible.y1, texHeight, span.tLo, span.tHi))
        return std::nullopt;
    return span;
}

ScissorBox ProjectedBox(const std::array<std::array<float, 3>, 4>& corners,
                        const std::array<float, 16>& projection,
                        const std::array<float, 16>& modelView, const std::array<int, 4>& viewport) {
    const ScissorBox whole{viewport[0], viewport[1], viewport[2], viewport[3]};
    double xMin = HUGE_VAL, xMax = -HUGE_VAL, yMin = HUGE_VAL, yMax = -HUGE_VAL;
    for (const auto& c : corners) {
        const double world[4] = {c[0], c[1], c[2], 1.0};
        double eye[4], clip[4];
        Multiply(modelView, world, eye);
        Multiply(projection, eye, clip);
        // Near the eye plane the projection runs away: keep the whole view.
        if (!(clip[3] > 1e-6) || !std::isfinite(clip[0]) || !std::isfinite(clip[1]))
            return whole;
        const double wx = viewport[0] + (clip[0] / clip[3] + 1.0) * 0.5 * viewport[2];
        const double wy = viewport[1] + (clip[1] / clip[3] + 1.0) * 0.5 * viewport[3];
        xMin = std::min(xMin, wx);
        xMax = std::max(xMax, wx);
        yMin = std::min(yMin, wy);
        yMax = std::max(yMax, wy);
    }
    constexpr double kGrow = 2.0;  // pixels: rasterization rounding, pixel centres
    const double x0 = std::max<double>(std::floor(xMin - kGrow), viewport[0]);
    const double y0 = std::max<double>(std::floor(yMin - kGrow), viewport[1]);
    const double x1 = std::min<double>(std::ceil(xMax + kGrow), viewport[0] + viewport[2]);
    const double y1 = std::min<double>(std::ceil(yMax + kGrow), viewport[1] + viewport[3]);
    if (!(x1 > x0) || !(y1 > y0)) return {};
    return {static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0),
            static_cast<int>(y1 - y0)};
}

void SliceDrawer::MakeTransposes(PassKind kind, const BrickBytes& bytes, WorkBuffers& buffers,
                                 bool paired, bool timers, TimerRecorder& recorder) {
    if (kind == PassKind::kXY) return;
    bool& valid = kind == PassKind::kYZ ? buffers.yzValid : buffers.xzValid;
    if (valid) return;
    TimerLabels labels = TransposeTimerLabels(kind);
    if (timers) recorder.StampTimer(labels.begin);
    const size_t nativeSize = NativeBytesRead(bytes.shape);
    const size_t bufferSize = static_cast<size_t>(buffers.Size());
    auto transpose = kind == PassKind::kYZ ? TransposeYZ : TransposeXZ;
    // The transposes leave the bytes beyond the brick's sides alone: those
    // of a brick smaller than its padding are set to the pad value first,
    // so that nothing drawn depends on an earlier brick's bytes (texels
    // there are read with weight 0, but they count for the visible part).
    const bool padded = bytes.shape.sides != bytes.shape.padded ||
                        CopiedRowsY(bytes.shape) != bytes.shape.padded[1];
    const size_t paddedSize = std::min(bufferSize, PaddedVolume(bytes.shape));
    unsigned char* mainOut = kind == PassKind::kYZ ? buffers.MainYZ() : buffers.MainXZ();
    if (padded) std::memset(mainOut, kPadValue, paddedSize);
    transpose(Layout(bytes.main, nativeSize), std::span<uint8_t>(mainOut, bufferSize), bytes.shape);
    if (paired && bytes.second != nullptr) {
        unsigned char* secondOut = kind == PassKind::kYZ ? buffers.SecondYZ() : buffers.SecondXZ();
        if (padded) std::memset(secondOut, kPadValue, paddedSize);
        transpose(Layout(bytes.second, nativeSize), std::span<uint8_t>(secondOut, bufferSize),
                  bytes.shape);
    }
    if (timers) recorder.StampTimer(labels.end);
    valid = true;
}

// Scissor state of the context, saved while slices are scissored and put
// back afterwards.
class ScissorScope {
public:
    ScissorScope() {
        m_wasOn = glIsEnabled(GL_SCISSOR_TEST) == GL_TRUE;
        glGetIntegerv(GL_SCISSOR_BOX, m_box);
        glGetFloatv(GL_PROJECTION_MATRIX, m_projection.data());
        glGetFloatv(GL_MODELVIEW_MATRIX, m_modelView.data());
        glGetIntegerv(GL_VIEWPORT, m_viewport.data());
        if (m_wasOn) {
            // Keep within the box already set.
            const int x0 = std::max(m_viewport[0], m_box[0]);
            const int y0 = std::max(m_viewport[1], m_box[1]);
            const int x1 = std::min(m_viewport[0] + m_viewport[2], m_box[0] + m_box[2]);
            const int y1 = std::min(m_viewport[1] + m_viewport[3], m_box[1] + m_box[3]);
            m_viewport = {x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0)};
        }
    }
    ~ScissorScope() {
        if (!m_set) return;
        glScissor(m_box[0], m_box[1], m_box[2], m_box[3]);
        if (!m_wasOn) glDisable(GL_SCISSOR_TEST);
    }
    ScissorScope(const ScissorScope&) = delete;
    ScissorScope& operator=(const ScissorScope&) = delete;

    // The box around the world rectangle of a slice; empty when off screen.
    ScissorBox BoxOf(PassKind kind, float position, const QuadSpan& span) const {
        const int axis = SliceAxis(kind), sAxis = InPlaneAxisS(kind), tAxis = InPlaneAxisT(kind);
        std::array<std::array<float, 3>, 4> corners{};
        const float sv[4] = {span.sLo, span.sLo, span.sHi, span.sHi};
        const float tv[4] = {span.tLo, span.tHi, span.tHi, span.tLo};
        for (int v = 0; v < 4; ++v) {
            auto& c = corners[static_cast<size_t>(v)];
            c[static_cast<size_t>(axis)] = position;
            c[static_cast<size_t>(sAxis)] = sv[v];
            c[static_cast<size_t>(tAxis)] = tv[v];
        }
        return ProjectedBox(corners, m_projection, m_modelView, m_viewport);
    }
    void Apply(const ScissorBox& box) {
        if (!m_set) {
            glEnable(GL_SCISSOR_TEST);
            m_set = true;
        }
        glScissor(box.x, box.y, box.width, box.height);
    }

private:
    bool m_wasOn = false;
    bool m_set = false;
    GLint m_box[4] = {};
    std::array<float, 16> m_projection{};
    std::array<float, 16> m_modelView{};
    std::array<int, 4> m_viewport{};
};

namespace {

// Fragments of opacity 0 discarded before blending, for as long as slices
// are drawn; the context's alpha test is put back afterwards. Blending such
// a fragment leaves the frame buffer exactly as it was, so the image is the
// same to the bit, but the rasterizer skips the blending (and a software
// one whole blocks of such fragments).
class ZeroAlphaScope {
public:
    ZeroAlphaScope() {
        m_wasOn = glIsEnabled(GL_ALPHA_TEST) == GL_TRUE;
        glGetIntegerv(GL_ALPHA_TEST_FUNC, &m_func);
        glGetFloatv(GL_ALPHA_TEST_REF, &m_ref);
        glAlphaFunc(GL_GREATER, 0.0f);
        glEnable(GL_ALPHA_TEST);
    }
    ~ZeroAlphaScope() {
        glAlphaFunc(static_cast<GLenum>(m_func), m_ref);
        if (!m_wasOn) glDisable(GL_ALPHA_TEST);
    }
    ZeroAlphaScope(const ZeroAlphaScope&) = delete;
    ZeroAlphaScope& operator=(const ZeroAlphaScope&) = delete;

private:
    bool m_wasOn = false;
    GLint m_func = GL_ALWAYS;
    GLfloat m_ref = 0.0f;
};

// Paired data take their opacity from the second brick: judged per slice
// only. So is a brick whose slices can reach (with weight 0, but still)
// texels beyond its sides, which the transposes leave unwritten. Otherwise
// a brick none of whose bytes is visible shows nothing.
bool BrickShows(const PassPlan& plan, const BrickBytes& bytes, const SliceDrawSettings& settings,
                bool skip, const VisibleValues& visible) {
    bool sidesOnly = bytes.overlap >= 1;
    if (!sidesOnly) {
        sidesOnly = true;
        for (int a = 0; a < 3; ++a)
            if (bytes.shape.sides[a] != bytes.shape.padded[a]) sidesOnly = false;
    }
    return !skip || settings.paired || !sidesOnly || plan.passes.empty() ||
           AnyVisibleByte(Layout(bytes.main, NativeBytesRead(bytes.shape)), bytes.shape, visible);
}

struct PassLayouts {
    std::span<const uint8_t> main, second;
};

// Where a pass reads its bytes: the transposes for the YZ and XZ passes,
// the brick itself for XY.
PassLayouts LayoutsOf(PassKind kind, const BrickBytes& bytes, WorkBuffers& buffers, bool paired) {
    const size_t bufferSize = static_cast<size_t>(buffers.Size());
    const size_t nativeSize = NativeBytesRead(bytes.shape);
    switch (kind) {
        case PassKind::kYZ:
            return {Layout(buffers.MainYZ(), bufferSize),
                    paired ? Layout(buffers.SecondYZ(), bufferSize) : std::span<const uint8_t>()};
        case PassKind::kXZ:
            return {Layout(buffers.MainXZ(), bufferSize),
                    paired ? Layout(buffers.SecondXZ(), bufferSize) : std::span<const uint8_t>()};
        case PassKind::kXY:
            break;
    }
    return {Layout(bytes.main, nativeSize),
            paired ? Layout(bytes.second, nativeSize) : std::span<const uint8_t>()};
}

// The internal format a slice of `method` is specified with.
GLint SliceFormat(TextureMethod method, bool paletteExtension) {
    if (method == TextureMethod::kBob)
        return paletteExtension ? static_cast<GLint>(kGlColorIndex8Ext) : GL_LUMINANCE8;
    return GL_RGBA;
}

// Uploads into the bound texture: into its storage when `reuse` (it holds
// an image of the same format and size), else by specifying it afresh.
void UploadSlice(TextureMethod method, bool paletteExtension, const PlannedPass& pass,
                 const void* pixels, bool reuse) {
    GLenum format = GL_RGBA;
    if (method == TextureMethod::kBob) format = paletteExtension ? GL_COLOR_INDEX : GL_LUMINANCE;
    if (reuse)
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, pass.texWidth, pass.texHeight, format,
                        GL_UNSIGNED_BYTE, pixels);
    else
        glTexImage2D(GL_TEXTURE_2D, 0, SliceFormat(method, paletteExtension), pass.texWidth,
                     pass.texHeight, 0, format, GL_UNSIGNED_BYTE, pixels);
}

void DrawQuad(const PlannedSlice& slice) {
    glBegin(GL_QUADS);
    for (const SliceVertex& v : slice.quad) {
        glTexCoord2f(v.s, v.t);
        glVertex3f(v.pos[0], v.pos[1], v.pos[2]);
    }
    glEnd();
}

}  // namespace

// What the passes of one brick share.
struct SliceDrawer::BrickPasses {
    TextureMethod method = TextureMethod::kBob;
    bool standIn = false;
    bool skip = false;
    VisibleValues visible{};
    const BrickBytes* bytes = nullptr;
    const ColorTableRef* table = nullptr;
    const PaletteBinding* palette = nullptr;
    const SliceTextures* textures = nullptr;
    ScissorScope* scissor = nullptr;
    FrontToBack* frontToBack = nullptr;  // nearest slices first
};

int SliceDrawer::DrawPasses(const PassPlan& plan, const BrickBytes& bytes, WorkBuffers& buffers,
                            const ColorTableRef& table, const SliceDrawSettings& settings,
                            const PaletteBinding& palette, TimerRecorder& timers,
                            const SliceTextures& textures) {
    BrickPasses b;
    b.method = ChooseTextureMethod(settings.usePalet, settings.paired);
    b.standIn = b.method == TextureMethod::kBob && !palette.extension && palette.standIn != nullptr;
    // Skipping invisible parts needs to know a texel's opacity: always for
    // "Bol" (the texels are ours), for "Bob" only through a palette (a bare
    // luminance texture is opaque).
    b.skip = !settings.drawAll &&
             (b.method == TextureMethod::kBol || palette.extension || b.standIn);
    if (b.skip)
        b.visible = b.method == TextureMethod::kBob ? VisibleOfFloats(table.rgba)
                                                    : VisibleOfPacked(table.packed);
    b.bytes = &bytes;
    b.table = &table;
    b.palette = &palette;
    b.textures = &textures;
    // Front to back needs premultiplied colours: the engine's own program
    // gives them for "Bol" slices, the palette stand-in for "Bob" slices;
    // the driver's paletted textures cannot.
    if (b.method == TextureMethod::kBol || b.standIn) b.frontToBack = settings.frontToBack;
    const bool brickShows = BrickShows(plan, bytes, settings, b.skip, b.visible);
    std::optional<ScissorScope> scissor;
    std::optional<ZeroAlphaScope> zeroAlpha;
    if (b.skip && brickShows) {
        b.scissor = &scissor.emplace();
        // Front to back, a zero-opacity fragment adds nothing either; but a
        // fragment test after texturing would keep the rasterizer from
        // rejecting masked fragments before texturing them.
        if (b.frontToBack == nullptr) zeroAlpha.emplace();
    }
    if (b.frontToBack != nullptr && brickShows) b.frontToBack->BeginSlices(!b.standIn);

    int drawn = 0;
    const size_t passCount = plan.passes.size();
    for (size_t i = 0; i < passCount; ++i) {
        // Each pass draws its slices back to front; front to back the
        // order turns round (passes and slices).
        const PlannedPass& pass = plan.passes[b.frontToBack != nullptr ? passCount - 1 - i : i];
        // An invisible brick needs no transposes; with timers on they are
        // made all the same so that the timer file keeps its marks.
        if (brickShows || settings.timers)
            MakeTransposes(pass.kind, bytes, buffers, settings.paired, settings.timers, timers);
        const PassLayouts layouts = LayoutsOf(pass.kind, bytes, buffers, settings.paired);
        TimerLabels labels = PassTimerLabels(pass.kind, settings.usePalet);
        if (settings.timers) timers.StampTimer(labels.begin);
        if (brickShows) drawn += DrawPass(b, pass, layouts.main, layouts.second, plan.alpha);
        if (settings.timers) timers.StampTimer(labels.end);
    }
    if (b.frontToBack != nullptr && brickShows) {
        if (b.skip) MarkOpaque(b);  // the next brick starts on what this one hid
        b.frontToBack->EndSlices();
    }
    zeroAlpha.reset();
    scissor.reset();
    glFlush();
    glFinish();
    return drawn;
}

int SliceDrawer::DrawPass(const BrickPasses& b, const PlannedPass& pass,
                          std::span<const uint8_t> mainLayout,
                          std::span<const uint8_t> secondLayout, float alpha) {
    glColor4f(1.0f, 1.0f, 1.0f, alpha);
    if (b.standIn) {
        b.palette->standIn->Begin();
        b.palette->standIn->SetIndexSize(pass.texWidth, pass.texHeight);
        b.palette->standIn->SetPremultiplied(b.frontToBack != nullptr);
    }
    int drawn = 0;
    const size_t sliceCount = pass.slices.size();
    for (size_t i = 0; i < sliceCount; ++i) {
        const PlannedSlice& slice = pass.slices[b.frontToBack != nullptr ? sliceCount - 1 - i : i];
        TexelRect shown;
        ScissorBox box;  // empty: not scissored
        // Front to back: a slice whose whole box is opaque already takes
        // nothing; it is known before its texels are built.
        if (b.skip && b.frontToBack != nullptr) {
            b.frontToBack->OpenPieces(
                b.scissor->BoxOf(pass.kind, slice.position, WholeSpan(slice, pass.kind)), &m_pieces);
            if (m_pieces.empty()) continue;
        }
        const void* pixels = SliceTexels(b, pass, slice, mainLayout, secondLayout, shown);
        if (pixels == nullptr) continue;
        if (b.skip) {
            std::optional<QuadSpan> span =
                TightenQuad(slice.quad, pass.kind, shown, pass.texWidth, pass.texHeight);
            if (!span) continue;  // nothing of it can show
            box = b.scissor->BoxOf(pass.kind, slice.position, *span);
            if (box.Empty()) continue;  // what could show lies off screen
        }
        // Front to back, fragments of opaque tiles are masked anyway: the
        // slice is drawn only over the pieces of its box still open, which
        // spares the rasterizer their rejection. Each piece is drawn with
        // the same vertices, so its fragments are those of the whole quad.
        m_pieces.assign(1, box);
        if (b.frontToBack != nullptr && b.skip) {
            b.frontToBack->OpenPieces(box, &m_pieces);
            if (m_pieces.empty()) continue;
        }
        const bool reuse = BindSliceTexture(*b.textures, pass, b.method, b.palette->extension);
        UploadSlice(b.method, b.palette->extension, pass, pixels, reuse);
        for (const ScissorBox& piece : m_pieces) {
            if (b.skip) b.scissor->Apply(piece);
            DrawQuad(slice);
        }
        ++drawn;
        if (b.frontToBack != nullptr && b.skip) SliceDrawn(b, m_pieces);
    }
    if (b.standIn) b.palette->standIn->End();
    return drawn;
}

void SliceDrawer::SliceDrawn(const BrickPasses& b, std::span<const ScissorBox> pieces) {
    for (const ScissorBox& box : pieces) {
        if (box.Empty()) {
            m_markAll = true;
        } else if (m_markBox.Empty()) {
            m_markBox = box;
        } else {
            m_markBox = Joined(m_markBox, box);
        }
    }
    if (++m_sinceMark >= FrontToBack::kMarkEvery) MarkOpaque(b);
}

void SliceDrawer::MarkOpaque(const BrickPasses& b) {
    if (m_sinceMark == 0) return;
    b.frontToBack->MarkOpaque(m_markAll ? ScissorBox{} : m_markBox);
    m_sinceMark = 0;
    m_markBox = ScissorBox{};
    m_markAll = false;
}

// The texture image of one slice (null when it has none) and, when
// skipping, the rectangle of its texels that can show.
const void* SliceDrawer::SliceTexels(const BrickPasses& b, const PlannedPass& pass,
                                     const PlannedSlice& slice,
                                     std::span<const uint8_t> mainLayout,
                                     std::span<const uint8_t> secondLayout, TexelRect& shown) {
    if (b.method == TextureMethod::kBob) {
        std::span<const uint8_t> image =
            SliceImage(mainLayout, b.bytes->shape, pass.kind, SinglePlane(slice.planes));
        if (image.empty()) return nullptr;
        if (b.skip) shown = VisibleByteRect(image, pass.texWidth, pass.texHeight, b.visible);
        return image.data();
    }
    BolSource src{mainLayout, secondLayout, b.bytes->shape};
    std::span<const uint32_t> texels = BuildBolSlice(src, pass.kind, slice, *b.table, m_staging);
    if (texels.empty()) return nullptr;
    if (b.skip) shown = VisibleTexelRect(texels, pass.texWidth, pass.texHeight);
    return texels.data();
}

bool SliceDrawer::BindSliceTexture(const SliceTextures& textures, const PlannedPass& pass,
                                   TextureMethod method, bool paletteExtension) {
    const TextureShape shape{SliceFormat(method, paletteExtension), pass.texWidth,
                             pass.texHeight};
    const int index = m_pool.Pick(textures, shape);
    // Without names of its own the slice goes into the bound texture,
    // specified afresh, as are colour-index images.
    if (index < 0 || paletteExtension) {
        if (index >= 0) glBindTexture(GL_TEXTURE_2D, textures.names[index]);
        return false;
    }
    glBindTexture(GL_TEXTURE_2D, textures.names[index]);
    // The storage the texture really has (anyone may have re-specified it,
    // and a new context starts without any).
    GLint width = 0, height = 0, format = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &format);
    return TextureShape{format, width, height} == shape;
}

void SliceTexturePool::Forget() {
    m_rings.clear();
    m_names = nullptr;
    m_count = 0;
    m_fresh = 0;
}

int SliceTexturePool::Pick(const SliceTextures& names, const TextureShape& shape) {
    if (names.count <= 0 || names.names == nullptr) return -1;
    if (names.names != m_names || names.count != m_count) {
        Forget();
        m_names = names.names;
        m_count = names.count;
    }
    auto ring = std::find_if(m_rings.begin(), m_rings.end(),
                             [&](const Ring& r) { return r.shape == shape; });
    if (ring == m_rings.end()) {
        m_rings.push_back(Ring{shape, {}, 0});
        ring = m_rings.end() - 1;
    }
    if (static_cast<int>(ring->slots.size()) < kRing) {
        int slot = -1;
        if (m_fresh < m_count) {
            slot = m_fresh++;
        } else {
            // Every name is taken: the largest other ring gives up its last.
            auto donor = m_rings.end();
            for (auto r = m_rings.begin(); r != m_rings.end(); ++r)
                if (r != ring && r->slots.size() > ring->slots.size() + 1 &&
                    (donor == m_rings.end() || r->slots.size() > donor->slots.size()))
                    donor = r;
            if (donor != m_rings.end()) {
                slot = donor->slots.back();
                donor->slots.pop_back();
                if (donor->next >= donor->slots.size()) donor->next = 0;
            }
        }
        if (slot >= 0) {
            ring->slots.push_back(slot);
            ring->next = 0;  // the new name is the least recently used: next after it
            return slot;
        }
    }
    if (ring->slots.empty()) {
        // Nothing to take from anyone (fewer names than shapes): share
        // the first name.
        ring->slots.push_back(0);
    }
    const int slot = ring->slots[ring->next];
    ring->next = (ring->next + 1) % ring->slots.size();
    return slot;
}

}  // namespace voxa
