#include "spool/data_roots.h"

#include "platform/paths.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <fstream>

namespace voxa::spool {

namespace {

std::string Canonical(const std::string& path) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer) == nullptr) return "";
    return buffer;
}

bool HasDotDot(std::string_view path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        if (path.substr(start, end - start) == "..") return true;
        start = end + 1;
    }
    return false;
}

// Canonical form of a path whose last parts may not exist yet: the
// deepest existing ancestor is resolved, the rest appended.
std::string CanonicalOfMaybeMissing(const std::string& path) {
    std::string existing = path;
    std::string rest;
    while (true) {
        std::string canonical = Canonical(existing);
        if (!canonical.empty()) {
            if (rest.empty()) return canonical;
            return canonical == "/" ? "/" + rest : canonical + "/" + rest;
        }
        size_t slash = existing.rfind('/');
        if (slash == std::string::npos || existing == "/") return "";
        std::string last = existing.substr(slash + 1);
        if (!last.empty()) rest = rest.empty() ? last : last + "/" + rest;
        existing = slash == 0 ? "/" : existing.substr(0, slash);
    }
}

}  // namespace

bool DataRoots::Add(const std::string& dir, std::string* error) {
    std::string canonical = Canonical(dir);
    struct stat st{};
    if (canonical.empty() || ::stat(canonical.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (error) *error = "data root is not a directory: " + dir;
        return false;
    }
    if (canonical.size() > 1 && canonical.back() == '/') canonical.pop_back();
    m_roots.push_back(canonical);
    return true;
}

bool DataRoots::AddFromFile(const std::string& file, std::string* error) {
    std::ifstream in(file);
    if (!in) {
        if (error) *error = "cannot read " + file;
        return false;
    }
    bool ok = true;
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::string why;
        if (!Add(line, &why)) {
            ok = false;
            if (error) *error = why;
        }
    }
    return ok;
}

bool DataRoots::Check(std::string_view path, std::string* resolved, std::string* reason) const {
    std::string linuxPath = DrivePath(path);
    if (linuxPath.size() > kMaxFileName) {
        *reason = "file name longer than 255 characters";
        return false;
    }
    if (linuxPath.empty() || linuxPath[0] != '/') {
        *reason = "not a full path: " + linuxPath;
        return false;
    }
    if (HasDotDot(linuxPath)) {
        *reason = "path contains \"..\": " + linuxPath;
        return false;
    }
    std::string canonical = CanonicalOfMaybeMissing(linuxPath);
    for (const std::string& root : m_roots) {
        if (canonical.size() > root.size() && canonical.compare(0, root.size(), root) == 0 &&
            (root == "/" || canonical[root.size()] == '/')) {
            *resolved = canonical;
            return true;
        }
    }
    *reason = "outside the data roots: " + linuxPath;
    return false;
}

}  // namespace voxa::spool
