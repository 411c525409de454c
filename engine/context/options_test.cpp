// Option keywords and the option history.
#include "engine/context/options.h"

#include <gtest/gtest.h>

namespace voxa {
namespace {

class Options : public ::testing::Test {
protected:
    void Set(std::string_view key, std::string_view value) {
        ApplyOptionKeyword(key, value, m_settings, m_shared);
    }
    std::string History() const { return m_shared.history.Format(); }
    OptionSettings m_settings;
    ProcessOptions m_shared;
};

TEST_F(Options, ClearTicksAfterThreeAddTicksEmptiesListAndHistory) {
    Set("AddTick", "0 low");
    Set("ShowColorBar", "1");
    Set("AddTick", "128 mid");
    Set("AddTick", "255 high");
    EXPECT_EQ(m_settings.ticks.Count(), 3);
    EXPECT_EQ(m_settings.ticks.Ticks()[1].label, "mid");
    Set("ClearTicks", "");
    EXPECT_EQ(m_settings.ticks.Count(), 0);
    EXPECT_EQ(History(), "ShowColorBar 1\nClearTicks \n");
}

TEST_F(Options, ClearXTicksLeavesTheOtherLists) {
    Set("AddXTick", "1 a");
    Set("AddYTick", "2 b");
    Set("ClearXTicks", "x");
    EXPECT_EQ(m_settings.xTicks.Count(), 0);
    EXPECT_EQ(m_settings.yTicks.Count(), 1);
    EXPECT_EQ(History(), "AddYTick 2 b\nClearXTicks x\n");
}

TEST_F(Options, RepeatedKeywordKeepsFirstPositionWithLatestValue) {
    Set("ShowColorBar", "1");
    Set("BufferedIO", "1");
    Set("ShowColorBar", "0");
    EXPECT_EQ(History(), "ShowColorBar 0\nBufferedIO 1\n");
    EXPECT_EQ(m_settings.showColorBar, 0);
}

TEST_F(Options, KeywordsDifferingInCaseChangeNothing) {
    Set("showcolorbar", "1");
    Set("NCACHEMB", "10");
    Set("usepalet", "TRUE");
    EXPECT_EQ(m_settings.showColorBar, 0);
    EXPECT_EQ(m_shared.cacheMB, 360);
    EXPECT_FALSE(m_settings.usePalet);
    EXPECT_EQ(History(), "");
}

TEST_F(Options, UnparsedFieldsKeepTheirValues) {
    Set("Floor", "10 20 30");
    EXPECT_EQ(m_shared.floor.red, 10);
    EXPECT_EQ(m_shared.floor.blue, 30);
    EXPECT_EQ(m_shared.floor.alpha, 0);
    EXPECT_FLOAT_EQ(m_shared.floor.margin, 5.0f);
    EXPECT_FLOAT_EQ(m_shared.floor.spacing, 0.2f);
    Set("Floor", "1 2 3 4 2.5 0.5");
    EXPECT_EQ(m_shared.floor.alpha, 4);
    EXPECT_FLOAT_EQ(m_shared.floor.spacing, 0.5f);
    Set("BoundingBox", "255 0 0 128");
    EXPECT_EQ(m_shared.box.alpha, 128);
    Set("ScreenRatio", "abc");
    EXPECT_FLOAT_EQ(m_settings.screenRatio, 1.0f);
    EXPECT_EQ(History(), "Floor 1 2 3 4 2.5 0.5\nBoundingBox 255 0 0 128\n");
}

TEST_F(Options, EveryKeywordSetsItsValue) {
    Set("ScreenRatio", "1.5");
    Set("TimersOn", "1");
    Set("TimerOutputFile", "run.pto extra");
    Set("BufferedIO", "1");
    Set("NRenderingBuffers", "1");
    Set("BlockOnRender", "0");
    Set("Stats", "cross");
    Set("Yfile", "second.zb");
    Set("NCacheMB", "512");
    Set("AutoSwapBuffers", "0");
    Set("PriorityRequest", "7");
    Set("SetStatusRequest", "PRIORITYREQUEST");
    Set("ScaleFactors", "1 2 3");
    Set("UsePalet", "TRUE");
    EXPECT_FLOAT_EQ(m_settings.screenRatio, 1.5f);
    EXPECT_EQ(m_settings.timersOn, 1);
    EXPECT_EQ(m_settings.timerOutputFile, "run.pto");
    EXPECT_EQ(m_settings.bufferedIO, 1);
    EXPECT_EQ(m_settings.nRenderingBuffers, 1);
    EXPECT_EQ(m_settings.blockOnRender, 0);
    EXPECT_EQ(m_settings.stats, "cross");
    EXPECT_EQ(m_settings.yFile, "second.zb");
    EXPECT_EQ(m_shared.cacheMB, 512);
    EXPECT_EQ(m_settings.autoSwapBuffers, 0);
    EXPECT_EQ(m_shared.priority, 7);
    EXPECT_EQ(m_settings.statusRequest, "PRIORITYREQUEST");
    EXPECT_FLOAT_EQ(m_settings.scaleFactors[2], 3.0f);
    EXPECT_TRUE(m_settings.usePalet);
    Set("UsePalet", "true");
    EXPECT_FALSE(m_settings.usePalet);
    EXPECT_EQ(History(), "BufferedIO 1\nNCacheMB 512\nScaleFactors 1 2 3\nUsePalet true\n");
}

TEST_F(Options, EffectsTellTheContextWhatToDo) {
    EXPECT_EQ(ApplyOptionKeyword("UsePalet", "TRUE", m_settings, m_shared),
              OptionEffect::kPaletteChanged);
    EXPECT_EQ(ApplyOptionKeyword("SwapBuffers", "", m_settings, m_shared),
              OptionEffect::kSwapBuffers);
    EXPECT_EQ(ApplyOptionKeyword("NRenderingBuffers", "2", m_settings, m_shared),
              OptionEffect::kBuffersChanged);
    EXPECT_EQ(ApplyOptionKeyword("NCacheMB", "2", m_settings, m_shared),
              OptionEffect::kCacheSizeChanged);
    EXPECT_EQ(ApplyOptionKeyword("ScaleFactors", "2", m_settings, m_shared),
              OptionEffect::kForgetVolume);
    EXPECT_EQ(ApplyOptionKeyword("Nonsense", "2", m_settings, m_shared), OptionEffect::kNone);
}

TEST_F(Options, TickPositionTakesThreeCharactersAndLabelsAreCut) {
    Set("AddTick", "12345 label");
    ASSERT_EQ(m_settings.ticks.Count(), 1);
    EXPECT_EQ(m_settings.ticks.Ticks()[0].position, 123);
    EXPECT_EQ(m_settings.ticks.Ticks()[0].label, "45");
    Set("AddTick", "7 " + std::string(80, 'L'));
    EXPECT_EQ(m_settings.ticks.Ticks()[1].label, std::string(63, 'L'));
    Set("AddTick", "nonsense");  // no position: nothing added, not recorded
    EXPECT_EQ(m_settings.ticks.Count(), 2);
    EXPECT_EQ(m_shared.history.Entries().size(), 2u);
}

TEST_F(Options, A257thTickIsIgnored) {
    for (int i = 0; i < 300; ++i) Set("AddYTick", std::to_string(i % 256) + " t");
    EXPECT_EQ(m_settings.yTicks.Count(), 256);
    EXPECT_EQ(m_shared.history.Entries().size(), 256u);
}

TEST_F(Options, HistoryHoldsAtMostThousandEntries) {
    OptionHistory h;
    for (int i = 0; i < 1005; ++i) h.Append("K" + std::to_string(i), "v");
    EXPECT_EQ(h.Entries().size(), 1000u);
    h.Replace("K5", "new");  // replacing still works when full
    EXPECT_EQ(h.Entries()[5].value, "new");
    h.Replace("Other", "x");  // would be appended: dropped
    EXPECT_EQ(h.Entries().size(), 1000u);
    EXPECT_EQ(h.Entries().back().key, "K999");
}

TEST_F(Options, LongValuesAreCutAt255) {
    Set("Yfile", std::string(400, 'y'));
    EXPECT_EQ(m_settings.yFile.size(), 255u);
    Set("SetStatusRequest", std::string(300, 's'));
    EXPECT_EQ(m_settings.statusRequest.size(), 255u);
    Set("BufferedIO", "1" + std::string(300, ' '));
    EXPECT_EQ(m_shared.history.Entries()[0].value.size(), 255u);
    // A multi-byte character is not split.
    std::string text = std::string(254, 'a') + "\xC3\xA9";
    EXPECT_EQ(CutOptionText(text).size(), 254u);
}

}  // namespace
}  // namespace voxa
