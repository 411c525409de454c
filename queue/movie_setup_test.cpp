#include "queue/movie_setup.h"

#include "queue/movie_tool.h"
#include "queue/queue_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace voxa::queue {
namespace {

using testing::FreshDatabase;
using testing::SharedMariaDb;

#define REQUIRE_SERVER() VOXA_REQUIRE_QUEUE_SERVER()

std::string Frustum(const std::string& center, const std::string& normal, const std::string& dim) {
    return "frustum 0\ncenter " + center + "\nup 0 0 1\nnormal " + normal + "\ndimension " + dim + "\n";
}

TEST(MovieSetUp, PanGeometryOfPanelsAndWindows) {
    auto same = PanGeometry(1280, 1024, 2.0f, 1280, 1024);
    EXPECT_FLOAT_EQ(same.first, 2.0f);
    EXPECT_FLOAT_EQ(same.second, 1.0f);
    auto half = PanGeometry(640, 512, 2.0f, 1280, 1024);  // K = L = 0.5
    EXPECT_FLOAT_EQ(half.first, 4.0f);
    EXPECT_FLOAT_EQ(half.second, 2.0f);
    auto narrow = PanGeometry(320, 1024, 1.0f, 1280, 1024);  // K = 0.25, L = 1
    EXPECT_FLOAT_EQ(narrow.first, 4.0f);
    EXPECT_FLOAT_EQ(narrow.second, 4.0f);
}

TEST(MovieSetUp, FrustaTextParsedAndRefused) {
    std::string two = "junk before\n" + Frustum("0 1 0", "0 1 0", "640 512 2.0") +
                      Frustum("1.5 1 -0.25", "0 1 0", "1280 1024 2.0") + "\nfrustum 9\n";
    auto panels = ParseFrusta(two, 1280, 1024);
    ASSERT_TRUE(panels.ok()) << panels.status().message();
    ASSERT_EQ(panels->size(), 2u);  // the empty line ends the text
    EXPECT_FLOAT_EQ((*panels)[0].panWidth, 4.0f);
    EXPECT_FLOAT_EQ((*panels)[1].center[0], 1.5f);
    EXPECT_FLOAT_EQ((*panels)[1].center[1], 1.0f);  // the second coordinate too
    EXPECT_FLOAT_EQ((*panels)[1].center[2], -0.25f);
    EXPECT_EQ((*panels)[1].width, 1280);

    std::string many;
    for (int i = 0; i < 100; ++i) many += "frustum 0\ncenter 0 1 0\nnormal 0 1 0\ndimension 64 64 1\n";
    auto hundred = ParseFrusta(many, 1280, 1024);
    ASSERT_TRUE(hundred.ok());
    EXPECT_EQ(hundred->size(), 100u);
    EXPECT_FALSE(ParseFrusta(many + "frustum 0\n", 1280, 1024).ok());  // 101 panels
    std::string longText = Frustum("0 1 0", "0 1 0", "64 64 1");
    for (int i = 0; i < 500; ++i) longText += "comment\n";
    EXPECT_FALSE(ParseFrusta(longText, 1280, 1024).ok());  // more than 500 lines
    EXPECT_FALSE(ParseFrusta(Frustum("0 1 0", "0 1 0", "0 512 2"), 1280, 1024).ok());
    EXPECT_FALSE(ParseFrusta(Frustum("0 1 0", "0 1 0", "640 -1 2"), 1280, 1024).ok());
    EXPECT_FALSE(ParseFrusta("frustum 0\ncenter 0 1 0\nnormal 0 1 0\n", 1280, 1024).ok());
    EXPECT_FALSE(ParseFrusta(Frustum("0 1 0", "0 1 0", "2048 512 2"), 1280, 1024).ok());  // wider
    EXPECT_FALSE(ParseFrusta(Frustum("1 0 0", "0 1 0", "640 512 2"), 1280, 1024).ok());   // c.n = 0
    EXPECT_FALSE(ParseFrusta(Frustum("0 1 0", "0 1 0", "640 512 0"), 1280, 1024).ok());
    EXPECT_FALSE(ParseFrusta("", 1280, 1024).ok());
    EXPECT_FALSE(ParseFrusta(Frustum("0 x 0", "0 1 0", "640 512 2"), 1280, 1024).ok());
}

TEST(MovieSetUp, DestinationsAndOptions) {
    auto panels = ParseFrusta(Frustum("0 1 0", "0 1 0", "64 64 1") + Frustum("0 1 0", "0 1 0", "64 64 1"),
                              1280, 1024);
    ASSERT_TRUE(panels.ok());
    ASSERT_TRUE(ParseDestinations("A /wall\nB /d2\n", "m", *panels).ok());
    EXPECT_EQ((*panels)[0].host, "A");
    EXPECT_EQ((*panels)[0].file, "/wall/m_00");
    EXPECT_EQ((*panels)[1].host, "B");
    EXPECT_EQ((*panels)[1].file, "/d2/m_01");
    EXPECT_FALSE(ParseDestinations("A /wall\n", "m", *panels).ok());  // panel 1 has none
    EXPECT_FALSE(ParseDestinations("A\nB /x\n", "m", *panels).ok());
    std::string tooMany;
    for (int i = 0; i < 101; ++i) tooMany += "h /d\n";
    EXPECT_FALSE(ParseDestinations(tooMany, "m", *panels).ok());

    auto options = ParseMovieOptions("NCacheMB 64\nIDLE 1\nShowColorBar 0\nAddTick 0 0\nBare\n");
    ASSERT_EQ(options.size(), 3u);
    EXPECT_EQ(options[0], std::make_pair(std::string("NCacheMB"), std::string("64")));
    EXPECT_EQ(options[1], std::make_pair(std::string("ShowColorBar"), std::string("0")));
    EXPECT_EQ(options[2], std::make_pair(std::string("AddTick"), std::string("0 0")));
}

TEST(MovieTool, WallFrustaAndDestinations) {
    WallSpec wall;
    wall.columns = 2;
    wall.rows = 1;
    wall.panelWidth = 640;
    wall.panelHeight = 512;
    wall.wallWorldWidth = 2.0;
    auto panels = ParseFrusta(WallFrusta(wall), 640, 512);
    ASSERT_TRUE(panels.ok());
    ASSERT_EQ(panels->size(), 2u);
    // Two panels of world width 1 side by side, centres half a panel off axis.
    EXPECT_FLOAT_EQ((*panels)[0].center[0], -0.5f);
    EXPECT_FLOAT_EQ((*panels)[1].center[0], 0.5f);
    EXPECT_FLOAT_EQ((*panels)[0].worldWidth, 1.0f);
    EXPECT_FLOAT_EQ((*panels)[0].panWidth, 1.0f);
    // A bezel of 10 mm at 0.25 mm per pixel adds 40 pixels = 1/16 world unit.
    wall.bezelMm = 10;
    wall.rows = 2;
    auto bezel = ParseFrusta(WallFrusta(wall), 640, 512);
    ASSERT_TRUE(bezel.ok());
    ASSERT_EQ(bezel->size(), 4u);
    EXPECT_NEAR((*bezel)[1].center[0] - (*bezel)[0].center[0], 1.0625, 1e-5);
    EXPECT_NEAR((*bezel)[0].center[2] - (*bezel)[2].center[2], 0.8 + 0.0625, 1e-5);  // top row first

    auto dests = DestinationsText({"a:/w", "b:/v"}, 3);
    ASSERT_TRUE(dests.ok());
    EXPECT_EQ(*dests, "a /w\nb /v\na /w\n");
    EXPECT_FALSE(DestinationsText({"nocolon"}, 1).ok());
    EXPECT_FALSE(DestinationsText({"a:/with space"}, 1).ok());

    auto orbit = OrbitKeywords("eye 0 -5 0\ncenter 0 0 0\nup 0 0 1\ntolerances 0 0 0\n", 3, 90, 0);
    ASSERT_TRUE(orbit.ok());
    ASSERT_EQ(orbit->size(), 3u);
    EXPECT_EQ((*orbit)[0], "eye 0 -5 0\ncenter 0 0 0\nup 0 0 1\ntolerances 0 0 0\n");
    // A quarter turn about +z takes (0,-5,0) to (5,0,0), then to (0,5,0).
    float x, y, z;
    ASSERT_EQ(std::sscanf((*orbit)[1].c_str(), "eye %f %f %f", &x, &y, &z), 3);
    EXPECT_NEAR(x, 5, 1e-4);
    EXPECT_NEAR(y, 0, 1e-4);
    ASSERT_EQ(std::sscanf((*orbit)[2].c_str(), "eye %f %f %f", &x, &y, &z), 3);
    EXPECT_NEAR(y, 5, 1e-4);
}

const char kOneFrustum[] = "frustum 0\ncenter 0 1 0\nup 0 0 1\nnormal 0 1 0\ndimension 320 256 1\n";

void AddMovie(QueueDb& db, const std::string& name, const std::string& status, bool withFrames = true) {
    ASSERT_TRUE(db.Execute("insert into VOXA_Movies (name,options,frusta,destinations,status) values (" +
                           db.Quote(name) + ",''," + db.Quote(kOneFrustum) + ",'h /d\n'," +
                           db.Quote(status) + ")")
                    .ok());
    if (withFrames) {
        ASSERT_TRUE(db.Execute("create table " + FrameTable(name) + " " + kFrameTableColumns).ok());
    }
}

TEST(MovieSetUp, RoundRobinSkipsWhatCannotBeSetUp) {
    REQUIRE_SERVER();
    FreshDatabase fresh(SharedMariaDb());
    auto db = fresh.Connect();
    ASSERT_NE(db, nullptr);
    int index = 0;
    auto empty = SetUpNextMovie(*db, &index, 320, 256, {});
    ASSERT_TRUE(empty.ok());  // an empty movie list is "no movie", not a failure
    EXPECT_FALSE(empty->movie.has_value());

    AddMovie(*db, "m1", "New");
    AddMovie(*db, "m2", "FilesCreated");
    AddMovie(*db, "m3", "Completed");
    AddMovie(*db, "m4", "FilesCreated");
    index = 3;
    auto fourth = SetUpNextMovie(*db, &index, 320, 256, {});
    ASSERT_TRUE(fourth.ok());
    ASSERT_TRUE(fourth->movie.has_value());
    EXPECT_EQ(fourth->movie->name, "m4");
    EXPECT_EQ(index, 3);
    ++index;  // given up: 4 mod 4 = 0, the second movie is next
    auto second = SetUpNextMovie(*db, &index, 320, 256, {});
    ASSERT_TRUE(second->movie.has_value());
    EXPECT_EQ(second->movie->name, "m2");

    // m2 loses its frame table, m4 gets a panel larger than the window:
    // both are passed over, and with nothing else ready there is no movie.
    ASSERT_TRUE(db->Execute("drop table `frames_m2`").ok());
    std::string logged;
    index = 1;
    auto skipped = SetUpNextMovie(*db, &index, 320, 256, [&](const std::string& t) { logged += t; });
    ASSERT_TRUE(skipped.ok());
    EXPECT_EQ(skipped->movie->name, "m4");
    EXPECT_NE(logged.find("frames_m2"), std::string::npos);
    auto none = SetUpNextMovie(*db, &index, 160, 128, {});
    ASSERT_TRUE(none.ok());
    EXPECT_FALSE(none->movie.has_value());
    EXPECT_EQ(none->failedMovies, 2);
}

TEST(MovieSetUp, FramesKeepTheirNumbersAcrossGaps) {
    REQUIRE_SERVER();
    FreshDatabase fresh(SharedMariaDb());
    auto db = fresh.Connect();
    ASSERT_NE(db, nullptr);
    AddMovie(*db, "gap", "FilesCreated");
    ASSERT_TRUE(db->Execute("insert into `frames_gap` (number,zbfile,status) values (1,'a.zb','New'),"
                            "(3,'c.zb','New'),(2,NULL,'New')")
                    .ok());
    ASSERT_TRUE(db->Execute("delete from `frames_gap` where number=2").ok());
    auto movie = LoadMovieByName(*db, "gap", 320, 256);
    ASSERT_TRUE(movie.ok()) << movie.status().message();
    EXPECT_EQ(movie->FrameCount(), 2);
    EXPECT_EQ(movie->frameZb.at(1), "a.zb");
    EXPECT_EQ(movie->frameZb.at(3), "c.zb");  // not paired with position 2
    EXPECT_EQ(movie->frameZb.count(2), 0u);
}

}  // namespace
}  // namespace voxa::queue
