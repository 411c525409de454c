#include "hosting/data_root_options.h"

#include "platform/paths.h"

#include <sys/stat.h>

namespace voxa::hosting {

namespace {
constexpr const char* kDefaultRootName = "data";
constexpr const char* kRootsFileName = "spool_roots.txt";
}  // namespace

bool BuildDataRoots(const ServerCommandLine& cl, DataRoots* roots,
                    std::vector<std::string>* warnings, std::string* error) {
    const std::string defaultRoot = JoinPath(VoxaRoot(), kDefaultRootName);
    MakeDirs(defaultRoot);
    if (Status added = roots->Add(defaultRoot); !added.ok()) {
        *error = added.message();
        return false;
    }
    std::string rootsFile;
    for (const auto& [name, value] : cl.extra) {
        if (name == "--roots-file") rootsFile = value;
    }
    if (rootsFile.empty()) {
        std::string fallback = JoinPath(VoxaRoot(), kRootsFileName);
        struct stat st{};
        if (::stat(fallback.c_str(), &st) == 0) rootsFile = fallback;
    }
    // A roots file is shared configuration: a line naming a directory that
    // is not there (an unmounted disk) is skipped with a warning. What the
    // command line names explicitly must exist, or the server does not start:
    // a typo would otherwise leave its clients writing into nothing.
    if (!rootsFile.empty()) {
        std::vector<std::string> skipped;
        if (Status read = roots->AddFromFile(rootsFile, &skipped); !read.ok()) {
            *error = read.message();
            return false;
        }
        for (const std::string& line : skipped) warnings->push_back(line + " (skipped)");
    }
    for (const auto& [name, value] : cl.extra) {
        if (name != "--data-root") continue;
        if (Status added = roots->Add(value); !added.ok()) {
            *error = "--data-root: " + added.message();
            return false;
        }
    }
    return true;
}

}  // namespace voxa::hosting
