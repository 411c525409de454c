#include "engine/timers/timers.h"

#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <vector>

namespace voxa {
namespace {

using testing::FreshRoot;
using testing::ReadWholeFile;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

TEST(TimerRecorder, TwoBatchesAppendAndEachStartsWithoutElapsedColumn) {
    FreshRoot root;
    auto rec = std::make_unique<TimerRecorder>();
    EXPECT_EQ(rec->FileName(), "TimeStamp.txt");
    std::string file = root.File("run.pto");
    rec->SetTimerFile(file);
    for (int batch = 0; batch < 2; ++batch) {
        rec->StampTimer("Begin Rendering");
        rec->StampTimer("End   GetCacheBuffer : 65536 bytes");
        rec->StampTimer("End   Rendering");
        ASSERT_EQ(rec->WriteTimerFile(), 1);
        EXPECT_EQ(rec->RecordCount(), 0);
    }
    std::vector<std::string> lines = Lines(ReadWholeFile(file));
    ASSERT_EQ(lines.size(), 6u);
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        bool batchStart = i % 3 == 0;
        // Label right-aligned in 40 columns, then " , ", time at column 43.
        EXPECT_EQ(l.substr(40, 3), " , ") << l;
        double t = std::strtod(l.substr(43, 20).c_str(), nullptr);
        EXPECT_GT(t, 0.0);
        EXPECT_EQ(l.substr(58, 1), ".");  // 4 decimals end the 20-column field
        if (batchStart) {
            EXPECT_EQ(l.size(), 63u) << l;
        } else {
            ASSERT_EQ(l.size(), 75u) << l;
            EXPECT_EQ(l.substr(63, 2), "  ");
            double elapsed = std::strtod(l.substr(65).c_str(), nullptr);
            EXPECT_GE(elapsed, 0.0);
            EXPECT_LT(elapsed, 5.0);
        }
    }
    EXPECT_EQ(lines[0].substr(0, 40), std::string(25, ' ') + "Begin Rendering");
    EXPECT_EQ(lines[2].substr(0, 40), std::string(25, ' ') + "End   Rendering");
}

TEST(TimerRecorder, LongLabelsAreCutAt39Characters) {
    FreshRoot root;
    auto rec = std::make_unique<TimerRecorder>();
    rec->SetTimerFile(root.File("cut.pto"));
    rec->StampTimer(std::string(60, 'x'));
    ASSERT_EQ(rec->WriteTimerFile(), 1);
    std::string line = Lines(ReadWholeFile(root.File("cut.pto"))).at(0);
    EXPECT_EQ(line.substr(0, 40), " " + std::string(39, 'x'));
}

TEST(TimerRecorder, FullTableIsFlushedAndNextBatchContinuesInSameFile) {
    FreshRoot root;
    auto rec = std::make_unique<TimerRecorder>();
    rec->SetTimerFile("C:/full.pto");  // machine-root name
    for (int i = 0; i < 8191; ++i) EXPECT_EQ(rec->StampTimer("Begin Bol_RenderingXY"), 1);
    EXPECT_EQ(rec->RecordCount(), 8191);
    // The 8192nd stamp fills the table: it is written out at once.
    EXPECT_EQ(rec->StampTimer("End   Bol_RenderingXY"), 1);
    EXPECT_EQ(rec->RecordCount(), 0);
    rec->StampTimer("Begin Rendering");
    rec->StampTimer("End   Rendering");
    ASSERT_EQ(rec->WriteTimerFile(), 1);
    std::vector<std::string> lines = Lines(ReadWholeFile(root.File("full.pto")));
    ASSERT_EQ(lines.size(), 8194u);
    EXPECT_EQ(lines[8191].substr(0, 40), std::string(19, ' ') + "End   Bol_RenderingXY");
    // A new batch begins after the flush: its first line has no elapsed column.
    EXPECT_EQ(lines[8192].size(), 63u);
    EXPECT_EQ(lines[8193].size(), 75u);
}

TEST(TimerRecorder, UnopenableFileIsReportedAndNothingIsWritten) {
    FreshRoot root;
    auto rec = std::make_unique<TimerRecorder>();
    rec->SetTimerFile(root.File("no/such/dir/t.pto"));
    rec->StampTimer("Begin Rendering");
    EXPECT_EQ(rec->WriteTimerFile(), 0);
    EXPECT_EQ(rec->RecordCount(), 0);
}

}  // namespace
}  // namespace voxa
