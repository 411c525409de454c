// fileport_gui: the "Get Remote Files" dialog, or its work from the command
// line (--list, --copy, --rdl; see --help).
#include "fileport/fileport_cli.h"
#include "fileport/fileport_dialog.h"

#include <QApplication>

#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (voxa::fileport::IsCommandLineWork(args))
        return voxa::fileport::RunFileportCommand(args, stdout, stderr);
    QApplication app(argc, argv);
    voxa::fileport::FileportDialog dialog;
    if (args.size() == 1 && !dialog.LoadRemoteDirectoryList(QString::fromStdString(args[0]))) return 2;
    dialog.show();
    return app.exec();
}
