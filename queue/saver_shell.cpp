#include "queue/saver_shell.h"

#include "engine/context/options.h"
#include "queue/saver_settings.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
// Xlib defines Status as a macro; the system's Status is meant below.
#undef Status

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

namespace voxa::queue {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr float kSaverCenter[3] = {0.0f, 1.0f, 0.0f};
constexpr float kSaverUp[3] = {0.0f, 0.0f, 1.0f};
constexpr float kSaverNormal[3] = {0.0f, 1.0f, 0.0f};
// The idle picture's grey ramp whose lower half is transparent.
constexpr int kAlphaIndex[3] = {0, 128, 255};
constexpr float kAlphaValue[3] = {0.0f, 0.0f, 1.0f};
constexpr int kColorIndex[2] = {0, 255};
constexpr float kColorValue[2] = {0.0f, 1.0f};
// The idle view: eye on the z axis at 5, looking at the origin, y up.
constexpr float kIdleEye[3] = {0.0f, 0.0f, 5.0f};
constexpr float kIdleAngleTolerance = 1e-5f;
constexpr float kIdleSizeTolerance = 1.0f;
constexpr float kIdlePlanes = 1.0f;
constexpr int kEventSliceMs = 50;

}  // namespace

float SaverPanWidth(int width, int height) {
    if (height <= 0) return 0.0f;
    return static_cast<float>(2.0 * std::tan(kHalfFieldRadians) * width / height);
}

// --- SaverCore ---

SaverCore::SaverCore(RenderContext& context, QueueStepFunction step)
    : m_context(context), m_step(std::move(step)) {}

SaverCore::~SaverCore() {
    Destroy();
}

void SaverCore::SetFrustumOptionsAndMaps() {
    m_context.SetFrustum(kSaverCenter, kSaverUp, kSaverNormal, m_width, m_height,
                         SaverPanWidth(m_width, m_height));
    m_context.SetOption(kOptNRenderingBuffers, "1");
    m_context.SetOption(kOptShowColorBar, "0");
    m_context.Set_ZBname(kTestPatternName);
    m_context.SetLUTia(3, kAlphaIndex, kAlphaValue);
    m_context.SetLUTirgb(2, kColorIndex, kColorValue, kColorValue, kColorValue);
}

void SaverCore::Create(unsigned long windowId, int width, int height) {
    m_width = width;
    m_height = height;
    m_tumble = ReadTumble();

    m_context.SetFrustum(kSaverCenter, kSaverUp, kSaverNormal, m_width, m_height,
                         SaverPanWidth(m_width, m_height));
    m_context.Set_hWnd(windowId);
    m_context.StartUp();
    m_created = true;

    m_context.SetOption(kOptNRenderingBuffers, "1");
    m_context.SetOption(kOptShowColorBar, "0");
    m_context.Set_ZBname(kTestPatternName);

    Renderparams key;
    m_context.SaveKey(&key);
    key.angletolerance = kIdleAngleTolerance;
    key.icoltolerance = 0;
    key.vrtolerance = kIdleSizeTolerance;
    key.nplanes = kIdlePlanes;
    key.eyeX = kIdleEye[0];
    key.eyeY = kIdleEye[1];
    key.eyeZ = kIdleEye[2];
    key.centerX = key.centerY = key.centerZ = 0.0f;
    key.upX = 0.0f;
    key.upY = 1.0f;
    key.upZ = 0.0f;
    m_context.RestorKey(&key);

    m_context.SetLUTia(3, kAlphaIndex, kAlphaValue);
    m_context.SetLUTirgb(2, kColorIndex, kColorValue, kColorValue, kColorValue);
    m_nextTick = Clock::now() + milliseconds(kSaverTickMs);
}

bool SaverCore::GlWindowIsUp() {
    std::string reply;
    m_context.SetOption(kOptSetStatusRequest, kStatusIsGlWindowUp);
    m_context.GetStatus(&reply);
    return reply == kReplyGlWindowIsUp;
}

void SaverCore::DrawIdlePicture() {
    SetFrustumOptionsAndMaps();
    Renderparams key;
    m_context.SaveKey(&key);
    key.angletolerance = kIdleAngleTolerance;
    key.icoltolerance = 0;
    key.vrtolerance = kIdleSizeTolerance;
    key.nplanes = kIdlePlanes;
    std::memset(key.ifauxclip, 0, sizeof(key.ifauxclip));
    std::memset(key.auxclip, 0, sizeof(key.auxclip));
    // Keep the eye's distance and direction from the centre, and look at
    // the origin, where the test pattern sits.
    key.eyeX -= key.centerX;
    key.eyeY -= key.centerY;
    key.eyeZ -= key.centerZ;
    key.centerX = key.centerY = key.centerZ = 0.0f;
    m_context.RestorKey(&key);
    // With Tumble off the picture stands still.
    if (m_tumble != 0) m_context.IncrementEyePoint(kIdleTurnX, kIdleTurnY, kIdleTurnMode);
    m_context.SetDoRender();
}

TickOutcome SaverCore::Tick(Clock::time_point now) {
    if (now < m_nextTick) return TickOutcome::kPaused;
    int result = 0;
    // No queue step in a preview, and none without a GL window: a frame
    // drawn into nothing would be delivered black and marked finished.
    if (m_step && !IsPreview() && GlWindowIsUp()) {
        ++m_queueSteps;
        result = m_step(m_width, m_height);
    }
    if (result == 1) {
        m_nextTick = Clock::now() + milliseconds(kSaverTickMs);
        return TickOutcome::kFrame;
    }
    DrawIdlePicture();
    ++m_idlePictures;
    m_nextTick = Clock::now() + milliseconds(kIdlePauseMs);
    return TickOutcome::kIdlePicture;
}

void SaverCore::Destroy() {
    if (!m_created) return;
    m_created = false;
    m_context.ClearIt();
}

// --- window ids ---

Result<unsigned long> ParseWindowId(std::string_view text) {
    std::string_view digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    if (digits.empty() || digits.size() > 10)
        return InvalidArgument("bad window id '" + std::string(text) + "'");
    unsigned long long value = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return InvalidArgument("bad window id '" + std::string(text) + "'");
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    }
    if (value == 0 || value > 0xFFFFFFFFull)
        return InvalidArgument("bad window id '" + std::string(text) + "'");
    return static_cast<unsigned long>(value);
}

const char* SaverEndName(SaverEnd end) {
    switch (end) {
        case SaverEnd::kStopRequested:
            return "stop requested";
        case SaverEnd::kUserInput:
            return "user input";
        case SaverEnd::kWindowClosed:
            return "window closed";
    }
    return "?";
}

// --- SaverShell ---

namespace {

// X errors about the saver's window (a manager may destroy it at any time)
// must not end the process, as the default handler would; the next event
// pass notices the window is gone.
int IgnoreXError(Display*, XErrorEvent*) {
    return 0;
}

}  // namespace

struct SaverShell::X {
    Display* display = nullptr;
    Window window = 0;
    bool own = false;
    Atom deleteAtom = 0;
    XErrorHandler previousHandler = nullptr;

    ~X() {
        if (display == nullptr) return;
        if (own && window != 0) XDestroyWindow(display, window);
        XSync(display, False);
        XCloseDisplay(display);
        XSetErrorHandler(previousHandler);
    }
};

SaverShell::SaverShell(const std::atomic<bool>& stop) : m_stop(stop) {}

SaverShell::~SaverShell() {
    Destroy();
}

unsigned long SaverShell::WindowId() const {
    return m_x ? m_x->window : 0;
}

Status SaverShell::OpenWindow(const SaverWindowChoice& choice) {
    Destroy();
    auto x = std::make_unique<X>();
    x->display = XOpenDisplay(nullptr);
    if (x->display == nullptr) {
        const char* name = std::getenv("DISPLAY");
        return Unavailable(std::string("cannot open the X display '") + (name ? name : "") + "'");
    }
    x->previousHandler = XSetErrorHandler(IgnoreXError);
    Display* d = x->display;
    int screen = DefaultScreen(d);

    switch (choice.kind) {
        case SaverWindowKind::kRoot:
            x->window = RootWindow(d, screen);
            break;
        case SaverWindowKind::kWindowId: {
            XWindowAttributes attributes{};
            if (XGetWindowAttributes(d, choice.windowId, &attributes) == 0)
                return NotFound("no window 0x" + [&] {
                    char hex[32];
                    std::snprintf(hex, sizeof(hex), "%lx", choice.windowId);
                    return std::string(hex);
                }() + " on this display");
            x->window = choice.windowId;
            // Learn when the manager destroys the window.
            XSelectInput(d, x->window, attributes.your_event_mask | StructureNotifyMask);
            break;
        }
        case SaverWindowKind::kOwn: {
            if (choice.ownWidth <= 0 || choice.ownHeight <= 0)
                return InvalidArgument("bad window size");
            XSetWindowAttributes swa{};
            swa.background_pixel = BlackPixel(d, screen);
            swa.event_mask = KeyPressMask | ButtonPressMask | StructureNotifyMask;
            x->window = XCreateWindow(d, RootWindow(d, screen), 0, 0,
                                      static_cast<unsigned>(choice.ownWidth),
                                      static_cast<unsigned>(choice.ownHeight), 0, CopyFromParent,
                                      InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &swa);
            if (x->window == 0) return Failed("cannot create the saver window");
            x->own = true;
            XStoreName(d, x->window, kSaverName);
            x->deleteAtom = XInternAtom(d, "WM_DELETE_WINDOW", False);
            XSetWMProtocols(d, x->window, &x->deleteAtom, 1);
            XMapWindow(d, x->window);
            // Wait until it is mapped, so the first picture is not lost.
            for (int i = 0; i < 200; ++i) {
                XEvent event;
                if (XCheckTypedWindowEvent(d, x->window, MapNotify, &event)) break;
                XSync(d, False);
                struct pollfd pfd {
                    ConnectionNumber(d), POLLIN, 0
                };
                poll(&pfd, 1, 10);
            }
            break;
        }
    }
    XSync(d, False);

    XWindowAttributes attributes{};
    if (XGetWindowAttributes(d, x->window, &attributes) == 0)
        return NotFound("the saver window vanished");
    m_x = std::move(x);
    m_width = attributes.width;
    m_height = attributes.height;
    return Status::Ok();
}

void SaverShell::Create(RenderContext& context, QueueStepFunction step) {
    assert(m_x && "OpenWindow first");
    m_core = std::make_unique<SaverCore>(context, std::move(step));
    m_core->Create(m_x->window, m_width, m_height);
}

bool SaverShell::HandleEvents(SaverEnd* end) {
    Display* d = m_x->display;
    bool ending = false;
    while (XPending(d) > 0) {
        XEvent event;
        XNextEvent(d, &event);
        if (event.xany.window != m_x->window) continue;
        switch (event.type) {
            case KeyPress:
            case ButtonPress:
                if (m_x->own && !ending) {
                    *end = SaverEnd::kUserInput;
                    ending = true;
                }
                break;
            case ClientMessage:
                if (m_x->own && static_cast<Atom>(event.xclient.data.l[0]) == m_x->deleteAtom &&
                    !ending) {
                    *end = SaverEnd::kWindowClosed;
                    ending = true;
                }
                break;
            case DestroyNotify:
                if (!ending) {
                    *end = SaverEnd::kWindowClosed;
                    ending = true;
                }
                // Gone: nothing of ours to destroy any more.
                m_x->own = false;
                break;
            default:
                break;
        }
    }
    return ending;
}

SaverEnd SaverShell::Run() {
    SaverEnd end = SaverEnd::kStopRequested;
    while (true) {
        if (m_stop.load(std::memory_order_acquire)) return SaverEnd::kStopRequested;
        if (HandleEvents(&end)) return end;
        auto now = Clock::now();
        if (now >= m_core->NextTick()) {
            m_core->Tick(now);
            continue;
        }
        auto wait = std::chrono::duration_cast<milliseconds>(m_core->NextTick() - now).count();
        struct pollfd pfd {
            ConnectionNumber(m_x->display), POLLIN, 0
        };
        poll(&pfd, 1, static_cast<int>(std::clamp<long long>(wait, 1, kEventSliceMs)));
    }
}

void SaverShell::Destroy() {
    if (m_core) m_core->Destroy();
    m_core.reset();
    m_x.reset();
}

}  // namespace voxa::queue
