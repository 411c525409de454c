// The RemoteFiles component: lists directories and hands out whole files
// and byte ranges of files inside the server's data roots.
//
// RemoteFilesService is the process-wide state every object shares: the
// data roots and the listing directory, the directory of the last
// successful GetFileList, against which relative names are resolved. The
// process's own current directory is never changed.
//
// Only regular files are opened (non-blocking, so a FIFO or device put in
// a root never stalls the server); a transfer never holds more than
// kMaxTransferBytes, well below the RPC message limit; a range returns
// exactly the bytes read. The listing has no fixed buffer: it grows with
// the directory and, past kMaxListText, is cut after the last whole entry.
//
// Thread: the server's main thread (the shell runs every call there).
#pragma once

#include "hosting/interfaces.capnp.h"
#include "hosting/server_shell.h"
#include "platform/data_roots.h"
#include "platform/status.h"

#include <kj/async-io.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace voxa::fileport {

inline constexpr int32_t kMaxTransferBytes = 32 << 20;  // 32 MiB per GetFile / GetPartFile
inline constexpr size_t kMaxListText = 16u << 20;
inline constexpr float kTestGetValue = 1.23f;

class RemoteFilesService {
public:
    explicit RemoteFilesService(DataRoots roots);

    // The list text of the entries of dir that match filter; "" when
    // nothing matches or dir cannot be listed (then the listing directory
    // stays as it was). Names holding a comma are left out.
    std::string GetFileList(const std::string& dir, const std::string& filter);

    // Opens a regular file for reading: name absolute, a drive path, or
    // relative to the listing directory. *size is its length.
    Result<UniqueFd> OpenFile(const std::string& name, int64_t* size) const;

    // Reads up to size bytes at offset into dest; the number read. Refuses
    // a negative size and sizes over kMaxTransferBytes.
    Result<size_t> ReadPart(const std::string& name, uint32_t offset, int32_t size,
                            unsigned char* dest) const;

    const std::string& ListingDirectory() const { return m_listingDir; }

private:
    Result<std::string> Resolve(const std::string& name) const;

    DataRoots m_roots;
    std::string m_listingDir;  // canonical; "" until a listing succeeded
};

class RemoteFilesImpl final : public rpc::IRemoteFiles::Server {
public:
    RemoteFilesImpl(RemoteFilesService& service, hosting::ObjectRef ref);

protected:
    kj::Promise<void> getFileList(GetFileListContext context) override;
    kj::Promise<void> getFile(GetFileContext context) override;
    kj::Promise<void> testGet(TestGetContext context) override;
    kj::Promise<void> getPartFile(GetPartFileContext context) override;

private:
    RemoteFilesService& m_service;
    hosting::ObjectRef m_ref;
};

// Keeps freed transfer blocks in the process's heap instead of returning
// them to the system, so that each piece does not fault in fresh pages
// (the cost of a copy is otherwise dominated by zeroing new memory). Call
// once at the start of a program that moves many large pieces.
void KeepTransferMemory();

// The data roots from the command line, the shared service and the factory.
std::optional<hosting::ObjectFactory> MakeRemoteFilesFactory(const hosting::ServerCommandLine& cl,
                                                             kj::AsyncIoContext& io,
                                                             std::string* error);

}  // namespace voxa::fileport
