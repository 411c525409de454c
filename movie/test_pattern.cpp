#include "movie/test_pattern.h"

#include "platform/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace voxa::movie {

uint8_t PatternByte(int64_t frame, int width, int row, int column, int channel) {
    switch (channel) {
    case 0:
        return static_cast<uint8_t>(frame & 0xff);
    case 1:
        return static_cast<uint8_t>((frame >> 8) & 0xff);
    default: {
        int64_t bar = width > 0 ? (frame * 8) % width : 0;
        if (column >= bar && column < bar + 16) return 255;
        return static_cast<uint8_t>((column ^ row) & 0xff);
    }
    }
}

void FillFrame(int64_t frame, int width, int height, uint8_t* out) {
    for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
            for (int ch = 0; ch < 3; ++ch) *out++ = PatternByte(frame, width, r, c, ch);
        }
    }
}

std::vector<uint8_t> MakeFrame(int64_t frame, int width, int height) {
    std::vector<uint8_t> data(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    FillFrame(frame, width, height, data.data());
    return data;
}

bool WriteTestMovie(const std::string& path, int width, int height, int frames,
                    std::string* error, const std::function<void(int)>& progress) {
    if (width <= 0 || height <= 0 || frames <= 0) {
        *error = "width, height and frame count must be positive";
        return false;
    }
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) {
        *error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> frame(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    for (int f = 0; f < frames; ++f) {
        FillFrame(f, width, height, frame.data());
        size_t done = 0;
        while (done < frame.size()) {
            ssize_t n = ::write(fd.Get(), frame.data() + done, frame.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                *error = "cannot write " + path + ": " + std::strerror(errno);
                return false;
            }
            done += static_cast<size_t>(n);
        }
        if (progress) progress(f + 1);
    }
    return true;
}

}  // namespace voxa::movie
