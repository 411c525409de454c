// The keyword text of a queued movie frame, applied to a view key and
// control points: counts stay within the 32 points a table holds.
#include "engine/context/render_request.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    voxa::Renderparams key{};
    voxa::FrameControlPoints points;
    int lines = voxa::ApplyFrameKeywords(std::string_view(reinterpret_cast<const char*>(data), size), key, points);
    if (lines < 0 || lines > voxa::kMaxFrameKeywordLines) std::abort();
    if (points.alphaCount < 0 || points.alphaCount > 32 || points.colorCount < 0 || points.colorCount > 32)
        std::abort();
    int a = points.AlphaCountToUse(), c = points.ColorCountToUse();
    if (a < 0 || a > points.alphaCount || c < 0 || c > points.colorCount) std::abort();
    return 0;
}
