// Queue overhead per frame: the node's steps (movie in hand, frame search,
// ZB look-up, exclusive claim, keyword read, finish, count of what is left)
// with rendering and delivery taken out, against a bare "SELECT 1" round
// trip on the same server, measured side by side in one run. Uses the queue
// settings of $VOXA_ROOT (bench/queue_bench.sh starts a private server).
//
// usage: queue_bench [FRAMES]   (default 500)
#include "queue/frame_queue.h"
#include "queue/queue_db.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;
using voxa::queue::Movie;

class NoRender : public voxa::queue::FrameRenderer {
public:
    voxa::Status BeginMovie(const Movie&) override { return voxa::Status::Ok(); }
    voxa::Result<std::vector<unsigned char>> RenderPanel(const Movie& movie, std::string_view,
                                                         const std::string&, int panel) override {
        const auto& p = movie.panels[static_cast<size_t>(panel)];
        return std::vector<unsigned char>(static_cast<size_t>(p.width * p.height * 3));
    }
};

class NoDelivery : public voxa::queue::PanelSink {
public:
    voxa::Status Deliver(const voxa::queue::Panel&, int, std::span<const unsigned char>) override {
        return voxa::Status::Ok();
    }
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

int Die(const voxa::Status& s) {
    std::fprintf(stderr, "queue_bench: %s\n", s.message().c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::max(10, std::atoi(argv[1])) : 500;
    auto settings = voxa::queue::ReadQueueSettings();
    if (!settings.ok()) return Die(settings.status());
    auto db = voxa::queue::QueueDb::ConnectQueueHost(*settings);
    if (!db.ok()) return Die(db.status());
    voxa::queue::QueueDb& q = **db;
    if (auto s = q.UseOrCreateDatabase(settings->database); !s.ok()) return Die(s);
    if (auto s = q.CreateQueueTables(); !s.ok()) return Die(s);
    for (const char* sql : {"drop table if exists `frames_qbench`",
                            "delete from VOXA_Movies where name='qbench'",
                            "delete from Files where host='qbench-host'"})
        if (auto r = q.Execute(sql); !r.ok()) return Die(r.status());
    if (auto r = q.Execute(std::string("create table `frames_qbench` ") + voxa::queue::kFrameTableColumns); !r.ok())
        return Die(r.status());
    std::string values;
    for (int n = 1; n <= frames; ++n) {
        char row[160];
        std::snprintf(row, sizeof(row), "%s('set_%04d.zb','eye 0 0 5\\ncenter 0 0 0\\nup 0 1 0\\n','New')",
                      n > 1 ? "," : "", n);
        values += row;
    }
    if (auto r = q.Execute("insert into `frames_qbench` (zbfile,voxain,status) values " + values); !r.ok())
        return Die(r.status());
    values.clear();
    for (int n = 1; n <= frames; ++n) {
        char row[120];
        std::snprintf(row, sizeof(row), "%s('qbench-host','','/data','set_%04d.zb')", n > 1 ? "," : "", n);
        values += row;
    }
    if (auto r = q.Execute("insert into Files (host,mount,dir,name) values " + values); !r.ok()) return Die(r.status());
    if (auto r = q.Execute("insert into VOXA_Movies (name,options,frusta,destinations,status) values ('qbench','',"
                           "'frustum 0\\ncenter 0 1 0\\nup 0 0 1\\nnormal 0 1 0\\ndimension 4 2 1\\n','h /d\\n','FilesCreated')");
        !r.ok())
        return Die(r.status());

    // Baseline: SELECT 1 round trips on a connection of its own.
    auto base = voxa::queue::QueueDb::ConnectQueueHost(*settings);
    if (!base.ok()) return Die(base.status());
    auto t0 = Clock::now();
    for (int i = 0; i < frames; ++i)
        if (auto r = (*base)->Query("SELECT 1"); !r.ok()) return Die(r.status());
    const double selectMs = Ms(Clock::now() - t0) / frames;

    voxa::queue::NodeConfig config;
    config.settings = *settings;
    config.nodeName = "bench";
    config.filesHost = "qbench-host";
    config.windowWidth = 640;
    config.windowHeight = 512;
    NoRender render;
    NoDelivery sink;
    voxa::queue::QueueNode node(config, render, sink);
    node.RunQueueStep();  // connects, sets the movie up, first frame
    int done = node.LastOutcome() == voxa::queue::StepOutcome::kRendered ? 1 : 0;
    t0 = Clock::now();
    int steps = 0;
    while (node.RunQueueStep() == 1) {
        ++steps;
        if (node.LastOutcome() == voxa::queue::StepOutcome::kCompleted) break;
    }
    const double stepMs = Ms(Clock::now() - t0) / std::max(steps, 1);
    done += steps;
    auto finished = q.Query("select count(*) from `frames_qbench` where status='Finished by bench'");
    std::printf("frames finished: %s of %d\n", finished.ok() ? (*finished)[0][0]->c_str() : "?", frames);
    std::printf("SELECT 1 round trip: %.3f ms\n", selectMs);
    std::printf("queue step per frame (claim, look-ups, finish; no render, no delivery): %.3f ms\n", stepMs);
    std::printf("ratio to SELECT 1: %.1f; queue overhead %s the 5 ms target\n", stepMs / selectMs,
                stepMs <= 5.0 ? "within" : "OVER");
    (void)q.Execute("drop table if exists `frames_qbench`");
    (void)q.Execute("delete from VOXA_Movies where name='qbench'");
    (void)q.Execute("delete from Files where host='qbench-host'");
    return done == frames ? 0 : 1;
}
