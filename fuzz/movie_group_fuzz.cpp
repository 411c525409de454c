// Movie group files (".vw") of the wall controller: parse any bytes, and
// check that what was admitted stays within the tables' limits.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "movie/vw_export.h"
#include "movie/vw_group.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto group = voxa::movie::ParseMovieGroup(text, "fuzz.vw");
    if (!group.ok()) return 0;
    if (group->panels.size() > static_cast<size_t>(voxa::movie::kMaxPanels)) std::abort();
    for (const auto& panel : group->panels) {
        if (panel.segments.empty() ||
            panel.segments.size() > static_cast<size_t>(voxa::movie::kMaxSegments))
            std::abort();
        if (!voxa::movie::SplitHostToken(panel.hostToken).ok()) std::abort();
        for (const auto& seg : panel.segments) {
            if (seg.files.size() > voxa::movie::kMaxFileList) std::abort();
            if (seg.frameCount <= 0 || seg.startFrame < 0 || seg.startFrame >= seg.frameCount)
                std::abort();
        }
    }
    (void)voxa::movie::LayOutWall(*group);
    (void)voxa::movie::WallMovieFrames(*group);
    return 0;
}
