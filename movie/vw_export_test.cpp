// The wall movie export: tiles composed from the panels' movie files, the
// MP4 decoded back with libavcodec and compared with them.
#include "movie/vw_export.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <memory>

#include "movie/vw_play.h"
#include "platform/test_support.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace voxa::movie {
namespace {

using voxa::testing::TempDir;

// A smooth picture that differs by panel and frame (value at column x, row
// r counted from the bottom as stored in the file).
uint8_t Pixel(int panel, int frame, int x, int r, int c) {
    return static_cast<uint8_t>(10 + 20 * panel + 10 * frame + x + r / 2 + 30 * c);
}

void WriteMovie(const std::string& path, int panel, int w, int h, int frames) {
    std::ofstream out(path, std::ios::binary);
    for (int f = 0; f < frames; ++f)
        for (int r = 0; r < h; ++r)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < 3; ++c) out.put(static_cast<char>(Pixel(panel, f, x, r, c)));
}

// Decodes every frame of an MP4 to top-down RGB.
std::vector<std::vector<uint8_t>> DecodeAll(const std::string& path, int* w, int* h) {
    std::vector<std::vector<uint8_t>> frames;
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return frames;
    avformat_find_stream_info(fmt, nullptr);
    const AVCodec* codec = nullptr;
    int stream = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    EXPECT_GE(stream, 0);
    EXPECT_EQ(fmt->streams[stream]->codecpar->codec_id, AV_CODEC_ID_H264);
    AVCodecContext* dec = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(dec, fmt->streams[stream]->codecpar);
    avcodec_open2(dec, codec, nullptr);
    *w = dec->width;
    *h = dec->height;
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    SwsContext* sws = nullptr;
    auto receive = [&]() {
        while (avcodec_receive_frame(dec, frame) == 0) {
            sws = sws_getCachedContext(sws, frame->width, frame->height,
                                       static_cast<AVPixelFormat>(frame->format), frame->width,
                                       frame->height, AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr,
                                       nullptr, nullptr);
            std::vector<uint8_t> rgb(static_cast<size_t>(frame->width) * frame->height * 3);
            uint8_t* dst[1] = {rgb.data()};
            int stride[1] = {frame->width * 3};
            sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, stride);
            frames.push_back(std::move(rgb));
        }
    };
    while (av_read_frame(fmt, pkt) >= 0) {
        if (pkt->stream_index == stream) {
            avcodec_send_packet(dec, pkt);
            receive();
        }
        av_packet_unref(pkt);
    }
    avcodec_send_packet(dec, nullptr);
    receive();
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
    return frames;
}

TEST(WallExport, ComposesTilesAtTheHostPositionsWithRowsFlipped) {
    TempDir dir;
    WriteMovie(dir.File("p0.raw"), 0, 6, 4, 3);
    WriteMovie(dir.File("p1.raw"), 1, 6, 4, 3);
    auto g = ParseMovieGroup("h1:100x50 p0.raw 6 4 3\nh2:106x52 p1.raw 6 4 3\n", "g.vw");
    ASSERT_TRUE(g.ok());
    auto layout = LayOutWall(*g);
    ASSERT_TRUE(layout.ok());
    EXPECT_FALSE(layout->inRow);
    EXPECT_EQ(layout->width, 12);
    EXPECT_EQ(layout->height, 6);
    int missing = 0;
    auto rgb = ComposeWallFrame(*g, *layout, dir.Path(), 2, &missing);
    ASSERT_TRUE(rgb.ok());
    EXPECT_EQ(missing, 0);
    auto at = [&](int x, int y, int c) {
        return (*rgb)[(static_cast<size_t>(y) * 12 + x) * 3 + c];
    };
    // Panel 0 at (0,0), panel 1 at (6,2); canvas row y holds file row h-1-y.
    EXPECT_EQ(at(0, 0, 0), Pixel(0, 2, 0, 3, 0));
    EXPECT_EQ(at(5, 3, 2), Pixel(0, 2, 5, 0, 2));
    EXPECT_EQ(at(6, 2, 1), Pixel(1, 2, 0, 3, 1));
    EXPECT_EQ(at(11, 5, 0), Pixel(1, 2, 5, 0, 0));
    EXPECT_EQ(at(8, 0, 0), 0);  // outside both panels
    EXPECT_EQ(at(0, 5, 0), 0);

    // Every machine's window at 0x0: panels side by side in file order.
    auto same =
        ParseMovieGroup("h1:0x0 p0.raw 6 4 3\nh2:0x0 p1.raw 6 4 3\nh3 p1.raw 6 4 3\n", "g.vw");
    auto row = LayOutWall(*same);
    ASSERT_TRUE(row.ok());
    EXPECT_TRUE(row->inRow);
    EXPECT_EQ(row->width, 18);
    EXPECT_EQ(row->height, 4);
    EXPECT_EQ(row->origins[2], (std::pair<int, int>(12, 0)));

    // A file shorter than the movie: the tile is black and counted.
    missing = 0;
    auto shortFile = ParseMovieGroup("h1 p0.raw 6 4 5\n", "g.vw");
    auto shortLayout = LayOutWall(*shortFile);
    auto black = ComposeWallFrame(*shortFile, *shortLayout, dir.Path(), 4, &missing);
    ASSERT_TRUE(black.ok());
    EXPECT_EQ(missing, 1);
    EXPECT_EQ((*black)[0], 0);
}

TEST(WallExport, Mp4DecodesToTheWallWithEveryTileWithinCodecTolerance) {
    TempDir dir;
    const int w = 64, h = 48;
    WriteMovie(dir.File("left.raw"), 0, w, h, 6);
    WriteMovie(dir.File("right.raw"), 1, w, h, 6);
    // Two segments on the left panel's list: frames 0-3, then 2-5 of the same files.
    ASSERT_TRUE(
        voxa::testing::WriteWholeFile(dir.File("wall.vw"),
                                      "a:0x0 left.raw 64 48 4\nb:64x0 right.raw 64 48 4\n"
                                      "a:0x0 left.raw 64 48 6\nb:64x0 right.raw 64 48 6\n> 2 6\n"));
    VwCommandLine cl =
        ParseVwCommandLine({"--export", dir.File("wall.vw"), dir.File("wall.mp4"), "--fps", "12"});
    ASSERT_EQ(cl.action, VwAction::kExport);
    std::FILE* devnull = std::fopen("/dev/null", "w");
    ASSERT_EQ(RunExport(cl, devnull), 0);
    std::fclose(devnull);

    int dw = 0, dh = 0;
    auto frames = DecodeAll(dir.File("wall.mp4"), &dw, &dh);
    EXPECT_EQ(dw, 128);
    EXPECT_EQ(dh, 48);
    ASSERT_EQ(frames.size(), 8u);
    const int fileFrame[8] = {0, 1, 2, 3, 2, 3, 4, 5};
    for (int k = 0; k < 8; ++k) {
        for (int panel = 0; panel < 2; ++panel) {
            double se = 0;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    for (int c = 0; c < 3; ++c) {
                        const double got =
                            frames[k][(static_cast<size_t>(y) * 128 + panel * 64 + x) * 3 + c];
                        const double want = Pixel(panel, fileFrame[k], x, h - 1 - y, c);
                        se += (got - want) * (got - want);
                    }
            const double mse = se / (w * h * 3);
            const double psnr = mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
            EXPECT_GE(psnr, 35.0) << "frame " << k << " panel " << panel;
        }
    }

    cl.inputFile = dir.File("nothing.vw");
    EXPECT_EQ(RunExport(cl, stdout), 2);
    // A movie file that does not exist: refused, no video written.
    ASSERT_TRUE(voxa::testing::WriteWholeFile(dir.File("gone.vw"),
                                              "a left.raw 64 48 4\nb gone.raw 64 48 4\n"));
    auto gone = ParseVwCommandLine({"--export", dir.File("gone.vw"), dir.File("gone.mp4")});
    EXPECT_EQ(RunExport(gone, stdout), 1);
    EXPECT_NE(access(dir.File("gone.mp4").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace voxa::movie
