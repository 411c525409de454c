#include "platform/status.h"
#include "platform/debug_file.h"
#include "platform/direct_io.h"
#include "platform/paths.h"
#include "platform/sys.h"
#include "platform/test_support.h"

#include <sys/stat.h>
#include <sys/vfs.h>

#include <cstring>
#include <gtest/gtest.h>

namespace voxa {
namespace {

using testing::FreshRoot;
using testing::ReadWholeFile;
using testing::ScopedEnv;
using testing::TempDir;

TEST(DrivePath, MapsDrivesOntoRootAndSharedDirectories) {
    TempDir dir;
    std::string root = dir.Path() + "/machine/root";  // does not exist yet
    ScopedEnv r("VOXA_ROOT", root.c_str());
    ScopedEnv s("VOXA_SHARED", "/srv/voxa-shared");
    EXPECT_EQ(DrivePath("C:/DEBUG_VOXA.txt"), root + "/DEBUG_VOXA.txt");
    EXPECT_EQ(DrivePath("c:\\reel1.error"), root + "/reel1.error");
    EXPECT_EQ(DrivePath("H:/VOXA_DEFAULT_SQL_QUEUE.txt"),
              "/srv/voxa-shared/VOXA_DEFAULT_SQL_QUEUE.txt");
    EXPECT_EQ(DrivePath("C:/sub\\dir/x.txt"), root + "/sub/dir/x.txt");
    // Other paths only have their separators mended.
    EXPECT_EQ(DrivePath("data\\brick.raw"), "data/brick.raw");
    EXPECT_EQ(DrivePath("/abs/x"), "/abs/x");
    // The machine root was created on first use.
    struct stat st{};
    ASSERT_EQ(stat(root.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(DrivePath, DefaultsWithoutVariables) {
    TempDir home;
    ScopedEnv h("HOME", home.Path().c_str());
    ScopedEnv r("VOXA_ROOT", nullptr);
    ScopedEnv s("VOXA_SHARED", nullptr);
    EXPECT_EQ(DrivePath("C:/a.txt"), home.Path() + "/.voxa/a.txt");
    EXPECT_EQ(DrivePath("H:/b.txt"), "/etc/voxa/b.txt");
    struct stat st{};
    EXPECT_EQ(stat((home.Path() + "/.voxa").c_str(), &st), 0);
}

TEST(DebugFile, AppendsEachMessageAndClosesAgain) {
    FreshRoot root;
    ASSERT_TRUE(AppendDebugText("C:/DEBUG_VOXA.txt", "first\n"));
    ASSERT_TRUE(AppendDebugText("C:/DEBUG_VOXA.txt", "second\n"));
    EXPECT_EQ(ReadWholeFile(root.File("DEBUG_VOXA.txt")), "first\nsecond\n");
    EXPECT_FALSE(AppendDebugText(root.File("missing_dir/x.txt"), "x"));
}

TEST(System, TicksHostAndDiskSpace) {
    uint64_t a = TickCountMs();
    uint64_t b = TickCountMs();
    EXPECT_GE(b, a);
    EXPECT_FALSE(HostName().empty());
    TempDir dir;
    EXPECT_GT(FreeDiskBytes(dir.Path()), 0);
    EXPECT_EQ(FreeDiskBytes(dir.Path() + "/no/such/dir"), -1);
}

bool IsTmpfs(const std::string& path) {
    struct statfs st{};
    return statfs(path.c_str(), &st) == 0 && st.f_type == 0x01021994;  // TMPFS_MAGIC
}

// A directory on a disk file system (the build tree lives on one).
std::string DiskBase() { return VOXA_TEST_DISK_DIR; }

TEST(DirectIo, WritesAndReadsAlignedPiecesAt64BitOffsetsOnDisk) {
    TempDir dir(DiskBase());
    ASSERT_FALSE(IsTmpfs(dir.Path())) << "test directory must be on a disk file system";
    std::string file = dir.File("big.raw");
    AlignedBuffer buf(1 << 20, 4096);
    ASSERT_TRUE(buf);
    for (size_t i = 0; i < buf.Size(); ++i) buf.Data()[i] = static_cast<unsigned char>(i * 7);

    DirectFile out;
    ASSERT_TRUE(out.Open(file, FileAccess::kWrite)) << strerror(out.LastError());
    const uint64_t kFar = (5ull << 30) + (128 << 10);  // beyond 4 GiB: sparse file
    EXPECT_EQ(out.WriteAt(kFar, buf.Data(), buf.Size()), static_cast<int64_t>(buf.Size()));
    EXPECT_EQ(out.Size(), static_cast<int64_t>(kFar + buf.Size()));
    out.Close();

    DirectFile in;
    ASSERT_TRUE(in.Open(file, FileAccess::kRead));
    AlignedBuffer back(1 << 20, 4096);
    EXPECT_EQ(in.ReadAt(kFar, back.Data(), back.Size()), static_cast<int64_t>(back.Size()));
    EXPECT_EQ(std::memcmp(back.Data(), buf.Data(), buf.Size()), 0);
    // Bytes before the piece are the file's hole: zeros.
    EXPECT_EQ(in.ReadAt(kFar - 4096, back.Data(), 4096), 4096);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(back.Data()[i], 0) << i;
    // A read running past the end is short, not refused.
    EXPECT_EQ(in.ReadAt(kFar + buf.Size() - 4096, back.Data(), 8192), 4096);

    // An unaligned transfer is refused so the caller can fall back.
    EXPECT_EQ(in.ReadAt(kFar + 1, back.Data(), 4096), -1);
    EXPECT_EQ(BufferedReadAt(file, kFar + 1, back.Data(), 10), 10);
    EXPECT_EQ(back.Data()[0], buf.Data()[1]);
}

TEST(DirectIo, TmpfsRefusesAndBufferedFallbackWorks) {
    if (!IsTmpfs("/dev/shm")) GTEST_SKIP() << "/dev/shm is not tmpfs here";
    TempDir dir("/dev/shm");
    std::string file = dir.File("x.raw");
    DirectFile out;
    if (out.Open(file, FileAccess::kWrite)) {
        // Kernels from 6.6 on let tmpfs take O_DIRECT; then the helper must
        // still move the bytes.
        AlignedBuffer buf(4096, 4096);
        EXPECT_EQ(out.WriteAt(0, buf.Data(), buf.Size()), 4096);
        out.Close();
    } else {
        EXPECT_EQ(out.LastError(), EINVAL);
        EXPECT_FALSE(out.IsOpen());
    }
    const char text[] = "hello spool";
    EXPECT_EQ(BufferedWriteAt(file, 100, text, sizeof text), static_cast<int64_t>(sizeof text));
    char back[sizeof text] = {};
    EXPECT_EQ(BufferedReadAt(file, 100, back, sizeof back), static_cast<int64_t>(sizeof text));
    EXPECT_STREQ(back, text);
    EXPECT_EQ(BufferedReadAt(dir.File("missing"), 0, back, 4), 0);
}

TEST(AlignedBuffer, IsAlignedAndZeroed) {
    AlignedBuffer buf(200000, 65536);
    ASSERT_TRUE(buf);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buf.Data()) % 65536, 0u);
    for (size_t i = 0; i < buf.Size(); i += 997) ASSERT_EQ(buf.Data()[i], 0);
}

Result<int> ParsePositive(int v) {
    if (v <= 0) return InvalidArgument("not positive: " + std::to_string(v));
    return v * 2;
}

Status Chain(int v, int* out) {
    VOXA_ASSIGN_OR_RETURN(int doubled, ParsePositive(v));
    VOXA_TRY(doubled > 10 ? Refused("too large") : Status::Ok());
    *out = doubled;
    return Status::Ok();
}

TEST(Status, ResultsCarryValuesOrFailuresThroughEarlyReturns) {
    int out = 0;
    EXPECT_TRUE(Chain(3, &out).ok());
    EXPECT_EQ(out, 6);
    Status bad = Chain(-1, &out);
    EXPECT_EQ(bad.code(), StatusCode::kInvalidArgument);
    EXPECT_EQ(bad.message(), "not positive: -1");
    EXPECT_EQ(bad.Prefixed("x.zb").message(), "x.zb: not positive: -1");
    Status large = Chain(6, &out);
    EXPECT_EQ(large.code(), StatusCode::kRefused);
    EXPECT_EQ(out, 6);  // untouched by the failures
    EXPECT_STREQ(StatusCodeName(large.code()), "refused");
    EXPECT_TRUE(Status::Ok().Prefixed("ctx").message().empty());
}

}  // namespace
}  // namespace voxa

