#include "engine/gl/gl_state.h"
#include "engine/gl/gl_window.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace voxa {
namespace {

class GlStateTest : public ::testing::Test {
protected:
    void SetUp() override {
        GlWindowRequest request;
        request.mode = DisplayMode::kHeadless;
        request.width = 8;
        request.height = 8;
        std::vector<std::string> failures;
        m_window = GlWindow::Create(request, &failures);
        if (!m_window) GTEST_SKIP() << "no GL context could be made";
        ASSERT_TRUE(m_window->MakeCurrent());
        DrainGlErrors();
    }

    static GLint Integer(GLenum name) {
        GLint v = -1;
        glGetIntegerv(name, &v);
        return v;
    }

    std::unique_ptr<GlWindow> m_window;
};

TEST_F(GlStateTest, PixelTransferScopeSetsItsStateAndPutsBackWhatItFound) {
    struct Before {
        bool texture, blend;
        GLenum matrixMode;
        GLint pack, unpack;
    };
    for (const Before& b : {Before{true, true, GL_MODELVIEW, 4, 8},
                            Before{false, false, GL_PROJECTION, 2, 4},
                            Before{true, false, GL_TEXTURE, 8, 2}}) {
        if (b.texture) glEnable(GL_TEXTURE_2D); else glDisable(GL_TEXTURE_2D);
        if (b.blend) glEnable(GL_BLEND); else glDisable(GL_BLEND);
        glMatrixMode(b.matrixMode);
        glPixelStorei(GL_PACK_ALIGNMENT, b.pack);
        glPixelStorei(GL_UNPACK_ALIGNMENT, b.unpack);
        {
            PixelTransferScope transfer;
            EXPECT_EQ(glIsEnabled(GL_TEXTURE_2D), GL_FALSE);
            EXPECT_EQ(glIsEnabled(GL_BLEND), GL_FALSE);
            EXPECT_EQ(Integer(GL_MATRIX_MODE), GL_TEXTURE);
            EXPECT_EQ(Integer(GL_PACK_ALIGNMENT), 1);
            EXPECT_EQ(Integer(GL_UNPACK_ALIGNMENT), 1);
        }
        EXPECT_EQ(glIsEnabled(GL_TEXTURE_2D) == GL_TRUE, b.texture);
        EXPECT_EQ(glIsEnabled(GL_BLEND) == GL_TRUE, b.blend);
        EXPECT_EQ(Integer(GL_MATRIX_MODE), static_cast<GLint>(b.matrixMode));
        EXPECT_EQ(Integer(GL_PACK_ALIGNMENT), b.pack);
        EXPECT_EQ(Integer(GL_UNPACK_ALIGNMENT), b.unpack);
    }
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(GlStateTest, PixelsOfAnOddWidthGoThroughTheScopeUnchangedEvenUnderABlendingCaller) {
    // 3 x 2 RGB: 9-byte rows, which only tight packing keeps together.
    const std::vector<unsigned char> rgb = {10, 20, 30,  40, 50, 60,  70, 80, 90,
                                            200, 0, 100, 1, 2, 3,     250, 251, 252};
    glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glEnable(GL_BLEND);
    glBlendFunc(GL_ZERO, GL_ONE);  // would leave the black clear if blending stayed on
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    std::vector<unsigned char> back(rgb.size(), 0xEE);
    {
        PixelTransferScope transfer;
        auto windowPos =
            reinterpret_cast<void (*)(GLint, GLint)>(m_window->ProcAddress("glWindowPos2i"));
        ASSERT_NE(windowPos, nullptr);
        windowPos(0, 0);
        glDrawPixels(3, 2, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
        glReadPixels(0, 0, 3, 2, GL_RGB, GL_UNSIGNED_BYTE, back.data());
    }
    EXPECT_EQ(back, rgb);
    glBlendFunc(GL_ONE, GL_ZERO);
    glDisable(GL_BLEND);
}

TEST_F(GlStateTest, ErrorDrainClearsPendingErrorsAndCountsThem) {
    EXPECT_EQ(DrainGlErrors(), 0);
    glEnable(static_cast<GLenum>(0x7FFF));  // not a capability: invalid enum
    EXPECT_GE(DrainGlErrors(), 1);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    EXPECT_EQ(ReportGlErrors("nothing", __FILE__, __LINE__), 0);
    glMatrixMode(static_cast<GLenum>(0x7FFF));
    EXPECT_GE(ReportGlErrors("glMatrixMode(0x7FFF)", __FILE__, __LINE__), 1);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

TEST_F(GlStateTest, OverlayAndUntexturedScopesPutBackTheCallersState) {
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_BLEND);
    glEnable(GL_DEPTH_TEST);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 8);
    glMatrixMode(GL_TEXTURE);
    glLoadIdentity();
    glTranslatef(0.25f, 0.0f, 0.0f);
    glMatrixMode(GL_MODELVIEW);
    {
        OverlayStateScope overlay(0);
        EXPECT_EQ(glIsEnabled(GL_TEXTURE_2D), GL_TRUE);
        EXPECT_EQ(glIsEnabled(GL_BLEND), GL_TRUE);
        EXPECT_EQ(glIsEnabled(GL_DEPTH_TEST), GL_FALSE);
        EXPECT_EQ(Integer(GL_UNPACK_ALIGNMENT), 1);
        std::array<float, 16> m{};
        glGetFloatv(GL_TEXTURE_MATRIX, m.data());
        EXPECT_EQ(m[12], 0.0f);  // identity inside
        {
            UntexturedScope labels;
            EXPECT_EQ(glIsEnabled(GL_TEXTURE_2D), GL_FALSE);
            EXPECT_EQ(glIsEnabled(GL_BLEND), GL_FALSE);
        }
        EXPECT_EQ(glIsEnabled(GL_TEXTURE_2D), GL_TRUE);
        EXPECT_EQ(glIsEnabled(GL_BLEND), GL_TRUE);
    }
    EXPECT_EQ(glIsEnabled(GL_TEXTURE_2D), GL_FALSE);
    EXPECT_EQ(glIsEnabled(GL_BLEND), GL_FALSE);
    EXPECT_EQ(glIsEnabled(GL_DEPTH_TEST), GL_TRUE);
    EXPECT_EQ(Integer(GL_UNPACK_ALIGNMENT), 8);
    EXPECT_EQ(Integer(GL_MATRIX_MODE), GL_MODELVIEW);
    std::array<float, 16> m{};
    glGetFloatv(GL_TEXTURE_MATRIX, m.data());
    EXPECT_EQ(m[12], 0.25f);
    glDisable(GL_DEPTH_TEST);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
}

}  // namespace
}  // namespace voxa
