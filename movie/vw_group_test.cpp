#include "movie/vw_group.h"

#include <gtest/gtest.h>

#include <string>

#include "movie/vw_wall.h"
#include "platform/test_support.h"

namespace voxa::movie {
namespace {

TEST(MovieGroup, SameHostTokenAddsSegmentsCopiesJoinAndRangesApplyToEveryPanel) {
    auto g = ParseMovieGroup(
        "# wall of one machine, two windows\n"
        "m:0x0 a.raw 1024 768 100\n"
        "& b.raw\n"
        "m:1024x0 c.raw 1024 768 120\n"
        "m:0x0 d.raw 1024 768 300\n"
        "m:1024x0 e.raw 1024 768 310\n"
        "> 50 250\n",
        "wall.vw");
    ASSERT_TRUE(g.ok()) << g.status().message();
    ASSERT_EQ(g->panels.size(), 2u);
    const Panel& p0 = g->panels[0];
    const Panel& p1 = g->panels[1];
    EXPECT_EQ(p0.hostToken, "m:0x0");
    EXPECT_EQ(p1.hostToken, "m:1024x0");
    ASSERT_EQ(p0.segments.size(), 2u);
    ASSERT_EQ(p1.segments.size(), 2u);
    EXPECT_EQ(p0.segments[0].files, "a.raw,b.raw");
    EXPECT_EQ(p0.segments[0].frameCount, 100);
    EXPECT_EQ(p0.segments[0].startFrame, 0);
    EXPECT_EQ(p1.segments[0].files, "c.raw");
    EXPECT_EQ(p0.segments[1].files, "d.raw");
    // "> 50 250" after a line of the second segment sets it on both panels.
    EXPECT_EQ(p0.segments[1].startFrame, 50);
    EXPECT_EQ(p0.segments[1].frameCount, 250);
    EXPECT_EQ(p1.segments[1].startFrame, 50);
    EXPECT_EQ(p1.segments[1].frameCount, 250);
    EXPECT_EQ(p1.segments[1].files, "e.raw");

    auto host = SplitHostToken(p1.hostToken);
    ASSERT_TRUE(host.ok());
    EXPECT_EQ(host->machine, "m");
    EXPECT_EQ(host->x, 1024);
    EXPECT_EQ(host->y, 0);
    auto plain = SplitHostToken("node7");
    ASSERT_TRUE(plain.ok());
    EXPECT_EQ(plain->machine, "node7");
    EXPECT_EQ(plain->x, 0);
    EXPECT_EQ(SplitSegmentFiles("a,b,,c"), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(MovieGroup, ThreeLineExampleGivesTwoPanelsTheFirstWithTwoSegments) {
    auto g = ParseMovieGroup(
        "m:0x0 f1 64 48 10\r\nm:1024x0 f2 64 48 20\r\nm:0x0 f3 64 48 30\r\n\n> 5 25\n", "x.vw");
    ASSERT_TRUE(g.ok()) << g.status().message();
    ASSERT_EQ(g->panels.size(), 2u);
    ASSERT_EQ(g->panels[0].segments.size(), 2u);
    EXPECT_EQ(g->panels[0].segments[1].files, "f3");
    EXPECT_EQ(g->panels[0].segments[1].startFrame, 5);
    EXPECT_EQ(g->panels[0].segments[1].frameCount, 25);
    // The second panel has no second segment; its first is untouched.
    ASSERT_EQ(g->panels[1].segments.size(), 1u);
    EXPECT_EQ(g->panels[1].segments[0].frameCount, 20);
    EXPECT_EQ(g->panels[1].segments[0].startFrame, 0);
}

// Each bad file is refused with the file and the line in the message.
TEST(MovieGroup, RefusesWhatTheTablesCannotHoldAndMalformedLines) {
    struct Case {
        std::string text;
        std::string where;
        std::string why;
    };
    std::string longList = "m a.raw 8 8 10\n";
    for (int i = 0; i < 30; ++i) longList += "& copy_of_movie_" + std::to_string(i) + ".raw\n";
    std::string manyPanels;
    for (int i = 0; i <= kMaxPanels; ++i) manyPanels += "h" + std::to_string(i) + " f 8 8 10\n";
    std::string manySegments;
    for (int i = 0; i <= kMaxSegments; ++i) manySegments += "h f" + std::to_string(i) + " 8 8 10\n";
    const Case cases[] = {
        {"& b.raw\n", "g.vw:1:", "before any panel"},
        {"# c\n> 1 10\n", "g.vw:2:", "before any panel"},
        {longList, "g.vw:14:", "longer than 255 bytes"},
        {manyPanels, "g.vw:101:", "more than 100 panels"},
        {manySegments, "g.vw:33:", "more than 32 segments"},
        {"m a.raw 8 8 0\n", "g.vw:1:", "at least 1"},
        {"m a.raw 8 8 -5\n", "g.vw:1:", "at least 1"},
        {"m a.raw 8 8 10\n> 3 0\n", "g.vw:2:", "at least 1"},
        {"m a.raw 8 8 10\n> 12 10\n", "g.vw:2:", "not below the frame count"},
        {"m a.raw 8 8\n", "g.vw:1:", "HOST FILE WIDTH HEIGHT FRAMES"},
        {"m a.raw 8 8 10 extra\n", "g.vw:1:", "HOST FILE WIDTH HEIGHT FRAMES"},
        {"m a.raw 8x 8 10\n", "g.vw:1:", "not a whole number"},
        {"m:12 a.raw 8 8 10\n", "g.vw:1:", "window position"},
        {":0x0 a.raw 8 8 10\n", "g.vw:1:", "names no machine"},
        {"m a.raw 8 8 10\n&b.raw\n", "g.vw:2:", "& FILE"},
        {"m a.raw 8 8 10\nm b.raw 16 8 10\n", "g.vw:2:", "its panel 8x8"},
        {"m a.raw 4096 4096 10\n", "g.vw:1:", "exceed"},
        {std::string("m a.raw 8 8 10\n") + std::string(300, 'x') + "\n",
         "g.vw:2:", "longer than 255 characters"},
    };
    for (const Case& c : cases) {
        auto g = ParseMovieGroup(c.text, "g.vw");
        ASSERT_FALSE(g.ok()) << c.text;
        EXPECT_EQ(g.status().message().rfind(c.where, 0), 0u) << g.status().message();
        EXPECT_NE(g.status().message().find(c.why), std::string::npos) << g.status().message();
    }
    // Exactly the limits are held.
    std::string hundred;
    for (int i = 0; i < kMaxPanels; ++i) hundred += "h" + std::to_string(i) + " f 8 8 10\n";
    auto full = ParseMovieGroup(hundred, "g.vw");
    ASSERT_TRUE(full.ok());
    EXPECT_EQ(full->panels.size(), 100u);
}

TEST(MovieGroup, LoadNamesAFileThatCannotBeOpened) {
    voxa::testing::TempDir dir;
    auto g = LoadMovieGroup(dir.File("missing.vw"));
    ASSERT_FALSE(g.ok());
    EXPECT_EQ(g.status().message(), "Failed to open file: " + dir.File("missing.vw"));
    ASSERT_TRUE(voxa::testing::WriteWholeFile(dir.File("ok.vw"), "n:0x0 m.raw 4 4 3\n"));
    auto ok = LoadMovieGroup(dir.File("ok.vw"));
    ASSERT_TRUE(ok.ok());
    EXPECT_EQ(ok->panels[0].segments[0].frameCount, 3);
}

TEST(VwCommandLine, DialogOptionsHelpPlayAndExport) {
    auto help = ParseVwCommandLine({"-help", "wall.vw"});
    EXPECT_EQ(help.action, VwAction::kUsage);
    EXPECT_TRUE(help.inputFile.empty());
    EXPECT_EQ(ParseVwCommandLine({"?"}).action, VwAction::kUsage);
    EXPECT_EQ(ParseVwCommandLine({"-h"}).action, VwAction::kUsage);

    auto d = ParseVwCommandLine(
        {"w.vw", "-speed", "30", "-colour", "red", "-expand", "1.5", "-mode", "play"});
    EXPECT_EQ(d.action, VwAction::kDialog);
    EXPECT_EQ(d.inputFile, "w.vw");
    EXPECT_EQ(d.speed.value_or(-1), 30);
    EXPECT_FLOAT_EQ(d.expand.value_or(-1), 1.5f);
    EXPECT_EQ(d.mode, StartMode::kPlay);
    EXPECT_EQ(ParseVwCommandLine({"w.vw", "-mode", "initialize"}).mode, StartMode::kInitialize);
    EXPECT_EQ(ParseVwCommandLine({"w.vw", "-speed", "fast"}).action, VwAction::kError);
    // Only 21 words count: a 22nd-word option is not read.
    std::vector<std::string> words = {"w.vw"};
    for (int i = 0; i < 10; ++i) words.insert(words.end(), {"-other", "x"});
    words.insert(words.end(), {"-speed", "40"});
    EXPECT_FALSE(ParseVwCommandLine(words).speed.has_value());

    auto play = ParseVwCommandLine({"--play", "w.vw", "--speed", "25", "--frames", "60"});
    EXPECT_EQ(play.action, VwAction::kPlay);
    EXPECT_EQ(play.inputFile, "w.vw");
    EXPECT_EQ(play.speed.value_or(0), 25);
    EXPECT_EQ(play.frames.value_or(0), 60);
    EXPECT_EQ(ParseVwCommandLine({"--play", "w.vw", "--frames", "0"}).action, VwAction::kError);
    EXPECT_EQ(ParseVwCommandLine({"--play"}).action, VwAction::kError);

    auto ex = ParseVwCommandLine({"--export", "w.vw", "out.mp4", "--fps", "24"});
    EXPECT_EQ(ex.action, VwAction::kExport);
    EXPECT_EQ(ex.outFile, "out.mp4");
    EXPECT_EQ(ex.fps.value_or(0), 24);
    EXPECT_EQ(ParseVwCommandLine({"--export", "w.vw"}).action, VwAction::kError);
    EXPECT_EQ(ParseVwCommandLine({"--export", "w.vw", "o.mp4", "--speed", "3"}).action,
              VwAction::kError);
}

TEST(WallClock, FrameFollowsTheRateBeforeAndAfterTimeZero) {
    WallClock c{1000, 30, 0.01f, 0.03f};
    EXPECT_EQ(c.FrameAt(1000), 30);
    EXPECT_EQ(c.FrameAt(2000), 60);  // 1000 ms at 30 frames a second
    EXPECT_EQ(c.FrameAt(500), 25);   // 500 ms before at 10 frames a second
    EXPECT_EQ(c.FrameAt(1033), 30);  // 0.99 frame truncates
    EXPECT_EQ(c.FrameAt(1034), 31);
    WallClock back{5000, 2, 0.01f, 0.0f};
    EXPECT_EQ(back.FrameAt(0), 0);  // never below 0
    EXPECT_EQ(back.FrameAt(9000), 2);
}

}  // namespace
}  // namespace voxa::movie
