#include "queue/frame_queue.h"

#include "queue/frame_delivery.h"
#include "queue/queue_test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace voxa::queue {
namespace {

using testing::FreshDatabase;
using testing::SharedMariaDb;

constexpr char kTwoPanels[] =
    "frustum 0\ncenter -0.5 1 0\nup 0 0 1\nnormal 0 1 0\ndimension 4 2 1\n"
    "frustum 1\ncenter 0.5 1 0\nup 0 0 1\nnormal 0 1 0\ndimension 4 2 1\n";

// Renders a panel as its frame's keyword text and panel number would look:
// every byte the same, so deliveries can be told apart.
class FakeRenderer : public FrameRenderer {
public:
    Status BeginMovie(const Movie&) override { return Status::Ok(); }
    Result<std::vector<unsigned char>> RenderPanel(const Movie& movie, std::string_view keywords,
                                                   const std::string& zbPath, int panel) override {
        lastZb = zbPath;
        const Panel& p = movie.panels[static_cast<size_t>(panel)];
        unsigned char v = static_cast<unsigned char>(keywords.size() * 7 + static_cast<size_t>(panel));
        return std::vector<unsigned char>(static_cast<size_t>(p.width * p.height * 3), v);
    }
    std::string lastZb;
};

// Records what arrives; fails on request; raises a stop flag after a
// number of deliveries.
class RecordingSink : public PanelSink {
public:
    Status Deliver(const Panel& panel, int frameIndex, std::span<const unsigned char> pixels) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (refuse) return Refused("destination refused");
        ++deliveries[{panel.file, frameIndex}];
        // The one byte value of the image, -1 when its bytes differ or its
        // size is not the panel's.
        int v = pixels.size() == static_cast<size_t>(panel.width) * panel.height * 3 && !pixels.empty()
                    ? pixels[0]
                    : -1;
        for (unsigned char b : pixels) v = b == pixels[0] ? v : -1;
        values[{panel.file, frameIndex}] = v;
        if (onDelivered) onDelivered(frameIndex);
        if (stopAfter > 0 && --stopAfter == 0 && stop != nullptr) stop->store(true);
        return Status::Ok();
    }
    std::mutex mutex;
    std::map<std::pair<std::string, int>, int> deliveries;
    std::map<std::pair<std::string, int>, int> values;
    bool refuse = false;
    int stopAfter = 0;
    std::atomic<bool>* stop = nullptr;
    std::function<void(int)> onDelivered;
};

class FrameQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        VOXA_REQUIRE_QUEUE_SERVER();
        fresh = std::make_unique<FreshDatabase>(SharedMariaDb());
        db = fresh->Connect();
        ASSERT_NE(db, nullptr);
    }
    void TearDown() override {
        db.reset();
        fresh.reset();
    }
    NodeConfig Config(const std::string& node) {
        NodeConfig c;
        c.settings = fresh->Settings();
        c.nodeName = node;
        c.filesHost = "here";
        c.windowWidth = 320;
        c.windowHeight = 256;
        return c;
    }
    // A movie of `frames` frames whose ZB files are f<n>.zb; the ones listed
    // in `held` are registered for host "here".
    void MakeMovie(const std::string& name, int frames, int held, const std::string& status = "FilesCreated") {
        ASSERT_TRUE(db->Execute("insert into VOXA_Movies (name,options,frusta,destinations,status) values (" +
                                db->Quote(name) + ",''," + db->Quote(kTwoPanels) + ",'a /w\nb /w\n'," +
                                db->Quote(status) + ")")
                        .ok());
        ASSERT_TRUE(db->Execute("create table " + FrameTable(name) + " " + kFrameTableColumns).ok());
        for (int n = 1; n <= frames; ++n) {
            std::string zb = "f" + std::to_string(n) + ".zb";
            ASSERT_TRUE(db->Execute("insert into " + FrameTable(name) + " (zbfile,voxain,status) values (" +
                                    db->Quote(zb) + ",'eye 0 0 " + std::to_string(n) + "','New')")
                            .ok());
            if (n <= held) Hold(zb);
        }
    }
    void Hold(const std::string& zb, const std::string& dir = "/data") {
        ASSERT_TRUE(db->Execute("insert into Files (host,mount,dir,name) values ('here',''," + db->Quote(dir) +
                                "," + db->Quote(zb) + ")")
                        .ok());
    }
    std::string Value(const std::string& sql) {
        auto rows = db->Query(sql);
        EXPECT_TRUE(rows.ok()) << rows.status().message();
        if (!rows.ok() || rows->empty() || !(*rows)[0][0]) return "(null)";
        return *(*rows)[0][0];
    }
    std::unique_ptr<FreshDatabase> fresh;
    std::unique_ptr<QueueDb> db;
    FakeRenderer renderer;
    RecordingSink sink;
};

TEST_F(FrameQueueTest, RendersEveryFrameThenCompletesTheMovie) {
    MakeMovie("m-1", 3, 3);
    QueueNode node(Config("n1"), renderer, sink);
    EXPECT_EQ(node.RunQueueStep(), 1);
    EXPECT_EQ(node.LastOutcome(), StepOutcome::kRendered);
    EXPECT_EQ(renderer.lastZb, "/data/f1.zb");
    EXPECT_EQ(node.RunQueueStep(), 1);
    EXPECT_EQ(node.RunQueueStep(), 1);
    EXPECT_EQ(node.LastOutcome(), StepOutcome::kCompleted);
    EXPECT_EQ(Value("select status from VOXA_Movies where name='m-1'"), "Completed");
    EXPECT_EQ(Value("select count(*) from `frames_m-1` where status='Finished by n1'"), "3");
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ((sink.deliveries[{"/w/m-1_00", k}]), 1);
        EXPECT_EQ((sink.deliveries[{"/w/m-1_01", k}]), 1);
        // Each file gets its own panel's image of the frame's keyword text
        // ("eye 0 0 N", 9 characters): 9 x 7 + panel in every byte.
        EXPECT_EQ((sink.values[{"/w/m-1_00", k}]), 63) << "frame index " << k;
        EXPECT_EQ((sink.values[{"/w/m-1_01", k}]), 64) << "frame index " << k;
    }
    EXPECT_EQ(node.RunQueueStep(), 0);
    EXPECT_EQ(node.LastOutcome(), StepOutcome::kNoMovie);
    EXPECT_TRUE(node.IdleRoundDone());
}

TEST_F(FrameQueueTest, ServerStampsClaimAndFinishWhateverTheTimestampDefaults) {
    for (const char* mode : {"1", "0"}) {
        SCOPED_TRACE(mode);
        // The frame table exactly as authors define it, made under either
        // setting of explicit_defaults_for_timestamp.
        const std::string name = std::string("ts") + mode;
        ASSERT_TRUE(db->Execute(std::string("set session explicit_defaults_for_timestamp=") + mode).ok());
        MakeMovie(name, 1, 0);
        Hold("f1.zb", "/ts" + std::string(mode));
        QueueNode node(Config("n1"), renderer, sink);
        ASSERT_EQ(node.RunQueueStep(), 1) << node.LastError();
        std::string table = FrameTable(name);
        EXPECT_EQ(Value("select status from " + table), "Finished by n1");
        EXPECT_EQ(Value("select start is not null and finish is not null and start <= finish and "
                        "finish >= NOW() - INTERVAL 60 SECOND from " + table),
                  "1");
        // The finish kept the claim time: move the claim back, finish again.
        ASSERT_TRUE(db->Execute("update " + table + " set start=NOW() - INTERVAL 100 SECOND, status='Started by n1'").ok());
        ASSERT_TRUE(db->Execute("update " + table + " set status='Finished by n1', start=start, finish=NOW()").ok());
        EXPECT_EQ(Value("select timestampdiff(second, start, finish) >= 99 from " + table), "1");
    }
}

TEST_F(FrameQueueTest, TwoNodesRacingClaimEachFrameOnce) {
    for (bool takeOver : {false, true}) {
        SCOPED_TRACE(takeOver ? "take-over" : "new");
        const std::string name = takeOver ? "race_old" : "race_new";
        MakeMovie(name, 12, 0);
        for (int n = 1; n <= 12; ++n) Hold("f" + std::to_string(n) + ".zb", "/" + name);
        if (takeOver) {
            ASSERT_TRUE(db->Execute("update " + FrameTable(name) +
                                    " set status='Started by dead', start=NOW() - INTERVAL 400 SECOND")
                            .ok());
        }
        RecordingSink shared;
        FakeRenderer r1, r2;
        auto run = [&](const std::string& node, FrameRenderer& r) {
            QueueNode q(Config(node), r, shared);
            for (int i = 0; i < 40 && !q.IdleRoundDone(); ++i)
                q.RunQueueStep();
        };
        std::thread a(run, "a", std::ref(r1)), b(run, "b", std::ref(r2));
        a.join();
        b.join();
        for (int k = 0; k < 12; ++k)
            EXPECT_EQ((shared.deliveries[{"/w/" + name + "_00", k}]), 1) << "frame index " << k;
        EXPECT_EQ(Value("select count(*) from " + FrameTable(name) + " where status like 'Finished by %'"), "12");
        EXPECT_EQ(Value("select status from VOXA_Movies where name=" + db->Quote(name)), "Completed");
        ASSERT_TRUE(db->Execute("update VOXA_Movies set status='Done' where name=" + db->Quote(name)).ok());
    }
}

TEST_F(FrameQueueTest, OnlyClaimsOlderThanTheStaleTimeAreTakenOver) {
    MakeMovie("stale", 2, 2);
    std::string t = FrameTable("stale");
    ASSERT_TRUE(db->Execute("update " + t + " set status='Started by other', start=NOW() - INTERVAL 301 SECOND where number=1").ok());
    ASSERT_TRUE(db->Execute("update " + t + " set status='Started by other', start=NOW() - INTERVAL 299 SECOND where number=2").ok());
    QueueNode node(Config("n1"), renderer, sink);
    EXPECT_EQ(node.RunQueueStep(), 1);
    EXPECT_EQ(Value("select status from " + t + " where number=1"), "Finished by n1");
    EXPECT_EQ(node.RunQueueStep(), 0);
    EXPECT_EQ(node.LastOutcome(), StepOutcome::kGaveUp);
    EXPECT_EQ(Value("select status from " + t + " where number=2"), "Started by other");
    EXPECT_EQ(Value("select status from VOXA_Movies"), "FilesCreated");
}

TEST_F(FrameQueueTest, FramesHeldElsewherePageThroughAndTheMovieIsDropped) {
    MakeMovie("far", 25, 0);
    ::voxa::testing::FreshRoot root;  // a fresh log file
    QueueNode node(Config("n1"), renderer, sink);
    EXPECT_EQ(node.RunQueueStep(), 0);
    EXPECT_EQ(node.LastOutcome(), StepOutcome::kGaveUp);
    EXPECT_TRUE(node.IdleRoundDone());
    std::string log = ::voxa::testing::ReadWholeFile(root.File("DEBUG_SCR1.txt"));
    size_t a = log.find("Looked for New work: iN_work=10");
    size_t b = log.find("Looked for New work: iN_work=10", a + 1);
    size_t c = log.find("Looked for New work: iN_work=5", b + 1);
    EXPECT_TRUE(a != std::string::npos && b != std::string::npos && c != std::string::npos) << log;
    EXPECT_NE(log.find("There are no frames for this node to do"), std::string::npos);
    EXPECT_EQ(Value("select count(*) from `frames_far` where status='New'"), "25");
    EXPECT_TRUE(sink.deliveries.empty());
}

TEST_F(FrameQueueTest, ZbLookupMatchesTheExactName) {
    MakeMovie("zb", 4, 0);
    std::string t = FrameTable("zb");
    ASSERT_TRUE(db->Execute("update " + t + " set zbfile='set_0001.zb' where number=1").ok());
    ASSERT_TRUE(db->Execute("update " + t + " set zbfile=NULL where number=2").ok());
    ASSERT_TRUE(db->Execute("update " + t + " set zbfile='a.zb' where number=3").ok());
    ASSERT_TRUE(db->Execute("update " + t + " set zbfile='set_0004.zb' where number=4").ok());
    Hold("set_0002.zb");  // same pattern as frame 1's name, different file
    Hold("set_0004.zb", "/old");
    Hold("set_0004.zb", "/new");  // the last row counts
    Hold("a.zb", "/short");
    Hold(std::string(100, 'd') + ".zb");
    QueueNode node(Config("n1"), renderer, sink);
    EXPECT_EQ(node.RunQueueStep(), 1);
    EXPECT_EQ(renderer.lastZb, "/short/a.zb");
    EXPECT_EQ(node.RunQueueStep(), 1);
    EXPECT_EQ(renderer.lastZb, "/new/set_0004.zb");
    EXPECT_EQ(node.RunQueueStep(), 0);
    EXPECT_EQ(Value("select count(*) from " + t + " where status='New'"), "2");

    // A path longer than a ZB name field holds is "not held".
    ASSERT_TRUE(db->Execute("update " + t + " set zbfile=" + db->Quote(std::string(100, 'd') + ".zb") +
                            " where number=1").ok());
    EXPECT_EQ(node.RunQueueStep(), 0);
    EXPECT_EQ(Value("select status from " + t + " where number=1"), "New");
}

TEST_F(FrameQueueTest, AFailedDeliveryLeavesTheFrameClaimed) {
    MakeMovie("refused", 2, 2);
    sink.refuse = true;
    QueueNode node(Config("n1"), renderer, sink);
    EXPECT_EQ(node.RunQueueStep(), 0);
    EXPECT_EQ(node.LastOutcome(), StepOutcome::kFrameFailed);
    EXPECT_NE(node.LastError().find("destination refused"), std::string::npos);
    EXPECT_EQ(Value("select status from `frames_refused` where number=1"), "Started by n1");
    EXPECT_EQ(Value("select finish is null from `frames_refused` where number=1"), "1");
    EXPECT_EQ(Value("select status from VOXA_Movies"), "FilesCreated");
    // Once the claim is stale, a node takes it over and finishes the movie.
    sink.refuse = false;
    NodeConfig quick = Config("n2");
    quick.staleSeconds = 0;
    ASSERT_TRUE(db->Execute("update `frames_refused` set start=NOW() - INTERVAL 2 SECOND where number=1").ok());
    QueueNode other(quick, renderer, sink);
    EXPECT_EQ(other.RunQueueStep(), 1);
    EXPECT_EQ(other.RunQueueStep(), 1);
    EXPECT_EQ(Value("select count(*) from `frames_refused` where status='Finished by n2'"), "2");
    EXPECT_EQ(Value("select status from VOXA_Movies"), "Completed");
}

TEST_F(FrameQueueTest, StopMidFrameReturnsTheClaim) {
    MakeMovie("stop", 1, 1);
    std::atomic<bool> stop{false};
    sink.stop = &stop;
    sink.stopAfter = 1;  // raised after the first panel
    QueueNode node(Config("n1"), renderer, sink, &stop);
    EXPECT_EQ(node.RunQueueStep(), 0);
    EXPECT_EQ(node.LastOutcome(), StepOutcome::kStopped);
    EXPECT_EQ(Value("select status from `frames_stop`"), "New");
}

TEST_F(FrameQueueTest, MoviesWithOddNamesOrNoFrameTableDoNotDisturbOthers) {
    MakeMovie("o'k", 1, 0);
    ASSERT_TRUE(db->Execute("drop table " + FrameTable("o'k")).ok());  // missing frame table
    MakeMovie("bad name", 1, 0);                                       // cannot name files
    MakeMovie("q'uote-1", 2, 0);
    Hold("f1.zb");
    Hold("f2.zb");
    ASSERT_TRUE(db->Execute("create table bystander (a int)").ok());
    ASSERT_TRUE(db->Execute("insert into bystander values (7)").ok());
    QueueNode node(Config("n1"), renderer, sink);
    EXPECT_EQ(node.RunQueueStep(), 1) << node.LastError();
    EXPECT_EQ(node.RunQueueStep(), 1);
    EXPECT_EQ(Value("select status from VOXA_Movies where name='q\\'uote-1'"), "Completed");
    EXPECT_EQ(Value("select status from VOXA_Movies where name='o\\'k'"), "FilesCreated");
    EXPECT_EQ(Value("select count(*) from VOXA_Movies"), "3");
    EXPECT_EQ(Value("select a from bystander"), "7");
    EXPECT_EQ((sink.deliveries[{"/w/q'uote-1_01", 1}]), 1);
}

TEST_F(FrameQueueTest, PreviewWindowsDoNoQueueWorkUnlessHeadless) {
    MakeMovie("small", 1, 1);
    NodeConfig preview = Config("n1");
    preview.windowWidth = 160;
    preview.windowHeight = 128;
    QueueNode shown(preview, renderer, sink);
    EXPECT_EQ(shown.RunQueueStep(), 0);
    EXPECT_EQ(shown.LastOutcome(), StepOutcome::kTooSmall);
    EXPECT_TRUE(shown.IdleRoundDone());
    EXPECT_EQ(Value("select status from `frames_small`"), "New");
    preview.previewRule = false;
    QueueNode headless(preview, renderer, sink);
    EXPECT_EQ(headless.RunQueueStep(), 1);
    EXPECT_EQ(Value("select status from `frames_small`"), "Finished by n1");
}

TEST_F(FrameQueueTest, AMovieWithNothingLeftIsCompletedWithoutAFrame) {
    MakeMovie("done", 2, 0);
    ASSERT_TRUE(db->Execute("update `frames_done` set status='Finished by x'").ok());
    QueueNode node(Config("n1"), renderer, sink);
    EXPECT_EQ(node.RunQueueStep(), 1);
    EXPECT_EQ(node.LastOutcome(), StepOutcome::kCompleted);
    EXPECT_EQ(Value("select status from VOXA_Movies"), "Completed");
}

TEST_F(FrameQueueTest, ALostServerIsAFailedStepAndTheNextStepReconnects) {
    MakeMovie("again", 1, 1);
    NodeConfig c = Config("n1");
    c.settings.port = ::voxa::testing::FreePort();
    c.settings.timeoutSeconds = 2;
    QueueNode lost(c, renderer, sink);
    EXPECT_EQ(lost.RunQueueStep(), 0);
    EXPECT_EQ(lost.LastOutcome(), StepOutcome::kFailed);
    EXPECT_FALSE(lost.IdleRoundDone());  // a dead database is not "nothing to do"
}

TEST_F(FrameQueueTest, AFrameDeliveredBeforeTheServerWentAwayIsMarkedFinishedOnceItIsBack) {
    MakeMovie("restart", 2, 2);
    // The database restarts after the last panel of frame 1 has arrived and
    // before the node can mark the frame finished.
    int panelsOfFirstFrame = 0;
    sink.onDelivered = [&](int frameIndex) {
        if (frameIndex == 0 && ++panelsOfFirstFrame == 2) {
            ASSERT_TRUE(SharedMariaDb().Restart());
        }
    };
    QueueNode node(Config("n1"), renderer, sink);
    EXPECT_EQ(node.RunQueueStep(), 0);
    EXPECT_EQ(node.LastOutcome(), StepOutcome::kFailed);
    EXPECT_FALSE(node.IdleRoundDone());  // the mark is still owed
    db = fresh->Connect();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Value("select status from `frames_restart` where number=1"), "Started by n1");
    for (int step = 0; step < 6 && Value("select status from VOXA_Movies") != "Completed"; ++step)
        node.RunQueueStep();
    EXPECT_EQ(Value("select status from `frames_restart` where number=1"), "Finished by n1");
    EXPECT_EQ(Value("select finish is not null and start <= finish from `frames_restart` where number=1"), "1");
    EXPECT_EQ(Value("select status from VOXA_Movies"), "Completed");
    // Frame 1 was not rendered and delivered a second time.
    EXPECT_EQ((sink.deliveries[{"/w/restart_00", 0}]), 1);
    EXPECT_EQ((sink.deliveries[{"/w/restart_01", 0}]), 1);
    EXPECT_EQ((sink.deliveries[{"/w/restart_00", 1}]), 1);
}

TEST(FrameDelivery, OffsetsAndCentreCut) {
    EXPECT_EQ(FrameOffset(0, 640, 480), 0u);
    EXPECT_EQ(FrameOffset(10, 640, 480), 9216000u);  // frame number 11
    EXPECT_EQ(FrameOffset(400, 2048, 2048), 5033164800ull);
    EXPECT_EQ(FrameOffset(400, 2048, 2048) >> 32, 1u);

    // A 1280x1024 image whose pixel (x, y) holds x, y and x ^ y.
    const int W = 1280, H = 1024;
    std::vector<unsigned char> image(static_cast<size_t>(W) * H * 3);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            unsigned char* p = &image[(static_cast<size_t>(y) * W + x) * 3];
            p[0] = static_cast<unsigned char>(x);
            p[1] = static_cast<unsigned char>(y);
            p[2] = static_cast<unsigned char>((x >> 8) | ((y >> 8) << 4));
        }
    auto cut = CutCenter(image, W, H, 640, 512);
    ASSERT_TRUE(cut.ok());
    ASSERT_EQ(cut->size(), 640u * 512u * 3u);
    // Rows 256..767 and columns 320..959 of the window image.
    for (int y : {0, 1, 255, 511})
        for (int x : {0, 1, 319, 639}) {
            const unsigned char* p = &(*cut)[(static_cast<size_t>(y) * 640 + x) * 3];
            int wx = x + 320, wy = y + 256;
            EXPECT_EQ(p[0], static_cast<unsigned char>(wx));
            EXPECT_EQ(p[1], static_cast<unsigned char>(wy));
            EXPECT_EQ(p[2], static_cast<unsigned char>((wx >> 8) | ((wy >> 8) << 4)));
        }
    auto whole = CutCenter(image, W, H, W, H);
    ASSERT_TRUE(whole.ok());
    EXPECT_EQ(*whole, image);
    EXPECT_FALSE(CutCenter(image, W, H, 1281, 10).ok());  // wider than the window
    EXPECT_FALSE(CutCenter(image, W, H, 10, 1025).ok());
    EXPECT_FALSE(CutCenter(image, 640, 480, 10, 10).ok());  // wrong image size
    // A 3840x2160 window works.
    std::vector<unsigned char> big(3840u * 2160u * 3u, 9);
    auto bigCut = CutCenter(big, 3840, 2160, 1920, 1080);
    ASSERT_TRUE(bigCut.ok());
    EXPECT_EQ(bigCut->size(), 1920u * 1080u * 3u);
}

}  // namespace
}  // namespace voxa::queue
