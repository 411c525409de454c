// Tests of fileport_server over loopback (listing, whole files, ranges,
// confinement), pruned copies against their source bytes, failed copies,
// the command lines, single-file trees from zbmake and their renders.
#include "fileport/file_copy.h"
#include "fileport/fileport_cli.h"
#include "fileport/lists.h"
#include "fileport/remote_files_client.h"
#include "fileport/remote_files_server.h"
#include "fileport/zb_prune.h"

#include "engine/bricks/zb_file.h"
#include "platform/test_support.h"
#include "platform/unique_fd.h"

#include <gtest/gtest.h>
#include <kj/async-io.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <map>

namespace voxa::fileport {
namespace {

using voxa::testing::ChildProcess;
using voxa::testing::FreePort;
using voxa::testing::FreshRoot;
using voxa::testing::Listening;
using voxa::testing::ReadWholeFile;
using voxa::testing::RunCommand;
using voxa::testing::ScopedEnv;
using voxa::testing::TempDir;
using voxa::testing::WaitFor;
using voxa::testing::WriteWholeFile;

const std::string kBin = VOXA_BIN_DIR;

std::string Pattern(size_t n, unsigned seed) {
    std::string v(n, '\0');
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xff);
    return v;
}

bool Exists(const std::string& path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string ReadAt(const std::string& path, int64_t offset, size_t n) {
    std::string v(n, '\0');
    UniqueFd fd(::open(path.c_str(), O_RDONLY));
    if (!fd) return "";
    ssize_t got = ::pread(fd.Get(), v.data(), n, static_cast<off_t>(offset));
    v.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return v;
}

// A fileport_server on a free loopback port serving one fresh data root;
// clients of this process find it through VOXA_REMOTEFILES_PORT.
struct ServerFixture : ::testing::Test {
    FreshRoot machineRoot;
    TempDir data;
    TempDir local;
    uint16_t port = FreePort();
    std::string portText = std::to_string(port);
    ScopedEnv portEnv{"VOXA_REMOTEFILES_PORT", portText.c_str()};
    std::unique_ptr<ChildProcess> server;

    void SetUp() override { StartServer(); }
    void StartServer() {
        server = std::make_unique<ChildProcess>(std::vector<std::string>{
            kBin + "/fileport_server", "--persist", "--bind", "127.0.0.1", "--port", portText,
            "--data-root", data.Path()});
        ASSERT_TRUE(WaitFor([&] { return Listening(port); }, 20000)) << "fileport_server did not listen";
    }
    std::unique_ptr<RemoteFilesClient> Connect(kj::AsyncIoContext& io) {
        auto c = RemoteFilesClient::Connect(io, "127.0.0.1");
        EXPECT_TRUE(c.ok()) << c.status().message();
        return c.ok() ? std::move(*c) : nullptr;
    }
};

std::map<std::string, int64_t> AsMap(const std::string& text) {
    std::map<std::string, int64_t> m;
    for (const ListedFile& f : ParseFileList(text)) m[f.name] = f.size;
    return m;
}

using RemoteFilesServer = ServerFixture;

TEST_F(RemoteFilesServer, ListsMatchingEntriesWithTheirSizes) {
    ASSERT_TRUE(WriteWholeFile(data.File("a.zb"), std::string(10, 'a')));
    ASSERT_TRUE(WriteWholeFile(data.File("b.zb"), std::string(20, 'b')));
    ASSERT_TRUE(WriteWholeFile(data.File("c.txt"), "c"));
    ASSERT_TRUE(WriteWholeFile(data.File("x,1.zb"), "a comma"));  // cannot be listed
    ASSERT_EQ(::mkdir(data.File("sub.zb").c_str(), 0755), 0);
    // A sparse file of 3 GiB: its size is listed in full.
    {
        UniqueFd fd(::open(data.File("huge.raw").c_str(), O_WRONLY | O_CREAT, 0644));
        ASSERT_EQ(::ftruncate(fd.Get(), 3221225472LL), 0);
    }
    auto io = kj::setupAsyncIo();
    auto client = Connect(io);
    ASSERT_TRUE(client);
    auto list = client->GetFileList(data.Path(), "?.zb");
    ASSERT_TRUE(list.ok());
    EXPECT_TRUE(*list == "a.zb,10,b.zb,20" || *list == "b.zb,20,a.zb,10") << *list;
    EXPECT_EQ(AsMap(*client->GetFileList(data.Path(), "*.zb")),
              (std::map<std::string, int64_t>{{"a.zb", 10}, {"b.zb", 20}, {"sub.zb", -1}}));
    EXPECT_EQ(AsMap(*client->GetFileList(data.Path(), "huge*"))["huge.raw"], 3221225472LL);
    // "*" shows "." and ".." too (as -1), which a client leaves out.
    std::string all = *client->GetFileList(data.Path(), "*");
    EXPECT_NE(("," + all + ",").find(",.,-1,"), std::string::npos) << all;
    EXPECT_NE(("," + all + ",").find(",..,-1,"), std::string::npos) << all;
    EXPECT_EQ(*client->GetFileList(data.Path(), "nothing*"), "");
    auto t = client->TestGet();
    ASSERT_TRUE(t.ok());
    EXPECT_FLOAT_EQ(*t, 1.23f);
}

TEST_F(RemoteFilesServer, AFailedListingKeepsTheDirectoryOfTheLastOne) {
    ASSERT_EQ(::mkdir(data.File("d1").c_str(), 0755), 0);
    ASSERT_TRUE(WriteWholeFile(data.File("d1/x.raw"), "first directory"));
    ASSERT_TRUE(WriteWholeFile(data.File("x.raw"), "the root"));
    auto io = kj::setupAsyncIo();
    auto client = Connect(io);
    ASSERT_TRUE(client);
    EXPECT_EQ(*client->GetFileList(data.File("d1"), "*.raw"), "x.raw,15");
    EXPECT_EQ(*client->GetFile("x.raw"), "first directory");
    EXPECT_EQ(*client->GetFileList(data.File("missing"), "*"), "");
    EXPECT_EQ(*client->GetFileList("/etc", "*"), "");
    EXPECT_EQ(*client->GetFileList(data.File("d1/../.."), "*"), "");
    EXPECT_EQ(*client->GetFile("x.raw"), "first directory");  // still d1
    EXPECT_EQ(*client->GetPartFile("x.raw", 6, 9), "directory");
    EXPECT_EQ(*client->GetFileList(data.Path(), "x.raw"), "x.raw,8");
    EXPECT_EQ(*client->GetFile("x.raw"), "the root");
}

TEST_F(RemoteFilesServer, RefusesPathsOutsideTheRootsLinksOutAndSpecialFilesWithoutBlocking) {
    TempDir outside;
    ASSERT_TRUE(WriteWholeFile(outside.File("secret"), "secret"));
    ASSERT_EQ(::symlink(outside.File("secret").c_str(), data.File("link").c_str()), 0);
    ASSERT_EQ(::mkfifo(data.File("fifo").c_str(), 0644), 0);
    ASSERT_TRUE(WriteWholeFile(data.File("ok"), "fine"));
    auto io = kj::setupAsyncIo();
    auto client = Connect(io);
    ASSERT_TRUE(client);
    EXPECT_EQ(AsMap(*client->GetFileList(data.Path(), "*")),
              (std::map<std::string, int64_t>{{"link", -1}, {"fifo", -1}, {"ok", 4}}));
    EXPECT_EQ(*client->GetFile(outside.File("secret")), "");
    EXPECT_EQ(*client->GetPartFile(outside.File("secret"), 0, 6), "");
    EXPECT_EQ(*client->GetFile(data.File("link")), "");
    EXPECT_EQ(*client->GetPartFile("link", 0, 6), "");
    EXPECT_EQ(*client->GetFile(data.File("fifo")), "");       // returns at once
    EXPECT_EQ(*client->GetPartFile("fifo", 0, 100), "");
    EXPECT_EQ(*client->GetFile(data.Path() + "/../" + "x"), "");
    EXPECT_EQ(*client->GetFile("ok"), "fine");               // the server still answers
}

TEST_F(RemoteFilesServer, RangesReturnExactlyTheBytesReadAndSizesAreCapped) {
    const std::string bytes = Pattern(300000, 3);
    ASSERT_TRUE(WriteWholeFile(data.File("f.raw"), bytes));
    {
        UniqueFd fd(::open(data.File("over.raw").c_str(), O_WRONLY | O_CREAT, 0644));
        ASSERT_EQ(::ftruncate(fd.Get(), int64_t{kMaxTransferBytes} + 1), 0);
    }
    auto io = kj::setupAsyncIo();
    auto client = Connect(io);
    ASSERT_TRUE(client);
    const std::string path = data.File("f.raw");
    EXPECT_EQ(*client->GetPartFile(path, 0, 131072), bytes.substr(0, 131072));
    EXPECT_EQ(*client->GetPartFile(path, 299990, 100), bytes.substr(299990));  // past the end: what is there
    EXPECT_EQ(*client->GetPartFile(path, 300000, 100), "");
    EXPECT_EQ(*client->GetPartFile(path, 4000000000LL, 100), "");            // unsigned offset, past the end
    EXPECT_EQ(*client->GetPartFile(path, 0, -5), "");
    EXPECT_EQ(*client->GetPartFile(path, 0, kMaxTransferBytes + 1), "");
    EXPECT_EQ(*client->GetFile(path), bytes);
    EXPECT_EQ(*client->GetFile(data.File("over.raw")), "");                  // over the cap
    EXPECT_EQ(client->GetPartFile(data.File("over.raw"), kMaxTransferBytes - 10, 100)->size(), 11u);
}

TEST_F(RemoteFilesServer, PiecesHeldPastTheSinkAreReleasedInOrderOnceEachOnEveryWayOut) {
    const std::string bytes = Pattern(12 * 65536, 4);
    ASSERT_TRUE(WriteWholeFile(data.File("p.raw"), bytes));
    const std::string path = data.File("p.raw");
    auto io = kj::setupAsyncIo();
    auto client = Connect(io);
    ASSERT_TRUE(client);
    std::vector<Piece> pieces;
    for (int i = 0; i < 12; ++i) pieces.push_back({int64_t{i} * 65536, 65536});
    constexpr int kHold = 2;

    std::vector<size_t> taken, released;
    std::vector<const unsigned char*> where;
    bool heldTooMany = false, bytesWrong = false, heldBytesChanged = false;
    std::vector<std::string> copies;
    auto sink = [&](size_t i, const unsigned char* d, size_t n) {
        if (taken.size() - released.size() > static_cast<size_t>(kHold)) heldTooMany = true;
        if (std::string(reinterpret_cast<const char*>(d), n) != bytes.substr(i * 65536, 65536))
            bytesWrong = true;
        taken.push_back(i);
        where.push_back(d);
        copies.emplace_back(reinterpret_cast<const char*>(d), n);
        return Status::Ok();
    };
    auto release = [&](size_t i) {
        // The bytes of a held piece are still the received ones.
        if (std::string(reinterpret_cast<const char*>(where[i]), 65536) != copies[i])
            heldBytesChanged = true;
        released.push_back(i);
        return Status::Ok();
    };
    std::vector<size_t> all(12);
    for (size_t i = 0; i < all.size(); ++i) all[i] = i;

    ASSERT_TRUE(client->FetchPieces(path, pieces, sink, {}, 3, release, kHold).ok());
    EXPECT_EQ(taken, all);
    EXPECT_EQ(released, all);
    EXPECT_FALSE(heldTooMany);
    EXPECT_FALSE(bytesWrong);
    EXPECT_FALSE(heldBytesChanged);

    // A piece that comes back short (past the end) fails; what was taken is released.
    auto shortPieces = pieces;
    shortPieces[5] = {11 * 65536 + 100, 65536};
    taken.clear(), released.clear(), where.clear(), copies.clear();
    EXPECT_FALSE(client->FetchPieces(path, shortPieces, sink, {}, 3, release, kHold).ok());
    EXPECT_EQ(taken, (std::vector<size_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(released, taken);

    // A sink failure: the failed piece is not held.
    taken.clear(), released.clear(), where.clear(), copies.clear();
    auto failingSink = [&](size_t i, const unsigned char* d, size_t n) {
        if (i == 3) return IoError("disk full");
        return sink(i, d, n);
    };
    Status st = client->FetchPieces(path, pieces, failingSink, {}, 3, release, kHold);
    EXPECT_EQ(st.message(), "disk full");
    EXPECT_EQ(released, (std::vector<size_t>{0, 1, 2}));

    // A release failure ends the fetch with that failure; the rest is still released.
    taken.clear(), released.clear(), where.clear(), copies.clear();
    auto failingRelease = [&](size_t i) {
        (void)release(i);
        return i == 1 ? IoError("write failed") : Status::Ok();
    };
    st = client->FetchPieces(path, pieces, sink, {}, 3, failingRelease, kHold);
    EXPECT_EQ(st.message(), "write failed");
    ASSERT_GE(taken.size(), 4u);
    EXPECT_LT(taken.size(), 12u);
    EXPECT_EQ(released, taken);

    // Stopped between pieces.
    taken.clear(), released.clear(), where.clear(), copies.clear();
    st = client->FetchPieces(path, pieces, sink, [&] { return taken.size() == 4; }, 3, release, kHold);
    EXPECT_FALSE(st.ok());
    EXPECT_EQ(released, (std::vector<size_t>{0, 1, 2, 3}));
}

// A single-file tree written by hand: strides 1 and 2 under a stride-4
// root, bricks with distinct byte patterns at scattered source offsets.
struct HandTree {
    struct B {
        int64_t offset;
        int stride, nx, ny, nz, parent;
    };
    std::vector<B> bricks;
    std::string bytesOf(size_t i) const {
        const B& b = bricks[i];
        return Pattern(static_cast<size_t>(b.nx) * b.ny * b.nz, static_cast<unsigned>(i + 1));
    }
    void Write(const std::string& path) const {
        std::string header;
        char line[200];
        for (const B& b : bricks) {
            std::snprintf(line, sizeof line, "src.zb %lld %d %d %d %d 0 0 0 %d 7\n",
                          static_cast<long long>(b.offset), b.stride, b.nx, b.ny, b.nz, b.parent);
            header += line;
        }
        header += "XYZ_Limits -1 1 -1 1 -1 1\n";
        ASSERT_TRUE(WriteWholeFile(path, header));
        UniqueFd fd(::open(path.c_str(), O_WRONLY));
        for (size_t i = 0; i < bricks.size(); ++i) {
            std::string b = bytesOf(i);
            ASSERT_EQ(::pwrite(fd.Get(), b.data(), b.size(), bricks[i].offset), static_cast<ssize_t>(b.size()));
        }
    }
};

HandTree SmallTree() {
    // 0..3 stride 1 (parents 4, 5), 4..5 stride 2, 6 the stride-4 root.
    return HandTree{{{1000000, 1, 30, 20, 10, 4},
                     {200000, 1, 64, 64, 16, 4},
                     {131072, 1, 5, 5, 5, 5},
                     {2000000, 1, 7, 3, 2, 5},
                     {3000000, 2, 40, 40, 40, 6},
                     {140000, 2, 9, 9, 9, 6},
                     {5000000, 4, 100, 100, 100, -1}}};
}

using PrunedCopy = ServerFixture;

TEST_F(PrunedCopy, EachKeptBrickHoldsItsSourceRangeAtItsNewOffset) {
    HandTree tree = SmallTree();
    tree.Write(data.File("t.zb"));
    auto io = kj::setupAsyncIo();
    FileCopier copier(io);
    std::vector<std::pair<int64_t, int64_t>> progress;
    CopyObserver observer;
    observer.progress = [&](int64_t done, int64_t total) { progress.emplace_back(done, total); };
    CopyResult r = copier.CopyBrickTree("127.0.0.1", data.Path(), "t.zb", local.Path(), 2, observer);
    ASSERT_EQ(r.outcome, CopyOutcome::kCopied) << r.message;
    const std::string out = local.File("t.zb");
    EXPECT_FALSE(Exists(out + ".part"));
    // Kept: bricks 4, 5 (now stride 1) and the root (now 2); laid out
    // 4, 5, root from 131,072 in 64 KiB steps: 64,000 -> 65,536; 729 -> 65,536.
    const int64_t expected[] = {131072, 196608, 262144};
    const size_t source[] = {4, 5, 6};
    EXPECT_EQ(r.bytes, 262144 + 1048576);
    struct stat st{};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 262144 + 1048576);
    for (int i = 0; i < 3; ++i) {
        std::string want = tree.bytesOf(source[i]);
        EXPECT_EQ(ReadAt(out, expected[i], want.size()), want) << "brick " << i;
    }
    ASSERT_EQ(progress.size(), 4u);  // once with the index in place, then after each brick
    EXPECT_EQ(progress.front().first, 0);
    EXPECT_EQ(progress[1].first, 64000);
    EXPECT_EQ(progress.back().first, 64000 + 729 + 1000000);
    EXPECT_EQ(progress.back().second, 64000 + 729 + 1000000);
    // The index: read by the engine's own reader.
    BrickTable table;
    Status loaded = ReadZbFile(out, {1, 1, 1}, table);
    ASSERT_TRUE(loaded.ok()) << loaded.message();
    ASSERT_EQ(table.Count(), 3);
    EXPECT_EQ(table.bricks[0].name, "t.zb");
    EXPECT_EQ(table.bricks[1].offset, 196608);
    EXPECT_EQ(table.bricks[2].stride, 2);
    EXPECT_EQ(table.bricks[0].error, 0);
    EXPECT_EQ(table.bricks[2].error, 7);
    EXPECT_EQ(ReadAt(out, 0, 7), "t.zb   ");
    EXPECT_EQ(ReadAt(out, 131071, 1), std::string(1, '\0'));
}

TEST_F(PrunedCopy, InvalidTreesAndMissingFilesAreReportedAndLeaveNoFile) {
    ASSERT_TRUE(WriteWholeFile(data.File("text.zb"), "this is no brick tree\n"));
    HandTree far = SmallTree();
    far.bricks[2].offset = 4294967296LL - 100;  // beyond what GetPartFile reaches
    ASSERT_TRUE(WriteWholeFile(data.File("far.zb"), "x"));
    {
        std::string header;
        char line[200];
        for (const auto& b : far.bricks) {
            std::snprintf(line, sizeof line, "far.zb %lld %d %d %d %d 0 0 0 %d 7\n",
                          static_cast<long long>(b.offset), b.stride, b.nx, b.ny, b.nz, b.parent);
            header += line;
        }
        ASSERT_TRUE(WriteWholeFile(data.File("far.zb"), header));
    }
    auto io = kj::setupAsyncIo();
    FileCopier copier(io);
    EXPECT_EQ(copier.CopyBrickTree("127.0.0.1", data.Path(), "text.zb", local.Path(), 1).outcome,
              CopyOutcome::kInvalid);
    EXPECT_EQ(copier.CopyBrickTree("127.0.0.1", data.Path(), "far.zb", local.Path(), 9).outcome,
              CopyOutcome::kInvalid);
    EXPECT_EQ(copier.CopyBrickTree("127.0.0.1", data.Path(), "none.zb", local.Path(), 1).outcome,
              CopyOutcome::kFailed);
    EXPECT_EQ(copier.CopyBrickTree("127.0.0.1", data.Path(), "../x.zb", local.Path(), 1).outcome,
              CopyOutcome::kFailed);
    // A tree whose bricks lie past the end of its file: the short fetch fails.
    HandTree cut = SmallTree();
    cut.Write(data.File("cut.zb"));
    ASSERT_EQ(::truncate(data.File("cut.zb").c_str(), 5000000 + 500000), 0);
    EXPECT_EQ(copier.CopyBrickTree("127.0.0.1", data.Path(), "cut.zb", local.Path(), 1).outcome,
              CopyOutcome::kFailed);
    for (const char* name : {"text.zb", "far.zb", "none.zb", "cut.zb", "cut.zb.part", "text.zb.part"})
        EXPECT_FALSE(Exists(local.File(name))) << name;
}

TEST_F(PrunedCopy, AServerKilledMidCopyGivesFailedAndNoFile) {
    // A root with 48 children of 256 KiB: far more pieces than are in flight.
    HandTree tree;
    for (int i = 0; i < 48; ++i) tree.bricks.push_back({131072 + int64_t{i} * 262144, 1, 64, 64, 64, 48});
    tree.bricks.push_back({131072 + int64_t{48} * 262144, 2, 64, 64, 64, -1});
    tree.Write(data.File("k.zb"));
    auto io = kj::setupAsyncIo();
    FileCopier copier(io);
    std::vector<FileRow> rows = {{"k.zb", "0", kCopiedNo, "127.0.0.1", data.Path(), kLoanFile}};
    std::vector<std::string> seen;
    CopyObserver observer;
    observer.rowChanged = [&](size_t, const FileRow& r) { seen.push_back(r.isCopied); };
    observer.progress = [&](int64_t, int64_t) {
        if (server->Running()) {
            server->Signal(SIGKILL);
            server->Wait(10000);
        }
    };
    CopySettings settings;
    settings.localDirectory = local.Path();
    settings.pruneLevels = 2;
    settings.listFileName = "run.fld";
    auto attempted = copier.CopyRows(&rows, settings, observer);
    ASSERT_TRUE(attempted.ok()) << attempted.status().message();
    EXPECT_EQ(*attempted, 1);
    EXPECT_EQ(rows[0].isCopied, kCopyFailed);
    EXPECT_EQ(rows[0].fileType, kZbFileType);
    EXPECT_EQ(seen, (std::vector<std::string>{kGettingHeader, kGettingBrick, kCopyFailed}));
    EXPECT_FALSE(Exists(local.File("k.zb")));
    EXPECT_FALSE(Exists(local.File("k.zb.part")));
    // The FIELD list names nothing.
    EXPECT_EQ(ReadWholeFile(local.File("run.fld")), "");
}

TEST_F(PrunedCopy, StoppingMidCopyLeavesNoFileAndTheRowNotCopied) {
    HandTree tree;
    for (int i = 0; i < 20; ++i) tree.bricks.push_back({131072 + int64_t{i} * 262144, 1, 64, 64, 64, 20});
    tree.bricks.push_back({131072 + int64_t{20} * 262144, 2, 64, 64, 64, -1});
    tree.Write(data.File("s.zb"));
    const std::string bytes = Pattern(20 << 20, 9);
    ASSERT_TRUE(WriteWholeFile(data.File("w.raw"), bytes));
    auto io = kj::setupAsyncIo();
    FileCopier copier(io);
    std::atomic<bool> stop{false};
    int pieces = 0;
    CopyObserver observer;
    observer.stop = &stop;
    observer.progress = [&](int64_t, int64_t) {
        ++pieces;
        stop = true;
    };
    std::vector<FileRow> rows = {{"s.zb", "0", kCopiedNo, "127.0.0.1", data.Path(), kLoanFile},
                                 {"t.zb", "0", kCopiedNo, "127.0.0.1", data.Path(), kLoanFile}};
    CopySettings settings;
    settings.localDirectory = local.Path();
    settings.pruneLevels = 2;
    auto attempted = copier.CopyRows(&rows, settings, observer);
    ASSERT_TRUE(attempted.ok());
    EXPECT_EQ(*attempted, 1);  // the second row is not started
    EXPECT_EQ(pieces, 1);
    EXPECT_EQ(rows[0].isCopied, kCopiedNo);
    EXPECT_EQ(rows[1].isCopied, kCopiedNo);
    EXPECT_FALSE(Exists(local.File("s.zb")));
    EXPECT_FALSE(Exists(local.File("s.zb.part")));
    stop = false;
    pieces = 0;
    observer.progress = [&](int64_t, int64_t) {
        if (++pieces == 2) stop = true;
    };
    CopyResult r = copier.CopyWholeFile("127.0.0.1", data.Path(), "w.raw", local.Path(), observer);
    EXPECT_EQ(r.outcome, CopyOutcome::kStopped);
    EXPECT_FALSE(Exists(local.File("w.raw")));
    EXPECT_FALSE(Exists(local.File("w.raw.part")));
    stop = false;
    observer.progress = {};
    r = copier.CopyWholeFile("127.0.0.1", data.Path(), "w.raw", local.Path(), observer);
    ASSERT_EQ(r.outcome, CopyOutcome::kCopied) << r.message;
    EXPECT_EQ(ReadWholeFile(local.File("w.raw")), bytes);
}

TEST_F(PrunedCopy, RowsAlreadyPresentAreSkippedAndTheFieldListsNameTheCopies) {
    SmallTree().Write(data.File("h12v01.zb"));
    SmallTree().Write(data.File("h12v02.zb"));
    SmallTree().Write(data.File("h12v03.zb"));
    ASSERT_TRUE(WriteWholeFile(data.File("h12v04.txt"), "not a tree"));
    ASSERT_TRUE(WriteWholeFile(local.File("h12v02.zb"), "already here"));
    auto io = kj::setupAsyncIo();
    FileCopier copier(io);
    auto rows = copier.ListSite({"127.0.0.1", data.Path()}, "h12v*", local.Path());
    ASSERT_TRUE(rows.ok());
    ASSERT_EQ(rows->size(), 4u);
    std::sort(rows->begin(), rows->end(), [](const FileRow& a, const FileRow& b) { return a.file < b.file; });
    EXPECT_EQ((*rows)[1].isCopied, kCopiedYes);
    EXPECT_EQ((*rows)[0].isCopied, kCopiedNo);
    EXPECT_EQ((*rows)[0].fileType, kLoanFile);
    EXPECT_EQ((*rows)[3].size, "10");
    CopySettings settings;
    settings.localDirectory = local.Path();
    settings.pruneLevels = 1;
    settings.listFileName = "/somewhere/else/run.fld";
    auto attempted = copier.CopyRows(&*rows, settings);
    ASSERT_TRUE(attempted.ok());
    EXPECT_EQ(*attempted, 2);
    EXPECT_EQ(ReadWholeFile(local.File("h12v02.zb")), "already here");
    EXPECT_EQ((*rows)[3].isCopied, kCopiedNo);  // not a .zb: not copied
    const std::string d = local.Path();
    EXPECT_EQ(ReadWholeFile(local.File("run.fld")),
              "ZBfile    h12v01.zb   " + d + "\\\nZBfile    h12v03.zb   " + d + "\\\n");
    EXPECT_EQ(ReadWholeFile(local.File("run.fldremote")),
              "RZBfile   h12v01.zb   " + data.Path() + "\\   127.0.0.1\n"
              "RZBfile   h12v03.zb   " + data.Path() + "\\   127.0.0.1\n");
    // Pruned to one level: the root alone, 1,000,000 bytes at 131,072.
    EXPECT_EQ(ReadAt(local.File("h12v03.zb"), 131072, 1000000), SmallTree().bytesOf(6));
    std::vector<FileRow> none;
    EXPECT_FALSE(copier.CopyRows(&none, settings).ok());

    // Other data: every file not yet copied travels whole; no FIELD list.
    settings.dataType = DataType::kPlain;
    settings.listFileName = "plain.fld";
    attempted = copier.CopyRows(&*rows, settings);
    ASSERT_TRUE(attempted.ok());
    EXPECT_EQ(*attempted, 1);
    EXPECT_EQ((*rows)[3].isCopied, kCopiedYes);
    EXPECT_EQ(ReadWholeFile(local.File("h12v04.txt")), "not a tree");
    EXPECT_FALSE(Exists(local.File("plain.fld")));
}

TEST_F(PrunedCopy, CommandLinesCopyListAndFail) {
    const std::string bytes = Pattern(9 * 1024 * 1024 + 17, 5);  // three pieces, the last short
    ASSERT_TRUE(WriteWholeFile(data.File("movie.raw"), bytes));
    SmallTree().Write(data.File("h12v07.zb"));
    TempDir work;
    const std::string env = "VOXA_REMOTEFILES_PORT=" + portText + " ";
    auto r = RunCommand("cd " + work.Path() + " && " + env + kBin + "/getfile 127.0.0.1 " + data.Path() +
                        " movie.raw");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadWholeFile(work.File("movie.raw")), bytes);
    r = RunCommand("cd " + work.Path() + " && " + env + kBin + "/getfile 127.0.0.1 " + data.Path() +
                   " missing.raw 2>/dev/null");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(Exists(work.File("missing.raw")));
    r = RunCommand("cd " + work.Path() + " && " + env + kBin + "/getfile 127.0.0.1 " + data.Path() +
                   " ../movie.raw 2>/dev/null");
    EXPECT_EQ(r.status, 2);
    r = RunCommand(kBin + "/getfile onlyhost 2>/dev/null");
    EXPECT_EQ(r.status, 2);

    // fileport_gui's command line, run in this process.
    TempDir outDir;
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(RunFileportCommand({"--list", "127.0.0.1:" + data.Path(), "--filter", "*.zb"}, out, err), 0);
    EXPECT_EQ(RunFileportCommand({"--copy", "127.0.0.1:" + data.File("h12v07.zb"), outDir.Path(),
                                  "--prune", "1"},
                                 out, err),
              0);
    EXPECT_EQ(ReadAt(outDir.File("h12v07.zb"), 131072, 1000000), SmallTree().bytesOf(6));
    const std::string rdl = outDir.File("sites.rdl");
    ASSERT_TRUE(WriteWholeFile(rdl, "*.zb 127.0.0.1:" + data.Path() + "\n"));
    TempDir to;
    EXPECT_EQ(RunFileportCommand({"--rdl", rdl, "--to", to.Path(), "--prune", "2", "--list-file", "f.fld"},
                                 out, err),
              0);
    EXPECT_EQ(ReadWholeFile(to.File("f.fld")), "ZBfile    h12v07.zb   " + to.Path() + "\\\n");
    EXPECT_EQ(ReadAt(to.File("h12v07.zb"), 262144, 1000000), SmallTree().bytesOf(6));
    EXPECT_EQ(RunFileportCommand({"--copy", "127.0.0.1:" + data.File("nope.zb"), to.Path()}, out, err), 1);
    EXPECT_EQ(RunFileportCommand({"--copy", "127.0.0.1:" + data.File("h12v07.zb"), to.Path(), "--prune",
                                  "0"},
                                 out, err),
              2);
    EXPECT_EQ(RunFileportCommand({"--list", "nocolon"}, out, err), 2);
    std::rewind(out);
    char line[256] = {0};
    ASSERT_NE(std::fgets(line, sizeof line, out), nullptr);
    EXPECT_STREQ(line, "h12v07.zb 6000000\n");
    std::fclose(out);
    std::fclose(err);
}

TEST_F(PrunedCopy, WholeCopiesOfEverySizeMatchTheirSourceByteForByte) {
    // Empty, smaller than a disk block, exactly one piece, one byte over,
    // and more pieces than are in flight and held, past a sync interval.
    const int64_t sizes[] = {0, 1, 4095, kCopyPiece, int64_t{kCopyPiece} + 1,
                             PieceWriter::kSyncEvery + 3 * int64_t{kCopyPiece} + 12345};
    auto io = kj::setupAsyncIo();
    FileCopier copier(io);
    int n = 0;
    for (int64_t size : sizes) {
        const std::string name = "w" + std::to_string(n) + ".raw";
        const std::string bytes = Pattern(static_cast<size_t>(size), static_cast<unsigned>(++n));
        ASSERT_TRUE(WriteWholeFile(data.File(name), bytes));
        int64_t last = -1;
        CopyObserver observer;
        observer.progress = [&](int64_t done, int64_t total) {
            EXPECT_EQ(total, size);
            last = done;
        };
        CopyResult r = copier.CopyWholeFile("127.0.0.1", data.Path(), name, local.Path(), observer);
        ASSERT_EQ(r.outcome, CopyOutcome::kCopied) << size << ": " << r.message;
        EXPECT_EQ(r.bytes, size);
        EXPECT_EQ(last, size == 0 ? -1 : size);
        EXPECT_FALSE(Exists(local.File(name + ".part")));
        ASSERT_TRUE(Exists(local.File(name))) << size;
        const std::string copy = ReadWholeFile(local.File(name));
        EXPECT_EQ(copy.size(), bytes.size());
        EXPECT_TRUE(copy == bytes) << size;
    }
}

TEST(RemoteFilesActivation, ARegisteredServerIsLaunchedOnDemandAndLeavesWhenIdle) {
    FreshRoot root;
    const uint16_t port = FreePort();
    const std::string portText = std::to_string(port);
    ScopedEnv portEnv("VOXA_REMOTEFILES_PORT", portText.c_str());
    ASSERT_EQ(RunCommand(kBin + "/fileport_server -RegServer").status, 0);
    ASSERT_EQ(::mkdir(root.File("data").c_str(), 0755), 0);
    const std::string bytes = Pattern(70000, 4);
    ASSERT_TRUE(WriteWholeFile(root.File("data/v.raw"), bytes));
    ASSERT_FALSE(Listening(port));
    TempDir work;
    auto r = RunCommand("cd " + work.Path() + " && " + kBin + "/getfile 127.0.0.1 C:/data v.raw");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadWholeFile(work.File("v.raw")), bytes);
    // Launched on demand: it listens on loopback and ends about 5 s after
    // its last object went.
    EXPECT_TRUE(WaitFor([&] { return !Listening(port); }, 30000));
    EXPECT_EQ(RunCommand(kBin + "/fileport_server -UnregServer").status, 0);
}

// A raw volume with a bright ball off centre and a gradient elsewhere.
std::string BallVolume(int n) {
    std::string v(static_cast<size_t>(n) * n * n, '\0');
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                double d = std::sqrt((x - 0.6 * n) * (x - 0.6 * n) + (y - 0.45 * n) * (y - 0.45 * n) +
                                     (z - 0.5 * n) * (z - 0.5 * n));
                v[(size_t(z) * n + y) * n + x] = static_cast<char>(d < 0.3 * n ? 250 : (x * 100) / n);
            }
    return v;
}

TEST_F(PrunedCopy, ZbmakeSingleFileTreesLoadAndThePrunedRootRendersLikeTheSourceRoot) {
    const std::string raw = data.File("ball.raw");
    ASSERT_TRUE(WriteWholeFile(raw, BallVolume(48)));
    auto made = RunCommand(kBin + "/zbmake " + raw + " " + data.File("ball.zb") +
                           " --dims 48,48,48 --type u8 --brick 16 --single-file --quiet");
    ASSERT_EQ(made.status, 0);
    made = RunCommand(kBin + "/zbmake " + raw + " " + data.File("split/ball.zb") +
                      " --dims 48,48,48 --type u8 --brick 16 --quiet");
    ASSERT_EQ(made.status, 0);
    // The single file holds the same tree, each brick's bytes those of the data file.
    BrickTable one, two;
    ASSERT_TRUE(ReadZbFile(data.File("ball.zb"), {1, 1, 1}, one).ok());
    ASSERT_TRUE(ReadZbFile(data.File("split/ball.zb"), {1, 1, 1}, two).ok());
    ASSERT_EQ(one.Count(), two.Count());
    ASSERT_GT(one.Count(), 8);
    for (int i = 0; i < one.Count(); ++i) {
        const Brick& a = one.bricks[i];
        const Brick& b = two.bricks[i];
        ASSERT_EQ(a.name, "ball.zb");
        ASSERT_GE(a.offset, 131072);
        ASSERT_EQ(a.offset % 65536, 0);
        ASSERT_EQ(a.stride, b.stride);
        ASSERT_EQ(a.nx * a.ny * a.nz, b.nx * b.ny * b.nz);
        ASSERT_EQ(ReadAt(data.File("ball.zb"), a.offset, a.ByteCount()),
                  ReadAt(data.File("split/" + b.name), b.offset, b.ByteCount()))
            << "brick " << i;
    }
    EXPECT_EQ(ReadZbFile(data.File("ball.zb"), {1, 1, 1}, one).ok(), true);

    auto io = kj::setupAsyncIo();
    FileCopier copier(io);
    CopyResult r = copier.CopyBrickTree("127.0.0.1", data.Path(), "ball.zb", local.Path(), 1);
    ASSERT_EQ(r.outcome, CopyOutcome::kCopied) << r.message;

    // Renders: the source with a pixel error no brick exceeds (the root
    // alone is drawn) and the pruned copy, which holds only that root.
    ASSERT_TRUE(WriteWholeFile(local.File("view.keys"), "eye 3.2 2.4 1.6\ncenter 0 0 0\nup 0 0 1\n"
                                                        "tolerances 0 0 1000\n"));
    auto render = [&](const std::string& zb, const std::string& out) {
        return RunCommand(kBin + "/voxa_render --zb " + zb + " --size 96x96 --keys " + local.File("view.keys") +
                          " --out " + out + " 2>&1").status;
    };
    ASSERT_EQ(render(data.File("ball.zb"), local.File("src.pix")), 0);
    ASSERT_EQ(render(local.File("ball.zb"), local.File("copy.pix")), 0);
    const std::string a = ReadWholeFile(local.File("src.pix"));
    const std::string b = ReadWholeFile(local.File("copy.pix"));
    ASSERT_EQ(a.size(), 96u * 96 * 3);
    ASSERT_EQ(b.size(), a.size());
    int differing = 0, lit = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::abs(int(static_cast<unsigned char>(a[i])) - int(static_cast<unsigned char>(b[i]))) > 2) ++differing;
        if (static_cast<unsigned char>(a[i]) > 40) ++lit;
    }
    EXPECT_EQ(differing, 0);
    EXPECT_GT(lit, 300);  // the volume is visible, not a blank frame
}

}  // namespace
}  // namespace voxa::fileport
