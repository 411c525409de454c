#include "movie/reel_player.h"

#include "platform/debug_file.h"
#include "platform/paths.h"

#include <GL/gl.h>
#include <pthread.h>
#include <sched.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

namespace voxa::movie {

namespace {

using namespace std::chrono_literals;

// Windows of one process are opened and closed one at a time.
std::mutex g_windowMu;

std::once_flag g_xHandlerOnce;

int RecordXError(Display* display, XErrorEvent* event) {
    char text[256] = "";
    XGetErrorText(display, event->error_code, text, sizeof(text));
    char line[400];
    std::snprintf(line, sizeof(line), "%sX error in reel1: %s (request %d)\n", kReportRule, text,
                  static_cast<int>(event->request_code));
    AppendDebugText(kErrorFile, line);
    return 0;
}

constexpr int kDisplayNice = 5;  // the display thread's nice value above the readers'

// The display thread looks at the clock when the next frame falls due, and
// besides: every 10 ms at most (stop flag, a standing clock); every
// millisecond while the frame due waits for its disk buffers.
constexpr auto kDisplayStopPoll = std::chrono::milliseconds(10);
constexpr auto kDisplayDataPoll = std::chrono::milliseconds(1);
// How far ahead the display looks for the next frame (movie ms); a slower
// clock is looked at again after kDisplayStopPoll.
constexpr int64_t kLookAheadMs = 250;
// The least time before the next frame falls due for drawing it ahead.
constexpr auto kMinDrawAhead = std::chrono::milliseconds(5);

constexpr int kMaxRunBuffers = kReaderRun;  // disk buffers read by one call (8 MiB)

// Reads exactly count bytes at offset (fewer only at end of file or on an
// error); the bytes read, or -1 with errno when nothing could be read.
int64_t ReadFully(int fd, uint8_t* buffer, int64_t count, int64_t offset) {
    int64_t done = 0;
    while (done < count) {
        ssize_t n = ::pread(fd, buffer + done, static_cast<size_t>(count - done), offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return done > 0 ? done : -1;
        if (n == 0) break;
        done += n;
    }
    return done;
}

std::string ReadOptionFile(const std::string& path, bool* exists) {
    std::ifstream in(path);
    *exists = static_cast<bool>(in);
    if (!in) return "";
    std::string text(64, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

}  // namespace

MappedBuffer::MappedBuffer(size_t bytes) {
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) {
        m_data = static_cast<uint8_t*>(p);
        m_size = bytes;
    }
}

MappedBuffer::~MappedBuffer() {
    if (m_data != nullptr) ::munmap(m_data, m_size);
}

MappedBuffer::MappedBuffer(MappedBuffer&& other) noexcept
    : m_data(std::exchange(other.m_data, nullptr)), m_size(std::exchange(other.m_size, 0)) {}

MappedBuffer& MappedBuffer::operator=(MappedBuffer&& other) noexcept {
    if (this != &other) {
        if (m_data != nullptr) ::munmap(m_data, m_size);
        m_data = std::exchange(other.m_data, nullptr);
        m_size = std::exchange(other.m_size, 0);
    }
    return *this;
}

void InstallXErrorHandler() {
    std::call_once(g_xHandlerOnce, [] {
        XInitThreads();
        XSetErrorHandler(RecordXError);
    });
}

Player::Player(PlayerConfig config) : m_config(config) {}

Player::~Player() { ShutDown(); }

int64_t Player::GetTime() const { return m_clock.Elapsed(); }

void Player::ReportError(const std::string& text) {
    AppendDebugText(kErrorFile, std::string(kReportRule) + text);
}

void Player::Refuse(const std::string& reason) {
    std::lock_guard lock(m_mu);
    m_valid = false;
    ++m_generation;
    std::lock_guard status(m_statusMu);
    m_state = "refused";
    m_reason = reason;
    m_shownFrame = -1;
}

void Player::Initialize(std::string_view files, int nx, int ny, int nframes) {
    if (!m_started) {
        m_started = true;
        m_clock.Restart();
    }
    if (!m_ring) m_ring = MappedBuffer(static_cast<size_t>(m_config.ringBytes));
    if (!m_display) m_display = MappedBuffer(static_cast<size_t>(m_config.displayBytes));
    StopReaders();
    m_clock.Reset();
    m_shown = 0;
    m_late = 0;
    m_skipped = 0;
    m_errors = 0;
    m_bytesRead = 0;
    m_anyShown = false;

    // The window shows the frame size asked for even when the movie is
    // refused (a dark window), as long as the size is sane.
    {
        std::lock_guard lock(m_mu);
        if (nx > 0 && ny > 0 && nx <= 16384 && ny <= 16384) {
            m_width = nx;
            m_height = ny;
        } else if (m_width == 0) {
            m_width = 640;
            m_height = 480;
        }
    }

    std::string reason;
    std::vector<std::string> names;
    std::vector<ServedPath> paths;
    int64_t frameSize = int64_t{nx} * ny * 3;
    if (!m_ring || !m_display) {
        reason = "no memory for the ring";
    } else if (nframes <= 0) {
        reason = "frame count " + std::to_string(nframes) + " is not positive";
    } else if (nx <= 0 || ny <= 0) {
        reason = "frame size " + std::to_string(nx) + "x" + std::to_string(ny) + " is empty";
    } else if (frameSize > m_config.displayBytes) {
        reason = "frame of " + std::to_string(frameSize) + " bytes exceeds the display buffer of " +
                 std::to_string(m_config.displayBytes);
    } else if (SplitFileList(files, &names, &reason)) {
        for (const std::string& name : names) {
            if (m_config.roots == nullptr) {
                reason = name + ": no data roots";
                break;
            }
            Result<ServedPath> served = m_config.roots->Check(name);
            if (!served.ok()) {
                reason = name + ": " + served.status().message();
                break;
            }
            paths.push_back(std::move(*served));
        }
    }
    if (reason.empty()) {
        int64_t bufSize = kDefaultDiskBufSize;
        bool exists = false;
        std::string option = ReadOptionFile(DrivePath(kDiskBufOptionFile), &exists);
        if (exists) {
            std::string why;
            bufSize = ChooseDiskBufSize(option, frameSize, m_config.ringBytes, &why);
            if (!why.empty())
                ReportError("Disk buffer option refused: " + why + "; using " +
                            std::to_string(kDefaultDiskBufSize) + " bytes\n");
        }
        RingGeometry g = MakeGeometry(frameSize, nframes, bufSize, m_config.ringBytes, &reason);
        if (reason.empty()) {
            std::lock_guard lock(m_mu);
            m_geom = g;
            m_valid = true;
            ++m_generation;
            m_names = names;
            m_paths = paths;
            m_slots.reset(new std::atomic<int64_t>[static_cast<size_t>(g.ringSlots)]);
            m_bad.reset(new std::atomic<uint8_t>[static_cast<size_t>(g.ringSlots)]);
            for (int64_t s = 0; s < g.ringSlots; ++s) {
                m_slots[s].store(-1);
                m_bad[s].store(0);
            }
            std::lock_guard status(m_statusMu);
            m_readCounts.reset(new std::atomic<int64_t>[names.size()]);
            for (size_t k = 0; k < names.size(); ++k) m_readCounts[k].store(0);
            m_readerCount = names.size();
            m_state = "wait";
            m_reason.clear();
            m_shownFrame = -1;
        }
    }
    if (!reason.empty()) {
        Refuse(reason);
    } else {
        StartReaders();
    }
    WakeDisplay();
    if (!m_displayThread.joinable()) {
        m_stop = false;
        m_displayThread = std::thread(&Player::DisplayMain, this);
    }
}

void Player::ShutDown() {
    m_stop = true;
    WakeDisplay();
    StopReaders();
    if (m_displayThread.joinable()) m_displayThread.join();
    std::lock_guard lock(m_mu);
    m_valid = false;
    ++m_generation;
    std::lock_guard status(m_statusMu);
    if (m_state != "none") m_state = "down";
    m_shownFrame = -1;
}

void Player::StopReaders() {
    m_readerStop = true;
    for (std::thread& t : m_readers) t.join();
    m_readers.clear();
    m_readerStop = false;
}

void Player::StartReaders() {
    std::lock_guard lock(m_mu);
    for (size_t k = 0; k < m_paths.size(); ++k)
        m_readers.emplace_back(&Player::ReaderMain, this, static_cast<int>(k), m_names[k],
                               m_paths[k]);
}

void Player::FramePP() {
    m_clock.FramePP();
    WakeDisplay();
}

void Player::SetOffset(int64_t offset) {
    m_clock.SetOffset(offset);
    WakeDisplay();
}

void Player::SetMovieParameters(int64_t time0, int64_t frame0, float rateBefore, float rateAfter) {
    m_clock.SetParameters(ClockParameters{time0, frame0, rateBefore, rateAfter});
    WakeDisplay();
}

void Player::SetOption(std::string_view key, std::string_view value) {
    std::string text(value.substr(0, 255));
    std::lock_guard lock(m_mu);
    if (key == "Expand") {
        float expand = 0;
        // Zooms outside 1/64 .. 64 are no picture anyone wants: ignored.
        if (std::sscanf(text.c_str(), "%f", &expand) == 1 && std::isfinite(expand) &&
            expand >= 1.0f / 64 && expand <= 64.0f)
            m_expand = expand;
    } else if (key == "Xoffset" || key == "Yoffset") {
        int offset = 0;
        if (std::sscanf(text.c_str(), "%d", &offset) == 1)
            (key == "Xoffset" ? m_xOffset : m_yOffset) = offset;
    }
}

PlayerStats Player::Stats() const {
    PlayerStats s;
    {
        std::lock_guard status(m_statusMu);
        s.frame = m_shownFrame;
        s.state = m_state;
        s.reason = m_reason;
        if (m_readCounts)
            for (size_t k = 0; k < m_readerCount; ++k) s.buffersPerReader.push_back(m_readCounts[k]);
    }
    s.clock = m_clock.CurrentFrame();
    if (s.state == "play" || s.state == "pause")
        s.state = m_clock.RateNow() != 0.0f ? "play" : "pause";
    s.shown = m_shown;
    s.late = m_late;
    s.skipped = m_skipped;
    s.errors = m_errors;
    s.bytesRead = m_bytesRead;
    return s;
}

std::string Player::GetStatus() const {
    PlayerStats s = Stats();
    char line[256];
    std::snprintf(line, sizeof(line),
                  "frame=%lld clock=%lld state=%s shown=%lld late=%lld skipped=%lld errors=%lld "
                  "read=%lld",
                  static_cast<long long>(s.frame), static_cast<long long>(s.clock),
                  s.state.c_str(), static_cast<long long>(s.shown), static_cast<long long>(s.late),
                  static_cast<long long>(s.skipped), static_cast<long long>(s.errors),
                  static_cast<long long>(s.bytesRead));
    std::string out = line;
    if (!s.reason.empty()) out += " reason=" + s.reason;
    return out;
}

Screen Player::LastScreen() const {
    std::lock_guard lock(m_screenMu);
    return m_screen;
}

RingGeometry Player::Geometry() const {
    std::lock_guard lock(m_mu);
    return m_geom;
}

// ---- readers ---------------------------------------------------------------

void Player::ReaderMain(int k, std::string name, ServedPath path) {
    RingGeometry g;
    std::atomic<int64_t>* slots;
    std::atomic<uint8_t>* bad;
    std::atomic<int64_t>* readCount;
    int readers;
    {
        std::lock_guard lock(m_mu);
        g = m_geom;
        slots = m_slots.get();
        bad = m_bad.get();
        readers = static_cast<int>(m_paths.size());
        std::lock_guard status(m_statusMu);
        readCount = &m_readCounts[k];
    }
    uint8_t* ring = m_ring.Data();

    int err = 0;
    UniqueFd direct = m_config.roots->Open(path, O_RDONLY | O_DIRECT | O_CLOEXEC, 0, &err);
    if (!direct && err == EINVAL) err = 0;  // no unbuffered reads here: buffered only
    UniqueFd buffered = m_config.roots->Open(path, O_RDONLY | O_CLOEXEC, 0, &err);
    bool reportedRead = false;
    auto fail = [&](const std::string& why) {
        if (!reportedRead) {
            reportedRead = true;
            ReportError("Movie file unreadable in reel1:\n" + name + ": " + why + "\n");
            std::lock_guard status(m_statusMu);
            m_reason = name + ": " + why;
        }
    };
    if (!buffered) {
        fail(std::strerror(err != 0 ? err : EIO));
    } else {
        struct stat st{};
        if (::fstat(buffered.Get(), &st) == 0 && st.st_size < g.MovieBytes()) {
            char text[200];
            std::snprintf(text, sizeof(text), "holds %lld bytes, the movie needs %lld",
                          static_cast<long long>(st.st_size),
                          static_cast<long long>(g.MovieBytes()));
            fail(text);  // the short reads that follow are counted, not reported again
        }
    }

    while (!m_readerStop) {
        int64_t f = m_clock.CurrentFrame();
        int64_t start = g.WindowStart(f);
        int64_t end = start + g.window;
        int64_t first = -1;
        for (int64_t i = start; i < end; ++i) {
            if (ReaderOfBuffer(i, readers) != k) {
                i = (i / kReaderRun + 1) * kReaderRun - 1;  // skip the others' run
                continue;
            }
            if (slots[g.Slot(i)].load(std::memory_order_acquire) != i) {
                first = i;
                break;
            }
        }
        if (first < 0) {
            std::this_thread::sleep_for(2ms);
            continue;
        }
        // A run of whole buffers that are consecutive in the file and in
        // the ring, all this reader's and all missing.
        int64_t count = 1;
        bool partial = g.BytesInBuffer(first) < g.bufferSize;
        while (!partial && count < kMaxRunBuffers) {
            int64_t j = first + count;
            if (j >= end || ReaderOfBuffer(j, readers) != k || g.Slot(j) == 0 ||
                j % g.diskBuffers == 0 || g.BytesInBuffer(j) < g.bufferSize ||
                slots[g.Slot(j)].load(std::memory_order_acquire) == j)
                break;
            ++count;
        }
        for (int64_t j = first; j < first + count; ++j)
            slots[g.Slot(j)].store(-1, std::memory_order_release);
        std::atomic_thread_fence(std::memory_order_seq_cst);

        int64_t slotOffset = g.Slot(first) * g.bufferSize;
        int64_t fileOffset = g.FileOffset(first);
        int64_t want = partial ? g.BytesInBuffer(first) : count * g.bufferSize;
        int64_t got = -1;
        if (slotOffset + want > g.ringSlots * g.bufferSize) {
            char text[200];
            std::snprintf(text, sizeof(text),
                          "Would have written past end of array:\n"
                          "iMemBufOff=%lld    m_dwDiskBufSize=%lld    dwBufSize=%lld:\n",
                          static_cast<long long>(slotOffset),
                          static_cast<long long>(g.bufferSize), static_cast<long long>(want));
            ReportError(text);
            got = 0;
        } else {
            if (!partial && direct) {
                got = ReadFully(direct.Get(), ring + slotOffset, want, fileOffset);
                if (got < 0 && errno == EINVAL) direct.Reset();  // refused: buffered from now on
            }
            if (got < want && buffered) {
                // The last, partial buffer, or no unbuffered reads here.
                got = ReadFully(buffered.Get(), ring + slotOffset, want, fileOffset);
            }
        }
        if (got > 0) m_bytesRead += got;
        for (int64_t j = first; j < first + count; ++j) {
            int64_t need = (j - first) * g.bufferSize + g.BytesInBuffer(j);
            bool ok = got >= need;
            if (!ok) {
                ++m_errors;
                if (got >= 0) fail("short read at offset " + std::to_string(g.FileOffset(j)));
                else fail(std::string("read failed: ") + std::strerror(errno));
            }
            bad[g.Slot(j)].store(ok ? 0 : 1, std::memory_order_relaxed);
            slots[g.Slot(j)].store(j, std::memory_order_release);
            ++*readCount;
        }
    }
}

// ---- display ---------------------------------------------------------------

bool Player::OpenWindow(std::unique_ptr<GlWindow>* window, int* width, int* height) {
    InstallXErrorHandler();
    GlWindowRequest request;
    request.mode = m_config.headless ? DisplayMode::kHeadless : DisplayMode::kWindow;
    {
        std::lock_guard lock(m_mu);
        *width = static_cast<int>(m_width * m_expand + 0.5f);
        *height = static_cast<int>(m_height * m_expand + 0.5f);
        request.x = m_xOffset;
        request.y = m_yOffset;
    }
    request.width = std::max(1, *width);
    request.height = std::max(1, *height);
    request.title = kReelWindowTitle;
    std::vector<std::string> failures;
    {
        std::lock_guard lock(g_windowMu);
        *window = GlWindow::Create(request, &failures);
    }
    if (!*window) {
        std::string text = "Display window could not be opened in reel1:\n";
        for (const std::string& f : failures) text += f + "\n";
        ReportError(text);
        std::lock_guard status(m_statusMu);
        m_reason = "no display window";
        return false;
    }
    GlWindow& w = **window;
    glClearColor(0, 0, 0, 0);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_DITHER);
    glDisable(GL_FOG);
    glDisable(GL_LIGHTING);
    glDisable(GL_STENCIL_TEST);
    glDisable(GL_TEXTURE_1D);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_COLOR_LOGIC_OP);
    glDisable(GL_BLEND);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    w.SelectDrawBuffer(BufferRole::kBack);
    glClear(GL_COLOR_BUFFER_BIT);
    w.SwapBuffers();
    return true;
}

void Player::SetShownFrame(int64_t frame) {
    std::lock_guard status(m_statusMu);
    m_shownFrame = frame;
    if (frame >= 0 && m_state == "wait") m_state = "play";
}

Player::FrameCheck Player::CheckFrame(const RingGeometry& g, int64_t f) const {
    int64_t b0 = g.FirstBuffer(f), b1 = g.LastBuffer(f);
    FrameCheck result = FrameCheck::kReady;
    for (int64_t b = b0; b <= b1; ++b) {
        int64_t s = g.Slot(b);
        if (m_slots[s].load(std::memory_order_acquire) != b) return FrameCheck::kNotReady;
        if (m_bad[s].load(std::memory_order_relaxed) != 0) result = FrameCheck::kBad;
    }
    return result;
}

void Player::DrawBlank(GlWindow& window) {
    window.SelectDrawBuffer(BufferRole::kBack);
    glClear(GL_COLOR_BUFFER_BIT);
    window.SwapBuffers();
    KeepScreen(window, -1);
}

void Player::DrawFrame(GlWindow& window, FrameDrawer& drawer, const uint8_t* pixels) {
    window.SelectDrawBuffer(BufferRole::kBack);
    drawer.Draw(pixels);
    glFlush();
}

void Player::KeepScreen(GlWindow& window, int64_t frame) {
    if (!m_config.keepScreen) return;
    Screen screen;
    screen.frame = frame;
    screen.width = window.Width();
    screen.height = window.Height();
    screen.rgb.resize(static_cast<size_t>(screen.width) * screen.height * 3);
    window.SelectReadBuffer(BufferRole::kFront);
    glReadPixels(0, 0, screen.width, screen.height, GL_RGB, GL_UNSIGNED_BYTE, screen.rgb.data());
    std::lock_guard lock(m_screenMu);
    m_screen = std::move(screen);
}

Player::DrawResult Player::DrawIntoBack(GlWindow& window, FrameDrawer& drawer,
                                        const RingGeometry& g, int64_t f) {
    FrameCheck check = CheckFrame(g, f);
    if (check == FrameCheck::kNotReady) return DrawResult::kNotReady;
    if (check == FrameCheck::kBad) return DrawResult::kBad;
    int64_t off = g.RingOffsetOfFrame(f);
    int64_t ringUsed = g.ringSlots * g.bufferSize;
    if (off < 0 || off >= ringUsed) {
        int64_t b0 = g.FirstBuffer(f);
        char text[600];
        std::snprintf(text, sizeof(text),
                      "Problem with memory offsets in ShowFrame:\n"
                      "iMem0= %lld  iFrame=%lld  m_iNFrames=%lld:\n"
                      "iBuf0=%lld  iBuf1=%lld   m_iNMemBuf=%lld:\n"
                      "m_dwFrameSize=%lld   m_iNDiskBuf=%lld\n"
                      "m_dwDiskBufSize=%lld  m_i64DiskBufOff[iBuf0 mod m_iNMemBuf]=%lld\n",
                      (long long)off, (long long)f, (long long)g.frames, (long long)b0,
                      (long long)g.LastBuffer(f), (long long)g.ringSlots, (long long)g.frameSize,
                      (long long)g.diskBuffers, (long long)g.bufferSize,
                      (long long)g.FileOffset(b0));
        ReportError(text);
        return DrawResult::kOffsetError;
    }
    const uint8_t* pixels = m_ring.Data() + off;
    if (g.FrameWraps(f)) {
        int64_t tail = ringUsed - off;
        std::memcpy(m_display.Data(), pixels, static_cast<size_t>(tail));
        std::memcpy(m_display.Data() + tail, m_ring.Data(), static_cast<size_t>(g.frameSize - tail));
        pixels = m_display.Data();
    }
    DrawFrame(window, drawer, pixels);
    // The driver has taken the pixels when the drawing calls return; the
    // picture counts only if no reader replaced a buffer meanwhile.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return CheckFrame(g, f) == FrameCheck::kReady ? DrawResult::kDrawn : DrawResult::kReplaced;
}

void Player::WakeDisplay() {
    {
        std::lock_guard lock(m_wakeMu);
        ++m_wakeCount;
    }
    m_wakeCv.notify_all();
}

void Player::DisplayMain() {
    // Drawing yields to reading: a frame the disk has not delivered is lost
    // for good, while a busy display only skips frames. The GL driver's own
    // threads, started from here, inherit this (a software rasterizer can
    // otherwise take every core from the readers).
    errno = 0;
    int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
    if (errno == 0) ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), nice + kDisplayNice);
    std::unique_ptr<GlWindow> window;
    int winWidth = 0, winHeight = 0;
    if (!OpenWindow(&window, &winWidth, &winHeight)) return;  // the panel stays dark
    // The display thread itself (not the driver's threads, made with the
    // context above) does little per frame: a conversion, a copy and a swap,
    // the next frame drawn ahead. What makes it miss frames on a busy
    // machine is waiting for a core when a frame falls due (50-100 ms behind
    // other sessions' compilers, measured). Where the system allows it (root,
    // CAP_SYS_NICE, or a real-time limit for the user), the thread takes the
    // lowest round-robin real-time priority, which puts it ahead of every
    // ordinary thread at each wake-up; elsewhere it stays as it is. It does
    // so only while it keeps pace with the clock: a clock faster than it can
    // draw would have it draw without a pause, and a real-time thread that
    // never sleeps takes a core from the readers; then it is an ordinary
    // thread (at the nice value above) until it is ahead again.
    auto setRealtime = [this](bool on) {
        if (on == m_realtime) return;
        sched_param param{};
        if (on) param.sched_priority = std::max(1, sched_get_priority_min(SCHED_RR));
        if (::pthread_setschedparam(::pthread_self(), on ? SCHED_RR : SCHED_OTHER, &param) == 0)
            m_realtime = on;
    };
    bool realtime = false;
    if (m_config.realtimeDisplay) {
        setRealtime(true);
        realtime = m_realtime;  // allowed here: used while the thread keeps pace
    }
    auto drawer = std::make_unique<FrameDrawer>(*window);
    float expand;
    {
        std::lock_guard lock(m_mu);
        expand = m_expand;  // the zoom of this window, until it closes
    }

    uint64_t drawnGeneration = ~uint64_t{0};
    int64_t lastDrawn = -1;      // clock frame last handled (shown or black)
    int64_t lastLate = -1;       // clock frame last counted late
    ClockParameters lastParams;  // clock parameters when lastDrawn was handled
    // The next frame, drawn into the back buffer ahead of its time (-1:
    // none), so that when it falls due only the swap is left to do.
    int64_t ahead = -1;
    uint64_t seenWakes = 0;

    while (!m_stop) {
        {
            std::lock_guard lock(m_wakeMu);
            seenWakes = m_wakeCount;
        }
        if (!window->IsHeadless()) window->PumpEvents();
        // When to look again: when the next frame falls due, sooner while a
        // frame waits for the disk, never later than the stop test needs.
        auto now = MovieClock::SteadyClock::now();
        auto wake = now + kDisplayStopPoll;
        {
            std::unique_lock lock(m_mu);
            if (drawnGeneration != m_generation) {
                drawnGeneration = m_generation;
                lastDrawn = lastLate = -1;
                ahead = -1;
                int w = static_cast<int>(m_width * expand + 0.5f);
                int h = static_cast<int>(m_height * expand + 0.5f);
                if (w != winWidth || h != winHeight) {
                    if (window->SetFrameSize(w, h)) {
                        winWidth = w;
                        winHeight = h;
                    }
                }
                drawer->Prepare(m_width, m_height, expand, m_config.drawPixels);
                m_drawPath = drawer->Path();
                SetShownFrame(-1);
                DrawBlank(*window);
            }
            if (m_valid) {
                const RingGeometry& g = m_geom;
                ClockParameters params = m_clock.Parameters();
                int64_t f = m_clock.CurrentFrame();
                if (f != lastDrawn) {
                    DrawResult result = f == ahead ? DrawResult::kDrawn
                                                   : DrawIntoBack(*window, *drawer, g, f);
                    ahead = -1;
                    if (result == DrawResult::kNotReady) {
                        if (f != lastLate && m_anyShown && m_clock.RateNow() != 0.0f) ++m_late;
                        lastLate = f;
                        wake = now + kDisplayDataPoll;
                    } else if (result == DrawResult::kBad) {
                        DrawBlank(*window);
                        SetShownFrame(-1);
                        lastDrawn = f;
                        lastParams = params;
                    } else if (result == DrawResult::kOffsetError) {
                        lastDrawn = f;
                    } else if (result == DrawResult::kReplaced) {
                        wake = now + kDisplayDataPoll;  // drawn again at once
                    } else {
                        window->SwapBuffers();
                        bool sameRun = lastDrawn >= 0 && params.time0 == lastParams.time0 &&
                                       params.frame0 == lastParams.frame0 &&
                                       params.rateBefore == lastParams.rateBefore &&
                                       params.rateAfter == lastParams.rateAfter;
                        if (sameRun && f > lastDrawn + 1) m_skipped += f - lastDrawn - 1;
                        lastDrawn = f;
                        lastParams = params;
                        SetShownFrame(g.MovieFrame(f));
                        ++m_shown;
                        m_anyShown = true;
                        KeepScreen(*window, g.MovieFrame(f));
                    }
                }
                int64_t t = m_clock.MovieTime();
                if (lastDrawn == f && m_clock.CurrentFrameAt(t) != f) {
                    wake = now;  // the next frame is due already
                    if (realtime) setRealtime(false);
                } else if (lastDrawn == f) {
                    // On screen: draw the next frame now, while there is time
                    // (when the clock runs faster than frames can be drawn,
                    // each is drawn when due instead, never twice).
                    if (auto next = m_clock.NextChange(t, kLookAheadMs)) {
                        bool early = next->when - MovieClock::SteadyClock::now() > kMinDrawAhead;
                        if (realtime) setRealtime(early);
                        if (early && ahead != next->frame &&
                            DrawIntoBack(*window, *drawer, g, next->frame) == DrawResult::kDrawn)
                            ahead = next->frame;
                        wake = std::min(wake, next->when);
                        // Not drawn yet (its buffers are still coming): try again soon.
                        if (early && ahead != next->frame)
                            wake = std::min(wake, MovieClock::SteadyClock::now() + kDisplayDataPoll);
                    } else if (realtime) {
                        setRealtime(true);  // the clock stands: quick to follow a step
                    }
                }
            } else {
                ahead = -1;
            }
        }
        std::unique_lock lock(m_wakeMu);
        m_wakeCv.wait_until(lock, wake, [&] { return m_stop || m_wakeCount != seenWakes; });
    }
    m_realtime = false;
    drawer.reset();  // its GL objects go before the context
    std::lock_guard lock(g_windowMu);
    window.reset();
}

}  // namespace voxa::movie
