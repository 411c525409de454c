#include "fileport/lists.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace voxa::fileport {
namespace {

constexpr char kFieldLine[] = "ZBfile    %s   %s\\\n";
constexpr char kFieldRemoteLine[] = "RZBfile   %s   %s\\   %s\n";
constexpr char kFieldKeyword[] = "ZBfile";
constexpr char kWhiteSpace[] = " \t\r\n\f\v";

std::vector<std::string_view> WhiteSpaceTokens(std::string_view text) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < text.size()) {
        i = text.find_first_not_of(kWhiteSpace, i);
        if (i == std::string_view::npos) break;
        size_t end = text.find_first_of(kWhiteSpace, i);
        if (end == std::string_view::npos) end = text.size();
        out.push_back(text.substr(i, end - i));
        i = end;
    }
    return out;
}

void SortForField(std::vector<FieldEntry>* entries) {
    std::stable_sort(entries->begin(), entries->end(), [](const FieldEntry& a, const FieldEntry& b) {
        return std::string_view(a.name).substr(0, kFieldSortChars) <
               std::string_view(b.name).substr(0, kFieldSortChars);
    });
    if (entries->size() > static_cast<size_t>(kMaxFieldRows)) entries->resize(kMaxFieldRows);
}

std::string Format(const char* format, const std::string& a, const std::string& b,
                   const std::string& c = "") {
    int n = std::snprintf(nullptr, 0, format, a.c_str(), b.c_str(), c.c_str());
    std::string out(static_cast<size_t>(n), '\0');
    std::snprintf(out.data(), out.size() + 1, format, a.c_str(), b.c_str(), c.c_str());
    return out;
}

}  // namespace

void AppendListEntry(std::string* text, std::string_view name, int64_t size) {
    if (!text->empty()) *text += ',';
    *text += name;
    *text += ',';
    *text += std::to_string(size);
}

bool IsPlainFileName(std::string_view name) {
    if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
    for (char c : name) {
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    }
    return true;
}

std::vector<ListedFile> ParseFileList(std::string_view text, int* refused) {
    std::vector<ListedFile> out;
    int bad = 0;
    size_t i = 0;
    while (i < text.size()) {
        size_t comma = text.find(',', i);
        if (comma == std::string_view::npos) {  // a name without a size
            ++bad;
            break;
        }
        std::string_view name = text.substr(i, comma - i);
        size_t end = text.find(',', comma + 1);
        if (end == std::string_view::npos) end = text.size();
        std::string_view sizeText = text.substr(comma + 1, end - comma - 1);
        i = end + 1;
        int64_t size = 0;
        auto [ptr, ec] = std::from_chars(sizeText.data(), sizeText.data() + sizeText.size(), size);
        if (ec != std::errc() || ptr != sizeText.data() + sizeText.size() || !IsPlainFileName(name)) {
            ++bad;
            continue;
        }
        out.push_back({std::string(name), size});
    }
    if (refused) *refused = bad;
    return out;
}

Result<Site> SplitSite(std::string_view text) {
    size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        return InvalidArgument("site \"" + std::string(text) + "\" has no colon (HOST:DIRECTORY)");
    Site site{std::string(text.substr(0, colon)), std::string(text.substr(colon + 1))};
    if (site.host.empty() || site.directory.empty())
        return InvalidArgument("site \"" + std::string(text) + "\" needs a host and a directory");
    return site;
}

Result<RemoteDirectoryList> ParseRemoteDirectoryList(std::string_view text) {
    auto tokens = WhiteSpaceTokens(text);
    if (tokens.empty()) return InvalidArgument("remote directory list is empty (no file filter)");
    RemoteDirectoryList list;
    list.filter = std::string(tokens[0]);
    for (size_t i = 1; i < tokens.size(); ++i) {
        VOXA_TRY(SplitSite(tokens[i]));
        list.sites.emplace_back(tokens[i]);
    }
    return list;
}

std::string RemoteDirectoryListText(const RemoteDirectoryList& list) {
    std::string text = list.filter + "\n";
    for (const std::string& site : list.sites) text += site + "\n";
    return text;
}

std::string FieldListText(std::vector<FieldEntry> entries) {
    SortForField(&entries);
    std::string text;
    for (const FieldEntry& e : entries) text += Format(kFieldLine, e.name, e.localDirectory);
    return text;
}

std::string FieldRemoteListText(std::vector<FieldEntry> entries) {
    SortForField(&entries);
    std::string text;
    for (const FieldEntry& e : entries)
        text += Format(kFieldRemoteLine, e.name, e.remoteDirectory, e.host);
    return text;
}

Result<std::vector<FieldEntry>> ParseFieldList(std::string_view text) {
    std::vector<FieldEntry> out;
    size_t start = 0;
    int lineNumber = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        auto t = WhiteSpaceTokens(line);
        if (t.empty()) continue;
        if (t.size() != 3 || t[0] != kFieldKeyword || t[2].empty() || t[2].back() != '\\' ||
            !IsPlainFileName(t[1]))
            return InvalidArgument("FIELD list line " + std::to_string(lineNumber) +
                                   ": expected \"ZBfile NAME DIRECTORY\\\"");
        if (out.size() >= static_cast<size_t>(kMaxFieldRows))
            return InvalidArgument("FIELD list holds more than 4096 files");
        FieldEntry e;
        e.name = std::string(t[1]);
        e.localDirectory = std::string(t[2].substr(0, t[2].size() - 1));
        out.push_back(std::move(e));
    }
    return out;
}

std::string ListFileBase(std::string_view listFileName) {
    return std::string(listFileName.substr(0, listFileName.find('.')));
}

ListFileChoice ChooseListFileName(const std::string& chosenPath, DataType type) {
    ListFileChoice c;
    size_t slash = chosenPath.find_last_of('/');
    c.name = slash == std::string::npos ? chosenPath : chosenPath.substr(slash + 1);
    c.directory = slash == std::string::npos ? "." : chosenPath.substr(0, slash == 0 ? 1 : slash);
    size_t dot = c.name.find('.');
    if (dot == std::string::npos) {
        c.name += type == DataType::kBlockTree ? ".fld" : ".rpm";
        return c;
    }
    const std::string ext = c.name.substr(dot + 1);
    const bool tree = type == DataType::kBlockTree;
    if ((ext == "fld" && !tree) || (ext == "rpm" && tree))
        c.warning = kIncompatibleExtension;
    else if (ext != "fld" && ext != "rpm")
        c.warning = kUnsupportedExtension;
    return c;
}

}  // namespace voxa::fileport
