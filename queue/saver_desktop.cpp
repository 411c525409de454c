#include "queue/saver_desktop.h"

#include "queue/frame_delivery.h"
#include "queue/frame_queue.h"
#include "queue/movie_render.h"
#include "queue/queue_db.h"

#include <cstdlib>
#include <memory>

namespace voxa::queue {

Result<SaverWindowChoice> ChooseSaverWindow(unsigned long windowIdArg, bool root, int ownWidth,
                                            int ownHeight) {
    SaverWindowChoice choice;
    choice.ownWidth = ownWidth;
    choice.ownHeight = ownHeight;
    if (windowIdArg != 0) {
        choice.kind = SaverWindowKind::kWindowId;
        choice.windowId = windowIdArg;
        return choice;
    }
    // A manager that names its window in the environment wants it used,
    // also when it passes -root (the window is its virtual root).
    if (const char* env = std::getenv(kSaverWindowEnv); env != nullptr && *env != '\0') {
        Result<unsigned long> id = ParseWindowId(env);
        if (!id.ok()) return id.status().Prefixed(kSaverWindowEnv);
        choice.kind = SaverWindowKind::kWindowId;
        choice.windowId = *id;
        return choice;
    }
    choice.kind = root ? SaverWindowKind::kRoot : SaverWindowKind::kOwn;
    return choice;
}

int RunDesktopSaver(const DesktopSaverArgs& args, const std::atomic<bool>& stop, std::ostream& out,
                    std::ostream& err) {
    SaverShell shell(stop);
    if (Status s = shell.OpenWindow(args.window); !s.ok()) {
        err << "voxa_saver: " << s.message() << "\n";
        return 1;
    }
    // The node's engine draws in the saver's window. The saver's own render
    // context (the idle picture) is the one whose StartUp and ClearIt bring
    // the window up and take it down; the engine's movie contexts share it.
    auto engine =
        std::make_unique<HeadlessEngine>(shell.Width(), shell.Height(), DisplayMode::kAuto);
    auto saverContext = std::make_unique<RenderContext>(engine->Process());
    engine->AttachPipeline(*saverContext);

    std::unique_ptr<SpoolSink> sink;
    std::unique_ptr<QueueNode> node;
    Result<QueueSettings> settings = ReadQueueSettings();
    if (settings.ok()) {
        NodeConfig config;
        config.settings = *settings;
        config.nodeName = args.nodeName.empty() ? LocalHostName() : args.nodeName;
        config.filesHost = args.filesHost.empty() ? LocalHostName() : args.filesHost;
        config.windowWidth = shell.Width();
        config.windowHeight = shell.Height();
        config.staleSeconds = args.staleSeconds;
        config.verbose = args.verbose;
        sink = std::make_unique<SpoolSink>(&stop);
        node = std::make_unique<QueueNode>(config, *engine, *sink, &stop);
        node->Log("Localhost name is: --> " + LocalHostName() + " <--  node " + node->NodeName() +
                  "\n");
    } else {
        err << "voxa_saver: no queue (" << settings.status().message()
            << "); showing the test picture only\n";
    }

    QueueStepFunction step;
    if (node) step = [&node](int, int) { return node->RunQueueStep(); };
    shell.Create(*saverContext, step);
    if (args.tumble >= 0) shell.Core().SetTumble(args.tumble);
    if (!shell.Core().GlWindowIsUp())
        err << "voxa_saver: no OpenGL context in the saver window (see DEBUG_VOXA.txt under "
               "$VOXA_ROOT); no queue work is taken\n";
    if (args.verbose > 0)
        out << "voxa_saver: window 0x" << std::hex << shell.WindowId() << std::dec << " "
            << shell.Width() << "x" << shell.Height()
            << (shell.Core().IsPreview() ? " (preview)" : "") << "\n";

    SaverEnd end = shell.Run();
    // Down in order: the movie context, then the saver's context (the last
    // user takes the window down), then the saver's window itself.
    int frames = node ? node->FramesRendered() : 0;
    node.reset();
    engine->ReleaseContext();
    shell.Destroy();
    saverContext.reset();
    engine.reset();
    if (args.verbose > 0) {
        out << "voxa_saver: ended (" << SaverEndName(end) << ")";
        if (sink) out << ", " << frames << " frames rendered";
        out << "\n";
    }
    return 0;
}

}  // namespace voxa::queue
