// Tests of the copy's partial file and its writer threads: pieces land at
// their offsets in any order, every piece handed over is given back, and a
// failed write fails the copy without leaving a file.
#include "fileport/part_file.h"

#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

namespace voxa::fileport {
namespace {

using voxa::testing::ReadWholeFile;
using voxa::testing::TempDir;

bool Exists(const std::string& path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string Bytes(size_t n, unsigned seed) {
    std::string v(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        v[i] = static_cast<char>(x >> 24);
    }
    return v;
}

struct Span {
    int64_t offset;
    size_t size;
};

TEST(PieceWriter, PiecesInAnyOrderLandAtTheirOffsetsAndTheCopyIsRenamedWhole) {
    // Pieces of odd sizes (an empty one among them) and more bytes than one
    // sync interval, handed over out of order.
    std::vector<Span> spans;
    int64_t at = 0;
    for (size_t size : {size_t{0}, size_t{1}, size_t{4095}, size_t{4 << 20}, size_t{(3 << 20) + 7}}) {
        spans.push_back({at, size});
        at += static_cast<int64_t>(size);
    }
    while (at < PieceWriter::kSyncEvery + (5 << 20)) {
        spans.push_back({at, size_t{4 << 20}});
        at += 4 << 20;
    }
    const std::string source = Bytes(static_cast<size_t>(at), 3);
    std::reverse(spans.begin() + 2, spans.end());

    TempDir dir;
    {
        PartFile file(dir.Path(), "copy.raw");
        ASSERT_TRUE(file.Create(at).ok());
        EXPECT_TRUE(Exists(dir.File("copy.raw.part")));
        PieceWriter writer(file);
        for (const Span& s : spans) {
            ASSERT_TRUE(writer
                            .Push(s.offset,
                                  reinterpret_cast<const unsigned char*>(source.data()) + s.offset,
                                  s.size)
                            .ok());
        }
        for (size_t i = 0; i < spans.size(); ++i) EXPECT_TRUE(writer.Retire(i).ok()) << i;
        ASSERT_TRUE(writer.Finish().ok());
        EXPECT_FALSE(Exists(dir.File("copy.raw")));  // not before the commit
        ASSERT_TRUE(file.Commit().ok());
    }
    EXPECT_FALSE(Exists(dir.File("copy.raw.part")));
    const std::string copy = ReadWholeFile(dir.File("copy.raw"));
    ASSERT_EQ(copy.size(), source.size());
    EXPECT_TRUE(copy == source);

    // An empty copy: no pieces at all.
    {
        PartFile file(dir.Path(), "empty.raw");
        ASSERT_TRUE(file.Create(0).ok());
        PieceWriter writer(file);
        ASSERT_TRUE(writer.Finish().ok());
        ASSERT_TRUE(file.Commit().ok());
    }
    EXPECT_TRUE(Exists(dir.File("empty.raw")));
    EXPECT_EQ(ReadWholeFile(dir.File("empty.raw")), "");
}

TEST(PieceWriter, AFailedWriteGivesBackEveryPieceFailsTheCopyAndLeavesNoFile) {
    const std::string source = Bytes(16 << 20, 5);
    const auto* bytes = reinterpret_cast<const unsigned char*>(source.data());
    TempDir dir;
    {
        PartFile file(dir.Path(), "bad.raw");
        ASSERT_TRUE(file.Create(static_cast<int64_t>(source.size())).ok());
        PieceWriter writer(file);
        ASSERT_TRUE(writer.Push(0, bytes, 1 << 20).ok());
        // Beyond the largest offset any file system takes: the write fails.
        ASSERT_TRUE(writer.Push(INT64_MAX - 100, bytes, 4096).ok());
        size_t accepted = 2;
        Status refused;
        for (int i = 1; i < 16 && refused.ok(); ++i) {
            refused = writer.Push(int64_t{i} << 20, bytes + (size_t{1} << 20) * i, 1 << 20);
            if (refused.ok()) ++accepted;
        }
        // Every piece handed over comes back, written or dropped; none hangs.
        (void)writer.Retire(0);
        for (size_t i = 1; i < accepted; ++i) EXPECT_FALSE(writer.Retire(i).ok()) << i;
        const Status finished = writer.Finish();
        EXPECT_FALSE(finished.ok());
        EXPECT_NE(finished.message().find("write failed"), std::string::npos) << finished.message();
        if (!refused.ok()) {
            EXPECT_EQ(refused.message(), finished.message());
        }
        EXPECT_FALSE(writer.Push(0, bytes, 1).ok());
    }
    EXPECT_FALSE(Exists(dir.File("bad.raw.part")));
    EXPECT_FALSE(Exists(dir.File("bad.raw")));
}

}  // namespace
}  // namespace voxa::fileport
