// The render context's OpenGL window: an EGL desktop-GL compatibility
// context with a frame of fixed size, shown in an X11 window or kept
// headless.
//
// The frame always lives in a framebuffer object of the frame's size with
// two colour buffers (front and back) and a depth/stencil buffer; SwapBuffers
// exchanges the two. Headless (no X display, or when asked) the context is
// surfaceless (or a 1 x 1 pbuffer where surfaceless contexts are missing).
// With a display the window (our own "VOXA - SERVER" pop-up, or the host's
// window given by id) gets an EGL window surface, and Present() copies the
// front colour buffer into it and swaps the surface. So front/back buffers,
// read-back and swaps behave the same with and without a display.
//
// Owns every X11, EGL and GL object it makes (released in the destructor,
// in reverse order). Not thread-safe: the thread that created it must be the
// one that uses it (the context is current on that thread).
#pragma once

#include <EGL/egl.h>
#include <GL/gl.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace voxa {

inline constexpr char kWindowTitle[] = "VOXA - SERVER";
inline constexpr int kTextureNameCount = 256;

enum class DisplayMode {
    kAuto,      // a window when an X display can be opened, else headless
    kHeadless,  // never a window
    kWindow,    // a window or nothing
};

enum class BufferRole { kFront, kBack };

struct GlWindowRequest {
    DisplayMode mode = DisplayMode::kAuto;
    int width = 1024;
    int height = 1024;
    unsigned long hostWindow = 0;  // X11 window id to draw into; 0 = own window
    std::string title = kWindowTitle;
    int x = 0, y = 0;  // position of an own window on the screen
};

// GL entry points beyond 1.1, loaded through eglGetProcAddress.
struct GlEntryPoints;

class GlWindow {
public:
    // Creates the window and context, makes it current and sets up the
    // frame buffers. Failure texts of the window preparation (as they go to
    // the debug file) are appended to *failures. Returns null when no
    // context could be made.
    static std::unique_ptr<GlWindow> Create(const GlWindowRequest& request,
                                            std::vector<std::string>* failures);
    ~GlWindow();
    GlWindow(const GlWindow&) = delete;
    GlWindow& operator=(const GlWindow&) = delete;

    bool IsHeadless() const { return m_headless; }
    // True when the window is ours (not the host's).
    bool OwnsWindow() const { return m_ownWindow; }
    unsigned long WindowId() const { return m_window; }
    int Width() const { return m_width; }
    int Height() const { return m_height; }

    bool MakeCurrent();
    // Re-allocates the frame buffers for another frame size (contents are
    // lost); an own window is resized too. False on failure.
    bool SetFrameSize(int width, int height);

    // Selects the buffer that drawing goes to / reading comes from.
    void SelectDrawBuffer(BufferRole role);
    void SelectReadBuffer(BufferRole role);
    BufferRole DrawRole() const { return m_drawRole; }
    BufferRole ReadRole() const { return m_readRole; }
    // Exchanges front and back (draw and read selections follow their
    // roles), then shows the new front buffer in the window.
    void SwapBuffers();
    // Copies the front buffer into the window (nothing headless).
    void Present();
    // Flush and finish; in a window, drawing into the front buffer is shown.
    void FinishDrawing();

    // Handles pending window events: Esc or a close request posts quit, an
    // exposure repaints. Returns true once quit has been posted.
    bool PumpEvents();
    bool QuitPosted() const { return m_quitPosted; }

    // GL entry point by name (null when the driver lacks it).
    void* ProcAddress(const char* name) const;
    bool HasExtension(const char* name) const;
    const std::array<GLuint, kTextureNameCount>& TextureNames() const { return m_textures; }
    // Renderer and version strings of the context.
    std::string Description() const;

private:
    friend struct GlWindowBuilder;  // the steps of Create
    GlWindow();
    bool CreateFrameBuffers(int width, int height);
    void DeleteFrameBuffers();
    GLenum Attachment(BufferRole role) const;

    struct XState;
    std::unique_ptr<XState> m_x;
    std::unique_ptr<GlEntryPoints> m_gl;
    EGLDisplay m_display = EGL_NO_DISPLAY;
    bool m_terminateDisplay = false;
    EGLConfig m_config = nullptr;
    EGLContext m_context = EGL_NO_CONTEXT;
    EGLSurface m_surface = EGL_NO_SURFACE;
    bool m_headless = true;
    bool m_ownWindow = false;
    unsigned long m_window = 0;
    int m_width = 0, m_height = 0;
    GLuint m_fbo = 0;
    std::array<GLuint, 2> m_color{};  // renderbuffers; m_color[m_frontIndex] is the front
    GLuint m_depth = 0;
    int m_frontIndex = 0;
    BufferRole m_drawRole = BufferRole::kBack;
    BufferRole m_readRole = BufferRole::kBack;
    std::array<GLuint, kTextureNameCount> m_textures{};
    bool m_texturesMade = false;
    bool m_quitPosted = false;
};

// Short name of an EGL error code ("EGL_BAD_MATCH").
const char* EglErrorName(EGLint code);

}  // namespace voxa
