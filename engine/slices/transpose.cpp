#include "engine/slices/transpose.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace voxa {

namespace {

constexpr int kBlock = 16;

#if defined(__SSE2__)
// Transposes a 16 x 16 byte tile: out row c, byte r = in row r, byte c.
// Rows are read at src + r*srcStride and written at dst + c*dstStride.
inline void Transpose16x16(const uint8_t* src, size_t srcStride, uint8_t* dst, size_t dstStride) {
    __m128i r[16];
    for (int i = 0; i < 16; ++i) {
        r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i * srcStride));
    }
    // a[k]: rows 2k, 2k+1 interleaved for columns 0-7; a[k+8]: columns 8-15.
    __m128i a[16];
    for (int k = 0; k < 8; ++k) {
        a[k] = _mm_unpacklo_epi8(r[2 * k], r[2 * k + 1]);
        a[k + 8] = _mm_unpackhi_epi8(r[2 * k], r[2 * k + 1]);
    }
    // b[4q + m]: columns 4q..4q+3, rows 4m..4m+3.
    __m128i b[16];
    for (int h = 0; h < 2; ++h) {
        for (int m = 0; m < 4; ++m) {
            b[8 * h + m] = _mm_unpacklo_epi16(a[8 * h + 2 * m], a[8 * h + 2 * m + 1]);
            b[8 * h + 4 + m] = _mm_unpackhi_epi16(a[8 * h + 2 * m], a[8 * h + 2 * m + 1]);
        }
    }
    // c[2 cp + p]: columns 2cp, 2cp+1, rows 8p..8p+7.
    __m128i c[16];
    for (int q = 0; q < 4; ++q) {
        for (int p = 0; p < 2; ++p) {
            c[2 * (2 * q) + p] = _mm_unpacklo_epi32(b[4 * q + 2 * p], b[4 * q + 2 * p + 1]);
            c[2 * (2 * q + 1) + p] = _mm_unpackhi_epi32(b[4 * q + 2 * p], b[4 * q + 2 * p + 1]);
        }
    }
    for (int cp = 0; cp < 8; ++cp) {
        __m128i lo = _mm_unpacklo_epi64(c[2 * cp], c[2 * cp + 1]);
        __m128i hi = _mm_unpackhi_epi64(c[2 * cp], c[2 * cp + 1]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + (2 * cp) * dstStride), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + (2 * cp + 1) * dstStride), hi);
    }
}
#else
inline void Transpose16x16(const uint8_t* src, size_t srcStride, uint8_t* dst, size_t dstStride) {
    for (int c = 0; c < 16; ++c) {
        for (int r = 0; r < 16; ++r) dst[c * dstStride + r] = src[r * srcStride + c];
    }
}
#endif

// Scalar transpose of a rectangle: dst[c*dstStride + r] = src[r*srcStride + c]
// for r < rows, c < cols.
inline void TransposeRect(const uint8_t* src, size_t srcStride, uint8_t* dst, size_t dstStride,
                          int rows, int cols) {
    for (int c = 0; c < cols; ++c) {
        uint8_t* out = dst + c * dstStride;
        for (int r = 0; r < rows; ++r) out[r] = src[r * srcStride + c];
    }
}

bool CheckSizes(std::span<const uint8_t> native, std::span<uint8_t> dst, const BrickShape& shape) {
    return ValidShape(shape) && native.size() >= NativeBytesRead(shape) &&
           dst.size() >= PaddedVolume(shape);
}

}  // namespace

bool ValidShape(const BrickShape& shape) {
    for (int a = 0; a < 3; ++a) {
        if (shape.sides[a] < 1 || shape.padded[a] < shape.sides[a]) return false;
    }
    return true;
}

int CopiedRowsY(const BrickShape& shape) {
    int rounded = (shape.sides[1] + 3) / 4 * 4;
    return std::min(rounded, shape.padded[1]);
}

size_t NativeBytesRead(const BrickShape& shape) {
    return NativeIndex(shape, shape.sides[0] - 1, CopiedRowsY(shape) - 1, shape.sides[2] - 1) + 1;
}

size_t PaddedVolume(const BrickShape& shape) {
    return static_cast<size_t>(shape.padded[0]) * static_cast<size_t>(shape.padded[1]) *
           static_cast<size_t>(shape.padded[2]);
}

bool TransposeYZ(std::span<const uint8_t> native, std::span<uint8_t> dst,
                 const BrickShape& shape) {
    if (!CheckSizes(native, dst, shape)) return false;
    const int nx = shape.sides[0], nz = shape.sides[2];
    const int rowsY = CopiedRowsY(shape);
    const size_t px = shape.padded[0];
    const size_t py = shape.padded[1];
    const size_t pz = shape.padded[2];
    const size_t xStride = py * pz;  // destination distance between x rows
    const int nxBlocks = nx / kBlock * kBlock;
    const int nyBlocks = rowsY / kBlock * kBlock;
    // Bands of kBand x values: for each band, z and y advance so that every
    // destination row (fixed x) is written front to back, while the source
    // is read in whole cache lines (kBand bytes of each row).
    constexpr int kBand = 64;
    for (int xb = 0; xb < nxBlocks; xb += kBand) {
        const int xe = std::min(xb + kBand, nxBlocks);
        for (int z = 0; z < nz; ++z) {
            const uint8_t* plane = native.data() + px * py * z;
            uint8_t* out = dst.data() + py * z;  // + y + xStride * x
            for (int y = 0; y < nyBlocks; y += kBlock) {
                for (int x = xb; x < xe; x += kBlock) {
                    Transpose16x16(plane + x + px * y, px, out + y + xStride * x, xStride);
                }
            }
            TransposeRect(plane + xb + px * nyBlocks, px, out + nyBlocks + xStride * xb, xStride,
                          rowsY - nyBlocks, xe - xb);
        }
    }
    // Ragged x edge (fewer than 16 columns left).
    for (int z = 0; z < nz && nxBlocks < nx; ++z) {
        const uint8_t* plane = native.data() + px * py * z;
        uint8_t* out = dst.data() + py * z;
        TransposeRect(plane + nxBlocks, px, out + xStride * nxBlocks, xStride, rowsY, nx - nxBlocks);
    }
    return true;
}

bool TransposeXZ(std::span<const uint8_t> native, std::span<uint8_t> dst,
                 const BrickShape& shape) {
    if (!CheckSizes(native, dst, shape)) return false;
    const int nx = shape.sides[0], nz = shape.sides[2];
    const int rowsY = CopiedRowsY(shape);
    for (int z = 0; z < nz; ++z) {
        for (int y = 0; y < rowsY; ++y) {
            std::memcpy(dst.data() + XZIndex(shape, 0, y, z), native.data() + NativeIndex(shape, 0, y, z),
                        static_cast<size_t>(nx));
        }
    }
    return true;
}

std::span<const uint8_t> SliceImage(std::span<const uint8_t> layout, const BrickShape& shape,
                                    PassKind kind, int index) {
    int axis = SliceAxis(kind);
    if (index < 0 || index >= shape.padded[axis]) return {};
    size_t w = static_cast<size_t>(shape.padded[InPlaneAxisS(kind)]);
    size_t h = static_cast<size_t>(shape.padded[InPlaneAxisT(kind)]);
    size_t offset = w * h * static_cast<size_t>(index);
    if (offset + w * h > layout.size()) return {};
    return layout.subspan(offset, w * h);
}

}  // namespace voxa
