// voxa_saver on a desktop: the render node inside the X11 screen-saver
// shell. Opens the saver window (adopted or own), makes the node's engine on
// it, and runs the 100 ms ticks (a queue step, or the turning test picture
// when there is no work) until the manager's SIGTERM, the user's input in
// the own window, or the window's end.
//
// Without readable queue settings the saver still runs and shows the idle
// picture (a desktop without a farm is a plain screen saver); it says so on
// standard error once.
//
// Main thread only; the stop flag is raised by the signal handler.
#pragma once

#include "queue/saver_shell.h"

#include <atomic>
#include <ostream>
#include <string>

namespace voxa::queue {

struct DesktopSaverArgs {
    SaverWindowChoice window;
    std::string nodeName;   // empty: the host name
    std::string filesHost;  // empty: the host name
    int staleSeconds = 300;
    int verbose = 0;
    int tumble = -1;  // -1: the setting; 0 / 1: -no-tumble / -tumble for this run
};

// The window the saver uses, as screen-saver managers name it: -window-id
// (already parsed into windowIdArg, 0 when absent) first, then
// $XSCREENSAVER_WINDOW, then -root, then an own window of the given size.
Result<SaverWindowChoice> ChooseSaverWindow(unsigned long windowIdArg, bool root, int ownWidth,
                                            int ownHeight);

// Runs the saver; returns the exit status (0 after a normal end, 1 when the
// window cannot be had).
int RunDesktopSaver(const DesktopSaverArgs& args, const std::atomic<bool>& stop, std::ostream& out,
                    std::ostream& err);

}  // namespace voxa::queue
