// vw_shot: writes a PNG screenshot of an X display (the wall's windows).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "movie/vw_screen.h"

namespace {

constexpr const char* kUsage =
    "usage: vw_shot OUT.png [--display DISPLAY] [--size WxH]\n"
    "Writes the screen of DISPLAY (default $DISPLAY) as a PNG; --size keeps only\n"
    "the top-left WxH pixels.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc < 2 || argv[1][0] == '-') {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string display;
    int keepW = 0, keepH = 0;
    for (int i = 2; i < argc; ++i) {
        std::string opt = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr, "vw_shot: %s needs a value\n%s", opt.c_str(), kUsage);
            return 2;
        }
        std::string value = argv[++i];
        char tail = 0;
        if (opt == "--display") {
            display = value;
        } else if (opt == "--size" &&
                   std::sscanf(value.c_str(), "%dx%d%c", &keepW, &keepH, &tail) == 2 && keepW > 0 &&
                   keepH > 0) {
        } else {
            std::fprintf(stderr, "vw_shot: bad option %s %s\n%s", opt.c_str(), value.c_str(),
                         kUsage);
            return 2;
        }
    }
    auto shot = voxa::movie::GrabScreen(display);
    if (!shot.ok()) {
        std::fprintf(stderr, "vw_shot: %s\n", shot.status().message().c_str());
        return 1;
    }
    voxa::movie::ScreenImage image = std::move(*shot);
    if (keepW > 0 && (keepW < image.width || keepH < image.height)) {
        voxa::movie::ScreenImage cut;
        cut.width = std::min(keepW, image.width);
        cut.height = std::min(keepH, image.height);
        for (int y = 0; y < cut.height; ++y)
            cut.rgb.insert(
                cut.rgb.end(), image.rgb.begin() + static_cast<long>(y) * image.width * 3,
                image.rgb.begin() + (static_cast<long>(y) * image.width + cut.width) * 3);
        image = std::move(cut);
    }
    voxa::Status written = voxa::movie::WritePng(argv[1], image);
    if (!written.ok()) {
        std::fprintf(stderr, "vw_shot: %s\n", written.message().c_str());
        return 1;
    }
    std::printf("wrote %s (%dx%d)\n", argv[1], image.width, image.height);
    return 0;
}
