// fileport_server: the remote file server (class RemoteFiles).
#include "fileport/remote_files_server.h"
#include "hosting/data_root_options.h"
#include "hosting/server_shell.h"

int main(int argc, char** argv) {
    voxa::hosting::ServerHooks hooks;
    hooks.valueOptions = voxa::hosting::kDataRootValueOptions;
    hooks.optionHelp = voxa::hosting::kDataRootOptionsHelp;
    hooks.makeFactory = voxa::fileport::MakeRemoteFilesFactory;
    return voxa::hosting::RunServerMain(argc, argv, voxa::hosting::RemoteFilesClass(), hooks);
}
