// Pruning a single-file brick tree to its coarser levels.
//
// A single-file ZB holds the text index of its brick tree in its first
// 131,072 bytes (zero-filled after the text) and the bricks' bytes after
// it; every brick line names the file itself. ParseZbHeader reads that
// index as it was received from a remote host; PruneZbTree keeps the
// bricks of the coarsest levels, gives them new strides and a new layout
// (finest new stride first, every brick on a 64 KiB boundary after the
// header area), and ZbHeaderText writes the new index.
//
// Everything here is validated: more bricks or children than the tables
// hold, parent fields out of range, sources that a 32-bit unsigned
// GetPartFile offset cannot reach, and headers that would not fit before
// 131,072 are refused with a message. Offsets and lengths are 64-bit.
// Pure functions; any thread.
#pragma once

#include "platform/status.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace voxa::fileport {

inline constexpr int64_t kZbHeaderBytes = 131072;
inline constexpr int64_t kZbBrickAlign = 65536;
inline constexpr int kMaxTreeBricks = 2048;
inline constexpr int kMaxTreeChildren = 64;
inline constexpr int kMaxTrailerLines = 100;
inline constexpr size_t kMaxBrickLine = 200;
inline constexpr size_t kMaxTrailerLine = 255;
inline constexpr size_t kMaxBrickName = 63;
inline constexpr int kMaxTreeStride = 127;
inline constexpr int kMaxTreeSide = 65536;
// The largest file a copy may grow to: 10,000 pieces of 4 MiB.
inline constexpr int64_t kMaxPrunedFile = int64_t{10000} * (4 << 20);
// The first byte a GetPartFile offset (an unsigned 32-bit position) cannot reach.
inline constexpr int64_t kPartFileAddressLimit = int64_t{1} << 32;

struct TreeBrick {
    std::string name;
    int64_t offset = 0;
    int stride = 1;
    int nx = 0, ny = 0, nz = 0;
    int x0 = 0, y0 = 0, z0 = 0;
    int parent = -1;
    int error = 0;
    int64_t Bytes() const { return int64_t{nx} * ny * nz; }
};

struct ZbHeader {
    std::vector<TreeBrick> bricks;      // line order; the root is the last one
    std::vector<std::string> trailer;   // lines after the root ("XYZ_Limits ...")
};

// Parses the index at the start of a single-file ZB (the bytes up to the
// first zero byte, or all of them). maxBrickBytes bounds a brick's byte
// count (one GetPartFile carries one brick).
Result<ZbHeader> ParseZbHeader(std::string_view bytes, int64_t maxBrickBytes);

struct PrunedBrick {
    TreeBrick brick;            // new offset, stride, parent, error
    int64_t sourceOffset = 0;   // where its bytes lie in the source
};

struct PrunedTree {
    std::vector<PrunedBrick> bricks;  // kept bricks, in source line order
    std::vector<std::string> trailer;
    int64_t fileLength = 0;           // new file length
};

// The bytes a brick takes in the new layout: its size rounded up to a whole
// number of 64 KiB (a brick of no bytes takes 64 KiB).
int64_t LaidOutBytes(int64_t bytes);

// Keeps the bricks whose stride is at least the root's stride halved
// levels - 1 times (at least 1); levels below 1 count as 1. The kept
// bricks are named newName and laid out after the header area.
Result<PrunedTree> PruneZbTree(const ZbHeader& header, int levels, const std::string& newName);

// The index text of a pruned tree, one line per brick then the trailer.
// Refused when it would not fit before kZbHeaderBytes.
Result<std::string> ZbHeaderText(const PrunedTree& tree);

}  // namespace voxa::fileport
