// The render farm end to end: a private database, a loopback spool server,
// node processes (voxa_saver -headless), movies authored with voxa_movie,
// and every panel of every frame checked byte for byte against what
// voxa_render --movie renders for it.
#include "platform/test_support.h"
#include "queue/queue_test_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace voxa::queue {
namespace {

using ::voxa::testing::ChildProcess;
using ::voxa::testing::ReadWholeFile;
using ::voxa::testing::RunCommand;
using ::voxa::testing::WaitFor;
using testing::FreshDatabase;
using testing::SharedMariaDb;

const std::string kBin = VOXA_BIN_DIR;
constexpr char kHead[] = "/usr/share/mricron/templates/ch2.nii.gz";
constexpr int kFrames = 12;
constexpr int kPanelW = 160, kPanelH = 128;
constexpr size_t kFrameBytes = static_cast<size_t>(kPanelW) * kPanelH * 3;
const std::string kGeometry = std::to_string(kPanelW) + "x" + std::to_string(kPanelH);

// 'text' for the shell.
std::string ShellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

class Farm {
public:
    explicit Farm(FreshDatabase& db) : m_db(db) {}

    bool Start(std::string* why) {
        const std::string root = m_db.Root().Path();
        m_wall = root + "/data/wall";
        if (RunCommand("mkdir -p " + m_wall + " " + root + "/vol").status != 0) return false;
        auto made = RunCommand(kBin + "/zbmake " + kHead + " " + root + "/vol/head.zb > /dev/null 2>&1");
        if (made.status != 0) {
            *why = "zbmake failed";
            return false;
        }
        ::voxa::testing::WriteWholeFile(root + "/head.keys",
                                        "eye 5.5 7.5 2\ncenter 0 0 -0.15\nup 0 0 1\ntolerances 0 0 0\n"
                                        "notsac 2 2\nanot 40 0\nanot 255 1\ncnot 0 0.2 0.1 0\ncnot 255 1 0.9 0.7\n");
        m_spoolPort = ::voxa::testing::FreePort();
        m_spool = std::make_unique<ChildProcess>(std::vector<std::string>{
            kBin + "/spool", "--persist", "--bind", "127.0.0.1", "--port", std::to_string(m_spoolPort)});
        if (!WaitFor([&] { return ::voxa::testing::Listening(m_spoolPort); }, 20000)) {
            *why = "spool did not listen";
            return false;
        }
        return true;
    }

    int Create(const std::string& name, const std::string& options = "") {
        const std::string root = m_db.Root().Path();
        std::string optionsArg;
        if (!options.empty()) {
            ::voxa::testing::WriteWholeFile(root + "/" + name + ".options", options);
            optionsArg = " --options " + ShellQuote(root + "/" + name + ".options");
        }
        return RunCommand(kBin + "/voxa_movie create " + ShellQuote(name) + " --zb " + root + "/vol/head.zb --orbit " +
                          std::to_string(kFrames) + ",30,0 --keys " + root +
                          "/head.keys --wall 2x1 --panel " + kGeometry + " --dest 127.0.0.1:" + m_wall +
                          optionsArg + " > /dev/null")
            .status;
    }

    std::unique_ptr<ChildProcess> Node(const std::string& name, int staleSeconds = 300) {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{kBin + "/voxa_saver", "-headless", "-geometry", kGeometry, "--until-idle",
                                     "--node-name", name, "--stale-seconds", std::to_string(staleSeconds)},
            std::vector<std::pair<std::string, std::string>>{{"VOXA_SPOOL1_PORT", std::to_string(m_spoolPort)}});
    }

    // Claims made per frame index of a movie, from the nodes' log.
    std::map<int, int> Claims(const std::string& movie) {
        std::istringstream log(ReadWholeFile(m_db.Root().File("DEBUG_SCR1.txt")));
        std::map<int, int> claims;
        std::string line;
        while (std::getline(log, line))
            if (line.rfind("iFrame=", 0) == 0 && line.find("  movie=" + movie + "  ") != std::string::npos)
                ++claims[std::atoi(line.c_str() + 7)];
        return claims;
    }

    // Compares every frame of both panel files with voxa_render --movie.
    void ExpectFilesMatchReference(const std::string& name) {
        for (int panel = 0; panel < 2; ++panel) {
            std::string file = m_wall + "/" + name + "_0" + std::to_string(panel);
            std::string movie = ReadWholeFile(file);
            ASSERT_EQ(movie.size(), kFrames * kFrameBytes) << file;
            // One voxa_render run renders the panel of every frame in turn
            // (each frame from the movie's baseline view, as on the nodes).
            std::string ref = m_db.Root().File("ref.pix");
            auto r = RunCommand(kBin + "/voxa_render --movie " + ShellQuote(name) + " --frame 1 --frames " +
                                std::to_string(kFrames) + " --panel " + std::to_string(panel) + " --size " +
                                kGeometry + " --out " + ref + " > /dev/null");
            ASSERT_EQ(r.status, 0);
            for (int frame = 1; frame <= kFrames; ++frame) {
                char numbered[32];
                std::snprintf(numbered, sizeof(numbered), "ref_%04d.pix", frame - 1);
                std::string expected = ReadWholeFile(m_db.Root().File(numbered));
                ASSERT_EQ(expected.size(), kFrameBytes);
                EXPECT_TRUE(movie.compare((frame - 1) * kFrameBytes, kFrameBytes, expected) == 0)
                    << name << " panel " << panel << " frame " << frame;
                // Not a blank picture: the head covers part of it.
                size_t lit = 0;
                for (char c : expected) lit += c != 0;
                EXPECT_GT(lit, kFrameBytes / 50) << "frame " << frame << " panel " << panel;
            }
        }
    }

    std::string Value(const std::string& sql) {
        auto db = m_db.Connect();
        if (!db) return "(no connection)";
        auto rows = db->Query(sql);
        if (!rows.ok() || rows->empty() || !(*rows)[0][0]) return "(null)";
        return *(*rows)[0][0];
    }

private:
    FreshDatabase& m_db;
    std::string m_wall;
    uint16_t m_spoolPort = 0;
    std::unique_ptr<ChildProcess> m_spool;
};

TEST(RenderFarm, TwoNodesRenderEveryFrameOnceThroughKillsAndRestarts) {
    VOXA_REQUIRE_QUEUE_SERVER();
    if (access(kHead, R_OK) != 0) GTEST_SKIP() << "no sample volume " << kHead;
    FreshDatabase db(SharedMariaDb());
    Farm farm(db);
    std::string why;
    ASSERT_TRUE(farm.Start(&why)) << why;

    {
        SCOPED_TRACE("two nodes, two movies");
        // The first movie's options must not carry over into the second.
        ASSERT_EQ(farm.Create("wall-1", "ShowColorBar 1\n"), 0);
        ASSERT_EQ(farm.Create("wall-2"), 0);
        auto a = farm.Node("a");
        auto b = farm.Node("b");
        EXPECT_EQ(a->Wait(300000), 0);
        EXPECT_EQ(b->Wait(300000), 0);
        EXPECT_EQ(farm.Value("select status from VOXA_Movies where name='wall-1'"), "Completed");
        EXPECT_EQ(farm.Value("select count(*) from `frames_wall-1` where status in ('Finished by a','Finished by b')"),
                  std::to_string(kFrames));
        EXPECT_EQ(farm.Value("select status from VOXA_Movies where name='wall-2'"), "Completed");
        for (const char* movie : {"wall-1", "wall-2"}) {
            auto claims = farm.Claims(movie);
            EXPECT_EQ(claims.size(), static_cast<size_t>(kFrames)) << movie;
            for (auto [frame, n] : claims) EXPECT_EQ(n, 1) << movie << " frame index " << frame;
            farm.ExpectFilesMatchReference(movie);
        }
        // The colour bar of wall-1 (in the bottom rows of panel 0) is not in wall-2.
        std::string bar = ReadWholeFile(db.Root().File("data/wall/wall-1_00")).substr(0, kFrameBytes);
        std::string plain = ReadWholeFile(db.Root().File("data/wall/wall-2_00")).substr(0, kFrameBytes);
        EXPECT_NE(bar.substr(0, kPanelW * 3 * 30), plain.substr(0, kPanelW * 3 * 30));
    }

    {
        SCOPED_TRACE("a node killed mid-frame");
        ASSERT_EQ(farm.Create("kill'd"), 0);
        // SIGTERM mid-movie: the node ends cleanly and holds no claim.
        auto t = farm.Node("t");
        ASSERT_TRUE(WaitFor([&] {
            return farm.Value("select count(*) from `frames_kill'd` where status='Started by t'") != "0";
        }, 60000));
        t->Signal(SIGTERM);
        EXPECT_EQ(t->Wait(60000), 0);
        EXPECT_EQ(farm.Value("select count(*) from `frames_kill'd` where status='Started by t'"), "0");
        EXPECT_EQ(farm.Value("select count(*) from `frames_kill'd` where status='New'"),
                  std::to_string(kFrames - std::atoi(farm.Value(
                      "select count(*) from `frames_kill'd` where status='Finished by t'").c_str())));
        auto a = farm.Node("a");
        // Freeze node a while it holds a claim, then kill it.
        bool killed = false;
        for (int tries = 0; tries < 200 && !killed; ++tries) {
            if (!WaitFor([&] { return farm.Value("select count(*) from `frames_kill'd` where status='Started by a'") != "0"; },
                         60000))
                break;
            a->Signal(SIGSTOP);
            if (farm.Value("select count(*) from `frames_kill'd` where status='Started by a'") != "0") {
                a->Signal(SIGKILL);
                killed = true;
            } else {
                a->Signal(SIGCONT);
            }
        }
        ASSERT_TRUE(killed);
        EXPECT_EQ(a->Wait(20000), 128 + SIGKILL);
        EXPECT_EQ(farm.Value("select status from VOXA_Movies where name='kill\\'d'"), "FilesCreated");
        // Once the claim is stale (3 s here) another node takes it over.
        ASSERT_TRUE(WaitFor([&] {
            return farm.Value("select count(*) from `frames_kill'd` where status='Started by a' and "
                              "start < NOW() - INTERVAL 4 SECOND") != "0";
        }, 30000));
        auto b = farm.Node("b", 3);
        EXPECT_EQ(b->Wait(300000), 0);
        EXPECT_EQ(farm.Value("select status from VOXA_Movies where name='kill\\'d'"), "Completed");
        EXPECT_EQ(farm.Value("select count(*) from `frames_kill'd` where status like 'Finished by %'"),
                  std::to_string(kFrames));
        farm.ExpectFilesMatchReference("kill'd");
    }

    {
        SCOPED_TRACE("database restarted mid-movie");
        ASSERT_EQ(farm.Create("restart"), 0);
        auto a = farm.Node("a");
        auto b = farm.Node("b");
        ASSERT_TRUE(WaitFor([&] {
            return std::atoi(farm.Value("select count(*) from `frames_restart` where status like 'Finished%'").c_str()) >= 2;
        }, 120000));
        ASSERT_TRUE(SharedMariaDb().Restart()) << SharedMariaDb().Error();
        EXPECT_EQ(a->Wait(300000), 0);
        EXPECT_EQ(b->Wait(300000), 0);
        EXPECT_EQ(farm.Value("select status from VOXA_Movies where name='restart'"), "Completed");
        EXPECT_EQ(farm.Value("select count(*) from `frames_restart` where status like 'Finished by %'"),
                  std::to_string(kFrames));
        farm.ExpectFilesMatchReference("restart");
    }
}

}  // namespace
}  // namespace voxa::queue
