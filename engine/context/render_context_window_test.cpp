// Window mode: the render context on a private Xvfb display started by the
// test (a free display number chosen by Xvfb itself through -displayfd).
#include "engine/context/render_context.h"

#include "engine/context/pixel_files.h"
#include "platform/test_support.h"

#include <gtest/gtest.h>
// Xlib after GoogleTest: its macros (None, Bool, Status) clash with it.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

namespace voxa {
namespace {

using testing::FreshRoot;
using testing::PrivateXServer;
using testing::ReadWholeFile;
using testing::ScopedEnv;


struct DisplayCloser {
    void operator()(Display* d) const { XCloseDisplay(d); }
};

class WindowModeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!m_server.Ok()) GTEST_SKIP() << "Xvfb could not be started";
        m_peer.reset(XOpenDisplay(nullptr));  // a second client, like a host or a user
        ASSERT_NE(m_peer, nullptr);
        m_process.SetDisplayMode(DisplayMode::kWindow);
        m_context = std::make_unique<RenderContext>(m_process);
    }
    void TearDown() override {
        m_context.reset();
    }

    void SetSize(int width, int height) {
        const float center[3] = {0, 1, 0}, up[3] = {0, 0, 1}, normal[3] = {0, 1, 0};
        m_context->SetFrustum(center, up, normal, width, height, 1.0f);
    }

    // The window's pixels as the X server holds them, as a bottom-up RGB frame.
    std::string Screenshot(unsigned long window, int width, int height) {
        XSync(m_peer.get(), False);
        XImage* image = XGetImage(m_peer.get(), window, 0, 0, static_cast<unsigned>(width),
                                  static_cast<unsigned>(height), AllPlanes, ZPixmap);
        if (image == nullptr) return {};
        std::string rgb(static_cast<size_t>(width * height * 3), '\0');
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                unsigned long p = XGetPixel(image, x, y);
                size_t at = static_cast<size_t>(((height - 1 - y) * width + x) * 3);
                rgb[at] = static_cast<char>((p >> 16) & 0xFF);
                rgb[at + 1] = static_cast<char>((p >> 8) & 0xFF);
                rgb[at + 2] = static_cast<char>(p & 0xFF);
            }
        XDestroyImage(image);
        return rgb;
    }

    // A w x h frame: red rises to the right, green upwards, blue 200.
    static std::vector<unsigned char> Pattern(int w, int h) {
        std::vector<unsigned char> pix(static_cast<size_t>(w * h * 3));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                size_t at = static_cast<size_t>((y * w + x) * 3);
                pix[at] = static_cast<unsigned char>(x * 255 / (w - 1));
                pix[at + 1] = static_cast<unsigned char>(y * 255 / (h - 1));
                pix[at + 2] = 200;
            }
        return pix;
    }

    FreshRoot m_root;
    PrivateXServer m_server;
    std::unique_ptr<Display, DisplayCloser> m_peer;
    RenderProcess m_process;
    std::unique_ptr<RenderContext> m_context;
};

TEST_F(WindowModeTest, OwnPopUpWindowCarriesTheTitleAndFrameSize) {
    SetSize(160, 120);
    m_context->StartUp();
    ASSERT_TRUE(m_process.WindowUp()) << ReadWholeFile(m_root.File("DEBUG_VOXA.txt"));
    GlWindow* w = m_context->Window();
    ASSERT_NE(w, nullptr);
    EXPECT_FALSE(w->IsHeadless());
    EXPECT_TRUE(w->OwnsWindow());
    char* name = nullptr;
    ASSERT_NE(XFetchName(m_peer.get(), w->WindowId(), &name), 0);
    EXPECT_STREQ(name, "VOXA - SERVER");
    XFree(name);
    XWindowAttributes attributes;
    ASSERT_NE(XGetWindowAttributes(m_peer.get(), w->WindowId(), &attributes), 0);
    EXPECT_EQ(attributes.width, 160);
    EXPECT_EQ(attributes.height, 120);
    EXPECT_EQ(attributes.map_state, IsViewable);

    unsigned long id = w->WindowId();
    m_context->ClearIt();
    EXPECT_FALSE(m_process.WindowUp());
    // Our own window is destroyed with the context.
    XSync(m_peer.get(), False);
    auto old = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    EXPECT_EQ(XGetWindowAttributes(m_peer.get(), id, &attributes), 0);
    XSetErrorHandler(old);
}

TEST_F(WindowModeTest, PutPixShowsTheFrameInTheWindowAndGetPixReadsIt) {
    const int width = 150, height = 90;
    SetSize(width, height);
    m_context->StartUp();
    ASSERT_TRUE(m_process.WindowUp());
    m_context->SetDoRender();
    std::vector<unsigned char> pix = Pattern(width, height);
    m_context->PutPix(static_cast<int32_t>(pix.size()), pix.data());

    BinaryDataVOXA data;
    m_context->GetPix(&data);
    EXPECT_EQ(data.m_pBuffer, pix);

    std::string shot = Screenshot(m_context->Window()->WindowId(), width, height);
    ASSERT_EQ(shot.size(), pix.size());
    int wrong = 0;
    for (size_t i = 0; i < pix.size(); ++i)
        if (std::abs(static_cast<unsigned char>(shot[i]) - pix[i]) > 1) ++wrong;
    EXPECT_EQ(wrong, 0);
    // Keep a picture of the window for a person to look at.
    std::string png = m_root.File("window.png");
    EXPECT_TRUE(WritePngImage(png, width, height,
                              {reinterpret_cast<const uint8_t*>(shot.data()), shot.size()})
                    .ok());
    if (const char* keep = std::getenv("VOXA_KEEP_SCREENSHOT"))
        std::filesystem::copy_file(png, keep, std::filesystem::copy_options::overwrite_existing);
}

TEST_F(WindowModeTest, EscapeKeyPostsQuit) {
    SetSize(64, 64);
    m_context->StartUp();
    ASSERT_TRUE(m_process.WindowUp());
    GlWindow* w = m_context->Window();
    EXPECT_FALSE(w->PumpEvents());
    XEvent event{};
    event.xkey.type = KeyPress;
    event.xkey.display = m_peer.get();
    event.xkey.window = w->WindowId();
    event.xkey.root = DefaultRootWindow(m_peer.get());
    event.xkey.keycode = XKeysymToKeycode(m_peer.get(), XK_Escape);
    event.xkey.same_screen = True;
    XSendEvent(m_peer.get(), w->WindowId(), True, KeyPressMask, &event);
    XSync(m_peer.get(), False);
    bool quit = false;
    for (int i = 0; i < 100 && !quit; ++i) {
        quit = w->PumpEvents();
        if (!quit) usleep(10000);
    }
    EXPECT_TRUE(quit);
}

TEST_F(WindowModeTest, CloseRequestPostsQuit) {
    SetSize(64, 64);
    m_context->StartUp();
    ASSERT_TRUE(m_process.WindowUp());
    GlWindow* w = m_context->Window();
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = w->WindowId();
    event.xclient.message_type = XInternAtom(m_peer.get(), "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(m_peer.get(), "WM_DELETE_WINDOW", False));
    XSendEvent(m_peer.get(), w->WindowId(), False, NoEventMask, &event);
    XSync(m_peer.get(), False);
    bool quit = false;
    for (int i = 0; i < 100 && !quit; ++i) {
        quit = w->PumpEvents();
        if (!quit) usleep(10000);
    }
    EXPECT_TRUE(quit);
}

TEST_F(WindowModeTest, HostWindowIsUsedAndLeftStanding) {
    Display* d = m_peer.get();
    Window host = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 100, 80, 0, 0, 0);
    XMapWindow(d, host);
    XSync(d, False);
    SetSize(100, 80);
    m_context->Set_hWnd(host);
    m_context->StartUp();
    ASSERT_TRUE(m_process.WindowUp()) << ReadWholeFile(m_root.File("DEBUG_VOXA.txt"));
    EXPECT_FALSE(m_context->Window()->OwnsWindow());
    EXPECT_EQ(m_context->Window()->WindowId(), host);
    m_context->SetDoRender();
    std::vector<unsigned char> pix = Pattern(100, 80);
    m_context->PutPix(static_cast<int32_t>(pix.size()), pix.data());
    std::string shot = Screenshot(host, 100, 80);
    ASSERT_EQ(shot.size(), pix.size());
    EXPECT_NEAR(static_cast<unsigned char>(shot[(79 * 100 + 99) * 3]), 255, 1);  // top right red
    EXPECT_NEAR(static_cast<unsigned char>(shot[(79 * 100 + 99) * 3 + 1]), 255, 1);
    m_context->ClearIt();
    XWindowAttributes attributes;
    EXPECT_NE(XGetWindowAttributes(d, host, &attributes), 0);  // the host's window stays
    EXPECT_EQ(ReadWholeFile(m_root.File("DEBUG_VOXA.txt")), "");
    XDestroyWindow(d, host);
}

TEST_F(WindowModeTest, HostWindowRefusingTheConfigurationFallsBackToOwnWindow) {
    Display* d = m_peer.get();
    // An input-only window cannot carry a GL surface.
    Window inputOnly = XCreateWindow(d, DefaultRootWindow(d), 0, 0, 50, 50, 0, 0, InputOnly,
                                     CopyFromParent, 0, nullptr);
    XSync(d, False);
    SetSize(64, 48);
    m_context->Set_hWnd(inputOnly);
    m_context->StartUp();
    ASSERT_TRUE(m_process.WindowUp());
    GlWindow* w = m_context->Window();
    EXPECT_TRUE(w->OwnsWindow());
    EXPECT_NE(w->WindowId(), inputOnly);
    char* name = nullptr;
    ASSERT_NE(XFetchName(d, w->WindowId(), &name), 0);
    EXPECT_STREQ(name, "VOXA - SERVER");
    XFree(name);
    EXPECT_EQ(ReadWholeFile(m_root.File("DEBUG_VOXA.txt")),
              "SetPixelFormat failed \n--> ERROR NUMBER IS: 12297\n"
              "--> ERROR STRING IS: EGL_BAD_MATCH\n\n");
    m_context->ClearIt();
    XDestroyWindow(d, inputOnly);
}

TEST_F(WindowModeTest, MissingHostWindowIsReportedWithTheXError) {
    Display* d = m_peer.get();
    Window gone = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 10, 10, 0, 0, 0);
    XDestroyWindow(d, gone);
    XSync(d, False);
    SetSize(32, 32);
    m_context->Set_hWnd(gone);
    m_context->StartUp();
    ASSERT_TRUE(m_process.WindowUp());
    EXPECT_TRUE(m_context->Window()->OwnsWindow());
    std::string log = ReadWholeFile(m_root.File("DEBUG_VOXA.txt"));
    EXPECT_EQ(log.rfind("SetPixelFormat failed \n--> ERROR NUMBER IS: 3\n--> ERROR STRING IS: ", 0),
              0u)
        << log;
    EXPECT_NE(log.find("BadWindow"), std::string::npos);
}

TEST_F(WindowModeTest, NoDisplayLeavesTheWindowDownAndLogsIt) {
    ScopedEnv badDisplay("DISPLAY", ":9999");
    m_context->StartUp();
    EXPECT_FALSE(m_process.WindowUp());
    EXPECT_EQ(ReadWholeFile(m_root.File("DEBUG_VOXA.txt")),
              "RegisterClass failed\nhWnd = hLocalWnd or CreateWindow   produced NULL!! \n");
    std::string reply;
    m_context->SetOption("SetStatusRequest", "IS_GL_WINDOW_UP");
    m_context->GetStatus(&reply);
    EXPECT_EQ(reply, "GL_WINDOW_IS_DOWN");
}

}  // namespace
}  // namespace voxa
