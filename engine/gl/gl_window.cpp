#include "engine/gl/gl_window.h"

#include "engine/gl/gl_program.h"

#include <EGL/eglext.h>
#include <GL/glext.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace voxa {

// Failure texts of the window preparation.
namespace {
constexpr char kRegisterClassFailed[] = "RegisterClass failed\n";
constexpr char kNoWindow[] = "hWnd = hLocalWnd or CreateWindow   produced NULL!! \n";
constexpr char kChooseFailed[] = "CoosePixelFormat failed \n";
constexpr char kSetFormatFailed[] = "SetPixelFormat failed \n";
constexpr char kErrorNumberFormat[] = "--> ERROR NUMBER IS: %lu\n";
constexpr char kErrorStringFormat[] = "--> ERROR STRING IS: %s\n\n";
}  // namespace

struct GlEntryPoints : GlFramebufferEntryPoints {};

namespace {

// X errors raised while a window is prepared are caught here instead of
// ending the process (Xlib's default). The handler is process-wide by the
// nature of Xlib; it only records the last error code.
std::atomic<int> g_lastXError{0};

int RecordXError(Display* /*display*/, XErrorEvent* event) {
    g_lastXError.store(event->error_code);
    return 0;
}

class XErrorTrap {
public:
    explicit XErrorTrap(Display* display) : m_display(display) {
        XSync(m_display, False);
        g_lastXError.store(0);
        m_old = XSetErrorHandler(RecordXError);
    }
    ~XErrorTrap() {
        XSync(m_display, False);
        XSetErrorHandler(m_old);
    }
    // Waits for the server's answer and returns the error code (0 = none).
    int Check() {
        XSync(m_display, False);
        return g_lastXError.load();
    }

private:
    Display* m_display;
    int (*m_old)(Display*, XErrorEvent*) = nullptr;
};

void AppendFailure(std::vector<std::string>* failures, const std::string& text) {
    if (failures != nullptr) failures->push_back(text);
}

std::string Format(const char* format, unsigned long number) {
    char buf[128];
    std::snprintf(buf, sizeof(buf), format, number);
    return buf;
}

std::string FormatText(const char* format, const char* text) {
    char buf[400];
    std::snprintf(buf, sizeof(buf), format, text);
    return buf;
}

// The three texts of a pixel-format failure.
void SetFormatFailure(std::vector<std::string>* failures, unsigned long code, const char* text) {
    AppendFailure(failures, kSetFormatFailed);
    AppendFailure(failures, Format(kErrorNumberFormat, code));
    char cut[257];
    std::snprintf(cut, sizeof(cut), "%s", text);  // message text of at most 256 bytes
    AppendFailure(failures, FormatText(kErrorStringFormat, cut));
}

}  // namespace

const char* EglErrorName(EGLint code) {
    switch (code) {
        case EGL_SUCCESS: return "EGL_SUCCESS";
        case EGL_NOT_INITIALIZED: return "EGL_NOT_INITIALIZED";
        case EGL_BAD_ACCESS: return "EGL_BAD_ACCESS";
        case EGL_BAD_ALLOC: return "EGL_BAD_ALLOC";
        case EGL_BAD_ATTRIBUTE: return "EGL_BAD_ATTRIBUTE";
        case EGL_BAD_CONFIG: return "EGL_BAD_CONFIG";
        case EGL_BAD_CONTEXT: return "EGL_BAD_CONTEXT";
        case EGL_BAD_CURRENT_SURFACE: return "EGL_BAD_CURRENT_SURFACE";
        case EGL_BAD_DISPLAY: return "EGL_BAD_DISPLAY";
        case EGL_BAD_MATCH: return "EGL_BAD_MATCH";
        case EGL_BAD_NATIVE_PIXMAP: return "EGL_BAD_NATIVE_PIXMAP";
        case EGL_BAD_NATIVE_WINDOW: return "EGL_BAD_NATIVE_WINDOW";
        case EGL_BAD_PARAMETER: return "EGL_BAD_PARAMETER";
        case EGL_BAD_SURFACE: return "EGL_BAD_SURFACE";
        case EGL_CONTEXT_LOST: return "EGL_CONTEXT_LOST";
        default: return "unknown EGL error";
    }
}

// X11 objects of a window-mode GlWindow.
struct GlWindow::XState {
    Display* display = nullptr;
    Colormap colormap = 0;
    Cursor blankCursor = 0;
    Window ownWindow = 0;
    Atom deleteAtom = 0;

    ~XState() {
        if (display == nullptr) return;
        if (ownWindow != 0) XDestroyWindow(display, ownWindow);
        if (blankCursor != 0) XFreeCursor(display, blankCursor);
        if (colormap != 0) XFreeColormap(display, colormap);
        XCloseDisplay(display);
    }
};

GlWindow::GlWindow() : m_gl(std::make_unique<GlEntryPoints>()) {}

namespace {

EGLConfig ChooseConfig(EGLDisplay display, EGLint surfaceType) {
    const EGLint attributes[] = {EGL_SURFACE_TYPE, surfaceType,
                                 EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT,
                                 EGL_RED_SIZE, 8, EGL_GREEN_SIZE, 8, EGL_BLUE_SIZE, 8,
                                 EGL_ALPHA_SIZE, 8, EGL_DEPTH_SIZE, 24,
                                 EGL_NONE};
    EGLConfig config = nullptr;
    EGLint count = 0;
    if (!eglChooseConfig(display, attributes, &config, 1, &count) || count < 1) return nullptr;
    return config;
}

EGLDisplay PlatformDisplay(EGLenum platform, void* native) {
    auto getPlatformDisplay = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
        eglGetProcAddress("eglGetPlatformDisplayEXT"));
    if (getPlatformDisplay == nullptr) return EGL_NO_DISPLAY;
    return getPlatformDisplay(platform, native, nullptr);
}

}  // namespace

// The steps of GlWindow::Create, sharing the window being made, the request
// and the failure list.
struct GlWindowBuilder {
    GlWindow& w;
    const GlWindowRequest& request;
    std::vector<std::string>* failures;
    bool wantWindow = false;
    Display* xdisplay = nullptr;

    // The X display (unless headless) and the EGL display on it.
    bool OpenDisplay() {
        wantWindow = request.mode != DisplayMode::kHeadless;
        if (wantWindow) {
            xdisplay = XOpenDisplay(nullptr);
            if (xdisplay == nullptr) {
                if (request.mode == DisplayMode::kWindow) {
                    AppendFailure(failures, kRegisterClassFailed);
                    AppendFailure(failures, kNoWindow);
                    return false;
                }
                wantWindow = false;  // auto: no display, so headless
            }
        }
        if (wantWindow) {
            w.m_x = std::make_unique<GlWindow::XState>();
            w.m_x->display = xdisplay;
            w.m_headless = false;
            w.m_display = PlatformDisplay(EGL_PLATFORM_X11_KHR, xdisplay);
            if (w.m_display == EGL_NO_DISPLAY)
                w.m_display = eglGetDisplay(reinterpret_cast<EGLNativeDisplayType>(xdisplay));
            w.m_terminateDisplay = true;
        } else {
            // The surfaceless display is shared by every user in the process,
            // so it is never terminated here.
            w.m_display = PlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY);
            if (w.m_display == EGL_NO_DISPLAY) w.m_display = eglGetDisplay(EGL_DEFAULT_DISPLAY);
        }
        if (w.m_display == EGL_NO_DISPLAY || !eglInitialize(w.m_display, nullptr, nullptr)) {
            if (wantWindow) AppendFailure(failures, kChooseFailed);
            w.m_terminateDisplay = false;
            return false;
        }
        return eglBindAPI(EGL_OPENGL_API) == EGL_TRUE;
    }

    bool ChooseEglConfig() {
        w.m_config = ChooseConfig(w.m_display, wantWindow ? EGL_WINDOW_BIT : EGL_PBUFFER_BIT);
        if (w.m_config == nullptr && !wantWindow) w.m_config = ChooseConfig(w.m_display, 0);
        if (w.m_config == nullptr) {
            AppendFailure(failures, kChooseFailed);
            return false;
        }
        return true;
    }

    // The window surface: on the host's window when it takes the
    // configuration, else on our own pop-up window.
    bool CreateWindowSurface() {
        EGLint visualId = 0;
        eglGetConfigAttrib(w.m_display, w.m_config, EGL_NATIVE_VISUAL_ID, &visualId);
        XVisualInfo templ{};
        templ.visualid = static_cast<VisualID>(visualId);
        int count = 0;
        XVisualInfo* visual = XGetVisualInfo(xdisplay, VisualIDMask, &templ, &count);
        std::unique_ptr<XVisualInfo, int (*)(void*)> visualOwner(visual, XFree);
        if (visual == nullptr) {
            AppendFailure(failures, kRegisterClassFailed);
            AppendFailure(failures, kNoWindow);
            return false;
        }
        if (request.hostWindow != 0) UseHostWindow(*visual);
        return w.m_surface != EGL_NO_SURFACE || CreateOwnWindow(*visual);
    }

    // The host's window must be an existing input-output window of the
    // config's depth, else it refuses the configuration (a failure text,
    // and no surface).
    void UseHostWindow(const XVisualInfo& visual) {
        XErrorTrap trap(xdisplay);
        XWindowAttributes attributes{};
        Status ok = XGetWindowAttributes(xdisplay, request.hostWindow, &attributes);
        int xerror = trap.Check();
        if (ok == 0 || xerror != 0) {
            char text[256] = "BadWindow";
            XGetErrorText(xdisplay, xerror != 0 ? xerror : BadWindow, text, sizeof(text));
            SetFormatFailure(failures, static_cast<unsigned long>(xerror ? xerror : BadWindow),
                             text);
            return;
        }
        if (attributes.c_class != InputOutput || attributes.depth != visual.depth) {
            SetFormatFailure(failures, EGL_BAD_MATCH, EglErrorName(EGL_BAD_MATCH));
            return;
        }
        w.m_surface = eglCreateWindowSurface(
            w.m_display, w.m_config, static_cast<EGLNativeWindowType>(request.hostWindow), nullptr);
        if (w.m_surface == EGL_NO_SURFACE || trap.Check() != 0) {
            EGLint code = eglGetError();
            if (w.m_surface != EGL_NO_SURFACE) {
                eglDestroySurface(w.m_display, w.m_surface);
                w.m_surface = EGL_NO_SURFACE;
            }
            SetFormatFailure(failures, static_cast<unsigned long>(code), EglErrorName(code));
            return;
        }
        w.m_window = request.hostWindow;
    }

    // Our own pop-up window, titled, closable, without decorations.
    bool CreateOwnWindow(const XVisualInfo& visual) {
        GlWindow::XState& x = *w.m_x;
        XErrorTrap trap(xdisplay);
        Window root = RootWindow(xdisplay, visual.screen);
        x.colormap = XCreateColormap(xdisplay, root, visual.visual, AllocNone);
        XSetWindowAttributes swa{};
        swa.colormap = x.colormap;
        swa.background_pixel = 0;
        swa.border_pixel = 0;
        swa.event_mask = KeyPressMask | StructureNotifyMask | ExposureMask;
        x.ownWindow = XCreateWindow(xdisplay, root, request.x, request.y,
                                    static_cast<unsigned>(request.width),
                                    static_cast<unsigned>(request.height), 0, visual.depth,
                                    InputOutput, visual.visual,
                                    CWColormap | CWBackPixel | CWBorderPixel | CWEventMask, &swa);
        if (x.ownWindow == 0 || trap.Check() != 0) {
            x.ownWindow = 0;
            AppendFailure(failures, kNoWindow);
            return false;
        }
        XStoreName(xdisplay, x.ownWindow, request.title.c_str());
        // The position is the program's choice, not the window manager's.
        XSizeHints sizeHints{};
        sizeHints.flags = USPosition | PPosition;
        sizeHints.x = request.x;
        sizeHints.y = request.y;
        XSetWMNormalHints(xdisplay, x.ownWindow, &sizeHints);
        x.deleteAtom = XInternAtom(xdisplay, "WM_DELETE_WINDOW", False);
        XSetWMProtocols(xdisplay, x.ownWindow, &x.deleteAtom, 1);
        // A pop-up: ask the window manager for no decorations.
        Atom hintsAtom = XInternAtom(xdisplay, "_MOTIF_WM_HINTS", False);
        long hints[5] = {2, 0, 0, 0, 0};  // flags: decorations; decorations: none
        XChangeProperty(xdisplay, x.ownWindow, hintsAtom, hintsAtom, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(hints), 5);
        w.m_surface = eglCreateWindowSurface(w.m_display, w.m_config,
                                             static_cast<EGLNativeWindowType>(x.ownWindow), nullptr);
        if (w.m_surface == EGL_NO_SURFACE) {
            EGLint code = eglGetError();
            SetFormatFailure(failures, static_cast<unsigned long>(code), EglErrorName(code));
            return false;
        }
        w.m_window = x.ownWindow;
        w.m_ownWindow = true;
        return true;
    }

    // The context, current on this thread, with its entry points, frame
    // buffers and texture names.
    bool CreateContext() {
        w.m_context = eglCreateContext(w.m_display, w.m_config, EGL_NO_CONTEXT, nullptr);
        if (w.m_context == EGL_NO_CONTEXT) return false;
        if (w.m_surface == EGL_NO_SURFACE &&
            !eglMakeCurrent(w.m_display, EGL_NO_SURFACE, EGL_NO_SURFACE, w.m_context)) {
            // No surfaceless contexts here: a small pbuffer carries the context.
            const EGLint pbufferAttributes[] = {EGL_WIDTH, 1, EGL_HEIGHT, 1, EGL_NONE};
            w.m_surface = eglCreatePbufferSurface(w.m_display, w.m_config, pbufferAttributes);
            if (w.m_surface == EGL_NO_SURFACE) return false;
        }
        if (!w.MakeCurrent()) return false;
        if (!w.m_gl->Load()) return false;
        if (!w.CreateFrameBuffers(request.width, request.height)) return false;
        glGenTextures(kTextureNameCount, w.m_textures.data());
        w.m_texturesMade = true;
        return true;
    }

    // Hides the mouse cursor over our own window and maps it.
    void ShowOwnWindow() {
        GlWindow::XState& x = *w.m_x;
        char empty[8] = {};
        Pixmap bitmap = XCreateBitmapFromData(xdisplay, x.ownWindow, empty, 8, 8);
        XColor black{};
        x.blankCursor = XCreatePixmapCursor(xdisplay, bitmap, bitmap, &black, &black, 0, 0);
        XFreePixmap(xdisplay, bitmap);
        XDefineCursor(xdisplay, x.ownWindow, x.blankCursor);
        XMapRaised(xdisplay, x.ownWindow);
        XSync(xdisplay, False);
    }
};

std::unique_ptr<GlWindow> GlWindow::Create(const GlWindowRequest& request,
                                           std::vector<std::string>* failures) {
    std::unique_ptr<GlWindow> w(new GlWindow());  // private constructor
    w->m_width = request.width;
    w->m_height = request.height;
    GlWindowBuilder build{*w, request, failures};
    if (!build.OpenDisplay() || !build.ChooseEglConfig()) return nullptr;
    if (build.wantWindow && !build.CreateWindowSurface()) return nullptr;
    if (!build.CreateContext()) return nullptr;
    if (w->m_ownWindow) build.ShowOwnWindow();
    return w;
}

GlWindow::~GlWindow() {
    if (m_display != EGL_NO_DISPLAY && m_context != EGL_NO_CONTEXT) {
        if (MakeCurrent()) {
            if (m_texturesMade) glDeleteTextures(kTextureNameCount, m_textures.data());
            DeleteFrameBuffers();
        }
        eglMakeCurrent(m_display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
        eglDestroyContext(m_display, m_context);
    }
    if (m_display != EGL_NO_DISPLAY && m_surface != EGL_NO_SURFACE)
        eglDestroySurface(m_display, m_surface);
    if (m_display != EGL_NO_DISPLAY && m_terminateDisplay) eglTerminate(m_display);
    eglReleaseThread();
    m_x.reset();  // X window, cursor, colour map, connection
}

bool GlWindow::MakeCurrent() {
    return eglMakeCurrent(m_display, m_surface, m_surface, m_context) == EGL_TRUE;
}

GLenum GlWindow::Attachment(BufferRole role) const {
    int index = role == BufferRole::kFront ? m_frontIndex : 1 - m_frontIndex;
    return static_cast<GLenum>(GL_COLOR_ATTACHMENT0 + index);
}

bool GlWindow::CreateFrameBuffers(int width, int height) {
    GlEntryPoints& gl = *m_gl;
    gl.GenFramebuffers(1, &m_fbo);
    gl.BindFramebuffer(GL_FRAMEBUFFER, m_fbo);
    gl.GenRenderbuffers(2, m_color.data());
    for (int i = 0; i < 2; ++i) {
        gl.BindRenderbuffer(GL_RENDERBUFFER, m_color[static_cast<size_t>(i)]);
        gl.RenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, width, height);
        gl.FramebufferRenderbuffer(GL_FRAMEBUFFER, static_cast<GLenum>(GL_COLOR_ATTACHMENT0 + i),
                                   GL_RENDERBUFFER, m_color[static_cast<size_t>(i)]);
    }
    gl.GenRenderbuffers(1, &m_depth);
    gl.BindRenderbuffer(GL_RENDERBUFFER, m_depth);
    gl.RenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH24_STENCIL8, width, height);
    gl.FramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_STENCIL_ATTACHMENT, GL_RENDERBUFFER,
                               m_depth);
    gl.BindRenderbuffer(GL_RENDERBUFFER, 0);
    if (gl.CheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) return false;
    m_width = width;
    m_height = height;
    m_frontIndex = 0;
    glViewport(0, 0, width, height);
    SelectDrawBuffer(m_drawRole);
    SelectReadBuffer(m_readRole);
    // Both buffers start black.
    for (BufferRole role : {BufferRole::kFront, BufferRole::kBack}) {
        glDrawBuffer(Attachment(role));
        glClearColor(0.0f, 0.0f, 0.0f, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    }
    SelectDrawBuffer(m_drawRole);
    return true;
}

void GlWindow::DeleteFrameBuffers() {
    GlEntryPoints& gl = *m_gl;
    if (m_fbo == 0) return;
    gl.BindFramebuffer(GL_FRAMEBUFFER, 0);
    gl.DeleteRenderbuffers(2, m_color.data());
    gl.DeleteRenderbuffers(1, &m_depth);
    gl.DeleteFramebuffers(1, &m_fbo);
    m_fbo = 0;
    m_color = {};
    m_depth = 0;
}

bool GlWindow::SetFrameSize(int width, int height) {
    if (width == m_width && height == m_height) return true;
    GLfloat clear[4];
    glGetFloatv(GL_COLOR_CLEAR_VALUE, clear);
    DeleteFrameBuffers();
    bool ok = CreateFrameBuffers(width, height);
    glClearColor(clear[0], clear[1], clear[2], clear[3]);
    if (ok && m_ownWindow) {
        XResizeWindow(m_x->display, m_x->ownWindow, static_cast<unsigned>(width),
                      static_cast<unsigned>(height));
        XSync(m_x->display, False);
    }
    return ok;
}

void GlWindow::SelectDrawBuffer(BufferRole role) {
    m_drawRole = role;
    glDrawBuffer(Attachment(role));
}

void GlWindow::SelectReadBuffer(BufferRole role) {
    m_readRole = role;
    glReadBuffer(Attachment(role));
}

void GlWindow::SwapBuffers() {
    m_frontIndex = 1 - m_frontIndex;
    glDrawBuffer(Attachment(m_drawRole));
    glReadBuffer(Attachment(m_readRole));
    Present();
}

void GlWindow::Present() {
    if (m_headless || m_surface == EGL_NO_SURFACE) return;
    GlEntryPoints& gl = *m_gl;
    GLboolean scissor = glIsEnabled(GL_SCISSOR_TEST);
    if (scissor) glDisable(GL_SCISSOR_TEST);
    EGLint surfaceWidth = m_width, surfaceHeight = m_height;
    eglQuerySurface(m_display, m_surface, EGL_WIDTH, &surfaceWidth);
    eglQuerySurface(m_display, m_surface, EGL_HEIGHT, &surfaceHeight);
    gl.BindFramebuffer(GL_DRAW_FRAMEBUFFER, 0);
    glDrawBuffer(GL_BACK);
    glReadBuffer(Attachment(BufferRole::kFront));
    bool same = surfaceWidth == m_width && surfaceHeight == m_height;
    gl.BlitFramebuffer(0, 0, m_width, m_height, 0, 0, surfaceWidth, surfaceHeight,
                       GL_COLOR_BUFFER_BIT, same ? GL_NEAREST : GL_LINEAR);
    eglSwapBuffers(m_display, m_surface);
    gl.BindFramebuffer(GL_FRAMEBUFFER, m_fbo);
    glDrawBuffer(Attachment(m_drawRole));
    glReadBuffer(Attachment(m_readRole));
    if (scissor) glEnable(GL_SCISSOR_TEST);
    if (m_x) XSync(m_x->display, False);
}

void GlWindow::FinishDrawing() {
    glFlush();
    glFinish();
    if (m_drawRole == BufferRole::kFront) Present();
}

bool GlWindow::PumpEvents() {
    if (!m_x || m_x->display == nullptr) return m_quitPosted;
    Display* d = m_x->display;
    bool repaint = false;
    while (XPending(d) > 0) {
        XEvent event;
        XNextEvent(d, &event);
        if (event.xany.window != m_x->ownWindow) continue;
        switch (event.type) {
            case KeyPress:
                if (XLookupKeysym(&event.xkey, 0) == XK_Escape) m_quitPosted = true;
                break;
            case ClientMessage:
                if (static_cast<Atom>(event.xclient.data.l[0]) == m_x->deleteAtom)
                    m_quitPosted = true;
                break;
            case Expose:
            case ConfigureNotify:
                repaint = true;
                break;
            default:
                break;
        }
    }
    if (repaint) Present();
    return m_quitPosted;
}

void* GlWindow::ProcAddress(const char* name) const {
    return reinterpret_cast<void*>(eglGetProcAddress(name));
}

bool GlWindow::HasExtension(const char* name) const {
    GLint count = 0;
    glGetIntegerv(GL_NUM_EXTENSIONS, &count);
    auto getStringi = reinterpret_cast<PFNGLGETSTRINGIPROC>(eglGetProcAddress("glGetStringi"));
    if (getStringi != nullptr && count > 0) {
        for (GLint i = 0; i < count; ++i) {
            const GLubyte* ext = getStringi(GL_EXTENSIONS, static_cast<GLuint>(i));
            if (ext != nullptr && std::strcmp(reinterpret_cast<const char*>(ext), name) == 0)
                return true;
        }
        return false;
    }
    const char* all = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
    if (all == nullptr) return false;
    size_t len = std::strlen(name);
    for (const char* p = std::strstr(all, name); p != nullptr; p = std::strstr(p + 1, name)) {
        if ((p == all || p[-1] == ' ') && (p[len] == ' ' || p[len] == '\0')) return true;
    }
    return false;
}

std::string GlWindow::Description() const {
    auto text = [](GLenum what) {
        const GLubyte* s = glGetString(what);
        return s != nullptr ? std::string(reinterpret_cast<const char*>(s)) : std::string("?");
    };
    return text(GL_RENDERER) + ", OpenGL " + text(GL_VERSION);
}

}  // namespace voxa
