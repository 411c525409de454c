#include "engine/bricks/test_volume.h"

#include <cmath>
#include <cstring>

namespace voxa {

WorkBuffers::WorkBuffers() { Reserve(kInitialWorkBufferBytes); }

bool WorkBuffers::Reserve(int64_t bytes) {
    if (bytes <= m_size) return true;
    AlignedBuffer fresh[6];
    for (auto& b : fresh) {
        b = AlignedBuffer(static_cast<size_t>(bytes), 65536);
        if (!b) return false;
    }
    for (int i = 0; i < 6; ++i) m_buf[i] = std::move(fresh[i]);
    m_size = bytes;
    yzValid = xzValid = false;
    return true;
}

unsigned char TestVolumeVoxel(int x, int y, int z) {
    constexpr int kLast = kTestVolumeSide - 3;  // 61
    auto nearFace = [](int c) { return c < 2 || c > kLast; };
    int faces = nearFace(x) + nearFace(y) + nearFace(z);
    if (faces < 2) return 0;
    float v = 127.0f + std::floor(42.666668f * (static_cast<float>(x) / 64.0f + static_cast<float>(y) / 64.0f +
                                              static_cast<float>(z) / 64.0f));
    return static_cast<unsigned char>(static_cast<int>(v));
}

void MakeTestVolume(BrickTable& table, WorkBuffers& buffers, float sx, float sy, float sz) {
    table.Clear();
    Brick b;
    b.name = "";
    b.stride = 1;
    b.nx = b.ny = b.nz = kTestVolumeSide;
    b.parent = -1;
    table.bricks.push_back(b);
    table.root = 0;
    table.extentX = table.extentY = table.extentZ = kTestVolumeSide;
    table.limits = {-sx, sx, -sy, sy, -sz, sz};
    table.largestPadded = int64_t{kTestVolumeSide} * kTestVolumeSide * kTestVolumeSide;
    table.RebuildChildLists();
    unsigned char* out = buffers.PaddedMain();
    constexpr int n = kTestVolumeSide;
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) out[(z * n + y) * n + x] = TestVolumeVoxel(x, y, z);
    std::memcpy(buffers.MainXZ(), out, static_cast<size_t>(n) * n * n);
    buffers.yzValid = buffers.xzValid = false;
}

}  // namespace voxa
