// ptodump: prints, for every kind of "End" record of a timer file, the total
// and the average time of the phases ending there.
#include "engine/timers/pto_summary.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include <sys/stat.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("Usage:  %s file.pto\n", argv[0]);
        return 0;
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::printf("Usage:  %s file.pto\n", argv[0]);
        std::printf(
            "\nPrints the time span of a timer file written by the render engine\n"
            "(option \"TimersOn\" 1, file named by \"TimerOutputFile\") and, for every\n"
            "\"End\" label in order of first appearance: the label, the total seconds\n"
            "of the phases ending there, their average and their count.\n");
        return 0;
    }
    struct stat st{};
    if (::stat(argv[1], &st) == 0 && !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "%s: %s is %s, not a timer file\n", argv[0], argv[1],
                     S_ISDIR(st.st_mode) ? "a directory" : "not a regular file");
        return 1;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: cannot open %s: %s\n", argv[0], argv[1], std::strerror(errno));
        return 1;
    }
    voxa::PtoSummary summary = voxa::SummarizeTimerFile(in);
    if (summary.timerLines == 0) {
        std::fprintf(stderr,
                     "%s: %s holds no timer lines (a 40-column label, \" , \" and a time)\n",
                     argv[0], argv[1]);
        return 1;
    }
    std::fputs(voxa::FormatPtoSummary(summary).c_str(), stdout);
    if (summary.linesDropped)
        std::fprintf(stderr, "%s: only the first %d lines were read\n", argv[0],
                     voxa::kPtoMaxLines);
    if (summary.groupsDropped)
        std::fprintf(stderr, "%s: only the first %d \"End\" labels were grouped\n", argv[0],
                     voxa::kPtoMaxGroups);
    return 0;
}
