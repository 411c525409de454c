// reel1: the movie server (class mi), and its test-movie helper.
#include "hosting/data_root_options.h"
#include "hosting/server_shell.h"
#include "movie/mi_impl.h"
#include "movie/test_pattern.h"
#include "spool/progress_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

namespace {

bool ParseInt(const char* text, int* value) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v <= 0 || v > 1000000) return false;
    *value = static_cast<int>(v);
    return true;
}

int MakeTestMovie(int argc, char** argv, int at) {
    if (at + 4 > argc - 1) {
        std::fprintf(stderr, "reel1: --make-test-movie needs FILE WIDTH HEIGHT FRAMES\n");
        return 2;
    }
    int width = 0, height = 0, frames = 0;
    if (!ParseInt(argv[at + 2], &width) || !ParseInt(argv[at + 3], &height) ||
        !ParseInt(argv[at + 4], &frames)) {
        std::fprintf(stderr, "reel1: WIDTH, HEIGHT and FRAMES must be positive numbers\n");
        return 2;
    }
    std::string error;
    voxa::spool::ProgressLine progress(stderr, "writing test movie ", ::isatty(2) != 0);
    bool ok = voxa::movie::WriteTestMovie(argv[at + 1], width, height, frames, &error,
                                          [&](int done) { progress.Update(done, frames); });
    progress.End();
    if (::isatty(2) != 0) std::fputc('\n', stderr);
    if (!ok) {
        std::fprintf(stderr, "reel1: %s\n", error.c_str());
        return 1;
    }
    std::printf("wrote %d frames of %dx%d to %s\n", frames, width, height, argv[at + 1]);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    voxa::movie::PlayerConfig base;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--make-test-movie") == 0) return MakeTestMovie(argc, argv, i);
        if (std::strcmp(argv[i], "--headless") == 0) base.headless = true;
        if (std::strcmp(argv[i], "--draw-pixels") == 0) base.drawPixels = true;
        if (std::strcmp(argv[i], "--no-realtime") == 0) base.realtimeDisplay = false;
    }
    voxa::hosting::ServerHooks hooks;
    hooks.valueOptions = voxa::hosting::kDataRootValueOptions;
    hooks.optionHelp = std::string(voxa::hosting::kDataRootOptionsHelp) + voxa::movie::kReelOptionsHelp;
    hooks.makeFactory = [base](const voxa::hosting::ServerCommandLine& cl, kj::AsyncIoContext&,
                               std::string* error) {
        return voxa::movie::MakeMiFactory(cl, base, error);
    };
    return voxa::hosting::RunServerMain(argc, argv, voxa::hosting::MiClass(), hooks);
}
