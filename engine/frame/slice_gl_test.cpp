// Slice drawing: the parts of slices that cannot show are left out without
// changing a pixel. Whole frames are rendered twice, once drawing every
// planned slice in full (VOXA_DRAW_ALL_SLICES=1) and once the usual way,
// and must come out byte for byte the same; the visibility and quad
// tightening helpers are checked against brute-force computations here.
#include "engine/frame/slice_gl.h"

#include "engine/frame/frame_pipeline.h"
#include "engine/context/render_context.h"
#include "platform/test_support.h"
#include "engine/timers/pto_summary.h"
#include "engine/bricks/zb_writer.h"

#include <GL/glu.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>
#include <random>

namespace voxa {
namespace {

using testing::FreshRoot;
using testing::ScopedEnv;

// --- visibility scans ---------------------------------------------------------

// The rectangle of texels that `visible(i)` accepts, found the slow way.
template <typename Pred>
TexelRect BruteRect(int width, int height, Pred visible) {
    TexelRect r;
    bool any = false;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            if (!visible(x + width * y)) continue;
            if (!any) r = {x, y, x, y};
            r.x0 = std::min(r.x0, x);
            r.x1 = std::max(r.x1, x);
            r.y0 = std::min(r.y0, y);
            r.y1 = std::max(r.y1, y);
            any = true;
        }
    return r;
}

void ExpectSameRect(const TexelRect& a, const TexelRect& b) {
    ASSERT_EQ(a.Empty(), b.Empty());
    if (a.Empty()) return;
    EXPECT_EQ(a.x0, b.x0);
    EXPECT_EQ(a.x1, b.x1);
    EXPECT_EQ(a.y0, b.y0);
    EXPECT_EQ(a.y1, b.y1);
}

TEST(SliceVisibility, TexelRectBoundsTheTexelsWithOpacity) {
    std::mt19937 rng(11);
    const int w = 16, h = 8;
    std::vector<uint32_t> texels(w * h);
    for (int round = 0; round < 200; ++round) {
        // Mostly transparent texels with colour, a few with opacity.
        int density = round % 5;  // 0: none at all
        for (uint32_t& t : texels) {
            t = rng() & 0x00FFFFFFu;
            if (density > 0 && static_cast<int>(rng() % 64) < density)
                t |= (1 + rng() % 255) << 24;
        }
        TexelRect got = VisibleTexelRect(texels, w, h);
        TexelRect want = BruteRect(w, h, [&](int i) { return (texels[i] >> 24) != 0; });
        ExpectSameRect(got, want);
    }
    // Too few words for the size: nothing claimed visible, nothing read past the end.
    EXPECT_TRUE(VisibleTexelRect(std::span<const uint32_t>(texels.data(), 10), w, h).Empty());
}

TEST(SliceVisibility, ByteRectFollowsTheTableNotTheValue) {
    uint32_t packed[256];
    for (int v = 0; v < 256; ++v) packed[v] = (v >= 100 && v < 110) ? 0x40FFFFFFu : 0x00FFFFFFu;
    const VisibleValues visible = VisibleOfPacked(packed);
    EXPECT_EQ(visible[99], 0);
    EXPECT_EQ(visible[100], 1);
    EXPECT_EQ(visible[109], 1);
    EXPECT_EQ(visible[110], 0);
    std::mt19937 rng(12);
    const int w = 32, h = 4;
    std::vector<uint8_t> bytes(w * h);
    for (int round = 0; round < 200; ++round) {
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng() % 2 ? 250 : rng() % 256);
        TexelRect got = VisibleByteRect(bytes, w, h, visible);
        TexelRect want = BruteRect(w, h, [&](int i) { return packed[bytes[i]] >> 24 != 0; });
        ExpectSameRect(got, want);
    }
}

TEST(SliceVisibility, FloatTableCountsOnlyExactZeroAsInvisible) {
    float rgba[256][4] = {};
    rgba[7][3] = 1e-30f;
    rgba[8][3] = std::nanf("");
    rgba[9][0] = 1.0f;  // colour without opacity
    VisibleValues v = VisibleOfFloats(rgba);
    EXPECT_EQ(v[0], 0);
    EXPECT_EQ(v[7], 1);
    EXPECT_EQ(v[8], 1);
    EXPECT_EQ(v[9], 0);
}

TEST(SliceVisibility, BrickScanSeesTheLastVoxelButNotThePadding) {
    BrickShape shape{{5, 6, 7}, {8, 8, 8}};
    std::vector<uint8_t> native(8 * 8 * 8, 0);
    VisibleValues visible{};
    visible[3] = 1;
    // Visible bytes in the padding only (x = 5..7, y = 6, 7, z = 7).
    native[NativeIndex(shape, 6, 2, 2)] = 3;
    native[NativeIndex(shape, 1, 7, 2)] = 3;
    native[NativeIndex(shape, 1, 1, 7)] = 3;
    EXPECT_FALSE(AnyVisibleByte(native, shape, visible));
    native[NativeIndex(shape, 4, 5, 6)] = 3;  // the brick's last voxel
    EXPECT_TRUE(AnyVisibleByte(native, shape, visible));
    // A layout shorter than the shape needs: refused, not read.
    EXPECT_FALSE(AnyVisibleByte(std::span<const uint8_t>(native.data(), 100), shape, visible));
}

// --- quad tightening ------------------------------------------------------------

// Does a fragment at texture coordinate c (one axis, P texels) take a
// non-zero share from some texel of first..last? Linear filtering reads
// texel i0 = floor(c*P - 0.5) with weight 1 - f and i0 + 1 with weight f.
bool Reaches(double c, int padded, int first, int last) {
    double u = c * padded - 0.5;
    double i0 = std::floor(u);
    double f = u - i0;
    bool lowShare = f < 1.0 && i0 >= first && i0 <= last;
    bool highShare = f > 0.0 && i0 + 1 >= first && i0 + 1 <= last;
    return lowShare || highShare;
}

TEST(SliceQuadTightening, KeepsEveryPositionThatReachesAVisibleTexelAndLittleElse) {
    std::mt19937 rng(21);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    int tightened = 0, emptied = 0;
    for (int round = 0; round < 60; ++round) {
        BrickPassInput in;
        in.sides = {33, 20, 64};
        in.padded = {64, 32, 64};
        in.overlap = round % 3;
        in.boxMin = {-1.0f, -0.5f + unit(rng), 0.25f};
        in.boxWidth = {1.5f, 0.75f, 2.0f};
        in.voxelSize = {2.0f / 64, 2.0f / 64, 2.0f / 64};
        in.eye = {-3.0f + 6 * unit(rng), -3.0f + 6 * unit(rng), -3.0f + 6 * unit(rng)};
        PassPlan plan = PlanPasses(in);
        for (const PlannedPass& pass : plan.passes) {
            const int sAxis = InPlaneAxisS(pass.kind), tAxis = InPlaneAxisT(pass.kind);
            const TextureRange sMap = TextureRangeOf(in, sAxis), tMap = TextureRangeOf(in, tAxis);
            for (size_t k = 0; k < pass.slices.size(); k += 7) {
                const PlannedSlice& slice = pass.slices[k];
                TexelRect rect;
                rect.x0 = static_cast<int>(rng() % pass.texWidth);
                rect.x1 = std::min(pass.texWidth - 1, rect.x0 + static_cast<int>(rng() % 6));
                rect.y0 = static_cast<int>(rng() % pass.texHeight);
                rect.y1 = std::min(pass.texHeight - 1, rect.y0 + static_cast<int>(rng() % 6));
                auto span = TightenQuad(slice.quad, pass.kind, rect, pass.texWidth,
                                        pass.texHeight);
                // The quad's own span, as PlanPasses laid it out.
                const float sLo = slice.quad[0].pos[sAxis], sHi = slice.quad[2].pos[sAxis];
                const float tLo = slice.quad[0].pos[tAxis], tHi = slice.quad[2].pos[tAxis];
                // Sample the quad densely: every sample whose coordinates reach
                // the rectangle on both axes must lie in the tightened span.
                const int n = 200;
                float reachLo = HUGE_VALF, reachHi = -HUGE_VALF;
                bool anyReach = false;
                for (int i = 0; i <= n; ++i) {
                    float ps = std::min(sHi, sLo + (sHi - sLo) * i / n);
                    if (!Reaches(sMap.Map(ps), pass.texWidth, rect.x0, rect.x1)) continue;
                    for (int j = 0; j <= n; ++j) {
                        float pt = std::min(tHi, tLo + (tHi - tLo) * j / n);
                        if (!Reaches(tMap.Map(pt), pass.texHeight, rect.y0, rect.y1)) continue;
                        anyReach = true;
                        reachLo = std::min(reachLo, ps);
                        reachHi = std::max(reachHi, ps);
                        ASSERT_TRUE(span.has_value()) << "slice " << slice.number;
                        EXPECT_GE(ps, span->sLo);
                        EXPECT_LE(ps, span->sHi);
                        EXPECT_GE(pt, span->tLo);
                        EXPECT_LE(pt, span->tHi);
                    }
                }
                if (!span) {
                    ++emptied;
                    continue;
                }
                // Within the quad, and at most a texel (world size) wider on
                // each side than the reach the samples found.
                EXPECT_GE(span->sLo, sLo);
                EXPECT_LE(span->sHi, sHi);
                EXPECT_GE(span->tLo, tLo);
                EXPECT_LE(span->tHi, tHi);
                const float texelS =
                    in.boxWidth[sAxis] / ((sMap.hi - sMap.lo) * pass.texWidth);
                if (anyReach) {
                    EXPECT_GE(span->sLo, reachLo - 1.1f * texelS - (sHi - sLo) / n);
                    EXPECT_LE(span->sHi, reachHi + 1.1f * texelS + (sHi - sLo) / n);
                }
                if (span->sHi - span->sLo < 0.99f * (sHi - sLo)) ++tightened;
            }
        }
    }
    EXPECT_GT(tightened, 50);  // the cases above do cut quads
    EXPECT_GT(emptied, 20);    // and find quads that cannot show at all
}

TEST(SliceQuadTightening, EmptyRectangleLeavesNothing) {
    std::array<SliceVertex, 4> quad{};
    quad[2].pos = {1, 1, 1};
    quad[2].s = quad[2].t = 1;
    EXPECT_FALSE(TightenQuad(quad, PassKind::kXY, TexelRect{}, 8, 8).has_value());
    EXPECT_TRUE(TightenQuad(quad, PassKind::kXY, TexelRect{0, 0, 7, 7}, 8, 8).has_value());
}

TEST(SliceScissor, BoxHoldsTheProjectedCornersAsGluProjectPlacesThem) {
    // A perspective view as a panel sets it up: frustum, then look-at, all
    // in the projection matrix; model-view identity.
    std::array<double, 16> p{};
    const double n = 0.5, f = 20.5, r = 0.3;
    p[0] = n / r;
    p[5] = n / r;
    p[10] = -(f + n) / (f - n);
    p[11] = -1;
    p[14] = -2 * f * n / (f - n);
    std::array<double, 16> mv{};
    mv[0] = mv[5] = mv[10] = mv[15] = 1;
    mv[14] = -5;  // eye 5 units back
    std::array<float, 16> pf{}, mvf{};
    for (int i = 0; i < 16; ++i) {
        pf[i] = static_cast<float>(p[i]);
        mvf[i] = static_cast<float>(mv[i]);
    }
    const std::array<int, 4> viewport{0, 0, 300, 200};
    std::array<std::array<float, 3>, 4> corners = {
        {{-0.4f, -0.2f, 0.3f}, {-0.4f, 0.5f, 0.3f}, {0.6f, 0.5f, -0.7f}, {0.6f, -0.2f, -0.7f}}};
    ScissorBox box = ProjectedBox(corners, pf, mvf, viewport);
    double xMin = 1e9, xMax = -1e9, yMin = 1e9, yMax = -1e9;
    for (const auto& c : corners) {
        double wx, wy, wz;
        ASSERT_EQ(gluProject(c[0], c[1], c[2], mv.data(), p.data(), viewport.data(), &wx, &wy,
                             &wz),
                  GL_TRUE);
        xMin = std::min(xMin, wx);
        xMax = std::max(xMax, wx);
        yMin = std::min(yMin, wy);
        yMax = std::max(yMax, wy);
    }
    // Grown by two pixels (and rounded out), within the viewport.
    EXPECT_NEAR(box.x, std::floor(xMin - 2), 1);
    EXPECT_NEAR(box.x + box.width, std::ceil(xMax + 2), 1);
    EXPECT_NEAR(box.y, std::floor(yMin - 2), 1);
    EXPECT_NEAR(box.y + box.height, std::ceil(yMax + 2), 1);
    EXPECT_LE(box.x, xMin - 1);
    EXPECT_GE(box.x + box.width, xMax + 1);

    // A corner behind the eye: the whole viewport.
    auto behind = corners;
    behind[1][2] = 6.0f;
    ScissorBox whole = ProjectedBox(behind, pf, mvf, viewport);
    EXPECT_EQ(whole.x, 0);
    EXPECT_EQ(whole.y, 0);
    EXPECT_EQ(whole.width, 300);
    EXPECT_EQ(whole.height, 200);

    // Wholly off to the right: nothing.
    auto aside = corners;
    for (auto& c : aside) c[0] += 10.0f;
    EXPECT_TRUE(ProjectedBox(aside, pf, mvf, viewport).Empty());
}

// --- whole frames, drawn in full and the usual way ------------------------------

constexpr float kTan17 = 0.30573068f;

class SliceIdentityTest : public ::testing::Test {
protected:
    SliceIdentityTest() {
        m_process.SetDisplayMode(DisplayMode::kHeadless);
        m_context = std::make_unique<RenderContext>(m_process);
        m_pipeline = std::make_unique<FramePipeline>(m_process);
        m_pipeline->Attach(*m_context);
    }
    ~SliceIdentityTest() override {
        m_context->ClearIt();
        m_pipeline.reset();
    }

    void Start(int size) {
        const float center[3] = {0, 1, 0}, up[3] = {0, 0, 1}, normal[3] = {0, 1, 0};
        m_context->SetFrustum(center, up, normal, size, size, 2 * kTan17);
        m_context->StartUp();
        ASSERT_NE(m_context->Window(), nullptr);
    }

    // Eye, centre the origin, up +z; density; optional auxiliary box.
    void View(float ex, float ey, float ez, float density = 1.0f, const float* box = nullptr) {
        Renderparams key;
        m_context->SaveKey(&key);
        key.eyeX = ex;
        key.eyeY = ey;
        key.eyeZ = ez;
        key.centerX = key.centerY = key.centerZ = 0;
        key.upX = 0;
        key.upY = 0;
        key.upZ = 1;
        key.nplanes = density;
        key.my_near = 0.05f;
        for (int i = 0; i < 6; ++i) {
            key.ifauxclip[i] = box != nullptr ? 2 : 0;
            key.auxclip[i][3] = box != nullptr ? box[i] : 0;
        }
        m_context->RestorKey(&key);
    }

    struct Frame {
        std::vector<unsigned char> pixels;
        int slices = 0;
    };
    Frame Render() {
        m_context->SetDoRender();
        EXPECT_EQ(m_context->LastFrameResult(), 0);
        BinaryDataVOXA pix;
        m_context->GetPix(&pix);
        return {pix.m_pBuffer, m_pipeline->LastFrame().slicesDrawn};
    }

    // Renders the current view in full and the usual way, in both
    // compositing orders. Back to front the images must match byte for
    // byte. Front to back the usual way also leaves out what opaque pixels
    // hide (at most a quarter level of a channel, plus the one rounding of
    // the float accumulation): within one level, and on few bytes at all.
    // Returns the slices drawn back to front {in full, usual way}.
    std::pair<int, int> ExpectSameImage(const std::string& what) {
        m_pipeline->SetDebugSettings({.drawAllSlices = true});
        Frame full = Render();
        m_pipeline->SetDebugSettings({.drawAllSlices = false});
        Frame fast = Render();
        EXPECT_EQ(full.pixels.size(), fast.pixels.size()) << what;
        size_t differing = 0, first = full.pixels.size(), lit = 0;
        for (size_t i = 0; i < std::min(full.pixels.size(), fast.pixels.size()); ++i) {
            if (full.pixels[i] != fast.pixels[i]) {
                ++differing;
                first = std::min(first, i);
            }
            lit += full.pixels[i] > 8 ? 1 : 0;
        }
        EXPECT_EQ(differing, 0u) << what << ": first difference at byte " << first;
        EXPECT_GT(lit, full.pixels.size() / 50) << what << ": the scene should show";
        EXPECT_GT(full.slices, 0) << what;
        EXPECT_LE(fast.slices, full.slices) << what;

        m_pipeline->SetDebugSettings({.drawAllSlices = true, .frontToBack = true});
        Frame fullFront = Render();
        m_pipeline->SetDebugSettings({.drawAllSlices = false, .frontToBack = true});
        Frame fastFront = Render();
        m_pipeline->SetDebugSettings({});
        EXPECT_EQ(fullFront.pixels.size(), fastFront.pixels.size()) << what;
        int worst = 0;
        differing = 0;
        for (size_t i = 0; i < std::min(fullFront.pixels.size(), fastFront.pixels.size()); ++i) {
            const int d = std::abs(int(fullFront.pixels[i]) - int(fastFront.pixels[i]));
            worst = std::max(worst, d);
            differing += d != 0 ? 1 : 0;
        }
        EXPECT_LE(worst, 1) << what << ", front to back";
        EXPECT_LE(differing, fullFront.pixels.size() / 50) << what << ", front to back";
        EXPECT_LE(fastFront.slices, fullFront.slices) << what << ", front to back";
        return {full.slices, fast.slices};
    }

    // 64^3 noise with zeros: outside a ball of radius 27 around the centre
    // and in a slab x < 12; zbmake'd into 32^3 bricks with overlap 1.
    std::string BuildHollowNoise() {
        SourceVolume v;
        v.nx = v.ny = v.nz = 64;
        v.values.resize(64 * 64 * 64);
        std::mt19937 rng(5);
        for (int z = 0; z < 64; ++z)
            for (int y = 0; y < 64; ++y)
                for (int x = 0; x < 64; ++x) {
                    float dx = x - 31.5f, dy = y - 31.5f, dz = z - 33.0f;
                    bool inside = dx * dx + dy * dy + dz * dz < 27.0f * 27.0f && x >= 12;
                    v.values[x + 64 * (y + 64 * static_cast<size_t>(z))] =
                        inside ? static_cast<float>(1 + rng() % 255) : 0.0f;
                }
        ZbMakeOptions o;
        o.brick = 32;
        o.overlap = 1;
        std::string zb = m_root.File("hollow.zb");
        EXPECT_TRUE(MakeZb(v, zb, o).ok());
        return zb;
    }

    FreshRoot m_root;
    RenderProcess m_process;
    std::unique_ptr<RenderContext> m_context;
    std::unique_ptr<FramePipeline> m_pipeline;
};

TEST_F(SliceIdentityTest, TestVolumeIsTheSameFromOutsideAndInside) {
    Start(96);
    for (const char* palet : {"FALSE", "TRUE"}) {
        m_context->SetOption("UsePalet", palet);
        View(3.0f, -4.0f, 6.0f);
        ExpectSameImage(std::string("oblique, UsePalet ") + palet);
        View(0.3f, -0.25f, 0.4f);  // inside: all six passes, corners behind the eye
        ExpectSameImage(std::string("inside, UsePalet ") + palet);
    }
}

TEST_F(SliceIdentityTest, HollowNoiseIsTheSameAndDrawsFewerSlices) {
    m_context->Set_ZBname(BuildHollowNoise());
    m_context->SetRenderQuality(0, 0.0f, 0.0f);  // the eight leaves
    Start(128);
    for (const char* palet : {"FALSE", "TRUE"}) {
        m_context->SetOption("UsePalet", palet);
        View(-2.5f, -3.5f, 2.0f);
        auto [full, fast] = ExpectSameImage(std::string("density 1, UsePalet ") + palet);
        EXPECT_LT(fast, full) << "slices wholly outside the ball are left out";
        View(2.0f, 1.5f, -3.0f, 1.7f);  // slices between voxel planes
        ExpectSameImage(std::string("density 1.7, UsePalet ") + palet);
    }
}

TEST_F(SliceIdentityTest, HollowNoiseInsideTheAuxiliaryBoxIsTheSame) {
    m_context->Set_ZBname(BuildHollowNoise());
    m_context->SetRenderQuality(0, 0.0f, 0.0f);
    Start(128);
    const float box[6] = {-0.6f, 0.7f, -0.8f, 0.3f, -0.5f, 0.9f};
    for (const char* palet : {"FALSE", "TRUE"}) {
        m_context->SetOption("UsePalet", palet);
        View(-3.0f, 2.5f, 2.5f, 1.0f, box);
        ExpectSameImage(std::string("aux box, UsePalet ") + palet);
    }
}

TEST_F(SliceIdentityTest, ValuesMadeInvisibleByTheTableAreLeftOutToo) {
    m_context->Set_ZBname(BuildHollowNoise());
    m_context->SetRenderQuality(0, 0.0f, 0.0f);
    // Opacity 0 up to 150, then rising: most of the noise cannot show.
    const int ind[3] = {0, 150, 255};
    const float alpha[3] = {0.0f, 0.0f, 0.6f};
    const float red[3] = {1.0f, 0.2f, 0.9f}, green[3] = {0.3f, 0.8f, 0.1f},
                blue[3] = {0.5f, 0.5f, 1.0f};
    m_context->SetLUTia(3, ind, alpha);
    m_context->SetLUTirgb(3, ind, red, green, blue);
    Start(128);
    for (const char* palet : {"FALSE", "TRUE"}) {
        m_context->SetOption("UsePalet", palet);
        View(3.0f, -2.0f, 2.5f, 1.3f);
        ExpectSameImage(std::string("thresholded table, UsePalet ") + palet);
    }
}

TEST_F(SliceIdentityTest, InvisibleBrickKeepsItsTimerMarks) {
    // Zeros but for a speck in one corner, in eight bricks (so every frame
    // reads and transposes again): seven bricks have nothing to draw, but
    // their passes are still timed.
    SourceVolume v;
    v.nx = v.ny = v.nz = 32;
    v.values.assign(32 * 32 * 32, 0.0f);
    for (int z = 2; z < 5; ++z)
        for (int y = 2; y < 5; ++y)
            for (int x = 2; x < 5; ++x) v.values[x + 32 * (y + 32 * z)] = 200.0f;
    ZbMakeOptions o;
    o.brick = 16;
    o.overlap = 1;
    std::string zb = m_root.File("zero.zb");
    ASSERT_TRUE(MakeZb(v, zb, o).ok());
    m_context->Set_ZBname(zb);
    m_context->SetRenderQuality(0, 0.0f, 0.0f);
    m_context->SetOption("TimersOn", "1");
    Start(32);
    View(2.0f, -3.0f, 1.5f);  // passes on more than one axis, with transposes
    auto labels = [&](const char* drawAll) {
        m_pipeline->SetDebugSettings({.drawAllSlices = std::string(drawAll) == "1"});
        std::string file = m_root.File(std::string("t") + drawAll + ".pto");
        m_context->SetOption("TimerOutputFile", file);
        Frame f = Render();
        std::ifstream in(file);
        PtoSummary s = SummarizeTimerFile(in);
        std::vector<std::pair<std::string, int>> out;
        for (const PtoGroup& g : s.groups)
            out.emplace_back(g.label.substr(g.label.find("End")), g.count);
        return std::make_pair(out, f.slices);
    };
    auto [full, fullSlices] = labels("1");
    auto [fast, fastSlices] = labels("0");
    EXPECT_GT(fastSlices, 0);
    EXPECT_LT(fastSlices * 4, fullSlices);
    EXPECT_EQ(full, fast);
    auto has = [&](const std::string& l) {
        return std::any_of(fast.begin(), fast.end(), [&](const auto& g) { return g.first == l; });
    };
    EXPECT_TRUE(has("End   Bol_RenderingYZ") || has("End   Bol_RenderingXZ"));
    EXPECT_TRUE(has("End   TposeYZ") || has("End   TposeXZ"));
}

// --- slice textures -------------------------------------------------------------

TEST(SliceTexturePool, EachShapeTurnsThroughItsOwnNamesAndGivesWayWhenTheyRunOut) {
    constexpr int kRing = SliceTexturePool::kRing;
    const int count = 2 * kRing + 1;
    std::vector<unsigned int> names(static_cast<size_t>(count));
    const SliceTextures textures{names.data(), count};
    const TextureShape a{1, 48, 57}, b{1, 57, 48}, c{2, 48, 57};
    SliceTexturePool pool;

    // Shape a takes the first kRing names in order, then turns through
    // them from the oldest.
    for (int i = 0; i < kRing; ++i) EXPECT_EQ(pool.Pick(textures, a), i);
    for (int i = 0; i < kRing + 3; ++i) EXPECT_EQ(pool.Pick(textures, a), i % kRing);

    // Shape b (same format, sides swapped) gets names of its own.
    for (int i = 0; i < kRing; ++i) EXPECT_EQ(pool.Pick(textures, b), kRing + i);
    EXPECT_EQ(pool.Pick(textures, b), kRing);

    // One name is left for c (another format); after that c takes one from
    // a ring larger than its own, and that name no longer turns up for it.
    EXPECT_EQ(pool.Pick(textures, c), 2 * kRing);
    const int taken = pool.Pick(textures, c);
    EXPECT_NE(taken, 2 * kRing);
    EXPECT_GE(taken, 0);
    EXPECT_LT(taken, 2 * kRing);
    const TextureShape& donor = taken < kRing ? a : b;
    for (int i = 0; i < 2 * kRing; ++i) EXPECT_NE(pool.Pick(textures, donor), taken);

    // In use together, c takes names until the rings are even (65 names:
    // 22, 22, 21); from then on every name belongs to one shape alone.
    for (int round = 0; round < 3 * kRing; ++round)
        for (const TextureShape* shape : {&a, &b, &c}) pool.Pick(textures, *shape);
    std::vector<int> owner(static_cast<size_t>(count), -1);
    std::vector<int> used(3, 0);
    for (int round = 0; round < 3 * kRing; ++round)
        for (int s = 0; s < 3; ++s) {
            const TextureShape& shape = s == 0 ? a : (s == 1 ? b : c);
            const int n = pool.Pick(textures, shape);
            ASSERT_GE(n, 0);
            ASSERT_LT(n, count);
            int& o = owner[static_cast<size_t>(n)];
            if (o < 0) {
                o = s;
                ++used[static_cast<size_t>(s)];
            }
            EXPECT_EQ(o, s) << "name " << n << " shared by two shapes";
        }
    std::sort(used.begin(), used.end());
    EXPECT_EQ(used, (std::vector<int>{21, 22, 22}));

    // Other names (a new window): the bookkeeping starts afresh.
    std::vector<unsigned int> other(4);
    EXPECT_EQ(pool.Pick({other.data(), 4}, c), 0);
    EXPECT_EQ(pool.Pick({other.data(), 4}, a), 1);
    pool.Forget();
    EXPECT_EQ(pool.Pick({other.data(), 4}, a), 0);
    // No names: the bound texture is used.
    EXPECT_EQ(pool.Pick({nullptr, 0}, a), -1);
    EXPECT_EQ(pool.Pick({other.data(), 0}, a), -1);
}

// Slices go into textures that earlier frames left behind, with storage of
// their shape or not: a view drawn after other views, and after every slice
// texture has been re-specified behind the drawer's back, is the same to the
// byte as the first time.
TEST_F(SliceIdentityTest, TexturesLeftByEarlierFramesDoNotChangeTheImage) {
    m_context->Set_ZBname(BuildHollowNoise());
    m_context->SetRenderQuality(0, 0.0f, 0.0f);
    Start(128);
    for (const char* palet : {"FALSE", "TRUE"}) {
        m_context->SetOption("UsePalet", palet);
        View(-2.5f, -3.5f, 2.0f);
        const Frame first = Render();
        View(2.0f, 1.5f, -3.0f, 1.7f);  // other passes, other shapes
        const Frame other = Render();
        View(-2.5f, -3.5f, 2.0f);
        const Frame again = Render();
        // Every slice texture re-specified 1 x 1 by someone else.
        const auto& names = m_context->Window()->TextureNames();
        const unsigned char texel[4] = {255, 0, 255, 255};
        for (size_t i = 1; i < names.size(); ++i) {
            glBindTexture(GL_TEXTURE_2D, names[i]);
            glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, 1, 1, 0, GL_RGBA, GL_UNSIGNED_BYTE, texel);
        }
        glBindTexture(GL_TEXTURE_2D, 0);
        const Frame afterRespec = Render();
        size_t lit = 0;
        for (unsigned char p : first.pixels) lit += p > 8 ? 1 : 0;
        EXPECT_GT(lit, first.pixels.size() / 50) << palet << ": the scene should show";
        EXPECT_NE(first.pixels, other.pixels) << palet << ": the second view differs";
        EXPECT_TRUE(first.pixels == again.pixels) << palet << ": after another view";
        EXPECT_TRUE(first.pixels == afterRespec.pixels) << palet << ": after re-specification";
        EXPECT_EQ(first.slices, again.slices);
    }
}

// A brick smaller than its padding leaves the transposed layouts' padding
// to whatever an earlier brick put there; front to back, where the pixels
// that turn opaque are marked follows the scissor boxes, and so would the
// image (by a level here and there). Every view must come out the same
// whichever views were drawn before it.
TEST_F(SliceIdentityTest, FrontToBackImageDoesNotDependOnEarlierFrames) {
    SourceVolume v;
    v.nx = 61;
    v.ny = 52;
    v.nz = 45;  // bricks short of their padding on every axis
    v.values.resize(static_cast<size_t>(v.nx) * v.ny * v.nz);
    // A dense ball in air: the opaque middle is marked, and bricks see air
    // at their sides, so stale padding would widen their boxes.
    std::mt19937 rng(9);
    for (int z = 0; z < v.nz; ++z)
        for (int y = 0; y < v.ny; ++y)
            for (int x = 0; x < v.nx; ++x) {
                const float dx = x - 30.0f, dy = y - 26.0f, dz = z - 22.0f;
                const bool inside = dx * dx + dy * dy + dz * dz < 20.0f * 20.0f;
                v.values[static_cast<size_t>(x) + static_cast<size_t>(v.nx) * (y + static_cast<size_t>(v.ny) * z)] =
                    inside ? static_cast<float>(100 + rng() % 156) : 0.0f;
            }
    ZbMakeOptions o;
    o.brick = 32;
    o.overlap = 1;
    std::string zb = m_root.File("odd.zb");
    ASSERT_TRUE(MakeZb(v, zb, o).ok());
    m_context->Set_ZBname(zb);
    m_context->SetRenderQuality(0, 0.0f, 0.0f);
    m_pipeline->SetDebugSettings({.frontToBack = true});
    Start(128);
    const std::array<std::array<float, 3>, 4> views = {
        {{3.0f, -2.0f, 1.0f}, {-2.5f, -3.5f, 2.0f}, {2.0f, 1.5f, -3.0f}, {0.5f, -4.0f, 0.3f}}};
    std::vector<std::vector<unsigned char>> first;
    for (const auto& e : views) {
        View(e[0], e[1], e[2]);
        first.push_back(Render().pixels);
        // Blank frames would be alike whatever came before: the ball shows.
        size_t lit = 0;
        for (unsigned char p : first.back()) lit += p > 8 ? 1 : 0;
        EXPECT_GT(lit, first.back().size() / 50) << "view " << first.size() - 1;
    }
    for (size_t i = 0; i < views.size(); ++i)
        for (size_t j = 0; j < views.size(); ++j) {
            if (i == j) continue;
            View(views[j][0], views[j][1], views[j][2]);
            Render();
            View(views[i][0], views[i][1], views[i][2]);
            EXPECT_TRUE(Render().pixels == first[i]) << "view " << i << " after view " << j;
        }
}

}  // namespace
}  // namespace voxa
