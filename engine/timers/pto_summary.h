// Summary of a timer file: for every kind of "End" record, the total and
// average time of the phases ending there (the work behind `ptodump`).
#pragma once

#include <istream>
#include <string>
#include <vector>

namespace voxa {

struct PtoGroup {
    std::string label;   // the exact 40-character label
    float total = 0.0f;  // sum of elapsed seconds
    int count = 0;
};

struct PtoSummary {
    float timeSpan = 0.0f;   // time of last line minus time of first line
    float totalTime = 0.0f;  // sum of elapsed values of all "End" lines
    int commonBlanks = 0;    // leading blanks common to every line
    std::vector<PtoGroup> groups;  // in order of first appearance
    int linesRead = 0;
    int timerLines = 0;          // lines of the timer record layout: " , " and a time at column 43
    bool linesDropped = false;   // more than kMaxLines lines
    bool groupsDropped = false;  // more than kMaxGroups "End" labels
};

inline constexpr int kPtoMaxLines = 10000;
inline constexpr int kPtoMaxGroups = 100;
inline constexpr size_t kPtoMaxLineLength = 255;

PtoSummary SummarizeTimerFile(std::istream& in);
// The report exactly as `ptodump` prints it.
std::string FormatPtoSummary(const PtoSummary& summary);

}  // namespace voxa
