// Fuzz harness: the texts the remote file service reads from outside, the
// server's file list text, remote directory lists (.rdl) and FIELD list
// files (.fld). Every accepted entry must be a plain file name, and what is
// accepted must survive being written and read again.
#include "fileport/lists.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace voxa::fileport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::string again;
    for (const ListedFile& f : ParseFileList(text)) {
        if (!IsPlainFileName(f.name)) std::abort();
        AppendListEntry(&again, f.name, f.size);
    }
    if (ParseFileList(again).size() != ParseFileList(text).size()) std::abort();

    auto rdl = ParseRemoteDirectoryList(text);
    if (rdl.ok()) {
        for (const std::string& s : rdl->sites)
            if (!SplitSite(s).ok()) std::abort();
        auto back = ParseRemoteDirectoryList(RemoteDirectoryListText(*rdl));
        if (!back.ok() || back->sites != rdl->sites || back->filter != rdl->filter) std::abort();
    }

    auto fld = ParseFieldList(text);
    if (fld.ok()) {
        for (const FieldEntry& e : *fld)
            if (!IsPlainFileName(e.name)) std::abort();
    }
    (void)ChooseListFileName(text, DataType::kBlockTree);
    (void)ListFileBase(text);
    return 0;
}
