// voxa_server: the interactive render server (class voxa_work).
#include "hosting/data_root_options.h"
#include "hosting/server_shell.h"
#include "render_server/voxa_work_impl.h"

#include <cstring>
#include <string>

namespace {

constexpr char kHeadlessSwitch[] = "--headless";
constexpr char kHeadlessHelp[] =
    "  --headless               render without a window (EGL surfaceless), also when\n"
    "                           a display is there; without a display this is the\n"
    "                           default\n";

}  // namespace

int main(int argc, char** argv) {
    bool headless = false;
    for (int i = 1; i < argc; ++i) headless = headless || std::strcmp(argv[i], kHeadlessSwitch) == 0;
    voxa::hosting::ServerHooks hooks;
    hooks.valueOptions = voxa::hosting::kDataRootValueOptions;
    hooks.optionHelp = std::string(voxa::hosting::kDataRootOptionsHelp) + kHeadlessHelp;
    hooks.makeFactory = [headless](const voxa::hosting::ServerCommandLine& cl,
                                   kj::AsyncIoContext& io, std::string* error) {
        return voxa::render_server::MakeWorkFactory(cl, io, headless, error);
    };
    return voxa::hosting::RunServerMain(argc, argv, voxa::hosting::VoxaWorkClass(), hooks);
}
