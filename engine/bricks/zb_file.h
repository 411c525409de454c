// Reading a ZB file (the text index of a brick tree) into a BrickTable.
//
// Format: one line per brick, eleven tokens separated by " ,;\t\n" (and
// "\r", for files written on other systems): name, offset, stride, nx, ny,
// nz, x0, y0, z0, parent, error. The first line with a negative parent is
// the root and the last brick line; the line after it may be
// "XYZ_Limits xmin xmax ymin ymax zmin zmax". Nothing after that is read.
//
// Every limit of the table is checked: a bad file gives a message and
// leaves the table cleared, never a partial or overflowing table.
// Thread: any; the functions touch only their arguments.
#pragma once

#include "engine/bricks/brick_table.h"
#include "platform/status.h"

#include <array>
#include <string>
#include <string_view>

namespace voxa {

inline constexpr int kMaxZbLine = 200;
inline constexpr int64_t kMaxBrickOffset = 20000000000LL;  // the read order's "taken" mark
inline constexpr int64_t kMaxPaddedBrickBytes = int64_t{1} << 30;
inline constexpr int kMaxBrickSide = 65536;
inline constexpr char kZbDelimiters[] = " ,;\t\n\r";
inline constexpr char kLimitsKeyword[] = "XYZ_Limits";
inline constexpr char kPairedMark[] = "RGB";
inline constexpr char kAlphaMark[] = "ALPHA___";

using ScaleFactors = std::array<float, 3>;

// Reads and validates the ZB file, computes overlap, extents, limits and
// largest padded volume, and rebuilds parents from geometry. On failure
// the table is cleared and the status names the file line and the fault.
Status ReadZbFile(const std::string& path, const ScaleFactors& scale, BrickTable& table);

// Same, from text already in memory (name is used in messages).
Status ParseZbText(std::string_view text, const ScaleFactors& scale, BrickTable& table,
                   std::string_view name = "ZB text");

// Directory of a ZB path: its prefix up to and including the last "/" or
// "\" among the first 100 characters ("" when there is none).
std::string DataDirOf(std::string_view zbPath);

// True when characters 4 to 6 of the name are "RGB" (paired data).
bool IsPairedName(std::string_view name);
// The second brick's name: characters 4 to 11 replaced by "ALPHA___".
std::string AlphaName(std::string_view name);

}  // namespace voxa
