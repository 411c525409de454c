// Tests of the movie server: ring geometry, clock, the player with its
// readers and display (headless, read back from the screen), the reel1
// program over loopback, and its window on a private X server.
#include "engine/context/pixel_files.h"
#include "hosting/activation.h"
#include "hosting/interfaces.capnp.h"
#include "movie/movie_clock.h"
#include "movie/reel_geometry.h"
#include "movie/reel_player.h"
#include "movie/test_pattern.h"
#include "platform/paths.h"
#include "platform/test_support.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// Xlib last: its macros (None, Status, Bool) clash with the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#undef Status

namespace voxa::movie {
namespace {

using testing::ChildProcess;
using testing::FreePort;
using testing::FreshRoot;
using testing::Listening;
using testing::PrivateXServer;
using testing::ReadWholeFile;
using testing::ScopedEnv;
using testing::WaitFor;
using testing::WriteWholeFile;

const std::string kBin = VOXA_BIN_DIR;
constexpr int kWaitMs = 30000;  // the machine may be loaded

// ---- geometry --------------------------------------------------------------

TEST(ReelGeometry, LargeMovieOverTwoPassesAndItsRing) {
    std::string reason;
    RingGeometry g = MakeGeometry(1024 * 768 * 3, 100, 262144, kRingBytes, &reason);
    EXPECT_EQ(reason, "");
    EXPECT_EQ(g.reduced.frame, 9);
    EXPECT_EQ(g.reduced.buffer, 1);
    EXPECT_EQ(g.reduced.factor, 262144);
    EXPECT_EQ(g.diskBuffers, 900);
    EXPECT_EQ(g.ringSlots, 800);
    EXPECT_FALSE(g.wholeMovieInMemory);
    EXPECT_EQ(g.window, 600);
    EXPECT_EQ(g.FirstBuffer(0), 0);
    EXPECT_EQ(g.LastBuffer(0), 8);
    EXPECT_EQ(g.FirstBuffer(100), 900);  // second pass
    EXPECT_EQ(g.LastBuffer(100), 908);
    EXPECT_EQ(g.Slot(900), 100);
    EXPECT_EQ(g.Slot(908), 108);
    EXPECT_EQ(g.FileOffset(900), 0);
    EXPECT_EQ(g.MovieFrame(100), 0);
    EXPECT_EQ(g.RingOffsetOfFrame(100), 100 * 262144);
    EXPECT_EQ(g.WindowStart(100), 900);
}

TEST(ReelGeometry, SmallMovieFitsWithPartialLastBuffer) {
    std::string reason;
    RingGeometry g = MakeGeometry(640 * 480 * 3, 10, 262144, kRingBytes, &reason);
    EXPECT_EQ(reason, "");
    EXPECT_EQ(g.diskBuffers, 36);
    EXPECT_TRUE(g.wholeMovieInMemory);
    EXPECT_EQ(g.window, 36);
    EXPECT_EQ(g.BytesInBuffer(35), 40960);
    EXPECT_EQ(g.BytesInBuffer(34), 262144);
    EXPECT_EQ(g.reduced.frame, 225);
    EXPECT_EQ(g.reduced.buffer, 64);
    EXPECT_EQ(g.reduced.factor, 4096);
    // Whole movie in memory: clock frame 13 is movie frame 3, from the
    // same buffers as frame 3 (921,600 x 3 = 2,764,800: buffers 10 .. 14).
    EXPECT_EQ(g.FirstBuffer(13), 10);
    EXPECT_EQ(g.LastBuffer(13), 14);
    EXPECT_EQ(g.WindowStart(13), 0);
    EXPECT_EQ(g.RingOffsetOfFrame(13), 2764800);
}

TEST(ReelGeometry, OffsetsBeyondTwoGigabytes) {
    std::string reason;
    // 900 frames of 1001 x 1001: 2,705,402,700 bytes.
    RingGeometry g = MakeGeometry(1001 * 1001 * 3, 900, 262144, kRingBytes, &reason);
    EXPECT_EQ(reason, "");
    EXPECT_EQ(g.MovieBytes(), 2705402700LL);
    EXPECT_EQ(g.diskBuffers, 10321);
    EXPECT_EQ(g.FirstBuffer(899), 10308);  // byte 2,702,396,697
    EXPECT_EQ(g.LastBuffer(899), 10320);
    EXPECT_EQ(g.FileOffset(10308), 10308LL * 262144);
    EXPECT_EQ(g.RingOffsetOfFrame(899), (10308 % 800) * 262144LL + (2702396697LL - 10308LL * 262144));
    EXPECT_EQ(g.BytesInBuffer(10320), 2705402700LL - 10320LL * 262144);
    // Third pass: buffer numbers keep growing.
    EXPECT_EQ(g.FirstBuffer(2 * 900 + 899), 2 * 10321 + 10308);
}

TEST(ReelGeometry, FrameStraddlingTheRingEnd) {
    std::string reason;
    // Ring of 10 slots of 4,096 bytes, frames of 3,600 bytes, 40 frames.
    RingGeometry g = MakeGeometry(3600, 40, 4096, 40960, &reason);
    EXPECT_EQ(reason, "");
    EXPECT_EQ(g.diskBuffers, 36);  // 144,000 bytes
    EXPECT_FALSE(g.wholeMovieInMemory);
    EXPECT_EQ(g.window, 7);
    // Frame 11: bytes 39,600 .. 43,199: buffers 9 (slot 9) and 10 (slot 0).
    EXPECT_EQ(g.FirstBuffer(11), 9);
    EXPECT_EQ(g.LastBuffer(11), 10);
    EXPECT_TRUE(g.FrameWraps(11));
    EXPECT_EQ(g.RingOffsetOfFrame(11), 9 * 4096 + (39600 - 9 * 4096));
    EXPECT_FALSE(g.FrameWraps(10));
    // Refusals: a ring of one buffer, a window no larger than a frame.
    MakeGeometry(3600, 40, 4096, 8191, &reason);
    EXPECT_NE(reason, "");
    MakeGeometry(3600 * 4, 40, 4096, 4096 * 6, &reason);
    EXPECT_NE(reason, "");
    MakeGeometry(0, 40, 4096, 40960, &reason);
    EXPECT_NE(reason, "");
}

TEST(ReelGeometry, DiskBufferOption) {
    std::string reason;
    EXPECT_EQ(ChooseDiskBufSize("8\n", 2359296, kRingBytes, &reason), 524288);
    EXPECT_EQ(reason, "");
    EXPECT_EQ(ChooseDiskBufSize("4", 2359296, kRingBytes, &reason), 262144);
    EXPECT_EQ(reason, "");
    // 2 slots would pass the slot count, but a 12 MiB frame needs a window of
    // more than two buffers of 100 MiB... this one: 100 x 65,536 gives 32 slots.
    EXPECT_EQ(ChooseDiskBufSize("100", 12582912, kRingBytes, &reason), 6553600);
    EXPECT_EQ(reason, "");
    // Too many slots, not a multiple of 4,096, too few slots, no number,
    // nothing, a window no larger than one frame, below one byte.
    for (const char* text : {"0.5", "1.03", "3000", "abc", "", "-2", "0", "nan"}) {
        EXPECT_EQ(ChooseDiskBufSize(text, 2359296, kRingBytes, &reason), kDefaultDiskBufSize)
            << text;
        EXPECT_NE(reason, "") << text;
    }
    EXPECT_EQ(ChooseDiskBufSize("1000", 12582912, kRingBytes, &reason), kDefaultDiskBufSize);
    EXPECT_NE(reason.find("read window"), std::string::npos) << reason;
}

TEST(ReelGeometry, FileListsAndReaderRuns) {
    std::vector<std::string> names;
    std::string reason;
    ASSERT_TRUE(SplitFileList("/d1/m.raw,/d2/m.raw", &names, &reason));
    EXPECT_EQ(names, (std::vector<std::string>{"/d1/m.raw", "/d2/m.raw"}));
    ASSERT_TRUE(SplitFileList("  a,,b c", &names, &reason));  // one token; empty names dropped
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(SplitFileList("", &names, &reason));
    EXPECT_FALSE(SplitFileList(" , ", &names, &reason));
    EXPECT_FALSE(SplitFileList(std::string(256, 'x'), &names, &reason));
    EXPECT_TRUE(SplitFileList(std::string(255, 'x'), &names, &reason));
    // Two readers: runs of 32 dealt round.
    EXPECT_EQ(ReaderOfBuffer(0, 2), 0);
    EXPECT_EQ(ReaderOfBuffer(31, 2), 0);
    EXPECT_EQ(ReaderOfBuffer(32, 2), 1);
    EXPECT_EQ(ReaderOfBuffer(63, 2), 1);
    EXPECT_EQ(ReaderOfBuffer(64, 2), 0);
    EXPECT_EQ(ReaderOfBuffer(100, 3), 0);  // run 3
    EXPECT_EQ(ReaderOfBuffer(64, 3), 2);
}

// ---- clock -----------------------------------------------------------------

TEST(MovieClock, FrameFormulaAndItsUnits) {
    ClockParameters later{5000, 0, 0.0f, 0.03f};
    EXPECT_EQ(FrameAt(later, 0), 0);
    EXPECT_EQ(FrameAt(later, 4999), 0);
    EXPECT_EQ(FrameAt(later, 5000), 0);
    EXPECT_EQ(FrameAt(later, 5034), 1);   // 34 x 0.03 = 1.02
    EXPECT_EQ(FrameAt(later, 6000), 30);  // 30 frames a second from 5 s on
    // Speed change at time 0 without a jump.
    ClockParameters change{1000, 40, 0.01f, 0.03f};
    EXPECT_EQ(FrameAt(change, 900), 39);
    EXPECT_EQ(FrameAt(change, 1000), 40);
    EXPECT_EQ(FrameAt(change, 1100), 43);
    EXPECT_EQ(FrameAt({0, 0, 0.0f, 0.29f}, 100), 29);
    EXPECT_EQ(RateOf(0.03f), 0.03);
    EXPECT_EQ(RateOf(0.0f), 0.0);

    MovieClock clock;
    clock.SetParameters({-100000, 10, 0.0f, 0.0f});
    EXPECT_EQ(clock.CurrentFrame(), 10);
    clock.FramePP();
    EXPECT_EQ(clock.CurrentFrame(), 11);
    // A clock running backwards before time 0 stops at frame 0.
    clock.SetParameters({1000000, 5, 0.01f, 0.0f});
    EXPECT_EQ(clock.CurrentFrameAt(0), 0);
    clock.Reset();
    EXPECT_EQ(clock.CurrentFrame(), 0);
    // The newest of the offsets applies (ring of 10).
    for (int i = 1; i <= 12; ++i) clock.SetOffset(i * 1000);
    EXPECT_EQ(clock.OffsetCount(), 12);
    EXPECT_EQ(clock.Offset(), 12000);
    // Elapsed is read first, so the difference is at most the offset; a
    // preempted test thread makes it smaller, never larger.
    int64_t difference = clock.Elapsed() - clock.MovieTime();
    EXPECT_LE(difference, 12000);
    EXPECT_GE(difference, 11000);
}

TEST(MovieClock, NextChangeSaysWhichFrameComesAndWhen) {
    MovieClock clock;
    clock.SetOffset(250);
    // 30 frames a second from movie time 5,000 ms, standing before.
    clock.SetParameters({5000, 0, 0.0f, 0.03f});
    EXPECT_FALSE(clock.NextChange(0, 4000).has_value());  // stands until 5,000
    auto first = clock.NextChange(4990, 100);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->movieTime, 5034);  // 34 x 0.03 = 1.02
    EXPECT_EQ(first->frame, 1);
    // The instant is the one at which the clock reads that movie time:
    // elapsed = movie time + offset.
    EXPECT_EQ(clock.Elapsed(first->when), 5034 + 250);
    EXPECT_EQ(clock.Elapsed(first->when - std::chrono::microseconds(1)), 5033 + 250);
    auto later = clock.NextChange(6000, 100);  // frame 30 at 6,000 ms
    ASSERT_TRUE(later.has_value());
    EXPECT_EQ(later->frame, 31);
    EXPECT_EQ(later->movieTime, 6034);
    EXPECT_EQ(clock.CurrentFrameAt(later->movieTime - 1), 30);
    EXPECT_EQ(clock.CurrentFrameAt(later->movieTime), 31);
    // Backwards before time 0: the frame counts down to 0 and stays there.
    clock.SetParameters({1000, 3, 0.01f, 0.0f});
    auto back = clock.NextChange(900, 200);  // 3 + trunc(-100 x 0.01) = 2 at 900 ms
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->frame, 3);
    EXPECT_EQ(back->movieTime, 901);
    EXPECT_FALSE(clock.NextChange(1000, 500).has_value());   // rate after is 0
    EXPECT_FALSE(clock.NextChange(-2000, 500).has_value());  // frame 0 up to 700 ms
    auto fromZero = clock.NextChange(-2000, 3000);
    ASSERT_TRUE(fromZero.has_value());
    EXPECT_EQ(fromZero->frame, 1);
    EXPECT_EQ(fromZero->movieTime, 701);
    // A new offset moves the instant, not the frame.
    clock.SetParameters({5000, 0, 0.0f, 0.03f});
    clock.SetOffset(-50);
    auto moved = clock.NextChange(4990, 100);
    ASSERT_TRUE(moved.has_value());
    EXPECT_EQ(moved->frame, 1);
    EXPECT_EQ(clock.Elapsed(moved->when), 5034 - 50);
}

// ---- player ----------------------------------------------------------------

struct PlayerRig {
    FreshRoot root;
    ScopedEnv egl{"EGL_PLATFORM", "surfaceless"};
    DataRoots roots;
    std::string data;

    PlayerRig() {
        data = JoinPath(root.Path(), "data");
        MakeDirs(data);
        EXPECT_TRUE(roots.Add(data).ok());
    }
    PlayerConfig Config(int64_t ringBytes = kRingBytes) {
        PlayerConfig c;
        c.headless = true;
        c.roots = &roots;
        c.ringBytes = ringBytes;
        c.keepScreen = true;
        return c;
    }
    std::string Movie(const std::string& name, int w, int h, int frames) {
        std::string path = JoinPath(data, name);
        std::string error;
        EXPECT_TRUE(WriteTestMovie(path, w, h, frames, &error)) << error;
        return path;
    }
    void SmallBuffers() { WriteWholeFile(root.File("reel1_diskBufSize.txt"), "0.0625\n"); }
};

// Stands the clock at frame f and waits until the screen shows it.
bool ShowFrame(Player& p, int64_t f, int64_t expectedMovieFrame, Screen* screen) {
    p.SetMovieParameters(-1000000, f, 0.0f, 0.0f);
    return WaitFor(
        [&] {
            *screen = p.LastScreen();
            return screen->frame == expectedMovieFrame && p.Stats().clock == f;
        },
        kWaitMs);
}

TEST(ReelPlayer, ShowsTheFrameItsStatusNamesPixelExact) {
    PlayerRig rig;
    std::string movie = rig.Movie("m.raw", 64, 48, 20);
    Player p(rig.Config());
    p.Initialize(movie, 64, 48, 20);
    Screen s;
    ASSERT_TRUE(ShowFrame(p, 7, 7, &s)) << p.GetStatus();
    EXPECT_EQ(s.width, 64);
    EXPECT_EQ(s.height, 48);
    EXPECT_EQ(s.rgb, MakeFrame(7, 64, 48));
    EXPECT_EQ(DecodeFrameNumber(s.rgb.data()), 7);
    std::string status = p.GetStatus();
    EXPECT_EQ(status.rfind("frame=7 clock=7 state=pause shown=", 0), 0u) << status;
    EXPECT_NE(status.find(" errors=0 read=" + std::to_string(64 * 48 * 3 * 20)), std::string::npos)
        << status;
    p.FramePP();
    ASSERT_TRUE(WaitFor([&] { return p.LastScreen().frame == 8; }, kWaitMs)) << p.GetStatus();
    EXPECT_EQ(p.LastScreen().rgb, MakeFrame(8, 64, 48));
    // Clock frame 27 of a movie held whole in memory is movie frame 7.
    ASSERT_TRUE(ShowFrame(p, 27, 7, &s)) << p.GetStatus();
    EXPECT_EQ(s.rgb, MakeFrame(7, 64, 48));
    // Playing: the movie moves on by the clock.
    p.SetMovieParameters(p.Clock().MovieTime(), 0, 0.0f, 0.05f);
    ASSERT_TRUE(WaitFor([&] { return p.Stats().clock >= 10; }, kWaitMs));
    EXPECT_NE(p.GetStatus().find("state=play"), std::string::npos) << p.GetStatus();
    EXPECT_GE(p.Stats().shown, 5);
}

TEST(ReelPlayer, FramesWrappingTheRingAndLaterPassesAreWhole) {
    PlayerRig rig;
    rig.SmallBuffers();  // 4,096-byte disk buffers
    std::string movie = rig.Movie("wrap.raw", 40, 30, 100);  // 3,600-byte frames
    Player p(rig.Config(4096 * 40));                         // 40 slots: 88 buffers do not fit
    p.Initialize(movie, 40, 30, 100);
    RingGeometry g = p.Geometry();
    ASSERT_EQ(g.bufferSize, 4096);
    ASSERT_EQ(g.ringSlots, 40);
    ASSERT_FALSE(g.wholeMovieInMemory);
    int wrapped = 0;
    Screen s;
    for (int64_t f = 0; f < 130; ++f) {  // into the second pass
        ASSERT_TRUE(ShowFrame(p, f, f % 100, &s)) << f << " " << p.GetStatus();
        ASSERT_EQ(s.rgb, MakeFrame(f % 100, 40, 30)) << "frame " << f;
        if (g.FrameWraps(f)) ++wrapped;
    }
    EXPECT_GE(wrapped, 2);
    EXPECT_EQ(p.Stats().errors, 0);
}

TEST(ReelPlayer, WhilePlayingEachScreenIsTheFrameDrawnAheadForIt) {
    // The display draws the next frame before it falls due; what reaches
    // the screen must still be the frame the clock names, through ring
    // wraps, a jump and a change of speed.
    PlayerRig rig;
    rig.SmallBuffers();
    std::string movie = rig.Movie("ahead.raw", 40, 30, 100);
    Player p(rig.Config(4096 * 40));
    p.Initialize(movie, 40, 30, 100);
    auto watch = [&](int64_t untilClock, std::vector<int64_t>* seen) {
        int64_t last = -2;
        bool ok = WaitFor(
            [&] {
                Screen s = p.LastScreen();
                if (s.frame >= 0 && s.frame != last) {
                    last = s.frame;
                    seen->push_back(s.frame);
                    EXPECT_EQ(s.rgb, MakeFrame(s.frame, 40, 30)) << "frame " << s.frame;
                    EXPECT_EQ(DecodeFrameNumber(s.rgb.data()), s.frame);
                }
                return p.Stats().clock >= untilClock;
            },
            kWaitMs);
        EXPECT_TRUE(ok) << p.GetStatus();
    };
    std::vector<int64_t> seen;
    p.SetMovieParameters(p.Clock().MovieTime(), 0, 0.0f, 0.05f);  // 50 frames a second
    watch(140, &seen);  // into the second pass
    EXPECT_GE(seen.size(), 10u);
    // A jump to a standing frame far from the one drawn ahead.
    Screen s;
    ASSERT_TRUE(ShowFrame(p, 60, 60, &s)) << p.GetStatus();
    EXPECT_EQ(s.rgb, MakeFrame(60, 40, 30));
    // Slower, then a step while standing: each shows its own frame.
    seen.clear();
    p.SetMovieParameters(p.Clock().MovieTime(), 61, 0.0f, 0.02f);
    watch(70, &seen);
    EXPECT_GE(seen.size(), 3u);
    ASSERT_TRUE(ShowFrame(p, 80, 80, &s)) << p.GetStatus();
    p.FramePP();
    ASSERT_TRUE(WaitFor([&] { return p.LastScreen().frame == 81; }, kWaitMs)) << p.GetStatus();
    EXPECT_EQ(p.LastScreen().rgb, MakeFrame(81, 40, 30));
    EXPECT_EQ(p.Stats().errors, 0);
}

// Threads of this process under round-robin real-time scheduling, by the
// policy field of /proc/self/task/*/stat.
int RoundRobinThreads() {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string stat = ReadWholeFile(task.path().string() + "/stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(stat.substr(close + 2));
        std::string field;
        for (int i = 3; i <= 41 && fields >> field; ++i)
            if (i == 41 && field == std::to_string(SCHED_RR)) ++count;
    }
    return count;
}

TEST(ReelPlayer, DisplayThreadTakesRealTimePriorityWhereAllowed) {
    bool allowed = false;
    std::thread probe([&] {
        sched_param param{};
        param.sched_priority = std::max(1, sched_get_priority_min(SCHED_RR));
        allowed = pthread_setschedparam(pthread_self(), SCHED_RR, &param) == 0;
    });
    probe.join();
    PlayerRig rig;
    std::string movie = rig.Movie("rt.raw", 16, 16, 4);
    for (bool wanted : {true, false}) {
        SCOPED_TRACE(wanted ? "real-time wanted" : "real-time not wanted");
        PlayerConfig config = rig.Config();
        config.realtimeDisplay = wanted;
        int before = RoundRobinThreads();
        Player p(config);
        p.Initialize(movie, 16, 16, 4);
        Screen s;
        ASSERT_TRUE(ShowFrame(p, 2, 2, &s)) << p.GetStatus();
        EXPECT_EQ(s.rgb, MakeFrame(2, 16, 16));
        EXPECT_EQ(p.DisplayRealtime(), wanted && allowed);
        EXPECT_EQ(RoundRobinThreads() - before, wanted && allowed ? 1 : 0);
        if (wanted && allowed) {
            // A clock far faster than drawing (20 frames a millisecond): an
            // ordinary thread while it cannot keep pace ...
            p.SetMovieParameters(p.Clock().MovieTime(), 0, 0.0f, 20.0f);
            EXPECT_TRUE(WaitFor([&] { return !p.DisplayRealtime(); }, kWaitMs)) << p.GetStatus();
            EXPECT_TRUE(WaitFor([&] { return RoundRobinThreads() == before; }, kWaitMs));
            // ... and real-time again once the clock stands.
            ASSERT_TRUE(ShowFrame(p, 3, 3, &s)) << p.GetStatus();
            EXPECT_TRUE(WaitFor([&] { return p.DisplayRealtime(); }, kWaitMs));
            EXPECT_EQ(RoundRobinThreads() - before, 1);
        }
        p.ShutDown();
        EXPECT_EQ(RoundRobinThreads(), before);
    }
}

TEST(ReelPlayer, TwoCopiesAreReadInRunsOf32) {
    PlayerRig rig;
    rig.SmallBuffers();
    std::string a = rig.Movie("a.raw", 40, 30, 100);  // 360,000 bytes: 88 buffers
    // The second copy is all 0xEE, so each frame shows which copy it came from.
    std::string b = JoinPath(rig.data, "b.raw");
    ASSERT_TRUE(WriteWholeFile(b, std::string(360000, '\xEE')));
    Player p(rig.Config(4096 * 100));  // whole movie in memory
    p.Initialize(a + "," + b, 40, 30, 100);
    Screen s;
    // Frame 10 lies in buffers 0..31 (first copy), frame 50 in 32..63
    // (second copy), frame 80 in 64..95 (first copy again).
    ASSERT_TRUE(ShowFrame(p, 10, 10, &s)) << p.GetStatus();
    EXPECT_EQ(s.rgb, MakeFrame(10, 40, 30));
    ASSERT_TRUE(ShowFrame(p, 50, 50, &s)) << p.GetStatus();
    EXPECT_EQ(s.rgb, std::vector<uint8_t>(3600, 0xEE));
    ASSERT_TRUE(ShowFrame(p, 80, 80, &s)) << p.GetStatus();
    EXPECT_EQ(s.rgb, MakeFrame(80, 40, 30));
    ASSERT_TRUE(WaitFor(
        [&] {
            auto counts = p.Stats().buffersPerReader;
            return counts.size() == 2 && counts[0] + counts[1] == 88;
        },
        kWaitMs));
    auto counts = p.Stats().buffersPerReader;
    EXPECT_EQ(counts[0], 32 + 24);  // buffers 0..31 and 64..87
    EXPECT_EQ(counts[1], 32);       // buffers 32..63
}

TEST(ReelPlayer, InitializeShutDownInitializeAgain) {
    PlayerRig rig;
    std::string first = rig.Movie("one.raw", 32, 32, 10);
    std::string second = rig.Movie("two.raw", 48, 16, 12);
    Player p(rig.Config());
    Screen s;
    p.Initialize(first, 32, 32, 10);
    ASSERT_TRUE(ShowFrame(p, 4, 4, &s)) << p.GetStatus();
    EXPECT_EQ(s.rgb, MakeFrame(4, 32, 32));
    // A new movie while playing switches the same player over.
    p.Initialize(second, 48, 16, 12);
    ASSERT_TRUE(ShowFrame(p, 11, 11, &s)) << p.GetStatus();
    EXPECT_EQ(s.width, 48);
    EXPECT_EQ(s.rgb, MakeFrame(11, 48, 16));
    p.ShutDown();
    EXPECT_NE(p.GetStatus().find("state=down"), std::string::npos) << p.GetStatus();
    EXPECT_EQ(p.Stats().frame, -1);
    p.Initialize(first, 32, 32, 10);
    ASSERT_TRUE(ShowFrame(p, 2, 2, &s)) << p.GetStatus();
    EXPECT_EQ(s.rgb, MakeFrame(2, 32, 32));
    p.ShutDown();
    p.ShutDown();  // twice is harmless
}

TEST(ReelPlayer, RefusedMoviesLeaveADarkScreenAndSayWhy) {
    PlayerRig rig;
    std::string movie = rig.Movie("m.raw", 16, 16, 4);
    Player p(rig.Config());
    Screen s;
    p.Initialize(movie, 16, 16, 4);
    ASSERT_TRUE(ShowFrame(p, 1, 1, &s));
    struct Case {
        std::string files;
        int nx, ny, frames;
        const char* why;
    };
    std::vector<Case> cases = {
        {movie, 16, 16, 0, "frame count"},
        {movie, 16, 16, -3, "frame count"},
        {movie, 0, 16, 4, "empty"},
        {movie, 3000, 2000, 4, "display buffer"},
        {"", 16, 16, 4, "no movie file"},
        {"/etc/passwd", 16, 16, 4, "/etc/passwd"},
        {JoinPath(rig.data, "../outside.raw"), 16, 16, 4, "outside.raw"},
    };
    for (const Case& c : cases) {
        p.Initialize(c.files, c.nx, c.ny, c.frames);
        std::string status = p.GetStatus();
        EXPECT_NE(status.find("state=refused"), std::string::npos) << status;
        EXPECT_NE(status.find(c.why), std::string::npos) << status;
        ASSERT_TRUE(WaitFor([&] { return p.LastScreen().frame == -1; }, kWaitMs));
        s = p.LastScreen();
        EXPECT_EQ(s.rgb, std::vector<uint8_t>(s.rgb.size(), 0)) << c.why;
        EXPECT_FALSE(s.rgb.empty());
    }
    // And a sound movie plays again afterwards.
    p.Initialize(movie, 16, 16, 4);
    ASSERT_TRUE(ShowFrame(p, 3, 3, &s)) << p.GetStatus();
    EXPECT_EQ(s.rgb, MakeFrame(3, 16, 16));
}

TEST(ReelPlayer, TruncatedFileReportsErrorsInsteadOfStaleFrames) {
    PlayerRig rig;
    rig.SmallBuffers();  // 4,096-byte buffers: the frames before the cut are whole
    std::string movie = rig.Movie("short.raw", 32, 16, 20);
    ASSERT_EQ(::truncate(movie.c_str(), 32 * 16 * 3 * 10 + 100), 0);  // 10 frames and a bit
    Player p(rig.Config(4096 * 100));
    p.Initialize(movie, 32, 16, 20);
    Screen s;
    ASSERT_TRUE(ShowFrame(p, 5, 5, &s)) << p.GetStatus();
    EXPECT_EQ(s.rgb, MakeFrame(5, 32, 16));
    // Frame 15 lies beyond the end of the file: black, never frame 5's bytes.
    p.SetMovieParameters(-1000000, 15, 0.0f, 0.0f);
    ASSERT_TRUE(WaitFor([&] { return p.Stats().clock == 15 && p.LastScreen().frame == -1; },
                        kWaitMs));
    s = p.LastScreen();
    EXPECT_EQ(s.rgb, std::vector<uint8_t>(s.rgb.size(), 0));
    PlayerStats st = p.Stats();
    EXPECT_GT(st.errors, 0);
    EXPECT_EQ(st.frame, -1);
    EXPECT_NE(st.reason.find("short.raw"), std::string::npos) << st.reason;
    std::string report = ReadWholeFile(rig.root.File("reel1.error"));
    EXPECT_EQ(report.rfind(kReportRule, 0), 0u) << report;
    EXPECT_NE(report.find("holds 15460 bytes, the movie needs 30720"), std::string::npos) << report;
    // A file that does not exist at all is reported too.
    p.Initialize(JoinPath(rig.data, "missing.raw"), 32, 16, 20);
    ASSERT_TRUE(WaitFor([&] { return p.Stats().errors > 0; }, kWaitMs));
    EXPECT_NE(p.GetStatus().find("missing.raw"), std::string::npos) << p.GetStatus();
    EXPECT_EQ(p.Stats().frame, -1);
}

TEST(ReelPlayer, RefusedDiskBufferOptionFallsBackToTheDefault) {
    PlayerRig rig;
    WriteWholeFile(rig.root.File("reel1_diskBufSize.txt"), "1.03\n");
    std::string movie = rig.Movie("m.raw", 16, 16, 4);
    Player p(rig.Config());
    p.Initialize(movie, 16, 16, 4);
    EXPECT_EQ(p.Geometry().bufferSize, 262144);
    std::string report = ReadWholeFile(rig.root.File("reel1.error"));
    EXPECT_NE(report.find("not a multiple of 4096"), std::string::npos) << report;
    // Re-read at each Initialize, and the ring is laid out anew.
    WriteWholeFile(rig.root.File("reel1_diskBufSize.txt"), "8");
    p.Initialize(movie, 16, 16, 4);
    EXPECT_EQ(p.Geometry().bufferSize, 524288);
    EXPECT_EQ(p.Geometry().ringSlots, 400);
    Screen s;
    ASSERT_TRUE(ShowFrame(p, 2, 2, &s)) << p.GetStatus();
    EXPECT_EQ(s.rgb, MakeFrame(2, 16, 16));
}

TEST(ReelPlayer, ExpandZoomsAndBadValuesAreIgnored) {
    PlayerRig rig;
    std::string movie = rig.Movie("m.raw", 20, 10, 3);
    Player p(rig.Config());
    for (const char* bad : {"abc", "-1", "0", "nan", "inf", "1e9"}) p.SetOption("Expand", bad);
    EXPECT_EQ(p.Expand(), 1.0f);
    p.SetOption("Expand", "2.0");
    p.SetOption("Xoffset", "1024");
    p.SetOption("Yoffset", "x");
    p.SetOption("Unknown", "5");
    EXPECT_EQ(p.Expand(), 2.0f);
    EXPECT_EQ(p.XOffset(), 1024);
    EXPECT_EQ(p.YOffset(), 0);
    p.Initialize(movie, 20, 10, 3);
    Screen s;
    ASSERT_TRUE(ShowFrame(p, 2, 2, &s)) << p.GetStatus();
    ASSERT_EQ(s.width, 40);
    ASSERT_EQ(s.height, 20);
    std::vector<uint8_t> frame = MakeFrame(2, 20, 10);
    int mismatches = 0;
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 40; ++x)
            for (int c = 0; c < 3; ++c)
                mismatches += s.rgb[(y * 40 + x) * 3 + c] != frame[((y / 2) * 20 + x / 2) * 3 + c];
    EXPECT_EQ(mismatches, 0);
}

TEST(ReelPlayer, MovieBeyondTwoGigabytesShowsItsLastFrames) {
    PlayerRig rig;
    const int side = 1001, frames = 900;
    const int64_t frameSize = int64_t{side} * side * 3;
    std::string movie = JoinPath(rig.data, "big.raw");
    {
        UniqueFd fd(::open(movie.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
        ASSERT_TRUE(fd);
        ASSERT_EQ(::ftruncate(fd.Get(), frameSize * frames), 0);  // sparse
        for (int f = 890; f < frames; ++f) {
            auto data = MakeFrame(f, side, side);
            ASSERT_EQ(::pwrite(fd.Get(), data.data(), data.size(), f * frameSize),
                      static_cast<ssize_t>(data.size()));
        }
    }
    Player p(rig.Config());
    p.Initialize(movie, side, side, frames);
    Screen s;
    for (int f : {897, 899}) {
        ASSERT_TRUE(ShowFrame(p, f, f, &s)) << p.GetStatus();
        ASSERT_EQ(DecodeFrameNumber(s.rgb.data()), f % 65536);
        EXPECT_TRUE(s.rgb == MakeFrame(f, side, side)) << "frame " << f;
    }
    EXPECT_EQ(p.Stats().errors, 0);
}

TEST(ReelPlayer, DestroyedWithoutShutDownStopsItsThreads) {
    PlayerRig rig;
    std::string movie = rig.Movie("m.raw", 16, 16, 4);
    auto threads = [] {
        int n = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
            (void)entry;
            ++n;
        }
        return n;
    };
    auto run = [&](const std::string& files) {
        auto p = std::make_unique<Player>(rig.Config());
        p->Initialize(files, 16, 16, 4);
        p->SetMovieParameters(0, 0, 0.0f, 1.0f);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_GT(threads(), 1);
        p.reset();  // no ShutDown: the destructor joins readers and display
    };
    run(movie);  // the GL driver may keep threads of its own from here on
    int baseline = threads();
    for (int i = 0; i < 3; ++i) {
        run(movie + "," + movie + "," + movie);
        EXPECT_TRUE(WaitFor([&] { return threads() <= baseline; }, kWaitMs))
            << threads() << " threads, " << baseline << " before";
    }
}

// ---- the program ------------------------------------------------------------

class ReelProcess {
public:
    ReelProcess(uint16_t port, const std::string& display = "", bool headless = true) {
        std::vector<std::string> argv = {kBin + "/reel1", "--persist", "--bind", "127.0.0.1",
                                         "--port", std::to_string(port)};
        if (headless) argv.push_back("--headless");
        std::vector<std::pair<std::string, std::string>> env = {{"EGL_PLATFORM", headless ? "surfaceless" : "x11"}};
        if (!display.empty()) env.emplace_back("DISPLAY", display);
        m_child = std::make_unique<ChildProcess>(argv, env);
        WaitFor([port] { return Listening(port); }, kWaitMs);
    }
    bool Running() { return m_child->Running(); }

private:
    std::unique_ptr<ChildProcess> m_child;
};

struct MiClient {
    kj::AsyncIoContext& io;
    kj::Own<hosting::RemoteObject> object;
    rpc::Imi::Client mi{nullptr};
    explicit MiClient(kj::AsyncIoContext& ioContext) : io(ioContext) {
        std::string error;
        hosting::ActivationOptions options;
        options.launchLocal = false;
        if (hosting::CreateInstanceOnHost(io, hosting::MiClass(), "127.0.0.1", &object, &error,
                                          options) == 0)
            mi = object->As<rpc::Imi>();
    }
    std::string Status() {
        return mi.getStatusRequest().send().wait(io.waitScope).getWcStatus().cStr();
    }
    void Initialize(const std::string& files, int nx, int ny, int n) {
        auto r = mi.initializeRequest();
        r.setWcFile(files);
        r.setINx(nx);
        r.setINy(ny);
        r.setINframes(n);
        r.send().wait(io.waitScope);
    }
    void Stand(int frame) {
        auto r = mi.setMovieParametersRequest();
        r.setITime0(-100000);
        r.setIFrame0(frame);
        r.setFFrame0m(0.0f);
        r.setFFrame0p(0.0f);
        r.send().wait(io.waitScope);
    }
    void Option(const char* key, const char* value) {
        auto r = mi.setOptionRequest();
        r.setWcKey(key);
        r.setWcValue(value);
        r.send().wait(io.waitScope);
    }
    bool WaitStatus(const std::string& part) {
        return WaitFor([&] { return Status().find(part) != std::string::npos; }, kWaitMs);
    }
};

TEST(ReelProgram, ServesObjectsOverLoopback) {
    FreshRoot root;
    MakeDirs(root.File("data"));
    std::string movie = root.File("data/m.raw");
    std::string error;
    ASSERT_TRUE(WriteTestMovie(movie, 32, 24, 30, &error));
    uint16_t port = FreePort();
    ScopedEnv env(hosting::MiClass().portEnv, std::to_string(port).c_str());
    ReelProcess server(port);
    auto io = kj::setupAsyncIo();
    {
        MiClient c(io);
        EXPECT_EQ(c.Status().rfind("frame=-1 clock=0 state=none", 0), 0u) << c.Status();
        c.Initialize(movie, 32, 24, 30);
        c.Stand(12);
        EXPECT_TRUE(c.WaitStatus("frame=12 clock=12 state=pause")) << c.Status();
        int32_t t1 = c.mi.getTimeRequest().send().wait(io.waitScope).getLTime();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        int32_t t2 = c.mi.getTimeRequest().send().wait(io.waitScope).getLTime();
        EXPECT_GE(t2 - t1, 49);  // both truncated to whole milliseconds
        c.mi.framePPRequest().send().wait(io.waitScope);
        EXPECT_TRUE(c.WaitStatus("frame=13 ")) << c.Status();
        c.mi.shutDownRequest().send().wait(io.waitScope);
        EXPECT_NE(c.Status().find("state=down"), std::string::npos) << c.Status();
        c.Initialize(movie, 32, 24, 30);
        c.Stand(3);
        EXPECT_TRUE(c.WaitStatus("frame=3 ")) << c.Status();
        // Paths outside the data roots are refused.
        c.Initialize("/etc/passwd", 32, 24, 30);
        EXPECT_NE(c.Status().find("state=refused"), std::string::npos) << c.Status();
        c.Initialize(movie, 32, 24, 30);
        // Released without ShutDown: its threads stop with it.
    }
    MiClient d(io);  // a second object of the same process works
    d.Initialize(movie, 32, 24, 30);
    d.Stand(29);
    EXPECT_TRUE(d.WaitStatus("frame=29 ")) << d.Status();
    EXPECT_TRUE(server.Running());
}

TEST(ReelProgram, LaunchedOnDemandAndEndsWhenIdle) {
    FreshRoot root;
    ScopedEnv noDisplay("DISPLAY", "");
    MakeDirs(root.File("data"));
    std::string movie = root.File("data/m.raw");
    std::string error;
    ASSERT_TRUE(WriteTestMovie(movie, 16, 16, 5, &error));
    uint16_t port = FreePort();
    ASSERT_EQ(testing::RunCommand(kBin + "/reel1 -RegServer --port " + std::to_string(port)).status,
              0);
    auto io = kj::setupAsyncIo();
    {
        kj::Own<hosting::RemoteObject> object;
        ASSERT_EQ(hosting::CreateInstanceOnHost(io, hosting::MiClass(), "127.0.0.1", &object,
                                                &error),
                  0)
            << error;
        auto mi = object->As<rpc::Imi>();
        auto init = mi.initializeRequest();
        init.setWcFile(movie);
        init.setINx(16);
        init.setINy(16);
        init.setINframes(5);
        init.send().wait(io.waitScope);
        // Without --headless and without a display the panel stays dark and says why.
        EXPECT_TRUE(WaitFor(
            [&] {
                std::string s = mi.getStatusRequest().send().wait(io.waitScope).getWcStatus().cStr();
                return s.find("reason=no display window") != std::string::npos;
            },
            kWaitMs));
        EXPECT_TRUE(Listening(port));
    }
    // Released: the server ends about 5 s later.
    EXPECT_TRUE(WaitFor([port] { return !Listening(port); }, kWaitMs));
    std::string report = ReadWholeFile(root.File("reel1.error"));
    EXPECT_NE(report.find("Display window could not be opened"), std::string::npos) << report;
}

TEST(ReelProgram, HelpTestMovieAndClientExitCodes) {
    FreshRoot root;
    auto help = testing::RunCommand(kBin + "/reel1 --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--headless"), std::string::npos);
    EXPECT_NE(help.out.find("--data-root"), std::string::npos);
    EXPECT_EQ(testing::RunCommand(kBin + "/reel1 --make-test-movie x.raw 10 10 2>/dev/null").status, 2);
    EXPECT_EQ(testing::RunCommand(kBin + "/reel1 --make-test-movie x.raw 10 zero 3 2>/dev/null").status,
              2);
    std::string movie = root.File("t.raw");
    auto made = testing::RunCommand(kBin + "/reel1 --make-test-movie " + movie + " 7 5 3");
    EXPECT_EQ(made.status, 0);
    std::string bytes = ReadWholeFile(movie);
    ASSERT_EQ(bytes.size(), 7u * 5 * 3 * 3);
    std::vector<uint8_t> expected;
    for (int f = 0; f < 3; ++f) {
        auto frame = MakeFrame(f, 7, 5);
        expected.insert(expected.end(), frame.begin(), frame.end());
    }
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(),
                           reinterpret_cast<const uint8_t*>(bytes.data())));
    // Frame 2: the bar starts at column 16 mod 7 = 2, so pixel (column 3,
    // row 1) is blue 255; pixel (column 1, row 1) is blue 1 xor 1 = 0, red 2.
    EXPECT_EQ(static_cast<uint8_t>(bytes[2 * 105 + (1 * 7 + 3) * 3 + 2]), 255);
    EXPECT_EQ(static_cast<uint8_t>(bytes[2 * 105 + (1 * 7 + 1) * 3 + 2]), 0);  // 1 xor 1
    EXPECT_EQ(static_cast<uint8_t>(bytes[2 * 105 + (1 * 7 + 1) * 3 + 0]), 2);

    EXPECT_EQ(testing::RunCommand(kBin + "/reelctl 127.0.0.1 a 1 2 >/dev/null 2>&1").status, 2);
    EXPECT_EQ(testing::RunCommand(kBin + "/reelctl --help").status, 0);
    // A refused movie makes the client fail.
    MakeDirs(root.File("data"));
    uint16_t port = FreePort();
    ScopedEnv env(hosting::MiClass().portEnv, std::to_string(port).c_str());
    ReelProcess server(port);
    auto refused = testing::RunCommand(kBin + "/reelctl 127.0.0.1 /etc/passwd 8 8 3 --seconds 0.2");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.out.find("state=refused"), std::string::npos) << refused.out;
    std::string error;
    ASSERT_TRUE(WriteTestMovie(root.File("data/ok.raw"), 8, 8, 3, &error));
    auto played = testing::RunCommand(kBin + "/reelctl 127.0.0.1 " + root.File("data/ok.raw") +
                                      " 8 8 3 --seconds 0.5 --every 100");
    EXPECT_EQ(played.status, 0) << played.out;
    EXPECT_NE(played.out.find("errors=0"), std::string::npos) << played.out;
}

TEST(ReelProgram, AnXErrorIsRecordedNotFatal) {
    PrivateXServer x("320x240x24");
    if (!x.Ok()) GTEST_SKIP() << "no Xvfb";
    FreshRoot root;
    InstallXErrorHandler();
    ::Display* display = XOpenDisplay(x.Display().c_str());
    ASSERT_NE(display, nullptr);
    XMapWindow(display, 0x3fffff0);  // no such window: BadWindow
    XSync(display, False);           // Xlib's own handler would end the process here
    XCloseDisplay(display);
    std::string report = ReadWholeFile(root.File("reel1.error"));
    EXPECT_EQ(report.rfind(kReportRule, 0), 0u) << report;
    EXPECT_NE(report.find("X error in reel1: BadWindow"), std::string::npos) << report;
}

// Finds a top-level window by its title.
Window FindWindow(::Display* display, const char* title) {
    Window root = DefaultRootWindow(display), parent = 0, *children = nullptr;
    unsigned int count = 0;
    Window found = 0;
    if (XQueryTree(display, root, &root, &parent, &children, &count) == 0) return 0;
    for (unsigned int i = 0; i < count && found == 0; ++i) {
        char* name = nullptr;
        if (XFetchName(display, children[i], &name) != 0 && name != nullptr) {
            if (std::strcmp(name, title) == 0) found = children[i];
            XFree(name);
        }
    }
    if (children != nullptr) XFree(children);
    return found;
}

TEST(ReelProgram, PlaysInItsWindowOnAPrivateXServer) {
    PrivateXServer x("800x600x24");
    if (!x.Ok()) GTEST_SKIP() << "no Xvfb";
    FreshRoot root;
    MakeDirs(root.File("data"));
    std::string movie = root.File("data/m.raw");
    std::string error;
    const int w = 160, h = 120;
    ASSERT_TRUE(WriteTestMovie(movie, w, h, 90, &error));
    uint16_t port = FreePort();
    ScopedEnv env(hosting::MiClass().portEnv, std::to_string(port).c_str());
    ReelProcess server(port, x.Display(), false);
    auto io = kj::setupAsyncIo();
    MiClient c(io);
    c.Option("Xoffset", "100");
    c.Option("Yoffset", "50");
    c.Initialize(movie, w, h, 90);
    c.Stand(42);
    ASSERT_TRUE(c.WaitStatus("frame=42 ")) << c.Status();

    ::Display* display = XOpenDisplay(x.Display().c_str());
    ASSERT_NE(display, nullptr);
    Window window = 0;
    ASSERT_TRUE(WaitFor([&] { return (window = FindWindow(display, kReelWindowTitle)) != 0; },
                        kWaitMs));
    XWindowAttributes attributes{};
    XGetWindowAttributes(display, window, &attributes);
    EXPECT_EQ(attributes.x, 100);
    EXPECT_EQ(attributes.y, 50);
    EXPECT_EQ(attributes.width, w);
    EXPECT_EQ(attributes.height, h);
    std::vector<uint8_t> expected = MakeFrame(42, w, h);
    std::vector<uint8_t> shot(static_cast<size_t>(w) * h * 3);
    int mismatches = 0;
    ASSERT_TRUE(WaitFor(
        [&] {
            XImage* image = XGetImage(display, window, 0, 0, w, h, AllPlanes, ZPixmap);
            if (image == nullptr) return false;
            mismatches = 0;
            for (int y = 0; y < h; ++y) {
                for (int xx = 0; xx < w; ++xx) {
                    unsigned long pixel = XGetPixel(image, xx, y);
                    uint8_t rgb[3] = {static_cast<uint8_t>((pixel >> 16) & 0xff),
                                      static_cast<uint8_t>((pixel >> 8) & 0xff),
                                      static_cast<uint8_t>(pixel & 0xff)};
                    size_t at = (static_cast<size_t>(h - 1 - y) * w + xx) * 3;  // rows from the bottom
                    for (int k = 0; k < 3; ++k) {
                        shot[at + k] = rgb[k];
                        mismatches += rgb[k] != expected[at + k];
                    }
                }
            }
            XDestroyImage(image);
            return mismatches == 0;
        },
        kWaitMs))
        << mismatches << " bytes differ";
    if (const char* keep = std::getenv("REEL_TEST_SCREENSHOT")) {
        EXPECT_TRUE(WritePngImage(keep, w, h, shot).ok());
    }
    // A second object of the same process opens its own window, serialised
    // with the first, and the first shuts down and comes back.
    c.mi.shutDownRequest().send().wait(io.waitScope);
    EXPECT_TRUE(WaitFor([&] { return FindWindow(display, kReelWindowTitle) == 0; }, kWaitMs));
    c.Initialize(movie, w, h, 90);
    c.Stand(7);
    EXPECT_TRUE(c.WaitStatus("frame=7 ")) << c.Status();
    EXPECT_TRUE(WaitFor([&] { return FindWindow(display, kReelWindowTitle) != 0; }, kWaitMs));
    XCloseDisplay(display);
    EXPECT_TRUE(server.Running());
}

}  // namespace
}  // namespace voxa::movie
