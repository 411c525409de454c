// Frame pipeline: whole renders through a headless context, checked
// against pixel values and brick choices computed independently here.
#include "engine/frame/frame_pipeline.h"

#include "engine/context/render_context.h"
#include "platform/test_support.h"
#include "engine/timers/pto_summary.h"
#include "engine/bricks/zb_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

namespace voxa {
namespace {

using testing::FreshRoot;
using testing::ScopedEnv;

constexpr float kTan17 = 0.30573068f;

class FramePipelineTest : public ::testing::Test {
protected:
    FramePipelineTest() {
        m_process.SetDisplayMode(DisplayMode::kHeadless);
        m_context = std::make_unique<RenderContext>(m_process);
        m_pipeline = std::make_unique<FramePipeline>(m_process);
        m_pipeline->Attach(*m_context);
    }
    ~FramePipelineTest() override {
        m_context->ClearIt();
        m_pipeline.reset();
    }

    // The default panel (straight ahead, half-width tan 17 degrees) at
    // width x height pixels.
    void Start(int width, int height) {
        const float center[3] = {0, 1, 0}, up[3] = {0, 0, 1}, normal[3] = {0, 1, 0};
        m_context->SetFrustum(center, up, normal, width, height, 2 * kTan17);
        m_context->StartUp();
        ASSERT_NE(m_context->Window(), nullptr);
    }

    std::vector<unsigned char> Render() {
        m_context->SetDoRender();
        BinaryDataVOXA pix;
        m_context->GetPix(&pix);
        return pix.m_pBuffer;
    }

    int Width() const { return m_context->CurrentBlock().width; }
    int Height() const { return m_context->CurrentBlock().height; }
    // Red channel of pixel (x, y), y counted from the bottom row.
    int Red(const std::vector<unsigned char>& img, int x, int y) const {
        return img[(static_cast<size_t>(y) * Width() + x) * 3];
    }
    // Screen position of a world point seen from the eye on +z looking at
    // the origin with the default panel.
    std::pair<int, int> Project(float x, float y, float z, float eyeZ) const {
        float depth = eyeZ - z;
        float hw = kTan17 * depth;
        float hh = hw * Height() / Width();
        return {static_cast<int>((x / hw + 1) * 0.5f * Width()),
                static_cast<int>((y / hh + 1) * 0.5f * Height())};
    }

    // A ZB tree of one brick of n^3 voxels, all of value v, as the engine
    // reads it (written here, not by the brick builder).
    std::string WriteConstantBrick(int n, unsigned char v) {
        std::string data = m_root.File("const.raw");
        std::ofstream(data, std::ios::binary)
            << std::string(static_cast<size_t>(n) * n * n, static_cast<char>(v));
        std::string zb = m_root.File("const.zb");
        std::ofstream(zb) << "const.raw 0 1 " << n << " " << n << " " << n << " 0 0 0 -1 0\n";
        return zb;
    }

    void Grey(float alpha) {
        const int ind[2] = {0, 255};
        const float zero[2] = {1, 1}, a[2] = {alpha, alpha};
        m_context->SetLUTia(2, ind, a);
        m_context->SetLUTirgb(2, ind, zero, zero, zero);  // white, fixed alpha
    }

    FreshRoot m_root;
    RenderProcess m_process;
    std::unique_ptr<RenderContext> m_context;
    std::unique_ptr<FramePipeline> m_pipeline;
};

TEST_F(FramePipelineTest, TestVolumeShowsItsBrightEdgesWhereTheyBelong) {
    Start(256, 256);
    std::vector<unsigned char> img = Render();
    ASSERT_EQ(m_context->LastFrameResult(), 0);
    ASSERT_TRUE(m_pipeline->Store().IsTestVolume());
    // The cube spans -1..1; its edge voxels are bright, the rest 0. Seen
    // from (0, 0, 10): the front face's top edge (y = 1 - 1/32, z = 1)
    // and the back face's (z = -1) are lines; the middle is dark.
    EXPECT_LT(Red(img, 128, 128), 10);
    auto front = Project(0, 1 - 1.0f / 32, 1 - 1.0f / 32, 10);
    auto back = Project(0, 1 - 1.0f / 32, -1 + 1.0f / 32, 10);
    EXPECT_GT(Red(img, front.first, front.second), 40) << front.second;
    EXPECT_GT(Red(img, back.first, back.second), 40) << back.second;
    // Just inside the squares, on the face between the edges: dark.
    auto inside = Project(0, 0.5f, 1, 10);
    EXPECT_LT(Red(img, inside.first, inside.second), 10);
    // Outside the cube: black.
    EXPECT_EQ(Red(img, 128, 250), 0);
    EXPECT_EQ(Red(img, 2, 128), 0);
    EXPECT_EQ(m_pipeline->LastFrame().requestsPosted, 0);  // the test brick is in memory
}

TEST_F(FramePipelineTest, ConstantBrickCompositesToOneMinusOneMinusAlphaToTheN) {
    const int n = 32;
    m_context->Set_ZBname(WriteConstantBrick(n, 200));
    Grey(0.2f);
    // Slice alpha: |spacings| * 128 * opacity / (xmax - xmin), spacing 2/32.
    const float spacing = 2.0f / n;
    const float opacity = 0.25f / (std::sqrt(3.0f) * spacing * 128 / 2);  // slice alpha 0.25
    m_context->SetOpacity(opacity);
    Start(64, 64);
    for (const char* eye : {"+z", "+x"}) {
        // Along z (one x-y pass), then along x (one y-z pass).
        std::vector<unsigned char> img = Render();
        ASSERT_EQ(m_context->LastFrameResult(), 0);
        const double a = 0.2 * 0.25;
        const double expected = 255.0 * (1.0 - std::pow(1.0 - a, n));
        // 8-bit blending rounds at each of the 32 steps: allow 4 levels.
        EXPECT_NEAR(Red(img, 32, 32), expected, 4.0) << "eye " << eye;
        EXPECT_EQ(m_pipeline->LastFrame().renderList.size(), 1u);
        // Turn to look along x for the second round.
        Renderparams key;
        m_context->SaveKey(&key);
        key.eyeX = 10;
        key.eyeY = 0;
        key.eyeZ = 0;
        m_context->RestorKey(&key);
    }
}

TEST_F(FramePipelineTest, OneBrickVolumeIsReadOnceAndKeptAcrossFrames) {
    m_context->Set_ZBname(WriteConstantBrick(16, 90));
    Start(32, 32);
    Render();
    EXPECT_EQ(m_pipeline->LastFrame().requestsPosted, 1);
    Render();
    EXPECT_EQ(m_pipeline->LastFrame().requestsPosted, 0);
    EXPECT_EQ(m_pipeline->LastFrame().renderList.size(), 1u);
}

TEST_F(FramePipelineTest, MissingColourMapEndsTheFrameWithItsCode) {
    Start(32, 32);
    m_context->SetLUT(m_root.File("no.amap"), m_root.File("no.cmap"));
    Render();
    EXPECT_EQ(m_context->LastFrameResult(), -2);
}

TEST_F(FramePipelineTest, TreeWithoutParentGivesMinusOneAndNoImage) {
    std::string zb = m_root.File("bad.zb");
    // Brick 0 (stride 1) lies outside the only stride-2 brick.
    std::ofstream(zb) << "a.raw 0 1 8 8 8 40 40 40 0 5\n"
                         "a.raw 0 2 8 8 8 0 0 0 -1 5\n";
    m_context->Set_ZBname(zb);
    Start(32, 32);
    Render();
    EXPECT_EQ(m_context->LastFrameResult(), -1);
}

// A volume of 64^3 built into 32^3 bricks: two levels of 8 leaves and a root.
std::string BuildTwoLevels(const FreshRoot& root) {
    SourceVolume v;
    v.nx = v.ny = v.nz = 64;
    v.values.resize(64 * 64 * 64);
    for (size_t i = 0; i < v.values.size(); ++i)
        v.values[i] = static_cast<float>((i * 2654435761u) >> 24);  // rough noise: large errors
    ZbMakeOptions o;
    o.brick = 32;
    o.overlap = 1;
    std::string zb = root.File("two.zb");
    EXPECT_TRUE(MakeZb(v, zb, o).ok());
    return zb;
}

TEST_F(FramePipelineTest, TolerancesChooseRootOrLeavesAndReadsFollow) {
    std::string zb = BuildTwoLevels(m_root);
    m_context->Set_ZBname(zb);
    Start(64, 64);
    m_context->SetRenderQuality(100000, 0.0f, 0.0f);  // coltolerance above every error
    Render();
    ASSERT_EQ(m_context->LastFrameResult(), 0);
    const BrickTable& t = m_pipeline->Store().Table();
    ASSERT_EQ(m_pipeline->LastFrame().selection, std::vector<int>{t.root});

    m_context->SetRenderQuality(0, 0.0f, 0.0f);  // split down to the leaves
    Render();
    const FrameReport& f = m_pipeline->LastFrame();
    int leaves = 0;
    for (const Brick& b : t.bricks) leaves += b.childCount == 0 ? 1 : 0;
    ASSERT_EQ(static_cast<int>(f.selection.size()), leaves);
    for (int b : f.selection) EXPECT_EQ(t.bricks[static_cast<size_t>(b)].childCount, 0);
    // Back to front: the eye stands on +z (0, 0, 10), so of the leaves in
    // one column (the same x and y) the lower comes first.
    std::map<std::pair<int, int>, int> lastZ;
    int ordered = 0;
    for (int b : f.selection) {
        const Brick& leaf = t.bricks[static_cast<size_t>(b)];
        auto [at, first] = lastZ.try_emplace({leaf.x0, leaf.y0}, leaf.z0);
        if (first) continue;
        EXPECT_LT(at->second, leaf.z0) << "column " << leaf.x0 << "," << leaf.y0;
        at->second = leaf.z0;
        ++ordered;
    }
    EXPECT_GT(ordered, 0);
    EXPECT_EQ(f.requestsPosted, static_cast<int>(f.renderList.size()));
    EXPECT_GT(f.slicesDrawn, 0);
}

TEST_F(FramePipelineTest, CrossStatisticsReadTheVolumeAgainEveryFrame) {
    std::string zb = WriteConstantBrick(16, 50);
    m_context->Set_ZBname(zb);
    Start(32, 32);
    Render();
    ASSERT_FALSE(m_pipeline->Store().IsTestVolume());
    std::remove(zb.c_str());
    Render();  // the tree stays loaded
    EXPECT_FALSE(m_pipeline->Store().IsTestVolume());
    m_context->SetOption("Stats", "cross");
    Render();  // read again: the file is gone, so the test volume appears
    EXPECT_TRUE(m_pipeline->Store().IsTestVolume());
    EXPECT_EQ(m_context->Options().stats, "none");  // one plot per request
}

TEST_F(FramePipelineTest, PaletteAndEngineTableImagesAgreeWithinOneLevel) {
    Start(128, 128);
    std::vector<unsigned char> bol = Render();
    m_context->SetOption("UsePalet", "TRUE");
    std::vector<unsigned char> bob = Render();
    ASSERT_EQ(bol.size(), bob.size());
    int worst = 0, lit = 0;
    for (size_t i = 0; i < bol.size(); ++i) {
        worst = std::max(worst, std::abs(int(bol[i]) - int(bob[i])));
        lit += bol[i] > 20 ? 1 : 0;
    }
    EXPECT_GT(lit, 500);  // the edges are there
    EXPECT_LE(worst, 1);

    // Front to back, the palette shader gives premultiplied colours as the
    // engine's slice program does: the same agreement.
    m_pipeline->SetDebugSettings({.frontToBack = true});
    std::vector<unsigned char> bobFront = Render();
    m_context->SetOption("UsePalet", "FALSE");
    std::vector<unsigned char> bolFront = Render();
    ASSERT_EQ(bolFront.size(), bobFront.size());
    int worstFront = 0, worstOrders = 0;
    for (size_t i = 0; i < bolFront.size(); ++i) {
        worstFront = std::max(worstFront, std::abs(int(bolFront[i]) - int(bobFront[i])));
        worstOrders = std::max(worstOrders, std::abs(int(bolFront[i]) - int(bol[i])));
    }
    EXPECT_LE(worstFront, 1);
    EXPECT_GT(worstOrders, 0) << "front to back really ran";
    EXPECT_LE(worstOrders, 3);
}

TEST_F(FramePipelineTest, TimedRenderWritesTheRenderPhases) {
    m_context->SetOption("TimersOn", "1");
    m_context->SetOption("TimerOutputFile", m_root.File("t.pto"));
    m_context->Set_ZBname(WriteConstantBrick(16, 50));
    Start(32, 32);
    Render();
    Render();
    std::ifstream in(m_root.File("t.pto"));
    PtoSummary s = SummarizeTimerFile(in);
    std::vector<std::string> labels;
    for (const PtoGroup& g : s.groups) labels.push_back(g.label.substr(g.label.find("End")));
    auto has = [&](const std::string& l) {
        return std::find(labels.begin(), labels.end(), l) != labels.end();
    };
    EXPECT_TRUE(has("End   Rendering"));
    EXPECT_TRUE(has("End   jsubRenderloop"));
    EXPECT_TRUE(has("End   Bol_RenderingXY"));
    EXPECT_TRUE(has("End   GetCacheBuffer : 4096 bytes"));
}

TEST(FrameDebugSettingsTest, EachSwitchIsOnOnlyWhenItsVariableIsOne) {
    {
        ScopedEnv all(kDrawAllSlicesEnv, "1");
        ScopedEnv log(kPanelLogEnv, "0");
        FrameDebugSettings s = FrameDebugSettings::FromEnvironment();
        EXPECT_TRUE(s.drawAllSlices);
        EXPECT_FALSE(s.panelLog);
    }
    {
        ScopedEnv all(kDrawAllSlicesEnv, "yes");
        ScopedEnv log(kPanelLogEnv, "1");
        FrameDebugSettings s = FrameDebugSettings::FromEnvironment();
        EXPECT_FALSE(s.drawAllSlices);
        EXPECT_TRUE(s.panelLog);
    }
}

TEST_F(FramePipelineTest, PanelLogSettingIsTakenWhenThePipelineIsMadeNotPerFrame) {
    // The fixture's pipeline was made without the variable: setting it now
    // must not start the record.
    ScopedEnv log(kPanelLogEnv, "1");
    Start(32, 32);
    Render();
    EXPECT_FALSE(std::filesystem::exists(m_root.File("DEBUG_SCR_PAN.txt")));
}

TEST_F(FramePipelineTest, PanelSwitchRecordIsWrittenWhenAskedFor) {
    m_pipeline->SetDebugSettings({.panelLog = true});
    Start(32, 32);
    Render();
    std::string rec = testing::ReadWholeFile(m_root.File("DEBUG_SCR_PAN.txt"));
    EXPECT_NE(rec.find("EYE:    0.000000 0.000000 10.000000\n"), std::string::npos);
    EXPECT_NE(rec.find("panmagi 1.000000\n"), std::string::npos);
}

}  // namespace
}  // namespace voxa
