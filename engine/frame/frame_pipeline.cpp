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

void FramePipeline::SwitchToPanel(int k, RenderContext& context) {
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

int FramePipeline::Render(RenderContext& context) {
    m_report = FrameReport{};
    GlWindow* window = context.Window();
    if (window == nullptr) return 0;
    TimerRecorder& timers = context.Process().Timers();

    // 1. Snapshot.
    const RenderRequestBlock block = context.CurrentBlock();
    const ViewQuality quality = context.Quality();
    OptionSettings& opts = context.MutableOptions();
    const bool timersOn = opts.timersOn == 1;
    if (opts.usePalet) {
        context.LoadPalette();
        glFlush();
        glFinish();
    }
    if (timersOn) {
        timers.SetTimerFile(opts.timerOutputFile);
        timers.StampTimer(kBeginRendering);
    }
    auto finishTimers = [&](int result) {
        if (!timersOn) return result;
        timers.StampTimer(kEndRendering);
        int written = timers.WriteTimerFile();
        return result != 0 ? result : (written == 1 ? 0 : -3);
    };

    // 2-3. The volume and the data directories.
    const std::string zbPath(NameFieldView(block.zbName));
    if (opts.stats == kStatsCross || context.LoadedVolume() != zbPath) m_store.ForgetPath();
    ScaleFactors scale{opts.scaleFactors[0], opts.scaleFactors[1], opts.scaleFactors[2]};
    m_cache.SetBufferedIO(opts.bufferedIO);
    m_cache.SetTimers(timersOn ? &timers : nullptr);
    const bool wasTestVolume = m_store.IsTestVolume();
    const int loadedBefore = m_store.loadedBrick;
    if (m_store.LoadVolume(zbPath, scale, &m_cache) < 0) {
        m_report.error = "cannot build the brick tree of " + zbPath + ": " + m_store.LastError();
        if (m_log) m_log(m_report.error);
        m_report.result = -1;
        return finishTimers(-1);
    }
    context.SetLoadedVolume(zbPath);
    if (m_store.IsTestVolume() && (!wasTestVolume || loadedBefore != 0 || m_mainBytes == nullptr))
        m_mainBytes = m_store.Buffers().PaddedMain();
    m_cache.CheckDataDirs(zbPath);
    BrickTable& table = m_store.Table();
    const VolumeExtent ext = ExtentOf(table);
    context.SetVolumeSize(ext.voxels[0], ext.voxels[1], ext.voxels[2]);
    const bool paired = m_store.IsPaired();

    // 4. Panel image buffers.
    m_width = block.width;
    m_height = block.height;
    const int panelCount = std::max(1, context.PanelCount());
    m_panels.resize(static_cast<size_t>(panelCount));
    for (Panel& p : m_panels) p.image.assign(static_cast<size_t>(m_width) * m_height * 3, 0);
    m_currentPanel = -1;

    // 5. The eye frame and the panel frusta.
    m_eye = ToVec(block.eye);
    m_near = block.nearClip;
    m_far = block.farClip;
    m_limits = ext.limits;
    ViewFrame frame = ComputeViewFrame(m_eye, ToVec(block.center), ToVec(block.up));
    FrustumBlock fr;
    fr.center = ToVec(block.panelCenter);
    fr.normal = ToVec(block.panelNormal);
    fr.up = ToVec(block.panelUp);
    fr.halfWidth = block.halfWidth;
    fr.halfHeight = block.halfHeight;
    fr.fovDegrees = block.fieldOfView;
    for (Panel& p : m_panels) p.view = ComputePanelView(frame, fr);

    // 6. Colour table.
    ColorTable& colors = context.MutableColors();
    const std::string cmap(NameFieldView(block.cmapName));
    const std::string amap(NameFieldView(block.amapName));
    if (cmap != m_loadedMap) {
        m_loadedMap = cmap;
        if (cmap != kDefaultMapName) {
            int code = colors.LoadMapFiles(cmap, amap);
            if (code != 0) {
                m_loadedMap.clear();  // try again next frame
                m_report.error = code == ColorTable::kColorMapMissing
                                     ? "cannot open the colour-map file " + cmap
                                     : "cannot open the opacity-map file " + amap;
                if (m_log) m_log(m_report.error);
                m_report.result = code;
                return finishTimers(code);
            }
        }
    }
    const GLuint texture = window->TextureNames()[0];
    glBindTexture(GL_TEXTURE_2D, texture);
    if (opts.usePalet) context.LoadPalette();
    float rgba[256][4];
    for (int i = 0; i < 256; ++i) {
        const auto& e = colors.Entries()[static_cast<size_t>(i)];
        rgba[i][0] = e.r;
        rgba[i][1] = e.g;
        rgba[i][2] = e.b;
        rgba[i][3] = e.a;
    }
    const ColorTableRef tableRef{rgba, colors.Packed().data()};

    // 7. Clear.
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);

    // 8-10. Child lists, distances, selection.
    table.RebuildChildLists();
    std::vector<LodBrick> lod(static_cast<size_t>(table.Count()));
    for (int i = 0; i < table.Count(); ++i) {
        const Brick& b = table.bricks[static_cast<size_t>(i)];
        LodBrick& l = lod[static_cast<size_t>(i)];
        l.stride = b.stride;
        l.error = b.error;
        l.distance2 = BrickDistance2(ext, BoxOf(ext, b, OverlapOf(table, b.stride)), m_eye);
        l.children.assign(b.children.begin(), b.children.begin() + b.childCount);
    }
    LodParams lp;
    lp.coltolerance = quality.pixelError;
    lp.angletolerance = quality.angleError;
    lp.vrtolerance = quality.sizeError;
    lp.nearDist = m_near;
    lp.voxelsPerUnit = static_cast<float>(ext.voxels[0]) / (ext.limits[1] - ext.limits[0]);
    m_report.selection = SelectBricks(lod, table.root, lp);

    // 11. Statistics counts.
    const bool cross = opts.stats == kStatsCross;
    const bool pdf = opts.stats == kStatsPdf;
    if (cross) std::fill(m_joint.cells.begin(), m_joint.cells.end(), 0);
    if (pdf) m_single.fill(0);

    // 12. Several bricks: the loaded one will not survive the frame.
    if (m_report.selection.size() > 1) m_store.loadedBrick = -1;

    // 13-14. Cull and post the reads.
    CullParams cp;
    cp.nearDist = m_near;
    cp.farDist = m_far;
    cp.softdistance = m_softdistance;
    for (int k = 0; k < 6; ++k) {
        cp.aux.flags[static_cast<size_t>(k)] = block.auxClipEnable[k];
        cp.aux.offsets[static_cast<size_t>(k)] = block.auxClipPlane[k][3];
    }
    const int ov1 = OverlapOf(table, 1);
    m_cache.ResetRequests();
    for (int brick : m_report.selection) {
        if (context.Process().AbortRequested() || m_cache.AbortRaised()) return Abandon(context);
        const Brick& b = table.bricks[static_cast<size_t>(brick)];
        WorldBox box = BoxOf(ext, b, ov1);
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
    if (m_log) {
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

    // 15. The render loop.
    if (!m_overlay) m_overlay = std::make_unique<OverlayDrawer>(texture);
    const FloorSettings floor = context.SharedOptions().floor;
    const BoxSettings boxColour = context.SharedOptions().box;
    const std::array<float, 3> eyeArray{m_eye.x, m_eye.y, m_eye.z};
    bool firstBrick = true;
    PaletteBinding palette;
    palette.extension = context.Process().ColorTableEXT() != nullptr;
    palette.standIn = context.PaletteStandIn();
    SliceDrawSettings sds{opts.usePalet, paired, timersOn, m_debug.drawAllSlices};
    for (int brick : m_report.renderList) {
        if (timersOn) timers.StampTimer(kBeginJsubRenderloop);
        if (context.Process().AbortRequested() || m_cache.AbortRaised()) {
            m_store.loadedBrick = -1;
            return Abandon(context);
        }
        const Brick& b = table.bricks[static_cast<size_t>(brick)];
        const int ov = OverlapOf(table, b.stride);
        WorldBox box = BoxOf(ext, b, ov1);
        PaddedSides ps = PadBrick(b);
        bool fetched = false;
        for (int k = 0; k < panelCount; ++k) {
            const Panel& panel = m_panels[static_cast<size_t>(k)];
            CullResult cull = CullBrick(box, {b.nx, b.ny, b.nz}, m_eye, panel.view, cp);
            if (!cull.visible) continue;
            if (brick != m_store.loadedBrick) {
                if (!MakeReady(context, brick)) {
                    m_store.loadedBrick = -1;
                    return Abandon(context);
                }
                fetched = true;
            }
            if (k != m_currentPanel) SwitchToPanel(k, context);
            DrainGlErrors();
            BrickBytes bytes;
            bytes.main = m_mainBytes;
            bytes.second = (paired || cross) ? m_store.Buffers().PaddedSecond() : nullptr;
            bytes.shape.sides = {b.nx, b.ny, b.nz};
            bytes.shape.padded = {ps.x, ps.y, ps.z};
            bytes.overlap = ov;
            if (cross || pdf) {
                CountRegion region{cull.indexBegin, cull.indexEnd, ps.x, ps.y};
                const size_t native = NativeBytesRead(bytes.shape);
                std::span<const uint8_t> mainSpan(bytes.main, native);
                if (pdf) CountPdf(mainSpan, region, m_single);
                if (cross && bytes.second != nullptr)
                    CountCross(mainSpan, std::span<const uint8_t>(bytes.second, native), region,
                               m_joint);
            }
            glBindTexture(GL_TEXTURE_2D, texture);
            if (firstBrick) {
                m_overlay->DrawFloorAndBox(OverlayPass::kFar, m_limits, eyeArray, floor, boxColour);
                glBindTexture(GL_TEXTURE_2D, texture);
                firstBrick = false;
            }
            BrickPassInput in;
            for (int a = 0; a < 3; ++a) {
                in.boxMin[static_cast<size_t>(a)] = box.min[a];
                in.boxWidth[static_cast<size_t>(a)] = box.width[a];
                in.voxelSize[static_cast<size_t>(a)] = ext.Voxel(a);
                in.eye[static_cast<size_t>(a)] = m_eye[a];
            }
            in.sides = {b.nx, b.ny, b.nz};
            in.padded = {ps.x, ps.y, ps.z};
            in.overlap = ov;
            in.density = quality.nplanes;
            for (int a = 0; a < 6; ++a) {
                in.auxFlags[static_cast<size_t>(a)] = block.auxClipEnable[a];
                in.auxOffsets[static_cast<size_t>(a)] = block.auxClipPlane[a][3];
            }
            in.opacity = quality.opacity;
            in.xmin = ext.limits[0];
            in.xmax = ext.limits[1];
            const auto& names = window->TextureNames();
            SliceTextures sliceTextures{names.data() + 1, static_cast<int>(names.size()) - 1};
            m_report.slicesDrawn += m_slices.DrawPasses(PlanPasses(in), bytes, m_store.Buffers(),
                                                        tableRef, sds, palette, timers,
                                                        sliceTextures);
            glBindTexture(GL_TEXTURE_2D, texture);
            glFlush();
            glFinish();
        }
        if (fetched) m_cache.Release(brick);
        if (timersOn) timers.StampTimer(kEndJsubRenderloop);
    }

    // 16. Overlays after the bricks.
    if (m_currentPanel < 0) SwitchToPanel(0, context);  // nothing visible: still the cleared panel
    glBindTexture(GL_TEXTURE_2D, texture);
    m_overlay->DrawFloorAndBox(OverlayPass::kNear, m_limits, eyeArray, floor, boxColour);
    if (opts.showColorBar > 0)
        m_overlay->DrawColorBar(colors.Packed().data(), opts.ticks.Ticks(), opts.screenRatio);
    if (cross) {
        m_overlay->DrawCrossPlot(m_joint, opts.xTicks.Ticks(), opts.yTicks.Ticks());
        opts.xTicks.Clear();
        opts.yTicks.Clear();
    } else if (pdf) {
        m_overlay->DrawPdfPlot(m_single, opts.ticks.Ticks());
        opts.xTicks.Clear();
        opts.yTicks.Clear();
    }
    opts.stats = kStatsNone;

    // 17. Swap.
    context.EndFrame();
    // 18. Timers.
    return finishTimers(0);
}

}  // namespace voxa
