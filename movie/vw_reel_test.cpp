// The controller against real movie servers (reel1 --headless), one per
// loopback address with a VOXA_ROOT each. Skips while build/bin/reel1 does
// not exist.
#include <gtest/gtest.h>
#include <QApplication>
#include <QPushButton>
#include <QTreeWidget>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

#include "movie/vw_dialog.h"
#include "movie/vw_play.h"
#include "movie/vw_screen.h"
#include "movie/vw_wall.h"
#include "platform/paths.h"
#include "platform/test_support.h"

namespace voxa::movie {
namespace {

using voxa::testing::ChildProcess;
using voxa::testing::FreePort;
using voxa::testing::TempDir;
using voxa::testing::WaitFor;

const std::string kReel1 = std::string(VOXA_BIN_DIR) + "/reel1";

// Frame f of panel p: every pixel (f, p * 60, 255 - f) so the frame shown can be read back.
void WriteMovie(const std::string& path, int p, int w, int h, int frames) {
    std::ofstream out(path, std::ios::binary);
    std::vector<char> frame(static_cast<size_t>(w) * h * 3);
    for (int f = 0; f < frames; ++f) {
        for (size_t i = 0; i < frame.size(); i += 3) {
            frame[i] = static_cast<char>(f);
            frame[i + 1] = static_cast<char>(p * 60);
            frame[i + 2] = static_cast<char>(255 - f);
        }
        out.write(frame.data(), static_cast<std::streamsize>(frame.size()));
    }
}

// The frame number in a status line "frame=N ...".
int StatusFrame(const std::string& status) {
    int f = -1;
    std::sscanf(status.c_str(), "frame=%d", &f);
    return f;
}

class ReelWall : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access(kReel1.c_str(), X_OK) != 0)
            GTEST_SKIP() << "no " << kReel1 << " in this build";
        m_port = FreePort();
        for (int i = 0; i < 3; ++i) {
            m_roots.push_back(std::make_unique<TempDir>());
            const std::string host = "127.0.0." + std::to_string(i + 2);
            // The server reads movies inside its data root, $VOXA_ROOT/data.
            ASSERT_TRUE(voxa::MakeDirs(m_roots[i]->File("data")));
            WriteMovie(m_roots[i]->File("data/m.raw"), i, 32, 24, 120);
            m_servers.push_back(std::make_unique<ChildProcess>(
                std::vector<std::string>{kReel1, "--headless", "--persist", "--bind", host,
                                         "--port", std::to_string(m_port)},
                std::vector<std::pair<std::string, std::string>>{
                    {"VOXA_ROOT", m_roots[i]->Path()}}));
            ASSERT_TRUE(
                WaitFor([&] { return voxa::testing::Listening(m_port, host.c_str()); }, 20000));
        }
        m_env = std::make_unique<voxa::testing::ScopedEnv>("VOXA_MI_PORT",
                                                           std::to_string(m_port).c_str());
        std::string text;
        for (int i = 0; i < 3; ++i)
            text += "127.0.0." + std::to_string(i + 2) + ":" + std::to_string(32 * i) + "x0 " +
                    m_roots[i]->File("data/m.raw") + " 32 24 120\n";
        auto g = ParseMovieGroup(text, "reel.vw");
        ASSERT_TRUE(g.ok());
        m_group = *g;
    }

    WallOptions Options() {
        WallOptions o;
        o.launchLocal = false;
        o.log = [](const std::string&) {};
        return o;
    }

    uint16_t m_port = 0;
    std::vector<std::unique_ptr<TempDir>> m_roots;
    std::vector<std::unique_ptr<ChildProcess>> m_servers;
    std::unique_ptr<voxa::testing::ScopedEnv> m_env;
    MovieGroup m_group;
};

TEST_F(ReelWall, PlayStopAndGoToLeaveEveryPanelOnTheControllersFrame) {
    Wall wall(Options());
    wall.Load(m_group).get();
    ASSERT_TRUE(wall.Initialize(1.0f).get().text.empty());
    for (const PanelView& p : wall.Snapshot().panels)
        ASSERT_EQ(p.status, PanelStatus::kOn) << p.error;
    wall.Play(30, 1.0f).get();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    wall.Stop().get();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const int stopped = wall.Snapshot().clock.frame0;
    EXPECT_GT(stopped, 20);
    // Every panel comes to rest on the controller's frame (a loaded machine
    // may draw it a little late).
    std::vector<std::string> rest;
    EXPECT_TRUE(WaitFor(
        [&] {
            rest = wall.QueryStatus().get();
            for (const std::string& s : rest)
                if (StatusFrame(s) != stopped) return false;
            return true;
        },
        5000))
        << stopped << ": " << rest[0] << " / " << rest[1] << " / " << rest[2];

    wall.GoToFrame(37).get();
    ASSERT_TRUE(WaitFor(
        [&] {
            for (const std::string& s : wall.QueryStatus().get())
                if (StatusFrame(s) != 37) return false;
            return true;
        },
        5000));

    m_servers[1]->Signal(SIGKILL);
    m_servers[1]->Wait();
    wall.GoToFrame(12).get();
    WallView v = wall.Snapshot();
    EXPECT_EQ(v.panels[0].status, PanelStatus::kOn);
    EXPECT_EQ(v.panels[1].status, PanelStatus::kError);
    EXPECT_EQ(v.panels[2].status, PanelStatus::kOn);
    std::vector<std::string> texts;
    EXPECT_TRUE(WaitFor(
        [&] {
            texts = wall.QueryStatus().get();
            return StatusFrame(texts[0]) == 12 && StatusFrame(texts[2]) == 12;
        },
        5000))
        << texts[0] << " / " << texts[2];
    EXPECT_EQ(texts[1], "");
    wall.Exit().get();
}

// The dialog leaves the wall idle between commands for as long as the user
// likes; the realign every few seconds and any command after the pause must
// still get their full call bound, so every panel stays "ON" and answers.
TEST_F(ReelWall, PanelsStayOnThroughIdlePausesAndRealigns) {
    WallOptions o = Options();
    o.callTimeoutMs = 2000;
    o.realignEveryMs = 4000;
    Wall wall(o);
    wall.Load(m_group).get();
    ASSERT_TRUE(wall.Initialize(1.0f).get().text.empty());
    for (const PanelView& p : wall.Snapshot().panels)
        ASSERT_EQ(p.status, PanelStatus::kOn) << p.error;
    // Two realigns fall into this pause, each after 4 s without a command.
    std::this_thread::sleep_for(std::chrono::milliseconds(9000));
    for (const PanelView& p : wall.Snapshot().panels)
        EXPECT_EQ(p.status, PanelStatus::kOn) << p.hostToken << ": " << p.error;
    // A command after another pause longer than the call bound.
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    wall.GoToFrame(21).get();
    std::vector<std::string> texts;
    EXPECT_TRUE(WaitFor(
        [&] {
            texts = wall.QueryStatus().get();
            for (const std::string& t : texts)
                if (StatusFrame(t) != 21) return false;
            return true;
        },
        5000))
        << texts[0] << " / " << texts[1] << " / " << texts[2];
    for (const PanelView& p : wall.Snapshot().panels)
        EXPECT_EQ(p.status, PanelStatus::kOn) << p.hostToken << ": " << p.error;
    wall.Exit().get();
}

// The dialog, as vw runs it: a Wall made after the QApplication, Initialize
// clicked, and then left alone; both rows read "ON" after the realigns.
TEST_F(ReelWall, DialogInitialisesTwoPanelsThatStayOn) {
    static int argc = 1;
    static char name[] = "vw_reel_test";
    static char* argv[] = {name, nullptr};
    voxa::testing::ScopedEnv qpa("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TempDir dir;
    std::string text;
    for (int i = 0; i < 2; ++i)
        text += "127.0.0." + std::to_string(i + 2) + ":" + std::to_string(32 * i) + "x0 " +
                m_roots[i]->File("data/m.raw") + " 32 24 120\n";
    ASSERT_TRUE(voxa::testing::WriteWholeFile(dir.File("two.vw"), text));
    WallOptions o = Options();
    o.callTimeoutMs = 2000;
    o.realignEveryMs = 4000;
    Wall wall(o);
    VwDialog dialog(wall);
    std::vector<std::string> warnings;
    dialog.SetWarningSink(
        [&](const std::string& title, const std::string& t) { warnings.push_back(title + ": " + t); });
    dialog.show();
    ASSERT_TRUE(dialog.LoadFile(dir.File("two.vw")));
    dialog.InitializeButton()->click();
    dialog.Settle();
    auto rows = [&] {
        QTreeWidget* list = dialog.PanelList();
        std::string r;
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            r += list->topLevelItem(i)->text(1).toStdString() + " ";
        return r;
    };
    EXPECT_EQ(rows(), "ON ON ");
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(9000);
    while (std::chrono::steady_clock::now() < until) {
        QApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    dialog.Settle();
    EXPECT_EQ(rows(), "ON ON ");
    for (const PanelView& p : wall.Snapshot().panels) EXPECT_EQ(p.error, "") << p.hostToken;
    EXPECT_TRUE(warnings.empty()) << warnings[0];
    dialog.ExitButton()->click();
    dialog.Settle();
    EXPECT_EQ(rows(), "OFF OFF ");
}

TEST_F(ReelWall, PlayCommandRunsTheWallAndExitsZero) {
    VwCommandLine cl;
    TempDir dir;
    std::string text;
    for (int i = 0; i < 3; ++i)
        text += "127.0.0." + std::to_string(i + 2) + " " + m_roots[i]->File("data/m.raw") +
                " 32 24 120\n";
    ASSERT_TRUE(voxa::testing::WriteWholeFile(dir.File("w.vw"), text));
    cl = ParseVwCommandLine({"--play", dir.File("w.vw"), "--speed", "40", "--frames", "60"});
    std::FILE* out = std::tmpfile();
    EXPECT_EQ(RunPlay(cl, out, Options()), 0);
    std::fclose(out);
}

// Two servers with windows on one private X display, at the positions of
// their host tokens: after Go To Frame 37 both windows show frame 37.
TEST(ReelWallOnScreen, GoToFrameShowsThatFrameInEveryWindow) {
    if (::access(kReel1.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << kReel1 << " in this build";
    voxa::testing::PrivateXServer x("200x100x24");
    if (!x.Ok()) GTEST_SKIP() << "no Xvfb";
    const uint16_t port = FreePort();
    std::vector<std::unique_ptr<TempDir>> roots;
    std::vector<std::unique_ptr<ChildProcess>> servers;
    std::string text;
    for (int i = 0; i < 2; ++i) {
        roots.push_back(std::make_unique<TempDir>());
        ASSERT_TRUE(voxa::MakeDirs(roots[i]->File("data")));
        WriteMovie(roots[i]->File("data/m.raw"), i, 32, 24, 60);
        const std::string host = "127.0.0." + std::to_string(i + 2);
        servers.push_back(std::make_unique<ChildProcess>(
            std::vector<std::string>{kReel1, "--persist", "--bind", host, "--port",
                                     std::to_string(port)},
            std::vector<std::pair<std::string, std::string>>{{"VOXA_ROOT", roots[i]->Path()},
                                                             {"DISPLAY", x.Display()}}));
        ASSERT_TRUE(WaitFor([&] { return voxa::testing::Listening(port, host.c_str()); }, 20000));
        text += host + ":" + std::to_string(40 * i) + "x10 " + roots[i]->File("data/m.raw") +
                " 32 24 60\n";
    }
    voxa::testing::ScopedEnv env("VOXA_MI_PORT", std::to_string(port).c_str());
    auto group = ParseMovieGroup(text, "screen.vw");
    ASSERT_TRUE(group.ok());
    WallOptions o;
    o.launchLocal = false;
    o.log = [](const std::string&) {};
    Wall wall(o);
    wall.Load(*group).get();
    ASSERT_TRUE(wall.Play(30, 1.0f).get().text.empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    wall.GoToFrame(37).get();
    // Pixel (x, y) of the screen; windows at x 0 and 40, y 10, 32x24.
    ScreenImage shot;
    auto pixel = [&](int px, int py, int c) {
        return shot.rgb[(static_cast<size_t>(py) * shot.width + px) * 3 + c];
    };
    const bool shown = WaitFor(
        [&] {
            auto grabbed = GrabScreen(x.Display());
            if (!grabbed.ok()) return false;
            shot = *grabbed;
            for (int i = 0; i < 2; ++i) {
                const int cx = 40 * i + 16, cy = 10 + 12;
                if (pixel(cx, cy, 0) != 37 || pixel(cx, cy, 1) != i * 60 ||
                    pixel(cx, cy, 2) != 255 - 37)
                    return false;
            }
            return true;
        },
        10000);
    if (const char* out = std::getenv("VW_SCREEN_SHOT")) (void)WritePng(out, shot);
    ASSERT_TRUE(shown) << "window pixels " << int(pixel(16, 22, 0)) << "," << int(pixel(16, 22, 1))
                       << " / " << int(pixel(56, 22, 0)) << "," << int(pixel(56, 22, 1));
    // Outside the windows the screen stays black.
    EXPECT_EQ(pixel(36, 22, 0) + pixel(36, 22, 1) + pixel(36, 22, 2), 0);
    wall.Exit().get();
}

}  // namespace
}  // namespace voxa::movie
