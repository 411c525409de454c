// Client activation: an object of a class on a named host.
//
// CreateInstanceOnHost connects to the class's port on the host (a host
// name or an address) and asks for one object; the result owns the
// connection and the capability, and destroying it releases the object.
// When the host is this machine and nothing listens at its address, the
// client connects through loopback (127.0.0.1), where a server launched on
// demand listens; when nothing listens there either, the server program
// registered for the class (LocalServer32) is launched with "-Embedding"
// and connected to as soon as it listens, like a local server launched on
// demand. A failure gives a negative result and a message; the caller
// reports it as its own activation failure.
//
// Thread: the caller's thread, which owns the KJ event loop of io.
#pragma once

#include "hosting/class_registry.h"

#include <capnp/capability.h>
#include <capnp/rpc-twoparty.h>
#include <kj/async-io.h>

#include <string>
#include <string_view>

namespace voxa::hosting {

inline constexpr int kActivationBadHost = -1;     // host name does not resolve
inline constexpr int kActivationNoServer = -2;    // nothing listens, nothing to launch
inline constexpr int kActivationLaunchFailed = -3;  // launched, but it never listened

class RemoteObject {
public:
    RemoteObject(kj::Own<kj::AsyncIoStream> stream);
    template <typename Interface>
    typename Interface::Client As() {
        return m_cap.castAs<Interface>();
    }

private:
    kj::Own<kj::AsyncIoStream> m_stream;
    capnp::TwoPartyClient m_client;
    capnp::Capability::Client m_cap;
};

struct ActivationOptions {
    // How long to wait for a launched server to listen.
    int launchWaitMs = 5000;
    // Launch the registered server when the host is local and nothing listens.
    bool launchLocal = true;
};

// On success returns 0 and sets *object; else a negative result and *error.
int CreateInstanceOnHost(kj::AsyncIoContext& io, const ClassInfo& cls, std::string_view host,
                         kj::Own<RemoteObject>* object, std::string* error,
                         const ActivationOptions& options = {});

// True when host names an address of this machine.
bool IsLocalHost(std::string_view host);

}  // namespace voxa::hosting
