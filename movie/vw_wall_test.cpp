// The controller against stand-in movie servers on 127.0.0.2 and 127.0.0.3
// (each keeping a movie clock of its own, started at another moment).
#include "movie/vw_wall.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "movie/vw_fake_panel.h"
#include "movie/vw_play.h"
#include "platform/test_support.h"

namespace voxa::movie {
namespace {

using testing::FakePanel;
using voxa::testing::FreePort;
using voxa::testing::FreshRoot;
using voxa::testing::ScopedEnv;
using voxa::testing::WaitFor;

struct Params {
    int t0 = 0, f0 = 0;
    float before = 0, after = 0;
};

Params ParseParams(const std::string& call) {
    Params p;
    EXPECT_EQ(std::sscanf(call.c_str(), "SetMovieParameters %d %d %f %f", &p.t0, &p.f0, &p.before,
                          &p.after),
              4)
        << call;
    return p;
}

WallOptions TestOptions() {
    WallOptions o;
    o.launchLocal = false;
    o.connectTimeoutMs = 2000;
    o.callTimeoutMs = 2000;
    o.freezeHoldMs = 300;
    o.reinitHoldMs = 300;
    o.restartHoldMs = 300;
    o.log = [](const std::string&) {};
    return o;
}

MovieGroup Group(const std::string& text) {
    auto g = ParseMovieGroup(text, "test.vw");
    EXPECT_TRUE(g.ok()) << g.status().message();
    return g.ok() ? *g : MovieGroup{};
}

class WallTest : public ::testing::Test {
  protected:
    WallTest() : m_port(FreePort()), m_portEnv("VOXA_MI_PORT", std::to_string(m_port).c_str()) {}
    std::string Host(int last) const { return "127.0.0." + std::to_string(last); }

    FreshRoot m_root;
    uint16_t m_port;
    ScopedEnv m_portEnv;
};

TEST_F(WallTest, InitializeSetsOptionsSegmentZeroThenAlignsAndPlaysInStep) {
    FakePanel a(Host(2), m_port, 5000);
    FakePanel b(Host(3), m_port, -3000);
    ASSERT_TRUE(a.Listening() && b.Listening());
    Wall wall(TestOptions());
    wall.Load(Group("127.0.0.2:0x0 a.raw 64 48 100\n127.0.0.3:64x16 b.raw 64 48 100\n& b2.raw\n"))
        .get();
    EXPECT_TRUE(wall.Initialize(1.5f).get().text.empty());
    WallView v = wall.Snapshot();
    EXPECT_EQ(v.wallState, 1);
    ASSERT_EQ(v.panels.size(), 2u);
    EXPECT_EQ(v.panels[0].status, PanelStatus::kOn);
    EXPECT_EQ(v.panels[1].status, PanelStatus::kOn);

    auto calls = b.Calls();
    ASSERT_EQ(calls.size(), 16u);
    EXPECT_EQ(calls[0], "SetOption Expand 1.500000");
    EXPECT_EQ(calls[1], "SetOption Xoffset 64");
    EXPECT_EQ(calls[2], "SetOption Yoffset 16");
    EXPECT_EQ(calls[3], "Initialize b.raw,b2.raw 64 48 100");
    for (int i = 4; i < 14; ++i) EXPECT_EQ(calls[i], "GetTime");
    EXPECT_EQ(calls[14].rfind("SetOffset ", 0), 0u);
    Params p = ParseParams(calls[15]);
    EXPECT_EQ(p.f0, 0);
    EXPECT_EQ(p.after, 0.0f);
    EXPECT_EQ(a.CallsStartingWith("Initialize"),
              std::vector<std::string>{"Initialize a.raw 64 48 100"});
    EXPECT_EQ(a.CallsStartingWith("SetOption Xoffset"),
              std::vector<std::string>{"SetOption Xoffset 0"});

    // Playing, both clocks (5 s and -3 s apart before alignment) show the
    // controller's frame.
    EXPECT_TRUE(wall.Play(30, 1.5f).get().text.empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    for (int sample = 0; sample < 3; ++sample) {
        const int fa = a.Frame();
        const int fb = b.Frame();
        const int ctrl = wall.Snapshot().clock.FrameAt(wall.Now());
        EXPECT_LE(std::abs(fa - fb), 1) << fa << " " << fb;
        EXPECT_LE(std::abs(fa - ctrl), 1) << fa << " " << ctrl;
        EXPECT_GT(ctrl, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    ASSERT_TRUE(wall.Stop().get().text.empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int stopped = wall.Snapshot().clock.frame0;
    auto texts = wall.QueryStatus().get();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "frame=" + std::to_string(stopped));
    EXPECT_EQ(texts[1], "frame=" + std::to_string(stopped));
    // The last change every panel got is the same stop.
    EXPECT_EQ(a.CallsStartingWith("SetMovieParameters").back(),
              b.CallsStartingWith("SetMovieParameters").back());

    wall.Exit().get();
    EXPECT_EQ(a.Calls().back(), "ShutDown");
    EXPECT_EQ(b.Calls().back(), "ShutDown");
    v = wall.Snapshot();
    EXPECT_EQ(v.wallState, 0);
    EXPECT_EQ(v.panels[0].status, PanelStatus::kOff);
}

TEST_F(WallTest, GoToStepAndMessagesWhenNotInitialised) {
    Wall wall(TestOptions());
    Notice n = wall.Stop().get();
    EXPECT_EQ(n.text, kNeedToInitialize);
    EXPECT_EQ(n.title, kCanNotShowMovie);
    EXPECT_EQ(wall.FrameForward().get().text, kNeedToInitialize);
    EXPECT_EQ(wall.FrameBack().get().text, kNeedToInitialize);
    n = wall.Initialize(1.0f).get();
    EXPECT_EQ(n.text, kNoPanelListLoaded);
    EXPECT_EQ(n.title, kCanNotInitialize);

    FakePanel a(Host(2), m_port);
    FakePanel b(Host(3), m_port, 777);
    wall.Load(Group("127.0.0.2 a.raw 8 8 100\n127.0.0.3 b.raw 8 8 100\n")).get();
    ASSERT_TRUE(wall.Initialize(1.0f).get().text.empty());
    n = wall.Initialize(1.0f).get();
    EXPECT_EQ(n.text, kNoNeedToReinitialize);
    EXPECT_EQ(n.title, kIsAlreadyInitialized);

    wall.Play(30, 1.0f).get();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    n = wall.GoToFrame(37).get();
    EXPECT_EQ(n.value, 37);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(a.Frame(), 37);
    EXPECT_EQ(b.Frame(), 37);
    EXPECT_EQ(wall.QueryStatus().get(), (std::vector<std::string>{"frame=37", "frame=37"}));

    wall.FrameForward().get();
    EXPECT_EQ(a.Frame(), 38);
    EXPECT_EQ(b.Frame(), 38);
    wall.FrameBack().get();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(a.Frame(), 37);
    EXPECT_EQ(b.Frame(), 37);

    // Beyond the segment's frame count: the start frame.
    n = wall.GoToFrame(100).get();
    EXPECT_EQ(n.value, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(a.Frame(), 0);
    EXPECT_EQ(b.Frame(), 0);
    EXPECT_EQ(wall.GoToFrame(-3).get().value, 0);
}

TEST_F(WallTest, DeadAndKilledPanelsTurnErrorAndTheOthersGoOn) {
    FakePanel a(Host(2), m_port);
    auto b = std::make_unique<FakePanel>(Host(3), m_port);
    Wall wall(TestOptions());
    // Nothing listens on 127.0.0.4.
    wall.Load(Group("127.0.0.2 a.raw 8 8 300\n127.0.0.3 b.raw 8 8 300\n127.0.0.4 c.raw 8 8 300\n"))
        .get();
    ASSERT_TRUE(wall.Initialize(1.0f).get().text.empty());
    WallView v = wall.Snapshot();
    EXPECT_EQ(v.panels[0].status, PanelStatus::kOn);
    EXPECT_EQ(v.panels[1].status, PanelStatus::kOn);
    EXPECT_EQ(v.panels[2].status, PanelStatus::kError);
    EXPECT_NE(v.panels[2].error.find("127.0.0.4"), std::string::npos);

    wall.Play(30, 1.0f).get();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    b->Kill();
    b.reset();
    wall.Stop().get();
    v = wall.Snapshot();
    EXPECT_EQ(v.panels[0].status, PanelStatus::kOn);
    EXPECT_EQ(v.panels[1].status, PanelStatus::kError);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(a.Frame(), v.clock.frame0);
    EXPECT_GT(v.clock.frame0, 0);
    // The wall goes on with the panel that is left.
    wall.GoToFrame(42).get();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(a.Frame(), 42);
    EXPECT_EQ(wall.QueryStatus().get(), (std::vector<std::string>{"frame=42", "", ""}));
}

TEST_F(WallTest, SegmentSwitchFreezesOnTheLastFrameAndResumesInTheNext) {
    FakePanel a(Host(2), m_port);
    FakePanel b(Host(3), m_port, 2500);
    Wall wall(TestOptions());
    wall.Load(Group("127.0.0.2 s0a 8 8 20\n127.0.0.3 s0b 8 8 20\n127.0.0.2 s1a 8 8 40\n127.0.0.3 "
                    "s1b 8 8 40\n"
                    "> 5 40\n"))
        .get();
    ASSERT_TRUE(wall.Initialize(1.0f).get().text.empty());
    wall.Play(30, 1.0f).get();
    ASSERT_TRUE(WaitFor([&] { return !b.CallsStartingWith("Initialize s1b").empty(); }, 10000));
    ASSERT_TRUE(WaitFor(
        [&] { return wall.Snapshot().clock.rateAfter > 0.02f && wall.Snapshot().segment == 1; },
        10000));
    for (FakePanel* panel : {&a, &b}) {
        auto calls = panel->Calls();
        size_t init = 0;
        for (size_t i = 0; i < calls.size(); ++i)
            if (calls[i].rfind("Initialize s1", 0) == 0) init = i;
        ASSERT_GT(init, 0u);
        // Before the switch: the freeze on frame 19 (rate after 0).
        size_t freeze = init;
        while (freeze > 0 && calls[freeze].rfind("SetMovieParameters", 0) != 0) --freeze;
        Params f = ParseParams(calls[freeze]);
        EXPECT_EQ(f.f0, 19);
        EXPECT_EQ(f.after, 0.0f);
        EXPECT_NEAR(f.before, 0.03f, 1e-6);
        // After: positioned on the segment's start frame, then playing.
        std::vector<Params> after;
        for (size_t i = init + 1; i < calls.size(); ++i)
            if (calls[i].rfind("SetMovieParameters", 0) == 0)
                after.push_back(ParseParams(calls[i]));
        ASSERT_GE(after.size(), 2u);
        EXPECT_EQ(after[0].f0, 5);
        EXPECT_NEAR(after[0].before, 0.1f, 1e-6);
        EXPECT_EQ(after[0].after, 0.0f);
        EXPECT_EQ(after[1].f0, 5);
        EXPECT_NEAR(after[1].after, 0.03f, 1e-6);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int fa = a.Frame(), fb = b.Frame();
    EXPECT_LE(std::abs(fa - fb), 1);
    EXPECT_GE(fa, 5);
    EXPECT_LT(fa, 40);
}

TEST_F(WallTest, PlayFramesFreezesOnTheLastOfThem) {
    FakePanel a(Host(2), m_port, 1234);
    Wall wall(TestOptions());
    wall.Load(Group("127.0.0.2 a.raw 8 8 100\n")).get();
    ASSERT_TRUE(wall.PlayFrames(30, 1.0f, 20).get().text.empty());
    ASSERT_TRUE(WaitFor([&] { return wall.Snapshot().limitReached; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(a.Frame(), 19);
    EXPECT_EQ(wall.Snapshot().clock.FrameAt(wall.Now()), 19);
}

TEST_F(WallTest, PlayCommandExitsOneWhenAPanelFailsAndANewLoadShutsTheWallDown) {
    FakePanel a(Host(2), m_port);
    voxa::testing::TempDir dir;
    ASSERT_TRUE(voxa::testing::WriteWholeFile(dir.File("w.vw"),
                                              "127.0.0.2 a 8 8 10\n127.0.0.4 b 8 8 10\n"));
    std::FILE* out = std::tmpfile();
    EXPECT_EQ(RunPlay(ParseVwCommandLine({"--play", dir.File("w.vw"), "--speed", "50"}), out,
                      TestOptions()),
              1);
    std::rewind(out);
    char text[4096] = {};
    (void)std::fread(text, 1, sizeof text - 1, out);
    std::fclose(out);
    EXPECT_NE(std::string(text).find("127.0.0.4                ERROR"), std::string::npos) << text;
    EXPECT_NE(std::string(text).find("stopped at frame 9"), std::string::npos) << text;
    // The panel that answered played the movie once and was shut down.
    EXPECT_EQ(a.Frame(), 9);
    EXPECT_EQ(a.Calls().back(), "ShutDown");

    FakePanel b(Host(3), m_port);
    Wall wall(TestOptions());
    wall.Load(Group("127.0.0.3 b 8 8 10\n")).get();
    ASSERT_TRUE(wall.Initialize(1.0f).get().text.empty());
    wall.Load(Group("127.0.0.3 c 8 8 20\n")).get();
    EXPECT_EQ(b.Calls().back(), "ShutDown");
    EXPECT_EQ(wall.Snapshot().wallState, 0);
    EXPECT_EQ(wall.Snapshot().panels[0].segments[0].files, "c");
}

}  // namespace
}  // namespace voxa::movie
