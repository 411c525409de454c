#include "engine/bricks/brick_cache.h"

#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace voxa {
namespace {

using testing::FreshRoot;
using testing::ReadWholeFile;
using testing::TempDir;
using testing::WriteWholeFile;

constexpr int64_t k64K = 65536;

// A data file of `bricks` blocks of 64 KiB; byte i of block b is
// (b * 7 + i) % 251 + fill.
std::string MakeData(int bricks, int fill = 0) {
    std::string d(static_cast<size_t>(bricks) * k64K + 16, '\0');
    for (size_t i = 0; i < d.size(); ++i)
        d[i] = static_cast<char>(((i / k64K) * 7 + i % k64K) % 251 + fill);
    return d;
}

bool BlockMatches(const unsigned char* p, int block, int64_t count, int fill = 0) {
    for (int64_t i = 0; i < count; ++i) {
        size_t at = static_cast<size_t>(block) * k64K + static_cast<size_t>(i);
        if (p[i] != static_cast<unsigned char>(((at / k64K) * 7 + at % k64K) % 251 + fill)) return false;
    }
    return true;
}

struct Fixture {
    FreshRoot root;
    TempDir dir;
    std::string zb = dir.File("vol.zb");
    std::string data = dir.File("vol.dat");
};

// Posts bricks first..first+n-1 (brick b at block b, count bytes each),
// consumes them in order and releases them. Returns how many matched.
int RunFrame(BrickCache& cache, const std::string& data, int first, int n, int64_t count = k64K) {
    cache.ResetRequests();
    for (int b = first; b < first + n; ++b) EXPECT_TRUE(cache.PostRequest(b, data, b * k64K, count));
    cache.SetPosted();
    int good = 0;
    for (int b = first; b < first + n; ++b) {
        unsigned char* p = cache.GetCacheBuffer(b);
        if (p && BlockMatches(p, b, count)) ++good;
        cache.Release(b);
    }
    cache.WaitUntilIdle();
    return good;
}

TEST(BrickCache, ReadOrderSortsGroupsOfSixtyFourByOffset) {
    std::vector<int64_t> off;
    for (int i = 0; i < 70; ++i) off.push_back(1000 - i);  // descending
    off[5] = off[6];                                        // a tie keeps posting order
    auto order = BuildReadOrder(off);
    ASSERT_EQ(order.size(), 70u);
    EXPECT_EQ(order[0], 63);
    EXPECT_EQ(order[63], 0);
    // Positions 5 and 6 hold equal offsets: 5 comes first.
    auto at5 = std::find(order.begin(), order.end(), 5) - order.begin();
    auto at6 = std::find(order.begin(), order.end(), 6) - order.begin();
    EXPECT_EQ(at5 + 1, at6);
    // The second group is sorted on its own.
    EXPECT_EQ(order[64], 69);
    EXPECT_EQ(order[69], 64);
}

TEST(BrickCache, RunsOfFourPerThread) {
    const int expect[16] = {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 0, 0, 0, 0};
    for (int p = 0; p < 16; ++p) EXPECT_EQ(ServingThread(p, 3), expect[p]) << p;
}

TEST(BrickCache, OtherDirsParsing) {
    int skipped = 0;
    auto dirs = ParseOtherDirs("/a/ \n /b\t" + std::string(300, 'x') + "\n", &skipped);
    ASSERT_EQ(dirs.size(), 2u);
    EXPECT_EQ(dirs[0], "/a/");
    EXPECT_EQ(dirs[1], "/b/");
    EXPECT_EQ(skipped, 1);
}

TEST(BrickCache, StreamsBricksWithTheirBytes) {
    Fixture f;
    ASSERT_TRUE(WriteWholeFile(f.data, MakeData(40)));
    for (int bufferedIO : {0, 1}) {
        BrickCache cache(1);  // 16 slots: 40 bricks go through the ring
        cache.SetBufferedIO(bufferedIO);
        EXPECT_EQ(cache.CheckDataDirs(f.zb), 1);
        EXPECT_EQ(RunFrame(cache, f.data, 0, 40), 40) << bufferedIO;
        // Odd-sized bricks (plain reader) stream as well.
        EXPECT_EQ(RunFrame(cache, f.data, 0, 20, 1000), 20) << bufferedIO;
    }
}

TEST(BrickCache, PlanThatFitsIsAppendedOneByteMoreEmptiesTheCache) {
    Fixture f;
    ASSERT_TRUE(WriteWholeFile(f.data, MakeData(16)));
    for (int64_t extra : {0, 1}) {
        BrickCache cache(1);
        cache.CheckDataDirs(f.zb);
        ASSERT_EQ(RunFrame(cache, f.data, 0, 8), 8);
        for (int b = 0; b < 8; ++b) EXPECT_TRUE(cache.IsResident(b));
        // Second list: bricks 8..15, the last one `extra` bytes longer.
        cache.ResetRequests();
        for (int b = 8; b < 16; ++b) cache.PostRequest(b, f.data, b * k64K, k64K + (b == 15 ? extra : 0));
        cache.SetPosted();
        for (int b = 8; b < 16; ++b) {
            EXPECT_NE(cache.GetCacheBuffer(b), nullptr);
            cache.Release(b);
        }
        cache.WaitUntilIdle();
        for (int b = 0; b < 8; ++b) EXPECT_EQ(cache.IsResident(b), extra == 0) << "extra " << extra;
        EXPECT_EQ(cache.EmptyingPlans(), extra == 0 ? 0 : 1);
        // Resident bricks are not read again.
        const int64_t before = cache.BytesRead();
        if (extra == 0) {
            EXPECT_EQ(RunFrame(cache, f.data, 0, 8), 8);
            EXPECT_EQ(cache.BytesRead(), before);
        }
    }
}

TEST(BrickCache, PositionsGoToThreadsInRunsOfFour) {
    Fixture f;
    TempDir d1, d2;
    // Every directory holds its own copy; the copies differ by `fill` so
    // each brick's bytes tell which thread read it.
    ASSERT_TRUE(WriteWholeFile(f.data, MakeData(16, 0)));
    ASSERT_TRUE(WriteWholeFile(d1.File("vol.dat"), MakeData(16, 1)));
    ASSERT_TRUE(WriteWholeFile(d2.File("vol.dat"), MakeData(16, 2)));
    ASSERT_TRUE(WriteWholeFile(f.dir.File(kOtherDirsFile), d1.Path() + "/\n" + d2.Path() + "\n"));
    BrickCache cache(4);
    ASSERT_EQ(cache.CheckDataDirs(f.zb), 3);
    cache.ResetRequests();
    for (int b = 0; b < 16; ++b) cache.PostRequest(b, f.data, b * k64K, k64K);
    cache.SetPosted();
    for (int b = 0; b < 16; ++b) {
        unsigned char* p = cache.GetCacheBuffer(b);
        ASSERT_NE(p, nullptr);
        // Positions 0-3 from the ZB file's directory, 4-7 from d1, 8-11
        // from d2, 12-15 from the first again.
        const int reader = (b / 4) % 3;
        EXPECT_TRUE(BlockMatches(p, b, k64K, reader)) << "position " << b;
        cache.Release(b);
    }
    cache.WaitUntilIdle();
    // Without "otherdirs.txt" in another directory the readers stay.
    TempDir other;
    EXPECT_EQ(cache.CheckDataDirs(other.File("x.zb")), 3);
}

TEST(BrickCache, TwoReadersStreamThroughTheRing) {
    Fixture f;
    TempDir d1;
    ASSERT_TRUE(WriteWholeFile(f.data, MakeData(60)));
    ASSERT_TRUE(WriteWholeFile(d1.File("vol.dat"), MakeData(60)));
    ASSERT_TRUE(WriteWholeFile(f.dir.File(kOtherDirsFile), d1.Path()));
    BrickCache cache(1);
    cache.SetBufferedIO(1);
    ASSERT_EQ(cache.CheckDataDirs(f.zb), 2);
    EXPECT_EQ(RunFrame(cache, f.data, 0, 60), 60);
    EXPECT_EQ(RunFrame(cache, f.data, 10, 30), 30);
}

TEST(BrickCache, UnreadableFileIsLoggedOnceAndNotPublished) {
    Fixture f;
    BrickCache cache(1);
    cache.CheckDataDirs(f.zb);
    const std::string missing = f.dir.File("missing.dat");
    for (int frame = 0; frame < 2; ++frame) {
        cache.ResetRequests();
        for (int b = 0; b < 3; ++b) cache.PostRequest(b, missing, b * k64K, k64K);
        cache.SetPosted();
        for (int b = 0; b < 3; ++b) {
            EXPECT_EQ(cache.GetCacheBuffer(b), nullptr);
            EXPECT_FALSE(cache.IsResident(b));
            cache.Release(b);
        }
        cache.WaitUntilIdle();
    }
    std::string log = ReadWholeFile(f.root.File("DEBUG_VOXA.txt"));
    size_t first = log.find("missing.dat");
    ASSERT_NE(first, std::string::npos) << log;
    // Once per file and frame: two frames, two lines.
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
    EXPECT_EQ(cache.FailedReads(), 6);
}

TEST(BrickCache, ShortFileIsNotPublished) {
    Fixture f;
    ASSERT_TRUE(WriteWholeFile(f.data, MakeData(2)));
    BrickCache cache(1);
    cache.CheckDataDirs(f.zb);
    cache.ResetRequests();
    cache.PostRequest(0, f.data, 0, k64K);
    cache.PostRequest(1, f.data, 2 * k64K, k64K);  // only 16 bytes there
    cache.SetPosted();
    unsigned char* p = cache.GetCacheBuffer(0);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(BlockMatches(p, 0, k64K));
    EXPECT_EQ(cache.GetCacheBuffer(1), nullptr);
    cache.Release(0);
    cache.WaitUntilIdle();
}

TEST(BrickCache, DirectReaderStreamsWithReadsInFlight) {
    Fixture f;
    ASSERT_TRUE(WriteWholeFile(f.data, MakeData(47)));  // block 47 has 16 bytes only
    BrickCache cache(1);  // 16 slots
    cache.SetBufferedIO(1);
    cache.CheckDataDirs(f.zb);
    // Whole-block bricks (unbuffered, several reads at once) with odd-sized
    // ones (plain reader) among them, and a brick past the end of the file
    // inside a run of contiguous bricks.
    cache.ResetRequests();
    std::vector<int64_t> counts;
    for (int b = 0; b < 48; ++b) {
        const int64_t count = (b % 7 == 3) ? 1000 : (b % 5 == 0 ? 2 * k64K : k64K);
        counts.push_back(count);
        ASSERT_TRUE(cache.PostRequest(b, f.data, b * k64K, count));
    }
    cache.SetPosted();
    for (int b = 0; b < 48; ++b) {
        unsigned char* p = cache.GetCacheBuffer(b);
        if (b * k64K + counts[b] <= 47 * k64K + 16) {
            ASSERT_NE(p, nullptr) << b;
            EXPECT_TRUE(BlockMatches(p, b, counts[b])) << b;
        } else {
            EXPECT_EQ(p, nullptr) << b;
        }
        cache.Release(b);
    }
    cache.WaitUntilIdle();
    EXPECT_EQ(cache.FailedReads(), 1);
    EXPECT_EQ(RunFrame(cache, f.data, 0, 40), 40);
}

TEST(BrickCache, AbortWhileWaitingReturnsTheRegionStart) {
    Fixture f;
    ASSERT_TRUE(WriteWholeFile(f.data, MakeData(40)));
    BrickCache cache(1);
    cache.CheckDataDirs(f.zb);
    cache.ResetRequests();
    for (int b = 0; b < 40; ++b) cache.PostRequest(b, f.data, b * k64K, k64K);
    cache.SetPosted();
    // Hold the first bricks without releasing: the ring fills and the
    // readers wait for slots that never come free.
    ASSERT_NE(cache.GetCacheBuffer(0), nullptr);
    std::jthread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        cache.RaiseAbort();
    });
    EXPECT_EQ(cache.GetCacheBuffer(39), cache.RegionStart());
    EXPECT_TRUE(cache.AbortRaised());
    cache.ClearAbort();
    cache.WaitUntilIdle();
    EXPECT_EQ(cache.Posted(), ListState::kNone);
    // The next frame still works.
    EXPECT_EQ(RunFrame(cache, f.data, 0, 40), 40);
}

// A stop that comes before the readers have taken the list up (the viewer
// aborts the frame the moment the user moves) must still end that list:
// the next frame waits for it.
TEST(BrickCache, ListAbortedBeforeTheReadersTakeItUpStillEnds) {
    for (int readers : {1, 3}) {
        SCOPED_TRACE(std::to_string(readers) + " reader(s)");
        Fixture f;
        TempDir d1, d2;
        ASSERT_TRUE(WriteWholeFile(f.data, MakeData(8)));
        if (readers == 3) {
            // Copies of the same bytes in two more directories.
            ASSERT_TRUE(WriteWholeFile(d1.File("vol.dat"), MakeData(8)));
            ASSERT_TRUE(WriteWholeFile(d2.File("vol.dat"), MakeData(8)));
            ASSERT_TRUE(WriteWholeFile(f.dir.File(kOtherDirsFile), d1.Path() + "/\n" + d2.Path() + "\n"));
        }
        BrickCache cache(1);
        ASSERT_EQ(cache.CheckDataDirs(f.zb), readers);
        std::atomic<int> done{0};
        std::jthread frames([&] {
            for (int i = 0; i < 200; ++i) {
                cache.ResetRequests();
                for (int b = 0; b < 8; ++b) cache.PostRequest(b, f.data, b * k64K, k64K);
                cache.SetPosted();
                cache.RaiseAbort();
                cache.ClearAbort();
                done.fetch_add(1);
            }
            cache.WaitUntilIdle();
            done.fetch_add(1);
        });
        // A list left posted-and-aborted for ever would hang here: give up
        // after a generous bound and say so instead.
        for (int waited = 0; done.load() < 201 && waited < 30000; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (done.load() < 201) {
            ADD_FAILURE() << "stuck after " << done.load() << " aborted lists, " << readers
                          << " reader(s)";
            std::fflush(nullptr);
            std::_Exit(1);
        }
        frames.join();
        EXPECT_EQ(cache.Posted(), ListState::kNone);
        EXPECT_EQ(RunFrame(cache, f.data, 0, 8), 8);
    }
}

TEST(BrickCache, NewCacheSizeEmptiesTheCache) {
    Fixture f;
    ASSERT_TRUE(WriteWholeFile(f.data, MakeData(4)));
    BrickCache cache(1);
    cache.SetCacheMB(2);  // before the region exists: only the number
    EXPECT_EQ(cache.CacheMB(), 2);
    cache.CheckDataDirs(f.zb);
    ASSERT_EQ(RunFrame(cache, f.data, 0, 4), 4);
    EXPECT_EQ(cache.CacheBytes(), 2 << 20);
    EXPECT_TRUE(cache.IsResident(3));
    cache.SetCacheMB(3);
    EXPECT_EQ(cache.CacheBytes(), 3 << 20);
    EXPECT_FALSE(cache.IsResident(3));
    EXPECT_EQ(RunFrame(cache, f.data, 0, 4), 4);
}

TEST(BrickCache, BadRequestsAreRefused) {
    BrickCache cache(1);
    cache.ResetRequests();
    EXPECT_FALSE(cache.PostRequest(-1, "a", 0, 1));
    EXPECT_FALSE(cache.PostRequest(8192, "a", 0, 1));
    EXPECT_FALSE(cache.PostRequest(0, std::string(256, 'p'), 0, 1));
    EXPECT_FALSE(cache.PostRequest(0, "a", 20000000000LL, 1));
    EXPECT_FALSE(cache.PostRequest(0, "a", 0, 0));
    for (int i = 0; i < kMaxReadRequests; ++i) ASSERT_TRUE(cache.PostRequest(i % kMaxBricks, "a", 0, 1));
    EXPECT_FALSE(cache.PostRequest(0, "a", 0, 1));
}

TEST(BrickReader, ChoiceOfReader) {
    EXPECT_EQ(ChooseReader(1, 64 * 64 * 16), ReaderKind::kDirect);
    EXPECT_EQ(ChooseReader(1, 32 * 32 * 32), ReaderKind::kPlain);
    EXPECT_EQ(ChooseReader(0, 64 * 64 * 16), ReaderKind::kPlain);
    EXPECT_EQ(ChooseReader(1, -65536), ReaderKind::kPlain);
}

TEST(BrickReader, DirectReaderKeepsOneFileOpen) {
    TempDir dir;
    const std::string a = dir.File("a.dat"), b = dir.File("b.dat");
    ASSERT_TRUE(WriteWholeFile(a, MakeData(2)));
    ASSERT_TRUE(WriteWholeFile(b, MakeData(2, 3)));
    AlignedBuffer buf(2 * k64K);
    DirectBrickReader r;
    EXPECT_EQ(r.OpenName(), kNoFileOpen);
    EXPECT_EQ(r.Read(buf.Data(), a, k64K, k64K), k64K);
    EXPECT_TRUE(BlockMatches(buf.Data(), 1, k64K));
    EXPECT_EQ(r.OpenName(), a);
    // 32^3 goes to the plain reader: the open file stays.
    EXPECT_EQ(r.Read(buf.Data(), b, 0, 32 * 32 * 32), 32 * 32 * 32);
    EXPECT_TRUE(BlockMatches(buf.Data(), 0, 32 * 32 * 32, 3));
    EXPECT_EQ(r.OpenName(), a);
    EXPECT_EQ(r.Read(buf.Data(), kReaderNone, 0, k64K), 0);
    EXPECT_EQ(r.OpenName(), a);
    EXPECT_EQ(r.Read(buf.Data(), b, 0, k64K), k64K);
    EXPECT_TRUE(BlockMatches(buf.Data(), 0, k64K, 3));
    EXPECT_EQ(r.OpenName(), b);
    EXPECT_EQ(r.Read(buf.Data(), kReaderClose, 0, k64K), 0);
    EXPECT_EQ(r.OpenName(), kNoFileOpen);
    EXPECT_EQ(r.Read(buf.Data(), dir.File("missing"), 0, k64K), 0);
    EXPECT_EQ(r.OpenName(), kNoFileOpen);
    EXPECT_EQ(PlainReadBrick(buf.Data(), dir.File("missing"), 0, 10), 0);
}

TEST(BrickReader, UnbufferedFdOnlyForDirectAlignedReads) {
    TempDir dir;
    const std::string a = dir.File("a.dat");
    ASSERT_TRUE(WriteWholeFile(a, MakeData(2)));
    AlignedBuffer buf(2 * k64K);
    DirectBrickReader r;
    EXPECT_EQ(r.UnbufferedFd(0, buf.Data(), a, 0, k64K), -1);  // BufferedIO 0
    EXPECT_EQ(r.UnbufferedFd(1, buf.Data(), a, 0, 32 * 32 * 32), -1);
    EXPECT_EQ(r.UnbufferedFd(1, buf.Data(), kReaderNone, 0, k64K), -1);
    EXPECT_EQ(r.UnbufferedFd(1, buf.Data(), dir.File("missing"), 0, k64K), -1);
    EXPECT_EQ(r.OpenName(), kNoFileOpen);
    const int fd = r.UnbufferedFd(1, buf.Data(), a, k64K, k64K);
    EXPECT_EQ(r.OpenName(), a);
    if (!r.IsUnbuffered()) GTEST_SKIP() << "file system refuses O_DIRECT";
    ASSERT_GE(fd, 0);
    EXPECT_EQ(r.UnbufferedFd(1, buf.Data() + 512, a, k64K, k64K), -1);  // unaligned buffer
    // The descriptor reads the file.
    ASSERT_EQ(::pread(fd, buf.Data(), k64K, k64K), k64K);
    EXPECT_TRUE(BlockMatches(buf.Data(), 1, k64K));
}

TEST(BrickReader, AsyncReadsCompleteWithTheirTags) {
    TempDir dir;
    const std::string a = dir.File("a.dat");
    ASSERT_TRUE(WriteWholeFile(a, MakeData(6)));  // block 6 has 16 bytes
    DirectBrickReader r;
    AlignedBuffer buf(7 * k64K);
    std::memset(buf.Data(), 0xEE, buf.Size());
    const int fd = r.UnbufferedFd(1, buf.Data(), a, 0, k64K);
    ASSERT_GE(fd, 0);
    AsyncReads aio(4);
    if (!aio.Ok()) GTEST_SKIP() << "no asynchronous I/O context";
    EXPECT_EQ(aio.Depth(), 4);
    // Blocks 5, 3, 1 (two blocks: 1 and 2) and 6 (past the end) in flight at once.
    ASSERT_TRUE(aio.Submit(fd, buf.Data() + 5 * k64K, 5 * k64K, k64K, 50));
    ASSERT_TRUE(aio.Submit(fd, buf.Data() + 3 * k64K, 3 * k64K, k64K, 30));
    ASSERT_TRUE(aio.Submit(fd, buf.Data() + 1 * k64K, 1 * k64K, 2 * k64K, 10));
    ASSERT_TRUE(aio.Submit(fd, buf.Data() + 6 * k64K, 6 * k64K, k64K, 60));
    EXPECT_FALSE(aio.Submit(fd, buf.Data(), 0, k64K, 0));  // queue full
    EXPECT_FALSE(AsyncReads(1).Submit(-1, buf.Data(), 0, k64K, 0));
    std::vector<AsyncReads::Completion> done;
    while (aio.InFlight() > 0) aio.Reap(true, &done);
    aio.Reap(true, &done);  // nothing in flight: returns at once
    ASSERT_EQ(done.size(), 4u);
    std::map<uint64_t, int64_t> byTag;
    for (const auto& c : done) byTag[c.tag] = c.result;
    EXPECT_EQ(byTag[50], k64K);
    EXPECT_EQ(byTag[30], k64K);
    EXPECT_EQ(byTag[10], 2 * k64K);
    EXPECT_EQ(byTag[60], 16);
    EXPECT_TRUE(BlockMatches(buf.Data() + k64K, 1, 3 * k64K));
    EXPECT_TRUE(BlockMatches(buf.Data() + 5 * k64K, 5, k64K));
    EXPECT_EQ(buf.Data()[4 * k64K], 0xEE);  // block 4 was not asked for
    EXPECT_EQ(buf.Data()[0], 0xEE);
}

}  // namespace
}  // namespace voxa
