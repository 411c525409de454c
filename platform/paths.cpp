#include "platform/paths.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace voxa {

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return value;
    return fallback;
}

std::string Slashes(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

}  // namespace

bool MakeDirs(const std::string& dir) {
    if (dir.empty()) return false;
    struct stat st{};
    if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos == dir.size() || dir[pos] == '/') {
            std::string part = dir.substr(0, pos);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
    }
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string VoxaRoot() {
    std::string root = EnvOr("VOXA_ROOT", EnvOr("HOME", "/tmp") + "/.voxa");
    MakeDirs(root);
    return root;
}

std::string VoxaShared() { return EnvOr("VOXA_SHARED", "/etc/voxa"); }

std::string JoinPath(std::string_view dir, std::string_view name) {
    std::string out(dir);
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    size_t start = 0;
    while (start < name.size() && (name[start] == '/' || name[start] == '\\')) ++start;
    if (!out.empty() && out != "/") out += '/';
    out += Slashes(name.substr(start));
    return out;
}

std::string DrivePath(std::string_view path) {
    if (path.size() >= 3 && path[1] == ':' && (path[2] == '/' || path[2] == '\\')) {
        char drive = path[0];
        if (drive == 'C' || drive == 'c') return JoinPath(VoxaRoot(), path.substr(3));
        if (drive == 'H' || drive == 'h') return JoinPath(VoxaShared(), path.substr(3));
    }
    return Slashes(path);
}

}  // namespace voxa
