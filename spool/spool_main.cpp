// spool: the disk spool server (class spool1).
#include "hosting/data_root_options.h"
#include "hosting/server_shell.h"
#include "spool/spool1_impl.h"

int main(int argc, char** argv) {
    voxa::hosting::ServerHooks hooks;
    hooks.valueOptions = voxa::hosting::kDataRootValueOptions;
    hooks.optionHelp = voxa::hosting::kDataRootOptionsHelp;
    hooks.makeFactory = voxa::spool::MakeSpoolFactory;
    return voxa::hosting::RunServerMain(argc, argv, voxa::hosting::Spool1Class(), hooks);
}
