#include "fileport/file_copy.h"

#include "fileport/part_file.h"
#include "fileport/remote_files_server.h"
#include "fileport/zb_prune.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace voxa::fileport {
namespace {

bool Stopped(const CopyObserver& o) { return o.stop && o.stop->load(std::memory_order_acquire); }

void Tell(const CopyObserver& o, const std::string& text) {
    if (o.message) o.message(text);
}

CopyResult Outcome(CopyOutcome outcome, std::string message, int64_t bytes = 0) {
    return CopyResult{outcome, bytes, std::move(message)};
}

}  // namespace

std::string ExtensionOf(const std::string& name) {
    size_t dot = name.find('.');
    return dot == std::string::npos ? "" : name.substr(dot + 1);
}

bool LocalFileExists(const std::string& dir, const std::string& name) {
    UniqueFd fd(::open((dir + "/" + name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st{};
    return fd && ::fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode);
}

FileCopier::FileCopier(kj::AsyncIoContext& io) : m_io(io) {}

Result<std::vector<FileRow>> FileCopier::ListSite(const Site& site, const std::string& filter,
                                                  const std::string& localDirectory,
                                                  const CopyObserver& observer) {
    auto client = RemoteFilesClient::Connect(m_io, site.host);
    if (!client.ok()) return Unavailable(std::string(kActivationFailedMessage) + " " + client.status().message());
    auto text = (*client)->GetFileList(site.directory, filter);
    if (!text.ok()) return Unavailable(std::string(kGetFileListFailed) + " " + text.status().message());
    int refused = 0;
    std::vector<FileRow> rows;
    for (const ListedFile& f : ParseFileList(*text, &refused)) {
        FileRow row;
        row.file = f.name;
        row.size = std::to_string(f.size);
        row.isCopied = LocalFileExists(localDirectory, f.name) ? kCopiedYes : kCopiedNo;
        row.remoteHost = site.host;
        row.remoteDirectory = site.directory;
        row.fileType = kLoanFile;
        rows.push_back(std::move(row));
    }
    if (refused > 0)
        Tell(observer, site.host + ": " + std::to_string(refused) +
                           " listed names left out (not plain file names)");
    return rows;
}

CopyResult FileCopier::CopyBrickTree(const std::string& host, const std::string& remoteDirectory,
                                     const std::string& name, const std::string& localDirectory,
                                     int levels, const CopyObserver& observer) {
    if (!IsPlainFileName(name)) return Outcome(CopyOutcome::kFailed, "refused name: " + name);
    auto client = RemoteFilesClient::Connect(m_io, host);
    if (!client.ok())
        return Outcome(CopyOutcome::kFailed, std::string(kActivationFailedMessage) + " " +
                                                 client.status().message());
    const std::string path = RemotePath(remoteDirectory, name);
    auto header = (*client)->GetPartFile(path, 0, static_cast<int32_t>(kZbHeaderBytes));
    if (!header.ok()) return Outcome(CopyOutcome::kFailed, header.status().message());
    if (header->empty()) return Outcome(CopyOutcome::kFailed, path + ": nothing could be read");
    auto parsed = ParseZbHeader(*header, kMaxTransferBytes);
    if (!parsed.ok()) return Outcome(CopyOutcome::kInvalid, parsed.status().message());
    auto tree = PruneZbTree(*parsed, levels, name);
    if (!tree.ok()) return Outcome(CopyOutcome::kInvalid, tree.status().message());
    auto text = ZbHeaderText(*tree);
    if (!text.ok()) return Outcome(CopyOutcome::kInvalid, text.status().message());

    PartFile out(localDirectory, name);
    Status st = out.Create(tree->fileLength);
    if (st.ok()) st = out.WriteAt(0, text->data(), text->size());
    if (!st.ok()) return Outcome(CopyOutcome::kFailed, st.message());

    std::vector<Piece> pieces;
    int64_t total = 0;
    for (const PrunedBrick& b : tree->bricks) {
        pieces.push_back({b.sourceOffset, static_cast<int32_t>(b.brick.Bytes())});
        total += b.brick.Bytes();
    }
    int64_t done = 0;
    if (observer.progress) observer.progress(0, total);  // the index is in place; bricks next
    PieceWriter writer(out);
    st = (*client)->FetchPieces(
        path, pieces,
        [&](size_t i, const unsigned char* data, size_t size) {
            VOXA_TRY(writer.Push(tree->bricks[i].brick.offset, data, size));
            done += static_cast<int64_t>(size);
            if (observer.progress) observer.progress(done, total);
            return Status::Ok();
        },
        [&]() { return Stopped(observer); }, kBrickWindow,
        [&](size_t i) { return writer.Retire(i); }, kBrickWindow);
    Status written = writer.Finish();
    if (Stopped(observer)) return Outcome(CopyOutcome::kStopped, "stopped");
    if (!st.ok()) return Outcome(CopyOutcome::kFailed, st.message());
    if (!written.ok()) return Outcome(CopyOutcome::kFailed, written.message());
    st = out.Commit();
    if (!st.ok()) return Outcome(CopyOutcome::kFailed, st.message());
    return Outcome(CopyOutcome::kCopied, "", tree->fileLength);
}

CopyResult FileCopier::CopyWholeFile(const std::string& host, const std::string& remoteDirectory,
                                     const std::string& name, const std::string& localDirectory,
                                     const CopyObserver& observer) {
    if (!IsPlainFileName(name)) return Outcome(CopyOutcome::kFailed, "refused name: " + name);
    auto client = RemoteFilesClient::Connect(m_io, host);
    if (!client.ok())
        return Outcome(CopyOutcome::kFailed, std::string(kActivationFailedMessage) + " " +
                                                 client.status().message());
    auto list = (*client)->GetFileList(remoteDirectory, ExactFilter(name));
    if (!list.ok()) return Outcome(CopyOutcome::kFailed, list.status().message());
    int64_t size = -2;
    for (const ListedFile& f : ParseFileList(*list))
        if (f.name == name) size = f.size;
    if (size == -2) return Outcome(CopyOutcome::kFailed, host + ":" + remoteDirectory + ": no file " + name);
    if (size < 0) return Outcome(CopyOutcome::kFailed, name + ": not a readable regular file");
    if (size > kPartFileAddressLimit)
        return Outcome(CopyOutcome::kFailed, name + ": larger than 4 GiB, beyond what GetPartFile can address");
    PartFile out(localDirectory, name);
    Status st = out.Create(size);
    if (!st.ok()) return Outcome(CopyOutcome::kFailed, st.message());
    std::vector<Piece> pieces;
    for (int64_t at = 0; at < size; at += kCopyPiece)
        pieces.push_back({at, static_cast<int32_t>(std::min<int64_t>(kCopyPiece, size - at))});
    int64_t done = 0;
    PieceWriter writer(out);
    st = (*client)->FetchPieces(
        RemotePath(remoteDirectory, name), pieces,
        [&](size_t i, const unsigned char* data, size_t n) {
            VOXA_TRY(writer.Push(pieces[i].offset, data, n));
            done += static_cast<int64_t>(n);
            if (observer.progress) observer.progress(done, size);
            return Status::Ok();
        },
        [&]() { return Stopped(observer); }, kCopyWindow,
        [&](size_t i) { return writer.Retire(i); }, kCopyWindow);
    Status written = writer.Finish();
    if (Stopped(observer)) return Outcome(CopyOutcome::kStopped, "stopped");
    if (!st.ok()) return Outcome(CopyOutcome::kFailed, st.message());
    if (!written.ok()) return Outcome(CopyOutcome::kFailed, written.message());
    st = out.Commit();
    if (!st.ok()) return Outcome(CopyOutcome::kFailed, st.message());
    return Outcome(CopyOutcome::kCopied, "", size);
}

Result<int> FileCopier::CopyRows(std::vector<FileRow>* rows, const CopySettings& settings,
                                 const CopyObserver& observer) {
    if (rows->empty()) return InvalidArgument(kNoFilesMessage);
    auto changed = [&](size_t i) {
        if (observer.rowChanged) observer.rowChanged(i, (*rows)[i]);
    };
    int attempted = 0;
    for (size_t i = 0; i < rows->size(); ++i) {
        if (Stopped(observer)) break;
        FileRow& row = (*rows)[i];
        if (!row.isCopied.empty() && row.isCopied[0] == 'Y') continue;
        const bool tree = settings.dataType == DataType::kBlockTree;
        if (tree && ExtensionOf(row.file) != kZbExtension) continue;
        ++attempted;
        CopyResult r;
        if (tree) {
            row.fileType = kZbFileType;
            row.isCopied = kGettingHeader;
            changed(i);
            CopyObserver inner = observer;
            bool announced = false;
            inner.progress = [&](int64_t done, int64_t total) {
                if (!announced) {
                    row.isCopied = kGettingBrick;
                    changed(i);
                    announced = true;
                }
                if (observer.progress) observer.progress(done, total);
            };
            r = CopyBrickTree(row.remoteHost, row.remoteDirectory, row.file, settings.localDirectory,
                              settings.pruneLevels, inner);
        } else {
            row.isCopied = kGettingBrick;
            changed(i);
            r = CopyWholeFile(row.remoteHost, row.remoteDirectory, row.file, settings.localDirectory,
                              observer);
        }
        switch (r.outcome) {
            case CopyOutcome::kCopied: row.isCopied = kCopiedYes; break;
            case CopyOutcome::kInvalid: row.isCopied = kInvalidZbFile; break;
            case CopyOutcome::kFailed: row.isCopied = kCopyFailed; break;
            case CopyOutcome::kStopped: row.isCopied = kCopiedNo; break;
        }
        if (!r.message.empty()) Tell(observer, row.file + ": " + r.message);
        changed(i);
    }
    if (attempted > 0 && settings.dataType == DataType::kBlockTree && !settings.listFileName.empty())
        VOXA_TRY(WriteFieldLists(*rows, settings.localDirectory, settings.listFileName));
    return attempted;
}

Status WriteFieldLists(const std::vector<FileRow>& rows, const std::string& localDirectory,
                       const std::string& listFileName) {
    std::vector<FieldEntry> entries;
    for (const FileRow& row : rows) {
        if (row.isCopied.empty() || row.isCopied[0] != 'Y' || row.fileType != kZbFileType) continue;
        entries.push_back({row.file, localDirectory, row.remoteDirectory, row.remoteHost});
    }
    std::string base = ListFileBase(listFileName);
    size_t slash = base.find_last_of('/');
    if (slash != std::string::npos) base = base.substr(slash + 1);
    const std::pair<std::string, std::string> files[] = {
        {localDirectory + "/" + base + kFieldExtension, FieldListText(entries)},
        {localDirectory + "/" + base + kFieldRemoteExtension, FieldRemoteListText(entries)}};
    for (const auto& [path, text] : files) {
        UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd) return IoError(path + ": cannot create: " + std::strerror(errno));
        if (::write(fd.Get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            return IoError(path + ": write failed");
    }
    return Status::Ok();
}

}  // namespace voxa::fileport
