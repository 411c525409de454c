#include "engine/timers/pto_summary.h"

#include "engine/timers/timers.h"
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace voxa {
namespace {

using testing::CommandResult;
using testing::FreshRoot;
using testing::RunCommand;

std::string Line(const char* label, double time, double elapsed, bool first) {
    char buf[128];
    if (first)
        std::snprintf(buf, sizeof buf, "%40s , %20.4f\n", label, time);
    else
        std::snprintf(buf, sizeof buf, "%40s , %20.4f  %10f\n", label, time, elapsed);
    return buf;
}

TEST(PtoSummary, GroupsEndLabelsInOrderOfFirstAppearance) {
    std::string text = Line("Begin Rendering", 100.0, 0, true) +
                       Line("End   TposeYZ", 100.5, 0.5, false) +
                       Line("End   Bob_RenderingYZ", 101.0, 0.5, false) +
                       Line("End   TposeYZ", 101.25, 0.25, false) +
                       Line("End   Rendering", 102.0, 0.75, false) +
                       // second batch: its first line has no elapsed column
                       Line("Begin Rendering", 110.0, 0, true) +
                       Line("End   Bob_RenderingYZ", 111.0, 1.0, false);
    std::istringstream in(text);
    PtoSummary s = SummarizeTimerFile(in);
    EXPECT_FLOAT_EQ(s.timeSpan, 11.0f);
    EXPECT_FLOAT_EQ(s.totalTime, 0.5f + 0.5f + 0.25f + 0.75f + 1.0f);
    EXPECT_EQ(s.commonBlanks, 19);  // the longest label, "End   Bob_RenderingYZ", has 21 chars
    ASSERT_EQ(s.groups.size(), 3u);
    EXPECT_EQ(s.groups[0].label, std::string(27, ' ') + "End   TposeYZ");
    EXPECT_EQ(s.groups[0].count, 2);
    EXPECT_FLOAT_EQ(s.groups[0].total, 0.75f);
    EXPECT_EQ(s.groups[1].count, 2);
    EXPECT_FLOAT_EQ(s.groups[1].total, 1.5f);
    EXPECT_EQ(s.groups[2].count, 1);

    std::string report = FormatPtoSummary(s);
    EXPECT_EQ(report,
              "Time Span = 11.000000    Total Time = 3.000000\n"
              "        End   TposeYZ      0.7500    0.375000        2\n"
              "End   Bob_RenderingYZ      1.5000    0.750000        2\n"
              "      End   Rendering      0.7500    0.750000        1\n");
}

TEST(PtoSummary, StripsTheIndentationCommonToAllLines) {
    // Every label is right-aligned in 40 columns and at most 15 characters
    // long, so every line starts with 25 blanks or more.
    std::string text = Line("Begin Rendering", 5.0, 0, true) +
                       Line("End   Rendering", 7.5, 2.5, false);
    std::istringstream in(text);
    PtoSummary s = SummarizeTimerFile(in);
    EXPECT_EQ(s.commonBlanks, 25);
    EXPECT_EQ(FormatPtoSummary(s),
              "Time Span = 2.500000    Total Time = 2.500000\n"
              "End   Rendering      2.5000    2.500000        1\n");
}

TEST(PtoSummary, ReadsWhatTheRecorderWrites) {
    FreshRoot root;
    auto rec = std::make_unique<TimerRecorder>();
    rec->SetTimerFile(root.File("r.pto"));
    for (int i = 0; i < 3; ++i) {
        rec->StampTimer("Begin Rendering");
        rec->StampTimer("Begin Bol_RenderingXY");
        rec->StampTimer("End   Bol_RenderingXY");
        rec->StampTimer("End   Rendering");
        ASSERT_EQ(rec->WriteTimerFile(), 1);
    }
    std::ifstream in(root.File("r.pto"));
    PtoSummary s = SummarizeTimerFile(in);
    EXPECT_EQ(s.linesRead, 12);
    ASSERT_EQ(s.groups.size(), 2u);
    EXPECT_EQ(s.groups[0].count, 3);
    EXPECT_EQ(s.groups[1].count, 3);
    EXPECT_GE(s.timeSpan, 0.0f);
}

TEST(PtodumpProgram, UsageMissingFileAndReport) {
    const std::string bin = std::string(VOXA_BIN_DIR) + "/ptodump";
    CommandResult usage = RunCommand(bin);
    EXPECT_EQ(usage.status, 0);
    EXPECT_EQ(usage.out, "Usage:  " + bin + " file.pto\n");

    CommandResult missing = RunCommand(bin + " /no/such/file.pto 2>&1");
    EXPECT_NE(missing.status, 0);
    EXPECT_NE(missing.out.find("cannot open /no/such/file.pto"), std::string::npos);

    FreshRoot root;
    std::string file = root.File("t.pto");
    testing::WriteWholeFile(file, Line("Begin Rendering", 1.0, 0, true) +
                                      Line("End   Rendering", 1.5, 0.5, false));
    CommandResult report = RunCommand(bin + " " + file);
    EXPECT_EQ(report.status, 0);
    EXPECT_EQ(report.out,
              "Time Span = 0.500000    Total Time = 0.500000\n"
              "End   Rendering      0.5000    0.500000        1\n");
}

// A file that holds no timer lines (binary, plain text, a directory, empty)
// is not summarised as if it were an empty timer file.
TEST(PtodumpProgram, FilesWithoutTimerLinesAreRefused) {
    const std::string bin = std::string(VOXA_BIN_DIR) + "/ptodump";
    FreshRoot root;
    std::string binary;
    for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 7919) >> 3);
    const std::vector<std::pair<std::string, std::string>> files = {
        {"binary.pto", binary},
        {"text.pto", std::string(60, 'x') + "\n" + "a line of plain text that is long enough to reach the time column\n"},
        {"empty.pto", ""},
    };
    for (const auto& [name, content] : files) {
        ASSERT_TRUE(testing::WriteWholeFile(root.File(name), content));
        CommandResult r = RunCommand(bin + " " + root.File(name) + " 2>&1");
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.out, bin + ": " + root.File(name) + " holds no timer lines (a 40-column label, \" , \" and a time)\n")
            << name;
    }
    CommandResult dir = RunCommand(bin + " " + root.File("") + " 2>&1");
    EXPECT_EQ(dir.status, 1);
    EXPECT_NE(dir.out.find("is a directory, not a timer file"), std::string::npos) << dir.out;
    // One timer line among others is enough, and the summary counts it.
    std::istringstream mixed("junk\n" + Line("Begin Rendering", 2.0, 0, true) + "more junk\n");
    PtoSummary s = SummarizeTimerFile(mixed);
    EXPECT_EQ(s.timerLines, 1);
    ASSERT_TRUE(testing::WriteWholeFile(root.File("mixed.pto"), mixed.str()));
    EXPECT_EQ(RunCommand(bin + " " + root.File("mixed.pto")).status, 0);
}

}  // namespace
}  // namespace voxa
