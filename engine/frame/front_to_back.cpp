#include "engine/frame/front_to_back.h"

#include "engine/frame/slice_gl.h"
#include "engine/gl/gl_program.h"
#include "engine/gl/gl_state.h"

#include <EGL/egl.h>
#include <GL/gl.h>
#include <GL/glext.h>

#include <algorithm>
#include <iterator>

namespace voxa {

struct FrontToBackGl : GlFramebufferEntryPoints {
    GlShaderEntryPoints shaders;
    void (*TextureBarrier)() = nullptr;

    bool Load() {
        TextureBarrier = reinterpret_cast<void (*)()>(eglGetProcAddress("glTextureBarrier"));
        if (TextureBarrier == nullptr)
            TextureBarrier = reinterpret_cast<void (*)()>(eglGetProcAddress("glTextureBarrierNV"));
        return GlFramebufferEntryPoints::Load() && shaders.Load() && TextureBarrier != nullptr;
    }
};

struct FrontToBack::PanelBuffer {
    GLuint fbo = 0;
    GLuint color = 0;    // RGBA32F texture
    GLuint stencil = 0;  // depth-stencil render buffer
    bool used = false;
    // Tiles of kTile x kTile pixels (row-major from the bottom left) whose
    // every pixel was marked opaque this frame; marks only grow, so a tile
    // once opaque stays so until the frame ends.
    std::vector<uint8_t> opaque;
};

namespace {

// The slice: texel times vertex colour (the fixed-function "modulate"),
// premultiplied for front-to-back accumulation.
constexpr char kSliceFragment[] = R"(#version 120
uniform sampler2D slice;
void main() {
    vec4 c = texture2D(slice, gl_TexCoord[0].st) * gl_Color;
    gl_FragColor = vec4(c.rgb * c.a, c.a);
}
)";

// Window-filling quads whose vertices are given in clip coordinates.
constexpr char kScreenVertex[] = R"(#version 120
void main() { gl_Position = gl_Vertex; }
)";
// Passes (and so marks the stencil) where the accumulation is opaque.
constexpr char kMarkFragment[] = R"(#version 120
uniform sampler2D accumulated;
uniform vec2 size;
uniform float threshold;
void main() {
    if (texture2D(accumulated, gl_FragCoord.xy / size).a < threshold) discard;
    gl_FragColor = vec4(0.0);
}
)";
constexpr char kCompositeFragment[] = R"(#version 120
uniform sampler2D accumulated;
uniform vec2 size;
void main() { gl_FragColor = texture2D(accumulated, gl_FragCoord.xy / size); }
)";

void ScreenQuad() {
    glBegin(GL_QUADS);
    glVertex2f(-1.0f, -1.0f);
    glVertex2f(1.0f, -1.0f);
    glVertex2f(1.0f, 1.0f);
    glVertex2f(-1.0f, 1.0f);
    glEnd();
}

// The blend factors are saved and put back by hand: the attribute stack of
// the software driver does not reliably bring them back.
class BlendFuncScope {
public:
    BlendFuncScope() {
        glGetIntegerv(GL_BLEND_SRC, &m_src);
        glGetIntegerv(GL_BLEND_DST, &m_dst);
    }
    ~BlendFuncScope() { glBlendFunc(static_cast<GLenum>(m_src), static_cast<GLenum>(m_dst)); }
    BlendFuncScope(const BlendFuncScope&) = delete;
    BlendFuncScope& operator=(const BlendFuncScope&) = delete;

private:
    GLint m_src = GL_ONE, m_dst = GL_ZERO;
};

GLuint BoundTexture() {
    GLint t = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &t);
    return static_cast<GLuint>(t);
}

}  // namespace

FrontToBack::FrontToBack() : m_gl(std::make_unique<FrontToBackGl>()) {}

FrontToBack::~FrontToBack() { Release(); }

Result<std::unique_ptr<FrontToBack>> FrontToBack::Create() {
    std::unique_ptr<FrontToBack> f(new FrontToBack());  // private constructor
    if (!f->m_gl->Load())
        return Unavailable("the context lacks frame buffer objects, shaders or texture barriers");
    const GlShaderEntryPoints& gl = f->m_gl->shaders;
    VOXA_ASSIGN_OR_RETURN(f->m_sliceProgram,
                          BuildProgram(gl, kFixedFunctionVertexShader, kSliceFragment, "front-to-back slice"));
    VOXA_ASSIGN_OR_RETURN(f->m_markProgram,
                          BuildProgram(gl, kScreenVertex, kMarkFragment, "opaque marking"));
    VOXA_ASSIGN_OR_RETURN(f->m_compositeProgram,
                          BuildProgram(gl, kScreenVertex, kCompositeFragment, "composite"));
    f->m_markSize = gl.GetUniformLocation(f->m_markProgram, "size");
    f->m_markThreshold = gl.GetUniformLocation(f->m_markProgram, "threshold");
    f->m_compositeSize = gl.GetUniformLocation(f->m_compositeProgram, "size");
    return f;
}

void FrontToBack::DeletePanels() {
    const FrontToBackGl& gl = *m_gl;
    for (PanelBuffer& p : m_panels) {
        if (p.fbo != 0) gl.DeleteFramebuffers(1, &p.fbo);
        if (p.color != 0) glDeleteTextures(1, &p.color);
        if (p.stencil != 0) gl.DeleteRenderbuffers(1, &p.stencil);
    }
    m_panels.clear();
}

void FrontToBack::Release() {
    const FrontToBackGl& gl = *m_gl;
    DeletePanels();
    for (GLuint* program : {&m_sliceProgram, &m_markProgram, &m_compositeProgram}) {
        if (*program != 0) gl.shaders.DeleteProgram(*program);
        *program = 0;
    }
}

void FrontToBack::Forget() {
    m_panels.clear();
    m_sliceProgram = m_markProgram = m_compositeProgram = 0;
}

Status FrontToBack::BeginFrame(int panels, int width, int height) {
    const FrontToBackGl& gl = *m_gl;
    GLint window = 0;
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &window);
    m_window = static_cast<GLuint>(window);
    m_current = -1;
    m_markCount = 0;
    if (width != m_width || height != m_height || static_cast<int>(m_panels.size()) > panels) {
        // Other sizes: new buffers throughout (the programs stay).
        DeletePanels();
        m_width = width;
        m_height = height;
    }
    const GLuint bound = BoundTexture();
    while (static_cast<int>(m_panels.size()) < panels) {
        PanelBuffer p;
        glGenTextures(1, &p.color);
        glBindTexture(GL_TEXTURE_2D, p.color);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glTexImage2D(GL_TEXTURE_2D, 0, static_cast<GLint>(kGlRgba32f), width, height, 0, GL_RGBA,
                     GL_FLOAT, nullptr);
        gl.GenRenderbuffers(1, &p.stencil);
        gl.BindRenderbuffer(GL_RENDERBUFFER, p.stencil);
        gl.RenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH24_STENCIL8, width, height);
        gl.GenFramebuffers(1, &p.fbo);
        gl.BindFramebuffer(GL_FRAMEBUFFER, p.fbo);
        gl.FramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, p.color, 0);
        gl.FramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_STENCIL_ATTACHMENT, GL_RENDERBUFFER,
                                   p.stencil);
        const GLenum complete = gl.CheckFramebufferStatus(GL_FRAMEBUFFER);
        gl.BindFramebuffer(GL_FRAMEBUFFER, m_window);
        m_panels.push_back(p);
        if (complete != GL_FRAMEBUFFER_COMPLETE) {
            glBindTexture(GL_TEXTURE_2D, bound);
            return Failed("the float accumulation buffer is not complete on this context");
        }
    }
    glBindTexture(GL_TEXTURE_2D, bound);
    m_tilesX = (width + kTile - 1) / kTile;
    m_tilesY = (height + kTile - 1) / kTile;
    for (PanelBuffer& p : m_panels) {
        p.used = false;
        p.opaque.assign(static_cast<size_t>(m_tilesX) * static_cast<size_t>(m_tilesY), 0);
    }
    return Status::Ok();
}

void FrontToBack::BindPanel(int k) {
    PanelBuffer& p = m_panels.at(static_cast<size_t>(k));
    m_gl->BindFramebuffer(GL_FRAMEBUFFER, p.fbo);
    m_current = k;
    if (p.used) return;
    // First slices of the frame in this panel: nothing accumulated.
    glPushAttrib(GL_COLOR_BUFFER_BIT | GL_STENCIL_BUFFER_BIT | GL_SCISSOR_BIT);
    glDisable(GL_SCISSOR_TEST);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    glStencilMask(0xFF);
    glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
    glClearStencil(0);
    glClear(GL_COLOR_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
    glPopAttrib();
    p.used = true;
}

void FrontToBack::BindWindow() {
    m_gl->BindFramebuffer(GL_FRAMEBUFFER, m_window);
    m_current = -1;
}

bool FrontToBack::Used(int k) const {
    return k >= 0 && k < static_cast<int>(m_panels.size()) && m_panels[static_cast<size_t>(k)].used;
}

void FrontToBack::BeginSlices(bool ownProgram) {
    glGetIntegerv(GL_BLEND_SRC, &m_blendSrc);
    glGetIntegerv(GL_BLEND_DST, &m_blendDst);
    glPushAttrib(GL_ENABLE_BIT | GL_COLOR_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
    if (ownProgram) m_gl->shaders.UseProgram(m_sliceProgram);
    glDisable(GL_ALPHA_TEST);
    glEnable(GL_BLEND);
    glBlendFunc(GL_ONE_MINUS_DST_ALPHA, GL_ONE);
    glEnable(GL_STENCIL_TEST);
    glStencilMask(0xFF);
    glStencilFunc(GL_EQUAL, 0, 0xFF);
    glStencilOp(GL_KEEP, GL_KEEP, GL_KEEP);
    m_inSlices = true;
}

void FrontToBack::EndSlices() {
    if (!m_inSlices) return;
    m_gl->shaders.UseProgram(0);
    glPopAttrib();
    glBlendFunc(static_cast<GLenum>(m_blendSrc), static_cast<GLenum>(m_blendDst));
    m_inSlices = false;
}

void FrontToBack::MarkOpaque(const ScissorBox& box) {
    if (!m_inSlices || m_current < 0) return;
    const FrontToBackGl& gl = *m_gl;
    const PanelBuffer& p = m_panels[static_cast<size_t>(m_current)];
    glPushAttrib(GL_SCISSOR_BIT);
    if (!box.Empty()) {
        glEnable(GL_SCISSOR_TEST);
        glScissor(box.x, box.y, box.width, box.height);
    }
    const GLuint bound = BoundTexture();
    GLint program = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &program);
    // The slices drawn so far are read below: their writes must be done.
    // The marking itself writes no colour, so reading the texture it draws
    // into is well defined after the barrier.
    gl.TextureBarrier();
    glBindTexture(GL_TEXTURE_2D, p.color);
    gl.shaders.UseProgram(m_markProgram);
    gl.shaders.Uniform2f(m_markSize, static_cast<float>(m_width), static_cast<float>(m_height));
    gl.shaders.Uniform1f(m_markThreshold, m_opaqueAlpha);
    glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_FALSE);
    glDisable(GL_BLEND);
    glStencilFunc(GL_ALWAYS, 1, 0xFF);
    glStencilOp(GL_KEEP, GL_KEEP, GL_REPLACE);
    ScreenQuad();
    glStencilFunc(GL_EQUAL, 0, 0xFF);
    glStencilOp(GL_KEEP, GL_KEEP, GL_KEEP);
    glEnable(GL_BLEND);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    gl.shaders.UseProgram(static_cast<GLuint>(program));
    glBindTexture(GL_TEXTURE_2D, bound);
    glPopAttrib();
    // Reading the marks back waits for the rasterizer; the marks only
    // grow, so what an older read found open may still be open: Open stays
    // right with a read every few markings, and the rasterizer keeps busy.
    if (m_markCount++ % kReadEvery == 0) ReadMarks(box);
}

void FrontToBack::ReadMarks(const ScissorBox& box) {
    if (m_current < 0) return;
    // The box grown to whole tiles: every tile read is known all through.
    int tx0 = 0, ty0 = 0, tx1 = m_tilesX, ty1 = m_tilesY;
    if (!box.Empty()) {
        tx0 = std::max(0, box.x / kTile);
        ty0 = std::max(0, box.y / kTile);
        tx1 = std::min(m_tilesX, (box.x + box.width + kTile - 1) / kTile);
        ty1 = std::min(m_tilesY, (box.y + box.height + kTile - 1) / kTile);
    }
    if (tx1 <= tx0 || ty1 <= ty0) return;
    const int x0 = tx0 * kTile, y0 = ty0 * kTile;
    const int x1 = std::min(m_width, tx1 * kTile), y1 = std::min(m_height, ty1 * kTile);
    const int w = x1 - x0, h = y1 - y0;
    m_marks.resize(static_cast<size_t>(w) * static_cast<size_t>(h));
    {
        PixelTransferScope transfer;
        glReadPixels(x0, y0, w, h, GL_STENCIL_INDEX, GL_UNSIGNED_BYTE, m_marks.data());
    }
    std::vector<uint8_t>& opaque = m_panels[static_cast<size_t>(m_current)].opaque;
    for (int ty = ty0; ty < ty1; ++ty) {
        const int ry0 = ty * kTile - y0, ry1 = std::min(h, ry0 + kTile);
        for (int tx = tx0; tx < tx1; ++tx) {
            uint8_t& tile = opaque[static_cast<size_t>(ty) * static_cast<size_t>(m_tilesX) + static_cast<size_t>(tx)];
            if (tile) continue;
            const int rx0 = tx * kTile - x0, rx1 = std::min(w, rx0 + kTile);
            bool all = true;
            for (int y = ry0; y < ry1 && all; ++y) {
                const uint8_t* row = m_marks.data() + static_cast<size_t>(y) * static_cast<size_t>(w);
                all = std::find(row + rx0, row + rx1, uint8_t{0}) == row + rx1;
            }
            tile = all ? 1 : 0;
        }
    }
}

void FrontToBack::OpenPieces(const ScissorBox& box, std::vector<ScissorBox>* pieces) const {
    pieces->clear();
    if (box.Empty()) return;
    const int bx1 = box.x + box.width, by1 = box.y + box.height;
    const std::vector<uint8_t>* opaque =
        m_current >= 0 ? &m_panels[static_cast<size_t>(m_current)].opaque : nullptr;
    if (opaque == nullptr || opaque->empty()) {
        pieces->push_back(box);
        return;
    }
    // Tiles the box touches; outside the panel nothing is known (open).
    const int tx0 = std::clamp(box.x / kTile - (box.x < 0 ? 1 : 0), -1, m_tilesX);
    const int tx1 = std::clamp((bx1 + kTile - 1) / kTile, 0, m_tilesX + 1);
    const int ty0 = std::clamp(box.y / kTile - (box.y < 0 ? 1 : 0), -1, m_tilesY);
    const int ty1 = std::clamp((by1 + kTile - 1) / kTile, 0, m_tilesY + 1);
    auto open = [&](int tx, int ty) {
        if (tx < 0 || ty < 0 || tx >= m_tilesX || ty >= m_tilesY) return true;
        return (*opaque)[static_cast<size_t>(ty) * static_cast<size_t>(m_tilesX) + static_cast<size_t>(tx)] == 0;
    };
    // One piece per row of tiles, from its first open tile to its last;
    // rows with the same span join.
    for (int ty = ty0; ty < ty1; ++ty) {
        int first = tx0;
        while (first < tx1 && !open(first, ty)) ++first;
        if (first == tx1) continue;
        int last = tx1 - 1;
        while (!open(last, ty)) --last;
        ScissorBox row;
        row.x = std::max(box.x, first * kTile);
        row.width = std::min(bx1, (last + 1) * kTile) - row.x;
        row.y = std::max(box.y, ty * kTile);
        row.height = std::min(by1, (ty + 1) * kTile) - row.y;
        if (row.Empty()) continue;
        if (!pieces->empty()) {
            ScissorBox& prev = pieces->back();
            if (prev.x == row.x && prev.width == row.width && prev.y + prev.height == row.y) {
                prev.height += row.height;
                continue;
            }
        }
        pieces->push_back(row);
    }
    // Every piece is one more draw of the slice: past kMaxPieces, the two
    // neighbours whose joint box adds the fewest pixels are joined.
    auto area = [](const ScissorBox& b) { return static_cast<int64_t>(b.width) * b.height; };
    while (static_cast<int>(pieces->size()) > kMaxPieces) {
        size_t best = 0;
        int64_t bestCost = INT64_MAX;
        for (size_t i = 0; i + 1 < pieces->size(); ++i) {
            const ScissorBox& a = (*pieces)[i];
            const ScissorBox& b = (*pieces)[i + 1];
            const int64_t cost = area(Joined(a, b)) - area(a) - area(b);
            if (cost < bestCost) {
                bestCost = cost;
                best = i;
            }
        }
        (*pieces)[best] = Joined((*pieces)[best], (*pieces)[best + 1]);
        pieces->erase(pieces->begin() + static_cast<std::ptrdiff_t>(best) + 1);
    }
}

ScissorBox FrontToBack::Open(const ScissorBox& box) const {
    std::vector<ScissorBox> pieces;
    OpenPieces(box, &pieces);
    if (pieces.empty()) return {};
    ScissorBox all = pieces.front();
    for (const ScissorBox& b : pieces) all = Joined(all, b);
    return all;
}

void FrontToBack::Composite(int k) {
    BindWindow();
    if (!Used(k)) return;
    const FrontToBackGl& gl = *m_gl;
    BlendFuncScope blendFunc;
    glPushAttrib(GL_ENABLE_BIT | GL_COLOR_BUFFER_BIT);
    glDisable(GL_ALPHA_TEST);
    glDisable(GL_STENCIL_TEST);
    glDisable(GL_DEPTH_TEST);
    glPushAttrib(GL_SCISSOR_BIT);
    glEnable(GL_SCISSOR_TEST);  // the panel's pixels only, in a larger window too
    glScissor(0, 0, m_width, m_height);
    glEnable(GL_BLEND);
    glBlendFunc(GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
    const GLuint bound = BoundTexture();
    glBindTexture(GL_TEXTURE_2D, m_panels[static_cast<size_t>(k)].color);
    gl.shaders.UseProgram(m_compositeProgram);
    gl.shaders.Uniform2f(m_compositeSize, static_cast<float>(m_width),
                         static_cast<float>(m_height));
    ScreenQuad();
    gl.shaders.UseProgram(0);
    glBindTexture(GL_TEXTURE_2D, bound);
    glPopAttrib();
    glPopAttrib();
}

}  // namespace voxa
