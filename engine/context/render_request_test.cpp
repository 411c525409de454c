// Request block defaults and the frame keyword text.
#include "engine/context/render_request.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace voxa {
namespace {

TEST(RenderRequestBlock, StartsWithTheEngineDefaults) {
    RenderRequestBlock b = InitialRequestBlock();
    const unsigned char* raw = reinterpret_cast<const unsigned char*>(&b);
    int32_t width;
    std::memcpy(&width, raw + 108, 4);
    EXPECT_EQ(width, 1024);
    float eyeZ;
    std::memcpy(&eyeZ, raw + 376 + 8, 4);
    EXPECT_FLOAT_EQ(eyeZ, 10.0f);
    EXPECT_STREQ(reinterpret_cast<const char*>(raw + 172), "default");
    EXPECT_STREQ(reinterpret_cast<const char*>(raw + 272), "default");
    EXPECT_EQ(b.firstRequest, 1);
    EXPECT_EQ(b.mapFlag, 1);
    EXPECT_EQ(b.viewReset, 1);
    EXPECT_FLOAT_EQ(b.halfWidth, std::tan(17.0f * 3.14159265f / 180.0f));
    EXPECT_FLOAT_EQ(b.fieldOfView, 34.0f);
    EXPECT_FLOAT_EQ(b.nearClip, 0.5f);
    EXPECT_FLOAT_EQ(b.farClip, 20.5f);
    EXPECT_EQ(b.pixelError, 5);
    EXPECT_FLOAT_EQ(b.angleError, 0.02f);
    EXPECT_FLOAT_EQ(b.sizeError, 8.0f);
    EXPECT_EQ(b.zbName[0], '\0');
}

TEST(RenderRequestBlock, NameFieldsAreCutAndTerminated) {
    char field[kNameField];
    std::memset(field, 'x', sizeof(field));
    EXPECT_FALSE(CopyNameField(field, std::string(120, 'a')));
    EXPECT_EQ(std::strlen(field), 99u);
    EXPECT_TRUE(CopyNameField(field, "short"));
    EXPECT_STREQ(field, "short");
    char unterminated[kNameField];
    std::memset(unterminated, 'q', sizeof(unterminated));
    EXPECT_EQ(NameFieldView(unterminated).size(), 99u);
}

class FrameKeywords : public ::testing::Test {
protected:
    FrameKeywords() { std::memset(&m_key, 0, sizeof(m_key)); }
    Renderparams m_key;
    FrameControlPoints m_points;
};

TEST_F(FrameKeywords, ViewLinesFillTheKey) {
    int lines = ApplyFrameKeywords(
        "eye 1 2 3\ncenter 4 5 6\nup 0 0 1\nopfov 0.5 40\nnearfarnp 0.1 99 3\n"
        "eyedir 7 8 9\n",
        m_key, m_points);
    EXPECT_EQ(lines, 6);
    EXPECT_FLOAT_EQ(m_key.eyeY, 2.0f);
    EXPECT_FLOAT_EQ(m_key.centerY, 5.0f);  // the second centre coordinate too
    EXPECT_FLOAT_EQ(m_key.upZ, 1.0f);
    EXPECT_FLOAT_EQ(m_key.opacity, 0.5f);
    EXPECT_FLOAT_EQ(m_key.fovangle, 40.0f);
    EXPECT_FLOAT_EQ(m_key.my_near, 0.1f);
    EXPECT_FLOAT_EQ(m_key.my_far, 99.0f);
    EXPECT_FLOAT_EQ(m_key.nplanes, 3.0f);
    EXPECT_FLOAT_EQ(m_key.eyedirZ, 9.0f);
}

TEST_F(FrameKeywords, TolerancesTakeAngleSizeThenPixelError) {
    ApplyFrameKeywords("tolerances 0.01 4 6.7", m_key, m_points);
    EXPECT_FLOAT_EQ(m_key.angletolerance, 0.01f);
    EXPECT_FLOAT_EQ(m_key.vrtolerance, 4.0f);
    EXPECT_EQ(m_key.icoltolerance, 6);
}

TEST_F(FrameKeywords, AuxClipSetsThePlaneOffsetsOnly) {
    m_key.auxclip[2][0] = 1.0f;
    ApplyFrameKeywords("ifauxclip 2 0 0 0 0 1\nauxclip -1 1 -2 2 -3 3\n", m_key, m_points);
    EXPECT_EQ(m_key.ifauxclip[0], 2);
    EXPECT_EQ(m_key.ifauxclip[5], 1);
    EXPECT_FLOAT_EQ(m_key.auxclip[0][3], -1.0f);
    EXPECT_FLOAT_EQ(m_key.auxclip[5][3], 3.0f);
    EXPECT_FLOAT_EQ(m_key.auxclip[2][0], 1.0f);
}

TEST_F(FrameKeywords, AnEmptyLineEndsTheText) {
    int lines = ApplyFrameKeywords("eye 1 1 1\ncenter 2 2 2\n\nup 9 9 9\n", m_key, m_points);
    EXPECT_EQ(lines, 2);
    EXPECT_FLOAT_EQ(m_key.upX, 0.0f);
}

TEST_F(FrameKeywords, MissingFieldsKeepTheirValues) {
    m_key.eyeZ = 42.0f;
    ApplyFrameKeywords("eye 1 2\r\nbogus 1 2 3\n", m_key, m_points);
    EXPECT_FLOAT_EQ(m_key.eyeX, 1.0f);
    EXPECT_FLOAT_EQ(m_key.eyeY, 2.0f);
    EXPECT_FLOAT_EQ(m_key.eyeZ, 42.0f);
}

TEST_F(FrameKeywords, ControlPointsAreCollectedUpTo32) {
    std::string text = "notsac 2 3\n";
    for (int i = 0; i < 40; ++i) text += "anot " + std::to_string(i) + " 0.5\n";
    text += "cnot 0 0 0 0\ncnot 128 1 0.5 0.25\ncnot 255 1 1 1\n";
    ApplyFrameKeywords(text, m_key, m_points);
    EXPECT_EQ(m_points.alphaCount, 32);
    EXPECT_EQ(m_points.alphaIndex[31], 31);
    EXPECT_EQ(m_points.colorCount, 3);
    EXPECT_EQ(m_points.colorIndex[1], 128);
    EXPECT_FLOAT_EQ(m_points.blue[1], 0.25f);
    EXPECT_EQ(m_points.AlphaCountToUse(), 2);
    EXPECT_EQ(m_points.ColorCountToUse(), 3);
}

TEST_F(FrameKeywords, DeclaredCountsBeyondTheGivenPointsAreCut) {
    ApplyFrameKeywords("notsac 5 40\nanot 0 0\nanot 255 1\ncnot 0 0 0 0\n", m_key, m_points);
    EXPECT_EQ(m_points.AlphaCountToUse(), 2);
    EXPECT_EQ(m_points.ColorCountToUse(), 1);
    FrameControlPoints none;
    EXPECT_EQ(none.AlphaCountToUse(), 0);
}

TEST_F(FrameKeywords, AtMostHundredLinesAreRead) {
    std::string text;
    for (int i = 0; i < 120; ++i) text += "eye " + std::to_string(i) + " 0 0\n";
    EXPECT_EQ(ApplyFrameKeywords(text, m_key, m_points), 100);
    EXPECT_FLOAT_EQ(m_key.eyeX, 99.0f);
}

}  // namespace
}  // namespace voxa
