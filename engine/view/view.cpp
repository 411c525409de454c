#include "engine/view/view.h"

#include <cstdio>

namespace voxa {

ViewFrame ComputeViewFrame(Vec3 eye, Vec3 center, Vec3 up) {
    ViewFrame f;
    f.d = Normalized(center - eye);
    f.u = Normalized(up - Dot(up, f.d) * f.d);
    f.r = Cross(f.d, f.u);
    return f;
}

PanelView ComputePanelView(const ViewFrame& f, const FrustumBlock& fr) {
    auto toWorld = [&](Vec3 v) { return v.x * f.r + v.y * f.d + v.z * f.u; };
    PanelView p;
    p.cw = toWorld(fr.center);
    p.aw = Normalized(toWorld(fr.normal));
    p.bw = Normalized(toWorld(fr.up));
    p.nw = Normalized(Cross(p.aw, p.bw));
    p.magnification = 1.0f / Dot(p.aw, p.cw);
    p.offsetRight = Dot(p.cw, p.nw);
    p.offsetUp = Dot(p.cw, p.bw);
    p.left = (p.offsetRight - fr.halfWidth) * p.magnification;
    p.right = (p.offsetRight + fr.halfWidth) * p.magnification;
    p.bottom = (p.offsetUp - fr.halfHeight) * p.magnification;
    p.top = (p.offsetUp + fr.halfHeight) * p.magnification;
    p.planes[kPlaneLeft] = Cross(p.bw, p.aw + p.left * p.nw);
    p.planes[kPlaneRight] = Cross(p.aw + p.right * p.nw, p.bw);
    p.planes[kPlaneTop] = Cross(p.nw, p.aw + p.top * p.bw);
    p.planes[kPlaneBottom] = Cross(p.aw + p.bottom * p.bw, p.nw);
    return p;
}

std::string FormatPanelRecord(const PanelRecordInput& in) {
    const PanelView& p = *in.panel;
    const float n = in.nearDist;
    Vec3 look = in.eye + p.aw;
    std::string out(72, '=');
    out += '\n';
    char buf[512];
    auto add = [&](int len) { out.append(buf, static_cast<size_t>(std::min<int>(len, sizeof buf - 1))); };
    add(std::snprintf(buf, sizeof buf, "left=%f  right=%f\n", p.left * n, p.right * n));
    add(std::snprintf(buf, sizeof buf, "bot =%f  top  =%f\n", p.bottom * n, p.top * n));
    add(std::snprintf(buf, sizeof buf, "near=%f  far  =%f\n", in.nearDist, in.farDist));
    add(std::snprintf(buf, sizeof buf, "EYE:    %f %f %f\n", in.eye.x, in.eye.y, in.eye.z));
    add(std::snprintf(buf, sizeof buf, "LOOKAT: %f %f %f\n", look.x, look.y, look.z));
    add(std::snprintf(buf, sizeof buf, "UP:     %f %f %f\n", p.bw.x, p.bw.y, p.bw.z));
    add(std::snprintf(buf, sizeof buf, "pan_eye %f %f %f\n", p.aw.x, p.aw.y, p.aw.z));
    add(std::snprintf(buf, sizeof buf, "pan_cen %f %f %f\n", p.cw.x, p.cw.y, p.cw.z));
    add(std::snprintf(buf, sizeof buf, "panmagi %f\n", p.magnification));
    const auto& l = in.limits;
    add(std::snprintf(buf, sizeof buf, "fLimits: %f %f %f %f %f %f\n", l[0], l[1], l[2], l[3], l[4],
                      l[5]));
    add(std::snprintf(buf, sizeof buf, "softdistance = %f\n", in.softdistance));
    return out;
}

}  // namespace voxa
