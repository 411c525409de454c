// filejobd against a private MariaDB, with a stub getfile first on PATH
// (copies SRCDIR/NAME into the current directory, or fails on demand) and
// one run with the real getfile and fileport_server.
#include "fileport/filejobd.h"
#include "platform/test_support.h"
#include "queue/queue_test_support.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace voxa::fileport {
namespace {

using queue::testing::FreshDatabase;
using queue::testing::SharedMariaDb;
using voxa::testing::ChildProcess;
using voxa::testing::ReadWholeFile;
using voxa::testing::RunCommand;
using voxa::testing::TempDir;
using voxa::testing::WaitFor;
using voxa::testing::WriteWholeFile;

const std::string kBin = VOXA_BIN_DIR;

// getfile HOST DIR NAME: logs "HOST DIR NAME" and copies DIR/NAME here;
// names starting with "fail" exit 3, "nofile" exit 0 without a file,
// "slow" sleep 60 s first; STUB_SLEEP seconds before copying. "fail" and
// "slow" start a partial copy (NAME.part) first, as the real one does, and
// leave it (the real one is killed without cleaning up after a time-out).
constexpr char kStubGetfile[] = R"(#!/bin/sh
echo "$1 $2 $3" >> "$STUB_LOG"
case "$3" in
  fail*) echo partial > "./$3.part"; echo "stub getfile: failing on purpose" >&2; exit 3 ;;
  nofile*) exit 0 ;;
  slow*) echo partial > "./$3.part"; sleep 60 ;;
esac
[ -n "$STUB_SLEEP" ] && sleep "$STUB_SLEEP"
cp "$2/$3" "./$3"
)";

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// One test's world: a fresh database with the two tables, a data root (the
// destination), a source directory, a stub getfile on PATH.
class FileJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto& server = SharedMariaDb();
        if (!server.Installed()) GTEST_SKIP() << server.Error();
        ASSERT_TRUE(server.Ok()) << server.Error();
        m_database = std::make_unique<FreshDatabase>(server);
        m_db = m_database->Connect();
        ASSERT_NE(m_db, nullptr);
        Sql(std::string("create table FileJobs ") + kFileJobsColumns);
        Sql(std::string("create table FileHosts ") + kFileHostsColumns);
        ASSERT_TRUE(WriteWholeFile(m_stubs.File("getfile"), kStubGetfile));
        chmod(m_stubs.File("getfile").c_str(), 0755);
        m_path = m_stubs.Path() + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
        m_stubLog = m_stubs.File("stub.log");
        m_dest = m_destDir.Path();
        m_src = m_srcDir.Path();
    }

    void Sql(const std::string& sql) {
        auto r = m_db->Execute(sql);
        ASSERT_TRUE(r.ok()) << r.status().message();
    }
    std::string Value(const std::string& sql) {
        auto r = m_db->Query(sql);
        if (!r.ok()) return "ERROR " + r.status().message();
        if (r->empty() || (*r)[0].empty() || !(*r)[0][0]) return "NULL";
        return *(*r)[0][0];
    }
    void Source(const std::string& name, const std::string& data) {
        ASSERT_TRUE(WriteWholeFile(m_srcDir.File(name), data));
    }
    void Job(int priority, const std::string& name, const std::string& dstHost,
             const std::string& action = "copy", std::string dstDir = "") {
        if (dstDir.empty()) dstDir = m_dest;
        Sql("insert into FileJobs (status,priority,action,name,source,destination) values ('NEW'," +
            std::to_string(priority) + "," + m_db->Quote(action) + "," + m_db->Quote(name) + "," +
            m_db->Quote("srchost:" + m_src) + "," + m_db->Quote(dstHost + ":" + dstDir) + ")");
    }
    std::string Status(const std::string& name) {
        return Value("select status from FileJobs where name=" + m_db->Quote(name));
    }
    std::vector<std::pair<std::string, std::string>> Env() const {
        return {{"PATH", m_path}, {"STUB_LOG", m_stubLog}, {"STUB_SLEEP", m_stubSleep}};
    }
    std::vector<std::string> Args(std::vector<std::string> extra) const {
        std::vector<std::string> a = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >>\"$FILEJOBD_LOG\" 2>&1",
                                      kBin + "/filejobd", "--host", m_host, "--data-root", m_dest};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    // One pass of the daemon; its exit status, its output in *out.
    int Pass(std::string* out = nullptr, std::vector<std::string> extra = {}) {
        TempDir logDir;
        auto env = Env();
        env.emplace_back("FILEJOBD_LOG", logDir.File("log"));
        ChildProcess p(Args(extra), env);
        int status = p.Wait(60000);
        if (out) *out = ReadWholeFile(logDir.File("log"));
        return status;
    }
    std::string StubLog() const { return ReadWholeFile(m_stubLog); }

    std::unique_ptr<FreshDatabase> m_database;
    std::unique_ptr<queue::QueueDb> m_db;
    TempDir m_stubs, m_destDir, m_srcDir;
    std::string m_path, m_stubLog, m_dest, m_src;
    std::string m_host = "f_rm";  // "_" is a LIKE wildcard: "farm" must not match
    std::string m_stubSleep = "0";
};

TEST(FileJobTexts, LocationsAndNames) {
    Location a = SplitLocation("node7:C:/data/movies");
    EXPECT_EQ(a.host, "node7");
    EXPECT_EQ(a.dir, "C:/data/movies");
    Location b = SplitLocation("node7:D:\\vol\\set");
    EXPECT_EQ(b.host, "node7");
    EXPECT_EQ(b.dir, "D:/vol/set");
    Location c = SplitLocation(":x:/y");  // a colon first does not count
    EXPECT_EQ(c.host, ":x");
    EXPECT_EQ(c.dir, "/y");
    Location d = SplitLocation("nocolon");
    EXPECT_EQ(d.host, "nocolon");
    EXPECT_EQ(d.dir, "");

    for (const char* good : {"a.zb", "movie_01.raw", "x-y+z,1=2@h%3#", "A"})
        EXPECT_TRUE(CheckJobFileName(good).ok()) << good;
    for (const char* bad : {"", ".", "..", "-rf", "../evil", "a/b", "a\\b", "x; rm -rf ~",
                            "a b", "$(id)", "`id`", "a*", "n\nl", "q'uote"})
        EXPECT_FALSE(CheckJobFileName(bad).ok()) << bad;
    EXPECT_FALSE(CheckJobFileName(std::string("a\0b", 3)).ok());
    EXPECT_FALSE(CheckJobFileName(std::string(256, 'a')).ok());
    EXPECT_TRUE(CheckJobFileName(std::string(255, 'a')).ok());
}

TEST(FileJobTexts, BuiltInAccountWithoutSettingsFile) {
    voxa::testing::FreshRoot root;
    TempDir shared;
    voxa::testing::ScopedEnv env("VOXA_SHARED", shared.Path().c_str());
    auto s = ReadFileJobSettings();
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(s->user, "omni");
    EXPECT_EQ(s->password, "tarnup");
    EXPECT_EQ(s->database, "VOXA_PROJECTS");
    ASSERT_TRUE(WriteWholeFile(root.File("VOXA_DEFAULT_SQL_QUEUE.txt"), "dbhost alice secret\n"));
    s = ReadFileJobSettings();
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(s->host, "dbhost");
    EXPECT_EQ(s->user, "alice");
    EXPECT_EQ(s->password, "secret");
}

TEST(FileJobCommandLine, HelpAndBadArguments) {
    voxa::testing::FreshRoot root;
    auto r = RunCommand(kBin + "/filejobd --help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--loop"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("--data-root DIR"), std::string::npos) << r.out;
    EXPECT_EQ(RunCommand(kBin + "/filejobd --bogus 2>/dev/null").status, 2);
    EXPECT_EQ(RunCommand(kBin + "/filejobd --verbose x 2>/dev/null").status, 2);
    EXPECT_EQ(RunCommand(kBin + "/filejobd --host a:b 2>/dev/null").status, 2);
    EXPECT_EQ(RunCommand(kBin + "/filejobd --data-root /no/such/dir 2>/dev/null").status, 2);
}

// Priorities 5, 2, 2, none: the 2s first in job-number order, then 5, then
// the job without a priority; jobs of
// another host (also one a LIKE pattern would match) and other actions stay
// NEW; the fetched bytes are the source's; space goes to this host's row on
// the destination's file system only.
TEST_F(FileJobTest, TakesOwnCopyJobsByPriorityThenNumber) {
    Source("a.bin", "first file\n");
    Source("b.bin", std::string(100000, 'b'));
    Source("c.bin", "third\n");
    Source("z.bin", "no priority\n");
    Sql("insert into FileJobs (status,action,name,source,destination) values ('NEW','copy','z.bin'," +
        m_db->Quote("srchost:" + m_src) + "," + m_db->Quote(m_host + ":" + m_dest) + ")");
    Job(5, "a.bin", m_host);
    Job(2, "b.bin", m_host);
    Job(2, "c.bin", m_host);
    Job(0, "other.bin", "farm");
    Job(0, "moved.bin", m_host, "move");
    Sql("insert into FileHosts (host,request) values (" + m_db->Quote(m_host + ":" + m_dest) +
        ",''),(" + m_db->Quote(m_host + ":/proc") + ",''),(" + m_db->Quote("farm:" + m_dest) + ",'')");

    std::string out;
    for (int i = 0; i < 4; ++i) ASSERT_EQ(Pass(&out), 0) << out;
    EXPECT_NE(out.find("Localhost name is: --> f_rm <--"), std::string::npos) << out;
    EXPECT_NE(out.find("Free MB To Caller = "), std::string::npos) << out;
    EXPECT_NE(out.find("Exitting!"), std::string::npos) << out;

    auto log = Lines(StubLog());
    ASSERT_EQ(log.size(), 4u) << StubLog();
    EXPECT_EQ(log[0], "srchost " + m_src + " b.bin");
    EXPECT_EQ(log[1], "srchost " + m_src + " c.bin");
    EXPECT_EQ(log[2], "srchost " + m_src + " a.bin");
    EXPECT_EQ(log[3], "srchost " + m_src + " z.bin");
    EXPECT_EQ(ReadWholeFile(m_destDir.File("a.bin")), "first file\n");
    EXPECT_TRUE(ReadWholeFile(m_destDir.File("b.bin")) == std::string(100000, 'b'));
    for (const char* n : {"a.bin", "b.bin", "c.bin", "z.bin"}) EXPECT_EQ(Status(n), "Finished") << n;
    EXPECT_EQ(Status("other.bin"), "NEW");
    EXPECT_EQ(Status("moved.bin"), "NEW");

    struct statvfs vfs {};
    ASSERT_EQ(statvfs(m_dest.c_str(), &vfs), 0);
    long long expected = static_cast<long long>((vfs.f_bavail * vfs.f_frsize) >> 20);
    long long space = std::atoll(Value("select space from FileHosts where host=" +
                                       m_db->Quote(m_host + ":" + m_dest)).c_str());
    EXPECT_LT(std::llabs(space - expected), 64) << space << " vs " << expected;
    EXPECT_EQ(Value("select space from FileHosts where host=" + m_db->Quote(m_host + ":/proc")), "NULL");
    EXPECT_EQ(Value("select space from FileHosts where host=" + m_db->Quote("farm:" + m_dest)), "NULL");

    // Nothing left: the pass idles and says so.
    ASSERT_EQ(Pass(&out, {"--idle-seconds", "0"}), 0);
    EXPECT_NE(out.find("Idling for 0 sec"), std::string::npos) << out;
    EXPECT_EQ(Lines(StubLog()).size(), 4u);
}

// The server stamps both times; finishing keeps the claim time, both with
// the table as this server creates it by default and with a first
// timestamp column that updates itself on every change (the behaviour of
// servers without explicit timestamp defaults).
TEST_F(FileJobTest, FinishedRowKeepsStartBeforeFinish) {
    Source("t.bin", "timed\n");
    m_stubSleep = "2";
    const std::string selfUpdating =
        "create table FileJobs (number int not null primary key auto_increment, status "
        "varchar(255), priority int, action varchar(255), name varchar(255), source "
        "varchar(255), destination varchar(255), started timestamp not null default "
        "current_timestamp on update current_timestamp, finished timestamp null default null)";
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "default table" : "self-updating started");
        if (round == 1) {
            Sql("drop table FileJobs");
            Sql(selfUpdating);
            ::unlink(m_destDir.File("t.bin").c_str());
        }
        Job(1, "t.bin", m_host);
        ASSERT_EQ(Pass(), 0);
        EXPECT_EQ(Status("t.bin"), "Finished");
        EXPECT_EQ(Value("select started < finished from FileJobs where name='t.bin'"), "1");
        EXPECT_EQ(Value("select timestampdiff(second, started, finished) >= 1 from FileJobs where name='t.bin'"), "1");
        EXPECT_EQ(Value("select abs(timestampdiff(second, finished, now())) < 60 from FileJobs where name='t.bin'"), "1");
        EXPECT_EQ(ReadWholeFile(m_destDir.File("t.bin")), "timed\n");
    }
}

// getfile failing, leaving no file or running too long: the job fails with
// its reason, no file stays behind, and the queue goes on.
TEST_F(FileJobTest, FailedGetfileFailsTheJob) {
    Source("ok.bin", "fine\n");
    Job(1, "fail.bin", m_host);
    Job(2, "nofile.bin", m_host);
    Job(3, "slow.bin", m_host);
    Job(4, "ok.bin", m_host);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(Pass(nullptr, {"--getfile-timeout", "1"}), 0);
    EXPECT_EQ(Status("fail.bin"), "Failed: getfile ended with status 3");
    EXPECT_EQ(Status("nofile.bin"), "Failed: getfile left no file nofile.bin in " + m_dest);
    EXPECT_EQ(Status("slow.bin"), "Failed: getfile ran longer than 1 s");
    EXPECT_EQ(Status("ok.bin"), "Finished");
    EXPECT_EQ(Value("select count(*) from FileJobs where finished is null"), "0");
    struct stat st {};
    for (const char* left : {"fail.bin", "fail.bin.part", "slow.bin", "slow.bin.part"})
        EXPECT_NE(stat(m_destDir.File(left).c_str(), &st), 0) << left;
    // The stand-in did start the partial copies that are gone now.
    EXPECT_NE(ReadWholeFile(m_stubLog).find("fail.bin"), std::string::npos);
    EXPECT_EQ(ReadWholeFile(m_destDir.File("ok.bin")), "fine\n");
}

// Unsafe names, sources and destinations are refused and nothing runs.
TEST_F(FileJobTest, UnsafeJobsAreRefusedAndNothingRuns) {
    TempDir outside;
    Job(1, "x; rm -rf ~", m_host);
    Job(2, "../up.bin", m_host);
    Job(3, "-rf", m_host);
    Job(4, "fine.bin", m_host, "copy", outside.Path());
    Job(5, "fine.bin", m_host, "copy", m_dest + "/../..");
    Sql("insert into FileJobs (status,priority,action,name,source,destination) values "
        "('NEW',6,'copy','fine.bin','-oops:/x'," + m_db->Quote(m_host + ":" + m_dest) + ")");
    std::string out;
    for (int i = 0; i < 6; ++i) ASSERT_EQ(Pass(&out), 0) << out;
    EXPECT_EQ(StubLog(), "");
    EXPECT_EQ(Value("select count(*) from FileJobs where status like 'Refused: %'"), "6")
        << Value("select group_concat(status separator ' | ') from FileJobs");
    EXPECT_EQ(Value("select status from FileJobs where priority=1"),
              "Refused: file name \"x; rm -rf ~\" holds a character other than letters, digits "
              "and ._-+,=@%#");
    EXPECT_EQ(Value("select status from FileJobs where priority=2"),
              "Refused: file name \"../up.bin\" holds a path separator");
}

// "Hold": polled about once a second, no job taken; "ShutDown" ends the
// daemon with status 0.
TEST_F(FileJobTest, HoldPollsAndShutDownEnds) {
    Source("h.bin", "held\n");
    Job(1, "h.bin", m_host);
    Sql("insert into FileHosts (host,request) values (" + m_db->Quote(m_host + ":" + m_dest) + ",'Hold')");
    TempDir logDir;
    auto env = Env();
    env.emplace_back("FILEJOBD_LOG", logDir.File("log"));
    ChildProcess p(Args({"--loop", "--idle-seconds", "1"}), env);
    ASSERT_TRUE(WaitFor([&] { return Count(ReadWholeFile(logDir.File("log")), "Requested State: Hold") >= 1; },
                        30000));
    sleep(4);
    size_t polls = Count(ReadWholeFile(logDir.File("log")), "Requested State: Hold");
    EXPECT_GE(polls, 3u);
    EXPECT_LE(polls, 7u);
    EXPECT_EQ(Status("h.bin"), "NEW");
    EXPECT_EQ(StubLog(), "");

    Sql("update FileHosts set request='Work'");
    ASSERT_TRUE(WaitFor([&] { return Status("h.bin") == "Finished"; }, 30000));
    Sql("update FileHosts set request='ShutDown'");
    EXPECT_EQ(p.Wait(30000), 0);
    EXPECT_NE(ReadWholeFile(logDir.File("log")).find("Exitting!"), std::string::npos);
}

// Two daemons of one host, 20 jobs: every job runs exactly once.
TEST_F(FileJobTest, TwoDaemonsTakeEachJobOnce) {
    for (int i = 0; i < 20; ++i) {
        std::string name = "j" + std::to_string(i) + ".bin";
        Source(name, name + " data\n");
        Job(i % 3, name, m_host);
    }
    TempDir logDir;
    auto env1 = Env(), env2 = Env();
    env1.emplace_back("FILEJOBD_LOG", logDir.File("log1"));
    env2.emplace_back("FILEJOBD_LOG", logDir.File("log2"));
    ChildProcess a(Args({"--loop", "--idle-seconds", "1"}), env1);
    ChildProcess b(Args({"--loop", "--idle-seconds", "1"}), env2);
    ASSERT_TRUE(WaitFor([&] { return Value("select count(*) from FileJobs where status='Finished'") == "20"; },
                        120000))
        << Value("select group_concat(status) from FileJobs");
    Sql("insert into FileHosts (host,request) values (" + m_db->Quote(m_host + ":" + m_dest) + ",'ShutDown')");
    EXPECT_EQ(a.Wait(30000), 0);
    EXPECT_EQ(b.Wait(30000), 0);
    std::map<std::string, int> runs;
    for (const std::string& line : Lines(StubLog())) ++runs[line.substr(line.rfind(' ') + 1)];
    EXPECT_EQ(runs.size(), 20u);
    for (const auto& [name, n] : runs) EXPECT_EQ(n, 1) << name;
    for (int i = 0; i < 20; ++i) {
        std::string name = "j" + std::to_string(i) + ".bin";
        EXPECT_EQ(ReadWholeFile(m_destDir.File(name)), name + " data\n");
    }
}

// Two daemons choose the same job at once (each pauses before its claim):
// only one claims it, getfile runs once, the other says so and goes on.
TEST_F(FileJobTest, SimultaneousChoiceClaimsOnce) {
    Source("once.bin", "only once\n");
    Job(1, "once.bin", m_host);
    TempDir logDir;
    auto env1 = Env(), env2 = Env();
    env1.emplace_back("FILEJOBD_LOG", logDir.File("log1"));
    env2.emplace_back("FILEJOBD_LOG", logDir.File("log2"));
    env1.emplace_back("VOXA_FILEJOBD_CLAIM_DELAY_MS", "3000");
    env2.emplace_back("VOXA_FILEJOBD_CLAIM_DELAY_MS", "3000");
    ChildProcess a(Args({"--idle-seconds", "0"}), env1);
    ChildProcess b(Args({"--idle-seconds", "0"}), env2);
    EXPECT_EQ(a.Wait(60000), 0);
    EXPECT_EQ(b.Wait(60000), 0);
    const std::string logs = ReadWholeFile(logDir.File("log1")) + ReadWholeFile(logDir.File("log2"));
    ASSERT_EQ(Count(logs, "iNumber: 1"), 2u) << logs;  // both chose it
    EXPECT_EQ(Lines(StubLog()).size(), 1u) << StubLog();
    EXPECT_EQ(Count(logs, "Job 1 was taken by another daemon"), 1u) << logs;
    EXPECT_EQ(Status("once.bin"), "Finished");
    EXPECT_EQ(ReadWholeFile(m_destDir.File("once.bin")), "only once\n");
}

// SIGTERM ends a long idle sleep at once (status 0); a database that cannot
// be reached ends the start with status 1.
TEST_F(FileJobTest, SigtermAndUnreachableDatabase) {
    TempDir logDir;
    auto env = Env();
    env.emplace_back("FILEJOBD_LOG", logDir.File("log"));
    ChildProcess p(Args({"--loop", "--idle-seconds", "600", "--verbose", "50"}), env);
    ASSERT_TRUE(WaitFor([&] { return ReadWholeFile(logDir.File("log")).find("Idling for 600 sec") !=
                                     std::string::npos; }, 30000));
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(15000), 0);

    WriteWholeFile(m_database->Root().File("VOXA_DEFAULT_SQL_QUEUE.txt"),
                   "127.0.0.1 voxa voxa " + std::to_string(voxa::testing::FreePort()) + "\n");
    std::string out;
    EXPECT_EQ(Pass(&out), 1);
    EXPECT_NE(out.find("ERROR:  Was unable to connect to MySQL host"), std::string::npos) << out;
}

// SIGTERM while getfile runs: getfile is ended, the job goes back to NEW
// (no start time) and the daemon ends with status 0.
TEST_F(FileJobTest, SigtermDuringGetfileReturnsTheJob) {
    Job(1, "slow.bin", m_host);
    TempDir logDir;
    auto env = Env();
    env.emplace_back("FILEJOBD_LOG", logDir.File("log"));
    ChildProcess p(Args({"--loop"}), env);
    ASSERT_TRUE(WaitFor([&] { return StubLog().find("slow.bin") != std::string::npos; }, 30000));
    EXPECT_EQ(Status("slow.bin"), "Started");
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(20000), 0) << ReadWholeFile(logDir.File("log"));
    EXPECT_EQ(Status("slow.bin"), "NEW");
    EXPECT_EQ(Value("select started is null from FileJobs where name='slow.bin'"), "1");
}

// A database restart while the daemon loops: it reconnects and goes on.
TEST_F(FileJobTest, ReconnectsAfterDatabaseRestart) {
    Source("r.bin", "after restart\n");
    TempDir logDir;
    auto env = Env();
    env.emplace_back("FILEJOBD_LOG", logDir.File("log"));
    ChildProcess p(Args({"--loop", "--idle-seconds", "1"}), env);
    ASSERT_TRUE(WaitFor([&] { return ReadWholeFile(logDir.File("log")).find("Idling") != std::string::npos; },
                        30000));
    ASSERT_TRUE(SharedMariaDb().Restart());
    m_db = m_database->Connect();
    ASSERT_NE(m_db, nullptr);
    Job(1, "r.bin", m_host);
    ASSERT_TRUE(WaitFor([&] { return Status("r.bin") == "Finished"; }, 90000))
        << ReadWholeFile(logDir.File("log"));
    EXPECT_EQ(ReadWholeFile(m_destDir.File("r.bin")), "after restart\n");
    EXPECT_NE(ReadWholeFile(logDir.File("log")).find("Reconnecting"), std::string::npos);
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(15000), 0);
}

// The real getfile from a fileport_server on loopback.
TEST_F(FileJobTest, RealGetfileFromFileportServer) {
    Source("real.bin", std::string(300000, 'r') + "end");
    uint16_t port = voxa::testing::FreePort();
    std::string portText = std::to_string(port);
    ChildProcess server({kBin + "/fileport_server", "--data-root", m_src, "--bind", "127.0.0.1",
                         "--port", portText, "--persist"});
    ASSERT_TRUE(WaitFor([&] { return voxa::testing::Listening(port); }, 30000));
    Sql("insert into FileJobs (status,priority,action,name,source,destination) values "
        "('NEW',1,'copy','real.bin'," + m_db->Quote("127.0.0.1:" + m_src) + "," +
        m_db->Quote(m_host + ":" + m_dest) + ")");
    m_path = kBin + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
    TempDir logDir;
    auto env = Env();
    env.emplace_back("FILEJOBD_LOG", logDir.File("log"));
    env.emplace_back("VOXA_REMOTEFILES_PORT", portText);
    ChildProcess p(Args({}), env);
    EXPECT_EQ(p.Wait(60000), 0) << ReadWholeFile(logDir.File("log"));
    EXPECT_EQ(Status("real.bin"), "Finished") << ReadWholeFile(logDir.File("log"));
    EXPECT_TRUE(ReadWholeFile(m_destDir.File("real.bin")) == std::string(300000, 'r') + "end");
}

}  // namespace
}  // namespace voxa::fileport
