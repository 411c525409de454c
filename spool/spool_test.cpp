// Tests of the spool server (slots, runs, transfers, data roots), the test
// movie, and the spool / spoolwrite programs over loopback.
#include "hosting/data_root_options.h"
#include "platform/data_roots.h"
#include "spool/progress_line.h"
#include "spool/spool1_impl.h"
#include "spool/spool_server.h"
#include "spool/spool_write.h"
#include "spool/test_movie.h"

#include "hosting/activation.h"
#include "hosting/class_registry.h"
#include "hosting/interfaces.capnp.h"
#include "platform/sys.h"
#include "platform/test_support.h"
#include "platform/unique_fd.h"

#include <gtest/gtest.h>
#include <kj/async-io.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

namespace voxa::spool {
namespace {

using voxa::testing::FreePort;
using voxa::testing::FreshRoot;
using voxa::testing::Listening;
using voxa::testing::WaitFor;
using voxa::testing::RunCommand;
using voxa::testing::ScopedEnv;
using voxa::testing::TempDir;

const std::string kBin = VOXA_BIN_DIR;

std::vector<unsigned char> Pattern(size_t n, unsigned seed) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>((i * 131 + seed * 7) >> 3);
    return v;
}

std::vector<unsigned char> ReadAt(const std::string& path, uint64_t offset, size_t n) {
    std::vector<unsigned char> v(n);
    UniqueFd fd(::open(path.c_str(), O_RDONLY));
    if (!fd) return {};
    ssize_t got = ::pread(fd.Get(), v.data(), n, static_cast<off_t>(offset));
    v.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return v;
}

int64_t FileSize(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// A SpoolServer whose only data root is a fresh directory.
struct SpoolFixture : ::testing::Test {
    TempDir dir;
    std::unique_ptr<SpoolServer> server;
    void SetUp() override {
        DataRoots roots;
        std::string error;
        ASSERT_TRUE(roots.Add(dir.Path()).ok());
        server = std::make_unique<SpoolServer>(std::move(roots));
    }
    int Write(const std::string& path, uint64_t offset, const std::vector<unsigned char>& data) {
        return server->WriteReq(path, static_cast<uint32_t>(offset >> 32),
                                static_cast<uint32_t>(offset), static_cast<int32_t>(data.size()),
                                data.data(), data.size());
    }
    // Polls the slot until its write is done; returns the result.
    int Collect(int slot) {
        int result = -1;
        WaitFor([&] {
            result = server->GetWriteStatus(slot);
            return result >= 0 || result == kZeroFillFailed;
        });
        return result;
    }
};

using SpoolSlots = SpoolFixture;

TEST_F(SpoolSlots, FourMiBIsAcceptedAndOneByteMoreIsRefused) {
    ASSERT_EQ(server->InitWrite(), 1);
    std::vector<unsigned char> big(kMaxPiece + 1, 7);
    const std::string file = dir.File("a.raw");
    EXPECT_EQ(server->WriteReq(file, 0, 0, kMaxPiece + 1, big.data(), big.size()), kPieceTooLarge);
    EXPECT_EQ(server->WriteReq(file, 0, 0, -5, big.data(), 0), kPieceTooLarge);
    EXPECT_EQ(server->ReadReq(file, 0, 0, kMaxPiece + 1), kPieceTooLarge);
    int slot = server->WriteReq(file, 0, 0, kMaxPiece, big.data(), kMaxPiece);
    EXPECT_EQ(slot, 0);
    EXPECT_EQ(Collect(slot), kMaxPiece);
    EXPECT_EQ(FileSize(file), kMaxPiece);
    server->Finish();
}

TEST_F(SpoolSlots, DataOfAnotherLengthThanTheCountIsRefused) {
    ASSERT_EQ(server->InitWrite(), 1);
    std::vector<unsigned char> data(1000, 1);
    EXPECT_EQ(server->WriteReq(dir.File("a"), 0, 0, 1001, data.data(), data.size()),
              kPieceTooLarge);
    server->Finish();
}

TEST_F(SpoolSlots, NinthOutstandingRequestIsRefusedAndSlotZeroIsReused) {
    ASSERT_EQ(server->InitWrite(), 1);
    auto piece = Pattern(131072, 1);
    const std::string file = dir.File("b.raw");
    for (int i = 0; i < kSlotCount; ++i) EXPECT_EQ(Write(file, i * 131072ull, piece), i);
    EXPECT_EQ(Write(file, 8 * 131072ull, piece), kSlotBusy);
    EXPECT_EQ(Collect(0), 131072);
    EXPECT_EQ(Write(file, 8 * 131072ull, piece), 0);
    for (int i = 1; i < kSlotCount; ++i) EXPECT_EQ(Collect(i), 131072);
    EXPECT_EQ(Collect(0), 131072);
    EXPECT_EQ(FileSize(file), 9 * 131072);
    EXPECT_EQ(ReadAt(file, 8 * 131072ull, 131072), piece);
    server->Finish();
}

TEST_F(SpoolSlots, CollectingAnEmptyOrInvalidSlotIsRefused) {
    ASSERT_EQ(server->InitWrite(), 1);
    EXPECT_EQ(server->GetWriteStatus(3), kNoWriteRequest);
    EXPECT_EQ(server->GetStatus(3), "No Write Request was assigned to this buffer");
    EXPECT_EQ(server->GetWriteStatus(8), kNoWriteRequest);
    EXPECT_EQ(server->GetWriteStatus(-1), kNoWriteRequest);
    ReadBlock block;
    EXPECT_EQ(server->GetReq(2, &block), kNoReadRequest);
    EXPECT_EQ(server->GetReq(99, &block), kNoReadRequest);
    EXPECT_EQ(block.size, 0);
    EXPECT_EQ(server->GetStatus(8), "No such buffer: 8 (buffers are 0 to 7)");
    server->Finish();
}

TEST_F(SpoolSlots, SecondRunBeforeFinishIsRefusedAndAllowedAfter) {
    ASSERT_EQ(server->InitWrite(), 1);
    EXPECT_EQ(server->InitWrite(), 0);
    EXPECT_EQ(server->Initialize(), 0);
    server->Finish();
    EXPECT_FALSE(server->WorkerRunning());
    EXPECT_EQ(server->Initialize(), 1);
    server->Finish();
    EXPECT_EQ(server->InitWrite(), 1);
    server->Finish();
}

TEST_F(SpoolSlots, FinishWaitsForAWorkerStillInsideAFill) {
    ASSERT_EQ(server->InitWrite(), 1);
    const std::string file = dir.File("fill.raw");
    const uint64_t length = 256ull << 20;  // long enough to outlast the 100 ms
    ASSERT_EQ(server->WriteReq(file, 0, static_cast<uint32_t>(length), 0, nullptr, 0), 0);
    WaitFor([&] { return server->GetWriteStatus(0) > 0; });
    server->Finish();
    EXPECT_FALSE(server->WorkerRunning());
    // The new run's worker is the only one: its first piece lands in slot 0.
    ASSERT_EQ(server->InitWrite(), 1);
    auto piece = Pattern(131072, 3);
    ASSERT_EQ(Write(dir.File("c.raw"), 0, piece), 0);
    EXPECT_EQ(Collect(0), 131072);
    EXPECT_EQ(ReadAt(dir.File("c.raw"), 0, 131072), piece);
    server->Finish();
}

using SpoolTransfers = SpoolFixture;

TEST_F(SpoolTransfers, AlignedPiecesAreHighPerformanceAndUnalignedLowPerformance) {
    ASSERT_EQ(server->InitWrite(), 1);
    const std::string file = dir.File("m.raw");
    auto aligned = Pattern(262144, 5);
    auto odd = Pattern(1000, 6);
    int s0 = Write(file, 0, aligned);
    EXPECT_EQ(Collect(s0), 262144);
    EXPECT_NE(server->GetStatus(s0).find("IO Type: HighPerformance"), std::string::npos)
        << server->GetStatus(s0);
    int s1 = Write(file, 262144 + 4096, odd);  // offset not a multiple of 128 KiB
    EXPECT_EQ(Collect(s1), 1000);
    EXPECT_EQ(server->GetStatus(s1),
              "Wrote 1000 bytes to Address Lo = 266240 Hi = 0   Requested 1000 bytes  IO Type: "
              "LowPerformance");
    int s2 = Write(file, 131072, Pattern(131072 + 512, 7));  // length not a multiple
    EXPECT_EQ(Collect(s2), 131072 + 512);
    EXPECT_NE(server->GetStatus(s2).find("LowPerformance"), std::string::npos);
    server->Finish();
    EXPECT_EQ(ReadAt(file, 0, 131072), std::vector<unsigned char>(aligned.begin(),
                                                                  aligned.begin() + 131072));
    EXPECT_EQ(ReadAt(file, 131072, 131072 + 512), Pattern(131072 + 512, 7));
    EXPECT_EQ(ReadAt(file, 266240, 1000), odd);
}

TEST_F(SpoolTransfers, WriteBeyondFourGiBLandsAtItsPlaceAndKeepsOtherBytes) {
    const std::string file = dir.File("big.raw");
    auto head = Pattern(65536, 9);
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(head.data()), head.size());
    }
    ASSERT_EQ(server->InitWrite(), 1);
    const uint64_t offset = (4ull << 30) + 131072;  // high word 1
    auto piece = Pattern(131072, 10);
    int slot = Write(file, offset, piece);
    EXPECT_EQ(Collect(slot), 131072);
    EXPECT_EQ(server->GetStatus(slot),
              "Wrote 131072 bytes to Address Lo = 131072 Hi = 1   Requested 131072 bytes  IO "
              "Type: HighPerformance");
    server->Finish();
    EXPECT_EQ(FileSize(file), static_cast<int64_t>(offset + 131072));
    EXPECT_EQ(ReadAt(file, offset, 131072), piece);
    EXPECT_EQ(ReadAt(file, 0, 65536), head);
    EXPECT_EQ(ReadAt(file, offset - 4096, 4096), std::vector<unsigned char>(4096, 0));
    uint32_t lo = 0, hi = 0;
    server->GetSize(file, &lo, &hi);
    EXPECT_EQ(hi, 1u);
    EXPECT_EQ(lo, 262144u);
}

TEST_F(SpoolTransfers, ZeroFillReportsKilobytesAndZeroesTheFile) {
    const std::string file = dir.File("z.raw");
    {
        std::ofstream out(file, std::ios::binary);
        std::vector<char> ones(12 << 20, '\xff');
        out.write(ones.data(), ones.size());
    }
    ASSERT_EQ(server->InitWrite(), 1);
    ASSERT_EQ(server->WriteReq(file, 0, 10u << 20, 0, nullptr, 0), 0);
    std::vector<int> seen;
    int result = -1;
    WaitFor([&] {
        result = server->GetWriteStatus(0);
        if (seen.empty() || seen.back() != result) seen.push_back(result);
        return result == 10240 || result == kZeroFillFailed;
    });
    EXPECT_EQ(result, 10240);
    // While running it shows -1 or whole pieces done so far.
    for (int value : seen) {
        EXPECT_TRUE(value == -1 || value == 4096 || value == 8192 || value == 10240) << value;
    }
    EXPECT_EQ(server->GetStatus(0), "Wrote 10240 kB");
    EXPECT_EQ(server->GetWriteStatus(0), kNoWriteRequest);  // collected
    server->Finish();
    EXPECT_EQ(ReadAt(file, 0, 10 << 20), std::vector<unsigned char>(10 << 20, 0));
    EXPECT_EQ(ReadAt(file, 10 << 20, 4), std::vector<unsigned char>(4, 0xff));
}

TEST_F(SpoolTransfers, ReadRunReturnsTheBytesThatExist) {
    const std::string file = dir.File("r.raw");
    auto content = Pattern(300000, 11);
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()), content.size());
    }
    ASSERT_EQ(server->Initialize(), 1);
    int s0 = server->ReadReq(file, 0, 0, 131072);
    int s1 = server->ReadReq(file, 0, 1000, 5000);
    int s2 = server->ReadReq(file, 0, 262144, 131072);  // past the end
    ReadBlock block;
    ASSERT_TRUE(WaitFor([&] { return server->GetReq(s0, &block) == 1; }));
    EXPECT_EQ(std::vector<unsigned char>(block.data.get(), block.data.get() + block.size),
              std::vector<unsigned char>(content.begin(), content.begin() + 131072));
    EXPECT_EQ(server->GetReq(s0, &block), kNoReadRequest);
    ASSERT_TRUE(WaitFor([&] { return server->GetReq(s1, &block) == 1; }));
    EXPECT_EQ(std::vector<unsigned char>(block.data.get(), block.data.get() + block.size),
              std::vector<unsigned char>(content.begin() + 1000, content.begin() + 6000));
    EXPECT_NE(server->GetStatus(s1).find("Low Performance IO"), std::string::npos);
    ASSERT_TRUE(WaitFor([&] { return server->GetReq(s2, &block) == 1; }));
    EXPECT_EQ(block.size, 300000 - 262144);
    server->Finish();
}

TEST_F(SpoolTransfers, GetSizeOfAMissingFileIsZero) {
    uint32_t lo = 1, hi = 1;
    server->GetSize(dir.File("missing.raw"), &lo, &hi);
    EXPECT_EQ(lo, 0u);
    EXPECT_EQ(hi, 0u);
}


// A request of the wrong kind for the open run takes no slot and moves no
// byte: a ReadReq in a write run must not write the slot's stale region
// (another client's data) into the file, nor zero-fill it.
TEST_F(SpoolSlots, RequestsOfTheOtherKindThanTheRunAreRefusedAndTouchNothing) {
    const std::string victim = dir.File("victim.raw");
    const auto original = Pattern(262144, 21);
    {
        std::ofstream out(victim, std::ios::binary);
        out.write(reinterpret_cast<const char*>(original.data()), original.size());
    }
    // No run open: refused, nothing stored.
    EXPECT_EQ(server->ReadReq(victim, 0, 0, 131072), kPieceTooLarge);
    EXPECT_NE(server->GetStatus(kPieceTooLarge).find("no run is open"), std::string::npos);
    EXPECT_EQ(Write(victim, 0, Pattern(131072, 1)), kPieceTooLarge);

    ASSERT_EQ(server->InitWrite(), 1);
    // Another client's piece leaves its bytes in region 0.
    const auto other = Pattern(131072, 22);
    ASSERT_EQ(Write(dir.File("other.raw"), 0, other), 0);
    ASSERT_EQ(Collect(0), 131072);
    EXPECT_EQ(server->ReadReq(victim, 0, 0, 131072), kPieceTooLarge);
    EXPECT_NE(server->GetStatus(kPieceTooLarge).find("read request in a write run"),
              std::string::npos);
    EXPECT_EQ(server->ReadReq(victim, 0, 0, 0), kPieceTooLarge);  // would zero-fill
    // A write of this run still takes the next slot: none was used up.
    ASSERT_EQ(Write(dir.File("other.raw"), 131072, other), 1);
    // Collecting it as a read would steal the writer's result.
    ReadBlock block;
    EXPECT_EQ(server->GetReq(1, &block), kNoReadRequest);
    EXPECT_EQ(Collect(1), 131072);
    server->Finish();
    EXPECT_EQ(ReadAt(victim, 0, original.size()), original);
    EXPECT_EQ(FileSize(victim), static_cast<int64_t>(original.size()));

    // And the other way round in a read run.
    ASSERT_EQ(server->Initialize(), 1);
    EXPECT_EQ(Write(victim, 0, Pattern(131072, 23)), kPieceTooLarge);
    EXPECT_NE(server->GetStatus(-2).find("write request in a read run"), std::string::npos);
    EXPECT_EQ(server->WriteReq(victim, 0, 4096, 0, nullptr, 0), kPieceTooLarge);
    const int slot = server->ReadReq(victim, 0, 0, 1000);
    ASSERT_EQ(slot, 0);
    EXPECT_EQ(server->GetWriteStatus(slot), kNoWriteRequest);
    ASSERT_TRUE(WaitFor([&] { return server->GetReq(slot, &block) == 1; }));
    EXPECT_EQ(std::vector<unsigned char>(block.data.get(), block.data.get() + block.size),
              std::vector<unsigned char>(original.begin(), original.begin() + 1000));
    server->Finish();
    EXPECT_EQ(ReadAt(victim, 0, original.size()), original);
}

// A zero-fill's length comes from the client: one that would grow the file
// past the free space of its file system is refused before a byte is written.
TEST_F(SpoolTransfers, ZeroFillLargerThanTheFreeSpaceIsRefused) {
    const std::string file = dir.File("huge.raw");
    const auto head = Pattern(4096, 31);
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(head.data()), head.size());
    }
    ASSERT_EQ(server->InitWrite(), 1);
    // High word 256 asks for 1 TiB; on a file system with more free space
    // than that, ask for 1 GiB more than is free.
    struct statvfs fs{};
    ASSERT_EQ(::statvfs(dir.Path().c_str(), &fs), 0);
    const uint64_t freeBytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    const uint64_t length = std::max<uint64_t>(uint64_t{256} << 32, (freeBytes + (1u << 30)) & ~uint64_t{0xffff});
    const int slot = server->WriteReq(file, static_cast<uint32_t>(length >> 32), static_cast<uint32_t>(length), 0,
                                      nullptr, 0);
    ASSERT_EQ(slot, 0);
    EXPECT_EQ(Collect(slot), kZeroFillFailed);
    const std::string text = server->GetStatus(slot);
    EXPECT_NE(text.find("zero-fill to " + std::to_string(length) + " bytes"), std::string::npos) << text;
    EXPECT_NE(text.find("bytes free"), std::string::npos) << text;
    // A fill that fits still works in the same run.
    ASSERT_EQ(server->WriteReq(file, 0, 262144, 0, nullptr, 0), 1);
    EXPECT_EQ(Collect(1), 256);
    server->Finish();
    EXPECT_EQ(FileSize(file), 262144);
    EXPECT_EQ(ReadAt(file, 0, 262144), std::vector<unsigned char>(262144, 0));
}

using SpoolRoots = SpoolFixture;

TEST_F(SpoolRoots, PathsOutsideTheRootsWriteNothing) {
    TempDir other;
    ASSERT_EQ(server->InitWrite(), 1);
    auto piece = Pattern(131072, 12);
    const std::string outside = other.File("x.raw");
    const std::string escaping = dir.Path() + "/../" + "y.raw";
    int s0 = Write(outside, 0, piece);
    EXPECT_EQ(Collect(s0), 0);
    EXPECT_NE(server->GetStatus(s0).find("outside the data roots"), std::string::npos);
    int s1 = Write(escaping, 0, piece);
    EXPECT_EQ(Collect(s1), 0);
    EXPECT_NE(server->GetStatus(s1).find("\"..\""), std::string::npos);
    int s2 = server->WriteReq(outside, 0, 1 << 20, 0, nullptr, 0);  // zero-fill
    EXPECT_EQ(Collect(s2), kZeroFillFailed);
    int s3 = Write("relative/z.raw", 0, piece);
    EXPECT_EQ(Collect(s3), 0);
    server->Finish();
    EXPECT_EQ(FileSize(outside), -1);
    EXPECT_EQ(FileSize(other.Path() + "/../y.raw"), -1);

    std::ofstream(other.File("exists.raw")) << "data";
    uint32_t lo = 1, hi = 1;
    server->GetSize(other.File("exists.raw"), &lo, &hi);
    EXPECT_EQ(lo, 0u);
    EXPECT_EQ(hi, 0u);
}

// Found by fuzzing: a path with a NUL byte was checked as a whole but would
// be opened up to the NUL; a "." in the missing part of a path stayed in
// the served name.
TEST(DataRoots, NulBytesAreRefusedAndServedNamesAreCanonical) {
    TempDir dir;
    DataRoots roots;
    std::string error;
    ASSERT_TRUE(roots.Add(dir.Path()).ok());
    const std::string withNul = dir.Path() + std::string("/su\0b/x.raw", 11);
    Result<ServedPath> nul = roots.Check(withNul);
    EXPECT_EQ(nul.status().code(), StatusCode::kRefused);
    EXPECT_EQ(nul.status().message(), "path contains a NUL byte");
    Result<ServedPath> served = roots.Check(dir.Path() + "/missing/./deeper//./c.raw");
    ASSERT_TRUE(served.ok()) << served.status().message();
    const std::string root = roots.Roots()[0];
    EXPECT_EQ(served->full, root + "/missing/deeper/c.raw");
    EXPECT_EQ(served->relative, "missing/deeper/c.raw");
}

TEST(DataRoots, SymbolicLinksOutOfARootAreRefused) {
    TempDir root, other;
    ASSERT_EQ(::symlink(other.Path().c_str(), root.File("link").c_str()), 0);
    DataRoots roots;
    ASSERT_TRUE(roots.Add(root.Path()).ok());
    Result<ServedPath> linked = roots.Check(root.File("link/f.raw"));
    EXPECT_FALSE(linked.ok());
    EXPECT_NE(linked.status().message().find("outside the data roots"), std::string::npos);
    Result<ServedPath> resolved = roots.Check(root.File("new/dir/f.raw"));
    ASSERT_TRUE(resolved.ok()) << resolved.status().message();
    EXPECT_EQ(resolved->full.substr(resolved->full.size() - 14), "/new/dir/f.raw");
    EXPECT_EQ(resolved->relative, "new/dir/f.raw");
    Result<ServedPath> tooLong = roots.Check("/" + std::string(300, 'a'));
    EXPECT_FALSE(tooLong.ok());
    EXPECT_NE(tooLong.status().message().find("255"), std::string::npos);
    EXPECT_FALSE(roots.Add(root.File("no-such-dir")).ok());
}

TEST(DataRoots, RootsFileLinesWithoutADirectoryAreSkippedAndNamed) {
    FreshRoot root;
    TempDir extra;
    const std::string file = root.File("roots.txt");
    ASSERT_TRUE(voxa::testing::WriteWholeFile(
        file, "# disks\n" + extra.Path() + "\n\n" + root.File("unmounted") + "\n"));
    hosting::ServerCommandLine cl;
    cl.extra = {{"--roots-file", file}};
    DataRoots roots;
    std::vector<std::string> warnings;
    std::string error;
    ASSERT_TRUE(hosting::BuildDataRoots(cl, &roots, &warnings, &error)) << error;
    EXPECT_EQ(roots.Roots().size(), 2u);  // $VOXA_ROOT/data and extra
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], file + " line 4: data root is not a directory: " +
                               root.File("unmounted") + " (skipped)");
    // An explicit root must exist.
    cl.extra.emplace_back("--data-root", root.File("typo"));
    DataRoots again;
    EXPECT_FALSE(hosting::BuildDataRoots(cl, &again, &warnings, &error));
    EXPECT_EQ(error, "--data-root: data root is not a directory: " + root.File("typo"));
}

// A link put at a checked path, or in place of one of its directories,
// between the check and the open is not followed out of the root.
void ExpectLinkAfterCheckIsRefused(bool beneath) {
    TempDir root, other;
    DataRoots roots;
    ASSERT_TRUE(roots.Add(root.Path()).ok());
    if (!beneath) roots.DisableOpenBeneathForTest();
    ASSERT_TRUE(voxa::testing::WriteWholeFile(other.File("victim"), "keep"));
    Result<ServedPath> checked = roots.Check(root.File("t.raw"));
    ASSERT_TRUE(checked.ok()) << checked.status().message();
    const ServedPath target = *checked;
    ASSERT_EQ(::symlink(other.File("victim").c_str(), root.File("t.raw").c_str()), 0);
    int err = 0;
    EXPECT_FALSE(roots.Open(target, O_WRONLY | O_CREAT, 0644, &err));
    EXPECT_FALSE(roots.Open(target, O_RDONLY, 0, &err));
    EXPECT_EQ(voxa::testing::ReadWholeFile(other.File("victim")), "keep");

    Result<ServedPath> checkedInDir = roots.Check(root.File("sub/f.raw"));
    ASSERT_TRUE(checkedInDir.ok()) << checkedInDir.status().message();
    const ServedPath inDir = *checkedInDir;
    ASSERT_EQ(::symlink(other.Path().c_str(), root.File("sub").c_str()), 0);
    UniqueFd fd = roots.Open(inDir, O_WRONLY | O_CREAT, 0644, &err);
    if (beneath) {
        EXPECT_FALSE(fd);
        EXPECT_EQ(FileSize(other.File("f.raw")), -1);
    }
    // A plain file inside the root still opens.
    Result<ServedPath> plain = roots.Check(root.File("plain.raw"));
    ASSERT_TRUE(plain.ok());
    EXPECT_TRUE(roots.Open(*plain, O_WRONLY | O_CREAT, 0644, &err)) << err;
}

TEST(DataRoots, LinkPutInPlaceAfterTheCheckIsNotFollowed) {
    DataRoots probe;
    if (!probe.OpensBeneathRoot()) GTEST_SKIP() << "no openat2 on this kernel";
    ExpectLinkAfterCheckIsRefused(true);
}

TEST(DataRoots, WithoutOpenat2ALinkAtTheLastComponentIsNotFollowed) {
    ExpectLinkAfterCheckIsRefused(false);
}

// The same through the server: the request for t.raw is checked while the
// worker is busy with a fill; the link appears before the worker opens it.
TEST_F(SpoolRoots, WorkerDoesNotFollowALinkPlacedAfterTheRequest) {
    TempDir other;
    ASSERT_TRUE(voxa::testing::WriteWholeFile(other.File("victim"), "keep"));
    ASSERT_EQ(server->InitWrite(), 1);
    ASSERT_EQ(server->WriteReq(dir.File("fill.raw"), 0, 64u << 20, 0, nullptr, 0), 0);
    auto piece = Pattern(131072, 13);
    ASSERT_EQ(Write(dir.File("t.raw"), 0, piece), 1);
    // Succeeds only while t.raw does not exist, i.e. before the worker opened it.
    ASSERT_EQ(::symlink(other.File("victim").c_str(), dir.File("t.raw").c_str()), 0);
    // A fill reports its kilobytes while it runs; wait for the whole 64 MiB.
    EXPECT_TRUE(WaitFor([&] { return server->GetWriteStatus(0) == 65536; }));
    EXPECT_EQ(Collect(1), 0);
    server->Finish();
    EXPECT_EQ(voxa::testing::ReadWholeFile(other.File("victim")), "keep");
    uint32_t lo = 1, hi = 1;
    server->GetSize(dir.File("t.raw"), &lo, &hi);
    EXPECT_EQ(lo, 0u);
}

// ---- progress on a terminal ------------------------------------------------

// What a terminal shows for a text: "\r" returns to the start of the line,
// "\n" starts a new one, ESC [ K clears to the end of the line.
std::vector<std::string> Screen(const std::string& text) {
    std::vector<std::string> lines(1);
    size_t column = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        std::string& line = lines.back();
        if (text[i] == '\r') {
            column = 0;
        } else if (text[i] == '\n') {
            lines.emplace_back();
            column = 0;
        } else if (text.compare(i, 3, "\033[K") == 0) {
            line.resize(std::min(line.size(), column));
            i += 2;
        } else {
            if (column < line.size()) {
                line[column] = text[i];
            } else {
                line.push_back(text[i]);
            }
            ++column;
        }
    }
    return lines;
}

std::string Drawn(std::FILE* file) {
    std::string text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
    return text;
}

TEST(ProgressLine, TheResultCompletesTheLineItBegan) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::fputs("Finished!\nSPOOL write ... ", file);
    ProgressLine line(file, "SPOOL write ... ", true);
    line.Update(4194304, 157286400);
    auto during = Screen(Drawn(file));
    ASSERT_EQ(during.size(), 2u);
    EXPECT_EQ(during[1], "SPOOL write ...     4.2 of   157.3 MB");
    line.Update(157286400, 157286400);
    line.End();
    std::fputs("  157.29 MB in     0.10 sec   1572.86 MB/sec\n", file);
    auto after = Screen(Drawn(file));
    std::fclose(file);
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[0], "Finished!");
    EXPECT_EQ(after[1], "SPOOL write ...   157.29 MB in     0.10 sec   1572.86 MB/sec");
    EXPECT_EQ(after[2], "");
}

TEST(ProgressLine, DisabledWritesNothing) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    ProgressLine line(file, "SPOOL write ... ", false);
    line.Update(1, 2);
    line.End();
    EXPECT_EQ(Drawn(file), "");
    std::fclose(file);
}

// ---- the test movie --------------------------------------------------------

// An independent rendering of the movie: every pixel of every frame is
// tested against the three discs, whose paths are simulated here.
std::vector<unsigned char> ReferenceMovie() {
    struct D { double c, r, rad, sc, sr; };
    D d[3] = {{100, 200, 20, 3, -4}, {200, 300, 30, 4, 5}, {300, 100, 40, -2, 7}};
    std::vector<unsigned char> movie;
    movie.reserve(kMovieBytes);
    for (int f = 0; f < 200; ++f) {
        for (int y = 0; y < 512; ++y) {
            for (int x = 0; x < 512; ++x) {
                for (int b = 0; b < 3; ++b) {
                    double dy = y - d[b].r, dx = x - d[b].c;
                    movie.push_back(dy * dy + dx * dx < d[b].rad * d[b].rad ? 255 : 0);
                }
            }
        }
        for (D& disc : d) {
            disc.c += disc.sc;
            if (disc.sc < 0 ? disc.c < disc.rad : disc.c > 512 - disc.rad) disc.sc = -disc.sc;
            disc.r += disc.sr;
            if (disc.sr < 0 ? disc.r < disc.rad : disc.r > 512 - disc.rad) disc.sr = -disc.sr;
        }
    }
    return movie;
}

TEST(TestMovie, MatchesAnIndependentRendering) {
    auto movie = GenerateTestMovie();
    ASSERT_EQ(movie.size(), 157286400u);
    EXPECT_TRUE(movie == ReferenceMovie());
}

TEST(TestMovie, DiscOfRadiusFortyBouncesWhenItsRowPasses472) {
    auto discs = InitialDiscs();
    int frames = 0;
    while (discs[2].rowStep > 0 && frames < 100) {
        MoveDiscs(discs);
        ++frames;
    }
    // Rows 100, 107, ... 471, 478: the step turns after passing 472.
    EXPECT_EQ(discs[2].row, 478);
    EXPECT_EQ(discs[2].rowStep, -7);
    EXPECT_EQ(frames, 54);
}

// ---- programs over loopback ------------------------------------------------

// A spool server started by hand for one test, stopped with SIGTERM.
class SpoolProcess {
public:
    explicit SpoolProcess(uint16_t port, int listenFd = -1) {
        std::string portText = std::to_string(port);
        std::string program = kBin + "/spool";
        m_pid = ::fork();
        if (m_pid == 0) {
            if (listenFd >= 0) {
                ::dup2(listenFd, 3);
                // $$ of the shell is the server's pid after exec.
                ::execl("/bin/sh", "sh", "-c",
                        ("LISTEN_PID=$$ LISTEN_FDS=1 exec " + program).c_str(), nullptr);
            } else {
                ::execl(program.c_str(), program.c_str(), "--port", portText.c_str(), "--bind",
                        "127.0.0.1", "--persist", nullptr);
            }
            ::_exit(127);
        }
        if (listenFd < 0) WaitFor([port] { return Listening(port); }, 5000);
    }
    ~SpoolProcess() {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }

private:
    pid_t m_pid = -1;
};

// One spool1 object; clients of one test share the thread's event loop.
struct Client {
    kj::AsyncIoContext& io;
    kj::Own<hosting::RemoteObject> object;
    rpc::Ispool1::Client spool{nullptr};
    explicit Client(kj::AsyncIoContext& ioContext, const char* host = "127.0.0.1")
        : io(ioContext) {
        std::string error;
        if (hosting::CreateInstanceOnHost(io, hosting::Spool1Class(), host, &object, &error) ==
            0) {
            spool = object->As<rpc::Ispool1>();
        }
    }
    int InitWrite() { return spool.initWriteRequest().send().wait(io.waitScope).getIStatus(); }
    void Finish() { spool.finishRequest().send().wait(io.waitScope); }
};

TEST(SpoolProgram, TwoClientsShareOneServerAndItsRun) {
    FreshRoot root;
    uint16_t port = FreePort();
    ScopedEnv env(hosting::Spool1Class().portEnv, std::to_string(port).c_str());
    SpoolProcess server(port);
    auto io = kj::setupAsyncIo();
    Client a(io), b(io);
    ASSERT_EQ(a.InitWrite(), 1);
    EXPECT_EQ(b.InitWrite(), 0);
    // A piece queued by one client is collected by the other: same slots.
    auto req = a.spool.writeReqRequest();
    auto piece = Pattern(131072, 2);
    req.setWcPathFile(root.File("data/shared.raw"));
    req.setLNbytes(131072);
    req.setUcBuf(kj::arrayPtr(piece.data(), piece.size()));
    EXPECT_EQ(req.send().wait(a.io.waitScope).getIBuf(), 0);
    int wrote = -1;
    WaitFor([&] {
        auto status = b.spool.getWriteStatusRequest();
        status.setIBuf(0);
        wrote = status.send().wait(b.io.waitScope).getIWrote();
        return wrote >= 0;
    });
    EXPECT_EQ(wrote, 131072);
    a.Finish();
    EXPECT_EQ(b.InitWrite(), 1);  // the ended run is over for every client
    b.Finish();
    EXPECT_EQ(ReadAt(root.File("data/shared.raw"), 0, 131072), piece);
}

// Run ownership: only the client that opened a run ends it, and a client
// that dies (its connection closes) ends its run.
TEST(SpoolProgram, ARunEndsWithItsClientAndOnlyItsClientFinishesIt) {
    FreshRoot root;
    uint16_t port = FreePort();
    ScopedEnv env(hosting::Spool1Class().portEnv, std::to_string(port).c_str());
    SpoolProcess server(port);
    // A client in another process opens a write run, queues a piece and is
    // then killed with SIGKILL.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const std::string victim = root.File("data/killed.raw");
    pid_t child = ::fork();
    if (child == 0) {
        ::close(ready[0]);
        auto childIo = kj::setupAsyncIo();
        Client c(childIo);
        char status = c.InitWrite() == 1 ? 'y' : 'n';
        auto req = c.spool.writeReqRequest();
        auto piece = Pattern(131072, 5);
        req.setWcPathFile(victim);
        req.setLNbytes(131072);
        req.setUcBuf(kj::arrayPtr(piece.data(), piece.size()));
        req.send().wait(c.io.waitScope);
        (void)!::write(ready[1], &status, 1);
        while (true) ::pause();
    }
    ::close(ready[1]);
    char status = 0;
    ASSERT_EQ(::read(ready[0], &status, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(status, 'y');
    auto io = kj::setupAsyncIo();
    {
        Client b(io);
        EXPECT_EQ(b.InitWrite(), 0);  // the child's run is open
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        const auto killed = std::chrono::steady_clock::now();
        ASSERT_TRUE(WaitFor([&] { return b.InitWrite() == 1; }));
        std::printf("InitWrite succeeded %lld ms after the client was killed\n",
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - killed)
                                               .count()));
        // b owns the run now; a Finish from another client leaves it open.
        Client c(io);
        c.Finish();
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        EXPECT_EQ(c.InitWrite(), 0);
        b.Finish();
        ASSERT_TRUE(WaitFor([&] { return c.InitWrite() == 1; }));
        // c releases its object without Finish: the run ends with it.
    }
    Client d(io);
    EXPECT_TRUE(WaitFor([&] { return d.InitWrite() == 1; }));
    d.Finish();
}

TEST(SpoolProgram, SpoolwriteReportsMinusFourWhileAnotherRunIsOpen) {
    FreshRoot root;
    uint16_t port = FreePort();
    ScopedEnv env(hosting::Spool1Class().portEnv, std::to_string(port).c_str());
    SpoolProcess server(port);
    auto io = kj::setupAsyncIo();
    Client other(io);
    ASSERT_EQ(other.InitWrite(), 1);
    auto result = RunCommand(kBin + "/spoolwrite 127.0.0.1 " + root.File("data/busy.raw"));
    EXPECT_EQ(result.status, 1);  // a failure exits non-zero
    EXPECT_NE(result.out.find(" !!!!! spool write failed: iStatus = -4!!!!!\n"
                              "spool server is already in use: try again later\n"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(FileSize(root.File("data/busy.raw")), -1);
    other.Finish();
}

// Pieces the server refuses or cannot write are named with their slot's
// status, and the program fails instead of reporting a full write.
TEST(SpoolProgram, SpoolwriteReportsPiecesTheServerDidNotWrite) {
    FreshRoot root;
    TempDir elsewhere;
    uint16_t port = FreePort();
    ScopedEnv env(hosting::Spool1Class().portEnv, std::to_string(port).c_str());
    SpoolProcess server(port);
    struct Case {
        std::string path;
        std::string status;  // start of the server's status text of the first piece
    };
    const Case cases[] = {
        {elsewhere.File("m.raw"), "Refused: outside the data roots: "},
        {root.File("data/../m.raw"), "Refused: path contains \"..\""},
        {root.File("data/no-such-dir/m.raw"),
         "Wrote 0 bytes to Address Lo = 0 Hi = 0   Requested 4194304 bytes  IO Type: "
         "LowPerformance"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        auto result = RunCommand(kBin + "/spoolwrite 127.0.0.1 " + c.path + " 2>&1");
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.out.find("SPOOL write ...     0.00 MB in"), std::string::npos)
            << result.out;
        EXPECT_NE(result.out.find("spoolwrite: server wrote 0 of 4194304 bytes of the piece at "
                                  "offset 0: " + c.status),
                  std::string::npos)
            << result.out;
        EXPECT_NE(result.out.find("spoolwrite: the movie was not fully written: the server "
                                  "wrote 0 of 157286400 bytes\n"),
                  std::string::npos)
            << result.out;
        EXPECT_EQ(FileSize(c.path), -1);
    }
    EXPECT_EQ(FileSize(root.File("m.raw")), -1);
}

TEST(SpoolProgram, AMissingDataRootStopsTheServer) {
    FreshRoot root;
    const std::string port = std::to_string(FreePort());
    // -Embedding: a server that did start would end by itself when idle.
    auto result = RunCommand(kBin + "/spool -Embedding --port " + port + " --data-root " +
                             root.File("typo") + " 2>&1");
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.out.find("spool: --data-root: data root is not a directory: " +
                              root.File("typo")),
              std::string::npos)
        << result.out;
    auto file = RunCommand(kBin + "/spool -Embedding --port " + port + " --roots-file " +
                           root.File("no-roots.txt") + " 2>&1");
    EXPECT_EQ(file.status, 2);
    EXPECT_NE(file.out.find("cannot read roots file " + root.File("no-roots.txt")),
              std::string::npos)
        << file.out;
}

TEST(SpoolProgram, UsageAndHelp) {
    auto usage = RunCommand(kBin + "/spoolwrite onlyhost");
    EXPECT_EQ(usage.status, 0);
    EXPECT_EQ(usage.out, "usage: spoolwrite <Host> <Full Path to File>\n");
    auto help = RunCommand(kBin + "/spool --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("-RegServer"), std::string::npos);
    EXPECT_NE(help.out.find("--data-root"), std::string::npos);
}

TEST(SpoolProgram, RegistrationSwitches) {
    FreshRoot root;
    const std::string clsid = root.File("registry/CLSID/{3D2D61B3-75E9-49B8-86F1-21B4C701674B}");
    EXPECT_EQ(RunCommand(kBin + "/spool -RegServer").status, 0);
    EXPECT_EQ(hosting::ReadRegistryEntry(clsid)["LocalServer32"], kBin + "/spool");
    EXPECT_EQ(RunCommand(kBin + "/spool -UnregServer").status, 0);
    EXPECT_EQ(FileSize(clsid), -1);
    EXPECT_EQ(FileSize(root.File("registry/ProgID/Spool.spool1")), -1);
    EXPECT_EQ(RunCommand(kBin + "/spool -Embedding /regserver").status, 0);
    EXPECT_EQ(hosting::ReadRegistryEntry(clsid)["@"], "spool1 Class");
    EXPECT_EQ(RunCommand(kBin + "/spool --port 4444 -RegServer").status, 0);
    EXPECT_EQ(hosting::ReadRegistryEntry(clsid)["Port"], "4444");
}

TEST(SpoolProgram, ServesAnInheritedListeningSocket) {
    FreshRoot root;
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(::listen(listener.Get(), 16), 0);
    socklen_t len = sizeof(addr);
    ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&addr), &len);
    ScopedEnv env(hosting::Spool1Class().portEnv, std::to_string(ntohs(addr.sin_port)).c_str());
    SpoolProcess server(0, listener.Get());
    listener.Reset();
    auto io = kj::setupAsyncIo();
    Client client(io);
    EXPECT_EQ(client.InitWrite(), 1);
    client.Finish();
}

// The whole path of a display host: register, launch on demand, write the
// movie, and the server ends by itself after the last release.
TEST(SpoolProgram, LaunchedOnDemandWritesTheMovieAndExitsWhenIdle) {
    FreshRoot root;
    uint16_t port = FreePort();
    ScopedEnv env(hosting::Spool1Class().portEnv, std::to_string(port).c_str());
    ASSERT_EQ(RunCommand(kBin + "/spool -RegServer").status, 0);
    const std::string file = root.File("data/m.raw");
    auto result = RunCommand(kBin + "/spoolwrite 127.0.0.1 " + file);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out.rfind("Generate Movie ... Finished!\nSPOOL write ...   157.29 MB in", 0),
              0u)
        << result.out;
    EXPECT_NE(result.out.find(" MB/sec\n"), std::string::npos);
    // The launched server is still there right after the release (it stays
    // 5 s)...
    EXPECT_TRUE(Listening(port));
    // ...on loopback only: a server started for a local client is not
    // reachable from the network (127.0.0.2 stands for any other address).
    EXPECT_FALSE(Listening(port, "127.0.0.2"));
    // ...a new object keeps it, and once that is released too it goes. The
    // machine's own name and another local address reach it through loopback.
    {
        auto io = kj::setupAsyncIo();
        Client byName(io, HostName().c_str());
        ASSERT_TRUE(byName.object.get() != nullptr);
        EXPECT_EQ(byName.InitWrite(), 1);
        byName.Finish();
        Client byAddress(io, "127.0.0.2");
        ASSERT_TRUE(byAddress.object.get() != nullptr);
        EXPECT_EQ(byAddress.InitWrite(), 1);
        byAddress.Finish();
    }
    EXPECT_TRUE(WaitFor([port] { return !Listening(port); }, 10000));
    // The bytes last: the server's idle time is running meanwhile above.
    ASSERT_EQ(FileSize(file), 157286400);
    {
        std::ifstream in(file, std::ios::binary);
        std::vector<unsigned char> bytes(157286400);
        in.read(reinterpret_cast<char*>(bytes.data()), bytes.size());
        EXPECT_TRUE(bytes == ReferenceMovie());
    }
}

}  // namespace
}  // namespace voxa::spool
