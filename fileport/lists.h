// The texts of the remote file service: the file list text that the server
// returns ("name,size,name,size"), remote directory lists (.rdl), sites
// ("host:directory") and the FIELD list files (.fld, .fldremote).
//
// Every parser here takes outside input (network texts, user files) and
// refuses what it cannot use instead of guessing. Pure functions; any thread.
#pragma once

#include "platform/status.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace voxa::fileport {

inline constexpr char kDefaultFilter[] = "h12v*.zb";
inline constexpr char kFieldExtension[] = ".fld";
inline constexpr char kFieldRemoteExtension[] = ".fldremote";
inline constexpr int kMaxFieldRows = 4096;
inline constexpr size_t kFieldSortChars = 31;

struct ListedFile {
    std::string name;
    int64_t size = -1;  // -1: not a readable regular file
};

// Appends one entry to a list text ("a,10" then "a,10,b,20").
void AppendListEntry(std::string* text, std::string_view name, int64_t size);

// Splits a list text into entries. Entries whose name is not a plain file
// name (see IsPlainFileName) or whose size is not a number are left out and
// counted in *refused; a dangling name without a size ends the list.
std::vector<ListedFile> ParseFileList(std::string_view text, int* refused = nullptr);

// True for a name that names one entry of a directory: not empty, not "."
// or "..", no "/" or "\", no control characters, at most 255 bytes.
bool IsPlainFileName(std::string_view name);

struct Site {
    std::string host;
    std::string directory;
};
// "host:dir" split at the first colon (so "h:C:\data" keeps its drive
// letter); refused without a colon or with an empty host or directory.
Result<Site> SplitSite(std::string_view text);

struct RemoteDirectoryList {
    std::string filter;
    std::vector<std::string> sites;
};
// An .rdl text: white-space separated tokens, the filter first, then the sites.
Result<RemoteDirectoryList> ParseRemoteDirectoryList(std::string_view text);
std::string RemoteDirectoryListText(const RemoteDirectoryList& list);

// One copied brick tree for the FIELD list files.
struct FieldEntry {
    std::string name;
    std::string localDirectory;
    std::string remoteDirectory;
    std::string host;
};

// The lines of the two FIELD list files, sorted by name (first 31 bytes,
// ascending byte order, stable), at most kMaxFieldRows entries.
std::string FieldListText(std::vector<FieldEntry> entries);
std::string FieldRemoteListText(std::vector<FieldEntry> entries);

// Reads a .fld text back: the name and directory of each "ZBfile" line.
Result<std::vector<FieldEntry>> ParseFieldList(std::string_view text);

// The base of a list file name: up to its first period.
std::string ListFileBase(std::string_view listFileName);

enum class DataType { kBlockTree = 0, kPlain = 1 };

inline constexpr char kWarningTitle[] = "WARNING";
inline constexpr char kIncompatibleExtension[] =
    "Selected Data Type and List File extension are incompatible";
inline constexpr char kUnsupportedExtension[] = "List File extension not supported";

// A list file chosen in a save dialog: its name without the directory
// (".fld" appended for brick trees, ".rpm" for other data, when it has no
// extension), the directory it was chosen in (the local directory), and a
// warning when its extension does not suit the data type. A name whose
// extension matches the data type passes without a warning.
struct ListFileChoice {
    std::string name;
    std::string directory;
    std::string warning;  // "" or one of the two texts above
};
ListFileChoice ChooseListFileName(const std::string& chosenPath, DataType type);

}  // namespace voxa::fileport
