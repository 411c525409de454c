// Panel images written through a real spool server on loopback.
#include "queue/frame_delivery.h"

#include "hosting/activation.h"
#include "hosting/interfaces.capnp.h"
#include "platform/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace voxa::queue {
namespace {

using ::voxa::testing::ChildProcess;
using ::voxa::testing::FreePort;
using ::voxa::testing::FreshRoot;
using ::voxa::testing::ScopedEnv;
using ::voxa::testing::TempDir;

const std::string kBin = VOXA_BIN_DIR;

std::string ReadAt(const std::string& path, uint64_t offset, size_t n) {
    std::string out(n, '\0');
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return "";
    ssize_t got = pread(fd, out.data(), n, static_cast<off_t>(offset));
    close(fd);
    out.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return out;
}

void WriteAt(const std::string& path, uint64_t offset, const std::string& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
    close(fd);
}

std::vector<unsigned char> Pattern(size_t n, unsigned seed) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>((i * 131 + seed * 7 + (i >> 12)) & 0xff);
    return v;
}

class SpoolDelivery : public ::testing::Test {
protected:
    void SetUp() override {
        port = FreePort();
        env = std::make_unique<ScopedEnv>(hosting::Spool1Class().portEnv, std::to_string(port).c_str());
        server = std::make_unique<ChildProcess>(std::vector<std::string>{
            kBin + "/spool", "--persist", "--bind", "127.0.0.1", "--port", std::to_string(port),
            "--data-root", movies.Path()});
        ASSERT_TRUE(::voxa::testing::WaitFor([&] { return ::voxa::testing::Listening(port); }, 20000));
    }
    Panel MakePanel(int w, int h, const std::string& file) {
        Panel p;
        p.width = w;
        p.height = h;
        p.host = "127.0.0.1";
        p.file = file;
        return p;
    }
    FreshRoot root;
    TempDir movies;
    uint16_t port = 0;
    std::unique_ptr<ScopedEnv> env;
    std::unique_ptr<ChildProcess> server;
};

TEST_F(SpoolDelivery, FramesLandAtTheirOffsetsAndNothingAroundChanges) {
    SpoolSink sink(nullptr);
    {
        // Frame number 11 of a 640x480 panel: byte 9,216,000.
        const std::string file = movies.File("m_00");
        const size_t size = 640 * 480 * 3;
        WriteAt(file, 0, std::string(12 * size, 'x'));
        auto pixels = Pattern(size, 1);
        ASSERT_TRUE(sink.Deliver(MakePanel(640, 480, file), 10, pixels).ok());
        EXPECT_EQ(ReadAt(file, 9216000, size), std::string(pixels.begin(), pixels.end()));
        EXPECT_EQ(ReadAt(file, 9216000 - 4096, 4096), std::string(4096, 'x'));
        EXPECT_EQ(ReadAt(file, 9216000 + size, 4096), std::string(4096, 'x'));
    }
    {
        // Frame index 400 of a 2048x2048 panel (12,582,912 bytes, three
        // pieces): byte 5,033,164,800, past 4 GiB.
        const std::string file = movies.File("big_00");
        const size_t size = 2048 * 2048 * 3;
        const uint64_t at = 5033164800ull;
        WriteAt(file, at - 8, "BEFORE!!");
        WriteAt(file, at + size, "AFTER!!!");
        auto pixels = Pattern(size, 2);
        ASSERT_TRUE(sink.Deliver(MakePanel(2048, 2048, file), 400, pixels).ok());
        EXPECT_TRUE(ReadAt(file, at, size) == std::string(pixels.begin(), pixels.end()));
        EXPECT_EQ(ReadAt(file, at - 8, 8), "BEFORE!!");
        EXPECT_EQ(ReadAt(file, at + size, 8), "AFTER!!!");
    }
}

TEST_F(SpoolDelivery, RefusedDestinationsAndWrongSizesFail) {
    SpoolSink sink(nullptr);
    TempDir elsewhere;  // not a data root of the server
    auto pixels = Pattern(64 * 48 * 3, 3);
    Status refused = sink.Deliver(MakePanel(64, 48, elsewhere.File("m_00")), 0, pixels);
    EXPECT_FALSE(refused.ok());
    EXPECT_NE(refused.message().find("wrote 0 of 9216"), std::string::npos) << refused.message();
    EXPECT_EQ(access(elsewhere.File("m_00").c_str(), F_OK), -1);
    EXPECT_FALSE(sink.Deliver(MakePanel(64, 48, movies.File("m_00")), 0, Pattern(100, 1)).ok());
    Panel nobody = MakePanel(64, 48, movies.File("m_00"));
    nobody.host = "no-such-host.invalid";
    EXPECT_FALSE(sink.Deliver(nobody, 0, pixels).ok());
}

TEST_F(SpoolDelivery, ABusyServerIsWaitedForWithinABound) {
    // Another client holds the server's write run open on its own thread
    // (each thread has its own event loop).
    std::atomic<int> state{0};  // 1: run open; 2: release it
    std::thread other([&] {
        auto io = kj::setupAsyncIo();
        kj::Own<hosting::RemoteObject> object;
        std::string error;
        if (hosting::CreateInstanceOnHost(io, hosting::Spool1Class(), "127.0.0.1", &object, &error) != 0) {
            state = -1;
            return;
        }
        auto spool = object->As<rpc::Ispool1>();
        if (spool.initWriteRequest().send().wait(io.waitScope).getIStatus() != 1) {
            state = -1;
            return;
        }
        state = 1;
        while (state.load() != 2) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        spool.finishRequest().send().wait(io.waitScope);
    });
    ASSERT_TRUE(::voxa::testing::WaitFor([&] { return state.load() != 0; }, 20000));
    ASSERT_EQ(state.load(), 1);
    auto pixels = Pattern(32 * 32 * 3, 4);
    const std::string file = movies.File("busy_00");

    SpoolSink bounded(nullptr, 1);
    Status timedOut = bounded.Deliver(MakePanel(32, 32, file), 0, pixels);
    EXPECT_EQ(timedOut.code(), StatusCode::kUnavailable);
    EXPECT_NE(timedOut.message().find("stayed busy"), std::string::npos) << timedOut.message();

    std::atomic<bool> stop{true};
    SpoolSink stopping(&stop, 600);  // the stop flag ends the wait long before the bound
    EXPECT_FALSE(stopping.Deliver(MakePanel(32, 32, file), 0, pixels).ok());

    // Once the other run ends, a waiting delivery goes through.
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        state = 2;
    });
    SpoolSink patient(nullptr, 60);
    EXPECT_TRUE(patient.Deliver(MakePanel(32, 32, file), 0, pixels).ok());
    release.join();
    other.join();
    EXPECT_EQ(ReadAt(file, 0, pixels.size()), std::string(pixels.begin(), pixels.end()));
}

}  // namespace
}  // namespace voxa::queue
