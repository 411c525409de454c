// vw: the movie wall controller (dialog, --play, --export).
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "movie/vw_dialog.h"
#include "movie/vw_group.h"
#include "movie/vw_play.h"
#include "movie/vw_wall.h"

namespace {

constexpr const char* kHelp =
    "usage:\n"
    "  vw [GROUP.vw [-mode play|initialize] [-speed FPS] [-expand ZOOM]]\n"
    "      the dialog; loads GROUP.vw and initialises or plays the wall when asked\n"
    "  vw --play GROUP.vw [--speed FPS] [--frames K] [--expand ZOOM]\n"
    "      runs the wall without the dialog: initialises every panel, plays K frames\n"
    "      (default: the movie once), prints the frame each second, stops, shuts down;\n"
    "      exits 1 when a panel failed\n"
    "  vw --export GROUP.vw OUT.mp4 [--fps N]\n"
    "      tiles the panels' movie files as the wall shows them into an H.264 MP4 (default 10 "
    "fps)\n"
    "  vw -h | -help | ?   the usage line in a message box\n"
    "\n"
    "A movie group file has one line per panel or segment, \"HOST[:XxY] FILE WIDTH HEIGHT "
    "FRAMES\",\n"
    "\"& FILE\" for another copy of the last movie, \"> START FRAMES\" for a segment's range, "
    "\"#\" comments.\n"
    "Movie servers (class mi) are reached on port $VOXA_MI_PORT or the registered one (47302).\n";

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    auto cl = voxa::movie::ParseVwCommandLine(args);
    switch (cl.action) {
        case voxa::movie::VwAction::kError:
            std::fprintf(stderr, "vw: %s\n%s", cl.error.c_str(), kHelp);
            return 2;
        case voxa::movie::VwAction::kHelp:
            std::fputs(kHelp, stdout);
            return 0;
        case voxa::movie::VwAction::kPlay:
            return voxa::movie::RunPlay(cl, stdout);
        case voxa::movie::VwAction::kExport:
            return voxa::movie::RunExport(cl, stdout);
        case voxa::movie::VwAction::kUsage:
        case voxa::movie::VwAction::kDialog:
            break;
    }

    const bool screen =
        std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") || std::getenv("QT_QPA_PLATFORM");
    if (cl.action == voxa::movie::VwAction::kUsage) {
        std::printf("%s\n", voxa::movie::kUsageText);
        if (!screen) return 0;
    } else if (!screen) {
        std::fprintf(stderr,
                     "vw: no display for the dialog (set DISPLAY, or use --play or --export)\n");
        return 1;
    }
    QApplication app(argc, argv);
    if (cl.action == voxa::movie::VwAction::kUsage) {
        QMessageBox::information(nullptr, "vw", voxa::movie::kUsageText);
        return 0;
    }
    voxa::movie::Wall wall;
    voxa::movie::VwDialog dialog(wall);
    dialog.SetFields(cl.speed, cl.expand);
    dialog.show();
    if (!cl.inputFile.empty() && dialog.LoadFile(cl.inputFile)) {
        if (cl.mode == voxa::movie::StartMode::kInitialize) dialog.InitializeButton()->click();
        if (cl.mode == voxa::movie::StartMode::kPlay) dialog.PlayButton()->click();
    }
    QObject::connect(&dialog, &QDialog::finished, &app, &QApplication::quit);
    return app.exec();
}
