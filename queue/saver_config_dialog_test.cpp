// The configure dialog under the offscreen platform: what it shows, and
// what OK and Cancel leave in the saver's key file.
#include "queue/saver_config_dialog.h"

#include "platform/test_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>

namespace voxa::queue {
namespace {

using testing::FreshRoot;
using testing::ReadWholeFile;
using testing::WriteWholeFile;

class SaverConfigDialogTest : public ::testing::Test {
  protected:
    std::string KeyFile() const { return m_root.File("registry/.DEFAULT/Software/Bluefield"); }
    // Shows the dialog, lets the test act on it, returns the dialog result.
    template <typename Act>
    int Run(Act act) {
        SaverConfigDialog dialog;
        dialog.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        act(dialog);
        return dialog.result();
    }
    FreshRoot m_root;
};

TEST_F(SaverConfigDialogTest, ShowsTheTitleTheBoxAndTheTwoButtons) {
    SaverConfigDialog dialog;
    EXPECT_EQ(dialog.windowTitle().toStdString(), "Configure VOXA Queue Screen Saver");
    EXPECT_EQ(dialog.TumbleBox()->text().toStdString(), "Tumble");
    EXPECT_EQ(dialog.OkButton()->text().toStdString(), "OK");
    EXPECT_EQ(dialog.CancelButton()->text().toStdString(), "Cancel");
    EXPECT_TRUE(dialog.OkButton()->isDefault());
    EXPECT_FALSE(dialog.CancelButton()->isDefault());
    // The template's places: Cancel left of OK on one row, the box above.
    QRect ok = dialog.OkButton()->geometry(), cancel = dialog.CancelButton()->geometry();
    QRect box = dialog.TumbleBox()->geometry();
    EXPECT_EQ(ok.top(), cancel.top());
    EXPECT_LT(cancel.right(), ok.left());
    EXPECT_LT(box.bottom(), ok.top());
    EXPECT_EQ(box.left(), cancel.left());
    EXPECT_LE(ok.right(), dialog.width());
    EXPECT_LE(ok.bottom(), dialog.height());
    // 129 units against 7: OK starts far right of Cancel.
    EXPECT_NEAR(static_cast<double>(ok.left()) / cancel.left(), 129.0 / 7.0, 3.0);
}

TEST_F(SaverConfigDialogTest, NoSettingsShowsCheckedAndCancelWritesNothing) {
    int result = Run([](SaverConfigDialog& d) {
        EXPECT_TRUE(d.TumbleBox()->isChecked());
        QTest::mouseClick(d.TumbleBox(), Qt::LeftButton);
        EXPECT_FALSE(d.TumbleBox()->isChecked());
        EXPECT_FALSE(d.Model().Tumble());
        QTest::mouseClick(d.CancelButton(), Qt::LeftButton);
    });
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(std::filesystem::exists(KeyFile()));

    // Cancel leaves an existing key as it was, byte for byte.
    std::filesystem::create_directories(m_root.File("registry/.DEFAULT/Software"));
    ASSERT_TRUE(WriteWholeFile(KeyFile(), "Tumble=0\nOther=5\n"));
    result = Run([](SaverConfigDialog& d) {
        EXPECT_FALSE(d.TumbleBox()->isChecked());
        QTest::mouseClick(d.TumbleBox(), Qt::LeftButton);
        QTest::mouseClick(d.CancelButton(), Qt::LeftButton);
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadWholeFile(KeyFile()), "Tumble=0\nOther=5\n");
}

TEST_F(SaverConfigDialogTest, OkWritesTheBoxAsOneOrZero) {
    int result = Run([](SaverConfigDialog& d) { QTest::mouseClick(d.OkButton(), Qt::LeftButton); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(ReadWholeFile(KeyFile()), "Tumble=1\n");

    result = Run([](SaverConfigDialog& d) {
        QTest::mouseClick(d.TumbleBox(), Qt::LeftButton);
        // Enter takes the default button.
        QTest::keyClick(&d, Qt::Key_Return);
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(ReadWholeFile(KeyFile()), "Tumble=0\n");

    // The next opening shows what was saved, and the space bar toggles.
    result = Run([](SaverConfigDialog& d) {
        EXPECT_FALSE(d.TumbleBox()->isChecked());
        d.TumbleBox()->setFocus();
        QTest::keyClick(d.TumbleBox(), Qt::Key_Space);
        QTest::mouseClick(d.OkButton(), Qt::LeftButton);
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(ReadWholeFile(KeyFile()), "Tumble=1\n");
}

}  // namespace
}  // namespace voxa::queue

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // No display needed, also when the test list is collected.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
