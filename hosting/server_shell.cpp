#include "hosting/server_shell.h"

#include <capnp/rpc-twoparty.h>
#include <capnp/rpc.h>
#include <kj/async-unix.h>
#include <kj/debug.h>

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <unistd.h>

#include <climits>

namespace voxa::hosting {

namespace {

constexpr const char* kRegServer = "RegServer";
constexpr const char* kUnregServer = "UnregServer";
constexpr const char* kEmbedding = "Embedding";
constexpr int kFirstListenFd = 3;

// True when any "-" or "/" in token is followed by exactly word (any case).
bool TokenNames(const std::string& token, const char* word) {
    for (size_t i = 0; i < token.size(); ++i) {
        if ((token[i] == '-' || token[i] == '/') && strcasecmp(token.c_str() + i + 1, word) == 0)
            return true;
    }
    return false;
}

bool SplitOption(const std::string& arg, const std::string& name, std::string* inlineValue,
                 bool* hasInline) {
    if (arg == name) {
        *hasInline = false;
        return true;
    }
    if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 &&
        arg[name.size()] == '=') {
        *inlineValue = arg.substr(name.size() + 1);
        *hasInline = true;
        return true;
    }
    return false;
}

}  // namespace

ServerCommandLine ParseServerCommandLine(const std::vector<std::string>& args,
                                         const std::vector<std::string>& valueOptions) {
    ServerCommandLine cl;
    std::vector<std::string> allValueOptions = {"--bind", "--port"};
    allValueOptions.insert(allValueOptions.end(), valueOptions.begin(), valueOptions.end());
    bool help = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        bool consumed = false;
        for (const std::string& name : allValueOptions) {
            std::string value;
            bool hasInline = false;
            if (!SplitOption(arg, name, &value, &hasInline)) continue;
            consumed = true;
            if (!hasInline) {
                if (i + 1 >= args.size()) {
                    cl.action = ServerAction::kError;
                    cl.error = name + " needs a value";
                    return cl;
                }
                value = args[++i];
            }
            if (name == "--bind") {
                cl.bindAddress = value;
            } else if (name == "--port") {
                cl.port = ParsePort(value);
                if (!cl.port) {
                    cl.action = ServerAction::kError;
                    cl.error = "bad port: " + value;
                    return cl;
                }
            } else {
                cl.extra.emplace_back(name, value);
            }
            break;
        }
        if (consumed) continue;
        if (arg == "--help" || arg == "-h") {
            help = true;
            continue;
        }
        if (arg == "--persist") {
            cl.persist = true;
            continue;
        }
        // The registration switches; every other token is skipped and the
        // scan goes on. The first switch found decides.
        if (cl.action == ServerAction::kServe) {
            if (TokenNames(arg, kUnregServer)) {
                cl.action = ServerAction::kUnregister;
            } else if (TokenNames(arg, kRegServer)) {
                cl.action = ServerAction::kRegister;
            }
        }
        if (TokenNames(arg, kEmbedding)) cl.launchedOnDemand = true;
    }
    if (help) cl.action = ServerAction::kHelp;
    return cl;
}

std::string ChooseBindAddress(const ServerCommandLine& cl, const char* envBind) {
    if (!cl.bindAddress.empty()) return cl.bindAddress;
    if (envBind && *envBind) return envBind;
    return cl.launchedOnDemand ? kBindLoopback : kBindAll;
}

ServerLifetime::ServerLifetime(kj::Timer& timer, kj::Duration idle, bool persist)
    : m_timer(timer), m_idle(idle), m_persist(persist),
      m_expired(kj::newPromiseAndFulfiller<void>()) {}

void ServerLifetime::AddRef() {
    ++m_count;
    m_idleWait = nullptr;  // a new object within the idle time keeps us up
}

void ServerLifetime::Release() {
    KJ_ASSERT(m_count > 0, "object count underflow");
    if (--m_count == 0) Arm();
}

void ServerLifetime::ArmIfIdle() {
    if (m_count == 0) Arm();
}

void ServerLifetime::Arm() {
    if (m_persist) return;
    m_idleWait = m_timer.afterDelay(m_idle)
                     .then([this]() {
                         if (m_count == 0) m_expired.fulfiller->fulfill();
                     })
                     .eagerlyEvaluate(nullptr);
}

kj::Promise<void> ServerLifetime::WhenIdleExpired() { return kj::mv(m_expired.promise); }

namespace {

// One client connection: its RPC system creates one object per bootstrap
// request and keeps no reference to it, so the object dies as soon as the
// client drops it.
class Connection final : public capnp::BootstrapFactory<capnp::rpc::twoparty::VatId> {
public:
    Connection(kj::Own<kj::AsyncIoStream> stream, ObjectFactory& factory,
               ServerLifetime& lifetime)
        : m_stream(kj::mv(stream)),
          m_network(*m_stream, capnp::rpc::twoparty::Side::SERVER),
          m_factory(factory),
          m_lifetime(lifetime),
          m_rpc(capnp::makeRpcServer(m_network, *this)) {}

    capnp::Capability::Client createFor(capnp::rpc::twoparty::VatId::Reader) override {
        return m_factory(ObjectRef(m_lifetime));
    }

    kj::Promise<void> OnDisconnect() { return m_network.onDisconnect(); }

private:
    kj::Own<kj::AsyncIoStream> m_stream;
    capnp::TwoPartyVatNetwork m_network;
    ObjectFactory& m_factory;
    ServerLifetime& m_lifetime;
    capnp::RpcSystem<capnp::rpc::twoparty::VatId> m_rpc;
};

// Small RPC messages (slot numbers, statuses) must not wait for Nagle.
void SetNoDelay(kj::AsyncIoStream& stream) {
    int one = 1;
    (void)kj::runCatchingExceptions(
        [&]() { stream.setsockopt(IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)); });
}

class LoggingErrorHandler final : public kj::TaskSet::ErrorHandler {
public:
    void taskFailed(kj::Exception&& exception) override {
        // A broken client connection is normal; it only ends that client.
        (void)exception;
    }
};

kj::Promise<void> AcceptLoop(kj::ConnectionReceiver& listener, kj::TaskSet& connections,
                             ObjectFactory& factory, ServerLifetime& lifetime) {
    return listener.accept().then(
        [&listener, &connections, &factory, &lifetime](kj::Own<kj::AsyncIoStream> stream) {
            SetNoDelay(*stream);
            auto connection = kj::heap<Connection>(kj::mv(stream), factory, lifetime);
            auto done = connection->OnDisconnect();
            connections.add(done.attach(kj::mv(connection)));
            return AcceptLoop(listener, connections, factory, lifetime);
        });
}

}  // namespace

int Serve(kj::AsyncIoContext& io, const ServeOptions& options, const char* serverName,
          ObjectFactory factory, const std::function<void(uint16_t)>& onListening) {
    kj::Own<kj::ConnectionReceiver> listener;
    KJ_IF_MAYBE(exception, kj::runCatchingExceptions([&]() {
                    if (options.inheritedListenFd >= 0) {
                        listener = io.lowLevelProvider->wrapListenSocketFd(
                            options.inheritedListenFd,
                            kj::LowLevelAsyncIoProvider::TAKE_OWNERSHIP);
                    } else {
                        auto address = io.provider->getNetwork()
                                           .parseAddress(options.bindAddress, options.port)
                                           .wait(io.waitScope);
                        listener = address->listen();
                    }
                })) {
        std::fprintf(stderr, "%s: cannot listen on %s port %u: %s\n", serverName,
                     options.bindAddress.c_str(), static_cast<unsigned>(options.port),
                     exception->getDescription().cStr());
        return 1;
    }

    ServerLifetime lifetime(io.provider->getTimer(), options.idle, options.persist);
    LoggingErrorHandler errorHandler;
    {
        kj::TaskSet connections(errorHandler);
        if (options.armAtStart) lifetime.ArmIfIdle();
        auto accepting = AcceptLoop(*listener, connections, factory, lifetime)
                             .eagerlyEvaluate([](kj::Exception&&) {});
        auto stop = lifetime.WhenIdleExpired();
        if (options.handleSignals) {
            stop = stop.exclusiveJoin(io.unixEventPort.onSignal(SIGTERM).ignoreResult())
                       .exclusiveJoin(io.unixEventPort.onSignal(SIGINT).ignoreResult());
        }
        if (onListening) onListening(static_cast<uint16_t>(listener->getPort()));
        stop.wait(io.waitScope);
        // Stop taking clients first, then let the connections (and with
        // them every remaining object) go.
        accepting = kj::READY_NOW;
        listener = nullptr;
    }
    return 0;
}

int TakeInheritedListenFd() {
    const char* pid = std::getenv("LISTEN_PID");
    const char* fds = std::getenv("LISTEN_FDS");
    int fd = -1;
    if (pid && fds && std::strtol(pid, nullptr, 10) == static_cast<long>(getpid()) &&
        std::strtol(fds, nullptr, 10) >= 1) {
        fd = kFirstListenFd;
    }
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    return fd;
}

std::string ProgramPath() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0) return "";
    return std::string(buffer, static_cast<size_t>(n));
}

namespace {

void PrintServerHelp(const ClassInfo& cls, const ServerHooks& hooks) {
    std::printf(
        "usage: %s [-RegServer | -UnregServer] [--bind ADDR] [--port N] [--persist]%s\n"
        "\n"
        "Component server of class %s (%s, %s).\n"
        "\n"
        "  -RegServer, /regserver   register the class under $VOXA_ROOT/registry and exit\n"
        "  -UnregServer             remove the registration and exit\n"
        "  (no switch)              serve; exits 5 s after its last object is released\n"
        "  --bind ADDR              address to listen on (default $VOXA_BIND, else\n"
        "                           127.0.0.1 when launched on demand by a local\n"
        "                           client with -Embedding, else all addresses)\n"
        "  --port N                 TCP port (default $%s, else the registered port,\n"
        "                           else %u); with -RegServer the port to register\n"
        "  --persist                keep serving when idle (started by hand)\n"
        "%s"
        "  --help                   this text\n"
        "\n"
        "A listening socket passed by the service manager (LISTEN_FDS) is used in place\n"
        "of --bind/--port.\n",
        cls.serverName, hooks.valueOptions.empty() ? "" : " [options]", cls.className,
        cls.progId, cls.clsid, cls.portEnv, static_cast<unsigned>(cls.defaultPort),
        hooks.optionHelp.c_str());
}

}  // namespace

int RunServerMain(int argc, char** argv, const ClassInfo& cls, const ServerHooks& hooks) {
    std::vector<std::string> args(argv + 1, argv + argc);
    ServerCommandLine cl = ParseServerCommandLine(args, hooks.valueOptions);
    std::string error;
    switch (cl.action) {
    case ServerAction::kHelp:
        PrintServerHelp(cls, hooks);
        return 0;
    case ServerAction::kError:
        std::fprintf(stderr, "%s: %s (try --help)\n", cls.serverName, cl.error.c_str());
        return 2;
    case ServerAction::kRegister: {
        uint16_t port = cl.port ? *cl.port : ClassPort(cls);
        int result = RegisterClass(cls, ProgramPath(), port, &error);
        if (result != 0) std::fprintf(stderr, "%s: %s\n", cls.serverName, error.c_str());
        return result == 0 ? 0 : 1;
    }
    case ServerAction::kUnregister: {
        int result = UnregisterClass(cls, &error);
        if (result != 0) std::fprintf(stderr, "%s: %s\n", cls.serverName, error.c_str());
        return result == 0 ? 0 : 1;
    }
    case ServerAction::kServe:
        break;
    }

    ServeOptions options;
    options.inheritedListenFd = TakeInheritedListenFd();
    options.port = cl.port ? *cl.port : ClassPort(cls);
    options.bindAddress = ChooseBindAddress(cl, std::getenv("VOXA_BIND"));
    options.persist = cl.persist;
    options.armAtStart = cl.launchedOnDemand || options.inheritedListenFd >= 0;

    // Signals are captured before any thread exists, so every thread
    // inherits them blocked and the event loop receives them.
    kj::UnixEventPort::captureSignal(SIGTERM);
    kj::UnixEventPort::captureSignal(SIGINT);
    std::signal(SIGPIPE, SIG_IGN);
    auto io = kj::setupAsyncIo();
    std::optional<ObjectFactory> factory = hooks.makeFactory(cl, io, &error);
    if (!factory) {
        std::fprintf(stderr, "%s: %s\n", cls.serverName, error.c_str());
        return 2;
    }
    return Serve(io, options, cls.serverName, kj::mv(*factory));
}

}  // namespace voxa::hosting
