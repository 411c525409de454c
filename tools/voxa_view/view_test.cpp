// Tests of voxa_view: input translation, the render worker (with a backend
// that records its calls), and the window under the offscreen platform,
// rendering in this process and through a voxa_server on loopback.
#include "tools/voxa_view/view_model.h"
#include "tools/voxa_view/view_widget.h"

#include "hosting/class_registry.h"
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QTest>
#include <QWheelEvent>

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

namespace voxa::view {
namespace {

using voxa::testing::FreePort;
using voxa::testing::FreshRoot;
using voxa::testing::RunCommand;
using voxa::testing::ScopedEnv;
using voxa::testing::TempDir;

const std::string kBin = VOXA_BIN_DIR;

QApplication& App() {
    static int argc = 1;
    static char name[] = "voxa_view_test";
    static char* argv[] = {name, nullptr};
    // No display in the tests: the offscreen platform (unless one is named).
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Kept to the end of the process: destroyed among the statics at exit it
    // would outlive the platform plugin it unloads.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

TEST(ViewInput, DragsWheelAndKeysBecomeViewOperations) {
    // Left drag: x as it is, y turned so that moving up is positive.
    ViewAction left = DragAction(Button::kLeft, 10, -5);
    EXPECT_EQ(left.orbitDx, 10);
    EXPECT_EQ(left.orbitDy, 5);
    EXPECT_EQ(left.zoomDy, 0);
    ViewAction right = DragAction(Button::kRight, 7, -20);
    EXPECT_EQ(right.orbitDx, 0);
    EXPECT_EQ(right.zoomDy, 20);
    EXPECT_EQ(DragAction(Button::kNone, 5, 5).zoomDy, 0);
    EXPECT_EQ(WheelAction(120).zoomDy, 100);
    EXPECT_EQ(WheelAction(-240).zoomDy, -200);

    Quality q;
    ASSERT_TRUE(KeyQuality('-', &q));
    EXPECT_NEAR(q.opacity, 0.9f, 1e-6);
    ASSERT_TRUE(KeyQuality(']', &q));
    EXPECT_EQ(q.pixelError, 6);
    ASSERT_TRUE(KeyQuality('0', &q));
    EXPECT_EQ(q.pixelError, 0);
    EXPECT_EQ(q.angleError, 0.0f);
    EXPECT_EQ(q.sizeError, 0.0f);
    ASSERT_TRUE(KeyQuality('[', &q));
    EXPECT_EQ(q.pixelError, 0);  // not below zero
    ASSERT_TRUE(KeyQuality('d', &q));
    EXPECT_EQ(q.pixelError, 5);
    EXPECT_NEAR(q.sizeError, 8.0f, 1e-6);
    EXPECT_NEAR(q.opacity, 0.9f, 1e-6);  // the defaults keep the opacity
    EXPECT_FALSE(KeyQuality('x', &q));
}

TEST(ViewInput, FrameImageTurnsRowsAndSummaryNamesTheDetail) {
    Frame f;
    f.width = 2;
    f.height = 2;
    // Bottom row red, top row blue.
    f.rgb = {255, 0, 0, 255, 0, 0, 0, 0, 255, 0, 0, 255};
    QImage image = FrameImage(f);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.pixelColor(0, 0), QColor(0, 0, 255));
    EXPECT_EQ(image.pixelColor(1, 1), QColor(255, 0, 0));
    f.rgb.pop_back();
    EXPECT_TRUE(FrameImage(f).isNull());  // short data: no image

    f.milliseconds = 12.34;
    f.bricks = 37;
    f.quality = Quality{3, 0.01f, 4.0f, 0.5f};
    EXPECT_EQ(FrameSummary(f),
              "12.3 ms  detail: pixel error 3, angle 0.01, size 4  opacity 0.5  37 bricks");
    f.aborted = true;
    f.bricks = -1;
    EXPECT_EQ(FrameSummary(f).substr(FrameSummary(f).size() - 11), "  (aborted)");
    f.aborted = false;
    f.failure = "no volume";
    EXPECT_EQ(FrameSummary(f),
              "12.3 ms  detail: pixel error 3, angle 0.01, size 4  opacity 0.5  failed: no volume");
}

// A backend that records the operations and whose frames last until
// aborted (or a generous limit), so the worker's hand-over can be watched.
class RecordingBackend final : public FrameBackend {
public:
    struct Log {
        std::mutex mutex;
        std::condition_variable changed;
        int renders = 0, aborts = 0, orbitDx = 0, zoom = 0;
        bool rendering = false;
        bool slow = true;
        bool holdOrbit = false;  // Orbit waits until this is false again
        bool inOrbit = false;
        std::vector<int> zoomAtRender;  // the zoom each frame was drawn with
    };
    explicit RecordingBackend(std::shared_ptr<Log> log) : m_log(std::move(log)) {}
    Status Open(const ViewSetup&) override { return Status::Ok(); }
    // As a keyword text with "tolerances" and an opacity would set it.
    Quality Initial() const override { return Quality{2, 0.5f, 3.0f, 0.7f}; }
    void Orbit(int dx, int) override {
        std::unique_lock<std::mutex> lock(m_log->mutex);
        m_log->inOrbit = true;
        m_log->changed.notify_all();
        m_log->changed.wait_for(lock, std::chrono::seconds(20), [&] { return !m_log->holdOrbit; });
        m_log->inOrbit = false;
        m_log->orbitDx += dx;
    }
    void Zoom(int dy) override {
        std::lock_guard<std::mutex> lock(m_log->mutex);
        m_log->zoom += dy;
    }
    void SetQuality(const Quality&) override {}
    bool Render(bool* aborted, int* bricks) override {
        std::unique_lock<std::mutex> lock(m_log->mutex);
        ++m_log->renders;
        m_log->zoomAtRender.push_back(m_log->zoom);
        m_log->rendering = true;
        m_log->changed.notify_all();
        int abortsBefore = m_log->aborts;
        if (m_log->slow)
            m_log->changed.wait_for(lock, std::chrono::seconds(20),
                                    [&] { return m_log->aborts != abortsBefore; });
        *aborted = m_log->aborts != abortsBefore;
        *bricks = 1;
        m_log->rendering = false;
        return true;
    }
    bool Read(Frame* frame) override {
        frame->width = 1;
        frame->height = 1;
        frame->rgb = {1, 2, 3};
        return true;
    }
    void Abort() override {
        std::lock_guard<std::mutex> lock(m_log->mutex);
        ++m_log->aborts;
        m_log->changed.notify_all();
    }
    void Close() override {}
    std::string LastError() const override { return {}; }

private:
    std::shared_ptr<Log> m_log;
};

TEST(ViewWorker, NewInputAbortsTheSlowFrameAndTheNextFrameHasIt) {
    auto log = std::make_shared<RecordingBackend::Log>();
    std::mutex framesMutex;
    std::vector<Frame> frames;
    FrameWorker worker(
        std::make_unique<RecordingBackend>(log), ViewSetup{},
        [&](const Frame& f) {
            std::lock_guard<std::mutex> lock(framesMutex);
            frames.push_back(f);
        },
        {});
    auto waitFor = [&](auto condition) {
        std::unique_lock<std::mutex> lock(log->mutex);
        return log->changed.wait_for(lock, std::chrono::seconds(20), condition);
    };
    // The first frame is under way and will not end by itself.
    ASSERT_TRUE(waitFor([&] { return log->rendering; }));
    worker.PostOrbit(30, 0);
    worker.PostZoom(50);
    // The frame is aborted; a later one is drawn with both moves applied
    // (the first move may already start a frame that the second aborts).
    ASSERT_TRUE(waitFor([&] {
        return log->renders >= 2 && log->rendering && log->orbitDx == 30 && log->zoom == 50;
    }));
    int rendersSoFar = 0;
    {
        std::lock_guard<std::mutex> lock(log->mutex);
        rendersSoFar = log->renders;
        log->slow = false;
    }
    worker.PostRender();  // aborts the frame under way as well
    ASSERT_TRUE(voxa::testing::WaitFor(
        [&] {
            std::lock_guard<std::mutex> lock(framesMutex);
            return static_cast<int>(frames.size()) >= rendersSoFar + 1;
        },
        20000));
    std::lock_guard<std::mutex> lock(framesMutex);
    // Every frame before the last was stopped by new input, in order.
    for (int i = 0; i < rendersSoFar; ++i) {
        EXPECT_TRUE(frames[static_cast<size_t>(i)].aborted) << i;
        EXPECT_EQ(frames[static_cast<size_t>(i)].serial, i + 1);
    }
    EXPECT_FALSE(frames[static_cast<size_t>(rendersSoFar)].aborted);
    // Frames carry the quality the view started with.
    EXPECT_EQ(frames[0].quality.pixelError, 2);
    EXPECT_FLOAT_EQ(frames[0].quality.opacity, 0.7f);
    EXPECT_EQ(worker.CurrentQuality().sizeError, 3.0f);
    EXPECT_EQ(worker.Aborts(), rendersSoFar);
    // The moves were applied once each, not once per frame.
    std::lock_guard<std::mutex> logLock(log->mutex);
    EXPECT_EQ(log->orbitDx, 30);
    EXPECT_EQ(log->zoom, 50);
}

TEST(ViewWorker, InputThatComesWhileTheLastIsAppliedIsTakenBeforeAnyFrame) {
    auto log = std::make_shared<RecordingBackend::Log>();
    log->slow = false;
    std::atomic<int> shown{0};
    FrameWorker worker(
        std::make_unique<RecordingBackend>(log), ViewSetup{}, [&](const Frame&) { ++shown; }, {});
    auto waitFor = [&](auto condition) {
        std::unique_lock<std::mutex> lock(log->mutex);
        return log->changed.wait_for(lock, std::chrono::seconds(20), condition);
    };
    ASSERT_TRUE(voxa::testing::WaitFor([&] { return shown.load() == 1; }, 20000));
    {
        std::lock_guard<std::mutex> lock(log->mutex);
        log->holdOrbit = true;
    }
    // The worker is applying a turn when a zoom comes: no frame may show
    // the turn alone, and nothing is aborted (no frame was under way).
    worker.PostOrbit(30, 0);
    ASSERT_TRUE(waitFor([&] { return log->inOrbit; }));
    worker.PostZoom(50);
    {
        std::lock_guard<std::mutex> lock(log->mutex);
        log->holdOrbit = false;
        log->changed.notify_all();
    }
    ASSERT_TRUE(voxa::testing::WaitFor([&] { return shown.load() == 2; }, 20000));
    std::lock_guard<std::mutex> lock(log->mutex);
    EXPECT_EQ(log->renders, 2);
    EXPECT_EQ(log->zoomAtRender, (std::vector<int>{0, 50}));
    EXPECT_EQ(log->orbitDx, 30);
    EXPECT_EQ(log->aborts, 0);
    EXPECT_EQ(worker.Aborts(), 0);
}

// Pixels brighter than a small threshold.
int Lit(const QImage& image) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) n += qGray(image.pixel(x, y)) > 24;
    return n;
}

// Waits until the window shows a frame newer than `after` that was not
// aborted; the serial of that frame, or -1.
int NextWholeFrame(ViewWindow& window, int after) {
    int serial = -1;
    QObject::connect(&window, &ViewWindow::FrameArrived, &window, [&](int s) {
        if (s > after && !window.StatusText().contains("aborted")) serial = s;
    });
    (void)QTest::qWaitFor([&] { return serial > 0; }, 30000);
    QObject::disconnect(&window, &ViewWindow::FrameArrived, &window, nullptr);
    // Let later frames of the same input settle.
    QTest::qWait(300);
    return serial;
}

void Drag(QWidget* view, QPoint from, QPoint to, Qt::MouseButton button) {
    QMouseEvent press(QEvent::MouseButtonPress, from, view->mapToGlobal(from), button, button,
                      Qt::NoModifier);
    QApplication::sendEvent(view, &press);
    for (int i = 1; i <= 4; ++i) {
        QPoint at = from + (to - from) * i / 4;
        QMouseEvent move(QEvent::MouseMove, at, view->mapToGlobal(at), Qt::NoButton, button,
                         Qt::NoModifier);
        QApplication::sendEvent(view, &move);
    }
    QMouseEvent release(QEvent::MouseButtonRelease, to, view->mapToGlobal(to), button,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(view, &release);
}

void Wheel(QWidget* view, int delta) {
    QPointF at(view->width() / 2.0, view->height() / 2.0);
    QWheelEvent wheel(at, view->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view, &wheel);
}

// A drag turns the view, a wheel step zooms, and the frame on show saves.
void TurnZoomAndSave(ViewWindow& window, const TempDir& dir) {
    window.show();
    int first = NextWholeFrame(window, 0);
    ASSERT_GT(first, 0) << window.StatusText().toStdString();
    QImage before = window.Image();
    ASSERT_FALSE(before.isNull());
    int litBefore = Lit(before);
    EXPECT_GT(litBefore, 500);

    Drag(window.View(), QPoint(100, 100), QPoint(180, 100), Qt::LeftButton);
    int turned = NextWholeFrame(window, first);
    ASSERT_GT(turned, first);
    QImage afterDrag = window.Image();
    EXPECT_NE(afterDrag, before);

    Wheel(window.View(), 240);
    int zoomed = NextWholeFrame(window, turned);
    ASSERT_GT(zoomed, turned) << window.StatusText().toStdString();
    // Closer: the volume covers more of the frame.
    EXPECT_GT(Lit(window.Image()), Lit(afterDrag) * 11 / 10);
    EXPECT_TRUE(window.StatusText().contains("ms  detail: pixel error 5"))
        << window.StatusText().toStdString();

    const QString png = QString::fromStdString(dir.File("frame.png"));
    ASSERT_TRUE(window.SaveFrame(png));
    QImage saved(png);
    EXPECT_EQ(saved.convertToFormat(QImage::Format_RGB888), window.Image());
    if (const char* shot = std::getenv("VOXA_VIEW_SCREENSHOT")) window.grab().save(shot);
}

TEST(ViewWindowTest, DirectModeTurnsAndZooms) {
    App();
    FreshRoot root;
    TempDir dir;
    ViewSetup setup;
    setup.width = 320;
    setup.height = 240;
    ViewWindow window(setup, MakeDirectBackend());
    TurnZoomAndSave(window, dir);
}

TEST(ViewWindowTest, DirectModeSaysWhyAFrameCannotBeDrawn) {
    App();
    FreshRoot root;
    ViewSetup setup;
    setup.width = 160;
    setup.height = 120;
    setup.zbFile = root.File("bad.zb");
    ASSERT_TRUE(voxa::testing::WriteWholeFile(setup.zbFile, "not a brick tree\n"));
    ViewWindow window(setup, MakeDirectBackend());
    window.show();
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.StatusText().contains("failed: "); }, 30000));
    EXPECT_TRUE(window.StatusText().contains("failed: cannot build the brick tree of " + QString::fromStdString(setup.zbFile)))
        << window.StatusText().toStdString();
}

TEST(ViewWindowTest, RemoteViewThroughVoxaServerTurnsAndZooms) {
    App();
    FreshRoot root;
    TempDir dir;
    uint16_t port = FreePort();
    ScopedEnv portEnv(hosting::VoxaWorkClass().portEnv, std::to_string(port).c_str());
    ScopedEnv display("DISPLAY", nullptr);
    ASSERT_EQ(RunCommand(kBin + "/voxa_server -RegServer").status, 0);
    ViewSetup setup;
    setup.host = "127.0.0.1";
    setup.width = 320;
    setup.height = 240;
    {
        ViewWindow window(setup, MakeRemoteBackend());
        TurnZoomAndSave(window, dir);
    }
    {
        // A volume the server cannot load: the frame says so.
        ViewSetup bad = setup;
        bad.zbFile = root.File("data/bad.zb");
        ASSERT_TRUE(voxa::testing::WriteWholeFile(bad.zbFile, "not a brick tree\n"));
        ViewWindow window(bad, MakeRemoteBackend());
        window.show();
        EXPECT_TRUE(QTest::qWaitFor([&] { return window.StatusText().contains("failed: "); }, 30000));
        EXPECT_TRUE(window.StatusText().contains(
            "failed: the server could not draw it (result -1); see DEBUG_VOXA.txt"))
            << window.StatusText().toStdString();
    }
    // Without a server to reach, the window says so.
    ScopedEnv noServer(hosting::VoxaWorkClass().portEnv, std::to_string(FreePort()).c_str());
    ASSERT_EQ(RunCommand(kBin + "/voxa_server -UnregServer").status, 0);
    ViewWindow failing(setup, MakeRemoteBackend());
    QString message;
    QObject::connect(&failing, &ViewWindow::Failed, [&](const QString& m) { message = m; });
    (void)QTest::qWaitFor([&] { return !message.isEmpty(); }, 20000);
    EXPECT_FALSE(message.isEmpty());
    EXPECT_TRUE(failing.StatusText().startsWith("error: "));
}

}  // namespace
}  // namespace voxa::view

namespace voxa::view {
namespace {

// The program refuses bad command lines before any window is made; each
// option takes exactly one value.
TEST(VoxaViewProgram, RefusesBadArguments) {
    const std::string viewer = VOXA_BIN_DIR + std::string("/voxa_view");
    struct Case {
        std::string args, message;
    };
    const Case cases[] = {
        {"--cmap c.map --amap a.map --bogus", "voxa_view: unknown argument '--bogus' (try --help)"},
        {"--zb v.zb --size 8x8", "voxa_view: --size needs a value (try --help)"},
        {"--size 640x480x2", "voxa_view: --size needs a value (try --help)"},
        {"--cmap c.map", "voxa_view: --cmap and --amap go together"},
        {"--keys /nonexistent/k.txt", "voxa_view: cannot read the keyword file '/nonexistent/k.txt'"},
        {"--host", "voxa_view: --host needs a value (try --help)"},
    };
    for (const Case& c : cases) {
        auto run = voxa::testing::RunCommand(viewer + " " + c.args + " 2>&1");
        EXPECT_EQ(run.status, 2) << c.args << ": " << run.out;
        EXPECT_EQ(run.out, c.message + "\n") << c.args;
    }
    auto help = voxa::testing::RunCommand(viewer + " --size 8x8 --help");  // parsed in order
    EXPECT_EQ(help.status, 2);
    help = voxa::testing::RunCommand(viewer + " --help --bogus");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--screenshot"), std::string::npos) << help.out;
}

}  // namespace
}  // namespace voxa::view
