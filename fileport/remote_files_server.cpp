#include "fileport/remote_files_server.h"

#include "fileport/lists.h"
#include "hosting/data_root_options.h"
#include "platform/paths.h"

#include <capnp/orphan.h>

#include <dirent.h>
#include <malloc.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace voxa::fileport {
namespace {

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

std::string RealPath(const std::string& path) {
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf) == nullptr) return "";
    return buf;
}

// Size of a directory entry: its length when it is a regular file that can
// be opened for reading, else -1. Never follows a link, never blocks.
int64_t EntrySize(int dirFd, const char* name) {
    struct stat st{};
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return -1;
    UniqueFd fd(::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

}  // namespace

RemoteFilesService::RemoteFilesService(DataRoots roots) : m_roots(std::move(roots)) {}

Result<std::string> RemoteFilesService::Resolve(const std::string& name) const {
    std::string path = DrivePath(name);
    if (path.empty()) return InvalidArgument("empty name");
    if (path[0] != '/') {
        if (m_listingDir.empty()) return Refused("relative name before any listing: " + path);
        path = m_listingDir + "/" + path;
    }
    return path;
}

std::string RemoteFilesService::GetFileList(const std::string& dir, const std::string& filter) {
    if (filter.empty() || filter.size() > kMaxFileName || filter.find('/') != std::string::npos)
        return "";
    auto path = Resolve(dir);
    if (!path.ok()) return "";
    UniqueFd dirFd;
    std::string canonical;
    if (Result<ServedPath> served = m_roots.Check(*path); served.ok()) {
        int err = 0;
        dirFd = m_roots.Open(*served, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0, &err);
        canonical = served->full;
    } else {
        // A root itself is listable too (Check serves only what lies below one).
        std::string real = RealPath(*path);
        for (const std::string& root : m_roots.Roots()) {
            if (!real.empty() && real == root) {
                dirFd = UniqueFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
                canonical = root;
            }
        }
    }
    if (!dirFd) return "";
    m_listingDir = canonical;

    UniqueDir d(::fdopendir(::dup(dirFd.Get())));
    if (!d) return "";
    std::string text;
    while (dirent* e = ::readdir(d.get())) {
        if (::fnmatch(filter.c_str(), e->d_name, 0) != 0) continue;
        // The list text has no escape: a name with a comma would shift
        // every name and size after it, so it is left out.
        if (std::strchr(e->d_name, ',') != nullptr) continue;
        std::string entry;
        AppendListEntry(&entry, e->d_name, EntrySize(dirFd.Get(), e->d_name));
        if (text.size() + entry.size() + 1 > kMaxListText) break;  // cut after the last whole entry
        if (!text.empty()) text += ',';
        text += entry;
    }
    return text;
}

Result<UniqueFd> RemoteFilesService::OpenFile(const std::string& name, int64_t* size) const {
    VOXA_ASSIGN_OR_RETURN(std::string path, Resolve(name));
    VOXA_ASSIGN_OR_RETURN(ServedPath served, m_roots.Check(path));
    int err = 0;
    UniqueFd fd = m_roots.Open(served, O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0, &err);
    if (!fd) return NotFound(served.full + ": " + std::strerror(err));
    struct stat st{};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return Refused(served.full + ": not a regular file");
    *size = static_cast<int64_t>(st.st_size);
    return fd;
}

Result<size_t> RemoteFilesService::ReadPart(const std::string& name, uint32_t offset, int32_t size,
                                            unsigned char* dest) const {
    if (size < 0) return Refused("negative size");
    if (size > kMaxTransferBytes) return Refused("size over the transfer limit");
    int64_t fileSize = 0;
    VOXA_ASSIGN_OR_RETURN(UniqueFd fd, OpenFile(name, &fileSize));
    // Each call opens the file afresh, which loses the kernel's read-ahead
    // state: ask for this range whole, and for the range after it, so that
    // a client reading a file piece by piece finds the next piece on its way.
    ::posix_fadvise(fd.Get(), static_cast<off_t>(offset), size, POSIX_FADV_SEQUENTIAL);
    size_t done = 0;
    while (done < static_cast<size_t>(size)) {
        ssize_t n = ::pread(fd.Get(), dest + done, static_cast<size_t>(size) - done,
                            static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return IoError(name + ": " + std::strerror(errno));
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    if (done == static_cast<size_t>(size) && static_cast<int64_t>(offset) + size < fileSize)
        ::posix_fadvise(fd.Get(), static_cast<off_t>(offset) + size, size, POSIX_FADV_WILLNEED);
    return done;
}

RemoteFilesImpl::RemoteFilesImpl(RemoteFilesService& service, hosting::ObjectRef ref)
    : m_service(service), m_ref(std::move(ref)) {}

kj::Promise<void> RemoteFilesImpl::getFileList(GetFileListContext context) {
    auto p = context.getParams();
    std::string text = m_service.GetFileList(p.getWcDir().cStr(), p.getWcFilter().cStr());
    context.getResults().setWcList(text);
    return kj::READY_NOW;
}

kj::Promise<void> RemoteFilesImpl::getFile(GetFileContext context) {
    std::string name = context.getParams().getWcFile().cStr();
    context.releaseParams();
    int64_t size = 0;
    auto fd = m_service.OpenFile(name, &size);
    if (!fd.ok() || size > kMaxTransferBytes) {
        context.getResults().initPData(0);
        return kj::READY_NOW;
    }
    // Read into the reply itself; the file may have shrunk since fstat.
    auto orphanage = capnp::Orphanage::getForMessageContaining(context.getResults());
    auto orphan = orphanage.newOrphan<capnp::Data>(static_cast<unsigned>(size));
    auto* dest = orphan.get().begin();
    auto got = m_service.ReadPart(name, 0, static_cast<int32_t>(size), dest);
    orphan.truncate(got.ok() ? static_cast<unsigned>(*got) : 0u);
    context.getResults().adoptPData(kj::mv(orphan));
    return kj::READY_NOW;
}

kj::Promise<void> RemoteFilesImpl::testGet(TestGetContext context) {
    context.getResults().setYy(kTestGetValue);
    return kj::READY_NOW;
}

kj::Promise<void> RemoteFilesImpl::getPartFile(GetPartFileContext context) {
    auto p = context.getParams();
    std::string name = p.getWcFile().cStr();
    const int32_t size = p.getLSize();
    // The offset travels as a signed 32-bit number and is taken as an
    // unsigned position, so ranges within the first 4 GiB can be asked for.
    const uint32_t offset = static_cast<uint32_t>(p.getLOffset());
    context.releaseParams();
    if (size <= 0 || size > kMaxTransferBytes) {
        context.getResults().initPData(0);
        return kj::READY_NOW;
    }
    auto orphanage = capnp::Orphanage::getForMessageContaining(context.getResults());
    auto orphan = orphanage.newOrphan<capnp::Data>(static_cast<unsigned>(size));
    auto got = m_service.ReadPart(name, offset, size, orphan.get().begin());
    orphan.truncate(got.ok() ? static_cast<unsigned>(*got) : 0u);
    context.getResults().adoptPData(kj::mv(orphan));
    return kj::READY_NOW;
}

void KeepTransferMemory() {
    ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 256 << 20);
}

std::optional<hosting::ObjectFactory> MakeRemoteFilesFactory(const hosting::ServerCommandLine& cl,
                                                             kj::AsyncIoContext&,
                                                             std::string* error) {
    DataRoots roots;
    std::vector<std::string> warnings;
    if (!hosting::BuildDataRoots(cl, &roots, &warnings, error)) return std::nullopt;
    for (const std::string& warning : warnings)
        std::fprintf(stderr, "fileport_server: warning: %s\n", warning.c_str());
    KeepTransferMemory();
    auto service = std::make_shared<RemoteFilesService>(std::move(roots));
    return hosting::ObjectFactory([service](hosting::ObjectRef ref) -> capnp::Capability::Client {
        return kj::heap<RemoteFilesImpl>(*service, std::move(ref));
    });
}

}  // namespace voxa::fileport
