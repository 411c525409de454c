// Option keywords (SetOption pairs) from outside: each input line is
// "KEYWORD VALUE"; every pair is cut and applied like the render context
// does, and the tables stay within their bounds.
#include "engine/context/options.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    voxa::OptionSettings settings;
    voxa::ProcessOptions shared;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        size_t space = line.find(' ');
        const std::string key = voxa::CutOptionText(line.substr(0, space));
        const std::string value =
            voxa::CutOptionText(space == std::string_view::npos ? std::string_view() : line.substr(space + 1));
        voxa::ApplyOptionKeyword(key, value, settings, shared);
    }
    if (shared.history.Entries().size() > static_cast<size_t>(voxa::kMaxOptionHistory)) std::abort();
    for (const voxa::TickList* list : {&settings.ticks, &settings.xTicks, &settings.yTicks}) {
        if (list->Count() > voxa::kMaxTicks) std::abort();
        for (const auto& tick : list->Ticks())
            if (tick.label.size() > voxa::kMaxTickLabel) std::abort();
    }
    (void)shared.history.Format();
    return 0;
}
