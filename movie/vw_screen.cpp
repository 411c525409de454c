#include "movie/vw_screen.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <png.h>
// Xlib names its int result type Status; ours is voxa::Status.
#undef Status

#include <memory>

namespace voxa::movie {
namespace {

struct DisplayCloser {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
struct ImageDestroyer {
    void operator()(XImage* i) const { XDestroyImage(i); }
};

int Shift(unsigned long mask) {
    int s = 0;
    while (mask && !(mask & 1)) {
        mask >>= 1;
        ++s;
    }
    return s;
}

}  // namespace

Result<ScreenImage> GrabScreen(const std::string& display) {
    std::unique_ptr<Display, DisplayCloser> dpy(
        XOpenDisplay(display.empty() ? nullptr : display.c_str()));
    if (!dpy)
        return Unavailable("cannot open X display " +
                           (display.empty() ? std::string("$DISPLAY") : display));
    Window root = DefaultRootWindow(dpy.get());
    XWindowAttributes attrs{};
    XGetWindowAttributes(dpy.get(), root, &attrs);
    std::unique_ptr<XImage, ImageDestroyer> image(
        XGetImage(dpy.get(), root, 0, 0, attrs.width, attrs.height, AllPlanes, ZPixmap));
    if (!image) return Failed("XGetImage of the root window failed");
    ScreenImage out;
    out.width = attrs.width;
    out.height = attrs.height;
    out.rgb.resize(static_cast<size_t>(out.width) * out.height * 3);
    const int rs = Shift(image->red_mask), gs = Shift(image->green_mask),
              bs = Shift(image->blue_mask);
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
            unsigned long p = XGetPixel(image.get(), x, y);
            uint8_t* d = &out.rgb[(static_cast<size_t>(y) * out.width + x) * 3];
            d[0] = static_cast<uint8_t>((p & image->red_mask) >> rs);
            d[1] = static_cast<uint8_t>((p & image->green_mask) >> gs);
            d[2] = static_cast<uint8_t>((p & image->blue_mask) >> bs);
        }
    return out;
}

Status WritePng(const std::string& path, const ScreenImage& image) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&png, path.c_str(), 0, image.rgb.data(), image.width * 3,
                                 nullptr)) {
        std::string why = png.message;
        png_image_free(&png);
        return IoError("cannot write " + path + ": " + why);
    }
    return Status::Ok();
}

}  // namespace voxa::movie
