// The client side of RemoteFiles: one object on one host, reached through
// the hosting layer's activation (a local host launches the registered
// fileport_server on demand).
//
// Every call turns a failed call (refused connection, server gone) into a
// Status; nothing here throws. FetchPieces keeps several GetPartFile calls
// in flight and insists on exactly the bytes asked for: a short or empty
// piece is a failure, never zeros.
//
// Thread: the thread that owns the KJ event loop of io; the object must not
// outlive io.
#pragma once

#include "hosting/activation.h"
#include "platform/status.h"

#include <kj/async-io.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace voxa::fileport {

// The activation failure as the dialog reports it.
inline constexpr char kActivationFailedMessage[] = "CoCreateInstanceEx failed for IRemoteFiles.";

struct Piece {
    int64_t offset = 0;
    int32_t size = 0;
};

class RemoteFilesClient {
public:
    static Result<std::unique_ptr<RemoteFilesClient>> Connect(kj::AsyncIoContext& io,
                                                              const std::string& host);
    ~RemoteFilesClient();

    Result<std::string> GetFileList(const std::string& dir, const std::string& filter);
    Result<float> TestGet();
    // The bytes the server returned (possibly fewer than size).
    Result<std::string> GetPartFile(const std::string& path, int64_t offset, int32_t size);
    Result<std::string> GetFile(const std::string& path);

    // Fetches the pieces, at most window in flight, and hands each to sink
    // in order with its index. Fails at the first piece that fails or comes
    // back with another length than asked, at a sink failure, or when
    // *stop becomes true (checked between pieces).
    //
    // The bytes handed to sink are the received message's own. Without
    // release they are valid only while sink runs. With release, up to hold
    // pieces that sink took stay received after sink returns, so that
    // another thread may use their bytes without a copy; release(index) is
    // called before piece index's bytes go and must return only once
    // nothing uses them any more. Every piece sink took successfully is
    // released, in order, on every way out (failure and stop included).
    using PieceSink = std::function<Status(size_t index, const unsigned char* data, size_t size)>;
    using PieceRelease = std::function<Status(size_t index)>;
    Status FetchPieces(const std::string& path, const std::vector<Piece>& pieces,
                       const PieceSink& sink, const std::function<bool()>& stop = {},
                       int window = 4, const PieceRelease& release = {}, int hold = 0);

private:
    RemoteFilesClient(kj::AsyncIoContext& io, kj::Own<hosting::RemoteObject> object);
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Escapes the wildcard characters of a name so that it matches only itself.
std::string ExactFilter(const std::string& name);

// The remote path of a name in a remote directory: a backslash between
// them when the directory is written with backslashes, else a slash.
std::string RemotePath(const std::string& directory, const std::string& name);

}  // namespace voxa::fileport
