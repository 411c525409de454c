// Settings of the things the engine draws besides the volume, shared by the
// option parser (which fills them) and the overlay code (which draws them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace voxa {

// A tick: a position (0-255 on the colour bar and the plots' x axes; a row
// on the "pdf" y axis) and a label of at most 63 characters.
struct Tick {
    static constexpr size_t kMaxLabel = 63;
    int position = 0;
    std::string label;
};

// "Floor": colour and alpha 0-255, margin factor, grid spacing.
struct FloorSettings {
    int16_t red = 0, green = 0, blue = 0, alpha = 0;
    float margin = 5.0f;
    float spacing = 0.2f;
};

// "BoundingBox": colour and alpha 0-255.
struct BoxSettings {
    int16_t red = 0, green = 0, blue = 0, alpha = 0;
};

}  // namespace voxa
