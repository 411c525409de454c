#include "movie/vw_play.h"

#include <unistd.h>

#include "movie/vw_export.h"
#include "spool/progress_line.h"

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <chrono>
#include <thread>

namespace voxa::movie {
namespace {

constexpr int kDefaultSpeed = 10;
constexpr int kDefaultExportFps = 10;

std::string DirOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

int RunPlay(const VwCommandLine& cl, std::FILE* out, const WallOptions& options) {
    auto group = LoadMovieGroup(cl.inputFile);
    if (!group.ok()) {
        std::fprintf(stderr, "vw: %s\n", group.status().message().c_str());
        return 2;
    }
    if (group->panels.empty()) {
        std::fprintf(stderr, "vw: %s: %s\n", cl.inputFile.c_str(), kNoPanelListLoaded);
        return 2;
    }
    const int speed = cl.speed.value_or(kDefaultSpeed);
    const int frames = cl.frames.value_or(WallMovieFrames(*group));
    const size_t segments = group->panels[0].segments.size();

    Wall wall(options);
    wall.Load(*group).get();
    Notice n = wall.PlayFrames(speed, cl.expand.value_or(1.0f), frames).get();
    if (!n.text.empty()) {
        std::fprintf(stderr, "vw: %s\n", n.text.c_str());
        return 1;
    }
    WallView view = wall.Snapshot();
    int on = 0;
    for (const PanelView& p : view.panels) {
        if (p.status == PanelStatus::kOn) ++on;
        std::fprintf(out, "%-24s %s\n", p.hostToken.c_str(), PanelStatusText(p.status));
    }
    std::fprintf(out, "playing %d frames at %d frames per second\n", frames, speed);
    std::fflush(out);

    // The play ends when the wall freezes on its last frame; a generous
    // bound covers the segment switches (about 2 s each) besides.
    long long switches = 0;
    if (segments > 1) {
        int shortest = 1000000000;
        for (const Segment& seg : group->panels[0].segments)
            shortest = std::min(shortest, seg.frameCount - seg.startFrame);
        switches = frames / std::max(1, shortest) + 1;
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long long>(frames) * 1000 / speed +
                                                    5000 + 3000 * switches);
    auto nextPrint = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (on > 0) {
        view = wall.Snapshot();
        if (view.limitReached) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr, "vw: the wall did not reach its last frame in time\n");
            break;
        }
        if (std::chrono::steady_clock::now() >= nextPrint) {
            std::fprintf(out, "frame %d\n", view.clock.FrameAt(wall.Now()));
            std::fflush(out);
            nextPrint += std::chrono::seconds(1);
        }
        on = 0;
        for (const PanelView& p : view.panels)
            if (p.status == PanelStatus::kOn) ++on;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Let the freeze take effect on every panel before stopping.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    view = wall.Snapshot();
    std::fprintf(out, "stopped at frame %d\n", view.clock.FrameAt(wall.Now()));
    wall.Exit().get();
    view = wall.Snapshot();
    int failed = 0;
    for (const PanelView& p : view.panels) {
        if (p.status == PanelStatus::kError) {
            ++failed;
            std::fprintf(stderr, "vw: %s: ERROR: %s\n", p.hostToken.c_str(), p.error.c_str());
        }
    }
    std::fflush(out);
    return failed == 0 && view.limitReached ? 0 : 1;
}

int RunExport(const VwCommandLine& cl, std::FILE* out) {
    auto group = LoadMovieGroup(cl.inputFile);
    if (!group.ok()) {
        std::fprintf(stderr, "vw: %s\n", group.status().message().c_str());
        return 2;
    }
    const int fps = cl.fps.value_or(kDefaultExportFps);
    av_log_set_level(AV_LOG_ERROR);  // the encoder's statistics are not for the user
    spool::ProgressLine progress(stderr, "vw: export " + cl.outFile + " ", ::isatty(2) != 0);
    auto result = ExportWallMovie(*group, DirOf(cl.inputFile), cl.outFile, fps,
                                  [&](int done, int total) { progress.Update(done, total); });
    progress.End();
    if (!result.ok()) {
        std::fprintf(stderr, "\nvw: %s\n", result.status().message().c_str());
        return result.status().code() == StatusCode::kInvalidArgument ? 2 : 1;
    }
    std::fprintf(out, "wrote %s: %dx%d, %d frames at %d frames per second\n", cl.outFile.c_str(),
                 result->width, result->height, result->frames, fps);
    if (result->missingTiles > 0)
        std::fprintf(stderr,
                     "vw: %d panel frames were missing from their movie files (drawn black)\n",
                     result->missingTiles);
    return 0;
}

}  // namespace voxa::movie
