// voxa_view: turns a volume interactively, rendered in this process or by
// voxa_server on a render host.
#include "tools/voxa_view/view_model.h"
#include "tools/voxa_view/view_widget.h"
#include "platform/status.h"
#include "platform/sys.h"
#include "tools/number_args.h"

#include <QApplication>
#include <QMouseEvent>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr char kUsage[] =
    "usage: voxa_view [--host HOST] [--zb FILE] [--cmap FILE --amap FILE] [--keys FILE]\n"
    "                 [--size WxH] [--screenshot FILE]\n"
    "\n"
    "Shows a volume and turns it with the mouse: left drag turns, right drag and the\n"
    "wheel zoom; +/- opacity, [ ] pixel error, , . angle error, < > size error,\n"
    "0 finest detail, d default detail, s saves the frame as voxa_view_NNNN.png.\n"
    "A frame still rendering when the mouse moves again is stopped.\n"
    "\n"
    "  --host HOST   render with voxa_server on HOST (launched on demand when HOST is\n"
    "                this machine); without it, render in this process (headless)\n"
    "  --zb FILE     the volume (default: the built-in test volume)\n"
    "  --cmap FILE   colour map, with --amap FILE the opacity map\n"
    "  --keys FILE   first view from a frame keyword text (eye, center, up,\n"
    "                tolerances, ...; e.g. scripts/demo/head.keys)\n"
    "  --size WxH    frame size (default 640x480)\n"
    "  --screenshot FILE  write a screenshot of the window to FILE (PNG) once the\n"
    "                first frame is on show, then drag the view 80 pixels to the\n"
    "                right as the left mouse button would, write FILE with\n"
    "                \"-turned\" before its extension, and exit\n"
    "  --help        this text\n";

// FILE.png -> FILE-turned.png
QString TurnedName(const QString& file) {
    int dot = file.lastIndexOf('.');
    int slash = file.lastIndexOf('/');
    if (dot <= slash) dot = file.size();
    return file.left(dot) + "-turned" + file.mid(dot);
}

// A left-button drag across the frame view, as a person makes it.
void DragRight(QWidget* view, int pixels) {
    const QPoint from(view->width() / 2, view->height() / 2);
    const QPoint to = from + QPoint(pixels, 0);
    QMouseEvent press(QEvent::MouseButtonPress, from, view->mapToGlobal(from), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view, &press);
    for (int i = 1; i <= 8; ++i) {
        const QPoint at = from + (to - from) * i / 8;
        QMouseEvent move(QEvent::MouseMove, at, view->mapToGlobal(at), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view, &move);
    }
    QMouseEvent release(QEvent::MouseButtonRelease, to, view->mapToGlobal(to), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(view, &release);
}

bool ParseSize(const std::string& text, int* w, int* h) {
    int a = 0, b = 0;
    if (!voxa::ParseIntPairArg(text, 'x', a, b) || a < 16 || b < 16 || a > 4096 || b > 4096) return false;
    *w = a;
    *h = b;
    return true;
}

// The command line; *help when --help was asked for (nothing after it is
// read). A failure's message is printed as it stands.
voxa::Status ParseArgs(int argc, char** argv, voxa::view::ViewSetup& setup, std::string& screenshot, bool* help) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            *help = true;
            return voxa::Status::Ok();
        }
        std::string* field = a == "--host"         ? &setup.host
                             : a == "--zb"         ? &setup.zbFile
                             : a == "--cmap"       ? &setup.cmapFile
                             : a == "--amap"       ? &setup.amapFile
                             : a == "--screenshot" ? &screenshot
                                                   : nullptr;
        if (field == nullptr && a != "--keys" && a != "--size")
            return voxa::InvalidArgument("unknown argument '" + a + "' (try --help)");
        if (i + 1 >= argc || argv[i + 1][0] == '\0') return voxa::InvalidArgument(a + " needs a value (try --help)");
        const std::string v = argv[++i];
        if (field != nullptr) {
            *field = v;
        } else if (a == "--keys") {
            if (!voxa::ReadFileText(v, setup.keysText)) return voxa::NotFound("cannot read the keyword file '" + v + "'");
        } else if (!ParseSize(v, &setup.width, &setup.height)) {
            return voxa::InvalidArgument(a + " needs a value (try --help)");
        }
    }
    if (setup.cmapFile.empty() != setup.amapFile.empty())
        return voxa::InvalidArgument("--cmap and --amap go together");
    return voxa::Status::Ok();
}

// --screenshot: the first whole frame is saved as FILE, then the view is
// dragged and the turned frame saved beside it, and the program ends.
// Frames that were aborted do not count.
void ArmScreenshots(voxa::view::ViewWindow& window, QApplication& app, const QString& first, int& stage,
                    int& status) {
    QObject::connect(&window, &voxa::view::ViewWindow::FrameArrived, [&, first](int) {
        if (window.StatusText().contains("aborted")) return;
        if (stage == 0) {
            stage = 1;
            QTimer::singleShot(300, [&, first] {
                if (!window.grab().save(first)) status = 1;
                DragRight(window.View(), 80);
                stage = 2;
            });
        } else if (stage == 2) {
            stage = 3;
            QTimer::singleShot(300, [&, first] {
                if (!window.grab().save(TurnedName(first))) status = 1;
                app.quit();
            });
        }
    });
}

}  // namespace

int main(int argc, char** argv) {
    voxa::view::ViewSetup setup;
    std::string screenshot;
    bool help = false;
    if (voxa::Status parsed = ParseArgs(argc, argv, setup, screenshot, &help); !parsed.ok()) {
        std::fprintf(stderr, "voxa_view: %s\n", parsed.message().c_str());
        return 2;
    }
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    QApplication app(argc, argv);
    auto backend = setup.host.empty() ? voxa::view::MakeDirectBackend() : voxa::view::MakeRemoteBackend();
    voxa::view::ViewWindow window(setup, std::move(backend));
    int status = 0;
    QObject::connect(&window, &voxa::view::ViewWindow::Failed, [&](const QString& message) {
        std::fprintf(stderr, "voxa_view: %s\n", message.toLocal8Bit().constData());
        status = 1;
        app.quit();
    });
    int stage = 0;
    if (!screenshot.empty()) ArmScreenshots(window, app, QString::fromStdString(screenshot), stage, status);
    window.show();
    int rc = app.exec();
    return status != 0 ? status : rc;
}
