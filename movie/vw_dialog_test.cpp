// The dialog under QT_QPA_PLATFORM=offscreen, its buttons driving a
// recording stand-in of the wall.
#include "movie/vw_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTreeWidget>
#include <cstdlib>

#include "platform/test_support.h"

namespace voxa::movie {
namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "vw_test";
    static char* argv[] = {name, nullptr};
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

std::future<Notice> Ready(Notice n = {}) {
    std::promise<Notice> p;
    p.set_value(std::move(n));
    return p.get_future();
}

class RecordingWall : public WallCommands {
  public:
    std::vector<std::string> calls;
    WallView view;
    Notice next;  // returned by the next command

    std::future<Notice> Load(MovieGroup g) override {
        calls.push_back("Load " + std::to_string(g.panels.size()));
        view.panels.clear();
        for (auto& p : g.panels)
            view.panels.push_back(
                {p.hostToken, PanelStatus::kOff, p.width, p.height, p.segments, ""});
        return Take();
    }
    std::future<Notice> Initialize(float zoom) override {
        return Record("Initialize " + std::to_string(zoom));
    }
    std::future<Notice> Play(int fps, float zoom) override {
        return Record("Play " + std::to_string(fps) + " " + std::to_string(zoom));
    }
    std::future<Notice> Stop() override { return Record("Stop"); }
    std::future<Notice> FrameBack() override { return Record("FrameBack"); }
    std::future<Notice> FrameForward() override { return Record("FrameForward"); }
    std::future<Notice> GoToFrame(int f) override {
        Notice n = next;
        n.value = f > 50 ? 0 : f;
        next = {};
        calls.push_back("GoToFrame " + std::to_string(f));
        return Ready(n);
    }
    std::future<Notice> Exit() override {
        for (auto& p : view.panels) p.status = PanelStatus::kOff;
        return Record("Exit");
    }
    WallView Snapshot() const override { return view; }

  private:
    std::future<Notice> Record(std::string call) {
        calls.push_back(std::move(call));
        return Take();
    }
    std::future<Notice> Take() {
        Notice n = next;
        next = {};
        return Ready(n);
    }
};

TEST(VwDialog, ButtonsPostTheirCommandsAndTheListShowsThePanels) {
    App();
    voxa::testing::TempDir dir;
    ASSERT_TRUE(voxa::testing::WriteWholeFile(
        dir.File("wall.vw"),
        "left:0x0 l0.raw 640 480 100\n& l0b.raw\nright:640x0 r0.raw 640 480 100\n"
        "left:0x0 l1.raw 640 480 200\nright:640x0 r1.raw 640 480 200\n"));
    RecordingWall wall;
    VwDialog dialog(wall);
    std::vector<std::string> warnings;
    dialog.SetWarningSink(
        [&](const std::string& t, const std::string& m) { warnings.push_back(t + "|" + m); });
    dialog.SetFields(30, 1.5f);
    ASSERT_TRUE(dialog.LoadFile(dir.File("wall.vw")));
    dialog.Settle();
    QTreeWidget* list = dialog.PanelList();
    ASSERT_EQ(list->columnCount(), 16);
    EXPECT_EQ(list->headerItem()->text(0), "Host");
    EXPECT_EQ(list->headerItem()->text(1), "Status");
    EXPECT_EQ(list->headerItem()->text(4), "File");
    EXPECT_EQ(list->headerItem()->text(15), "Nf");
    EXPECT_EQ(list->columnWidth(0), 100);
    EXPECT_EQ(list->columnWidth(4), 200);
    ASSERT_EQ(list->topLevelItemCount(), 2);
    QTreeWidgetItem* left = list->topLevelItem(0);
    EXPECT_EQ(left->text(0), "left:0x0");
    EXPECT_EQ(left->text(1), "OFF");
    EXPECT_EQ(left->text(2), "640");
    EXPECT_EQ(left->text(4), "l0.raw,l0b.raw");
    EXPECT_EQ(left->text(5), "100");
    EXPECT_EQ(left->text(6), "l1.raw");
    EXPECT_EQ(left->text(7), "200");
    EXPECT_EQ(list->topLevelItem(1)->text(4), "r0.raw");

    dialog.InitializeButton()->click();
    dialog.PlayButton()->click();
    dialog.StopButton()->click();
    dialog.BackButton()->click();
    dialog.ForwardButton()->click();
    dialog.GoToField()->setText("80");
    dialog.GoToButton()->click();
    dialog.Settle();
    EXPECT_EQ(wall.calls,
              (std::vector<std::string>{"Load 2", "Initialize 1.500000", "Play 30 1.500000", "Stop",
                                        "FrameBack", "FrameForward", "GoToFrame 80"}));
    EXPECT_EQ(dialog.GoToField()->text(), "0");  // the frame gone to is shown

    // Statuses and the current frame follow the wall.
    wall.view.panels[0].status = PanelStatus::kOn;
    wall.view.panels[1].status = PanelStatus::kError;
    wall.view.currentFrame = 57;
    dialog.Refresh();
    EXPECT_EQ(left->text(1), "ON");
    EXPECT_EQ(list->topLevelItem(1)->text(1), "ERROR");
    EXPECT_EQ(dialog.CurrentFrameField()->text(), "57");

    // A command's warning is shown with its title.
    wall.next = {kNeedToInitialize, kCanNotShowMovie, 0};
    dialog.StopButton()->click();
    dialog.Settle();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], std::string(kCanNotShowMovie) + "|" + kNeedToInitialize);

    dialog.show();
    QImage shot = dialog.grab().toImage();
    EXPECT_GT(shot.width(), 300);
    if (const char* out = std::getenv("VW_DIALOG_SHOT")) shot.save(out);

    // A bad file: a warning naming file and line, and the list keeps its panels.
    ASSERT_TRUE(voxa::testing::WriteWholeFile(dir.File("bad.vw"), "left l.raw 64 48 10\n> 0 0\n"));
    EXPECT_FALSE(dialog.LoadFile(dir.File("bad.vw")));
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_NE(warnings[1].find("bad.vw:2:"), std::string::npos) << warnings[1];
    EXPECT_EQ(list->topLevelItemCount(), 2);

    dialog.ExitButton()->click();
    dialog.Settle();
    EXPECT_EQ(wall.calls.back(), "Exit");
    EXPECT_EQ(left->text(1), "OFF");
    EXPECT_FALSE(dialog.isVisible());
}

}  // namespace
}  // namespace voxa::movie
