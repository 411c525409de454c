#include "engine/context/render_work.h"

#include <cmath>
#include <cstring>

namespace voxa {

namespace {

constexpr float kRadiansToDegrees = 57.29577951f;

struct Vec3 {
    float x, y, z;
};

Vec3 Load(const float v[3]) { return {v[0], v[1], v[2]}; }
void Store(const Vec3& v, float out[3]) {
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
}
Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 operator*(float s, Vec3 a) { return {s * a.x, s * a.y, s * a.z}; }
float Dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 Cross(Vec3 a, Vec3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
float Length(Vec3 a) { return std::sqrt(Dot(a, a)); }
Vec3 Normalised(Vec3 a) {
    float l = Length(a);
    return l > 0.0f ? (1.0f / l) * a : a;
}
// a rescaled to length len (unchanged when a is the zero vector).
Vec3 Rescaled(Vec3 a, float len) {
    float l = Length(a);
    return l > 0.0f ? (len / l) * a : a;
}

}  // namespace

bool ApplyFrustum(RenderRequestBlock& b, const float center[3], const float up[3],
                  const float normal[3], int width, int height, float panWidth) {
    if (width < 1 || height < 1 || width > kMaxFrameSide || height > kMaxFrameSide) return false;
    b.width = width;
    b.height = height;
    b.frustumChanged = 1;
    b.aspect = static_cast<float>(height) / static_cast<float>(width);
    std::memcpy(b.panelCenter, center, sizeof(b.panelCenter));
    std::memcpy(b.panelNormal, normal, sizeof(b.panelNormal));
    std::memcpy(b.panelUp, up, sizeof(b.panelUp));
    b.halfWidth = panWidth * 0.5f;
    b.halfHeight = b.halfWidth * b.aspect;
    float distance = std::fabs(Dot(Load(center), Load(normal)));
    b.fieldOfView = 2.0f * std::atan(b.halfHeight / distance) * kRadiansToDegrees;
    return true;
}

void IncrementEye(RenderRequestBlock& b, int delx, int dely, int mode) {
    Vec3 e = Load(b.eye), c = Load(b.center), u = Load(b.up);
    const float dx = static_cast<float>(delx), dy = static_cast<float>(dely);
    Vec3 d = e - c;
    u = Normalised(u);
    Store(u, b.up);
    Vec3 r = Cross(d, u);

    if (mode == 0 || mode == 3) {
        Vec3 rHat = Normalised(r);
        Vec3 vHat = Normalised(Cross(rHat, d));
        float dist = Length(d);
        Vec3 n = d + dist * (0.005f * dy * vHat + 0.01f * dx * rHat);
        n = Rescaled(n, dist);
        Store(c + n, b.eye);
        if (mode == 3) Store(Normalised(Cross(Cross(n, u), n)), b.up);
    } else if (mode == 1) {
        float ud = Dot(u, d);
        Vec3 p = d - ud * u;
        Vec3 q = Rescaled(p + 0.01f * dx * r, Length(p));
        float lift = 0.001f * dy * Length(p);
        Store(c + q + (ud + lift) * u, b.eye);
        Store(c + lift * u, b.center);
    } else if (mode == 2) {
        Vec3 v = Cross(r, d);
        Vec3 rHat = Normalised(r), vHat = Normalised(v);
        float s = 0.00065f * Length(d);
        Vec3 h = s * dy * vHat + s * dx * rHat;
        Store(e + h, b.eye);
        Store(c + h, b.center);
    }
}

void ZoomEye(RenderRequestBlock& b, int dely, int mode) {
    float k = std::exp(-0.002f * static_cast<float>(dely));
    Vec3 e = Load(b.eye), c = Load(b.center);
    Vec3 d = e - c;
    Vec3 newEye = c + k * d;
    Store(newEye, b.eye);
    if (mode == 2) Store(newEye - d, b.center);
}

Renderparams MakeKey(const RenderRequestBlock& b, const ViewQuality& q, const KeyExtras& x) {
    Renderparams k;
    std::memset(&k, 0, sizeof(k));
    k.opacity = q.opacity;
    CopyNameField(k.cmapname, NameFieldView(b.cmapName));
    CopyNameField(k.amapname, NameFieldView(b.amapName));
    k.nx = x.nx;
    k.ny = x.ny;
    k.nz = x.nz;
    CopyNameField(k.zbname, NameFieldView(b.zbName));
    k.nsectx = 1;
    k.nsecty = 1;
    k.width = b.width;
    k.height = b.height;
    k.movieframes = 1;
    CopyNameField(k.imagename, kDefaultImageName);
    CopyNameField(k.moviename, kDefaultMovieName);
    k.fovangle = b.fieldOfView;
    k.eyeX = b.eye[0];
    k.eyeY = b.eye[1];
    k.eyeZ = b.eye[2];
    k.centerX = b.center[0];
    k.centerY = b.center[1];
    k.centerZ = b.center[2];
    k.upX = b.up[0];
    k.upY = b.up[1];
    k.upZ = b.up[2];
    k.eyedirX = b.center[0] - b.eye[0];
    k.eyedirY = b.center[1] - b.eye[1];
    k.eyedirZ = b.center[2] - b.eye[2];
    for (int& v : k.viewdefined) v = 1;
    std::memcpy(k.ifauxclip, b.auxClipEnable, sizeof(k.ifauxclip));
    std::memcpy(k.auxclip, b.auxClipPlane, sizeof(k.auxclip));
    k.my_near = b.nearClip;
    k.my_far = b.farClip;
    k.nplanes = q.nplanes;
    k.maxplanes = q.maxplanes;
    k.boxcolor = -1;
    k.nfpk = 10;
    k.icoltolerance = q.pixelError;
    k.angletolerance = q.angleError;
    k.vrtolerance = q.sizeError;
    return k;
}

void ApplyKey(const Renderparams& k, RenderRequestBlock& b, ViewQuality& q, KeyExtras& x) {
    q.opacity = b.opacity = k.opacity;
    CopyNameField(b.cmapName, NameFieldView(k.cmapname));
    CopyNameField(b.amapName, NameFieldView(k.amapname));
    CopyNameField(b.zbName, NameFieldView(k.zbname));
    x.imageName = std::string(NameFieldView(k.imagename));
    b.fieldOfView = k.fovangle;
    b.eye[0] = k.eyeX;
    b.eye[1] = k.eyeY;
    b.eye[2] = k.eyeZ;
    b.center[0] = k.centerX;
    b.center[1] = k.centerY;
    b.center[2] = k.centerZ;
    b.up[0] = k.upX;
    b.up[1] = k.upY;
    b.up[2] = k.upZ;
    std::memcpy(b.auxClipEnable, k.ifauxclip, sizeof(b.auxClipEnable));
    std::memcpy(b.auxClipPlane, k.auxclip, sizeof(b.auxClipPlane));
    b.nearClip = k.my_near;
    b.farClip = k.my_far;
    q.nplanes = b.nplanes = k.nplanes;
    q.maxplanes = b.maxplanes = k.maxplanes;
    q.pixelError = b.pixelError = k.icoltolerance;
    q.angleError = b.angleError = k.angletolerance;
    q.sizeError = b.sizeError = k.vrtolerance;
}

}  // namespace voxa
