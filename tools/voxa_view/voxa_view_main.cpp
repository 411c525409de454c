// voxa_view: turns a volume interactively, rendered in this process or by
// voxa_server on a render host.
#include "tools/voxa_view/view_model.h"
#include "tools/voxa_view/view_widget.h"

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

bool ParseSize(const char* text, int* w, int* h) {
    char* end = nullptr;
    long a = std::strtol(text, &end, 10);
    if (end == text || *end != 'x') return false;
    const char* second = end + 1;
    long b = std::strtol(second, &end, 10);
    if (end == second || *end != '\0' || a < 16 || b < 16 || a > 4096 || b > 4096) return false;
    *w = static_cast<int>(a);
    *h = static_cast<int>(b);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    voxa::view::ViewSetup setup;
    std::string screenshot;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') return false;
            *out = argv[++i];
            return true;
        };
        bool ok = true;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--host") {
            ok = value(&setup.host);
        } else if (a == "--zb") {
            ok = value(&setup.zbFile);
        } else if (a == "--cmap") {
            ok = value(&setup.cmapFile);
        } else if (a == "--amap") {
            ok = value(&setup.amapFile);
        } else if (a == "--keys") {
            std::string file;
            ok = value(&file);
            if (ok) {
                std::ifstream in(file, std::ios::binary);
                if (!in) {
                    std::fprintf(stderr, "voxa_view: cannot read the keyword file '%s'\n",
                                 file.c_str());
                    return 2;
                }
                std::ostringstream text;
                text << in.rdbuf();
                setup.keysText = text.str();
            }
        } else if (a == "--screenshot") {
            ok = value(&screenshot);
        } else if (a == "--size") {
            std::string size;
            ok = value(&size) && ParseSize(size.c_str(), &setup.width, &setup.height);
        } else {
            std::fprintf(stderr, "voxa_view: unknown argument '%s' (try --help)\n", a.c_str());
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "voxa_view: %s needs a value (try --help)\n", a.c_str());
            return 2;
        }
    }
    if (setup.cmapFile.empty() != setup.amapFile.empty()) {
        std::fprintf(stderr, "voxa_view: --cmap and --amap go together\n");
        return 2;
    }
    QApplication app(argc, argv);
    auto backend =
        setup.host.empty() ? voxa::view::MakeDirectBackend() : voxa::view::MakeRemoteBackend();
    voxa::view::ViewWindow window(setup, std::move(backend));
    int status = 0;
    QObject::connect(&window, &voxa::view::ViewWindow::Failed, [&](const QString& message) {
        std::fprintf(stderr, "voxa_view: %s\n", message.toLocal8Bit().constData());
        status = 1;
        app.quit();
    });
    // Whole frames only; the one after the drag is the turned view.
    const QString first = QString::fromStdString(screenshot);
    int stage = 0;
    if (!screenshot.empty()) {
        QObject::connect(&window, &voxa::view::ViewWindow::FrameArrived, [&](int) {
            if (window.StatusText().contains("aborted")) return;
            if (stage == 0) {
                stage = 1;
                QTimer::singleShot(300, [&] {
                    if (!window.grab().save(first)) status = 1;
                    DragRight(window.View(), 80);
                    stage = 2;
                });
            } else if (stage == 2) {
                stage = 3;
                QTimer::singleShot(300, [&] {
                    if (!window.grab().save(TurnedName(first))) status = 1;
                    app.quit();
                });
            }
        });
    }
    window.show();
    int rc = app.exec();
    return status != 0 ? status : rc;
}
