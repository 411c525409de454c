// The movie clock of one panel.
//
// Movie time t (ms) is the object's elapsed time less the newest time
// offset the controller set. The clock's four parameters (time 0, frame 0,
// rate before, rate after; rates in frames per ms) give the current frame
//   frame 0 + trunc((t - time 0) x rate),
// with the rate before time 0 for t < time 0 and the rate after it from
// time 0 on; a negative result is 0. So a controller schedules a change of
// speed at a future instant and every panel switches at that instant
// without a jump. Rates travel as floats; they are read at the seven
// significant digits a float carries (RateOf).
//
// The parameters change and are read as one unit (under a mutex), so no
// reader ever pairs a new time 0 with an old frame 0. Thread-safe.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

namespace voxa::movie {

struct ClockParameters {
    int64_t time0 = 0;
    int64_t frame0 = 0;
    float rateBefore = 0.0f;
    float rateAfter = 0.0f;
};

// A rate as the float's seven significant digits say it (0.03f is 0.03,
// not 0.029999999329), so that 1,000 ms at 0.03 frames per ms are 30 frames.
double RateOf(float rate);

// The frame at movie time t by the parameters (not clamped). The wall
// controller computes its own frames with this same function.
int64_t FrameAt(const ClockParameters& p, int64_t t);

class MovieClock {
public:
    using SteadyClock = std::chrono::steady_clock;

    MovieClock();

    // Milliseconds since the start tick.
    int64_t Elapsed() const;
    int64_t Elapsed(SteadyClock::time_point now) const;
    // Sets the start tick to now (the object's first Initialize).
    void Restart();

    void SetOffset(int64_t offset);
    int64_t Offset() const;
    int OffsetCount() const;

    void SetParameters(const ClockParameters& p);
    ClockParameters Parameters() const;
    // Moves the shown frame one on (frame 0 + 1).
    void FramePP();
    // Back to a standing clock at frame 0 (Initialize).
    void Reset();

    // Movie time now.
    int64_t MovieTime() const;
    // Current frame now (>= 0).
    int64_t CurrentFrame() const;
    // Current frame at a given movie time (>= 0).
    int64_t CurrentFrameAt(int64_t movieTime) const;
    // The rate that applies now.
    float RateNow() const;

    // The first change of frame after movie time `after`, within `horizon`
    // ms, by the parameters and offset of now: the movie time and frame it
    // changes to, and the steady-clock instant at which CurrentFrame()
    // shows it. None when the frame stands that long.
    struct FrameChange {
        int64_t movieTime = 0;
        int64_t frame = 0;
        SteadyClock::time_point when;
    };
    std::optional<FrameChange> NextChange(int64_t after, int64_t horizon) const;

private:
    mutable std::mutex m_mu;
    SteadyClock::time_point m_start;
    ClockParameters m_params;
    std::array<int64_t, 10> m_offsets{};
    int m_offsetCount = 0;
};

}  // namespace voxa::movie
