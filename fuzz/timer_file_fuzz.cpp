// Timer files (.pto) from outside, as ptodump reads them: any bytes are
// summarised within the line and group limits and formatted.
#include "engine/timers/pto_summary.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    voxa::PtoSummary s = voxa::SummarizeTimerFile(in);
    if (s.linesRead > voxa::kPtoMaxLines || s.timerLines > s.linesRead) std::abort();
    if (s.groups.size() > static_cast<size_t>(voxa::kPtoMaxGroups)) std::abort();
    for (const auto& g : s.groups)
        if (g.count <= 0 || g.label.size() > 40) std::abort();
    (void)voxa::FormatPtoSummary(s);
    return 0;
}
