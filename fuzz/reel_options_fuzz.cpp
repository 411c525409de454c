// The movie server's outside texts: the disk buffer option file, the
// comma-separated movie file list of Initialize, and option values
// ("Expand", "Xoffset"). Input: option file text, a newline, the file
// list, a newline, an option value; the first two bytes also pick a frame
// size.
#include "movie/reel_geometry.h"
#include "movie/reel_player.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    size_t a = in.find('\n');
    std::string_view option = in.substr(0, a);
    std::string_view rest = a == std::string_view::npos ? std::string_view() : in.substr(a + 1);
    size_t b = rest.find('\n');
    std::string_view list = rest.substr(0, b);
    std::string_view value = b == std::string_view::npos ? std::string_view() : rest.substr(b + 1);

    int64_t frameSize = size >= 2 ? (int64_t{data[0]} << 16 | int64_t{data[1]} << 8) * 3 + 3 : 3;
    std::string reason;
    int64_t bufSize = voxa::movie::ChooseDiskBufSize(option, frameSize, voxa::movie::kRingBytes,
                                                     &reason);
    if (bufSize != voxa::movie::kDefaultDiskBufSize) {
        // Accepted sizes keep every promise the readers rely on.
        if (!reason.empty() || bufSize % 4096 != 0 || bufSize <= 0) std::abort();
        int64_t slots = voxa::movie::kRingBytes / bufSize;
        if (slots < 2 || slots > 1000) std::abort();
        voxa::movie::RingGeometry g =
            voxa::movie::MakeGeometry(frameSize, 100, bufSize, voxa::movie::kRingBytes, &reason);
        if (!reason.empty()) std::abort();
        for (int64_t f : {int64_t{0}, int64_t{99}, int64_t{150}}) {
            int64_t off = g.RingOffsetOfFrame(f);
            if (off < 0 || off >= g.ringSlots * g.bufferSize) std::abort();
            if (g.LastBuffer(f) - g.FirstBuffer(f) >= g.window) std::abort();
        }
    }
    std::vector<std::string> names;
    if (voxa::movie::SplitFileList(list, &names, &reason)) {
        for (const std::string& name : names)
            if (name.empty() || name.find(',') != std::string::npos || name.size() > 255) std::abort();
    }
    voxa::movie::Player player(voxa::movie::PlayerConfig{});
    player.SetOption("Expand", value);
    player.SetOption("Xoffset", value);
    if (!(player.Expand() >= 1.0f / 64 && player.Expand() <= 64.0f)) std::abort();
    return 0;
}
