// Frustum, eye motion, zoom and view keys.
#include "engine/context/render_work.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace voxa {
namespace {

float Distance(const float a[3], const float b[3]) {
    float dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

TEST(Frustum, PanelOf1024x768GivesHalfSizesAndFieldOfView) {
    RenderRequestBlock b = InitialRequestBlock();
    b.frustumChanged = 0;
    const float center[3] = {0, 0, -2}, up[3] = {0, 1, 0}, normal[3] = {0, 0, 1};
    ASSERT_TRUE(ApplyFrustum(b, center, up, normal, 1024, 768, 2.0f));
    EXPECT_EQ(b.width, 1024);
    EXPECT_EQ(b.height, 768);
    EXPECT_FLOAT_EQ(b.aspect, 0.75f);
    EXPECT_FLOAT_EQ(b.halfWidth, 1.0f);
    EXPECT_FLOAT_EQ(b.halfHeight, 0.75f);
    EXPECT_NEAR(b.fieldOfView, 2.0 * std::atan(0.375) * 180.0 / M_PI, 1e-4);
    EXPECT_NEAR(b.fieldOfView, 41.11, 0.01);
    EXPECT_EQ(b.frustumChanged, 1);
    EXPECT_FLOAT_EQ(b.panelCenter[2], -2.0f);
    EXPECT_FLOAT_EQ(b.panelUp[1], 1.0f);
}

TEST(Frustum, ZeroOrHugeSizesAreRefused) {
    RenderRequestBlock b = InitialRequestBlock();
    const float c[3] = {0, 1, 0}, u[3] = {0, 0, 1}, n[3] = {0, 1, 0};
    EXPECT_FALSE(ApplyFrustum(b, c, u, n, 0, 100, 1.0f));
    EXPECT_FALSE(ApplyFrustum(b, c, u, n, 100, -1, 1.0f));
    EXPECT_FALSE(ApplyFrustum(b, c, u, n, 100000, 100, 1.0f));
    EXPECT_EQ(b.width, 1024);
}

TEST(EyeMotion, ZoomByDely500BringsTheEyeToOneOverE) {
    RenderRequestBlock b = InitialRequestBlock();
    ZoomEye(b, 500, 0);
    EXPECT_NEAR(b.eye[2], 10.0 * std::exp(-1.0), 1e-4);
    EXPECT_FLOAT_EQ(b.center[2], 0.0f);
    RenderRequestBlock same = InitialRequestBlock();
    ZoomEye(same, 0, 1);
    EXPECT_FLOAT_EQ(same.eye[2], 10.0f);
}

TEST(EyeMotion, ZoomMode2MovesTheCentreWithTheEye) {
    RenderRequestBlock b = InitialRequestBlock();
    ZoomEye(b, -300, 2);
    float expectEye = 10.0f * std::exp(0.6f);
    EXPECT_NEAR(b.eye[2], expectEye, 1e-3);
    EXPECT_NEAR(b.center[2], expectEye - 10.0f, 1e-3);
    EXPECT_NEAR(Distance(b.eye, b.center), 10.0f, 1e-4);
}

TEST(EyeMotion, OrbitKeepsTheDistanceAndTheCentre) {
    RenderRequestBlock b = InitialRequestBlock();
    b.up[1] = 3.0f;  // normalised on the way
    IncrementEye(b, 40, -25, 0);
    EXPECT_NEAR(Distance(b.eye, b.center), 10.0f, 1e-4);
    EXPECT_FLOAT_EQ(b.center[0], 0.0f);
    EXPECT_NE(b.eye[0], 0.0f);
    EXPECT_FLOAT_EQ(b.up[1], 1.0f);
    // delx moves the eye along R = D x U: (0,0,10) x (0,1,0) = (-10,0,0).
    EXPECT_LT(b.eye[0], 0.0f);
}

TEST(EyeMotion, OrbitDelyMovesAlongTheUpSide) {
    RenderRequestBlock b = InitialRequestBlock();
    IncrementEye(b, 0, 100, 0);
    // N = D + 10 (0.5 V^) with V = R^ x D = (-1,0,0) x (0,0,10) = (0,10,0).
    float expect[3] = {0, 5, 10};
    float len = std::sqrt(125.0f);
    EXPECT_NEAR(b.eye[1], expect[1] * 10.0f / len, 1e-4);
    EXPECT_NEAR(b.eye[2], expect[2] * 10.0f / len, 1e-4);
}

TEST(EyeMotion, RollModeTiltsUpPerpendicularToTheView) {
    RenderRequestBlock b = InitialRequestBlock();
    IncrementEye(b, 0, 100, 3);
    float d[3] = {b.eye[0] - b.center[0], b.eye[1] - b.center[1], b.eye[2] - b.center[2]};
    float dot = d[0] * b.up[0] + d[1] * b.up[1] + d[2] * b.up[2];
    EXPECT_NEAR(dot, 0.0f, 1e-4);
    EXPECT_NEAR(std::sqrt(b.up[0] * b.up[0] + b.up[1] * b.up[1] + b.up[2] * b.up[2]), 1.0f, 1e-5);
}

TEST(EyeMotion, PanMovesEyeAndCentreAlike) {
    RenderRequestBlock b = InitialRequestBlock();
    IncrementEye(b, 100, 50, 2);
    float de[3] = {b.eye[0], b.eye[1], b.eye[2] - 10.0f};
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(de[i], b.center[i], 1e-5);
    // s = 0.00065 x 10: x by -0.65 (R^ = -x), y by 0.325 (V^ = R x D normalised = +y).
    EXPECT_NEAR(b.center[0], -0.65f, 1e-5);
    EXPECT_NEAR(b.center[1], 0.325f, 1e-5);
}

TEST(EyeMotion, TurnModeRaisesEyeAndCentreTogether) {
    RenderRequestBlock b = InitialRequestBlock();
    IncrementEye(b, 0, 100, 1);
    // P = D across up = (0,0,10); lift = 0.001 x 100 x 10 = 1.
    EXPECT_NEAR(b.center[1], 1.0f, 1e-5);
    EXPECT_NEAR(b.eye[1], 1.0f, 1e-5);
    EXPECT_NEAR(b.eye[2], 10.0f, 1e-4);
}

TEST(EyeMotion, UnknownModeOnlyNormalisesUp) {
    RenderRequestBlock b = InitialRequestBlock();
    b.up[1] = 2.0f;
    IncrementEye(b, 10, 10, 7);
    EXPECT_FLOAT_EQ(b.up[1], 1.0f);
    EXPECT_FLOAT_EQ(b.eye[2], 10.0f);
}

TEST(ViewKey, FreshKeyCarriesTheDefaults) {
    RenderRequestBlock b = InitialRequestBlock();
    Renderparams k = MakeKey(b, ViewQuality{}, KeyExtras{});
    EXPECT_FLOAT_EQ(k.eyeZ, 10.0f);
    EXPECT_FLOAT_EQ(k.centerX, 0.0f);
    EXPECT_FLOAT_EQ(k.upY, 1.0f);
    EXPECT_FLOAT_EQ(k.my_near, 0.5f);
    EXPECT_FLOAT_EQ(k.my_far, 20.5f);
    EXPECT_FLOAT_EQ(k.fovangle, 34.0f);
    EXPECT_EQ(k.width, 1024);
    EXPECT_EQ(k.height, 1024);
    EXPECT_STREQ(k.cmapname, "default");
    EXPECT_STREQ(k.amapname, "default");
    EXPECT_STREQ(k.imagename, "Test_Image.pix");
    EXPECT_STREQ(k.moviename, "Test_Movie.pix");
    EXPECT_FLOAT_EQ(k.eyedirZ, -10.0f);
    EXPECT_EQ(k.boxcolor, -1);
    EXPECT_EQ(k.nfpk, 10);
    EXPECT_EQ(k.nsectx, 1);
    EXPECT_EQ(k.movieframes, 1);
    EXPECT_EQ(k.viewdefined[3], 1);
    EXPECT_EQ(k.icoltolerance, 5);
}

TEST(ViewKey, RestoreAppliesTheViewAndQualityCopies) {
    RenderRequestBlock b = InitialRequestBlock();
    ViewQuality q;
    KeyExtras x;
    Renderparams k = MakeKey(b, q, x);
    k.eyeX = 3;
    k.opacity = 0.5f;
    k.nplanes = 2.0f;
    k.icoltolerance = 9;
    k.vrtolerance = 1.5f;
    k.width = 10;  // not restored
    k.ifauxclip[1] = 1;
    k.auxclip[1][3] = 0.25f;
    std::memset(k.zbname, 'z', sizeof(k.zbname));  // no terminator
    std::snprintf(k.imagename, sizeof k.imagename, "%s", "shot");
    ApplyKey(k, b, q, x);
    EXPECT_FLOAT_EQ(b.eye[0], 3.0f);
    EXPECT_FLOAT_EQ(b.opacity, 0.5f);
    EXPECT_FLOAT_EQ(q.opacity, 0.5f);
    EXPECT_FLOAT_EQ(b.nplanes, 2.0f);
    EXPECT_EQ(b.pixelError, 9);
    EXPECT_EQ(q.pixelError, 9);
    EXPECT_FLOAT_EQ(b.sizeError, 1.5f);
    EXPECT_EQ(b.width, 1024);
    EXPECT_EQ(b.auxClipEnable[1], 1);
    EXPECT_FLOAT_EQ(b.auxClipPlane[1][3], 0.25f);
    EXPECT_EQ(std::strlen(b.zbName), 99u);
    EXPECT_EQ(x.imageName, "shot");
    // Saved again, the key reproduces what was restored.
    Renderparams again = MakeKey(b, q, x);
    EXPECT_FLOAT_EQ(again.eyeX, 3.0f);
    EXPECT_FLOAT_EQ(again.opacity, 0.5f);
}

}  // namespace
}  // namespace voxa
