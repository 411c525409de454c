// One panel's movie player: the state behind one `mi` object.
//
// Initialize names a movie (one or more copies of the same file, comma-
// separated), its frame size and its frame count. One reader thread per
// copy streams the movie into a ring of disk buffers, reading ahead of the
// current frame (runs of 32 buffers dealt round the readers, so several
// disks stream in parallel); a display thread shows, in its own window
// "MovieServer-reel1" (or an off-screen surface when headless), the frame
// that the movie clock says is due, as soon as every disk buffer of it is
// in the ring. A movie smaller than the ring is read once and then loops
// from memory; a larger one keeps being read, pass after pass.
//
// The display thread sleeps until the clock's next frame falls due (woken
// at once when the clock, the movie or the stop flag changes), and draws
// that next frame into the back buffer as soon as the current one is on
// screen, so that when it falls due only the swap is left. Frames go
// through a texture (FrameDrawer). Where the system allows it, the display
// thread runs at the lowest real-time priority while it keeps pace with the
// clock (PlayerConfig::realtimeDisplay).
//
// Publication without locks between readers and display: a reader marks a
// slot empty (-1) before it overwrites it and writes the buffer number last;
// the display draws a frame only when every buffer of it shows its number,
// and checks them again after drawing (before the swap), so a frame whose
// buffers were replaced meanwhile is never shown. A buffer that could not be
// read is published as bad: its frames are shown black and counted, never
// as stale bytes.
//
// Initialize and ShutDown never wait on anything but threads that test
// their stop flags at least every 10 ms; ShutDown joins them, and a later
// Initialize starts them again (and opens a new window). Destroying the
// player shuts it down. The methods are meant for one caller thread (the
// server's main thread); GetStatus and the test accessors may be called
// from any thread.
//
// Status line (GetStatus), one line, stable for clients (the wall
// controller parses it); fields in this order, separated by one blank:
//   frame=F clock=C state=S shown=N late=L skipped=K errors=E read=B
// and, when there is something to say, a last field " reason=TEXT" (TEXT
// may contain blanks and runs to the end of the line).
//   F  movie frame on screen (0 .. frames - 1), -1 when none is shown
//   C  the clock's current frame (counts on over passes through the movie)
//   S  none (never initialised), wait (initialised, first frame not yet
//      shown), play (the clock runs), pause (the clock stands), refused
//      (the last Initialize was refused; reason says why), down (ShutDown)
//   N  frames put on screen since the last Initialize
//   L  frames that were due while their buffers were not yet read (after
//      the first frame was shown; a frame counts once)
//   K  frames the clock passed over without their being shown
//   E  disk buffers that could not be read (unreadable or short file)
//   B  bytes read from disk since the last Initialize
#pragma once

#include "engine/gl/gl_window.h"
#include "movie/frame_drawer.h"
#include "movie/movie_clock.h"
#include "movie/reel_geometry.h"
#include "platform/data_roots.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace voxa::movie {

inline constexpr char kReelWindowTitle[] = "MovieServer-reel1";
inline constexpr char kErrorFile[] = "C:/reel1.error";
inline constexpr char kDiskBufOptionFile[] = "C:/reel1_diskBufSize.txt";
inline constexpr char kReportRule[] = "---------------------------------------------------------\n";

// Anonymous memory mapped read-write: page aligned (enough for unbuffered
// reads) and zero without touching it first, so a 200 MiB ring costs
// nothing until the readers fill it. Empty when the mapping fails.
class MappedBuffer {
public:
    MappedBuffer() = default;
    explicit MappedBuffer(size_t bytes);
    ~MappedBuffer();
    MappedBuffer(MappedBuffer&& other) noexcept;
    MappedBuffer& operator=(MappedBuffer&& other) noexcept;
    MappedBuffer(const MappedBuffer&) = delete;
    MappedBuffer& operator=(const MappedBuffer&) = delete;
    uint8_t* Data() const { return m_data; }
    size_t Size() const { return m_size; }
    explicit operator bool() const { return m_data != nullptr; }

private:
    uint8_t* m_data = nullptr;
    size_t m_size = 0;
};

struct PlayerConfig {
    bool headless = false;               // no window: an off-screen surface
    const DataRoots* roots = nullptr;    // where movie files may lie (required)
    int64_t ringBytes = kRingBytes;
    int64_t displayBytes = kDisplayBufferBytes;
    bool keepScreen = false;             // read back each shown frame (LastScreen)
    bool drawPixels = false;             // frames by glDrawPixels, not through a texture
    bool realtimeDisplay = true;         // display thread at real-time priority where allowed
};

struct PlayerStats {
    int64_t frame = -1;
    int64_t clock = 0;
    std::string state = "none";
    int64_t shown = 0, late = 0, skipped = 0, errors = 0, bytesRead = 0;
    std::string reason;
    std::vector<int64_t> buffersPerReader;  // disk buffers each reader read
};

// The pixels on screen after the last shown frame, read back from the
// front buffer (rows from the bottom), with the movie frame they show
// (-1: black).
struct Screen {
    int64_t frame = -1;
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
};

class Player {
public:
    explicit Player(PlayerConfig config);
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    int64_t GetTime() const;
    void Initialize(std::string_view files, int nx, int ny, int nframes);
    void ShutDown();
    void FramePP();
    void SetOffset(int64_t offset);
    void SetMovieParameters(int64_t time0, int64_t frame0, float rateBefore, float rateAfter);
    void SetOption(std::string_view key, std::string_view value);
    std::string GetStatus() const;

    PlayerStats Stats() const;
    Screen LastScreen() const;
    RingGeometry Geometry() const;
    float Expand() const {
        std::lock_guard lock(m_mu);
        return m_expand;
    }
    int XOffset() const {
        std::lock_guard lock(m_mu);
        return m_xOffset;
    }
    int YOffset() const {
        std::lock_guard lock(m_mu);
        return m_yOffset;
    }
    const MovieClock& Clock() const { return m_clock; }
    // How the display thread draws frames (the path chosen at the last
    // Initialize; kDrawPixels before any).
    DrawPath PathInUse() const { return m_drawPath.load(); }
    // Whether the display thread runs at real-time priority (see
    // PlayerConfig::realtimeDisplay; false until the thread has started).
    bool DisplayRealtime() const { return m_realtime.load(); }

private:
    struct ReaderShared;
    enum class FrameCheck { kReady, kNotReady, kBad };
    enum class DrawResult { kDrawn, kNotReady, kBad, kReplaced, kOffsetError };

    void StopReaders();
    void StartReaders();
    void ReaderMain(int k, std::string name, ServedPath path);
    void DisplayMain();
    bool OpenWindow(std::unique_ptr<GlWindow>* window, int* width, int* height);
    FrameCheck CheckFrame(const RingGeometry& g, int64_t f) const;
    void DrawBlank(GlWindow& window);
    void DrawFrame(GlWindow& window, FrameDrawer& drawer, const uint8_t* pixels);
    // Draws clock frame f into the back buffer when all its buffers are in
    // (kDrawn only if none was replaced while it was drawn).
    DrawResult DrawIntoBack(GlWindow& window, FrameDrawer& drawer, const RingGeometry& g,
                            int64_t f);
    // Wakes the display thread to look at the clock and the movie at once.
    void WakeDisplay();
    void KeepScreen(GlWindow& window, int64_t frame);
    void Refuse(const std::string& reason);
    void SetShownFrame(int64_t frame);
    void ReportError(const std::string& text);

    PlayerConfig m_config;
    MovieClock m_clock;
    bool m_started = false;  // first Initialize done

    MappedBuffer m_ring;
    MappedBuffer m_display;

    // Guards the geometry and the slot tables against Initialize while the
    // display draws; readers never take it (they are stopped around changes).
    mutable std::mutex m_mu;
    RingGeometry m_geom;
    bool m_valid = false;
    uint64_t m_generation = 0;
    std::vector<std::string> m_names;
    std::vector<ServedPath> m_paths;
    std::unique_ptr<std::atomic<int64_t>[]> m_slots;
    std::unique_ptr<std::atomic<uint8_t>[]> m_bad;
    int m_width = 0, m_height = 0;

    // What the status reports; taken after m_mu where both are held, so a
    // status query never waits for a frame being drawn.
    mutable std::mutex m_statusMu;
    std::unique_ptr<std::atomic<int64_t>[]> m_readCounts;
    size_t m_readerCount = 0;
    std::string m_state = "none";
    std::string m_reason;
    int64_t m_shownFrame = -1;

    std::atomic<int64_t> m_shown{0}, m_late{0}, m_skipped{0}, m_errors{0}, m_bytesRead{0};
    std::atomic<bool> m_anyShown{false};
    std::atomic<DrawPath> m_drawPath{DrawPath::kDrawPixels};  // written by the display thread
    std::atomic<bool> m_realtime{false};                      // written by the display thread

    std::atomic<bool> m_readerStop{false};
    std::vector<std::thread> m_readers;

    std::atomic<bool> m_stop{false};
    std::thread m_displayThread;
    // The display thread sleeps until its next frame falls due; a change of
    // clock, movie or stop flag counts m_wakeCount up and wakes it.
    std::mutex m_wakeMu;
    std::condition_variable m_wakeCv;
    uint64_t m_wakeCount = 0;

    float m_expand = 1.0f;  // options, under m_mu
    int m_xOffset = 0, m_yOffset = 0;

    mutable std::mutex m_screenMu;
    Screen m_screen;
};

// Makes X errors of every display connection in this process harmless
// (recorded in the error file instead of ending the process). Idempotent.
void InstallXErrorHandler();

}  // namespace voxa::movie
