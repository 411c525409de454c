// Screenshots of an X display (the wall's windows on a display machine):
// the root window read back with XGetImage as top-down RGB, and written as
// a PNG. Used by vw_shot, the demo and the tests.
//
// One thread; the display connection is opened and closed per call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/status.h"

namespace voxa::movie {

struct ScreenImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // top-down rows, 3 bytes a pixel
};

// The whole screen of display (empty: $DISPLAY).
Result<ScreenImage> GrabScreen(const std::string& display = "");

Status WritePng(const std::string& path, const ScreenImage& image);

}  // namespace voxa::movie
