// The screen-saver shell: creation, ticks and destruction of the core
// without a display, and the X11 window choices with a private Xvfb.
#include "queue/saver_shell.h"

#include "engine/frame/frame_pipeline.h"
#include "engine/context/pixel_files.h"
#include "queue/saver_settings.h"
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <thread>
#include <tuple>
#include <vector>

// After the test framework: Xlib's macros (None, Status) clash with it.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#undef Status

namespace voxa::queue {
namespace {

using Clock = std::chrono::steady_clock;
using testing::FreshRoot;
using testing::PrivateXServer;
using testing::ScopedEnv;

// Rendered frames can be looked at: set VOXA_TEST_IMAGES to a directory.
void KeepImage(const std::string& name, int width, int height, const std::vector<uint8_t>& rgb) {
    const char* dir = std::getenv("VOXA_TEST_IMAGES");
    if (dir == nullptr) return;
    EXPECT_TRUE(WritePngImage(std::string(dir) + "/" + name + ".png", width, height, rgb).ok());
}

struct FrameStats {
    int lit = 0;      // pixels brighter than 16 in any channel
    int notGrey = 0;  // pixels whose channels differ by more than 2
};

FrameStats Measure(const std::vector<uint8_t>& rgb) {
    FrameStats s;
    for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
        int r = rgb[i], g = rgb[i + 1], b = rgb[i + 2];
        if (r > 16 || g > 16 || b > 16) ++s.lit;
        if (std::abs(r - g) > 2 || std::abs(g - b) > 2) ++s.notGrey;
    }
    return s;
}

int DifferentPixels(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    int n = 0;
    for (size_t i = 0; i + 2 < a.size() && i + 2 < b.size(); i += 3)
        if (a[i] != b[i] || a[i + 1] != b[i + 1] || a[i + 2] != b[i + 2]) ++n;
    return n;
}

// One saver's render context with the frame pipeline, as the program
// makes it.
struct Node {
    explicit Node(DisplayMode mode) : context(process), pipeline(process) {
        process.SetDisplayMode(mode);
        pipeline.Attach(context);
    }
    std::vector<uint8_t> Pixels() {
        BinaryDataVOXA data;
        context.GetPix(&data);
        return std::vector<uint8_t>(data.m_pBuffer.begin(), data.m_pBuffer.end());
    }
    RenderProcess process;
    RenderContext context;
    FramePipeline pipeline;
};

// A queue step that records its calls and answers a fixed result.
struct FakeStep {
    QueueStepFunction Function() {
        return [this](int width, int height) {
            calls.push_back({width, height});
            return result;
        };
    }
    std::vector<std::pair<int, int>> calls;
    int result = 0;
};

class SaverCoreTest : public ::testing::Test {
  protected:
    FreshRoot m_root;
    Node m_node{DisplayMode::kHeadless};
    FakeStep m_step;
};

TEST(SaverPanWidth, IsTwiceTan17DegreesTimesTheAspect) {
    const double tan17 = std::tan(17.0 * M_PI / 180.0);
    EXPECT_NEAR(SaverPanWidth(1280, 1024), 2.0 * tan17 * 1.25, 1e-6);
    EXPECT_NEAR(SaverPanWidth(1280, 1024), 0.764, 0.0005);
    EXPECT_NEAR(SaverPanWidth(150, 100), 2.0 * tan17 * 1.5, 1e-6);
    EXPECT_EQ(SaverPanWidth(10, 0), 0.0f);
}

TEST_F(SaverCoreTest, CreationSetsTheFrustumViewAndMapsOfTheIdlePicture) {
    SaverCore core(m_node.context, m_step.Function());
    core.Create(0, 1280, 1024);
    const RenderRequestBlock& block = m_node.context.RequestBlock();
    EXPECT_EQ(block.width, 1280);
    EXPECT_EQ(block.height, 1024);
    const double tan17 = std::tan(17.0 * M_PI / 180.0);
    EXPECT_NEAR(block.halfWidth, tan17 * 1.25, 1e-6);
    EXPECT_NEAR(block.halfHeight, tan17 * 1.25 * 0.8, 1e-6);
    EXPECT_FLOAT_EQ(block.panelCenter[1], 1.0f);
    EXPECT_FLOAT_EQ(block.panelUp[2], 1.0f);
    EXPECT_FLOAT_EQ(block.panelNormal[1], 1.0f);
    EXPECT_STREQ(block.zbName, "test_pattern");
    EXPECT_FLOAT_EQ(block.eye[2], 5.0f);
    EXPECT_FLOAT_EQ(block.center[0] + block.center[1] + block.center[2], 0.0f);

    Renderparams key;
    m_node.context.SaveKey(&key);
    EXPECT_FLOAT_EQ(key.angletolerance, 1e-5f);
    EXPECT_EQ(key.icoltolerance, 0);
    EXPECT_FLOAT_EQ(key.vrtolerance, 1.0f);
    EXPECT_FLOAT_EQ(key.nplanes, 1.0f);
    EXPECT_FLOAT_EQ(key.upY, 1.0f);

    int n = 0, ind[32];
    float alpha[32];
    m_node.context.GetLUT32ia(&n, ind, alpha);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(ind[1], 128);
    EXPECT_FLOAT_EQ(alpha[1], 0.0f);
    EXPECT_FLOAT_EQ(alpha[2], 1.0f);
    // The context is up and asked to draw straight into the shown buffer.
    EXPECT_TRUE(core.GlWindowIsUp());
    EXPECT_EQ(m_node.context.Options().nRenderingBuffers, 1);
    EXPECT_EQ(core.Tumble(), 1);
}

TEST_F(SaverCoreTest, TicksStepTheQueueAndDrawTheIdlePictureWithoutWork) {
    SaverCore core(m_node.context, m_step.Function());
    core.Create(0, 1280, 1024);
    auto now = Clock::now();
    // Not due yet: the first tick comes 100 ms after creation.
    EXPECT_EQ(core.Tick(now), TickOutcome::kPaused);
    EXPECT_TRUE(m_step.calls.empty());

    auto later = core.NextTick();
    EXPECT_EQ(core.Tick(later), TickOutcome::kIdlePicture);
    ASSERT_EQ(m_step.calls.size(), 1u);
    EXPECT_EQ(m_step.calls[0], std::make_pair(1280, 1024));
    EXPECT_EQ(core.IdlePictures(), 1);
    std::vector<uint8_t> first = m_node.Pixels();
    KeepImage("idle_1", 1280, 1024, first);
    FrameStats stats = Measure(first);
    // The test pattern fills a good part of the picture, in grey only.
    EXPECT_GT(stats.lit, 1280 * 1024 / 50);
    EXPECT_LT(stats.notGrey, stats.lit / 100 + 1);

    // The next idle picture waits a second after the last one; ticks
    // before then do nothing at all.
    auto next = core.NextTick();
    EXPECT_GE(next - Clock::now(), std::chrono::milliseconds(500));
    EXPECT_EQ(core.Tick(next - std::chrono::milliseconds(1)), TickOutcome::kPaused);
    EXPECT_EQ(m_step.calls.size(), 1u);

    // Work: the step's frame takes the tick, no idle picture is drawn.
    m_step.result = 1;
    EXPECT_EQ(core.Tick(next), TickOutcome::kFrame);
    EXPECT_EQ(m_step.calls.size(), 2u);
    EXPECT_EQ(core.IdlePictures(), 1);
    EXPECT_LE(core.NextTick() - Clock::now(), std::chrono::milliseconds(kSaverTickMs));

    // Back to no work: the picture has turned since the first one.
    m_step.result = 0;
    EXPECT_EQ(core.Tick(core.NextTick()), TickOutcome::kIdlePicture);
    std::vector<uint8_t> second = m_node.Pixels();
    KeepImage("idle_2", 1280, 1024, second);
    EXPECT_GT(DifferentPixels(first, second), 1280 * 1024 / 200);
}

TEST_F(SaverCoreTest, TumbleOffKeepsTheIdlePictureStill) {
    ASSERT_TRUE(WriteTumble(0).ok());
    SaverCore core(m_node.context, m_step.Function());
    core.Create(0, 640, 480);
    EXPECT_EQ(core.Tumble(), 0);
    ASSERT_EQ(core.Tick(core.NextTick()), TickOutcome::kIdlePicture);
    std::vector<uint8_t> first = m_node.Pixels();
    ASSERT_GT(Measure(first).lit, 640 * 480 / 50);
    ASSERT_EQ(core.Tick(core.NextTick()), TickOutcome::kIdlePicture);
    EXPECT_EQ(DifferentPixels(first, m_node.Pixels()), 0);

    // A manager's -tumble turns it for this run; the setting stays 0.
    core.SetTumble(1);
    ASSERT_EQ(core.Tick(core.NextTick()), TickOutcome::kIdlePicture);
    EXPECT_GT(DifferentPixels(first, m_node.Pixels()), 640 * 480 / 200);
    EXPECT_EQ(ReadTumble(), 0);
}

TEST_F(SaverCoreTest, IdlePictureLooksAtTheOriginFromWhereTheFrameLeftTheEye) {
    ASSERT_TRUE(WriteTumble(0).ok());  // no turn: the key is what the idle view sets
    SaverCore core(m_node.context, [this](int, int) {
        // A frame that moved the view and clipped the volume.
        Renderparams key;
        m_node.context.SaveKey(&key);
        key.eyeX = 4.0f, key.eyeY = 3.0f, key.eyeZ = 2.0f;
        key.centerX = 1.0f, key.centerY = 1.0f, key.centerZ = -1.0f;
        key.ifauxclip[2] = 1;
        key.auxclip[2][3] = 0.5f;
        key.icoltolerance = 9;
        m_node.context.RestorKey(&key);
        m_node.context.Set_ZBname("/data/frame_0001.zb");
        return 0;
    });
    core.Create(0, 640, 480);
    ASSERT_EQ(core.Tick(core.NextTick()), TickOutcome::kIdlePicture);
    const RenderRequestBlock& block = m_node.context.RequestBlock();
    EXPECT_FLOAT_EQ(block.eye[0], 3.0f);
    EXPECT_FLOAT_EQ(block.eye[1], 2.0f);
    EXPECT_FLOAT_EQ(block.eye[2], 3.0f);
    EXPECT_FLOAT_EQ(block.center[0], 0.0f);
    EXPECT_FLOAT_EQ(block.center[2], 0.0f);
    EXPECT_EQ(block.auxClipEnable[2], 0);
    EXPECT_FLOAT_EQ(block.auxClipPlane[2][3], 0.0f);
    EXPECT_EQ(block.pixelError, 0);
    EXPECT_STREQ(block.zbName, "test_pattern");
}

TEST_F(SaverCoreTest, PreviewAndDownWindowTakeNoQueueSteps) {
    // A preview (smaller than 200 in both sides): idle pictures only.
    {
        SaverCore core(m_node.context, m_step.Function());
        core.Create(0, 150, 100);
        EXPECT_TRUE(core.IsPreview());
        EXPECT_EQ(core.Tick(core.NextTick()), TickOutcome::kIdlePicture);
        EXPECT_EQ(core.Tick(core.NextTick()), TickOutcome::kIdlePicture);
        EXPECT_TRUE(m_step.calls.empty());
        EXPECT_GT(Measure(m_node.Pixels()).lit, 150 * 100 / 50);
    }
    // One side of 200 or more is not a preview.
    {
        SaverCore core(m_node.context, m_step.Function());
        core.Create(0, 199, 200);
        EXPECT_FALSE(core.IsPreview());
        core.Tick(core.NextTick());
        EXPECT_EQ(m_step.calls.size(), 1u);
    }
    m_step.calls.clear();
    // No GL window (no display to make one on): no queue step, ever.
    ScopedEnv noDisplay("DISPLAY", ":9999");
    Node windowed(DisplayMode::kWindow);
    SaverCore core(windowed.context, m_step.Function());
    core.Create(0, 1280, 1024);
    EXPECT_FALSE(core.GlWindowIsUp());
    EXPECT_EQ(core.Tick(core.NextTick()), TickOutcome::kIdlePicture);
    EXPECT_TRUE(m_step.calls.empty());
}

TEST_F(SaverCoreTest, DestroyTakesTheContextDownOnce) {
    {
        SaverCore core(m_node.context, m_step.Function());
        core.Create(0, 640, 480);
        EXPECT_TRUE(m_node.process.WindowUp());
        EXPECT_EQ(m_node.process.UserCount(), 1);
        core.Destroy();
        EXPECT_FALSE(m_node.process.WindowUp());
        EXPECT_EQ(m_node.process.UserCount(), 0);
        core.Destroy();  // and again by the destructor: no second ClearIt
    }
    EXPECT_EQ(m_node.process.UserCount(), 0);
}

TEST(SaverWindowId, ParsesDecimalAndHexAndRefusesTheRest) {
    EXPECT_EQ(*ParseWindowId("0x1a00003"), 0x1a00003ul);
    EXPECT_EQ(*ParseWindowId("0X1A00003"), 0x1a00003ul);
    EXPECT_EQ(*ParseWindowId("27262979"), 27262979ul);
    EXPECT_EQ(*ParseWindowId("0xffffffff"), 0xfffffffful);
    for (const char* bad : {"", "0", "0x", "0x0", "-5", "+5", "12ab", "0x1g", " 12", "12 ",
                            "0x100000000", "99999999999", "4294967296"}) {
        EXPECT_FALSE(ParseWindowId(bad).ok()) << "'" << bad << "'";
    }
}

// --- with a private X server ---

class SaverShellTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!m_x.Ok()) GTEST_SKIP() << "Xvfb could not be started";
        m_display = XOpenDisplay(nullptr);
        ASSERT_NE(m_display, nullptr);
        // The tests ask about windows that are gone on purpose.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    }
    void TearDown() override {
        if (m_display != nullptr) XCloseDisplay(m_display);
    }
    Window MakeWindow(int width, int height) {
        int screen = DefaultScreen(m_display);
        Window w = XCreateSimpleWindow(m_display, RootWindow(m_display, screen), 0, 0,
                                       static_cast<unsigned>(width), static_cast<unsigned>(height),
                                       0, 0, 0);
        XMapWindow(m_display, w);
        XSync(m_display, False);
        return w;
    }
    // The window's pixels as the X server shows them, bottom-up RGB.
    std::vector<uint8_t> Grab(Window w, int width, int height) {
        XSync(m_display, False);
        XImage* image = XGetImage(m_display, w, 0, 0, static_cast<unsigned>(width),
                                  static_cast<unsigned>(height), AllPlanes, ZPixmap);
        std::vector<uint8_t> rgb;
        if (image == nullptr) return rgb;
        rgb.resize(static_cast<size_t>(width) * height * 3);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                unsigned long p = XGetPixel(image, x, y);
                uint8_t* out = &rgb[(static_cast<size_t>(height - 1 - y) * width + x) * 3];
                out[0] = static_cast<uint8_t>((p & image->red_mask) >> 16);
                out[1] = static_cast<uint8_t>((p & image->green_mask) >> 8);
                out[2] = static_cast<uint8_t>(p & image->blue_mask);
            }
        }
        XDestroyImage(image);
        return rgb;
    }
    void SendToWindow(Window w, XEvent event) {
        event.xany.window = w;
        XSendEvent(m_display, w, False, NoEventMask, &event);
        XSync(m_display, False);
    }

    FreshRoot m_root;
    PrivateXServer m_x{"1280x1024x24"};
    Display* m_display = nullptr;
    FakeStep m_step;
    std::atomic<bool> m_stop{false};
};

TEST_F(SaverShellTest, AdoptedWindowShowsTheIdlePictureTurningWithTumble) {
    for (int tumble : {1, 0}) {
        ASSERT_TRUE(WriteTumble(tumble).ok());
        Window w = MakeWindow(320, 240);
        Node node(DisplayMode::kAuto);
        SaverShell shell(m_stop);
        ASSERT_TRUE(shell.OpenWindow({SaverWindowKind::kWindowId, w}).ok());
        shell.Create(node.context, m_step.Function());
        EXPECT_EQ(shell.WindowId(), w);
        EXPECT_EQ(shell.Core().Width(), 320);
        EXPECT_EQ(shell.Core().Height(), 240);
        // Drawn into the window itself: the engine made no window of its own.
        ASSERT_NE(node.context.Window(), nullptr);
        EXPECT_EQ(node.context.Window()->WindowId(), w);
        EXPECT_FALSE(node.context.Window()->OwnsWindow());

        ASSERT_EQ(shell.Core().Tick(shell.Core().NextTick()), TickOutcome::kIdlePicture);
        std::vector<uint8_t> first = Grab(w, 320, 240);
        KeepImage("window_tumble" + std::to_string(tumble) + "_1", 320, 240, first);
        EXPECT_GT(Measure(first).lit, 320 * 240 / 50);
        // A real second later, the next idle picture.
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        ASSERT_EQ(shell.Core().Tick(Clock::now()), TickOutcome::kIdlePicture);
        std::vector<uint8_t> second = Grab(w, 320, 240);
        if (tumble == 1)
            EXPECT_GT(DifferentPixels(first, second), 320 * 240 / 200);
        else
            EXPECT_EQ(DifferentPixels(first, second), 0);
        EXPECT_EQ(m_step.calls.size(), 2u * (tumble == 1 ? 1 : 2));
        shell.Destroy();
        EXPECT_FALSE(node.process.WindowUp());
        // The adopted window is the manager's: still there.
        XWindowAttributes attributes;
        EXPECT_NE(XGetWindowAttributes(m_display, w, &attributes), 0);
        XDestroyWindow(m_display, w);
    }
}

TEST_F(SaverShellTest, RootWindowIsDrawnInto) {
    Node node(DisplayMode::kAuto);
    SaverShell shell(m_stop);
    ASSERT_TRUE(shell.OpenWindow({SaverWindowKind::kRoot}).ok());
    shell.Create(node.context, m_step.Function());
    Window root = DefaultRootWindow(m_display);
    EXPECT_EQ(shell.WindowId(), root);
    EXPECT_EQ(shell.Core().Width(), 1280);
    EXPECT_EQ(shell.Core().Height(), 1024);
    EXPECT_EQ(Measure(Grab(root, 1280, 1024)).lit, 0);
    ASSERT_EQ(shell.Core().Tick(shell.Core().NextTick()), TickOutcome::kIdlePicture);
    std::vector<uint8_t> shown = Grab(root, 1280, 1024);
    KeepImage("root", 1280, 1024, shown);
    EXPECT_GT(Measure(shown).lit, 1280 * 1024 / 50);
    EXPECT_EQ(m_step.calls.size(), 1u);  // full screen: a queue step first
}

TEST_F(SaverShellTest, PreviewSizedWindowTakesNoQueueStepsAFullOneDoes) {
    for (auto [width, height, steps] : {std::tuple{150, 100, 0}, std::tuple{1280, 1024, 1}}) {
        m_step.calls.clear();
        Window w = MakeWindow(width, height);
        Node node(DisplayMode::kAuto);
        SaverShell shell(m_stop);
        ASSERT_TRUE(shell.OpenWindow({SaverWindowKind::kWindowId, w}).ok());
        shell.Create(node.context, m_step.Function());
        shell.Core().Tick(shell.Core().NextTick());
        EXPECT_EQ(static_cast<int>(m_step.calls.size()), steps) << width << "x" << height;
        EXPECT_GT(Measure(Grab(w, width, height)).lit, width * height / 50);
        shell.Destroy();
        XDestroyWindow(m_display, w);
    }
}

TEST_F(SaverShellTest, OwnWindowEndsOnKeyButtonOrClose) {
    struct Case {
        int type;
        SaverEnd end;
    } cases[] = {{KeyPress, SaverEnd::kUserInput},
                 {ButtonPress, SaverEnd::kUserInput},
                 {ClientMessage, SaverEnd::kWindowClosed}};
    for (const Case& c : cases) {
        Node node(DisplayMode::kAuto);
        SaverShell shell(m_stop);
        ASSERT_TRUE(shell.OpenWindow({SaverWindowKind::kOwn, 0, 400, 300}).ok());
        shell.Create(node.context, m_step.Function());
        Window w = shell.WindowId();
        ASSERT_NE(w, 0u);
        ASSERT_NE(w, DefaultRootWindow(m_display));
        EXPECT_EQ(node.context.Window()->WindowId(), w);
        EXPECT_EQ(shell.Core().Width(), 400);

        XEvent event{};
        event.type = c.type;
        if (c.type == KeyPress) {
            event.xkey.keycode = XKeysymToKeycode(m_display, XK_space);
            event.xkey.same_screen = True;
        } else if (c.type == ButtonPress) {
            event.xbutton.button = Button1;
            event.xbutton.same_screen = True;
        } else {
            event.xclient.message_type = XInternAtom(m_display, "WM_PROTOCOLS", False);
            event.xclient.format = 32;
            event.xclient.data.l[0] =
                static_cast<long>(XInternAtom(m_display, "WM_DELETE_WINDOW", False));
        }
        // Let it draw a picture first, then the user comes back.
        std::thread user([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            Display* d = XOpenDisplay(nullptr);
            XEvent e = event;
            e.xany.window = w;
            e.xany.display = d;
            XSendEvent(d, w, False, NoEventMask, &e);
            XSync(d, False);
            XCloseDisplay(d);
        });
        SaverEnd end = shell.Run();
        user.join();
        EXPECT_EQ(end, c.end) << SaverEndName(end);
        EXPECT_GE(shell.Core().IdlePictures(), 1);
        shell.Destroy();
        EXPECT_FALSE(node.process.WindowUp());
        // The own window is gone with the saver.
        XSync(m_display, False);
        XWindowAttributes attributes;
        EXPECT_EQ(XGetWindowAttributes(m_display, w, &attributes), 0);
    }
}

TEST_F(SaverShellTest, StopRequestAndDestroyedWindowEndTheRunPromptly) {
    Window w = MakeWindow(640, 480);
    {
        Node node(DisplayMode::kAuto);
        SaverShell shell(m_stop);
        ASSERT_TRUE(shell.OpenWindow({SaverWindowKind::kWindowId, w}).ok());
        shell.Create(node.context, m_step.Function());
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            m_stop.store(true);
        });
        EXPECT_EQ(shell.Run(), SaverEnd::kStopRequested);
        stopper.join();
        // It ran ticks until then: at least one idle picture.
        EXPECT_GE(shell.Core().IdlePictures(), 1);
    }
    m_stop.store(false);
    {
        Node node(DisplayMode::kAuto);
        SaverShell shell(m_stop);
        ASSERT_TRUE(shell.OpenWindow({SaverWindowKind::kWindowId, w}).ok());
        shell.Create(node.context, m_step.Function());
        std::thread manager([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            Display* d = XOpenDisplay(nullptr);
            XDestroyWindow(d, w);
            XSync(d, False);
            XCloseDisplay(d);
        });
        EXPECT_EQ(shell.Run(), SaverEnd::kWindowClosed);
        manager.join();
        shell.Destroy();  // the window is gone: no X error ends the process
        EXPECT_FALSE(node.process.WindowUp());
    }
}

TEST_F(SaverShellTest, MissingWindowOrDisplayIsRefused) {
    Node node(DisplayMode::kAuto);
    SaverShell shell(m_stop);
    EXPECT_EQ(shell.OpenWindow({SaverWindowKind::kWindowId, 0x3fffff0}).code(),
              StatusCode::kNotFound);
    EXPECT_FALSE(node.process.WindowUp());
    ScopedEnv noDisplay("DISPLAY", ":9999");
    EXPECT_EQ(shell.OpenWindow({SaverWindowKind::kOwn}).code(), StatusCode::kUnavailable);
}

}  // namespace
}  // namespace voxa::queue
