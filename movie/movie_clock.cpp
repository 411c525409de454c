#include "movie/movie_clock.h"

#include <algorithm>
#include <cmath>

namespace voxa::movie {

double RateOf(float rate) {
    if (rate == 0.0f || !std::isfinite(rate)) return 0.0;
    double d = rate;
    double scale = std::pow(10.0, 6 - static_cast<int>(std::floor(std::log10(std::fabs(d)))));
    return std::round(d * scale) / scale;
}

int64_t FrameAt(const ClockParameters& p, int64_t t) {
    double rate = RateOf(t < p.time0 ? p.rateBefore : p.rateAfter);
    double frames = static_cast<double>(t - p.time0) * rate;
    frames += frames * 1e-9;  // 0.29 x 100 is 28.999999999999996 in doubles
    return p.frame0 + static_cast<int64_t>(std::trunc(frames));
}

MovieClock::MovieClock() : m_start(SteadyClock::now()) {}

int64_t MovieClock::Elapsed() const { return Elapsed(SteadyClock::now()); }

int64_t MovieClock::Elapsed(SteadyClock::time_point now) const {
    std::lock_guard lock(m_mu);
    return std::chrono::duration_cast<std::chrono::milliseconds>(now - m_start).count();
}

void MovieClock::Restart() {
    std::lock_guard lock(m_mu);
    m_start = SteadyClock::now();
}

void MovieClock::SetOffset(int64_t offset) {
    std::lock_guard lock(m_mu);
    m_offsets[static_cast<size_t>(m_offsetCount % 10)] = offset;
    ++m_offsetCount;
}

int64_t MovieClock::Offset() const {
    std::lock_guard lock(m_mu);
    if (m_offsetCount == 0) return 0;
    return m_offsets[static_cast<size_t>((m_offsetCount - 1) % 10)];
}

int MovieClock::OffsetCount() const {
    std::lock_guard lock(m_mu);
    return m_offsetCount;
}

void MovieClock::SetParameters(const ClockParameters& p) {
    std::lock_guard lock(m_mu);
    m_params = p;
}

ClockParameters MovieClock::Parameters() const {
    std::lock_guard lock(m_mu);
    return m_params;
}

void MovieClock::FramePP() {
    std::lock_guard lock(m_mu);
    ++m_params.frame0;
}

void MovieClock::Reset() {
    std::lock_guard lock(m_mu);
    m_params = ClockParameters{};
}

int64_t MovieClock::MovieTime() const {
    auto now = SteadyClock::now();
    std::lock_guard lock(m_mu);
    int64_t elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - m_start).count();
    int64_t offset = m_offsetCount == 0 ? 0 : m_offsets[static_cast<size_t>((m_offsetCount - 1) % 10)];
    return elapsed - offset;
}

int64_t MovieClock::CurrentFrame() const { return CurrentFrameAt(MovieTime()); }

int64_t MovieClock::CurrentFrameAt(int64_t movieTime) const {
    std::lock_guard lock(m_mu);
    int64_t f = FrameAt(m_params, movieTime);
    return f < 0 ? 0 : f;
}

float MovieClock::RateNow() const {
    int64_t t = MovieTime();
    std::lock_guard lock(m_mu);
    return t < m_params.time0 ? m_params.rateBefore : m_params.rateAfter;
}

std::optional<MovieClock::FrameChange> MovieClock::NextChange(int64_t after,
                                                               int64_t horizon) const {
    std::lock_guard lock(m_mu);
    auto frameAt = [&](int64_t t) { return std::max<int64_t>(0, FrameAt(m_params, t)); };
    int64_t offset = m_offsetCount == 0 ? 0 : m_offsets[static_cast<size_t>((m_offsetCount - 1) % 10)];
    int64_t from = frameAt(after);
    for (int64_t t = after + 1; t <= after + horizon; ++t) {
        int64_t f = frameAt(t);
        if (f != from)
            return FrameChange{t, f, m_start + std::chrono::milliseconds(t + offset)};
    }
    return std::nullopt;
}

}  // namespace voxa::movie
