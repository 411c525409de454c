// View and projection of one frame: the view frame from eye, centre and up,
// and per display panel the world vectors, the off-axis frustum tangents,
// the four side planes for culling, and the debug record of a panel switch.
//
// Pure math, no OpenGL: the frame pipeline applies the projection itself
// (glFrustum with the tangents times near, then gluLookAt(E, E + Aw, Bw)).
// Thread-compatible value types.
#pragma once

#include <array>
#include <cmath>
#include <string>

namespace voxa {

struct Vec3 {
    float x = 0, y = 0, z = 0;

    float& operator[](int i) { return i == 0 ? x : (i == 1 ? y : z); }
    float operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
    friend Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
    friend Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
    friend Vec3 operator*(float s, Vec3 a) { return {s * a.x, s * a.y, s * a.z}; }
    friend float Dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
    friend Vec3 Cross(Vec3 a, Vec3 b) {
        return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
    }
    friend float Length(Vec3 a) { return std::sqrt(Dot(a, a)); }
    friend Vec3 Normalized(Vec3 a) { return (1.0f / Length(a)) * a; }
};

inline constexpr float kDegToRad = 0.017453292f;

// The panel frustum block in view coordinates (r, d, u): panel centre C,
// normal A, up B, half sizes and the field of view kept for reporting.
struct FrustumBlock {
    Vec3 center{0, 1, 0};
    Vec3 normal{0, 1, 0};
    Vec3 up{0, 0, 1};
    float halfWidth = std::tan(17.0f * kDegToRad);
    float halfHeight = std::tan(17.0f * kDegToRad);
    float fovDegrees = 34.0f;
};

// d = normalised (P - E); u = normalised (U - (U.d) d); r = d x u.
struct ViewFrame {
    Vec3 r, d, u;
};
ViewFrame ComputeViewFrame(Vec3 eye, Vec3 center, Vec3 up);

// Side plane order of PanelView::planes.
enum PanelPlane { kPlaneLeft = 0, kPlaneRight = 1, kPlaneTop = 2, kPlaneBottom = 3 };

struct PanelView {
    Vec3 cw, aw, bw, nw;  // panel centre, normal (viewing direction), up, right
    float magnification = 0;  // 1 / (Aw . Cw)
    float offsetRight = 0;    // Cw . Nw
    float offsetUp = 0;       // Cw . Bw
    float left = 0, right = 0, bottom = 0, top = 0;  // frustum tangents
    std::array<Vec3, 4> planes;  // outward normals through the eye

    // Depth of a point given relative to the eye.
    float Depth(Vec3 p) const { return Dot(p, aw); }
    // True when p (relative to the eye) lies outside side plane k.
    bool Outside(int k, Vec3 p) const { return Dot(p, planes[k]) >= 0.0f; }
};
PanelView ComputePanelView(const ViewFrame& frame, const FrustumBlock& frustum);

// The record appended to "DEBUG_SCR_PAN.txt" at a panel switch.
struct PanelRecordInput {
    const PanelView* panel;
    Vec3 eye;
    float nearDist, farDist;
    std::array<float, 6> limits;  // xmin, xmax, ymin, ymax, zmin, zmax
    float softdistance;
};
std::string FormatPanelRecord(const PanelRecordInput& in);

}  // namespace voxa
