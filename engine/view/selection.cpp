#include "engine/view/selection.h"

#include <algorithm>
#include <cmath>

namespace voxa {

WorldBox BrickWorldBox(const VolumeExtent& ext, int stride, const std::array<int, 3>& n,
                       const std::array<int, 3>& x0, int ov) {
    WorldBox b;
    for (int a = 0; a < 3; ++a) {
        float w = ext.Voxel(a) * static_cast<float>(stride);
        b.min[a] = ext.limits[2 * a] + w * static_cast<float>(ov + x0[a]);
        b.width[a] = w * static_cast<float>(n[a] - 2 * ov);
    }
    return b;
}

float BrickDistance2(const VolumeExtent& ext, const WorldBox& box, Vec3 eye) {
    float sum = 0;
    for (int a = 0; a < 3; ++a) {
        float lo = box.min[a];
        float hi = box.Max(a);
        float d = 0;
        if (eye[a] < lo)
            d = lo - eye[a] + ext.Voxel(a);
        else if (eye[a] > hi)
            d = eye[a] - hi + ext.Voxel(a);
        sum += d * d;
    }
    return sum;
}

std::vector<int> SelectBricks(const std::vector<LodBrick>& bricks, int root,
                              const LodParams& p) {
    std::vector<int> list;
    if (root < 0 || root >= static_cast<int>(bricks.size())) return list;
    const float sizeLimit = p.vrtolerance > 0 ? p.vrtolerance * 1.01f / p.voxelsPerUnit : 0.0f;
    std::vector<char> taken(bricks.size(), 0);
    list.push_back(root);
    bool split = true;
    while (split) {
        split = false;
        std::vector<int> next;
        next.reserve(list.size() * 2);
        for (int k : list) {
            const LodBrick& b = bricks[static_cast<size_t>(k)];
            float d = std::sqrt(b.distance2);
            if (d < p.nearDist) d = p.nearDist;
            float w = static_cast<float>(b.stride) / p.voxelsPerUnit;
            bool doSplit = p.coltolerance < b.error && !(d * p.angletolerance > w) &&
                           sizeLimit <= w && !b.children.empty() &&
                           next.size() + b.children.size() <= kMaxSelected;
            if (!doSplit) {
                next.push_back(k);
                continue;
            }
            split = true;
            for (size_t c = 0; c < b.children.size(); ++c) {
                int best = -1;
                float bestDist = -10000000.0f;
                for (int child : b.children) {
                    if (taken[static_cast<size_t>(child)]) continue;
                    float dc = bricks[static_cast<size_t>(child)].distance2;
                    if (dc > bestDist) {
                        bestDist = dc;
                        best = child;
                    }
                }
                if (best < 0) break;
                taken[static_cast<size_t>(best)] = 1;
                next.push_back(best);
            }
        }
        list.swap(next);
    }
    return list;
}

CullResult CullBrick(const WorldBox& box, const std::array<int, 3>& n, Vec3 eye,
                     const PanelView& panel, const CullParams& p) {
    CullResult r;
    std::array<Vec3, 8> corners;
    for (int i = 0; i < 8; ++i) {
        Vec3 c{(i & 1) ? box.Max(0) : box.min[0], (i & 2) ? box.Max(1) : box.min[1],
               (i & 4) ? box.Max(2) : box.min[2]};
        corners[static_cast<size_t>(i)] = c - eye;
    }
    bool allNear = true, allFar = true;
    for (const Vec3& c : corners) {
        float depth = panel.Depth(c);
        if (depth > p.nearDist - p.softdistance) allNear = false;
        if (depth < p.farDist + p.softdistance) allFar = false;
    }
    if (allNear || allFar) return r;
    for (int k = 0; k < 4; ++k) {
        bool allOutside = true;
        for (const Vec3& c : corners)
            if (!panel.Outside(k, c)) {
                allOutside = false;
                break;
            }
        if (allOutside) return r;
    }
    for (int a = 0; a < 3; ++a) {
        r.lo[a] = box.min[a];
        r.hi[a] = box.Max(a);
        if (p.aux.BoxOn()) {
            float low = p.aux.offsets[2 * a];
            float high = p.aux.offsets[2 * a + 1];
            if (low > r.lo[a] && low < r.hi[a]) r.lo[a] = low;
            if (high > r.lo[a] && high < r.hi[a]) r.hi[a] = high;
            // A plane wholly beyond the brick empties the range.
            if (low >= box.Max(a) || high <= box.min[a]) r.hi[a] = r.lo[a];
            if (!(r.lo[a] < r.hi[a])) return r;
        }
        r.indexBegin[a] = 0;
        r.indexEnd[a] = n[a];
        if (p.aux.BoxOn() && box.width[a] > 0) {
            int begin = static_cast<int>(
                std::floor(static_cast<float>(n[a]) * (r.lo[a] - box.min[a]) / box.width[a]));
            int end = static_cast<int>(
                std::ceil(static_cast<float>(n[a]) * (r.hi[a] - box.min[a]) / box.width[a]));
            if (begin > 0) r.indexBegin[a] = begin;
            if (end < n[a]) r.indexEnd[a] = end;
        }
    }
    r.visible = true;
    return r;
}

}  // namespace voxa
