// voxa_saver: the render node. With -headless it renders queue frames on an
// EGL surfaceless context of -geometry WxH (default 1280x1024), one queue
// step per 100 ms tick, until SIGTERM or SIGINT (or, with --until-idle, until
// a whole round of the movies has nothing for it to do).
#include "queue/frame_queue.h"
#include "queue/movie_render.h"

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

namespace {

// Raised by the signal handler, read by the queue step (release/acquire).
std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop.store(true, std::memory_order_release); }

constexpr char kUsage[] =
    "Usage: voxa_saver -headless [-geometry WxH] [--until-idle] [--verbose]\n"
    "                  [--node-name NAME] [--files-host NAME] [--stale-seconds N]\n"
    "\n"
    "Render node of the movie queue. Without a display (-headless) it renders\n"
    "on an offscreen context of WxH pixels (default 1280x1024): every 100 ms it\n"
    "takes a frame of a ready movie whose ZB file this host holds (table Files),\n"
    "renders every panel and writes each into the panel's movie file through\n"
    "the spool server on the panel's host. Queue settings come from\n"
    "$VOXA_ROOT/VOXA_DEFAULT_SQL_QUEUE.txt (host user password [port|socket]);\n"
    "the log goes to $VOXA_ROOT/DEBUG_SCR1.txt.\n"
    "\n"
    "  -headless           run without a display (the only mode of this build)\n"
    "  -geometry WxH       render size (panels must fit in it)\n"
    "  --until-idle        exit 0 once a whole round of the movies has nothing for\n"
    "                      this node (no New frame it can render, no stale claim)\n"
    "  --node-name NAME    name in the frames' \"Started by\" / \"Finished by\"\n"
    "                      (default: the host name)\n"
    "  --files-host NAME   host whose rows of Files say which ZB files are here\n"
    "                      (default: the host name)\n"
    "  --stale-seconds N   a claim older than N s may be taken over (default 300)\n"
    "  --verbose           also print the log on standard output\n"
    "  --help              this text\n"
    "\n"
    "SIGTERM or SIGINT ends it after the current panel; a frame not finished\n"
    "goes back to New. Exit status: 0 stopped or idle, 1 no GL context,\n"
    "2 bad arguments.\n";

bool ParseInt(const char* s, int& out) {
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (*s == '\0' || *end != '\0' || v < 0 || v > 100000000) return false;
    out = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    voxa::queue::NodeConfig config;
    bool headless = false, untilIdle = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (a == "--help" || a == "-h" || a == "-help") {
            std::cout << kUsage;
            return 0;
        } else if (a == "-headless" || a == "--headless") {
            headless = true;
        } else if (a == "--until-idle") {
            untilIdle = true;
        } else if (a == "--verbose" || a == "-verbose") {
            config.verbose = 1;
        } else if (a == "-geometry" || a == "--geometry") {
            const char* v = value();
            int w = 0, h = 0;
            if (v == nullptr || std::sscanf(v, "%dx%d", &w, &h) != 2 || w < 1 || h < 1 ||
                static_cast<long long>(w) * h > 4194304 || w > 8192 || h > 8192) {
                std::cerr << "voxa_saver: -geometry needs WxH of at most 4,194,304 pixels\n";
                return 2;
            }
            config.windowWidth = w;
            config.windowHeight = h;
        } else if (a == "--node-name" || a == "--files-host") {
            const char* v = value();
            if (v == nullptr || *v == '\0' || std::strlen(v) > 200) {
                std::cerr << "voxa_saver: " << a << " needs a name of at most 200 characters\n";
                return 2;
            }
            (a == "--node-name" ? config.nodeName : config.filesHost) = v;
        } else if (a == "--stale-seconds") {
            const char* v = value();
            if (v == nullptr || !ParseInt(v, config.staleSeconds)) {
                std::cerr << "voxa_saver: --stale-seconds needs a number of seconds\n";
                return 2;
            }
        } else {
            std::cerr << "voxa_saver: unknown argument '" << a << "'\nTry 'voxa_saver --help'.\n";
            return 2;
        }
    }
    if (!headless) {
        std::cerr << "voxa_saver: only -headless is available in this build\n";
        return 2;
    }
    auto settings = voxa::queue::ReadQueueSettings();
    if (!settings.ok()) {
        std::cerr << "voxa_saver: " << settings.status().message() << "\n";
        return 2;
    }
    config.settings = *settings;
    config.previewRule = false;  // no preview window without a display

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    voxa::queue::HeadlessEngine engine(config.windowWidth, config.windowHeight);
    if (voxa::Status s = engine.Start(); !s.ok()) {
        std::cerr << "voxa_saver: " << s.message() << "\n";
        return 1;
    }
    voxa::queue::SpoolSink sink(&g_stop);
    voxa::queue::QueueNode node(config, engine, sink, &g_stop);
    node.Log("Localhost name is: --> " + voxa::queue::LocalHostName() + " <--  node " +
             node.NodeName() + "\n");
    while (!g_stop.load(std::memory_order_acquire)) {
        node.RunQueueStep();
        if (untilIdle && node.IdleRoundDone()) break;
        // One step per tick; ticks do not pile up.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (config.verbose > 0)
        std::cout << "voxa_saver: " << node.FramesRendered() << " frames rendered\n";
    return 0;
}
