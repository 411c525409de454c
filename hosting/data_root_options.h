// The data-root options every file-serving component server shares
// (`spool`, `voxa_server`, `reel1`, `fileport_server`): $VOXA_ROOT/data is
// always a root, plus the directories of the roots file (--roots-file, else
// $VOXA_ROOT/spool_roots.txt when present) and every --data-root.
//
// A server lists kDataRootValueOptions among its value options, appends
// kDataRootOptionsHelp to its help text and builds its roots with
// BuildDataRoots before it serves anything.
#pragma once

#include "hosting/server_shell.h"
#include "platform/data_roots.h"

#include <string>
#include <vector>

namespace voxa::hosting {

inline const std::vector<std::string> kDataRootValueOptions = {"--data-root", "--roots-file"};

inline constexpr const char* kDataRootOptionsHelp =
    "  --data-root DIR          serve files under DIR too (repeatable); the root\n"
    "                           $VOXA_ROOT/data is always served. DIR must be a\n"
    "                           directory, else the server exits with status 2\n"
    "  --roots-file FILE        more roots, one directory a line (default\n"
    "                           $VOXA_ROOT/spool_roots.txt when present); a line\n"
    "                           naming no directory is skipped with a warning\n";

// False (message in *error) when an explicit --data-root is not a directory
// or an explicit roots file cannot be read; roots-file lines that name no
// directory are skipped, one message each in *warnings.
bool BuildDataRoots(const ServerCommandLine& cl, DataRoots* roots,
                    std::vector<std::string>* warnings, std::string* error);

}  // namespace voxa::hosting
