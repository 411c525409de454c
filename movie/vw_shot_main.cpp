// vw_shot: writes a PNG screenshot of an X display (the wall's windows).
#include "movie/vw_screen.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(argc == 2 ? stdout : stderr,
                     "usage: vw_shot OUT.png [DISPLAY]\n"
                     "Writes the whole screen of DISPLAY (default $DISPLAY) as a PNG.\n");
        return argc == 2 ? 0 : 2;
    }
    auto shot = voxa::movie::GrabScreen(argc == 3 ? argv[2] : "");
    if (!shot.ok()) {
        std::fprintf(stderr, "vw_shot: %s\n", shot.status().message().c_str());
        return 1;
    }
    voxa::Status written = voxa::movie::WritePng(argv[1], *shot);
    if (!written.ok()) {
        std::fprintf(stderr, "vw_shot: %s\n", written.message().c_str());
        return 1;
    }
    std::printf("wrote %s (%dx%d)\n", argv[1], shot->width, shot->height);
    return 0;
}
