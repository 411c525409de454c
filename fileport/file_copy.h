// Listing remote sites and copying their files into one local directory:
// the work behind the "Get Remote Files" dialog, its command line and
// getfile.
//
// A copy is written as "NAME.part" beside its final name and renamed when
// every byte is in place, so a file of the final name is always complete;
// a copy that fails or is stopped removes its partial file. Brick trees
// are copied pruned: the index comes first (one 131,072-byte piece), then
// each kept brick's bytes, each piece of exactly the length asked for.
//
// Thread: a FileCopier belongs to the thread that owns the KJ event loop
// of its io; the stop flag may be raised from any thread.
#pragma once

#include "fileport/lists.h"
#include "fileport/part_file.h"
#include "fileport/remote_files_client.h"
#include "platform/status.h"

#include <kj/async-io.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace voxa::fileport {

// "Is Copied" column.
inline constexpr char kCopiedYes[] = "YES";
inline constexpr char kCopiedNo[] = "NO";
inline constexpr char kGettingHeader[] = "Getting Header";
inline constexpr char kGettingBrick[] = "Getting Brick";
inline constexpr char kCopyFailed[] = "FAILED";
inline constexpr char kInvalidZbFile[] = "Invalid ZB File";
// "File Type" column.
inline constexpr char kLoanFile[] = "Loan file";
inline constexpr char kZbFileType[] = "ZB file";
inline constexpr char kZbExtension[] = "zb";
inline constexpr char kNoFilesMessage[] = "No Files specified";
inline constexpr char kGetFileListFailed[] = "GetFileList failed.";
// A whole file travels in pieces of kCopyPiece bytes, kCopyWindow of them
// in flight and as many more received and held while the writer thread
// puts their bytes to disk. Pieces this small stay in the processor's
// caches from the disk read to the socket and from the socket to the file,
// which makes a copy markedly cheaper than with pieces of several MiB.
inline constexpr int32_t kCopyPiece = 512 << 10;
inline constexpr int kCopyWindow = 16;
// A brick tree travels a brick a piece (up to kMaxTransferBytes each), so
// fewer are in flight and held.
inline constexpr int kBrickWindow = 4;

struct FileRow {
    std::string file;
    std::string size;
    std::string isCopied;
    std::string remoteHost;
    std::string remoteDirectory;
    std::string fileType;
};

struct CopySettings {
    std::string localDirectory;
    int pruneLevels = 1;
    DataType dataType = DataType::kBlockTree;
    std::string listFileName;  // "" writes no FIELD list files
};

// What the copy tells its caller while it runs (any member may be empty).
struct CopyObserver {
    std::function<void(size_t row, const FileRow&)> rowChanged;
    std::function<void(int64_t done, int64_t total)> progress;  // bytes of the current file
    std::function<void(const std::string&)> message;
    const std::atomic<bool>* stop = nullptr;
};

enum class CopyOutcome { kCopied, kFailed, kInvalid, kStopped };

struct CopyResult {
    CopyOutcome outcome = CopyOutcome::kFailed;
    int64_t bytes = 0;     // length of the file written
    std::string message;   // why it failed
};

// The extension of a name: the text after its first period.
std::string ExtensionOf(const std::string& name);

// True when dir/name is a regular file that can be opened for reading.
bool LocalFileExists(const std::string& dir, const std::string& name);

class FileCopier {
public:
    explicit FileCopier(kj::AsyncIoContext& io);

    // Lists one site; one row per valid entry (names that are not plain
    // file names are left out with a message).
    Result<std::vector<FileRow>> ListSite(const Site& site, const std::string& filter,
                                          const std::string& localDirectory,
                                          const CopyObserver& observer = {});

    // Copies a single-file brick tree, pruned to levels.
    CopyResult CopyBrickTree(const std::string& host, const std::string& remoteDirectory,
                             const std::string& name, const std::string& localDirectory, int levels,
                             const CopyObserver& observer = {});
    // Copies a file whole.
    CopyResult CopyWholeFile(const std::string& host, const std::string& remoteDirectory,
                             const std::string& name, const std::string& localDirectory,
                             const CopyObserver& observer = {});

    // The dialog's copy: every row not yet copied (brick trees for data
    // type 0, every file for data type 1), then the FIELD list files for
    // data type 0. Rows change in place and are reported as they change.
    // Returns the number of rows attempted; a failure only for a FIELD
    // list that could not be written or an empty list.
    Result<int> CopyRows(std::vector<FileRow>* rows, const CopySettings& settings,
                         const CopyObserver& observer = {});

private:
    kj::AsyncIoContext& m_io;
};

// Writes BASE.fld and BASE.fldremote into dir for the copied brick-tree rows.
Status WriteFieldLists(const std::vector<FileRow>& rows, const std::string& localDirectory,
                       const std::string& listFileName);

}  // namespace voxa::fileport
