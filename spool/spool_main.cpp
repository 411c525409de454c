// spool: the disk spool server (class spool1).
#include "hosting/server_shell.h"
#include "spool/spool1_impl.h"

int main(int argc, char** argv) {
    voxa::hosting::ServerHooks hooks;
    hooks.valueOptions = {"--data-root", "--roots-file"};
    hooks.optionHelp =
        "  --data-root DIR          serve files under DIR too (repeatable); the root\n"
        "                           $VOXA_ROOT/data is always served. DIR must be a\n"
        "                           directory, else spool exits with status 2\n"
        "  --roots-file FILE        more roots, one directory a line (default\n"
        "                           $VOXA_ROOT/spool_roots.txt when present); a line\n"
        "                           naming no directory is skipped with a warning\n";
    hooks.makeFactory = voxa::spool::MakeSpoolFactory;
    return voxa::hosting::RunServerMain(argc, argv, voxa::hosting::Spool1Class(), hooks);
}
