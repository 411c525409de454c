// xgrab: writes what an X window (default: the root window) shows as a PNG.
// A small tool for looking at the saver under a private X server (there is
// no screenshot program in a bare Xvfb set-up).
//
//   xgrab OUT.png [WINDOW-ID]
#include "engine/context/pixel_files.h"
#include "queue/saver_shell.h"

#include <cstdio>
#include <string>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#undef Status

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || std::string(argv[1]) == "--help") {
        std::fprintf(argc < 2 || argc > 3 ? stderr : stdout,
                     "Usage: xgrab OUT.png [WINDOW-ID]\nWrites the window (default: the root "
                     "window of $DISPLAY) as a PNG.\n");
        return argc < 2 || argc > 3 ? 2 : 0;
    }
    Display* d = XOpenDisplay(nullptr);
    if (d == nullptr) {
        std::fprintf(stderr, "xgrab: cannot open the X display\n");
        return 1;
    }
    Window w = DefaultRootWindow(d);
    if (argc == 3) {
        auto id = voxa::queue::ParseWindowId(argv[2]);
        if (!id.ok()) {
            std::fprintf(stderr, "xgrab: %s\n", id.status().message().c_str());
            return 2;
        }
        w = *id;
    }
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(d, w, &attributes) == 0) {
        std::fprintf(stderr, "xgrab: no such window\n");
        return 1;
    }
    int width = attributes.width, height = attributes.height;
    XImage* image = XGetImage(d, w, 0, 0, static_cast<unsigned>(width),
                              static_cast<unsigned>(height), AllPlanes, ZPixmap);
    if (image == nullptr) {
        std::fprintf(stderr, "xgrab: the window cannot be read\n");
        return 1;
    }
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            unsigned long p = XGetPixel(image, x, y);
            uint8_t* out = &rgb[(static_cast<size_t>(height - 1 - y) * width + x) * 3];
            out[0] = static_cast<uint8_t>((p & image->red_mask) >> 16);
            out[1] = static_cast<uint8_t>((p & image->green_mask) >> 8);
            out[2] = static_cast<uint8_t>(p & image->blue_mask);
        }
    XDestroyImage(image);
    XCloseDisplay(d);
    if (voxa::Status written = voxa::WritePngImage(argv[1], width, height, rgb); !written.ok()) {
        std::fprintf(stderr, "xgrab: %s\n", written.message().c_str());
        return 1;
    }
    return 0;
}
