// The node inside the saver shell against a private queue database: what a
// full-screen window claims and a preview does not, and how the program
// voxa_saver ends on SIGTERM in the middle of a frame.
#include "queue/frame_delivery.h"
#include "queue/frame_queue.h"
#include "queue/movie_render.h"
#include "queue/queue_test_support.h"
#include "queue/saver_shell.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <map>
#include <string>

#include <X11/Xlib.h>
#undef Status

namespace voxa::queue {
namespace {

using testing::FreshDatabase;
using testing::SharedMariaDb;
using ::voxa::testing::ChildProcess;
using ::voxa::testing::FreePort;
using ::voxa::testing::PrivateXServer;
using ::voxa::testing::RunCommand;
using ::voxa::testing::TempDir;
using ::voxa::testing::WaitFor;

const std::string kBin = VOXA_BIN_DIR;

// n panels of 8 x 4 pixels side by side, each a frustum of the text that
// movies carry.
std::string Panels(int n) {
    std::string text;
    for (int i = 0; i < n; ++i) {
        text += "frustum " + std::to_string(i) + "\ncenter " + std::to_string(-0.5 + i * 0.1) +
                " 1 0\nup 0 0 1\nnormal 0 1 0\ndimension 8 4 1\n";
    }
    return text;
}

// Records deliveries instead of writing them anywhere.
class RecordingSink : public PanelSink {
  public:
    Status Deliver(const Panel& panel, int frameIndex,
                   std::span<const unsigned char> pixels) override {
        ++deliveries[{panel.file, frameIndex}];
        bytes += pixels.size();
        return Status::Ok();
    }
    std::map<std::pair<std::string, int>, int> deliveries;
    size_t bytes = 0;
};

class SaverNodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!SharedMariaDb().Ok()) GTEST_SKIP() << SharedMariaDb().Error();
        if (!m_x.Ok()) GTEST_SKIP() << "Xvfb could not be started";
        m_fresh = std::make_unique<FreshDatabase>(SharedMariaDb());
        m_db = m_fresh->Connect();
        ASSERT_NE(m_db, nullptr);
        m_display = XOpenDisplay(nullptr);
        ASSERT_NE(m_display, nullptr);
    }
    void TearDown() override {
        if (m_display != nullptr) XCloseDisplay(m_display);
        m_db.reset();
        m_fresh.reset();
    }
    // Every panel goes to `destination` ("HOST DIR").
    void MakeMovie(const std::string& name, int panels, const std::string& destination) {
        std::string destinations;
        for (int i = 0; i < panels; ++i) destinations += destination + "\n";
        ASSERT_TRUE(
            m_db->Execute("insert into VOXA_Movies (name,options,frusta,destinations,status) "
                          "values (" +
                          m_db->Quote(name) + ",''," + m_db->Quote(Panels(panels)) + "," +
                          m_db->Quote(destinations) + ",'FilesCreated')")
                .ok());
        ASSERT_TRUE(
            m_db->Execute("create table " + FrameTable(name) + " " + kFrameTableColumns).ok());
        ASSERT_TRUE(m_db->Execute("insert into " + FrameTable(name) +
                                  " (zbfile,voxain,status) values ('f1.zb','eye 0 0 4','New')")
                        .ok());
        ASSERT_TRUE(
            m_db->Execute("insert into Files (host,mount,dir,name) values ('here','','/data',"
                          "'f1.zb')")
                .ok());
    }
    std::string FrameStatus(const std::string& movie) {
        auto rows = m_db->Query("select status from " + FrameTable(movie) + " where number=1");
        if (!rows.ok() || rows->empty() || !(*rows)[0][0]) return "(none)";
        return *(*rows)[0][0];
    }
    Window MakeWindow(int width, int height) {
        Window w = XCreateSimpleWindow(m_display, DefaultRootWindow(m_display), 0, 0,
                                       static_cast<unsigned>(width), static_cast<unsigned>(height),
                                       0, 0, 0);
        XMapWindow(m_display, w);
        XSync(m_display, False);
        return w;
    }

    PrivateXServer m_x{"1280x1024x24"};
    std::unique_ptr<FreshDatabase> m_fresh;
    std::unique_ptr<QueueDb> m_db;
    Display* m_display = nullptr;
};

TEST_F(SaverNodeTest, FullScreenWindowClaimsAFrameAPreviewDoesNot) {
    MakeMovie("wall", 2, "a /w");
    for (auto [width, height] : {std::pair{150, 100}, std::pair{1280, 1024}}) {
        Window w = MakeWindow(width, height);
        std::atomic<bool> stop{false};
        SaverShell shell(stop);
        ASSERT_TRUE(shell.OpenWindow({SaverWindowKind::kWindowId, w}).ok());
        HeadlessEngine engine(shell.Width(), shell.Height(), DisplayMode::kAuto);
        RenderContext saverContext(engine.Process());
        engine.AttachPipeline(saverContext);
        NodeConfig config;
        config.settings = m_fresh->Settings();
        config.nodeName = "n1";
        config.filesHost = "here";
        config.windowWidth = shell.Width();
        config.windowHeight = shell.Height();
        RecordingSink sink;
        QueueNode node(config, engine, sink, &stop);
        shell.Create(saverContext, [&node](int, int) { return node.RunQueueStep(); });
        TickOutcome outcome = shell.Core().Tick(shell.Core().NextTick());
        if (width == 150) {
            EXPECT_EQ(outcome, TickOutcome::kIdlePicture);
            EXPECT_EQ(shell.Core().QueueSteps(), 0);
            EXPECT_EQ(FrameStatus("wall"), "New");
            EXPECT_TRUE(sink.deliveries.empty());
        } else {
            EXPECT_EQ(outcome, TickOutcome::kFrame);
            EXPECT_EQ(FrameStatus("wall"), "Finished by n1");
            EXPECT_EQ((sink.deliveries[{"/w/wall_00", 0}]), 1);
            EXPECT_EQ((sink.deliveries[{"/w/wall_01", 0}]), 1);
            EXPECT_EQ(sink.bytes, 2u * 8 * 4 * 3);
        }
        engine.ReleaseContext();
        shell.Destroy();
        XDestroyWindow(m_display, w);
    }
}

TEST_F(SaverNodeTest, SigtermMidFrameLeavesTheFrameNewAndTheSpoolFree) {
    // A spool server on loopback receives the panels.
    TempDir spoolRoot;
    std::filesystem::create_directories(spoolRoot.File("w"));
    const uint16_t port = FreePort();
    const std::string portText = std::to_string(port);
    ChildProcess spool({kBin + "/spool", "--port", portText, "--bind", "127.0.0.1", "--persist",
                        "--data-root", spoolRoot.Path()});
    ASSERT_TRUE(WaitFor([port] { return ::voxa::testing::Listening(port); }, 20000));
    ::voxa::testing::ScopedEnv spoolPort("VOXA_SPOOL1_PORT", portText.c_str());

    // Many panels: the frame takes long enough to be stopped in the middle.
    MakeMovie("long", 60, "127.0.0.1 " + spoolRoot.File("w"));
    Window w = MakeWindow(1280, 1024);
    char id[32];
    std::snprintf(id, sizeof(id), "0x%lx", w);
    ChildProcess saver({kBin + "/voxa_saver", "-window-id", id, "--node-name", "n1", "--files-host",
                        "here", "--verbose"});
    ASSERT_TRUE(WaitFor([&] { return FrameStatus("long").rfind("Started by n1", 0) == 0; }, 120000))
        << FrameStatus("long");
    // Some panels have been delivered: a spool run has been opened.
    EXPECT_TRUE(
        WaitFor([&] { return std::filesystem::exists(spoolRoot.File("w/long_00")); }, 60000));
    saver.Signal(SIGTERM);
    EXPECT_EQ(saver.Wait(60000), 0);
    EXPECT_EQ(FrameStatus("long"), "New");
    // The window is the test's: still there after the saver ended.
    XWindowAttributes attributes;
    EXPECT_NE(XGetWindowAttributes(m_display, w, &attributes), 0);

    // The spool is free: another delivery goes through at once.
    Movie movie;
    Panel panel;
    panel.width = 8;
    panel.height = 4;
    panel.host = "127.0.0.1";
    panel.file = spoolRoot.File("w/after");
    std::atomic<bool> stop{false};
    SpoolSink sink(&stop, 5);
    std::vector<unsigned char> pixels(8 * 4 * 3, 7);
    Status delivered = sink.Deliver(panel, 0, pixels);
    EXPECT_TRUE(delivered.ok()) << delivered.message();
    EXPECT_EQ(std::filesystem::file_size(spoolRoot.File("w/after")), pixels.size());
}

TEST(SaverProgram, RefusesBadArgumentsAndMissingDisplays) {
    ::voxa::testing::FreshRoot root;
    struct Case {
        const char* args;
        int status;
    } cases[] = {
        {"-window-id 0", 2},    {"-window-id 12zz", 2},    {"-window-id", 2},
        {"-headless -root", 2}, {"-root --until-idle", 2}, {"-frobnicate", 2},
    };
    for (const Case& c : cases) {
        auto result = RunCommand(kBin + "/voxa_saver " + c.args + " 2>/dev/null");
        EXPECT_EQ(result.status, c.status) << c.args;
    }
    auto bad = RunCommand("XSCREENSAVER_WINDOW=nonsense " + kBin + "/voxa_saver 2>&1");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.out.find("XSCREENSAVER_WINDOW"), std::string::npos) << bad.out;
    auto noDisplay = RunCommand("DISPLAY=:9999 " + kBin + "/voxa_saver -root 2>&1");
    EXPECT_EQ(noDisplay.status, 1);
    EXPECT_NE(noDisplay.out.find("cannot open the X display ':9999'"), std::string::npos)
        << noDisplay.out;
    auto help = RunCommand(kBin + "/voxa_saver --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("-window-id ID"), std::string::npos);
    EXPECT_NE(help.out.find("-configure"), std::string::npos);
}

}  // namespace
}  // namespace voxa::queue
