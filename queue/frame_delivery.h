// Delivery of rendered panel images into the panels' movie files.
//
// A movie file is the headerless concatenation of a panel's frames, each
// w x h x 3 bytes (RGB, rows from the bottom); frame index k (frame number
// - 1) starts at byte k x w x h x 3, a 64-bit offset. The node renders at
// its window size W x H and sends the centre w x h region of the image.
//
// PanelSink is where a panel image goes; SpoolSink writes it through the
// spool server on the panel's host, waiting a bounded time for a busy
// server and giving up early when the stop flag rises. One thread.
#pragma once

#include "platform/status.h"
#include "queue/movie_setup.h"

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

namespace voxa::queue {

inline constexpr size_t kDeliveryPiece = 4194304;

// Byte offset of frame index k in a w x h panel's movie file.
uint64_t FrameOffset(int frameIndex, int panelWidth, int panelHeight);

// The centre w x h region of a W x H x 3 image (first row (H - h) / 2,
// first column (W - w) / 2), packed. The whole image when the sizes agree.
// Refuses a region larger than the image or an image of the wrong size.
Result<std::vector<unsigned char>> CutCenter(std::span<const unsigned char> image, int windowWidth,
                                             int windowHeight, int panelWidth, int panelHeight);

class PanelSink {
public:
    virtual ~PanelSink() = default;
    // Writes the w x h x 3 bytes of frame index k of the panel; a failure
    // when it was not all written.
    virtual Status Deliver(const Panel& panel, int frameIndex,
                           std::span<const unsigned char> pixels) = 0;
};

class SpoolSink : public PanelSink {
public:
    // stop (may be null): checked while waiting for a busy server.
    explicit SpoolSink(const std::atomic<bool>* stop, int busyWaitSeconds = 60)
        : m_stop(stop), m_busyWaitSeconds(busyWaitSeconds) {}
    Status Deliver(const Panel& panel, int frameIndex,
                   std::span<const unsigned char> pixels) override;

private:
    const std::atomic<bool>* m_stop;
    int m_busyWaitSeconds;
};

}  // namespace voxa::queue
