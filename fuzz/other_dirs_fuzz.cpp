// "otherdirs.txt" beside a ZB file (the directories holding copies of its
// data files, one reader each): any text gives directory names that are
// whole words of the text, at most 255 characters before their closing
// separator, each ending in one; every word is either taken or counted as
// left out.
#include "engine/bricks/brick_cache.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    int skipped = -1;
    const std::vector<std::string> dirs = voxa::ParseOtherDirs(text, &skipped);
    // The words of the text, counted here with the same notion of space.
    std::istringstream in(text);
    std::string word;
    size_t words = 0;
    while (in >> word) ++words;
    if (skipped < 0 || dirs.size() + static_cast<size_t>(skipped) != words) std::abort();
    for (const std::string& dir : dirs) {
        if (dir.size() < 2 && dir != "/" && dir != "\\") std::abort();
        if (dir.size() > voxa::kMaxRequestPath + 1) std::abort();
        if (dir.back() != '/' && dir.back() != '\\') std::abort();
        for (char c : dir)
            if (std::isspace(static_cast<unsigned char>(c))) std::abort();
        if (text.find(dir.substr(0, dir.size() - 1)) == std::string::npos) std::abort();
    }
    return 0;
}
