#include "movie/vw_export.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/paths.h"
#include "platform/unique_fd.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace voxa::movie {
namespace {

struct FormatOwner {
    void operator()(AVFormatContext* f) const {
        if (!f) return;
        if (f->pb && !(f->oformat->flags & AVFMT_NOFILE)) avio_closep(&f->pb);
        avformat_free_context(f);
    }
};
struct CodecOwner {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameOwner {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketOwner {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsOwner {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// Global frame k as (segment number, frames into that segment).
bool LocateFrame(const MovieGroup& group, int k, int* seg, int* into) {
    const Panel& first = group.panels[0];
    for (size_t s = 0; s < first.segments.size(); ++s) {
        const int n = first.segments[s].frameCount - first.segments[s].startFrame;
        if (k < n) {
            *seg = static_cast<int>(s);
            *into = k;
            return true;
        }
        k -= n;
    }
    return false;
}

bool Overlap(int ax, int ay, int aw, int ah, int bx, int by, int bw, int bh) {
    return ax < bx + bw && bx < ax + aw && ay < by + bh && by < ay + ah;
}

}  // namespace

int WallMovieFrames(const MovieGroup& group) {
    if (group.panels.empty()) return 0;
    long long n = 0;
    for (const Segment& s : group.panels[0].segments) n += s.frameCount - s.startFrame;
    return static_cast<int>(std::min<long long>(n, 1000000000));
}

Result<WallLayout> LayOutWall(const MovieGroup& group) {
    if (group.panels.empty()) return InvalidArgument("the movie group has no panels");
    WallLayout layout;
    std::vector<HostToken> hosts;
    for (const Panel& p : group.panels) {
        auto host = SplitHostToken(p.hostToken);
        if (!host.ok()) return host.status();
        hosts.push_back(*host);
    }
    bool overlap = false;
    for (size_t i = 0; i < hosts.size() && !overlap; ++i)
        for (size_t j = i + 1; j < hosts.size() && !overlap; ++j)
            overlap =
                Overlap(hosts[i].x, hosts[i].y, group.panels[i].width, group.panels[i].height,
                        hosts[j].x, hosts[j].y, group.panels[j].width, group.panels[j].height);
    long long w = 0, h = 0;
    if (overlap) {
        layout.inRow = true;
        for (const Panel& p : group.panels) {
            layout.origins.emplace_back(static_cast<int>(w), 0);
            w += p.width;
            h = std::max<long long>(h, p.height);
        }
    } else {
        int minX = hosts[0].x, minY = hosts[0].y;
        for (const HostToken& t : hosts) {
            minX = std::min(minX, t.x);
            minY = std::min(minY, t.y);
        }
        for (size_t i = 0; i < hosts.size(); ++i) {
            const int x = hosts[i].x - minX, y = hosts[i].y - minY;
            layout.origins.emplace_back(x, y);
            w = std::max<long long>(w, static_cast<long long>(x) + group.panels[i].width);
            h = std::max<long long>(h, static_cast<long long>(y) + group.panels[i].height);
        }
    }
    w += w % 2;
    h += h % 2;
    if (w > 16384 || h > 16384)
        return InvalidArgument("the wall is " + std::to_string(w) + "x" + std::to_string(h) +
                               " pixels, more than a video of 16384x16384 holds");
    layout.width = static_cast<int>(w);
    layout.height = static_cast<int>(h);
    return layout;
}

std::string ResolveMovieFile(const std::string& name, const std::string& groupDir) {
    std::string path = DrivePath(name);
    if (!path.empty() && path[0] != '/' && !groupDir.empty()) path = JoinPath(groupDir, path);
    return path;
}

Result<std::vector<uint8_t>> ComposeWallFrame(const MovieGroup& group, const WallLayout& layout,
                                              const std::string& groupDir, int k,
                                              int* missingTiles) {
    int seg = 0, into = 0;
    if (!LocateFrame(group, k, &seg, &into))
        return InvalidArgument("frame " + std::to_string(k) + " is past the wall movie's end");
    const size_t rowBytes = static_cast<size_t>(layout.width) * 3;
    std::vector<uint8_t> canvas(rowBytes * layout.height, 0);
    std::vector<uint8_t> tile;
    for (size_t i = 0; i < group.panels.size(); ++i) {
        const Panel& p = group.panels[i];
        const Segment& s = p.segments[seg % p.segments.size()];
        const long long f = static_cast<long long>(s.startFrame) + into;
        const size_t frameBytes = static_cast<size_t>(p.width) * p.height * 3;
        tile.assign(frameBytes, 0);
        bool complete = false;
        if (f < s.frameCount) {
            auto files = SplitSegmentFiles(s.files);
            std::string path = files.empty() ? std::string() : ResolveMovieFile(files[0], groupDir);
            UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
            if (fd) {
                size_t got = 0;
                const off_t at = static_cast<off_t>(f) * static_cast<off_t>(frameBytes);
                while (got < frameBytes) {
                    ssize_t n = ::pread(fd.Get(), tile.data() + got, frameBytes - got,
                                        at + static_cast<off_t>(got));
                    if (n <= 0) break;
                    got += static_cast<size_t>(n);
                }
                complete = got == frameBytes;
            }
        }
        if (!complete && missingTiles) ++*missingTiles;
        // Movie frames hold their rows from the bottom up; the canvas from the top.
        const auto [ox, oy] = layout.origins[i];
        for (int r = 0; r < p.height; ++r) {
            const uint8_t* src = tile.data() + static_cast<size_t>(p.height - 1 - r) * p.width * 3;
            uint8_t* dst = canvas.data() + static_cast<size_t>(oy + r) * rowBytes +
                           static_cast<size_t>(ox) * 3;
            std::memcpy(dst, src, static_cast<size_t>(p.width) * 3);
        }
    }
    return canvas;
}

Result<ExportResult> ExportWallMovie(const MovieGroup& group, const std::string& groupDir,
                                     const std::string& outPath, int fps,
                                     const std::function<void(int, int)>& progress) {
    VOXA_ASSIGN_OR_RETURN(WallLayout layout, LayOutWall(group));
    const int total = WallMovieFrames(group);
    if (total <= 0) return InvalidArgument("the movie group has no frames");
    if (fps < 1 || fps > 240) return InvalidArgument("frames per second must be 1 to 240");
    // A movie file that is not there at all is a mistake in the group, not
    // a short movie: refuse before writing anything.
    for (const Panel& p : group.panels)
        for (const Segment& seg : p.segments) {
            auto files = SplitSegmentFiles(seg.files);
            const std::string path =
                files.empty() ? std::string() : ResolveMovieFile(files[0], groupDir);
            if (::access(path.c_str(), R_OK) != 0)
                return NotFound("cannot read the movie file " + path + " of panel " + p.hostToken);
        }

    AVFormatContext* rawFormat = nullptr;
    int rc = avformat_alloc_output_context2(&rawFormat, nullptr, "mp4", outPath.c_str());
    std::unique_ptr<AVFormatContext, FormatOwner> format(rawFormat);
    if (rc < 0 || !format) return Failed("cannot set up an MP4 file: " + AvError(rc));
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!codec) return Failed("this FFmpeg has no H.264 encoder");
    AVStream* stream = avformat_new_stream(format.get(), nullptr);
    std::unique_ptr<AVCodecContext, CodecOwner> enc(avcodec_alloc_context3(codec));
    if (!stream || !enc) return Failed("out of memory setting up the encoder");
    enc->width = layout.width;
    enc->height = layout.height;
    enc->time_base = AVRational{1, fps};
    enc->framerate = AVRational{fps, 1};
    enc->pix_fmt = AV_PIX_FMT_YUV420P;
    enc->gop_size = 2 * fps;
    if (format->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(enc->priv_data, "crf", "18", 0);
    av_opt_set(enc->priv_data, "preset", "veryfast", 0);
    if ((rc = avcodec_open2(enc.get(), codec, nullptr)) < 0)
        return Failed("cannot open the H.264 encoder: " + AvError(rc));
    avcodec_parameters_from_context(stream->codecpar, enc.get());
    stream->time_base = enc->time_base;
    if ((rc = avio_open(&format->pb, outPath.c_str(), AVIO_FLAG_WRITE)) < 0)
        return IoError("cannot write " + outPath + ": " + AvError(rc));
    if ((rc = avformat_write_header(format.get(), nullptr)) < 0)
        return IoError("cannot write the MP4 header to " + outPath + ": " + AvError(rc));

    std::unique_ptr<SwsContext, SwsOwner> sws(
        sws_getContext(layout.width, layout.height, AV_PIX_FMT_RGB24, layout.width, layout.height,
                       AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
    std::unique_ptr<AVFrame, FrameOwner> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, PacketOwner> packet(av_packet_alloc());
    if (!sws || !frame || !packet) return Failed("out of memory setting up the conversion");
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = layout.width;
    frame->height = layout.height;
    if ((rc = av_frame_get_buffer(frame.get(), 0)) < 0)
        return Failed("cannot allocate a frame: " + AvError(rc));

    auto drain = [&]() -> Status {
        for (;;) {
            int r = avcodec_receive_packet(enc.get(), packet.get());
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return Status::Ok();
            if (r < 0) return Failed("encoding failed: " + AvError(r));
            av_packet_rescale_ts(packet.get(), enc->time_base, stream->time_base);
            packet->stream_index = stream->index;
            r = av_interleaved_write_frame(format.get(), packet.get());
            if (r < 0) return IoError("cannot write to " + outPath + ": " + AvError(r));
        }
    };

    ExportResult result;
    result.width = layout.width;
    result.height = layout.height;
    for (int k = 0; k < total; ++k) {
        VOXA_ASSIGN_OR_RETURN(std::vector<uint8_t> rgb,
                              ComposeWallFrame(group, layout, groupDir, k, &result.missingTiles));
        if ((rc = av_frame_make_writable(frame.get())) < 0)
            return Failed("frame not writable: " + AvError(rc));
        const uint8_t* src[1] = {rgb.data()};
        const int stride[1] = {layout.width * 3};
        sws_scale(sws.get(), src, stride, 0, layout.height, frame->data, frame->linesize);
        frame->pts = k;
        if ((rc = avcodec_send_frame(enc.get(), frame.get())) < 0)
            return Failed("encoding failed: " + AvError(rc));
        VOXA_TRY(drain());
        ++result.frames;
        if (progress) progress(k + 1, total);
    }
    if ((rc = avcodec_send_frame(enc.get(), nullptr)) < 0)
        return Failed("encoding failed: " + AvError(rc));
    VOXA_TRY(drain());
    if ((rc = av_write_trailer(format.get())) < 0)
        return IoError("cannot finish " + outPath + ": " + AvError(rc));
    return result;
}

}  // namespace voxa::movie
