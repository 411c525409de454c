// The wall in step, and the wall movie export.
//
//   wall_bench --play GROUP.vw [SECONDS] [FPS]
//     plays the wall and samples every panel's status at the same moments
//     (one GetStatus to every panel at once, every 200 ms): the largest
//     difference between panels' shown frames and clock frames, and the
//     late and skipped frames the servers counted.
//   wall_bench --export GROUP.vw OUT.mp4 [FPS]
//     encodes the wall movie and, side by side, only reads and tiles the
//     same frames (the baseline): frames per second of both and their ratio.
#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "movie/vw_export.h"
#include "movie/vw_wall.h"

extern "C" {
#include <libavutil/log.h>
}
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

using voxa::movie::ParseMovieGroup;
using Clock = std::chrono::steady_clock;

long long Field(const std::string& status, const char* key) {
    const std::string k = std::string(key) + "=";
    size_t at = status.find(k);
    if (at == std::string::npos) return -1;
    return std::atoll(status.c_str() + at + k.size());
}

std::string DirOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

int Play(const std::string& file, int seconds, int fps) {
    auto group = voxa::movie::LoadMovieGroup(file);
    if (!group.ok()) {
        std::fprintf(stderr, "wall_bench: %s\n", group.status().message().c_str());
        return 2;
    }
    voxa::movie::Wall wall;
    wall.Load(*group).get();
    wall.Initialize(1.0f).get();
    for (const auto& p : wall.Snapshot().panels)
        if (p.status != voxa::movie::PanelStatus::kOn) {
            std::fprintf(stderr, "wall_bench: %s is %s: %s\n", p.hostToken.c_str(),
                         voxa::movie::PanelStatusText(p.status), p.error.c_str());
            return 1;
        }
    wall.Play(fps, 1.0f).get();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long long loop = group->panels[0].segments[0].frameCount;
    long long worstShown = 0, worstClock = 0, samples = 0, spreadOver1 = 0;
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        auto texts = wall.QueryStatus().get();
        // Frames are shown modulo the movie's length once it loops from
        // memory: 299 and 0 of a 300-frame movie are one frame apart.
        long long spreadShown = 0, spreadClock = 0;
        for (size_t a = 0; a < texts.size(); ++a)
            for (size_t b = a + 1; b < texts.size(); ++b) {
                long long d =
                    std::llabs(Field(texts[a], "frame") - Field(texts[b], "frame")) % loop;
                spreadShown = std::max(spreadShown, std::min(d, loop - d));
                spreadClock = std::max(
                    spreadClock, std::llabs(Field(texts[a], "clock") - Field(texts[b], "clock")));
            }
        worstShown = std::max(worstShown, spreadShown);
        worstClock = std::max(worstClock, spreadClock);
        if (spreadShown > 1) ++spreadOver1;
        ++samples;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    wall.Stop().get();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    long long late = 0, skipped = 0, shown = 0;
    for (const std::string& t : wall.QueryStatus().get()) {
        late += Field(t, "late");
        skipped += Field(t, "skipped");
        shown += Field(t, "shown");
        std::printf("  %s\n", t.c_str());
    }
    wall.Exit().get();
    std::printf("wall of %zu panels, %d s at %d fps, %lld samples\n", group->panels.size(), seconds,
                fps, samples);
    std::printf("largest difference between panels: %lld frames shown, %lld frames by the clocks\n",
                worstShown, worstClock);
    std::printf("samples with panels more than one frame apart: %lld\n", spreadOver1);
    std::printf("frames shown %lld, late %lld, skipped %lld\n", shown, late, skipped);
    return 0;
}

int Export(const std::string& file, const std::string& out, int fps) {
    auto group = voxa::movie::LoadMovieGroup(file);
    if (!group.ok()) {
        std::fprintf(stderr, "wall_bench: %s\n", group.status().message().c_str());
        return 2;
    }
    auto layout = voxa::movie::LayOutWall(*group);
    if (!layout.ok()) return 2;
    const int frames = voxa::movie::WallMovieFrames(*group);
    // Baseline: read and tile every frame, no encoding.
    auto t0 = Clock::now();
    int missing = 0;
    size_t checksum = 0;
    for (int k = 0; k < frames; ++k) {
        auto rgb = voxa::movie::ComposeWallFrame(*group, *layout, DirOf(file), k, &missing);
        if (rgb.ok()) checksum += (*rgb)[rgb->size() / 2];
    }
    const double composeS = std::chrono::duration<double>(Clock::now() - t0).count();
    t0 = Clock::now();
    auto result = voxa::movie::ExportWallMovie(*group, DirOf(file), out, fps);
    const double exportS = std::chrono::duration<double>(Clock::now() - t0).count();
    if (!result.ok()) {
        std::fprintf(stderr, "wall_bench: %s\n", result.status().message().c_str());
        return 1;
    }
    std::printf("wall movie %dx%d, %d frames (checksum %zu)\n", result->width, result->height,
                frames, checksum);
    std::printf("read and tile only (baseline): %.1f frames/s\n", frames / composeS);
    std::printf("export to H.264 MP4:           %.1f frames/s (%.2f x the baseline's rate)\n",
                frames / exportS, composeS / exportS);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    av_log_set_level(AV_LOG_ERROR);
    if (argc >= 3 && std::strcmp(argv[1], "--play") == 0)
        return Play(argv[2], argc > 3 ? std::atoi(argv[3]) : 20,
                    argc > 4 ? std::atoi(argv[4]) : 30);
    if (argc >= 4 && std::strcmp(argv[1], "--export") == 0)
        return Export(argv[2], argv[3], argc > 4 ? std::atoi(argv[4]) : 30);
    std::fprintf(
        stderr,
        "usage: wall_bench --play GROUP.vw [SECONDS] [FPS] | --export GROUP.vw OUT.mp4 [FPS]\n");
    return 2;
}
