#include "queue/queue_db.h"

#include "platform/test_support.h"
#include "queue/queue_test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace voxa::queue {
namespace {

using testing::FreshDatabase;
using testing::SharedMariaDb;

#define REQUIRE_SERVER() VOXA_REQUIRE_QUEUE_SERVER()

TEST(QueueSettings, WordsPortSocketAndLimits) {
    auto three = ParseQueueSettings("dbhost   alice  secret\n");
    ASSERT_TRUE(three.ok());
    EXPECT_EQ(three->host, "dbhost");
    EXPECT_EQ(three->user, "alice");
    EXPECT_EQ(three->password, "secret");
    EXPECT_EQ(three->port, 0u);
    EXPECT_EQ(three->socket, "");

    auto two = ParseQueueSettings("dbhost alice");
    ASSERT_TRUE(two.ok());
    EXPECT_EQ(two->password, kDefaultQueuePassword);  // missing words keep defaults

    auto port = ParseQueueSettings("h u p 3307");
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(port->port, 3307u);
    auto socket = ParseQueueSettings("h u p /run/q.sock");
    ASSERT_TRUE(socket.ok());
    EXPECT_EQ(socket->socket, "/run/q.sock");

    EXPECT_FALSE(ParseQueueSettings("h u p 70000").ok());
    EXPECT_FALSE(ParseQueueSettings("h u p 0").ok());
    EXPECT_FALSE(ParseQueueSettings(std::string(256, 'h') + " u p").ok());
    EXPECT_TRUE(ParseQueueSettings(std::string(255, 'h') + " u p").ok());
    auto empty = ParseQueueSettings("");
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(empty->user, kDefaultQueueUser);
}

TEST(QueueSettings, FileFallbackAndEnvironment) {
    ::voxa::testing::FreshRoot root;
    ::voxa::testing::TempDir shared;
    ::voxa::testing::ScopedEnv sharedEnv("VOXA_SHARED", shared.Path().c_str());
    ::voxa::testing::ScopedEnv tcp("MYSQL_TCP_PORT", "4406");
    ::voxa::testing::ScopedEnv unixPort("MYSQL_UNIX_PORT", nullptr);
    ::voxa::testing::ScopedEnv db(kQueueDatabaseEnv, nullptr);

    auto none = ReadQueueSettings();  // no file anywhere: defaults + environment
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(none->user, "ops");
    EXPECT_EQ(none->password, "plum");
    EXPECT_EQ(none->port, 4406u);
    EXPECT_EQ(none->database, "VOXA_PROJECTS");

    ASSERT_TRUE(::voxa::testing::WriteWholeFile(shared.File("VOXA_DEFAULT_SQL_QUEUE.txt"), "s1 u1 p1\n"));
    EXPECT_EQ(ReadQueueSettings()->host, "s1");
    ASSERT_TRUE(::voxa::testing::WriteWholeFile(root.File("VOXA_DEFAULT_SQL_QUEUE.txt"), "r1 u2 p2 5555\n"));
    auto local = ReadQueueSettings();
    EXPECT_EQ(local->host, "r1");
    EXPECT_EQ(local->port, 5555u);  // the file's port wins over the environment
}

TEST(QueueNames, QuotingAndMovieNames) {
    EXPECT_EQ(QuoteIdentifier("a`b"), "`a``b`");
    EXPECT_EQ(FrameTable("m-1"), "`frames_m-1`");
    EXPECT_TRUE(CheckMovieName("head-2024").ok());
    EXPECT_TRUE(CheckMovieName("o'brien").ok());
    EXPECT_TRUE(CheckMovieName(std::string(57, 'a')).ok());
    EXPECT_FALSE(CheckMovieName(std::string(58, 'a')).ok());
    EXPECT_FALSE(CheckMovieName("").ok());
    EXPECT_FALSE(CheckMovieName("a b").ok());
    EXPECT_FALSE(CheckMovieName("a/b").ok());
    EXPECT_FALSE(CheckMovieName("a`b").ok());
    EXPECT_FALSE(CheckMovieName(std::string("a\0b", 3)).ok());
    EXPECT_FALSE(CheckMovieName(".hidden").ok());
}

TEST(QueueDb, ConnectFailsCleanlyWithinTheTimeOut) {
    QueueSettings s;
    s.host = "127.0.0.1";
    s.port = ::voxa::testing::FreePort();  // nothing listens
    s.timeoutSeconds = 2;
    auto db = QueueDb::ConnectQueueHost(s);
    ASSERT_FALSE(db.ok());
    EXPECT_EQ(db.status().code(), StatusCode::kUnavailable);
    EXPECT_NE(db.status().message().find("Was unable to connect to MySQL host"), std::string::npos);
}

TEST(QueueDb, ValuesTravelWithLengthsNullsAndEscapes) {
    REQUIRE_SERVER();
    FreshDatabase fresh(SharedMariaDb());
    auto db = fresh.Connect();
    ASSERT_NE(db, nullptr);
    ASSERT_TRUE(db->Execute("create table t (number int primary key, b blob, s varchar(255))").ok());
    const std::string blob("a\0b'c\\d\"e\n", 10);
    const std::string quote = "it's; drop table t; --";
    ASSERT_TRUE(db->Execute("insert into t values (1," + db->Quote(blob) + "," + db->Quote(quote) + ")").ok());
    ASSERT_TRUE(db->Execute("insert into t values (2,NULL,'')").ok());
    // A statement longer than any fixed buffer.
    const std::string big(5000, 'x');
    ASSERT_TRUE(db->Execute("insert into t values (3," + db->Quote(big) + ",'big')").ok());

    auto rows = db->Query("select number,b,s from t order by number");
    ASSERT_TRUE(rows.ok()) << rows.status().message();
    ASSERT_EQ(rows->size(), 3u);
    EXPECT_EQ((*rows)[0][1].value(), blob);  // NUL inside kept
    EXPECT_EQ((*rows)[0][2].value(), quote);
    EXPECT_FALSE((*rows)[1][1].has_value());  // NULL is reported as such
    EXPECT_EQ((*rows)[1][2].value(), "");     // and differs from empty
    EXPECT_EQ((*rows)[2][1].value(), big);

    auto value = db->SelectValue("t", "s", "number=9");
    ASSERT_TRUE(value.ok());
    EXPECT_FALSE(value->has_value());  // no row
    auto one = db->SelectValue("t", "s", "number=1");
    ASSERT_TRUE(one.ok());
    EXPECT_EQ(one->value(), quote);

    auto changed = db->UpdateRows("t", "s='y'", "number>=2");
    ASSERT_TRUE(changed.ok());
    EXPECT_EQ(*changed, 2u);
    changed = db->UpdateRows("t", "s='y'", "number>=2");  // already so: nothing changed
    EXPECT_EQ(*changed, 0u);

    // A failed select is an error, not a crash, and the table is unchanged.
    auto bad = db->Query("select nosuchcolumn from t");
    EXPECT_FALSE(bad.ok());
    EXPECT_NE(bad.status().message().find("nosuchcolumn"), std::string::npos);
    auto missing = db->SelectNumberStatus("`frames_none`", "1");
    EXPECT_FALSE(missing.ok());
    EXPECT_EQ(db->Query("select count(*) from t")->at(0)[0].value(), "3");
}

TEST(QueueDb, UseOrCreateDatabaseCreatesOnlyWhenMissing) {
    REQUIRE_SERVER();
    FreshDatabase fresh(SharedMariaDb());
    auto db = fresh.Connect();
    ASSERT_NE(db, nullptr);
    const std::string other = fresh.Name() + "-x";
    ASSERT_TRUE(db->UseOrCreateDatabase(other).ok());
    auto current = db->Query("select database()");
    EXPECT_EQ((*current)[0][0].value(), other);
    ASSERT_TRUE(db->Execute("create table kept (a int)").ok());
    ASSERT_TRUE(db->UseOrCreateDatabase(fresh.Name()).ok());
    ASSERT_TRUE(db->UseOrCreateDatabase(other).ok());  // exists: used, not re-created
    EXPECT_TRUE(db->Query("select * from kept").ok());
    ASSERT_TRUE(db->Execute("drop database " + QuoteIdentifier(other)).ok());
}

}  // namespace
}  // namespace voxa::queue
