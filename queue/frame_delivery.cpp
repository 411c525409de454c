#include "queue/frame_delivery.h"

#include "spool/spool_write.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace voxa::queue {

namespace {
constexpr auto kBusyPause = std::chrono::milliseconds(500);
}

uint64_t FrameOffset(int frameIndex, int panelWidth, int panelHeight) {
    return static_cast<uint64_t>(frameIndex) * static_cast<uint64_t>(panelWidth) *
           static_cast<uint64_t>(panelHeight) * 3u;
}

Result<std::vector<unsigned char>> CutCenter(std::span<const unsigned char> image, int windowWidth,
                                             int windowHeight, int panelWidth, int panelHeight) {
    const size_t imageBytes = static_cast<size_t>(windowWidth) * static_cast<size_t>(windowHeight) * 3;
    if (windowWidth <= 0 || windowHeight <= 0 || image.size() != imageBytes)
        return InvalidArgument("image of " + std::to_string(image.size()) + " bytes is not " +
                               std::to_string(windowWidth) + "x" + std::to_string(windowHeight) +
                               "x3");
    if (panelWidth <= 0 || panelHeight <= 0 || panelWidth > windowWidth ||
        panelHeight > windowHeight)
        return InvalidArgument("panel " + std::to_string(panelWidth) + "x" +
                               std::to_string(panelHeight) + " does not fit the " +
                               std::to_string(windowWidth) + "x" + std::to_string(windowHeight) +
                               " image");
    if (panelWidth == windowWidth && panelHeight == windowHeight)
        return std::vector<unsigned char>(image.begin(), image.end());
    const size_t row = static_cast<size_t>(panelWidth) * 3;
    const size_t stride = static_cast<size_t>(windowWidth) * 3;
    const size_t firstRow = static_cast<size_t>((windowHeight - panelHeight) / 2);
    const size_t firstCol = static_cast<size_t>((windowWidth - panelWidth) / 2);
    std::vector<unsigned char> out(row * static_cast<size_t>(panelHeight));
    for (size_t y = 0; y < static_cast<size_t>(panelHeight); ++y)
        std::memcpy(out.data() + y * row, image.data() + (firstRow + y) * stride + firstCol * 3, row);
    return out;
}

Status SpoolSink::Deliver(const Panel& panel, int frameIndex, std::span<const unsigned char> pixels) {
    const uint64_t size = static_cast<uint64_t>(panel.width) * static_cast<uint64_t>(panel.height) * 3;
    if (pixels.size() != size)
        return InvalidArgument("panel image of " + std::to_string(pixels.size()) +
                               " bytes, expected " + std::to_string(size));
    const uint64_t offset = FrameOffset(frameIndex, panel.width, panel.height);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(m_busyWaitSeconds);
    while (true) {
        spool::WriteOutcome outcome;
        int result = spool::SpoolWrite(panel.host, panel.file, offset, size, pixels.data(), {}, &outcome);
        if (result == spool::kWriteServerBusy) {
            if (m_stop != nullptr && m_stop->load(std::memory_order_acquire))
                return Failed("stopped while the spool server on " + panel.host + " was busy");
            if (std::chrono::steady_clock::now() >= until)
                return Unavailable("spool server on " + panel.host + " stayed busy for " +
                                   std::to_string(m_busyWaitSeconds) + " s");
            std::this_thread::sleep_for(kBusyPause);
            continue;
        }
        if (result != spool::kWriteOk) {
            std::string message = spool::SpoolWriteMessage(result);
            while (!message.empty() && message.back() == '\n') message.pop_back();
            return Unavailable(panel.host + ":" + panel.file + ": " + message);
        }
        if (outcome.written != size || outcome.shortPieces != 0) {
            std::string why = outcome.firstShort.empty() ? "" : ": " + outcome.firstShort[0].status;
            return IoError(panel.host + ":" + panel.file + ": the server wrote " +
                           std::to_string(outcome.written) + " of " + std::to_string(size) +
                           " bytes" + why);
        }
        return Status::Ok();
    }
}

}  // namespace voxa::queue
