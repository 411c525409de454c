// Job texts read from the FileJobs table: a location ("host:dir") and a
// file name. The first line of the input is the location, the rest the
// name. A split must keep every byte but the colon and never leave a
// backslash; an accepted name must be a plain name that no shell and no
// option parser would act on.
#include "fileport/filejobd.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    size_t nl = text.find('\n');
    std::string_view location = text.substr(0, nl);
    std::string_view name = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);

    voxa::fileport::Location loc = voxa::fileport::SplitLocation(location);
    const bool cut = loc.host.size() != location.size();
    if (loc.host.size() + loc.dir.size() + (cut ? 1 : 0) != location.size()) std::abort();
    if (loc.host.find('\\') != std::string::npos || loc.dir.find('\\') != std::string::npos)
        std::abort();
    if (cut && loc.host.size() > 1 && loc.host.find(':', 1) != std::string::npos) std::abort();

    if (voxa::fileport::CheckJobFileName(name).ok()) {
        if (name.empty() || name.size() > 255 || name[0] == '-' || name == "." || name == "..")
            std::abort();
        for (char c : name)
            if (std::strchr(" ;&|$`<>()'\"\\/*?~!\n\t\r", c) != nullptr || c == '\0') std::abort();
    }
    return 0;
}
