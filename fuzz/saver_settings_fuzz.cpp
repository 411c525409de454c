// The saver's registry key file: reading a value out of any text, and
// writing one into it. A written value must read back as written, and the
// other values of the file must survive the write.
#include "queue/saver_settings.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::optional<long> tumble = voxa::queue::FindRegistryNumber(text, "Tumble");
    if (tumble && (*tumble < INT32_MIN || *tumble > INT32_MAX)) std::abort();

    std::string written = voxa::queue::SetRegistryNumber(text, "Tumble", 0);
    if (voxa::queue::FindRegistryNumber(written, "Tumble") != 0) std::abort();
    // A value of another name keeps its number through the write.
    if (voxa::queue::FindRegistryNumber(written, "Other") !=
        voxa::queue::FindRegistryNumber(text, "Other"))
        std::abort();
    return 0;
}
