// Tests of the "Get Remote Files" dialog under the offscreen platform,
// against a fileport_server on loopback.
#include "fileport/fileport_dialog.h"
#include "fileport/lists.h"

#include "platform/test_support.h"

#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

namespace voxa::fileport {
namespace {

using voxa::testing::ChildProcess;
using voxa::testing::FreePort;
using voxa::testing::FreshRoot;
using voxa::testing::Listening;
using voxa::testing::ReadWholeFile;
using voxa::testing::ScopedEnv;
using voxa::testing::TempDir;
using voxa::testing::WaitFor;
using voxa::testing::WriteWholeFile;

const std::string kBin = VOXA_BIN_DIR;

// A single-file tree: two stride-1 bricks under a stride-2 root of 40^3.
std::string TreeFile(const std::string& name, char fill) {
    std::string text = name + " 131072 1 10 10 10 0 0 0 2 3\n" + name + " 196608 1 10 10 10 8 0 0 2 3\n" +
                       name + " 262144 2 40 40 40 -1 -1 -1 -1 5\nXYZ_Limits -1 1 -1 1 -1 1\n";
    text.resize(262144 + 64000, '\0');
    for (size_t i = 131072; i < text.size(); ++i) text[i] = static_cast<char>(fill + (i % 7));
    return text;
}

struct DialogFixture : ::testing::Test {
    FreshRoot machineRoot;
    TempDir data;
    TempDir local;
    uint16_t port = FreePort();
    std::string portText = std::to_string(port);
    ScopedEnv portEnv{"VOXA_REMOTEFILES_PORT", portText.c_str()};
    std::unique_ptr<ChildProcess> server;
    std::vector<std::pair<FileportDialog::MessageKind, QString>> messages;
    std::unique_ptr<FileportDialog> dialog;

    void SetUp() override {
        server = std::make_unique<ChildProcess>(std::vector<std::string>{
            kBin + "/fileport_server", "--persist", "--bind", "127.0.0.1", "--port", portText,
            "--data-root", data.Path()});
        ASSERT_TRUE(WaitFor([&] { return Listening(port); }, 20000));
        dialog = std::make_unique<FileportDialog>();
        dialog->SetMessageFunction([this](FileportDialog::MessageKind k, const QString&, const QString& text) {
            messages.emplace_back(k, text);
        });
        dialog->show();
    }
    void TearDown() override { dialog.reset(); }
    bool WaitIdle() {
        return QTest::qWaitFor([&] { return !dialog->Busy() && dialog->GenerateButton()->isEnabled(); }, 30000);
    }
    QString Cell(int row, int column) {
        auto* item = dialog->FileTable()->item(row, column);
        return item ? item->text() : QString();
    }
};

using GetRemoteFilesDialog = DialogFixture;

TEST_F(GetRemoteFilesDialog, ListsCopiesPrunedTreesAndWritesTheFieldLists) {
    ASSERT_EQ(dialog->windowTitle(), "Get Remote Files");
    EXPECT_EQ(dialog->FilterEdit()->text(), "h12v*.zb");
    EXPECT_EQ(dialog->PruneLevels()->value(), 1);
    auto* table = dialog->FileTable();
    const char* headers[] = {"File", "Size", "Is Copied", "Remote Host", "Remote Directory", "File Type"};
    const int widths[] = {100, 100, 100, 200, 200, 200};
    for (int c = 0; c < 6; ++c) {
        EXPECT_EQ(table->horizontalHeaderItem(c)->text(), headers[c]);
        EXPECT_EQ(table->columnWidth(c), widths[c]);
    }

    ASSERT_TRUE(WriteWholeFile(data.File("h12v01.zb"), TreeFile("h12v01.zb", 'a')));
    ASSERT_TRUE(WriteWholeFile(data.File("h12v02.zb"), TreeFile("h12v02.zb", 'k')));
    ASSERT_TRUE(WriteWholeFile(data.File("h12v03.raw"), "plain"));
    ASSERT_TRUE(WriteWholeFile(local.File("h12v02.zb"), "here already"));
    const std::string rdl = local.File("sites.rdl");
    ASSERT_TRUE(WriteWholeFile(rdl, "h12v*  127.0.0.1:" + data.Path() + "\n"));
    ASSERT_TRUE(dialog->LoadRemoteDirectoryList(QString::fromStdString(rdl)));
    EXPECT_EQ(dialog->FilterEdit()->text(), "h12v*");
    ASSERT_EQ(dialog->SiteList()->count(), 1);
    EXPECT_EQ(dialog->HostEdit()->text(), "127.0.0.1");
    EXPECT_EQ(dialog->RemoteDirectoryEdit()->text(), QString::fromStdString(data.Path()));
    dialog->ApplyListFileChoice(QString::fromStdString(local.File("run")));
    EXPECT_EQ(dialog->ListFileEdit()->text(), "run.fld");
    EXPECT_EQ(dialog->LocalDirectoryEdit()->text(), QString::fromStdString(local.Path()));

    QTest::mouseClick(dialog->GenerateButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    ASSERT_EQ(table->rowCount(), 3);
    table->sortItems(0);
    EXPECT_EQ(Cell(0, 0), "h12v01.zb");
    EXPECT_EQ(Cell(0, 1), QString::number(262144 + 64000));
    EXPECT_EQ(Cell(0, 2), "NO");
    EXPECT_EQ(Cell(1, 2), "YES");
    EXPECT_EQ(Cell(2, 1), "5");
    EXPECT_EQ(Cell(0, 3), "127.0.0.1");
    EXPECT_EQ(Cell(0, 4), QString::fromStdString(data.Path()));
    EXPECT_EQ(Cell(0, 5), "Loan file");

    QTest::mouseClick(dialog->CopyButton(), Qt::LeftButton);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Cell(0, 2), "YES");
    EXPECT_EQ(Cell(0, 5), "ZB file");
    EXPECT_EQ(Cell(1, 5), "Loan file");  // present before: not copied
    EXPECT_EQ(Cell(2, 2), "NO");         // not a brick tree
    EXPECT_EQ(dialog->Progress()->value(), 1000);
    // Pruned to one level: the 40^3 root alone, right after the header.
    const std::string copy = ReadWholeFile(local.File("h12v01.zb"));
    ASSERT_EQ(copy.size(), 131072u + 65536u);
    EXPECT_EQ(copy.substr(131072, 64000), TreeFile("h12v01.zb", 'a').substr(262144, 64000));
    EXPECT_EQ(ReadWholeFile(local.File("h12v02.zb")), "here already");
    EXPECT_EQ(ReadWholeFile(local.File("run.fld")), "ZBfile    h12v01.zb   " + local.Path() + "\\\n");
    EXPECT_EQ(ReadWholeFile(local.File("run.fldremote")),
              "RZBfile   h12v01.zb   " + data.Path() + "\\   127.0.0.1\n");

    if (const char* shot = std::getenv("FILEPORT_DIALOG_SCREENSHOT")) dialog->grab().save(shot);

    QTest::mouseClick(dialog->GenerateButton(), Qt::LeftButton);  // a second run goes on top
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(table->rowCount(), 6);
    dialog->ClearList();
    EXPECT_EQ(table->rowCount(), 0);
    EXPECT_TRUE(messages.empty());
}

TEST_F(GetRemoteFilesDialog, FailuresAreReportedWithTheirMessages) {
    dialog->CopyFiles();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].second, "No Files specified");

    // A site where no server listens, then a good one: the good one still lists.
    ASSERT_TRUE(WriteWholeFile(data.File("h12v09.zb"), TreeFile("h12v09.zb", 'z')));
    const uint16_t deadPort = FreePort();
    {
        ScopedEnv dead("VOXA_REMOTEFILES_PORT", std::to_string(deadPort).c_str());
        dialog->SiteList()->addItem("127.0.0.1:" + QString::fromStdString(data.Path()));
        dialog->GenerateList();
        ASSERT_TRUE(WaitIdle());
    }
    QTest::qWait(50);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(messages[1].second.startsWith("CoCreateInstanceEx failed for IRemoteFiles.")) << messages[1].second.toStdString();
    EXPECT_EQ(dialog->FileTable()->rowCount(), 0);
    dialog->GenerateList();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(dialog->FileTable()->rowCount(), 1);

    // A list file of the wrong extension warns and is kept.
    dialog->ApplyListFileChoice(QString::fromStdString(local.File("x.rpm")));
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[2].first, FileportDialog::MessageKind::kWarning);
    EXPECT_EQ(messages[2].second, "Selected Data Type and List File extension are incompatible");
    EXPECT_EQ(dialog->ListFileEdit()->text(), "x.rpm");

    // A tree whose file is cut short: FAILED, and no file is left.
    std::string cut = TreeFile("h12v09.zb", 'z');
    cut.resize(262144 + 100);
    ASSERT_TRUE(WriteWholeFile(data.File("h12v09.zb"), cut));
    dialog->LocalDirectoryEdit()->setText(QString::fromStdString(local.Path()));
    dialog->CopyFiles();
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(Cell(0, 2), "FAILED");
    struct stat st{};
    EXPECT_NE(::stat(local.File("h12v09.zb").c_str(), &st), 0);
    EXPECT_NE(::stat(local.File("h12v09.zb.part").c_str(), &st), 0);
}

}  // namespace
}  // namespace voxa::fileport

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
