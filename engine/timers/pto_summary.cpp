#include "engine/timers/pto_summary.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace voxa {

namespace {

constexpr size_t kLabelColumns = 40;
constexpr size_t kTimeColumn = 43;
constexpr size_t kElapsedColumn = 63;

}  // namespace

PtoSummary SummarizeTimerFile(std::istream& in) {
    PtoSummary s;
    std::string line;
    bool first = true;
    float firstTime = 0.0f;
    float lastTime = 0.0f;
    int minBlanks = static_cast<int>(kLabelColumns);
    while (std::getline(in, line)) {
        if (s.linesRead >= kPtoMaxLines) {
            s.linesDropped = true;
            break;
        }
        if (line.size() > kPtoMaxLineLength) line.resize(kPtoMaxLineLength);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // A record line holds at least the label, " , " and the time.
        if (line.size() <= kTimeColumn) continue;
        ++s.linesRead;
        std::string label = line.substr(0, kLabelColumns);
        int blanks = static_cast<int>(label.find_first_not_of(' '));
        if (blanks < 0) blanks = static_cast<int>(label.size());
        minBlanks = std::min(minBlanks, blanks);
        bool isEnd = label.compare(static_cast<size_t>(blanks), 3, "End") == 0;

        float time = 0.0f;
        const bool timed = std::sscanf(line.c_str() + kTimeColumn, "%f", &time) == 1;
        if (timed && line.compare(kLabelColumns, 3, " , ") == 0) ++s.timerLines;
        float elapsed = 0.0f;
        if (line.size() > kElapsedColumn) std::sscanf(line.c_str() + kElapsedColumn, "%f", &elapsed);

        if (first) firstTime = time;
        first = false;
        lastTime = time;
        if (!isEnd) continue;
        s.totalTime += elapsed;
        auto it = std::find_if(s.groups.begin(), s.groups.end(),
                               [&](const PtoGroup& g) { return g.label == label; });
        if (it == s.groups.end()) {
            if (static_cast<int>(s.groups.size()) >= kPtoMaxGroups) {
                s.groupsDropped = true;
                continue;
            }
            s.groups.push_back({label, 0.0f, 0});
            it = s.groups.end() - 1;
        }
        it->total += elapsed;
        ++it->count;
    }
    s.timeSpan = lastTime - firstTime;
    s.commonBlanks = s.linesRead > 0 ? minBlanks : 0;
    return s;
}

std::string FormatPtoSummary(const PtoSummary& s) {
    std::string out;
    char line[512];
    std::snprintf(line, sizeof line, "Time Span = %f    Total Time = %f\n", s.timeSpan,
                  s.totalTime);
    out += line;
    for (const PtoGroup& g : s.groups) {
        std::string label = g.label.substr(std::min<size_t>(g.label.size(), s.commonBlanks));
        std::snprintf(line, sizeof line, "%s  %10.4f  %10.6f  %7d\n", label.c_str(), g.total,
                      g.total / static_cast<float>(g.count), g.count);
        out += line;
    }
    return out;
}

}  // namespace voxa
