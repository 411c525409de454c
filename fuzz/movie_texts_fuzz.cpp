// The texts of a movie row as a render node reads them from the queue
// database: frusta, destinations and options. The input is split at the
// first two NUL bytes into the three texts; the window size comes from the
// first bytes. Checks that parsed panels stay within their limits.
#include "queue/movie_setup.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view all(reinterpret_cast<const char*>(data), size);
    int width = 64 + (size > 0 ? data[0] * 8 : 1216);
    int height = 64 + (size > 1 ? data[1] * 8 : 960);
    size_t a = all.find('\0');
    std::string_view frusta = all.substr(0, a);
    std::string_view rest = a == std::string_view::npos ? std::string_view() : all.substr(a + 1);
    size_t b = rest.find('\0');
    std::string_view destinations = rest.substr(0, b);
    std::string_view options = b == std::string_view::npos ? std::string_view() : rest.substr(b + 1);

    auto panels = voxa::queue::ParseFrusta(frusta, width, height);
    if (panels.ok()) {
        if (panels->empty() || panels->size() > 100) std::abort();
        for (const auto& p : *panels)
            if (p.width <= 0 || p.height <= 0 || p.width > width || p.height > height) std::abort();
        auto status = voxa::queue::ParseDestinations(destinations, "movie", *panels);
        if (status.ok())
            for (const auto& p : *panels)
                if (p.host.empty() || p.host.size() > 255 || p.file.size() > 255) std::abort();
    }
    for (const auto& [key, value] : voxa::queue::ParseMovieOptions(options))
        if (key.empty() || key == "IDLE" || key.size() > 255 || value.size() > 255) std::abort();
    return 0;
}
