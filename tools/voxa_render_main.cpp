// voxa_render: renders frames with one render context in direct mode.
#include "tools/voxa_render.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return voxa::RunVoxaRender(args, std::cout, std::cerr);
}
