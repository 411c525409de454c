// The saver's registry key file and the configure dialog's model.
#include "queue/saver_settings.h"

#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace voxa::queue {
namespace {

using testing::FreshRoot;
using testing::ReadWholeFile;
using testing::WriteWholeFile;

class SaverSettingsTest : public ::testing::Test {
  protected:
    std::string KeyFile() const { return m_root.File("registry/.DEFAULT/Software/Bluefield"); }
    FreshRoot m_root;
};

TEST_F(SaverSettingsTest, KeyPathNamesAFileBelowTheRegistryDirectory) {
    Result<std::string> file = RegistryKeyFile(kSaverKeyPath);
    ASSERT_TRUE(file.ok()) << file.status().message();
    EXPECT_EQ(*file, KeyFile());
    EXPECT_EQ(*RegistryKeyFile("A/b\\c"), m_root.File("registry/A/b/c"));
    // Key paths that would leave the registry directory are refused.
    for (const char* bad : {"..\\x", "a\\..\\..\\b", "a\\\\b", "", "a\\", "\\a", "a/./b"}) {
        EXPECT_FALSE(RegistryKeyFile(bad).ok()) << bad;
    }
    EXPECT_EQ(WriteRegistryNumber("..\\escape", "Tumble", 1).code(), StatusCode::kInvalidArgument);
    EXPECT_FALSE(std::filesystem::exists(m_root.File("escape")));
}

TEST_F(SaverSettingsTest, TumbleReadsCheckedWhenMissingAndFollowsTheFile) {
    EXPECT_EQ(ReadTumble(), 1);  // no key file at all
    std::filesystem::create_directories(m_root.File("registry/.DEFAULT/Software"));
    struct Case {
        const char* text;
        int tumble;
    } cases[] = {
        {"", 1},           // key without the value
        {"Other=0\n", 1},  // another value only
        {"Tumble=0\n", 0},
        {"Tumble=1\n", 1},
        {"  Tumble =  0 \r\n", 0},  // blanks and a CR line end
        {"Tumble=7\n", 1},          // any number other than 0 is checked
        {"Tumble=-1\n", 1},
        {"Tumble=0\nTumble=1\n", 1},    // the last line counts
        {"Tumble=1\nTumble=0", 0},      // last line without a newline
        {"Tumble=0\nTumble=yes\n", 0},  // an unreadable later line does not undo it
        {"Tumble=\n", 1},               // not a number: the default
        {"Tumble=0x0\n", 1},
        {"Tumble=99999999999\n", 1},  // out of range: the default
        {"tumble=0\n", 1},            // names are case-sensitive
        {"XTumble=0\n", 1},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteWholeFile(KeyFile(), c.text));
        EXPECT_EQ(ReadTumble(), c.tumble) << "'" << c.text << "'";
    }
}

TEST_F(SaverSettingsTest, WritingKeepsOtherValuesAndReplacesTheOldLine) {
    ASSERT_TRUE(WriteTumble(0).ok());
    EXPECT_EQ(ReadWholeFile(KeyFile()), "Tumble=0\n");
    EXPECT_EQ(ReadTumble(), 0);

    ASSERT_TRUE(WriteWholeFile(KeyFile(), "# saver\nSpeed=3\nTumble=0\nTumble = 0\nColour=2"));
    ASSERT_TRUE(WriteTumble(1).ok());
    EXPECT_EQ(ReadWholeFile(KeyFile()), "# saver\nSpeed=3\nColour=2\nTumble=1\n");
    EXPECT_FALSE(std::filesystem::exists(KeyFile() + ".new"));

    // The pure text function, as the file writer uses it.
    EXPECT_EQ(SetRegistryNumber("", "Tumble", 0), "Tumble=0\n");
    EXPECT_EQ(SetRegistryNumber("A=1\n\nB=2\n", "A", 5), "\nB=2\nA=5\n");
    EXPECT_EQ(FindRegistryNumber("A=1\nB=2\n", "B"), 2);
    EXPECT_FALSE(FindRegistryNumber("A=1\n", "").has_value());
    EXPECT_EQ(WriteRegistryNumber(kSaverKeyPath, "A=B", 1).code(), StatusCode::kInvalidArgument);
}

TEST_F(SaverSettingsTest, WriteFailureIsReportedAndLosesNothing) {
    // The key's place is taken by a directory: the file cannot be replaced.
    std::filesystem::create_directories(KeyFile());
    Status written = WriteTumble(0);
    EXPECT_FALSE(written.ok());
    EXPECT_EQ(written.code(), StatusCode::kIoError);
    EXPECT_TRUE(std::filesystem::is_directory(KeyFile()));
    EXPECT_FALSE(std::filesystem::exists(KeyFile() + ".new"));
    EXPECT_EQ(ReadTumble(), 1);
}

TEST_F(SaverSettingsTest, ModelCancelWritesNothingAndOkWritesTheBox) {
    SaverConfigModel model;
    model.Load();
    EXPECT_TRUE(model.Tumble());  // no key: checked
    EXPECT_EQ(model.Name(), "VOXA Queue Screen Saver");
    model.SetTumble(false);
    EXPECT_EQ(model.Cancel(), 0);
    EXPECT_FALSE(std::filesystem::exists(KeyFile()));
    EXPECT_FALSE(std::filesystem::exists(m_root.File("registry")));

    Status failure;
    model.SetTumble(true);
    EXPECT_EQ(model.Ok(&failure), 1);
    EXPECT_EQ(ReadWholeFile(KeyFile()), "Tumble=1\n");
    model.SetTumble(false);
    EXPECT_EQ(model.Ok(&failure), 1);
    EXPECT_EQ(ReadWholeFile(KeyFile()), "Tumble=0\n");

    SaverConfigModel again;
    again.Load();
    EXPECT_FALSE(again.Tumble());

    // A failed write gives 0 and says why.
    std::filesystem::remove(KeyFile());
    std::filesystem::create_directories(KeyFile());
    again.SetTumble(true);
    EXPECT_EQ(again.Ok(&failure), 0);
    EXPECT_FALSE(failure.ok());
    EXPECT_NE(failure.message().find("Bluefield"), std::string::npos);
}

}  // namespace
}  // namespace voxa::queue
