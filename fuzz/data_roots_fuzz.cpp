// Paths from the network against the data roots: a path that passes the
// check is an absolute path of at most 255 bytes inside a root, without a
// ".." component; "@" at the start of an input stands for the root, so the
// corpus can name paths inside it.
#include "platform/data_roots.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

struct Root {
    std::string dir;
    voxa::DataRoots roots;
    Root() {
        char name[] = "/dev/shm/voxa_fuzz_roots_XXXXXX";  // memory: no disk writes per input
        if (::mkdtemp(name) == nullptr) {
            std::snprintf(name, sizeof name, "/tmp/voxa_fuzz_roots_XXXXXX");
            if (::mkdtemp(name) == nullptr) std::abort();
        }
        dir = name;
        std::filesystem::create_directories(dir + "/sub/deeper");
        if (!roots.Add(dir).ok()) std::abort();
        // A link out of the root must never be served through.
        std::filesystem::create_symlink("/etc", dir + "/out");
    }
    ~Root() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Root& TheRoot() {
    static Root root;
    return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Root& root = TheRoot();
    std::string path(reinterpret_cast<const char*>(data), size);
    if (!path.empty() && path[0] == '@') path = root.dir + path.substr(1);
    voxa::Result<voxa::ServedPath> checked = root.roots.Check(path);
    if (!checked.ok()) {
        if (checked.status().message().empty()) std::abort();
        return 0;
    }
    const voxa::ServedPath& served = *checked;
    const std::string& full = served.full;
    const std::string& base = root.roots.Roots().at(served.root);
    if (full.size() > voxa::kMaxFileName) std::abort();
    if (full.compare(0, base.size(), base) != 0 || (full.size() > base.size() && full[base.size()] != '/'))
        std::abort();
    if (full.find("/../") != std::string::npos || full.find("/./") != std::string::npos) std::abort();
    if (full.size() >= 3 && full.compare(full.size() - 3, 3, "/..") == 0) std::abort();
    if (served.relative.empty() || full != base + "/" + served.relative) std::abort();
    // Opening it never leaves the root: whatever opens is beneath it.
    int err = 0;
    voxa::UniqueFd fd = root.roots.Open(served, O_RDONLY, 0, &err);
    if (fd) {
        char link[64], target[4096];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd.Get());
        ssize_t n = ::readlink(link, target, sizeof target - 1);
        if (n > 0) {
            target[n] = '\0';
            if (std::string(target).compare(0, root.dir.size(), root.dir) != 0) std::abort();
        }
    }
    return 0;
}
