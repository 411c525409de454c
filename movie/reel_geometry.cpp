#include "movie/reel_geometry.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace voxa::movie {

ReducedSizes Reduce(int64_t frameSize, int64_t bufferSize) {
    ReducedSizes r{frameSize, bufferSize, 1};
    for (int64_t p : {2, 3, 5}) {
        while (r.frame % p == 0 && r.buffer % p == 0 && r.buffer > 0) {
            r.frame /= p;
            r.buffer /= p;
            r.factor *= p;
        }
    }
    return r;
}

int64_t RingGeometry::MovieFrame(int64_t f) const { return f % frames; }

int64_t RingGeometry::FirstBuffer(int64_t f) const {
    int64_t pass = wholeMovieInMemory ? 0 : f / frames;
    return (f % frames) * reduced.frame / reduced.buffer + pass * diskBuffers;
}

int64_t RingGeometry::LastBuffer(int64_t f) const {
    int64_t pass = wholeMovieInMemory ? 0 : f / frames;
    return ((f % frames + 1) * reduced.frame - 1) / reduced.buffer + pass * diskBuffers;
}

int64_t RingGeometry::BytesInBuffer(int64_t buffer) const {
    int64_t left = MovieBytes() - FileOffset(buffer);
    return left < bufferSize ? left : bufferSize;
}

int64_t RingGeometry::RingOffsetOfFrame(int64_t f) const {
    int64_t first = FirstBuffer(f);
    return Slot(first) * bufferSize + (MovieFrame(f) * frameSize - FileOffset(first));
}

RingGeometry MakeGeometry(int64_t frameSize, int64_t frames, int64_t bufferSize,
                          int64_t ringBytes, std::string* reason) {
    RingGeometry g;
    reason->clear();
    if (frameSize <= 0 || frames <= 0 || bufferSize <= 0 || ringBytes <= 0) {
        *reason = "empty frame, movie or buffer";
        return g;
    }
    g.frameSize = frameSize;
    g.frames = frames;
    g.bufferSize = bufferSize;
    g.ringSlots = ringBytes / bufferSize;
    g.reduced = Reduce(frameSize, bufferSize);
    g.diskBuffers = (frames * frameSize + bufferSize - 1) / bufferSize;
    g.wholeMovieInMemory = g.diskBuffers < g.ringSlots;
    g.window = g.wholeMovieInMemory ? g.diskBuffers : (g.ringSlots * 3) / 4;
    int64_t perFrame = (frameSize + bufferSize - 1) / bufferSize + 1;
    if (g.ringSlots < kMinRingSlots) {
        *reason = "the ring holds fewer than 2 disk buffers";
    } else if (!g.wholeMovieInMemory && g.window <= perFrame) {
        *reason = "the read window is not larger than one frame";
    }
    return g;
}

int64_t ChooseDiskBufSize(std::string_view optionText, int64_t frameSize, int64_t ringBytes,
                          std::string* reason) {
    reason->clear();
    std::string text(optionText.substr(0, 63));
    float n = 0;
    char buf[160];
    if (std::sscanf(text.c_str(), "%f", &n) != 1 || !std::isfinite(n)) {
        *reason = "no number in the disk buffer option";
        return kDefaultDiskBufSize;
    }
    double bytes = std::trunc(static_cast<double>(n) * 65536.0);
    if (!(bytes > 0) || bytes > static_cast<double>(ringBytes)) {
        std::snprintf(buf, sizeof(buf), "disk buffer size %.0f is not between 1 and %lld bytes",
                      bytes, static_cast<long long>(ringBytes));
        *reason = buf;
        return kDefaultDiskBufSize;
    }
    int64_t size = static_cast<int64_t>(bytes);
    int64_t slots = ringBytes / size;
    int64_t perFrame = frameSize > 0 ? (frameSize + size - 1) / size + 1 : 1;
    if (size % kDiskBufAlignment != 0) {
        std::snprintf(buf, sizeof(buf), "disk buffer size %lld is not a multiple of %lld",
                      static_cast<long long>(size), static_cast<long long>(kDiskBufAlignment));
    } else if (slots < kMinRingSlots || slots > kMaxRingSlots) {
        std::snprintf(buf, sizeof(buf),
                      "disk buffer size %lld gives %lld ring slots, not between %lld and %lld",
                      static_cast<long long>(size), static_cast<long long>(slots),
                      static_cast<long long>(kMinRingSlots), static_cast<long long>(kMaxRingSlots));
    } else if ((slots * 3) / 4 <= perFrame) {
        std::snprintf(buf, sizeof(buf),
                      "disk buffer size %lld gives a read window of %lld buffers, not more "
                      "than one frame (%lld)",
                      static_cast<long long>(size), static_cast<long long>((slots * 3) / 4),
                      static_cast<long long>(perFrame));
    } else {
        return size;
    }
    *reason = buf;
    return kDefaultDiskBufSize;
}

bool SplitFileList(std::string_view list, std::vector<std::string>* names, std::string* reason) {
    names->clear();
    // One blank-delimited token.
    size_t begin = list.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos) {
        *reason = "no movie file named";
        return false;
    }
    size_t end = list.find_first_of(" \t\r\n", begin);
    std::string_view token = list.substr(begin, end == std::string_view::npos ? end : end - begin);
    if (token.size() > static_cast<size_t>(kMaxFileListChars)) {
        *reason = "file list longer than 255 characters";
        return false;
    }
    size_t pos = 0;
    while (pos <= token.size()) {
        size_t comma = token.find(',', pos);
        if (comma == std::string_view::npos) comma = token.size();
        if (comma > pos) names->emplace_back(token.substr(pos, comma - pos));
        pos = comma + 1;
    }
    if (names->empty()) {
        *reason = "no movie file named";
        return false;
    }
    return true;
}

}  // namespace voxa::movie
