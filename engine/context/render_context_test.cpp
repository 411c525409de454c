// Render context in direct mode on a headless EGL context.
#include "engine/context/render_context.h"

#include "engine/gl/gl_palette.h"
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <unistd.h>

namespace voxa {
namespace {

using testing::FreshRoot;
using testing::ReadWholeFile;

class RenderContextTest : public ::testing::Test {
protected:
    RenderContextTest() {
        m_process.SetDisplayMode(DisplayMode::kHeadless);
        m_context = std::make_unique<RenderContext>(m_process);
    }

    void SetSize(int width, int height) {
        const float center[3] = {0, 1, 0}, up[3] = {0, 0, 1}, normal[3] = {0, 1, 0};
        m_context->SetFrustum(center, up, normal, width, height, 1.0f);
    }

    std::string Status(const char* request = nullptr) {
        if (request != nullptr) m_context->SetOption("SetStatusRequest", request);
        std::string reply;
        m_context->GetStatus(&reply);
        return reply;
    }

    // A frame whose pixel (x, y) has red x, green y, blue 7: something known
    // in every pixel, drawn with GL points.
    static int GradientFrame(RenderContext& c) {
        const RenderRequestBlock& b = c.CurrentBlock();
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glOrtho(0, b.width, 0, b.height, -1, 1);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glDisable(GL_TEXTURE_2D);
        glDisable(GL_BLEND);
        glClear(GL_COLOR_BUFFER_BIT);
        glBegin(GL_POINTS);
        for (int y = 0; y < b.height; ++y)
            for (int x = 0; x < b.width; ++x) {
                glColor3ub(static_cast<GLubyte>(x), static_cast<GLubyte>(y), 7);
                glVertex2f(x + 0.5f, y + 0.5f);
            }
        glEnd();
        glEnable(GL_BLEND);
        glEnable(GL_TEXTURE_2D);
        c.Window()->SwapBuffers();
        return 0;
    }

    FreshRoot m_root;
    RenderProcess m_process;
    std::unique_ptr<RenderContext> m_context;
};

TEST_F(RenderContextTest, StartUpTwiceClearOnceKeepsWindowUp) {
    SetSize(64, 48);
    m_context->StartUp();
    ASSERT_TRUE(m_process.WindowUp()) << ReadWholeFile(m_root.File("DEBUG_VOXA.txt"));
    m_context->StartUp();
    EXPECT_EQ(m_process.UserCount(), 2);
    m_context->ClearIt();
    EXPECT_TRUE(m_process.WindowUp());
    EXPECT_EQ(Status("IS_GL_WINDOW_UP"), "GL_WINDOW_IS_UP");
    EXPECT_EQ(Status(), "IDLE");  // answered once, then the request is reset
    m_context->ClearIt();
    EXPECT_FALSE(m_process.WindowUp());
    EXPECT_EQ(m_process.Window(), nullptr);
    EXPECT_EQ(Status("IS_GL_WINDOW_UP"), "GL_WINDOW_IS_DOWN");
    EXPECT_EQ(m_context->LoadedVolume(), "none");
    EXPECT_EQ(m_context->FrustumIndex(), -1);
}

TEST_F(RenderContextTest, ClearItWithoutStartUpOnlyCountsDown) {
    m_context->ClearIt();
    EXPECT_EQ(m_process.UserCount(), -1);
    EXPECT_FALSE(m_process.WindowUp());
    m_context->StartUp();  // count back to 0 but the window comes up
    EXPECT_TRUE(m_process.WindowUp());
}

TEST_F(RenderContextTest, WindowComesUpAgainAfterTakenDown) {
    SetSize(32, 32);
    m_context->StartUp();
    m_context->ClearIt();
    m_context->StartUp();
    ASSERT_TRUE(m_process.WindowUp());
    m_context->SetDoRender();
    BinaryDataVOXA data;
    m_context->GetPix(&data);
    EXPECT_EQ(data.m_lSize, 32 * 32 * 3);
}

TEST_F(RenderContextTest, GetPixOf640x480StoresItsByteCount) {
    SetSize(640, 480);
    m_context->StartUp();
    m_context->SetDoRender();
    BinaryDataVOXA data;
    m_context->GetPix(&data);
    EXPECT_EQ(data.m_lSize, 921600);
    ASSERT_EQ(data.m_pBuffer.size(), 921600u);
    // The default frame clears to black.
    EXPECT_TRUE(std::all_of(data.m_pBuffer.begin(), data.m_pBuffer.end(),
                            [](unsigned char c) { return c == 0; }));
}

TEST_F(RenderContextTest, GetPixReadsWhatTheFrameDrewBottomRowFirst) {
    // An odd width: rows of 3 x 37 bytes are not a multiple of 4.
    SetSize(37, 11);
    m_context->SetFrameFunction(&RenderContextTest::GradientFrame);
    m_context->StartUp();
    m_context->SetDoRender();
    BinaryDataVOXA data;
    m_context->GetPix(&data);
    ASSERT_EQ(data.m_lSize, 37 * 11 * 3);
    int wrong = 0;
    for (int y = 0; y < 11; ++y)
        for (int x = 0; x < 37; ++x) {
            const unsigned char* p = &data.m_pBuffer[static_cast<size_t>((y * 37 + x) * 3)];
            if (p[0] != x || p[1] != y || p[2] != 7) ++wrong;
        }
    EXPECT_EQ(wrong, 0);
}

TEST_F(RenderContextTest, ClearColourFrameIsReadBack) {
    SetSize(16, 8);
    m_context->SetFrameFunction([](RenderContext& c) {
        glClearColor(0.2f, 0.4f, 0.6f, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);
        glClearColor(0, 0, 0, 1);
        c.Window()->SwapBuffers();
        return 0;
    });
    m_context->StartUp();
    m_context->SetDoRender();
    BinaryDataVOXA data;
    m_context->GetPix(&data);
    ASSERT_EQ(data.m_pBuffer.size(), 16u * 8 * 3);
    // 0.2 x 255 = 51, 0.4 x 255 = 102, 0.6 x 255 = 153; one step of tolerance.
    for (size_t i = 0; i < data.m_pBuffer.size(); i += 3) {
        ASSERT_NEAR(data.m_pBuffer[i], 51, 1);
        ASSERT_NEAR(data.m_pBuffer[i + 1], 102, 1);
        ASSERT_NEAR(data.m_pBuffer[i + 2], 153, 1);
    }
}

TEST_F(RenderContextTest, PutPixRedBlueIsWrittenAsSixBytes) {
    SetSize(2, 1);
    m_context->StartUp();
    m_context->SetDoRender();
    const unsigned char pix[6] = {0xFF, 0, 0, 0, 0, 0xFF};
    m_context->PutPix(6, pix);
    // GetPix reads the front buffer: PutPix swapped the drawing to the front.
    BinaryDataVOXA data;
    m_context->GetPix(&data);
    ASSERT_EQ(data.m_pBuffer.size(), 6u);
    EXPECT_EQ(0, std::memcmp(data.m_pBuffer.data(), pix, 6));

    std::string file = m_root.File("redblue.pix");
    m_context->CopyPixToFile(file);
    EXPECT_EQ(ReadWholeFile(file), std::string("\xFF\0\0\0\0\xFF", 6));
    // With two buffers the displayed image is the same after the call.
    m_context->GetPix(&data);
    EXPECT_EQ(0, std::memcmp(data.m_pBuffer.data(), pix, 6));
}

TEST_F(RenderContextTest, PutPixWithOneBufferDrawsIntoTheFront) {
    SetSize(2, 2);
    m_context->SetOption("NRenderingBuffers", "1");
    m_context->StartUp();
    m_context->SetDoRender();
    const unsigned char pix[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    m_context->PutPix(12, pix);
    BinaryDataVOXA data;
    m_context->GetPix(&data);
    EXPECT_EQ(0, std::memcmp(data.m_pBuffer.data(), pix, 12));
    std::string file = m_root.File("front.pix");
    m_context->CopyPixToFile(file);
    EXPECT_EQ(ReadWholeFile(file), std::string(reinterpret_cast<const char*>(pix), 12));
}

TEST_F(RenderContextTest, PutPixRefusesAShortBuffer) {
    SetSize(2, 1);
    m_context->StartUp();
    m_context->SetDoRender();
    const unsigned char pix[6] = {9, 9, 9, 9, 9, 9};
    m_context->PutPix(5, pix);
    BinaryDataVOXA data;
    m_context->GetPix(&data);
    EXPECT_EQ(data.m_pBuffer, std::vector<unsigned char>(6, 0));
}

TEST_F(RenderContextTest, CopyPixToFileNamesFramesByImageName) {
    SetSize(4, 4);
    m_context->StartUp();
    m_context->SetDoRender();
    Renderparams key;
    m_context->SaveKey(&key);
    std::string image = m_root.File("frame");
    std::snprintf(key.imagename, sizeof(key.imagename), "%s", image.c_str());
    m_context->RestorKey(&key);
    m_context->CopyPixToFile("07");
    EXPECT_EQ(ReadWholeFile(image + "_07").size(), 48u);
    m_context->CopyPixToFile("123");
    EXPECT_EQ(ReadWholeFile(image + "_12").size(), 48u);
    // A name not starting with two digits is used as it stands.
    std::string plain = m_root.File("7a");
    m_context->CopyPixToFile(plain);
    EXPECT_EQ(ReadWholeFile(plain).size(), 48u);
    // An uncreatable file is skipped silently.
    EXPECT_EQ(m_context->CopyPixToFile(m_root.File("missing/dir/x.pix")), 0);
}

TEST_F(RenderContextTest, RenderTakesTheRequestAndClearsItsFlags) {
    SetSize(8, 8);
    m_context->SetOpacity(0.25f);
    m_context->SetRenderQuality(3, 0.5f, 2.0f);
    m_context->StartUp();
    EXPECT_EQ(m_context->RequestBlock().firstRequest, 1);
    m_context->SetDoRender();
    const RenderRequestBlock& current = m_context->CurrentBlock();
    EXPECT_EQ(current.firstRequest, 1);  // the frame sees what changed
    EXPECT_EQ(current.frustumChanged, 1);
    EXPECT_FLOAT_EQ(current.opacity, 0.25f);
    EXPECT_EQ(current.pixelError, 3);
    EXPECT_FLOAT_EQ(current.angleError, 0.5f);
    EXPECT_FLOAT_EQ(current.sizeError, 2.0f);
    const RenderRequestBlock& block = m_context->RequestBlock();
    EXPECT_EQ(block.firstRequest, 0);
    EXPECT_EQ(block.frustumChanged, 0);
    EXPECT_EQ(block.mapFlag, 0);
    EXPECT_EQ(block.viewReset, 0);
    EXPECT_EQ(0, std::memcmp(&m_process.PendingRequest(), &current, sizeof(current)));
    EXPECT_EQ(Status(), "IDLE");
}

TEST_F(RenderContextTest, FrameFunctionSeesOptionsAndColourTable) {
    SetSize(4, 4);
    int showColorBar = -1;
    float firstAlpha = -1;
    m_context->SetFrameFunction([&](RenderContext& c) {
        showColorBar = c.Options().showColorBar;
        firstAlpha = c.Colors().Entries()[255].a;
        return -7;
    });
    m_context->SetOption("ShowColorBar", "3");
    const int ind[2] = {0, 255};
    const float alpha[2] = {0.0f, 0.5f};
    m_context->SetLUTia(2, ind, alpha);
    m_context->StartUp();
    m_context->SetDoRender();
    EXPECT_EQ(showColorBar, 3);
    EXPECT_FLOAT_EQ(firstAlpha, 0.5f);
    EXPECT_EQ(m_context->LastFrameResult(), -7);
}

TEST_F(RenderContextTest, RenderWithoutWindowDrawsNothing) {
    SetSize(4, 2);
    bool called = false;
    m_context->SetFrameFunction([&](RenderContext&) {
        called = true;
        return 0;
    });
    m_context->SetDoRender();  // no StartUp
    EXPECT_FALSE(called);
    BinaryDataVOXA data;
    m_context->GetPix(&data);
    EXPECT_EQ(data.m_lSize, 24);
}

TEST_F(RenderContextTest, TimersOnWritesOneBatchPerFrame) {
    SetSize(4, 4);
    std::string file = m_root.File("t.pto");
    m_context->SetOption("TimersOn", "1");
    m_context->SetOption("TimerOutputFile", file);
    m_context->StartUp();
    m_context->SetDoRender();
    m_context->SetDoRender();
    std::string text = ReadWholeFile(file);
    size_t begins = 0;
    for (size_t p = text.find("Begin Rendering"); p != std::string::npos;
         p = text.find("Begin Rendering", p + 1))
        ++begins;
    EXPECT_EQ(begins, 2u);
    EXPECT_NE(text.find("End   Rendering"), std::string::npos);
}

TEST_F(RenderContextTest, TimersOffTouchesNoFile) {
    SetSize(4, 4);
    std::string file = m_root.File("t.pto");
    m_context->SetOption("TimerOutputFile", file);
    m_context->StartUp();
    m_context->SetDoRender();
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(RenderContextTest, StatusAnswersPriorityOnceThenIdle) {
    EXPECT_EQ(Status(), "IDLE");
    m_context->SetOption("SetStatusRequest", "PRIORITYREQUEST");
    m_context->SetOption("PriorityRequest", "7");
    EXPECT_EQ(Status(), "7");
    EXPECT_EQ(Status(), "IDLE");
    m_context->SetOption("PriorityRequest", "-12");
    EXPECT_EQ(Status("PRIORITYREQUEST"), "-12");
}

TEST_F(RenderContextTest, StatusListsPreviousOptions) {
    m_context->SetOption("ShowColorBar", "1");
    m_context->SetOption("AddTick", "0 low");
    m_context->SetOption("BufferedIO", "1");
    m_context->SetOption("TimersOn", "1");  // not recorded
    EXPECT_EQ(Status("GET_ALL_PREVIOUS_OPTIONS"), "ShowColorBar 1\nAddTick 0 low\nBufferedIO 1\n");
    EXPECT_EQ(Status(), "IDLE");
}

TEST_F(RenderContextTest, FullHistoryReplyIsWhole) {
    std::string value(300, 'v');  // cut to 255
    for (int i = 0; i < 1100; ++i) m_context->SetOption("AddXTick", "1 " + value);
    std::string reply = Status("GET_ALL_PREVIOUS_OPTIONS");
    // 256 ticks fit the list; each line is "AddXTick " + 255 + "\n".
    const std::string line = "AddXTick 1 " + value.substr(0, 253) + "\n";
    EXPECT_EQ(reply.size(), 256 * line.size());
    EXPECT_EQ(reply.substr(0, line.size()), line);
}

TEST_F(RenderContextTest, ScaleFactorsForgetTheLoadedVolume) {
    m_context->SetLoadedVolume("brain.zb");
    m_context->SetOption("ScaleFactors", "1 2 3");
    EXPECT_EQ(m_context->LoadedVolume(), "none");
    EXPECT_FLOAT_EQ(m_context->Options().scaleFactors[1], 2.0f);
}

TEST_F(RenderContextTest, CacheSizeReachesTheBrickStoreHook) {
    int seen = 0;
    m_process.Hooks().cacheSize = [&](int mb) { seen = mb; };
    m_context->SetOption("NCacheMB", "512");
    EXPECT_EQ(seen, 512);
    EXPECT_EQ(m_process.SharedOptions().cacheMB, 512);
}

TEST_F(RenderContextTest, SwapBuffersOptionShowsTheBackBuffer) {
    SetSize(2, 1);
    m_context->StartUp();
    m_context->SetFrameFunction([](RenderContext&) {
        glClearColor(1, 1, 1, 1);
        glClear(GL_COLOR_BUFFER_BIT);  // into the back buffer, no swap
        glClearColor(0, 0, 0, 1);
        return 0;
    });
    m_context->SetDoRender();
    BinaryDataVOXA data;
    m_context->GetPix(&data);
    EXPECT_EQ(data.m_pBuffer, std::vector<unsigned char>(6, 0));
    m_context->SetOption("SwapBuffers", "");
    m_context->GetPix(&data);
    EXPECT_EQ(data.m_pBuffer, std::vector<unsigned char>(6, 255));
}

TEST_F(RenderContextTest, WorkBuffersAreCommitted) {
    for (int i = 0; i < kWorkBufferCount; ++i)
        EXPECT_EQ(m_process.WorkBuffer(i).size(), kWorkBufferBytes);
    EXPECT_TRUE(m_process.WorkBuffer(6).empty());
}

TEST_F(RenderContextTest, StopRenderingOnlyActsDuringARender) {
    m_context->StopRendering();
    EXPECT_FALSE(m_process.AbortRequested());
    SetSize(4, 4);
    m_context->StartUp();
    bool abortSeen = false;
    m_context->SetFrameFunction([&](RenderContext& c) {
        c.StopRendering();
        abortSeen = c.Process().AbortRequested();
        return 0;
    });
    m_context->SetDoRender();
    EXPECT_TRUE(abortSeen);
    EXPECT_FALSE(m_process.AbortRequested());  // cleared after the frame
}

TEST_F(RenderContextTest, UsePaletWithoutExtensionPreparesTheShaderStandIn) {
    SetSize(4, 1);
    m_context->StartUp();
    ASSERT_EQ(m_process.ColorTableEXT(), nullptr) << "this driver has the palette extension";
    // A table whose entry i is (i/255, 1 - i/255, 0.5, 1).
    const int ind[2] = {0, 255};
    const float red[2] = {0, 1}, green[2] = {1, 0}, blue[2] = {0.5f, 0.5f}, alpha[2] = {1, 1};
    m_context->SetLUTia(2, ind, alpha);
    m_context->SetLUTirgb(2, ind, red, green, blue);
    m_context->SetOption("UsePalet", "TRUE");
    EXPECT_TRUE(m_context->Options().usePalet);
    GlPalette* palette = m_context->PaletteStandIn();
    ASSERT_NE(palette, nullptr);

    // Draw a 4 x 1 index texture (indices 0, 85, 170, 255) over the frame.
    m_context->SetFrameFunction([palette](RenderContext& c) {
        const unsigned char index[4] = {0, 85, 170, 255};
        GLuint tex = c.Window()->TextureNames()[0];
        glBindTexture(GL_TEXTURE_2D, tex);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE8, 4, 1, 0, GL_LUMINANCE, GL_UNSIGNED_BYTE,
                     index);
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glMatrixMode(GL_TEXTURE);
        glLoadIdentity();
        glDisable(GL_BLEND);
        glColor4f(1, 1, 1, 1);
        palette->Begin();
        glBegin(GL_QUADS);
        glTexCoord2f(0, 0);
        glVertex2f(-1, -1);
        glTexCoord2f(1, 0);
        glVertex2f(1, -1);
        glTexCoord2f(1, 1);
        glVertex2f(1, 1);
        glTexCoord2f(0, 1);
        glVertex2f(-1, 1);
        glEnd();
        palette->End();
        glEnable(GL_BLEND);
        c.Window()->SwapBuffers();
        return 0;
    });
    m_context->SetDoRender();
    BinaryDataVOXA data;
    m_context->GetPix(&data);
    ASSERT_EQ(data.m_pBuffer.size(), 12u);
    const int indices[4] = {0, 85, 170, 255};
    for (int x = 0; x < 4; ++x) {
        float v = static_cast<float>(indices[x]) / 255.0f;
        SCOPED_TRACE(x);
        EXPECT_NEAR(data.m_pBuffer[static_cast<size_t>(x * 3)], v * 255.0f, 1.5);
        EXPECT_NEAR(data.m_pBuffer[static_cast<size_t>(x * 3 + 1)], (1 - v) * 255.0f, 1.5);
        EXPECT_NEAR(data.m_pBuffer[static_cast<size_t>(x * 3 + 2)], 127.5, 1.5);
    }
    m_context->SetOption("UsePalet", "FALSE");
    EXPECT_FALSE(m_context->Options().usePalet);
}

TEST_F(RenderContextTest, UsePaletBeforeStartUpTakesEffectWhenTheWindowComesUp) {
    m_context->SetOption("UsePalet", "TRUE");
    EXPECT_EQ(m_context->PaletteStandIn(), nullptr);
    SetSize(4, 4);
    m_context->StartUp();
    EXPECT_NE(m_context->PaletteStandIn(), nullptr);
}

TEST_F(RenderContextTest, SetCurrentWorkingDirChangesDirectoryAndMarksOtherDirs) {
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof(old)), nullptr);
    m_context->SetOtherDirsLoaded(true);
    m_context->SetCurrentWorkingDir(m_root.Path());
    char now[4096];
    ASSERT_NE(getcwd(now, sizeof(now)), nullptr);
    EXPECT_EQ(std::filesystem::canonical(now), std::filesystem::canonical(m_root.Path()));
    EXPECT_FALSE(m_context->OtherDirsLoaded());
    ASSERT_EQ(chdir(old), 0);
}

TEST_F(RenderContextTest, SetLutCallsUpdateTheTableAndReadBack) {
    const int ind[3] = {0, 100, 255};
    const float r[3] = {0, 1, 0}, g[3] = {0, 0, 1}, b[3] = {1, 0, 0};
    m_context->SetLUTirgb(3, ind, r, g, b);
    int n = 0, outInd[32];
    float outR[32], outG[32], outB[32];
    m_context->GetLUT32irgb(&n, outInd, outR, outG, outB);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(outInd[1], 100);
    EXPECT_FLOAT_EQ(outR[1], 1.0f);
    float outA[32];
    m_context->GetLUT32ia(&n, outInd, outA);
    ASSERT_EQ(n, 3);
    EXPECT_FLOAT_EQ(outA[0], 0.3f);  // 0.1 r + 0.6 g + 0.3 b of (0, 0, 1)
    EXPECT_FLOAT_EQ(outA[2], 0.6f);
    // A count of 33 is refused: nothing changes.
    int many[33] = {};
    float f[33] = {};
    m_context->SetLUTirgb(33, many, f, f, f);
    m_context->GetLUT32irgb(&n, outInd, outR, outG, outB);
    EXPECT_EQ(n, 3);
}

TEST_F(RenderContextTest, SetLutNamesAndZbNameGoToTheRequestBlock) {
    m_context->SetLUT("alpha.map", "colour.map");
    EXPECT_STREQ(m_context->RequestBlock().amapName, "alpha.map");
    EXPECT_STREQ(m_context->RequestBlock().cmapName, "colour.map");
    m_context->Set_ZBname(std::string(150, 'z'));
    EXPECT_EQ(std::strlen(m_context->RequestBlock().zbName), 99u);
}

}  // namespace
}  // namespace voxa
