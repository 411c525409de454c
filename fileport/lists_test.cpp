// Tests of the file list text, sites, remote directory lists and FIELD list files.
#include "fileport/lists.h"

#include <gtest/gtest.h>

namespace voxa::fileport {
namespace {

TEST(FileListText, EntriesRoundTripWithLargeSizesAndBadEntriesAreLeftOut) {
    std::string text;
    AppendListEntry(&text, "a", 10);
    AppendListEntry(&text, "b", 20);
    EXPECT_EQ(text, "a,10,b,20");
    AppendListEntry(&text, "big.raw", 3221225472LL);  // 3 GiB stays right
    AppendListEntry(&text, "sub", -1);
    EXPECT_EQ(text, "a,10,b,20,big.raw,3221225472,sub,-1");
    auto files = ParseFileList(text);
    ASSERT_EQ(files.size(), 4u);
    EXPECT_EQ(files[2].name, "big.raw");
    EXPECT_EQ(files[2].size, 3221225472LL);
    EXPECT_EQ(files[3].size, -1);

    EXPECT_TRUE(ParseFileList("").empty());
    int refused = 0;
    files = ParseFileList("..,5,ok,7,x/y,3,.,1,bad,zz,a\\b,2,tail", &refused);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].name, "ok");
    EXPECT_EQ(files[0].size, 7);
    EXPECT_EQ(refused, 6);  // "..", "x/y", ".", "bad,zz", "a\b", dangling "tail"
}

TEST(Sites, SplitAtTheFirstColonSoDriveLettersStayWithTheDirectory) {
    auto s = SplitSite("render7:C:\\users\\ops\\test");
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(s->host, "render7");
    EXPECT_EQ(s->directory, "C:\\users\\ops\\test");
    s = SplitSite("127.0.0.1:/srv/data");
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(s->host, "127.0.0.1");
    EXPECT_EQ(s->directory, "/srv/data");
    EXPECT_FALSE(SplitSite("nocolon").ok());
    EXPECT_FALSE(SplitSite(":/dir").ok());
    EXPECT_FALSE(SplitSite("host:").ok());
}

TEST(RemoteDirectoryLists, FilterFirstThenSitesAndBadSitesAreRefused) {
    auto rdl = ParseRemoteDirectoryList("h12v*.zb\n  alpha:/d1\tbeta:C:\\x  \r\n");
    ASSERT_TRUE(rdl.ok());
    EXPECT_EQ(rdl->filter, "h12v*.zb");
    ASSERT_EQ(rdl->sites.size(), 2u);
    EXPECT_EQ(rdl->sites[0], "alpha:/d1");
    EXPECT_EQ(rdl->sites[1], "beta:C:\\x");
    auto again = ParseRemoteDirectoryList(RemoteDirectoryListText(*rdl));
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again->sites, rdl->sites);
    EXPECT_FALSE(ParseRemoteDirectoryList(" \n\t").ok());
    EXPECT_FALSE(ParseRemoteDirectoryList("*.zb host-without-colon").ok());
    auto onlyFilter = ParseRemoteDirectoryList("*.zb");
    ASSERT_TRUE(onlyFilter.ok());
    EXPECT_TRUE(onlyFilter->sites.empty());
}

TEST(FieldLists, LinesAreSortedByTheirFirst31BytesAndReadBack) {
    std::vector<FieldEntry> entries = {
        {"b.zb", "/copy", "/remote/b", "hostB"},
        {"a.zb", "/copy", "C:\\data", "hostA"},
        // Equal in their first 31 bytes: they keep their order.
        {"0123456789012345678901234567890_z.zb", "/copy", "/r", "h2"},
        {"0123456789012345678901234567890_a.zb", "/copy", "/r", "h1"},
    };
    EXPECT_EQ(FieldListText(entries),
              "ZBfile    0123456789012345678901234567890_z.zb   /copy\\\n"
              "ZBfile    0123456789012345678901234567890_a.zb   /copy\\\n"
              "ZBfile    a.zb   /copy\\\n"
              "ZBfile    b.zb   /copy\\\n");
    EXPECT_EQ(FieldRemoteListText(entries),
              "RZBfile   0123456789012345678901234567890_z.zb   /r\\   h2\n"
              "RZBfile   0123456789012345678901234567890_a.zb   /r\\   h1\n"
              "RZBfile   a.zb   C:\\data\\   hostA\n"
              "RZBfile   b.zb   /remote/b\\   hostB\n");
    auto back = ParseFieldList(FieldListText(entries));
    ASSERT_TRUE(back.ok());
    ASSERT_EQ(back->size(), 4u);
    EXPECT_EQ((*back)[2].name, "a.zb");
    EXPECT_EQ((*back)[2].localDirectory, "/copy");
    EXPECT_FALSE(ParseFieldList("ZBfile a.zb /copy\n").ok());          // no backslash
    EXPECT_FALSE(ParseFieldList("ZBfile ../a.zb /copy\\\n").ok());     // not a plain name
    EXPECT_FALSE(ParseFieldList("RZBfile a.zb /copy\\ h\n").ok());
    EXPECT_EQ(ListFileBase("run.v2.fld"), "run");
    EXPECT_EQ(ListFileBase("plain"), "plain");
}

TEST(FieldLists, AtMost4096RowsAreWritten) {
    std::vector<FieldEntry> many;
    for (int i = 0; i < 4100; ++i) many.push_back({"f" + std::to_string(10000 + i) + ".zb", "/c", "/r", "h"});
    std::string text = FieldListText(many);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4096);
    EXPECT_EQ(text.find("f14096.zb"), std::string::npos);
}

}  // namespace
}  // namespace voxa::fileport

namespace voxa::fileport {
namespace {

TEST(ListFileChoices, ExtensionsFollowTheDataTypeAndMismatchesWarn) {
    auto c = ChooseListFileName("/home/u/copies/run", DataType::kBlockTree);
    EXPECT_EQ(c.name, "run.fld");
    EXPECT_EQ(c.directory, "/home/u/copies");
    EXPECT_EQ(c.warning, "");
    EXPECT_EQ(ChooseListFileName("/x/run", DataType::kPlain).name, "run.rpm");
    c = ChooseListFileName("/x/run.fld", DataType::kPlain);
    EXPECT_EQ(c.name, "run.fld");  // kept as chosen
    EXPECT_EQ(c.warning, "Selected Data Type and List File extension are incompatible");
    EXPECT_EQ(ChooseListFileName("/x/run.rpm", DataType::kBlockTree).warning,
              "Selected Data Type and List File extension are incompatible");
    c = ChooseListFileName("/x/run.txt", DataType::kBlockTree);
    EXPECT_EQ(c.warning, "List File extension not supported");
    EXPECT_EQ(c.name, "run.txt");
    EXPECT_EQ(ChooseListFileName("/x/run.fld", DataType::kBlockTree).warning, "");
    EXPECT_EQ(ChooseListFileName("/run.fld", DataType::kBlockTree).directory, "/");
}

}  // namespace
}  // namespace voxa::fileport
