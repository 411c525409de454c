#include "fileport/remote_files_client.h"

#include "hosting/class_registry.h"
#include "hosting/interfaces.capnp.h"

#include <kj/debug.h>

#include <deque>

namespace voxa::fileport {

struct RemoteFilesClient::Impl {
    Impl(kj::AsyncIoContext& io, kj::Own<hosting::RemoteObject> object)
        : io(io), object(kj::mv(object)), cap(this->object->As<rpc::IRemoteFiles>()) {}
    kj::AsyncIoContext& io;
    kj::Own<hosting::RemoteObject> object;
    rpc::IRemoteFiles::Client cap;
};

namespace {

Status CallFailed(const char* what, const kj::Exception& e) {
    return Unavailable(std::string(what) + " failed: " + e.getDescription().cStr());
}

// Runs f, turning a KJ exception (a broken connection) into a Status.
template <typename F>
Status Guard(const char* what, F&& f) {
    Status status;
    KJ_IF_MAYBE(e, kj::runCatchingExceptions([&]() { f(); })) { status = CallFailed(what, *e); }
    return status;
}

}  // namespace

RemoteFilesClient::RemoteFilesClient(kj::AsyncIoContext& io, kj::Own<hosting::RemoteObject> object)
    : m_impl(std::make_unique<Impl>(io, kj::mv(object))) {}

RemoteFilesClient::~RemoteFilesClient() = default;

Result<std::unique_ptr<RemoteFilesClient>> RemoteFilesClient::Connect(kj::AsyncIoContext& io,
                                                                      const std::string& host) {
    kj::Own<hosting::RemoteObject> object;
    std::string error;
    int rc = -1;
    Status status = Guard("activation", [&]() {
        rc = hosting::CreateInstanceOnHost(io, hosting::RemoteFilesClass(), host, &object, &error);
    });
    if (!status.ok()) return status;
    if (rc < 0) return Unavailable(host + ": " + error);
    return std::unique_ptr<RemoteFilesClient>(new RemoteFilesClient(io, kj::mv(object)));
}

Result<std::string> RemoteFilesClient::GetFileList(const std::string& dir, const std::string& filter) {
    std::string text;
    VOXA_TRY(Guard("GetFileList", [&]() {
        auto request = m_impl->cap.getFileListRequest();
        request.setWcDir(dir);
        request.setWcFilter(filter);
        auto reply = request.send().wait(m_impl->io.waitScope);
        text = reply.getWcList().cStr();
    }));
    return text;
}

Result<float> RemoteFilesClient::TestGet() {
    float value = 0;
    VOXA_TRY(Guard("TestGet", [&]() {
        value = m_impl->cap.testGetRequest().send().wait(m_impl->io.waitScope).getYy();
    }));
    return value;
}

Result<std::string> RemoteFilesClient::GetPartFile(const std::string& path, int64_t offset,
                                                   int32_t size) {
    if (offset < 0 || offset >= (int64_t{1} << 32))
        return Refused("offset beyond what GetPartFile can address");
    std::string bytes;
    VOXA_TRY(Guard("GetPartFile", [&]() {
        auto request = m_impl->cap.getPartFileRequest();
        request.setWcFile(path);
        request.setLOffset(static_cast<int32_t>(static_cast<uint32_t>(offset)));
        request.setLSize(size);
        auto reply = request.send().wait(m_impl->io.waitScope);
        auto data = reply.getPData();
        bytes.assign(reinterpret_cast<const char*>(data.begin()), data.size());
    }));
    return bytes;
}

Result<std::string> RemoteFilesClient::GetFile(const std::string& path) {
    std::string bytes;
    VOXA_TRY(Guard("GetFile", [&]() {
        auto request = m_impl->cap.getFileRequest();
        request.setWcFile(path);
        auto reply = request.send().wait(m_impl->io.waitScope);
        auto data = reply.getPData();
        bytes.assign(reinterpret_cast<const char*>(data.begin()), data.size());
    }));
    return bytes;
}

Status RemoteFilesClient::FetchPieces(const std::string& path, const std::vector<Piece>& pieces,
                                      const PieceSink& sink, const std::function<bool()>& stop,
                                      int window, const PieceRelease& release, int hold) {
    for (const Piece& p : pieces) {
        if (p.offset < 0 || p.size < 0 || p.offset + p.size > (int64_t{1} << 32))
            return Refused("piece beyond what GetPartFile can address");
    }
    using Reply = capnp::Response<rpc::IRemoteFiles::GetPartFileResults>;
    // Replies whose bytes sink took and may still be using; released (and
    // only then dropped) oldest first. Declared before inFlight so that it
    // outlives every exit from the loop below.
    std::deque<std::pair<size_t, Reply>> held;
    const size_t keep = release ? static_cast<size_t>(std::max(0, hold)) : 0;
    Status status;
    auto releaseOldest = [&]() {
        Status st = release(held.front().first);
        held.pop_front();
        if (status.ok() && !st.ok()) status = st;
    };
    {
        std::deque<kj::Promise<Reply>> inFlight;
        size_t next = 0;
        auto send = [&]() {
            auto request = m_impl->cap.getPartFileRequest();
            request.setWcFile(path);
            request.setLOffset(static_cast<int32_t>(static_cast<uint32_t>(pieces[next].offset)));
            request.setLSize(pieces[next].size);
            inFlight.push_back(request.send());
            ++next;
        };
        Status guard = Guard("GetPartFile", [&]() {
            for (size_t done = 0; done < pieces.size(); ++done) {
                if (stop && stop()) {
                    status = Failed("stopped");
                    return;
                }
                while (next < pieces.size() &&
                       inFlight.size() < static_cast<size_t>(std::max(1, window)))
                    send();
                Reply reply = inFlight.front().wait(m_impl->io.waitScope);
                inFlight.pop_front();
                auto data = reply.getPData();
                if (data.size() != static_cast<size_t>(pieces[done].size)) {
                    status = IoError("piece at byte " + std::to_string(pieces[done].offset) +
                                     " came back with " + std::to_string(data.size()) + " of " +
                                     std::to_string(pieces[done].size) + " bytes");
                    return;
                }
                status = sink(done, data.begin(), data.size());
                if (!status.ok()) return;
                if (release) {
                    held.emplace_back(done, kj::mv(reply));
                    while (held.size() > keep) {
                        releaseOldest();
                        if (!status.ok()) return;
                    }
                }
            }
        });
        if (status.ok() && !guard.ok()) status = guard;
    }
    while (!held.empty()) releaseOldest();
    return status;
}

std::string ExactFilter(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (c == '*' || c == '?' || c == '[' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

std::string RemotePath(const std::string& directory, const std::string& name) {
    const bool backslashes = directory.find('\\') != std::string::npos;
    std::string path = directory;
    const char sep = backslashes ? '\\' : '/';
    if (path.empty() || (path.back() != '/' && path.back() != '\\')) path += sep;
    return path + name;
}

}  // namespace voxa::fileport
