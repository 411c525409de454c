// The queue settings file: host, user, password and an optional port or
// socket. Checks the limits of what a parse accepts.
#include "queue/queue_db.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto settings = voxa::queue::ParseQueueSettings(
        std::string_view(reinterpret_cast<const char*>(data), size));
    if (settings.ok()) {
        if (settings->host.size() > 255 || settings->user.size() > 255 ||
            settings->password.size() > 255 || settings->socket.size() > 255 || settings->port > 65535)
            std::abort();
    }
    return 0;
}
