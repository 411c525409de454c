// Geometry of a movie file read into a ring of disk buffers.
//
// A movie file is a headerless run of frames of width x height x 3 bytes.
// It is read in disk buffers of a fixed size (a multiple of 4,096 bytes, so
// every unbuffered read is sector aligned); the ring holds a whole number of
// disk buffers. Disk buffer numbers keep growing over repeated passes
// through the movie: buffer i holds the file bytes at (i mod diskBuffers) x
// bufferSize and lives in ring slot i mod ringSlots.
//
// All positions and buffer numbers are 64-bit, so movies beyond 2 GiB with
// frame sizes that are no multiple of the buffer size work. Pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace voxa::movie {

inline constexpr int64_t kDefaultDiskBufSize = 262144;      // 0x40000
inline constexpr int64_t kRingBytes = 209715200;            // 200 MiB
inline constexpr int64_t kDisplayBufferBytes = 12582912;    // 12 MiB: the largest frame
inline constexpr int64_t kDiskBufAlignment = 4096;
inline constexpr int64_t kMinRingSlots = 2;
inline constexpr int64_t kMaxRingSlots = 1000;
inline constexpr int kReaderRun = 32;  // consecutive buffers each reader takes in turn
inline constexpr int kMaxFileListChars = 255;

// Frame and buffer size divided by their common factors 2, 3 and 5.
struct ReducedSizes {
    int64_t frame = 1;
    int64_t buffer = 1;
    int64_t factor = 1;
};
ReducedSizes Reduce(int64_t frameSize, int64_t bufferSize);

struct RingGeometry {
    int64_t frameSize = 0;    // width x height x 3
    int64_t frames = 0;       // frames in the movie
    int64_t bufferSize = 0;   // bytes per disk buffer
    int64_t ringSlots = 0;    // disk buffers the ring holds
    int64_t diskBuffers = 0;  // disk buffers covering the movie
    ReducedSizes reduced;
    bool wholeMovieInMemory = false;  // diskBuffers < ringSlots
    int64_t window = 0;       // buffers read ahead (from buffer 0 when whole)

    int64_t MovieBytes() const { return frames * frameSize; }
    // The movie frame shown for clock frame f (whole movie: f mod frames).
    int64_t MovieFrame(int64_t f) const;
    // First and last disk buffer of clock frame f (f >= 0).
    int64_t FirstBuffer(int64_t f) const;
    int64_t LastBuffer(int64_t f) const;
    int64_t Slot(int64_t buffer) const { return buffer % ringSlots; }
    int64_t FileOffset(int64_t buffer) const { return (buffer % diskBuffers) * bufferSize; }
    // Bytes of buffer's file range that lie inside the movie (the last
    // buffer of the movie may be partial).
    int64_t BytesInBuffer(int64_t buffer) const;
    // Offset in the ring of the first byte of clock frame f, given that its
    // first buffer sits in its slot.
    int64_t RingOffsetOfFrame(int64_t f) const;
    // True when the frame's buffers wrap round the end of the ring.
    bool FrameWraps(int64_t f) const { return Slot(LastBuffer(f)) < Slot(FirstBuffer(f)); }
    // The first buffer of the read-ahead window for clock frame f.
    int64_t WindowStart(int64_t f) const { return wholeMovieInMemory ? 0 : FirstBuffer(f); }
};

// Builds the geometry; empty reason when it is sound, else why not.
RingGeometry MakeGeometry(int64_t frameSize, int64_t frames, int64_t bufferSize,
                          int64_t ringBytes, std::string* reason);

// Which reader (0-based) of readerCount reads buffer i: runs of 32 dealt round.
inline int ReaderOfBuffer(int64_t buffer, int readerCount) {
    return static_cast<int>((buffer / kReaderRun) % readerCount);
}

// The disk buffer option: the text of the option file (one number N read as
// a float; buffer size = trunc(N x 65,536)). Returns the buffer size to use:
// N's size when it is a positive multiple of 4,096 giving between 2 and
// 1,000 ring slots and a read window of more than one frame, else the
// default, with *reason saying why N's was refused.
int64_t ChooseDiskBufSize(std::string_view optionText, int64_t frameSize, int64_t ringBytes,
                          std::string* reason);

// Splits a comma-separated file list (one blank-delimited token of at most
// 255 characters); empty names are dropped. False (*reason) when the list
// is empty or too long.
bool SplitFileList(std::string_view list, std::vector<std::string>* names, std::string* reason);

}  // namespace voxa::movie
