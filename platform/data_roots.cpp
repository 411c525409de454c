#include "platform/data_roots.h"

#include "platform/paths.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace voxa {

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
        // "." components of the missing part name nothing: dropped, so the
        // served name is canonical there too.
        if (!last.empty() && last != ".") rest = rest.empty() ? last : last + "/" + rest;
        existing = slash == 0 ? "/" : existing.substr(0, slash);
    }
}

// openat2 has no C library wrapper before glibc 2.38.
int OpenAt2(int dirFd, const char* path, int flags, mode_t mode, uint64_t resolve) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags);
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = resolve;
    return static_cast<int>(::syscall(SYS_openat2, dirFd, path, &how, sizeof(how)));
}

constexpr int kOpenRetries = 8;
constexpr uint64_t kBeneath = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;

bool OpenAt2Works() {
    UniqueFd fd(OpenAt2(AT_FDCWD, "/", O_PATH | O_CLOEXEC, 0, 0));
    return static_cast<bool>(fd);
}

}  // namespace

DataRoots::DataRoots() : m_beneath(OpenAt2Works()) {}

Status DataRoots::Add(const std::string& dir) {
    std::string canonical = Canonical(dir);
    struct stat st{};
    if (canonical.empty() || ::stat(canonical.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return NotFound("data root is not a directory: " + dir);
    if (canonical.size() > 1 && canonical.back() == '/') canonical.pop_back();
    UniqueFd fd(::open(canonical.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return IoError("data root cannot be opened: " + dir + " (" + std::strerror(errno) + ")");
    m_roots.push_back(canonical);
    m_rootFds.push_back(std::move(fd));
    return Status::Ok();
}

Status DataRoots::AddFromFile(const std::string& file, std::vector<std::string>* skipped) {
    std::ifstream in(file);
    if (!in) return NotFound("cannot read roots file " + file);
    std::string line;
    for (int lineNumber = 1; std::getline(in, line); ++lineNumber) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        Status added = Add(line);
        if (!added.ok() && skipped)
            skipped->push_back(file + " line " + std::to_string(lineNumber) + ": " + added.message());
    }
    return Status::Ok();
}

Result<ServedPath> DataRoots::Check(std::string_view path) const {
    // A NUL byte would end the name where the system opens it: the file
    // opened would not be the one checked.
    if (path.find('\0') != std::string_view::npos) return Refused("path contains a NUL byte");
    std::string linuxPath = DrivePath(path);
    if (linuxPath.size() > kMaxFileName) return Refused("file name longer than 255 characters");
    if (linuxPath.empty() || linuxPath[0] != '/') return Refused("not a full path: " + linuxPath);
    if (HasDotDot(linuxPath)) return Refused("path contains \"..\": " + linuxPath);
    std::string canonical = CanonicalOfMaybeMissing(linuxPath);
    for (size_t i = 0; i < m_roots.size(); ++i) {
        const std::string& root = m_roots[i];
        if (canonical.size() > root.size() && canonical.compare(0, root.size(), root) == 0 &&
            (root == "/" || canonical[root.size()] == '/')) {
            ServedPath served;
            served.full = canonical;
            served.root = i;
            served.relative = canonical.substr(root == "/" ? 1 : root.size() + 1);
            return served;
        }
    }
    return Refused("outside the data roots: " + linuxPath);
}

UniqueFd DataRoots::Open(const ServedPath& path, int flags, mode_t mode, int* err) const {
    flags |= O_CLOEXEC;
    int fd = -1;
    if (path.root >= m_rootFds.size() || path.relative.empty()) {
        errno = EINVAL;
    } else if (m_beneath) {
        // EAGAIN: a rename raced the look-up and the kernel asks to retry.
        for (int attempt = 0; attempt < kOpenRetries; ++attempt) {
            fd = OpenAt2(m_rootFds[path.root].Get(), path.relative.c_str(), flags, mode, kBeneath);
            if (fd >= 0 || errno != EAGAIN) break;
        }
    } else {
        fd = ::open(path.full.c_str(), flags | O_NOFOLLOW, mode);
    }
    if (fd < 0 && err) *err = errno;
    return UniqueFd(fd);
}

}  // namespace voxa
