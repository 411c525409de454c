#include "engine/bricks/brick_table.h"

namespace voxa {

int PadSide(int n) {
    int p = 2;
    while (p < n && p < (1 << 30)) p *= 2;
    return p;
}

PaddedSides PadBrick(const Brick& b) { return {PadSide(b.nx), PadSide(b.ny), PadSide(b.nz)}; }

void BrickTable::Clear() {
    bricks.clear();
    root = -1;
    overlap.fill(0);
    extentX = extentY = extentZ = 0;
    limits = WorldLimits{};
    largestPadded = 0;
}

bool CentreInside(int64_t strideParent, int64_t x0Parent, int64_t nParent, int64_t centre) {
    // Strictly between the two faces. (The product of the two distances has
    // the same sign but overflows 64 bits for positions near the limits.)
    const int64_t a = strideParent * x0Parent;
    const int64_t b = strideParent * (x0Parent + nParent);
    return (a < centre && centre < b) || (b < centre && centre < a);
}

int BrickTable::RebuildParents() {
    // Candidates grouped by stride so the search stays linear per level.
    std::array<std::vector<int>, kMaxStride * 2> byStride;
    for (int i = 0; i < Count(); ++i) byStride[bricks[i].stride].push_back(i);
    for (int k = 0; k < Count(); ++k) {
        if (k == root) {
            bricks[k].parent = -1;
            continue;
        }
        const Brick& c = bricks[k];
        const int64_t s = c.stride;
        const int64_t cx = s * (c.x0 + c.nx / 2);
        const int64_t cy = s * (c.y0 + c.ny / 2);
        const int64_t cz = s * (c.z0 + c.nz / 2);
        int found = -1;
        if (2 * c.stride < kMaxStride) {
            for (int l : byStride[2 * c.stride]) {  // ascending: the last hit is the highest
                const Brick& p = bricks[l];
                if (CentreInside(p.stride, p.x0, p.nx, cx) && CentreInside(p.stride, p.y0, p.ny, cy) &&
                    CentreInside(p.stride, p.z0, p.nz, cz))
                    found = l;
            }
        }
        if (found < 0) return k;
        bricks[k].parent = found;
    }
    return -1;
}

bool BrickTable::RebuildChildLists() {
    for (Brick& b : bricks) {
        b.childCount = 0;
        b.children.fill(-1);
    }
    bool ok = true;
    for (int k = 0; k < Count(); ++k) {
        int p = bricks[k].parent;
        if (k == root || p < 0 || p >= Count()) continue;
        Brick& parent = bricks[p];
        if (parent.childCount >= kMaxChildren) {
            ok = false;
            continue;
        }
        parent.children[parent.childCount++] = k;
    }
    return ok;
}

}  // namespace voxa
