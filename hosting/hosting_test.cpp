// Tests of the server shell: command line, registration files, object
// counting and idle exit of an in-process server, and client activation.
#include "hosting/activation.h"
#include "hosting/class_registry.h"
#include "hosting/interfaces.capnp.h"
#include "hosting/server_shell.h"

#include "platform/test_support.h"

#include <gtest/gtest.h>
#include <kj/async-io.h>

#include <atomic>
#include <future>
#include <sys/stat.h>
#include <thread>

namespace voxa::hosting {
namespace {

using voxa::testing::FreshRoot;
using voxa::testing::ReadWholeFile;
using voxa::testing::ScopedEnv;

ServerCommandLine Parse(std::vector<std::string> args) {
    return ParseServerCommandLine(args, {"--data-root"});
}

TEST(ServerCommandLine, RegServerAfterDashOrSlashInAnyCase) {
    EXPECT_EQ(Parse({"-RegServer"}).action, ServerAction::kRegister);
    EXPECT_EQ(Parse({"/regserver"}).action, ServerAction::kRegister);
    EXPECT_EQ(Parse({"-REGSERVER"}).action, ServerAction::kRegister);
    EXPECT_EQ(Parse({"-UnregServer"}).action, ServerAction::kUnregister);
    EXPECT_EQ(Parse({"/unregserver"}).action, ServerAction::kUnregister);
}

TEST(ServerCommandLine, OtherTokensAreSkipped) {
    EXPECT_EQ(Parse({"-Embedding", "-RegServer"}).action, ServerAction::kRegister);
    EXPECT_EQ(Parse({"stray", "/x", "-UnregServer"}).action, ServerAction::kUnregister);
    ServerCommandLine serve = Parse({"-Embedding"});
    EXPECT_EQ(serve.action, ServerAction::kServe);
    EXPECT_TRUE(serve.launchedOnDemand);
    EXPECT_EQ(Parse({}).action, ServerAction::kServe);
    // Not the word alone after the switch character.
    EXPECT_EQ(Parse({"-RegServerX"}).action, ServerAction::kServe);
    EXPECT_EQ(Parse({"RegServer"}).action, ServerAction::kServe);
}

TEST(ServerCommandLine, OptionValuesAreNotScannedForSwitches) {
    ServerCommandLine cl = Parse({"--data-root", "/srv/RegServer", "--port=4100", "--bind",
                                  "127.0.0.1", "--persist"});
    EXPECT_EQ(cl.action, ServerAction::kServe);
    ASSERT_EQ(cl.extra.size(), 1u);
    EXPECT_EQ(cl.extra[0].second, "/srv/RegServer");
    ASSERT_TRUE(cl.port.has_value());
    EXPECT_EQ(*cl.port, 4100);
    EXPECT_EQ(cl.bindAddress, "127.0.0.1");
    EXPECT_TRUE(cl.persist);
}

TEST(ServerCommandLine, LaunchedOnDemandListensOnLoopbackUnlessToldOtherwise) {
    EXPECT_EQ(ChooseBindAddress(Parse({"-Embedding"}), nullptr), "127.0.0.1");
    EXPECT_EQ(ChooseBindAddress(Parse({"-Embedding"}), ""), "127.0.0.1");
    EXPECT_EQ(ChooseBindAddress(Parse({}), nullptr), "*");  // started by hand
    EXPECT_EQ(ChooseBindAddress(Parse({"--persist"}), nullptr), "*");
    EXPECT_EQ(ChooseBindAddress(Parse({"-Embedding"}), "10.1.2.3"), "10.1.2.3");
    EXPECT_EQ(ChooseBindAddress(Parse({"-Embedding", "--bind", "::"}), "10.1.2.3"), "::");
    EXPECT_EQ(ChooseBindAddress(Parse({"--bind=192.0.2.7"}), nullptr), "192.0.2.7");
}

TEST(ServerCommandLine, BadValuesAreErrors) {
    EXPECT_EQ(Parse({"--port", "70000"}).action, ServerAction::kError);
    EXPECT_EQ(Parse({"--port", "12x"}).action, ServerAction::kError);
    EXPECT_EQ(Parse({"--bind"}).action, ServerAction::kError);
    EXPECT_EQ(Parse({"--help", "-RegServer"}).action, ServerAction::kHelp);
}

TEST(Registration, WritesApplicationAndClassEntries) {
    FreshRoot root;
    std::string error;
    ASSERT_EQ(RegisterClass(Spool1Class(), "/opt/voxa/bin/spool", 4321, &error), 0) << error;
    const std::string reg = root.File("registry");
    RegistryEntry clsid =
        ReadRegistryEntry(reg + "/CLSID/{3D2D61B3-75E9-49B8-86F1-21B4C701674B}");
    EXPECT_EQ(clsid["@"], "spool1 Class");
    EXPECT_EQ(clsid["ProgID"], "Spool.spool1.1");
    EXPECT_EQ(clsid["VersionIndependentProgID"], "Spool.spool1");
    EXPECT_EQ(clsid["LocalServer32"], "/opt/voxa/bin/spool");
    EXPECT_EQ(clsid["AppID"], "{0C2375E5-E54C-42EC-B76E-E4FFA89D9F21}");
    EXPECT_EQ(clsid["TypeLib"], "{2969898F-18A5-496D-B0F9-9F8F0F154BF5}");
    EXPECT_EQ(clsid["Port"], "4321");
    EXPECT_EQ(clsid.count("Programmable"), 0u);
    EXPECT_EQ(ReadWholeFile(reg + "/AppID/{0C2375E5-E54C-42EC-B76E-E4FFA89D9F21}"), "@=spool\n");
    EXPECT_EQ(ReadWholeFile(reg + "/AppID/spool"),
              "AppID={0C2375E5-E54C-42EC-B76E-E4FFA89D9F21}\n");
    RegistryEntry versioned = ReadRegistryEntry(reg + "/ProgID/Spool.spool1.1");
    EXPECT_EQ(versioned["@"], "spool1 Class");
    EXPECT_EQ(versioned["CLSID"], "{3D2D61B3-75E9-49B8-86F1-21B4C701674B}");
    RegistryEntry independent = ReadRegistryEntry(reg + "/ProgID/Spool.spool1");
    EXPECT_EQ(independent["CurVer"], "Spool.spool1.1");
    EXPECT_EQ(independent["CLSID"], "{3D2D61B3-75E9-49B8-86F1-21B4C701674B}");
}

TEST(Registration, RemoteFilesIsProgrammableAndRemovalIsComplete) {
    FreshRoot root;
    std::string error;
    ASSERT_EQ(RegisterClass(RemoteFilesClass(), "/x/fileport_server", 1, &error), 0);
    ASSERT_EQ(RegisterClass(Spool1Class(), "/x/spool", 2, &error), 0);
    auto entry = LookUpClass(RemoteFilesClass());
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->count("Programmable"), 1u);
    EXPECT_EQ(UnregisterClass(RemoteFilesClass(), &error), 0);
    EXPECT_FALSE(LookUpClass(RemoteFilesClass()).has_value());
    struct stat st{};
    EXPECT_NE(::stat(root.File("registry/ProgID/Fileport_server.RemoteFiles").c_str(), &st), 0);
    // The other class stays registered; removing twice still succeeds.
    EXPECT_TRUE(LookUpClass(Spool1Class()).has_value());
    EXPECT_EQ(UnregisterClass(RemoteFilesClass(), &error), 0);
}

TEST(Registration, PortComesFromEnvironmentThenRegistryThenDefault) {
    FreshRoot root;
    ScopedEnv unset(MiClass().portEnv, nullptr);
    EXPECT_EQ(ClassPort(MiClass()), 47302);
    std::string error;
    ASSERT_EQ(RegisterClass(MiClass(), "/x/reel1", 5001, &error), 0);
    EXPECT_EQ(ClassPort(MiClass()), 5001);
    ScopedEnv env(MiClass().portEnv, "5002");
    EXPECT_EQ(ClassPort(MiClass()), 5002);
}

// A minimal Imi object for the shell tests: getTime answers the number of
// objects alive in the server.
class CountingMi final : public rpc::Imi::Server {
public:
    CountingMi(std::atomic<int>& alive, ObjectRef ref) : m_alive(alive), m_ref(std::move(ref)) {
        ++m_alive;
    }
    ~CountingMi() { --m_alive; }

protected:
    kj::Promise<void> getTime(GetTimeContext context) override {
        context.getResults().setLTime(m_alive.load());
        return kj::READY_NOW;
    }

private:
    std::atomic<int>& m_alive;
    ObjectRef m_ref;
};

// Runs Serve on its own thread with a short idle time.
class InProcessServer {
public:
    explicit InProcessServer(int idleMs) {
        std::promise<uint16_t> port;
        auto portFuture = port.get_future();
        m_thread = std::thread([this, idleMs, port = std::move(port)]() mutable {
            auto io = kj::setupAsyncIo();
            ServeOptions options;
            options.bindAddress = "127.0.0.1";
            options.port = 0;
            options.idle = idleMs * kj::MILLISECONDS;
            options.handleSignals = false;
            Serve(io, options, "test",
                  [this](ObjectRef ref) -> capnp::Capability::Client {
                      return kj::heap<CountingMi>(m_alive, std::move(ref));
                  },
                  [&port](uint16_t p) { port.set_value(p); });
            m_exited = true;
        });
        m_port = portFuture.get();
    }
    ~InProcessServer() { m_thread.join(); }
    uint16_t Port() const { return m_port; }
    bool Exited() const { return m_exited; }
    int Alive() const { return m_alive; }

private:
    std::atomic<int> m_alive{0};
    std::atomic<bool> m_exited{false};
    uint16_t m_port = 0;
    std::thread m_thread;
};

bool WaitFor(const std::function<bool()>& condition, int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

TEST(ServerShell, TwoClientsShareOneServerAndItExitsAfterTheLastRelease) {
    FreshRoot root;
    InProcessServer server(300);
    ScopedEnv port(MiClass().portEnv, std::to_string(server.Port()).c_str());
    auto io = kj::setupAsyncIo();
    kj::Own<RemoteObject> first, second;
    std::string error;
    ActivationOptions noLaunch;
    noLaunch.launchLocal = false;
    ASSERT_EQ(CreateInstanceOnHost(io, MiClass(), "127.0.0.1", &first, &error, noLaunch), 0)
        << error;
    ASSERT_EQ(CreateInstanceOnHost(io, MiClass(), "localhost", &second, &error, noLaunch), 0)
        << error;
    auto a = first->As<rpc::Imi>();
    auto b = second->As<rpc::Imi>();
    // Both objects live in the one server process. Each connection's object
    // is made when its bootstrap arrives, and the two connections are not
    // ordered: the first answer on b proves b's object exists, a's answer
    // comes after a's own object.
    EXPECT_GE(b.getTimeRequest().send().wait(io.waitScope).getLTime(), 1);
    EXPECT_EQ(a.getTimeRequest().send().wait(io.waitScope).getLTime(), 2);
    EXPECT_EQ(b.getTimeRequest().send().wait(io.waitScope).getLTime(), 2);

    // Release the first: the second keeps the server up well past the idle time.
    first = nullptr;
    a = nullptr;
    ASSERT_TRUE(WaitFor([&] { return server.Alive() == 1; }, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_FALSE(server.Exited());
    EXPECT_EQ(b.getTimeRequest().send().wait(io.waitScope).getLTime(), 1);

    second = nullptr;
    b = nullptr;
    EXPECT_TRUE(WaitFor([&] { return server.Exited(); }, 5000));
    EXPECT_EQ(server.Alive(), 0);
}

TEST(ServerShell, ANewActivationWithinTheIdleTimeKeepsTheServer) {
    FreshRoot root;
    InProcessServer server(500);
    ScopedEnv port(MiClass().portEnv, std::to_string(server.Port()).c_str());
    auto io = kj::setupAsyncIo();
    ActivationOptions noLaunch;
    noLaunch.launchLocal = false;
    std::string error;
    kj::Own<RemoteObject> object;
    ASSERT_EQ(CreateInstanceOnHost(io, MiClass(), "127.0.0.1", &object, &error, noLaunch), 0);
    object->As<rpc::Imi>().getTimeRequest().send().wait(io.waitScope);
    object = nullptr;
    ASSERT_TRUE(WaitFor([&] { return server.Alive() == 0; }, 2000));
    // Within the idle time: a new object, held past the original deadline.
    ASSERT_EQ(CreateInstanceOnHost(io, MiClass(), "127.0.0.1", &object, &error, noLaunch), 0);
    EXPECT_EQ(object->As<rpc::Imi>().getTimeRequest().send().wait(io.waitScope).getLTime(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_FALSE(server.Exited());
    object = nullptr;
    EXPECT_TRUE(WaitFor([&] { return server.Exited(); }, 5000));
}

TEST(Activation, NoServerAndNoRegistrationIsANegativeResult) {
    FreshRoot root;
    // A port nobody listens on: take one and let it go.
    ScopedEnv port(Spool1Class().portEnv, "1");
    auto io = kj::setupAsyncIo();
    kj::Own<RemoteObject> object;
    std::string error;
    EXPECT_EQ(CreateInstanceOnHost(io, Spool1Class(), "127.0.0.1", &object, &error),
              kActivationNoServer);
    EXPECT_NE(error.find("not registered"), std::string::npos) << error;
    EXPECT_EQ(object.get(), nullptr);
}

// A server launched on demand listens on loopback only; a client that names
// this machine by another of its addresses (or by a name that resolves to
// one) still reaches it.
TEST(Activation, AnotherLocalAddressReachesAServerOnLoopback) {
    FreshRoot root;
    InProcessServer server(300);
    ScopedEnv port(MiClass().portEnv, std::to_string(server.Port()).c_str());
    auto io = kj::setupAsyncIo();
    ActivationOptions noLaunch;
    noLaunch.launchLocal = false;
    std::string error;
    kj::Own<RemoteObject> object;
    ASSERT_EQ(CreateInstanceOnHost(io, MiClass(), "127.0.0.2", &object, &error, noLaunch), 0)
        << error;
    EXPECT_EQ(object->As<rpc::Imi>().getTimeRequest().send().wait(io.waitScope).getLTime(), 1);
    object = nullptr;
    EXPECT_TRUE(WaitFor([&] { return server.Exited(); }, 5000));
}

TEST(Activation, LocalHostIsRecognised) {
    EXPECT_TRUE(IsLocalHost("127.0.0.1"));
    EXPECT_TRUE(IsLocalHost("localhost"));
    EXPECT_FALSE(IsLocalHost("192.0.2.1"));  // documentation address, never ours
}

}  // namespace
}  // namespace voxa::hosting
