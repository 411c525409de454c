// The local-server shell shared by the component servers (voxa_server,
// reel1, spool, fileport_server).
//
// A server program's main hands its class and a factory of objects to
// RunServerMain, which
//   - scans the command line for "RegServer" / "UnregServer" (after "-" or
//     "/", any case; other tokens are skipped), registers or removes the
//     class entries and exits with the result;
//   - otherwise serves: one process for every client and object, all calls
//     on the main thread one at a time (one KJ event loop), objects and
//     locks counted, exit 5 s after the count falls to zero (a new object
//     within the 5 s keeps the server up).
//
// Each accepted connection is one client; each bootstrap request on it
// creates one object through the factory. The object holds an ObjectRef,
// which counts it until the object is destroyed (the client dropped the
// capability or its connection went away).
//
// Listening: an inherited socket from the service manager (LISTEN_FDS and
// LISTEN_PID; fd 3) or a socket bound to --bind (default VOXA_BIND, else
// loopback for a server launched on demand, else all addresses; see
// ChooseBindAddress) and the class's port (--port, else the class's port
// variable, else the registered port, else the fixed default).
//
// Thread: everything here runs on the main thread, except that worker
// threads a server starts may post nothing into the shell.
#pragma once

#include "hosting/class_registry.h"

#include <capnp/capability.h>
#include <kj/async-io.h>
#include <kj/time.h>
#include <kj/timer.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace voxa::hosting {

enum class ServerAction { kServe, kRegister, kUnregister, kHelp, kError };

struct ServerCommandLine {
    ServerAction action = ServerAction::kServe;
    std::string bindAddress;         // empty: VOXA_BIND, else all addresses
    std::optional<uint16_t> port;    // --port
    bool persist = false;            // --persist: never exit when idle
    bool launchedOnDemand = false;   // "-Embedding": started by a client
    // Server-specific options that take a value, in command-line order.
    std::vector<std::pair<std::string, std::string>> extra;
    std::string error;               // for kError
};

// Parses the arguments after the program name. valueOptions names the
// server's own options that take a value ("--data-root"); they and the
// shell's options may be written "--name value" or "--name=value".
ServerCommandLine ParseServerCommandLine(const std::vector<std::string>& args,
                                         const std::vector<std::string>& valueOptions);

inline constexpr const char* kBindAll = "*";
inline constexpr const char* kBindLoopback = "127.0.0.1";

// The address to listen on without an inherited socket: --bind, else
// envBind ($VOXA_BIND) when set and not empty, else loopback for a server
// launched on demand ("-Embedding": a client on this machine started it and
// connects through loopback, and nobody else should reach its objects
// unasked), else all addresses (started by hand).
std::string ChooseBindAddress(const ServerCommandLine& cl, const char* envBind);

// Object and lock count of the server, and its idle exit. Main thread only.
class ServerLifetime {
public:
    ServerLifetime(kj::Timer& timer, kj::Duration idle, bool persist);

    void AddRef();
    void Release();
    int Count() const { return m_count; }
    // Starts the idle wait while the count is zero (used at start-up by a
    // server launched on demand, so that it ends when nobody comes).
    void ArmIfIdle();
    // Resolves when the idle time has passed with the count at zero. Call once.
    kj::Promise<void> WhenIdleExpired();

private:
    void Arm();

    kj::Timer& m_timer;
    kj::Duration m_idle;
    bool m_persist;
    int m_count = 0;
    kj::Maybe<kj::Promise<void>> m_idleWait;
    kj::PromiseFulfillerPair<void> m_expired;  // promise handed out once
};

// Counts one object (or server lock) for as long as it lives.
class ObjectRef {
public:
    explicit ObjectRef(ServerLifetime& lifetime) : m_lifetime(&lifetime) { lifetime.AddRef(); }
    ObjectRef(ObjectRef&& other) noexcept : m_lifetime(std::exchange(other.m_lifetime, nullptr)) {}
    ObjectRef& operator=(ObjectRef&&) = delete;
    ObjectRef(const ObjectRef&) = delete;
    ~ObjectRef() {
        if (m_lifetime) m_lifetime->Release();
    }

private:
    ServerLifetime* m_lifetime;
};

using ObjectFactory = std::function<capnp::Capability::Client(ObjectRef)>;

struct ServeOptions {
    std::string bindAddress = kBindAll;
    uint16_t port = 0;
    int inheritedListenFd = -1;   // >= 0: serve on this listening socket
    bool persist = false;
    bool armAtStart = false;      // launched on demand or by the service manager
    kj::Duration idle = 5 * kj::SECONDS;
    bool handleSignals = true;    // stop on SIGTERM / SIGINT (captured beforehand)
};

// Serves until the idle time expires or, with handleSignals, SIGTERM / SIGINT
// arrives (both must have been captured with
// kj::UnixEventPort::captureSignal before io was set up). Returns the exit
// status: 0, or 1 when the socket cannot be opened (message on stderr).
// onListening, when set, is called with the bound port once listening.
int Serve(kj::AsyncIoContext& io, const ServeOptions& options, const char* serverName,
          ObjectFactory factory, const std::function<void(uint16_t)>& onListening = {});

// The inherited listening socket (3) when LISTEN_PID names this process
// and LISTEN_FDS >= 1, else -1. Clears both variables.
int TakeInheritedListenFd();

struct ServerHooks {
    // Server-specific options that take a value, and their --help lines.
    std::vector<std::string> valueOptions;
    std::string optionHelp;
    // Builds the server's process-wide state from the command line and
    // returns the object factory; nullopt (message in *error) to refuse.
    // io is the main thread's event loop, which outlives the factory.
    std::function<std::optional<ObjectFactory>(const ServerCommandLine&, kj::AsyncIoContext& io,
                                               std::string* error)>
        makeFactory;
};

// The whole main of a component server.
int RunServerMain(int argc, char** argv, const ClassInfo& cls, const ServerHooks& hooks);

// Full path of the running program (/proc/self/exe).
std::string ProgramPath();

}  // namespace voxa::hosting
