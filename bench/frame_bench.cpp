// Frame-time benchmark of the renderer: renders a ZB volume headless at the
// given sizes, one slice per voxel plane at the finest level, orbiting the
// eye between frames, and prints the mean time per frame (after one warm-up
// frame that reads the bricks): "voxa <W>x<H> <ms>".
//
// usage: frame_bench FILE.zb [--size N]... [--frames N] [--distance D] [--palette]
#include "engine/frame/frame_pipeline.h"
#include "engine/context/render_context.h"

#include <GL/gl.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        std::printf(
            "usage: %s FILE.zb [--size N]... [--frames N] [--distance D] [--palette]\n"
            "Prints the mean milliseconds per frame at each size (default 512 and 1024).\n",
            argv[0]);
        return argc < 2 ? 2 : 0;
    }
    std::string zb = argv[1];
    std::vector<int> sizes;
    int frames = 10;
    float distance = 4.5f;
    bool palette = false;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--size" && i + 1 < argc) sizes.push_back(std::atoi(argv[++i]));
        else if (a == "--frames" && i + 1 < argc) frames = std::atoi(argv[++i]);
        else if (a == "--distance" && i + 1 < argc) distance = std::strtof(argv[++i], nullptr);
        else if (a == "--palette") palette = true;
        else {
            std::fprintf(stderr, "frame_bench: unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    if (sizes.empty()) sizes = {512, 1024};
    for (int size : sizes) {
        voxa::RenderProcess process;
        process.SetDisplayMode(voxa::DisplayMode::kHeadless);
        voxa::RenderContext context(process);
        voxa::FramePipeline pipeline(process);
        pipeline.Attach(context);
        const float center[3] = {0, 1, 0}, up[3] = {0, 0, 1}, normal[3] = {0, 1, 0};
        context.SetFrustum(center, up, normal, size, size, 2.0f * std::tan(17.0f * 0.017453292f));
        context.Set_ZBname(zb);
        context.SetRenderQuality(0, 0.0f, 0.0f);  // finest level
        if (palette) context.SetOption("UsePalet", "TRUE");
        voxa::Renderparams key;
        context.SaveKey(&key);
        key.eyeX = 0;
        key.eyeY = -distance;
        key.eyeZ = 0;
        key.upX = 0;
        key.upY = 0;
        key.upZ = 1;
        context.RestorKey(&key);
        context.StartUp();
        if (context.Window() == nullptr) {
            std::fprintf(stderr, "frame_bench: no GL context\n");
            return 1;
        }
        context.SetDoRender();  // warm-up: reads the bricks
        if (context.LastFrameResult() != 0) {
            std::fprintf(stderr, "frame_bench: frame failed (%d)\n", context.LastFrameResult());
            return 1;
        }
        auto t0 = std::chrono::steady_clock::now();
        for (int f = 0; f < frames; ++f) {
            context.IncrementEyePoint(360 / frames * 3, 0, 0);
            context.SetDoRender();
        }
        glFinish();
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                        .count() / frames;
        std::printf("voxa %dx%d %.1f  (%d slices a frame)\n", size, size, ms,
                    pipeline.LastFrame().slicesDrawn);
        std::fflush(stdout);
        context.ClearIt();
    }
    return 0;
}
