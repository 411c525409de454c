#include "hosting/activation.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <kj/debug.h>

#include "platform/unique_fd.h"

namespace voxa::hosting {

namespace {

constexpr int kRetryMs = 20;
constexpr const char* kEmbeddingArg = "-Embedding";
constexpr const char* kLoopback = "127.0.0.1";

kj::Maybe<kj::Own<kj::AsyncIoStream>> TryConnect(kj::AsyncIoContext& io, const std::string& host,
                                                  uint16_t port, std::string* error) {
    kj::Maybe<kj::Own<kj::AsyncIoStream>> result;
    KJ_IF_MAYBE(exception, kj::runCatchingExceptions([&]() {
                    auto address =
                        io.provider->getNetwork().parseAddress(host, port).wait(io.waitScope);
                    result = address->connect().wait(io.waitScope);
                })) {
        if (error) *error = exception->getDescription().cStr();
        return nullptr;
    }
    return result;
}

// A local host is reached through its own address, else through loopback,
// where a server launched on demand listens.
kj::Maybe<kj::Own<kj::AsyncIoStream>> TryConnectLocal(kj::AsyncIoContext& io,
                                                       const std::string& host, uint16_t port,
                                                       std::string* error) {
    auto stream = TryConnect(io, host, port, error);
    if (stream != nullptr || host == kLoopback) return stream;
    return TryConnect(io, kLoopback, port, error);
}

// Starts program detached from this process (its own session, standard
// streams on /dev/null), so that it outlives the client and holds none of
// its pipes. Returns false when it cannot be started.
bool LaunchDetached(const std::string& program) {
    const char* argv[] = {program.c_str(), kEmbeddingArg, nullptr};
    pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        // Only async-signal-safe calls from here on.
        ::setsid();
        pid_t grandchild = ::fork();
        if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        for (int fd = 3; fd < 1024; ++fd) ::close(fd);
        ::execv(program.c_str(), const_cast<char* const*>(argv));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

RemoteObject::RemoteObject(kj::Own<kj::AsyncIoStream> stream)
    : m_stream(kj::mv(stream)), m_client(*m_stream), m_cap(m_client.bootstrap()) {}

bool IsLocalHost(std::string_view host) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    std::string name(host);
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0) return false;
    bool local = false;
    for (addrinfo* a = found; a && !local; a = a->ai_next) {
        // An address is ours exactly when we can bind to it.
        UniqueFd fd(::socket(a->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (!fd) continue;
        local = ::bind(fd.Get(), a->ai_addr, a->ai_addrlen) == 0;
    }
    ::freeaddrinfo(found);
    return local;
}

int CreateInstanceOnHost(kj::AsyncIoContext& io, const ClassInfo& cls, std::string_view host,
                         kj::Own<RemoteObject>* object, std::string* error,
                         const ActivationOptions& options) {
    const std::string hostName(host);
    const uint16_t port = ClassPort(cls);
    std::string connectError;
    auto stream = TryConnect(io, hostName, port, &connectError);
    const bool local = stream == nullptr && IsLocalHost(hostName);
    // A server launched on demand listens on loopback only, which the
    // host's name may not resolve to.
    if (local && hostName != kLoopback) stream = TryConnect(io, kLoopback, port, nullptr);
    if (stream == nullptr) {
        if (!options.launchLocal || !local) {
            if (error) *error = connectError;
            addrinfo* found = nullptr;
            if (::getaddrinfo(hostName.c_str(), nullptr, nullptr, &found) != 0)
                return kActivationBadHost;
            ::freeaddrinfo(found);
            return kActivationNoServer;
        }
        auto entry = LookUpClass(cls);
        std::string program;
        if (entry) {
            auto it = entry->find("LocalServer32");
            if (it != entry->end()) program = it->second;
        }
        if (program.empty()) {
            if (error) *error = std::string("class ") + cls.className + " is not registered";
            return kActivationNoServer;
        }
        if (!LaunchDetached(program)) {
            if (error) *error = "cannot start " + program;
            return kActivationLaunchFailed;
        }
        auto& timer = io.provider->getTimer();
        for (int waited = 0; waited <= options.launchWaitMs; waited += kRetryMs) {
            timer.afterDelay(kRetryMs * kj::MILLISECONDS).wait(io.waitScope);
            stream = TryConnectLocal(io, hostName, port, &connectError);
            if (stream != nullptr) break;
        }
        if (stream == nullptr) {
            if (error) *error = program + " did not listen on port " + std::to_string(port);
            return kActivationLaunchFailed;
        }
    }
    KJ_IF_MAYBE(s, stream) {
        int one = 1;
        (void)kj::runCatchingExceptions(
            [&]() { (*s)->setsockopt(IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)); });
        *object = kj::heap<RemoteObject>(kj::mv(*s));
    }
    return 0;
}

}  // namespace voxa::hosting
