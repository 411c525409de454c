// Colour-map and opacity-map files from outside. The input is the colour
// map, and after a form feed (if any) the opacity map (else the same text).
// The check names a line whenever it refuses; a text it accepts loads into
// the colour table with every entry from the files; any text at all loads
// without fault through the table's own reader.
#include "engine/context/color_table.h"

#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

struct Files {
    std::string dir;
    Files() {
        char name[] = "/dev/shm/voxa_fuzz_maps_XXXXXX";  // memory: no disk writes per input
        if (::mkdtemp(name) == nullptr) {
            std::snprintf(name, sizeof name, "/tmp/voxa_fuzz_maps_XXXXXX");
            if (::mkdtemp(name) == nullptr) std::abort();
        }
        dir = name;
    }
    ~Files() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

void Write(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Files files;
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t ff = input.find('\f');
    const std::string cmap = input.substr(0, ff);
    const std::string amap = ff == std::string::npos ? cmap : input.substr(ff + 1);
    const voxa::Status c = voxa::CheckMapText(cmap, "c.map");
    const voxa::Status a = voxa::CheckMapText(amap, "a.map");
    for (const voxa::Status* s : {&c, &a}) {
        if (s->ok()) continue;
        const std::string& m = s->message();
        if (m.compare(0, 6, "c.map:") != 0 && m.compare(0, 6, "a.map:") != 0) std::abort();
    }
    const std::string cpath = files.dir + "/c.map", apath = files.dir + "/a.map";
    Write(cpath, cmap);
    Write(apath, amap);
    if (c.ok() != voxa::CheckMapFile(cpath).ok()) std::abort();
    voxa::ColorTable table;
    if (table.LoadMapFiles(cpath, apath) != voxa::ColorTable::kMapsLoaded) std::abort();
    for (const voxa::Rgba& e : table.Entries()) {
        if (c.ok() && !(e.r >= 0 && e.r <= 1 && e.g >= 0 && e.g <= 1 && e.b >= 0 && e.b <= 1)) std::abort();
        if (a.ok() && !(e.a >= 0 && e.a <= 1)) std::abort();
    }
    return 0;
}
