#include "engine/frame/frame_pipeline.h"
#include "engine/gl/gl_state.h"

#include "engine/overlays/overlay_gl.h"
#include "engine/context/render_context.h"
#include "platform/debug_file.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace voxa {

namespace {

using PfnWindowPos2i = void (*)(GLint, GLint);

bool EnvironmentFlag(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && std::strcmp(v, "1") == 0;
}

VolumeExtent ExtentOf(const BrickTable& t) {
    VolumeExtent e;
    e.limits = {t.limits.xmin, t.limits.xmax, t.limits.ymin,
                t.limits.ymax, t.limits.zmin, t.limits.zmax};
    e.voxels = {static_cast<int>(t.extentX), static_cast<int>(t.extentY),
                static_cast<int>(t.extentZ)};
    return e;
}

int OverlapOf(const BrickTable& t, int stride) {
    return stride >= 0 && stride < static_cast<int>(t.overlap.size()) ? t.overlap[stride] : 0;
}

WorldBox BoxOf(const VolumeExtent& e, const Brick& b, int ov) {
    return BrickWorldBox(e, b.stride, {b.nx, b.ny, b.nz}, {b.x0, b.y0, b.z0}, ov);
}

Vec3 ToVec(const float v[3]) { return {v[0], v[1], v[2]}; }

}  // namespace

FrameDebugSettings FrameDebugSettings::FromEnvironment() {
    FrameDebugSettings s;
    s.drawAllSlices = EnvironmentFlag(kDrawAllSlicesEnv);
    s.panelLog = EnvironmentFlag(kPanelLogEnv);
    s.frontToBack = EnvironmentFlag(kFrontToBackEnv);
    return s;
}

FramePipeline::FramePipeline(RenderProcess& process, FrameDebugSettings debug)
    : m_process(process), m_debug(debug), m_cache(process.SharedOptions().cacheMB) {}

FramePipeline::~FramePipeline() {
    m_cache.StopReaders();
    EngineHooks& hooks = m_process.Hooks();
    hooks = EngineHooks{};
}

void FramePipeline::Attach(RenderContext& context) {
    context.SetFrameFunction([this](RenderContext& c) { return Render(c); });
    EngineHooks& hooks = m_process.Hooks();
    hooks.startReaders = [this] { m_cache.StartReaders(); };
    hooks.windowDown = [this] {
        // The GL context is gone: its textures and font lists with it.
        m_overlay.reset();
        m_slices.ForgetTextures();
        if (m_frontToBack) m_frontToBack->Forget();
        m_frontToBack.reset();
        m_frontToBackRefused = false;
        m_accumulating = nullptr;
        m_secondReader.Read(nullptr, kReaderClose, 0, kSlotAlign);
        m_store.ForgetPath();
    };
    hooks.cacheSize = [this](int mb) { m_cache.SetCacheMB(mb); };
    hooks.abort = [this] { m_cache.RaiseAbort(); };
}

int FramePipeline::Abandon(RenderContext& context) {
    m_cache.ClearAbort();
    context.Process().ClearAbort();
    m_cache.WaitUntilIdle();
    m_report.aborted = true;
    m_report.result = 0;
    return 0;
}

void FramePipeline::SwitchToPanel(int k, RenderContext& context, bool accumulate) {
    if (m_accumulating != nullptr) m_accumulating->BindWindow();
    const PanelView& p = m_panels[static_cast<size_t>(k)].view;
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glFrustum(p.left * m_near, p.right * m_near, p.bottom * m_near, p.top * m_near, m_near, m_far);
    Vec3 look = m_eye + p.aw;
    gluLookAt(m_eye.x, m_eye.y, m_eye.z, look.x, look.y, look.z, p.bw.x, p.bw.y, p.bw.z);
    if (m_debug.panelLog)
        AppendDebugText(kDebugPanelFile,
                        FormatPanelRecord({&p, m_eye, m_near, m_far, m_limits, m_softdistance}));
    PixelTransferScope transfer;
    if (m_currentPanel >= 0) {
        glReadPixels(0, 0, m_width, m_height, GL_RGB, GL_UNSIGNED_BYTE,
                     m_panels[static_cast<size_t>(m_currentPanel)].image.data());
    }
    // The panel's image goes back at the window origin. The raster position
    // is set in window coordinates so that the projection just loaded and
    // any label drawn before cannot move or invalidate it.
    auto windowPos =
        reinterpret_cast<PfnWindowPos2i>(context.Window() != nullptr
                                             ? context.Window()->ProcAddress("glWindowPos2i")
                                             : nullptr);
    if (windowPos != nullptr) windowPos(0, 0);
    glDrawPixels(m_width, m_height, GL_RGB, GL_UNSIGNED_BYTE,
                 m_panels[static_cast<size_t>(k)].image.data());
    m_currentPanel = k;
    if (m_accumulating != nullptr && accumulate) m_accumulating->BindPanel(k);
}

bool FramePipeline::MakeReady(RenderContext& context, int brick) {
    const Brick& b = m_store.Table().bricks[static_cast<size_t>(brick)];
    const OptionSettings& o = context.Options();
    TimerRecorder* timers = o.timersOn == 1 ? &context.Process().Timers() : nullptr;
    unsigned char* cached = m_cache.GetCacheBuffer(brick);
    if (m_cache.AbortRaised() || context.Process().AbortRequested()) return false;
    WorkBuffers& buffers = m_store.Buffers();
    if (cached == nullptr) {
        // The data file could not be read (logged by the cache): draw the
        // brick as padding rather than as another brick's stale bytes.
        PaddedSides ps = PadBrick(b);
        std::memset(buffers.PaddedMain(), kPadValue, static_cast<size_t>(ps.Volume()));
        m_mainBytes = buffers.PaddedMain();
    } else {
        m_mainBytes = OddBrickFill(cached, b, buffers.PaddedMain(), timers);
    }
    const bool cross = o.stats == kStatsCross;
    if (m_store.IsPaired())
        ReadSecondBrick(m_store.SecondBrickPath(brick), b, o.bufferedIO, m_secondReader, buffers);
    else if (cross && !o.yFile.empty())
        ReadSecondBrick(o.yFile, b, o.bufferedIO, m_secondReader, buffers);
    m_store.loadedBrick = brick;
    buffers.yzValid = buffers.xzValid = false;
    return true;
}

// What one frame works from: the snapshot of the request and the values
// derived from it that the steps of the frame share.
struct FramePipeline::FrameState {
    RenderRequestBlock block;
    ViewQuality quality;
    OptionSettings* opts = nullptr;
    bool timersOn = false;
    VolumeExtent ext;
    bool paired = false;
    bool cross = false;
    bool pdf = false;
    int panelCount = 1;
    GLuint texture = 0;
    float rgba[256][4] = {};
    ColorTableRef tableRef;
    CullParams cull;
    int ov1 = 0;
};

FrontToBack* FramePipeline::FrontToBackFor(RenderContext& context, const FrameState& f) {
    // "Bob" slices through the driver's paletted textures cannot give the
    // premultiplied colours front to back needs.
    const bool paletteShader =
        m_process.ColorTableEXT() == nullptr && context.PaletteStandIn() != nullptr;
    if (!m_debug.frontToBack || m_frontToBackRefused ||
        (ChooseTextureMethod(f.opts->usePalet, f.paired) == TextureMethod::kBob &&
         !paletteShader))
        return nullptr;
    if (!m_frontToBack) {
        Result<std::unique_ptr<FrontToBack>> made = FrontToBack::Create();
        if (!made.ok()) {
            m_frontToBackRefused = true;
            if (m_log) m_log("compositing back to front: " + made.status().message());
            return nullptr;
        }
        m_frontToBack = std::move(*made);
    }
    if (Status begun = m_frontToBack->BeginFrame(f.panelCount, m_width, m_height); !begun.ok()) {
        m_frontToBackRefused = true;
        if (m_log) m_log("compositing back to front: " + begun.message());
        return nullptr;
    }
    return m_frontToBack.get();
}

void FramePipeline::CompositePanels(RenderContext& context, const FrameState& f) {
    FrontToBack* ftb = m_accumulating;
    if (ftb == nullptr) return;
    const int last = m_currentPanel;
    // The current panel last, so that it stays current as it would.
    for (int k = 0; k < f.panelCount; ++k) {
        if (k == last || !ftb->Used(k)) continue;
        SwitchToPanel(k, context, false);
        ftb->Composite(k);
    }
    if (last >= 0 && ftb->Used(last)) {
        SwitchToPanel(last, context, false);
        ftb->Composite(last);
    }
    ftb->BindWindow();
    m_accumulating = nullptr;
}

int FramePipeline::Render(RenderContext& context) {
    m_report = FrameReport{};
    GlWindow* window = context.Window();
    if (window == nullptr) return 0;
    FrameState f;
    TakeSnapshot(context, f);
    if (int code = LoadVolume(context, f); code != 0) return FinishTimers(context, f, code);
    SetUpPanels(context, f);
    if (int code = LoadColors(context, f); code != 0) return FinishTimers(context, f, code);
    f.texture = window->TextureNames()[0];
    glBindTexture(GL_TEXTURE_2D, f.texture);
    if (f.opts->usePalet) context.LoadPalette();
    UseColorTable(context.MutableColors(), f);
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    ChooseBricks(f);
    f.cross = f.opts->stats == kStatsCross;
    f.pdf = f.opts->stats == kStatsPdf;
    if (f.cross) std::fill(m_joint.cells.begin(), m_joint.cells.end(), 0);
    if (f.pdf) m_single.fill(0);
    // Several bricks: the loaded one will not survive the frame.
    if (m_report.selection.size() > 1) m_store.loadedBrick = -1;
    if (!PostReads(context, f)) return Abandon(context);
    LogRenderList();
    if (!m_overlay) m_overlay = std::make_unique<OverlayDrawer>(f.texture);
    m_accumulating = FrontToBackFor(context, f);
    const bool drawn = DrawBricks(context, f);
    if (!drawn && m_accumulating != nullptr) m_accumulating->BindWindow();
    if (drawn) CompositePanels(context, f);
    m_accumulating = nullptr;
    if (!drawn) return Abandon(context);
    DrawOverlays(context, f);
    context.EndFrame();
    return FinishTimers(context, f, 0);
}

void FramePipeline::TakeSnapshot(RenderContext& context, FrameState& f) {
    f.block = context.CurrentBlock();
    f.quality = context.Quality();
    f.opts = &context.MutableOptions();
    f.timersOn = f.opts->timersOn == 1;
    if (f.opts->usePalet) {
        context.LoadPalette();
        glFlush();
        glFinish();
    }
    if (f.timersOn) {
        TimerRecorder& timers = context.Process().Timers();
        timers.SetTimerFile(f.opts->timerOutputFile);
        timers.StampTimer(kBeginRendering);
    }
}

int FramePipeline::FinishTimers(RenderContext& context, const FrameState& f, int result) {
    if (!f.timersOn) return result;
    TimerRecorder& timers = context.Process().Timers();
    timers.StampTimer(kEndRendering);
    int written = timers.WriteTimerFile();
    return result != 0 ? result : (written == 1 ? 0 : -3);
}

int FramePipeline::LoadVolume(RenderContext& context, FrameState& f) {
    const OptionSettings& opts = *f.opts;
    const std::string zbPath(NameFieldView(f.block.zbName));
    if (opts.stats == kStatsCross || context.LoadedVolume() != zbPath) m_store.ForgetPath();
    ScaleFactors scale{opts.scaleFactors[0], opts.scaleFactors[1], opts.scaleFactors[2]};
    m_cache.SetBufferedIO(opts.bufferedIO);
    m_cache.SetTimers(f.timersOn ? &context.Process().Timers() : nullptr);
    const bool wasTestVolume = m_store.IsTestVolume();
    const int loadedBefore = m_store.loadedBrick;
    if (Status loaded = m_store.LoadVolume(zbPath, scale, &m_cache); !loaded.ok()) {
        m_report.error = "cannot build the brick tree of " + zbPath + ": " + loaded.message();
        if (m_log) m_log(m_report.error);
        m_report.result = -1;
        return -1;
    }
    m_cache.CheckDataDirs(zbPath);
    // Checked once per volume read (a frame that keeps the volume keeps
    // its files and directories).
    const auto& check = m_process.Hooks().checkDataFile;
    if (check && m_store.Loads() != m_checkedLoad) {
        if (Status allowed = CheckVolumeFiles(m_store, m_cache, check); !allowed.ok()) {
            // Read again next frame: nothing of this volume is kept.
            m_store.ForgetPath();
            m_store.loadedBrick = -1;
            context.SetLoadedVolume("");
            m_report.error = "cannot read the volume of " + zbPath + ": " + allowed.message();
            if (m_log) m_log(m_report.error);
            m_report.result = -1;
            return -1;
        }
        m_checkedLoad = m_store.Loads();
    }
    context.SetLoadedVolume(zbPath);
    if (m_store.IsTestVolume() && (!wasTestVolume || loadedBefore != 0 || m_mainBytes == nullptr))
        m_mainBytes = m_store.Buffers().PaddedMain();
    f.ext = ExtentOf(m_store.Table());
    context.SetVolumeSize(f.ext.voxels[0], f.ext.voxels[1], f.ext.voxels[2]);
    f.paired = m_store.IsPaired();
    return 0;
}

void FramePipeline::SetUpPanels(RenderContext& context, FrameState& f) {
    const RenderRequestBlock& block = f.block;
    // Panel image buffers.
    m_width = block.width;
    m_height = block.height;
    f.panelCount = std::max(1, context.PanelCount());
    m_panels.resize(static_cast<size_t>(f.panelCount));
    for (Panel& p : m_panels) p.image.assign(static_cast<size_t>(m_width) * m_height * 3, 0);
    m_currentPanel = -1;
    // The eye frame and the panel frusta.
    m_eye = ToVec(block.eye);
    m_near = block.nearClip;
    m_far = block.farClip;
    m_limits = f.ext.limits;
    ViewFrame frame = ComputeViewFrame(m_eye, ToVec(block.center), ToVec(block.up));
    FrustumBlock fr;
    fr.center = ToVec(block.panelCenter);
    fr.normal = ToVec(block.panelNormal);
    fr.up = ToVec(block.panelUp);
    fr.halfWidth = block.halfWidth;
    fr.halfHeight = block.halfHeight;
    fr.fovDegrees = block.fieldOfView;
    for (Panel& p : m_panels) p.view = ComputePanelView(frame, fr);
}

int FramePipeline::LoadColors(RenderContext& context, const FrameState& f) {
    const std::string cmap(NameFieldView(f.block.cmapName));
    const std::string amap(NameFieldView(f.block.amapName));
    if (cmap == m_loadedMap) return 0;
    m_loadedMap = cmap;
    if (cmap == kDefaultMapName) return 0;
    const int code = context.MutableColors().LoadMapFiles(cmap, amap);
    if (code == 0) return 0;
    m_loadedMap.clear();  // try again next frame
    m_report.error = code == ColorTable::kColorMapMissing
                         ? "cannot open the colour-map file " + cmap
                         : "cannot open the opacity-map file " + amap;
    if (m_log) m_log(m_report.error);
    m_report.result = code;
    return code;
}

void FramePipeline::UseColorTable(const ColorTable& colors, FrameState& f) {
    for (int i = 0; i < 256; ++i) {
        const auto& e = colors.Entries()[static_cast<size_t>(i)];
        f.rgba[i][0] = e.r;
        f.rgba[i][1] = e.g;
        f.rgba[i][2] = e.b;
        f.rgba[i][3] = e.a;
    }
    f.tableRef = ColorTableRef{f.rgba, colors.Packed().data()};
}

// Child lists, distances and the level-of-detail selection.
void FramePipeline::ChooseBricks(const FrameState& f) {
    BrickTable& table = m_store.Table();
    table.RebuildChildLists();
    std::vector<LodBrick> lod(static_cast<size_t>(table.Count()));
    for (int i = 0; i < table.Count(); ++i) {
        const Brick& b = table.bricks[static_cast<size_t>(i)];
        LodBrick& l = lod[static_cast<size_t>(i)];
        l.stride = b.stride;
        l.error = b.error;
        l.distance2 = BrickDistance2(f.ext, BoxOf(f.ext, b, OverlapOf(table, b.stride)), m_eye);
        l.children.assign(b.children.begin(), b.children.begin() + b.childCount);
    }
    LodParams lp;
    lp.coltolerance = f.quality.pixelError;
    lp.angletolerance = f.quality.angleError;
    lp.vrtolerance = f.quality.sizeError;
    lp.nearDist = m_near;
    lp.voxelsPerUnit = static_cast<float>(f.ext.voxels[0]) / (f.ext.limits[1] - f.ext.limits[0]);
    m_report.selection = SelectBricks(lod, table.root, lp);
}

// Culls the selection against the panels and posts the reads of the bricks
// some panel sees. False when the frame is aborted.
bool FramePipeline::PostReads(RenderContext& context, FrameState& f) {
    CullParams& cp = f.cull;
    cp.nearDist = m_near;
    cp.farDist = m_far;
    cp.softdistance = m_softdistance;
    for (int k = 0; k < 6; ++k) {
        cp.aux.flags[static_cast<size_t>(k)] = f.block.auxClipEnable[k];
        cp.aux.offsets[static_cast<size_t>(k)] = f.block.auxClipPlane[k][3];
    }
    const BrickTable& table = m_store.Table();
    f.ov1 = OverlapOf(table, 1);
    m_cache.ResetRequests();
    for (int brick : m_report.selection) {
        if (context.Process().AbortRequested() || m_cache.AbortRaised()) return false;
        const Brick& b = table.bricks[static_cast<size_t>(brick)];
        WorldBox box = BoxOf(f.ext, b, f.ov1);
        bool visible = false;
        for (const Panel& p : m_panels)
            if (CullBrick(box, {b.nx, b.ny, b.nz}, m_eye, p.view, cp).visible) {
                visible = true;
                break;
            }
        if (!visible) continue;
        m_report.renderList.push_back(brick);
        if (brick != m_store.loadedBrick) {
            m_cache.PostRequest(brick, m_store.BrickPath(brick), b.offset, b.ByteCount());
            ++m_report.requestsPosted;
        }
    }
    m_cache.SetPosted();
    return true;
}

void FramePipeline::LogRenderList() const {
    if (!m_log) return;
    const BrickTable& table = m_store.Table();
    std::string line = "frame: " + std::to_string(m_report.selection.size()) +
                       " bricks selected, " + std::to_string(m_report.renderList.size()) +
                       " visible, " + std::to_string(m_report.requestsPosted) + " reads:";
    for (int brick : m_report.renderList) {
        const Brick& b = table.bricks[static_cast<size_t>(brick)];
        line += " " + std::to_string(brick) + "(s" + std::to_string(b.stride) + ",e" +
                std::to_string(b.error) + ")";
    }
    m_log(line);
}

// The render loop: each brick of the render list made ready once, drawn in
// every panel that sees it, released. False when the frame is aborted.
bool FramePipeline::DrawBricks(RenderContext& context, const FrameState& f) {
    TimerRecorder& timers = context.Process().Timers();
    BrickDrawing d;
    d.palette.extension = context.Process().ColorTableEXT() != nullptr;
    d.palette.standIn = context.PaletteStandIn();
    d.settings = SliceDrawSettings{f.opts->usePalet, f.paired, f.timersOn, m_debug.drawAllSlices,
                                   m_accumulating};
    d.floor = context.SharedOptions().floor;
    d.box = context.SharedOptions().box;
    const auto& names = context.Window()->TextureNames();
    d.textures = SliceTextures{names.data() + 1, static_cast<int>(names.size()) - 1};
    // The render list runs back to front; front to back it turns round.
    const size_t count = m_report.renderList.size();
    for (size_t i = 0; i < count; ++i) {
        const int brick = m_report.renderList[m_accumulating != nullptr ? count - 1 - i : i];
        if (f.timersOn) timers.StampTimer(kBeginJsubRenderloop);
        if (context.Process().AbortRequested() || m_cache.AbortRaised()) {
            m_store.loadedBrick = -1;
            return false;
        }
        bool fetched = false;
        for (int k = 0; k < f.panelCount; ++k) {
            const Brick& b = m_store.Table().bricks[static_cast<size_t>(brick)];
            CullResult cull =
                CullBrick(BoxOf(f.ext, b, f.ov1), {b.nx, b.ny, b.nz}, m_eye,
                          m_panels[static_cast<size_t>(k)].view, f.cull);
            if (!cull.visible) continue;
            if (brick != m_store.loadedBrick) {
                if (!MakeReady(context, brick)) {
                    m_store.loadedBrick = -1;
                    return false;
                }
                fetched = true;
            }
            if (k != m_currentPanel) SwitchToPanel(k, context);
            DrainGlErrors();
            DrawBrickInPanel(context, f, d, brick, cull);
        }
        if (fetched) m_cache.Release(brick);
        if (f.timersOn) timers.StampTimer(kEndJsubRenderloop);
    }
    return true;
}

BrickBytes FramePipeline::BytesOf(const FrameState& f, const Brick& b) {
    const PaddedSides ps = PadBrick(b);
    BrickBytes bytes;
    bytes.main = m_mainBytes;
    bytes.second = (f.paired || f.cross) ? m_store.Buffers().PaddedSecond() : nullptr;
    bytes.shape.sides = {b.nx, b.ny, b.nz};
    bytes.shape.padded = {ps.x, ps.y, ps.z};
    bytes.overlap = OverlapOf(m_store.Table(), b.stride);
    return bytes;
}

void FramePipeline::CountStatistics(const FrameState& f, const BrickBytes& bytes,
                                    const CullResult& cull) {
    if (!f.cross && !f.pdf) return;
    CountRegion region{cull.indexBegin, cull.indexEnd, bytes.shape.padded[0],
                       bytes.shape.padded[1]};
    const size_t native = NativeBytesRead(bytes.shape);
    std::span<const uint8_t> mainSpan(bytes.main, native);
    if (f.pdf) CountPdf(mainSpan, region, m_single);
    if (f.cross && bytes.second != nullptr)
        CountCross(mainSpan, std::span<const uint8_t>(bytes.second, native), region, m_joint);
}

BrickPassInput FramePipeline::PassInput(const FrameState& f, const Brick& b) const {
    const WorldBox box = BoxOf(f.ext, b, f.ov1);
    const PaddedSides ps = PadBrick(b);
    BrickPassInput in;
    for (int a = 0; a < 3; ++a) {
        in.boxMin[static_cast<size_t>(a)] = box.min[a];
        in.boxWidth[static_cast<size_t>(a)] = box.width[a];
        in.voxelSize[static_cast<size_t>(a)] = f.ext.Voxel(a);
        in.eye[static_cast<size_t>(a)] = m_eye[a];
    }
    in.sides = {b.nx, b.ny, b.nz};
    in.padded = {ps.x, ps.y, ps.z};
    in.overlap = OverlapOf(m_store.Table(), b.stride);
    in.density = f.quality.nplanes;
    for (int a = 0; a < 6; ++a) {
        in.auxFlags[static_cast<size_t>(a)] = f.block.auxClipEnable[a];
        in.auxOffsets[static_cast<size_t>(a)] = f.block.auxClipPlane[a][3];
    }
    in.opacity = f.quality.opacity;
    in.xmin = f.ext.limits[0];
    in.xmax = f.ext.limits[1];
    return in;
}

// One brick in the current panel: statistics, the far overlays before the
// first brick, the slice passes.
void FramePipeline::DrawBrickInPanel(RenderContext& context, const FrameState& f,
                                     BrickDrawing& d, int brick, const CullResult& cull) {
    const Brick& b = m_store.Table().bricks[static_cast<size_t>(brick)];
    const BrickBytes bytes = BytesOf(f, b);
    CountStatistics(f, bytes, cull);
    glBindTexture(GL_TEXTURE_2D, f.texture);
    if (d.firstBrick) {
        // Behind the volume: into the window, under what accumulates.
        if (m_accumulating != nullptr) m_accumulating->BindWindow();
        m_overlay->DrawFloorAndBox(OverlayPass::kFar, m_limits, EyeArray(), d.floor, d.box);
        if (m_accumulating != nullptr) m_accumulating->BindPanel(m_currentPanel);
        glBindTexture(GL_TEXTURE_2D, f.texture);
        d.firstBrick = false;
    }
    m_report.slicesDrawn +=
        m_slices.DrawPasses(PlanPasses(PassInput(f, b)), bytes, m_store.Buffers(), f.tableRef,
                            d.settings, d.palette, context.Process().Timers(), d.textures);
    glBindTexture(GL_TEXTURE_2D, f.texture);
    glFlush();
    glFinish();
}

// Overlays after the bricks: near floor and box, colour bar, plots.
void FramePipeline::DrawOverlays(RenderContext& context, const FrameState& f) {
    OptionSettings& opts = *f.opts;
    if (m_currentPanel < 0) SwitchToPanel(0, context);  // nothing visible: still the cleared panel
    glBindTexture(GL_TEXTURE_2D, f.texture);
    m_overlay->DrawFloorAndBox(OverlayPass::kNear, m_limits, EyeArray(),
                               context.SharedOptions().floor, context.SharedOptions().box);
    if (opts.showColorBar > 0)
        m_overlay->DrawColorBar(context.MutableColors().Packed().data(), opts.ticks.Ticks(),
                                opts.screenRatio);
    if (f.cross) {
        m_overlay->DrawCrossPlot(m_joint, opts.xTicks.Ticks(), opts.yTicks.Ticks());
        opts.xTicks.Clear();
        opts.yTicks.Clear();
    } else if (f.pdf) {
        m_overlay->DrawPdfPlot(m_single, opts.ticks.Ticks());
        opts.xTicks.Clear();
        opts.yTicks.Clear();
    }
    opts.stats = kStatsNone;
}

}  // namespace voxa
