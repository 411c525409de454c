// The three memory layouts of a brick and the two transposes that make the
// y-z and x-z layouts from the native one, so that every slice texture is
// one contiguous image.
//
// Layouts, each over the padded sides Px, Py, Pz:
//   native (x-y slices):  byte (x, y, z) at x + Px*(y + Py*z); the slice at z
//                         is the Px x Py image at offset Px*Py*z;
//   y-z transpose:        byte at y + Py*(z + Pz*x); the slice at x is the
//                         Py x Pz image at offset Py*Pz*x;
//   x-z transpose:        byte at x + Px*(z + Pz*y); the slice at y is the
//                         Px x Pz image at offset Px*Pz*y.
// The transposes copy x < nx, z < nz and y < CopiedRowsY(ny, Py) (ny rounded
// up to a multiple of four within the padded side); other bytes of the
// destination are left as they were.
//
// The buffers belong to the brick store (its work buffers); these functions
// only read and write them. The frame pipeline makes each transpose at most
// once per loaded brick, before the first pass that reads it. Thread-
// compatible; no shared state.
#pragma once

#include "engine/slices/slice_plan.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace voxa {

struct BrickShape {
    std::array<int, 3> sides{};   // nx, ny, nz
    std::array<int, 3> padded{};  // Px, Py, Pz
};

// True when 1 <= n <= P on every axis.
bool ValidShape(const BrickShape& shape);

// Rows of y the transposes copy: ny rounded up to a multiple of 4, at most Py.
int CopiedRowsY(const BrickShape& shape);

inline size_t NativeIndex(const BrickShape& b, int x, int y, int z) {
    return static_cast<size_t>(x) +
           static_cast<size_t>(b.padded[0]) * (y + static_cast<size_t>(b.padded[1]) * z);
}
inline size_t YZIndex(const BrickShape& b, int x, int y, int z) {
    return static_cast<size_t>(y) +
           static_cast<size_t>(b.padded[1]) * (z + static_cast<size_t>(b.padded[2]) * x);
}
inline size_t XZIndex(const BrickShape& b, int x, int y, int z) {
    return static_cast<size_t>(x) +
           static_cast<size_t>(b.padded[0]) * (z + static_cast<size_t>(b.padded[2]) * y);
}

// Bytes a native buffer must hold for the transposes to read (the brick
// store may hand over cache bytes of nx*ny*nz when the sides are already
// padded): index of the last byte read + 1.
size_t NativeBytesRead(const BrickShape& shape);
// Bytes of a whole padded layout: Px*Py*Pz.
size_t PaddedVolume(const BrickShape& shape);

// Makes the y-z layout from the native one. Returns false, touching
// nothing, when the shape is invalid, native holds fewer than
// NativeBytesRead() bytes or dst fewer than PaddedVolume() bytes.
bool TransposeYZ(std::span<const uint8_t> native, std::span<uint8_t> dst,
                 const BrickShape& shape);
// Makes the x-z layout from the native one; same checks.
bool TransposeXZ(std::span<const uint8_t> native, std::span<uint8_t> dst,
                 const BrickShape& shape);

// The slice image of plane `index` on the slice axis of `kind`, inside the
// layout that pass reads (native for x-y, y-z transpose for y-z, x-z
// transpose for x-z): width x height bytes, width = padded side of the s
// axis. Empty when the index lies outside the padded side or the layout is
// too small.
std::span<const uint8_t> SliceImage(std::span<const uint8_t> layout, const BrickShape& shape,
                                    PassKind kind, int index);

}  // namespace voxa
