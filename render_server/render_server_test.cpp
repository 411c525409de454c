// Tests of voxa_server: the render thread's lifecycle, the request queue,
// per-object settings, paths confined to the data roots (objects served
// in-process on the test's event loop), and the programs over loopback
// (launch on demand, idle exit after a killed client, voxa_render --host).
#include "render_server/voxa_work_impl.h"
#include "render_server/work_client.h"
#include "render_server/work_service.h"

#include "engine/frame/frame_pipeline.h"
#include "engine/context/options.h"
#include "engine/context/render_context.h"
#include "hosting/class_registry.h"
#include "platform/test_support.h"
#include "engine/bricks/zb_writer.h"

#include <gtest/gtest.h>
#include <kj/async-io.h>

#include <signal.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

namespace voxa::render_server {
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

const std::string kBin = VOXA_BIN_DIR;
constexpr float kTan17 = 0.30573068f;

// A brick tree of n^3 voxels (bricks of `brick` voxels) with a pattern of
// soft spheres, built into dir.
std::string MakeVolume(const std::string& dir, int n, int brick) {
    SourceVolume v;
    v.nx = v.ny = v.nz = n;
    v.values.resize(static_cast<size_t>(n) * n * n);
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                float dx = x - n * 0.5f, dy = y - n * 0.5f, dz = z - n * 0.5f;
                float r = std::sqrt(dx * dx + dy * dy + dz * dz) / n;
                v.values[(static_cast<size_t>(z) * n + y) * n + x] =
                    r < 0.45f ? 0.5f + 0.5f * std::sin(x * 0.3f) * std::cos(y * 0.2f + z * 0.1f)
                              : 0.0f;
            }
    ZbMakeOptions options;
    options.brick = brick;
    std::string zb = dir + "/vol.zb";
    Status status = MakeZb(v, zb, options);
    EXPECT_TRUE(status.ok()) << status.message();
    return zb;
}

// One WorkService on the test's event loop; objects are local capabilities
// (the same calls as over the network, without the socket).
class ServedWork : public ::testing::Test {
protected:
    ServedWork() : m_data(m_root.File("data")) {
        ::mkdir(m_data.c_str(), 0755);
        DataRoots roots;
        voxa::Status added = roots.Add(m_data);
        EXPECT_TRUE(added.ok()) << added.message();
        m_service = std::make_unique<WorkService>(std::move(roots), DisplayMode::kHeadless);
    }
    ~ServedWork() override {
        // Objects first, then the service (ends the thread), then the loop.
        m_service.reset();
        m_io.reset();
    }

    rpc::Ivoxa_work::Client NewObject() {
        return kj::heap<VoxaWorkImpl>(*m_service, std::nullopt);
    }
    kj::WaitScope& Ws() { return m_io->waitScope; }

    void Frustum(rpc::Ivoxa_work::Client& w, int width, int height) {
        auto r = w.setFrustumRequest();
        float c[3] = {0, 1, 0}, u[3] = {0, 0, 1}, n[3] = {0, 1, 0};
        auto lc = r.initCenter(3), lu = r.initUp(3), ln = r.initNormal(3);
        for (unsigned i = 0; i < 3; ++i) {
            lc.set(i, c[i]);
            lu.set(i, u[i]);
            ln.set(i, n[i]);
        }
        r.setIWidth(width);
        r.setIHeight(height);
        r.setFPanWidth(2 * kTan17);
        r.send().wait(Ws());
    }
    // Every brick at the finest level (no tolerance).
    void FinestQuality(rpc::Ivoxa_work::Client& w) {
        auto quality = w.setRenderQualityRequest();
        quality.setIPixErr(0);
        quality.setFAngleError(0);
        quality.setFSizeError(0);
        quality.send().wait(Ws());
    }
    void Option(rpc::Ivoxa_work::Client& w, const std::string& key, const std::string& value) {
        auto r = w.setOptionRequest();
        r.setWcKey(key);
        r.setWcValue(value);
        r.send().wait(Ws());
    }
    std::string Status(rpc::Ivoxa_work::Client& w) {
        return w.getStatusRequest().send().wait(Ws()).getWcStatus().cStr();
    }
    std::string Ask(rpc::Ivoxa_work::Client& w, const std::string& word) {
        Option(w, kOptSetStatusRequest, word);
        return Status(w);
    }
    std::vector<unsigned char> Pix(rpc::Ivoxa_work::Client& w) {
        auto answer = w.getPixRequest().send().wait(Ws());
        auto d = answer.getPData();
        return std::vector<unsigned char>(d.begin(), d.end());
    }
    Renderparams Key(rpc::Ivoxa_work::Client& w) {
        Renderparams k;
        auto answer = w.saveKeyRequest().send().wait(Ws());
        EXPECT_EQ(answer.getSKey().size(), sizeof(k));
        std::memcpy(&k, answer.getSKey().begin(), sizeof(k));
        return k;
    }
    void Render(rpc::Ivoxa_work::Client& w) { w.setDoRenderRequest().send().wait(Ws()); }
    void StartUp(rpc::Ivoxa_work::Client& w) { w.startUpRequest().send().wait(Ws()); }
    void ClearIt(rpc::Ivoxa_work::Client& w) { w.clearItRequest().send().wait(Ws()); }
    bool WindowUpSoon(rpc::Ivoxa_work::Client& w) {
        return WaitFor([&] { return Ask(w, kStatusIsGlWindowUp) == kReplyGlWindowIsUp; }, 20000);
    }
    void SetName(rpc::Ivoxa_work::Client& w, const std::string& name) {
        auto r = w.setZBnameRequest();
        r.setCZBnew(name);
        r.send().wait(Ws());
    }
    std::string DebugText() { return ReadWholeFile(m_root.File("DEBUG_VOXA.txt")); }

    FreshRoot m_root;
    std::string m_data;
    std::unique_ptr<kj::AsyncIoContext> m_io =
        std::make_unique<kj::AsyncIoContext>(kj::setupAsyncIo());
    std::unique_ptr<WorkService> m_service;
};

TEST_F(ServedWork, CallsWithoutRenderThreadAnswerAtOnce) {
    auto w = NewObject();
    EXPECT_EQ(Ask(w, kStatusIsGlWindowUp), kReplyGlWindowIsDown);
    // Each of these would wait for a render thread that is not there.
    Render(w);
    EXPECT_EQ(Pix(w).size(), 0u);
    auto put = w.putPixRequest();
    std::vector<unsigned char> bytes(16, 7);
    put.setLSize(16);
    put.setCPix(kj::arrayPtr(bytes.data(), bytes.size()));
    put.send().wait(Ws());
    ClearIt(w);  // no StartUp to match: the count stays at zero
    EXPECT_EQ(m_service->Users(), 0);
    // Options need no GL: applied at once and recorded.
    Option(w, kOptShowColorBar, "1");
    EXPECT_EQ(Ask(w, kStatusGetAllPreviousOptions), "ShowColorBar 1\n");
    EXPECT_EQ(Status(w), kReplyIdle);
    EXPECT_EQ(m_service->ThreadsStarted(), 0);
}

// A render thread whose window cannot be made ends at once; calls queued
// for it are answered, and the reason is in the debug file.
TEST(WorkServiceWithoutWindow, RequestsEndWithTheThread) {
    FreshRoot root;
    ScopedEnv display("DISPLAY", nullptr);
    auto io = std::make_unique<kj::AsyncIoContext>(kj::setupAsyncIo());
    DataRoots roots;
    auto service = std::make_unique<WorkService>(std::move(roots), DisplayMode::kWindow);
    {
        rpc::Ivoxa_work::Client w = kj::heap<VoxaWorkImpl>(*service, std::nullopt);
        w.startUpRequest().send().wait(io->waitScope);
        auto render = w.setDoRenderRequest().send();
        auto pix = w.getPixRequest().send();
        render.wait(io->waitScope);
        EXPECT_EQ(pix.wait(io->waitScope).getPData().size(), 0u);
        ASSERT_TRUE(WaitFor([&] {
            io->waitScope.poll();
            return service->State() == ThreadState::kStopped;
        }));
        auto ask = w.setOptionRequest();
        ask.setWcKey(kOptSetStatusRequest);
        ask.setWcValue(kStatusIsGlWindowUp);
        ask.send().wait(io->waitScope);
        EXPECT_EQ(std::string(w.getStatusRequest().send().wait(io->waitScope).getWcStatus().cStr()),
                  kReplyGlWindowIsDown);
        // The user is still counted; the next StartUp tries again.
        EXPECT_EQ(service->Users(), 1);
        w.startUpRequest().send().wait(io->waitScope);
        EXPECT_EQ(service->ThreadsStarted(), 2);
    }
    service.reset();
    io.reset();
    EXPECT_NE(ReadWholeFile(root.File("DEBUG_VOXA.txt")).find("render window could not be made"),
              std::string::npos);
}

// With a display the render thread draws into its own X window.
TEST(WorkServiceWithDisplay, RendersInAWindow) {
    voxa::testing::PrivateXServer x;
    if (!x.Ok()) GTEST_SKIP() << "Xvfb could not be started";
    FreshRoot root;
    auto io = std::make_unique<kj::AsyncIoContext>(kj::setupAsyncIo());
    auto service = std::make_unique<WorkService>(DataRoots(), DisplayMode::kAuto);
    {
        rpc::Ivoxa_work::Client w = kj::heap<VoxaWorkImpl>(*service, std::nullopt);
        auto f = w.setFrustumRequest();
        const float c[3] = {0, 1, 0}, u[3] = {0, 0, 1}, n[3] = {0, 1, 0};
        auto lc = f.initCenter(3), lu = f.initUp(3), ln = f.initNormal(3);
        for (unsigned i = 0; i < 3; ++i) {
            lc.set(i, c[i]);
            lu.set(i, u[i]);
            ln.set(i, n[i]);
        }
        f.setIWidth(320);
        f.setIHeight(240);
        f.setFPanWidth(2 * kTan17);
        f.send().wait(io->waitScope);
        w.startUpRequest().send().wait(io->waitScope);
        w.setDoRenderRequest().send().wait(io->waitScope);
        auto answer = w.getPixRequest().send().wait(io->waitScope);
        auto pix = answer.getPData();
        ASSERT_EQ(pix.size(), 320u * 240 * 3);
        // The built-in test volume's bright edges are in the frame.
        size_t lit = 0;
        for (auto v : pix) lit += v > 64;
        EXPECT_GT(lit, 1000u);
        EXPECT_TRUE(service->WindowUp());
        w.clearItRequest().send().wait(io->waitScope);
        EXPECT_FALSE(service->WindowUp());
    }
    service.reset();
    io.reset();
}

TEST_F(ServedWork, UserCountKeepsOneRenderThreadAndLastClearItEndsIt) {
    auto a = NewObject();
    auto b = NewObject();
    Frustum(a, 64, 48);
    // Two StartUps in a row: one render thread.
    StartUp(a);
    StartUp(b);
    EXPECT_EQ(m_service->ThreadsStarted(), 1);
    ASSERT_TRUE(WindowUpSoon(a));
    ClearIt(a);
    EXPECT_EQ(Ask(b, kStatusIsGlWindowUp), kReplyGlWindowIsUp);
    EXPECT_EQ(m_service->State(), ThreadState::kRunning);
    // The last ClearIt returns once the window is down and the thread ended.
    ClearIt(b);
    EXPECT_EQ(Ask(a, kStatusIsGlWindowUp), kReplyGlWindowIsDown);
    EXPECT_EQ(m_service->State(), ThreadState::kStopped);
    EXPECT_EQ(m_service->Users(), 0);
    // A third StartUp brings a new thread and window; frames work again.
    StartUp(b);
    EXPECT_EQ(m_service->ThreadsStarted(), 2);
    ASSERT_TRUE(WindowUpSoon(b));
    Frustum(b, 64, 48);
    Render(b);
    EXPECT_EQ(Pix(b).size(), 64u * 48 * 3);
    ClearIt(b);
    EXPECT_EQ(m_service->State(), ThreadState::kStopped);
}

// The frame read back through the server equals the one a direct-mode
// context renders from the same calls.
TEST_F(ServedWork, GetPixReturnsTheDirectModeFrame) {
    std::string zb = MakeVolume(m_data, 48, 16);
    auto w = NewObject();
    Frustum(w, 640, 480);
    SetName(w, zb);
    StartUp(w);
    ASSERT_TRUE(WindowUpSoon(w));
    Render(w);
    std::vector<unsigned char> remote = Pix(w);
    ClearIt(w);
    ASSERT_EQ(remote.size(), 921600u);

    RenderProcess process;
    process.SetDisplayMode(DisplayMode::kHeadless);
    RenderContext context(process);
    FramePipeline pipeline(process);
    pipeline.Attach(context);
    const float c[3] = {0, 1, 0}, u[3] = {0, 0, 1}, n[3] = {0, 1, 0};
    context.SetFrustum(c, u, n, 640, 480, 2 * kTan17);
    context.Set_ZBname(zb);
    context.StartUp();
    ASSERT_NE(context.Window(), nullptr);
    context.SetDoRender();
    BinaryDataVOXA direct;
    context.GetPix(&direct);
    context.ClearIt();
    ASSERT_EQ(direct.m_lSize, 921600);
    EXPECT_TRUE(remote == direct.m_pBuffer);
    // Not an empty frame: the volume covers part of the image.
    size_t lit = 0;
    for (unsigned char v : remote) lit += v > 16;
    EXPECT_GT(lit, 10000u);
    EXPECT_LT(lit, remote.size() / 2);
}

TEST_F(ServedWork, NonBlockingRenderIsWorkingUntilDoneAndRequestsKeepTheirOrder) {
    // A frame slow enough (every finest brick, 640 x 480) that it is still
    // drawing when the status asked right after it arrives, on a busy
    // machine too.
    std::string zb = MakeVolume(m_data, 128, 16);
    auto w = NewObject();
    auto other = NewObject();
    Frustum(w, 640, 480);
    SetName(w, zb);
    FinestQuality(w);
    StartUp(w);
    ASSERT_TRUE(WindowUpSoon(w));
    Render(w);  // blocking by default: done when it returns
    EXPECT_EQ(Status(w), kReplyIdle);
    std::vector<unsigned char> first = Pix(w);

    Option(w, kOptBlockOnRender, "0");
    auto eye = w.incrementEyePointRequest();
    eye.setDelx(40);
    eye.setIMouseMode(0);
    eye.send().wait(Ws());
    Render(w);
    // Returned at once; the frame is still queued or drawing.
    EXPECT_EQ(Status(w), kReplyWorking);
    // "BlockOnRender" belongs to the object that set it.
    EXPECT_EQ(Status(other), kReplyIdle);
    // A GetPix queued behind the frame reads that frame, not the old one.
    std::vector<unsigned char> second = Pix(w);
    EXPECT_EQ(Status(w), kReplyIdle);
    ASSERT_EQ(second.size(), first.size());
    EXPECT_NE(second, first);
    ClearIt(w);
}

TEST_F(ServedWork, StatusRequestsBelongToTheCallingObject) {
    auto a = NewObject();
    auto b = NewObject();
    Option(a, kOptSetStatusRequest, kStatusIsGlWindowUp);
    Option(b, kOptPriorityRequest, "7");
    EXPECT_EQ(Status(b), kReplyIdle);  // b asked nothing; a's question is kept
    EXPECT_EQ(Status(a), kReplyGlWindowIsDown);
    EXPECT_EQ(Status(a), kReplyIdle);  // answered once
    EXPECT_EQ(Ask(b, kStatusPriorityRequest), "7");
}

// An object released while its frame renders leaves the thread on its own
// copy of the request; the next object renders and reads normally.
TEST_F(ServedWork, ReleasingAnObjectDuringItsFrameIsSafe) {
    std::string zb = MakeVolume(m_data, 64, 16);
    auto keeper = NewObject();
    StartUp(keeper);
    ASSERT_TRUE(WindowUpSoon(keeper));
    {
        auto gone = NewObject();
        Frustum(gone, 256, 256);
        SetName(gone, zb);
        Option(gone, kOptBlockOnRender, "0");
        StartUp(gone);
        Render(gone);
        ClearIt(gone);
    }
    Frustum(keeper, 128, 96);
    Render(keeper);
    EXPECT_EQ(Pix(keeper).size(), 128u * 96 * 3);
    ClearIt(keeper);
}

// A client that goes without ClearIt gives its StartUps back; a ClearIt
// never clears another object's StartUp.
TEST_F(ServedWork, ReleasedObjectGivesItsUsersBack) {
    auto keeper = NewObject();
    ClearIt(keeper);  // no StartUp of its own: nothing happens
    {
        auto gone = NewObject();
        StartUp(gone);
        StartUp(gone);
        ASSERT_TRUE(WindowUpSoon(gone));
        ClearIt(keeper);  // not keeper's to clear
        EXPECT_EQ(m_service->Users(), 2);
        EXPECT_EQ(Ask(keeper, kStatusIsGlWindowUp), kReplyGlWindowIsUp);
    }
    ASSERT_TRUE(WaitFor([&] {
        Ws().poll();
        return m_service->State() == ThreadState::kStopped;
    }));
    EXPECT_EQ(m_service->Users(), 0);
    EXPECT_EQ(Ask(keeper, kStatusIsGlWindowUp), kReplyGlWindowIsDown);
}

// A slow frame ends early on StopRendering, which is served while another
// call (the blocking SetDoRender of a second object) waits.
TEST_F(ServedWork, StopRenderingEndsASlowFrameWhileAnotherCallWaits) {
    std::string zb = MakeVolume(m_data, 160, 16);
    auto renderer = NewObject();
    auto stopper = NewObject();
    Frustum(renderer, 1024, 1024);
    SetName(renderer, zb);
    FinestQuality(renderer);
    StartUp(renderer);
    ASSERT_TRUE(WindowUpSoon(renderer));
    auto frame = renderer.setDoRenderRequest().send();
    int stops = 0;
    while (!frame.poll(Ws()) && stops < 100000) {
        stopper.stopRenderingRequest().send().wait(Ws());
        ++stops;
    }
    frame.wait(Ws());
    EXPECT_GT(stops, 0);
    EXPECT_TRUE(m_service->LastFrame().aborted);
    // The next frame is drawn whole.
    Frustum(renderer, 64, 64);
    Render(renderer);
    EXPECT_FALSE(m_service->LastFrame().aborted);
    ClearIt(renderer);
}

TEST_F(ServedWork, PathsOutsideTheDataRootsAreRefusedAndChangeNothing) {
    std::string zb = MakeVolume(m_data, 32, 16);
    TempDir outside;
    std::ofstream(outside.File("x.zb")) << "x\n";
    auto w = NewObject();

    SetName(w, zb);
    SetName(w, outside.File("x.zb"));
    SetName(w, m_data + "/../x.zb");
    EXPECT_EQ(std::string(Key(w).zbname), zb);
    EXPECT_NE(DebugText().find("Set_ZBname refused '" + outside.File("x.zb") + "'"),
              std::string::npos);

    // One refused map name refuses the pair.
    std::ofstream(m_data + "/a.amap") << "0\n";
    auto lut = w.setLUTRequest();
    lut.setSAmap(m_data + "/a.amap");
    lut.setSCmap("/etc/passwd");
    lut.send().wait(Ws());
    Renderparams k = Key(w);
    EXPECT_STREQ(k.amapname, "default");
    EXPECT_STREQ(k.cmapname, "default");

    // A restored key with a name outside the roots changes nothing.
    Renderparams bad = k;
    bad.eyeX = 42;
    std::snprintf(bad.zbname, sizeof(bad.zbname), "%s", outside.File("x.zb").c_str());
    auto restore = w.restorKeyRequest();
    restore.setSKey(kj::arrayPtr(reinterpret_cast<const kj::byte*>(&bad), sizeof(bad)));
    restore.send().wait(Ws());
    EXPECT_EQ(Key(w).eyeX, k.eyeX);

    // The working directory: outside refused; inside, relative names
    // resolve against it.
    auto cd = w.setCurrentWorkingDirRequest();
    cd.setCDir(outside.Path());
    cd.send().wait(Ws());
    EXPECT_NE(m_service->WorkingDirectory(), outside.Path());
    auto cd2 = w.setCurrentWorkingDirRequest();
    cd2.setCDir(m_data);
    cd2.send().wait(Ws());
    SetName(w, "vol.zb");
    EXPECT_EQ(std::string(Key(w).zbname), zb);

    // Timer files are written by the server: confined like the rest (the
    // option history does not keep this keyword, so the refusal shows in
    // the debug file).
    Option(w, kOptTimerOutputFile, outside.File("t.pto"));
    EXPECT_NE(DebugText().find("SetOption TimerOutputFile refused '" + outside.File("t.pto") + "'"),
              std::string::npos);

    // CopyPixToFile: outside refused; inside writes the frame's bytes.
    Frustum(w, 40, 30);
    StartUp(w);
    ASSERT_TRUE(WindowUpSoon(w));
    Render(w);
    auto copyOut = w.copyPixToFileRequest();
    copyOut.setCFile(outside.File("f.pix"));
    copyOut.send().wait(Ws());
    struct stat st{};
    EXPECT_NE(::stat(outside.File("f.pix").c_str(), &st), 0);
    auto copyIn = w.copyPixToFileRequest();
    copyIn.setCFile(m_data + "/f.pix");
    copyIn.send().wait(Ws());
    std::string bytes = ReadWholeFile(m_data + "/f.pix");
    std::vector<unsigned char> pix = Pix(w);
    ASSERT_EQ(bytes.size(), 40u * 30 * 3);
    ASSERT_EQ(pix.size(), bytes.size());
    size_t differ = 0, litFile = 0, litPix = 0;
    for (size_t i = 0; i < pix.size(); ++i) {
        differ += pix[i] != static_cast<unsigned char>(bytes[i]);
        litFile += bytes[i] != 0;
        litPix += pix[i] != 0;
    }
    EXPECT_EQ(differ, 0u) << litFile << " " << litPix;
    EXPECT_GT(litPix, 0u);  // two black frames would be equal too
    // Two leading digits number the file after the image name.
    auto copyNumbered = w.copyPixToFileRequest();
    copyNumbered.setCFile("07");
    copyNumbered.send().wait(Ws());
    EXPECT_EQ(ReadWholeFile(m_data + "/Test_Image.pix_07").size(), 40u * 30 * 3);
    ClearIt(w);
}

TEST_F(ServedWork, DataFilesNamedOutsideTheRootsAreNotRead) {
    // A ZB file inside the roots whose bricks name the data file of a
    // volume outside them, by a path that climbs out of the roots.
    TempDir outside;
    const std::string outsideZb = MakeVolume(outside.Path(), 32, 16);
    std::istringstream lines(ReadWholeFile(outsideZb));
    // (Data file names hold at most 63 characters: climb no higher than /.)
    std::string text, line, climb;
    for (char c : m_data) climb += c == '/' ? "../" : "";
    while (std::getline(lines, line))
        text += (line.rfind("XYZ_Limits", 0) == 0 ? line : climb + outside.Path() + "/" + line) + "\n";
    const std::string escaping = m_data + "/escaping.zb";
    std::ofstream(escaping) << text;
    const std::string inside = MakeVolume(m_data, 32, 16);

    auto w = NewObject();
    EXPECT_EQ(Ask(w, kStatusLastFrameResult), kReplyNone);
    Frustum(w, 40, 30);
    FinestQuality(w);
    StartUp(w);
    ASSERT_TRUE(WindowUpSoon(w));
    auto lit = [](const std::vector<unsigned char>& pix) {
        return std::count_if(pix.begin(), pix.end(), [](unsigned char c) { return c != 0; });
    };
    SetName(w, escaping);
    EXPECT_EQ(std::string(Key(w).zbname), escaping);  // the ZB file itself is inside
    Render(w);
    EXPECT_EQ(lit(Pix(w)), 0);
    EXPECT_EQ(Ask(w, kStatusLastFrameResult), "-1");
    EXPECT_EQ(Status(w), kReplyIdle);  // the word is answered once
    EXPECT_NE(DebugText().find("data file refused '" + m_data + "/" + climb + outside.Path()),
              std::string::npos)
        << DebugText();
    // The same bricks through a ZB file that keeps to the roots draw.
    SetName(w, inside);
    Render(w);
    EXPECT_GT(lit(Pix(w)), 100);
    EXPECT_EQ(Ask(w, kStatusLastFrameResult), "0");
    // Back to the escaping one: read and refused again (a refused frame
    // leaves the window as it was, so the log tells).
    auto refusals = [&] {
        const std::string log = DebugText();
        size_t n = 0;
        for (size_t at = log.find("data file refused"); at != std::string::npos;
             at = log.find("data file refused", at + 1))
            ++n;
        return n;
    };
    const size_t before = refusals();
    SetName(w, escaping);
    Render(w);
    EXPECT_EQ(refusals(), before + 1);

    // The "cross" statistics file is read by the server: confined too.
    Option(w, kOptYfile, outsideZb);
    Option(w, kOptYfile, inside);
    const std::string log = DebugText();
    EXPECT_NE(log.find("SetOption Yfile refused '" + outsideZb + "'"), std::string::npos) << log;
    EXPECT_EQ(log.find("SetOption Yfile refused '" + inside + "'"), std::string::npos) << log;
    ClearIt(w);
}

TEST_F(ServedWork, ColourPointsAreKeptPerObjectAndReachTheFrames) {
    auto w = NewObject();
    auto r = w.setLUTirgbRequest();
    r.setN(2);
    auto ind = r.initInd(2);
    ind.set(0, 0);
    ind.set(1, 255);
    auto red = r.initRed(2), grn = r.initGrn(2), blu = r.initBlu(2);
    for (unsigned i = 0; i < 2; ++i) {
        red.set(i, 1.0f * i);
        grn.set(i, 0.5f * i);
        blu.set(i, 0.25f * i);
    }
    r.send().wait(Ws());
    auto answer = w.getLUT32irgbRequest().send().wait(Ws());
    ASSERT_EQ(answer.getN(), 2);
    EXPECT_EQ(answer.getInd()[1], 255);
    EXPECT_FLOAT_EQ(answer.getGrn()[1], 0.5f);
    // Without SetLUTia the alpha points follow: 0.1 r + 0.6 g + 0.3 b.
    auto alpha = w.getLUT32iaRequest().send().wait(Ws());
    ASSERT_EQ(alpha.getN(), 2);
    EXPECT_NEAR(alpha.getAlp()[1], 0.1f + 0.3f + 0.075f, 1e-6);
    // A count the arrays do not hold is refused.
    auto bad = w.setLUTirgbRequest();
    bad.setN(5);
    bad.initInd(1);
    bad.send().wait(Ws());
    EXPECT_EQ(w.getLUT32irgbRequest().send().wait(Ws()).getN(), 2);
    // Another object keeps its own points.
    auto other = NewObject();
    EXPECT_FLOAT_EQ(other.getLUT32irgbRequest().send().wait(Ws()).getGrn()[1], 1.0f);
}

// ---- the programs over loopback --------------------------------------------

struct Registered {
    FreshRoot root;
    uint16_t port = FreePort();
    ScopedEnv portEnv{hosting::VoxaWorkClass().portEnv, std::to_string(port).c_str()};
    ScopedEnv egl{"EGL_PLATFORM", "surfaceless"};
    ScopedEnv display{"DISPLAY", nullptr};
    Registered() {
        ::mkdir(root.File("data").c_str(), 0755);
        EXPECT_EQ(RunCommand(kBin + "/voxa_server -RegServer").status, 0);
    }
};

TEST(VoxaServerProgram, RemoteRenderWritesTheDirectModePngAndServerExitsWhenIdle) {
    Registered reg;
    std::string zb = MakeVolume(reg.root.File("data"), 48, 16);
    const std::string direct = reg.root.File("direct.png"), remote = reg.root.File("remote.png");
    auto a = RunCommand(kBin + "/voxa_render --zb " + zb + " --size 640x480 --frames 2 --orbit 30,5 --out " +
                        direct + " 2>&1");
    ASSERT_EQ(a.status, 0) << a.out;
    auto b = RunCommand(kBin + "/voxa_render --host 127.0.0.1 --zb " + zb +
                        " --size 640x480 --frames 2 --orbit 30,5 --out " + remote + " 2>&1");
    ASSERT_EQ(b.status, 0) << b.out;
    for (const char* n : {"_0000.png", "_0001.png"}) {
        std::string d = ReadWholeFile(reg.root.File(std::string("direct") + n));
        std::string r = ReadWholeFile(reg.root.File(std::string("remote") + n));
        EXPECT_GT(d.size(), 1000u);
        EXPECT_TRUE(d == r) << n;
    }
    // Launched on demand on loopback; it goes 5 s after the last object.
    EXPECT_TRUE(Listening(reg.port));
    EXPECT_TRUE(WaitFor([&] { return !Listening(reg.port); }, 20000));
    // A volume outside the data roots is refused by the server: nothing
    // is loaded, the server says why in its debug file, and the client
    // says so and writes no image.
    TempDir outside;
    std::string outsideZb = MakeVolume(outside.Path(), 16, 16);
    auto c = RunCommand(kBin + "/voxa_render --host 127.0.0.1 --zb " + outsideZb + " --out " +
                        reg.root.File("o.png") + " 2>&1");
    EXPECT_EQ(c.status, 1) << c.out;
    EXPECT_NE(c.out.find("refused the ZB file '" + outsideZb + "'"), std::string::npos) << c.out;
    EXPECT_FALSE(std::filesystem::exists(reg.root.File("o.png")));
    EXPECT_NE(ReadWholeFile(reg.root.File("DEBUG_VOXA.txt")).find("Set_ZBname refused"),
              std::string::npos);
    // A ZB file inside the roots whose data file lies outside them: taken,
    // but its frame fails, and the client reports that frame.
    std::string text = ReadWholeFile(outsideZb), climb;
    for (char ch : reg.root.File("data")) climb += ch == '/' ? "../" : "";
    std::istringstream lines(text);
    std::string line, escaping;
    while (std::getline(lines, line))
        escaping += (line.rfind("XYZ_Limits", 0) == 0 ? line : climb + outside.Path() + "/" + line) + "\n";
    std::ofstream(reg.root.File("data/escaping.zb")) << escaping;
    auto e = RunCommand(kBin + "/voxa_render --host 127.0.0.1 --zb " + reg.root.File("data/escaping.zb") +
                        " --out " + reg.root.File("e.png") + " 2>&1");
    EXPECT_EQ(e.status, 1) << e.out;
    EXPECT_NE(e.out.find("could not render frame 1 (result -1)"), std::string::npos) << e.out;
    EXPECT_FALSE(std::filesystem::exists(reg.root.File("e.png")));
}

// A client killed in the middle of a frame: the server finishes or drops
// the frame and still exits 5 s after its last object went away.
TEST(VoxaServerProgram, ClientKilledMidRenderLeavesAServerThatExitsWhenIdle) {
    Registered reg;
    std::string zb = MakeVolume(reg.root.File("data"), 128, 16);
    {
        ChildProcess client({kBin + "/voxa_render", "--host", "127.0.0.1", "--zb", zb, "--size",
                             "1024x1024", "--frames", "50", "--option", "NCacheMB=64", "--out",
                             reg.root.File("k.png")});
        ASSERT_TRUE(WaitFor([&] { return Listening(reg.port); }, 20000));
        // The first frame is written: the kill lands while a later one renders.
        EXPECT_TRUE(WaitFor([&] { return !ReadWholeFile(reg.root.File("k_0000.png")).empty(); }, 60000));
        client.Signal(SIGKILL);
        client.Wait();
    }
    EXPECT_TRUE(Listening(reg.port));
    EXPECT_TRUE(WaitFor([&] { return !Listening(reg.port); }, 40000));
}

TEST(VoxaServerProgram, HelpAndBadArguments) {
    auto help = RunCommand(kBin + "/voxa_server --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--data-root DIR"), std::string::npos);
    EXPECT_NE(help.out.find("--headless"), std::string::npos);
    FreshRoot root;
    auto bad = RunCommand(kBin + "/voxa_server -Embedding --data-root " + root.File("none") +
                          " 2>&1");
    EXPECT_EQ(bad.status, 2);
    auto window = RunCommand(kBin + "/voxa_render --host 127.0.0.1 --window 2>&1");
    EXPECT_EQ(window.status, 2);
}

}  // namespace
}  // namespace voxa::render_server
