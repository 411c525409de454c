#include "queue/movie_tool.h"

#include "queue/movie_setup.h"
#include "queue/queue_test_support.h"

#include <gtest/gtest.h>

#include <sstream>

namespace voxa::queue {
namespace {

using testing::FreshDatabase;
using testing::SharedMariaDb;

class MovieToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        VOXA_REQUIRE_QUEUE_SERVER();
        fresh = std::make_unique<FreshDatabase>(SharedMariaDb());
        db = fresh->Connect();
        ASSERT_NE(db, nullptr);
        vol = fresh->Root().Path() + "/vol";
        ASSERT_EQ(::voxa::testing::RunCommand("mkdir -p " + vol).status, 0);
        ::voxa::testing::WriteWholeFile(vol + "/set_0001.zb", "zb");
        ::voxa::testing::WriteWholeFile(vol + "/set_0002.zb", "zb");
        ::voxa::testing::WriteWholeFile(vol + "/notes.txt", "no");
        ::voxa::testing::WriteWholeFile(fresh->Root().File("view.keys"), "eye 0 -5 0\ncenter 0 0 0\nup 0 0 1\n");
    }
    int Run(const std::vector<std::string>& args) {
        out.str("");
        err.str("");
        return RunVoxaMovie(args, out, err);
    }
    std::string Value(const std::string& sql) {
        auto rows = db->Query(sql);
        if (!rows.ok() || rows->empty() || !(*rows)[0][0]) return "(null)";
        return *(*rows)[0][0];
    }
    std::unique_ptr<FreshDatabase> fresh;
    std::unique_ptr<QueueDb> db;
    std::string vol;
    std::ostringstream out, err;
};

TEST_F(MovieToolTest, CreateStatusResetDelete) {
    ASSERT_EQ(Run({"create", "wall-a", "--zb", vol + "/set_0001.zb," + vol + "/set_0002.zb", "--keys",
                   fresh->Root().File("view.keys"), "--wall", "2x1", "--panel", "64x48", "--dest",
                   "disp:/movies", "--host", "node7"}),
              0)
        << err.str();
    EXPECT_EQ(Value("select status from VOXA_Movies where name='wall-a'"), "FilesCreated");
    WallSpec wall;
    wall.columns = 2;
    wall.panelWidth = 64;
    wall.panelHeight = 48;
    EXPECT_EQ(Value("select frusta from VOXA_Movies"), WallFrusta(wall));
    EXPECT_EQ(Value("select destinations from VOXA_Movies"), "disp /movies\ndisp /movies\n");
    EXPECT_EQ(Value("select count(*) from `frames_wall-a` where status='New'"), "2");
    EXPECT_EQ(Value("select zbfile from `frames_wall-a` where number=2"), "set_0002.zb");
    EXPECT_EQ(Value("select voxain from `frames_wall-a` where number=1"), "eye 0 -5 0\ncenter 0 0 0\nup 0 0 1\n");
    EXPECT_EQ(Value("select dir from Files where host='node7' and name='set_0001.zb'"), vol);
    // What a node would load from it.
    auto movie = LoadMovieByName(*db, "wall-a", 64, 48);
    ASSERT_TRUE(movie.ok()) << movie.status().message();
    EXPECT_EQ(movie->panels[1].file, "/movies/wall-a_01");

    EXPECT_EQ(Run({"create", "wall-a", "--zb", vol + "/set_0001.zb", "--wall", "1x1", "--panel", "64x48",
                   "--dest", "d:/m"}),
              1);  // the name is taken
    EXPECT_NE(err.str().find("exists"), std::string::npos);

    ASSERT_TRUE(db->Execute("update `frames_wall-a` set status='Started by x', start=NOW() - INTERVAL 400 SECOND where number=1").ok());
    ASSERT_TRUE(db->Execute("update `frames_wall-a` set status='Finished by y', start=NOW() - INTERVAL 60 SECOND, finish=NOW() where number=2").ok());
    ASSERT_EQ(Run({"status", "wall-a"}), 0);
    EXPECT_NE(out.str().find("wall-a: FilesCreated  frames 2: New 0, Started 1, Finished 1"), std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("nodes: x (0) y (1)"), std::string::npos) << out.str();
    ASSERT_EQ(Run({"list"}), 0);
    EXPECT_NE(out.str().find("wall-a\tFilesCreated"), std::string::npos);

    ASSERT_EQ(Run({"reset", "wall-a", "--stale-seconds", "500"}), 0);  // 400 s is not stale enough
    EXPECT_EQ(Value("select status from `frames_wall-a` where number=1"), "Started by x");
    ASSERT_EQ(Run({"reset", "wall-a"}), 0);
    EXPECT_EQ(Value("select status from `frames_wall-a` where number=1"), "New");
    EXPECT_EQ(Value("select status from `frames_wall-a` where number=2"), "Finished by y");

    ASSERT_EQ(Run({"delete", "wall-a"}), 0);
    EXPECT_EQ(Value("select count(*) from VOXA_Movies"), "0");
    EXPECT_FALSE(db->Query("select * from `frames_wall-a`").ok());
    EXPECT_EQ(Run({"status", "wall-a"}), 1);
}

TEST_F(MovieToolTest, BadRequestsChangeNothing) {
    const std::string zb = vol + "/set_0001.zb";
    const std::vector<std::vector<std::string>> bad = {
        {"create", "a/b", "--zb", zb, "--wall", "1x1", "--panel", "64x48", "--dest", "d:/m"},
        {"create", "m", "--zb", zb, "--wall", "1x1", "--panel", "64x48"},                    // no --dest
        {"create", "m", "--zb", vol + "/none.zb", "--wall", "1x1", "--panel", "64x48", "--dest", "d:/m"},
        {"create", "m", "--zb", zb, "--wall", "11x10", "--panel", "64x48", "--dest", "d:/m"},
        {"create", "m", "--zb", zb, "--wall", "1x1", "--panel", "4096x2048", "--dest", "d:/m"},
        {"create", "m", "--zb", zb, "--wall", "1x1", "--panel", "64x48", "--dest", "nocolon"},
        {"create", "m", "--zb", zb, "--orbit", "10,5,0", "--wall", "1x1", "--panel", "64x48", "--dest", "d:/m"},
        {"create", "m", "--zb"},
        {"reset", "x'y;drop table Files"},
        {"frobnicate"},
        {},
    };
    for (const auto& args : bad) {
        std::string line;
        for (const auto& a : args) line += a + " ";
        EXPECT_EQ(Run(args), 2) << line;
        EXPECT_FALSE(err.str().empty()) << line;
    }
    EXPECT_EQ(Value("select count(*) from VOXA_Movies"), "0");
    EXPECT_EQ(Value("select count(*) from Files"), "0");
    EXPECT_EQ(Run({"--help"}), 0);
    EXPECT_NE(out.str().find("create NAME"), std::string::npos);
}

TEST_F(MovieToolTest, FilesAddRegistersTheZbFilesOfADirectory) {
    ASSERT_EQ(Run({"files", "add", "hostB", vol}), 0) << err.str();
    EXPECT_EQ(Value("select count(*) from Files where host='hostB'"), "2");
    EXPECT_EQ(Value("select group_concat(name order by name) from Files"), "set_0001.zb,set_0002.zb");
    // Registering again replaces the rows instead of doubling them.
    ASSERT_EQ(Run({"files", "add", "hostB", vol}), 0);
    EXPECT_EQ(Value("select count(*) from Files"), "2");
    EXPECT_EQ(Run({"files", "add", "hostB", vol + "/missing"}), 2);
    EXPECT_EQ(Run({"files", "list"}), 2);
}

}  // namespace
}  // namespace voxa::queue
