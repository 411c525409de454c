// The volume the engine draws: its brick table, the work buffers, and the
// preparation of a brick's bytes for texturing.
//
// BrickStore::LoadVolume is called at the start of every frame with the
// ZB path of the render request; it reads nothing when the path and the
// scale factors are those of the last call. A ZB file that cannot be
// opened gives the built-in test volume; one that is malformed gives -1
// and a message (also appended to "DEBUG_VOXA.txt").
//
// Render thread only.
#pragma once

#include "engine/bricks/brick_reader.h"
#include "engine/bricks/brick_table.h"
#include "engine/bricks/test_volume.h"
#include "engine/bricks/zb_file.h"
#include "platform/status.h"

#include <cstdint>
#include <functional>
#include <string>

namespace voxa {

class BrickCache;
class TimerRecorder;

inline constexpr char kBeginOddBrickFill[] = "Begin OddBrickFill";
inline constexpr char kEndOddBrickFillFormat[] = "End   OddBrickFill : %d bytes";
inline constexpr unsigned char kPadValue = 128;

class BrickStore {
public:
    // Ok when the volume is ready (ZB file or test volume), the reason when
    // the brick tree cannot be built (also written to the debug file). The
    // same path and scale give the same answer without reading again.
    // cache (may be null) is flushed whenever a new file is read.
    Status LoadVolume(const std::string& zbPath, const ScaleFactors& scale, BrickCache* cache);
    // The next LoadVolume reads the file again.
    void ForgetPath() { m_pathKnown = false; }
    // Counts the calls of LoadVolume that read a ZB file or made the test
    // volume (not those that kept the volume already there).
    uint64_t Loads() const { return m_loads; }

    const BrickTable& Table() const { return m_table; }
    BrickTable& Table() { return m_table; }
    WorkBuffers& Buffers() { return m_buffers; }
    bool IsPaired() const { return m_paired; }
    bool IsTestVolume() const { return m_testVolume; }
    const std::string& DataDir() const { return m_dataDir; }
    // Full path of a brick's data file ("%s%s": directory and name) and of
    // its second brick for paired data.
    std::string BrickPath(int brick) const;
    std::string SecondBrickPath(int brick) const;

    // Index of the brick whose bytes are in the work buffers (-1 none);
    // kept between frames, maintained by the frame pipeline.
    int loadedBrick = -1;

private:
    BrickTable m_table;
    WorkBuffers m_buffers;
    std::string m_path;
    ScaleFactors m_scale{1, 1, 1};
    bool m_pathKnown = false;
    Status m_lastStatus;
    bool m_paired = false;
    bool m_testVolume = false;
    std::string m_dataDir;
    uint64_t m_loads = 0;
};

// OddBrickFill: when the padded x side differs from nx or the padded y
// side from ny, fills the whole padded buffer with 128 and copies the
// brick into it row by row; returns the bytes to texture (the padded
// buffer, or src itself when no copy is needed). padded must hold the
// brick's padded volume. timers may be null.
// Checks every file the readers of `cache` would open for the volume of
// `store`: each data file its bricks name (and their second bricks' for
// paired data) in the ZB file's directory and in each of the cache's other
// directories, each distinct path once. The first refusal, with the brick
// name that led to it; Ok for the test volume.
Status CheckVolumeFiles(const BrickStore& store, BrickCache& cache,
                        const std::function<Status(const std::string& path)>& check);

const unsigned char* OddBrickFill(const unsigned char* src, const Brick& b, unsigned char* padded,
                                  TimerRecorder* timers);

// Reads the second brick (paired data, or the "Yfile" of "cross"
// statistics) at the brick's offset and byte count with the reader that
// BufferedIO selects: straight into the padded second buffer when the x and
// y sides need no padding, else into the staging buffer and then row by
// row into the padded second buffer. False when the read came up short
// (the buffer is then filled with 128, never left with another brick's
// bytes).
bool ReadSecondBrick(const std::string& path, const Brick& b, int bufferedIO, DirectBrickReader& reader,
                     WorkBuffers& buffers);

}  // namespace voxa
