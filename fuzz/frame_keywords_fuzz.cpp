// Frame keyword texts (the render queue's "eye 0 0 10" lines) from outside:
// any text is applied without fault and leaves control-point counts that
// the engine can use.
#include "engine/context/render_request.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    voxa::Renderparams key{};
    voxa::FrameControlPoints points;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const int lines = voxa::ApplyFrameKeywords(text, key, points);
    if (lines < 0 || lines > 100) std::abort();
    const int alpha = points.AlphaCountToUse(), color = points.ColorCountToUse();
    if (alpha < 0 || alpha > voxa::kMaxControlPoints || color < 0 || color > voxa::kMaxControlPoints)
        std::abort();
    if (alpha > points.alphaCount || color > points.colorCount) std::abort();
    return 0;
}
