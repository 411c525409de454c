// zbmake's command line: what to read, what to write and how.
#pragma once

#include "engine/bricks/zb_writer.h"
#include "platform/status.h"
#include "tools/zbmake.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace voxa {

struct ZbMakeArgs {
    bool help = false;
    std::string info;  // --info FILE.zb: describe this tree, nothing else
    std::string input, output;
    std::optional<std::array<int, 3>> dims;  // raw input when given
    RawType type = RawType::kU8;
    std::array<float, 3> spacing{1, 1, 1};
    bool singleFile = false;
    bool quiet = false;
    ZbMakeOptions options;  // brick, overlap, range, otherDirs (progress left unset)
};

// Parses the arguments after the program name. --help and --info end the
// parse (the arguments after them are not read). A failure's message says
// which argument is wrong.
Status ParseZbMakeArgs(const std::vector<std::string>& args, ZbMakeArgs& out);

}  // namespace voxa
