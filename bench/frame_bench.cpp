// Frame-time benchmark of the renderer: renders a ZB volume headless at the
// given sizes and prints the mean time per frame (after one warm-up frame
// that reads the bricks): "voxa <W>x<H> <ms>  (<n> slices a frame)".
//
// The camera looks at the volume's centre from `--distance` world units
// (34 degree field of view), from the front (-y) or raised by
// `--elevation` degrees towards +z, and orbits the z axis through the
// centre: frame f of N is turned by 360 (f + 1) / N degrees, so the last
// frame is the starting view again. `--print-view` prints that starting
// view and the volume's world limits and voxel extent ("view ..." line),
// from which the baseline sets its own camera; `--png PREFIX` writes the
// last frame of each size as PREFIX<size>.png.
//
// usage: frame_bench FILE.zb [--size N]... [--frames N] [--distance D]
//                    [--elevation DEG] [--lod] [--palette] [--png PREFIX] [--print-view]
#include "engine/context/pixel_files.h"
#include "engine/context/render_context.h"
#include "engine/frame/frame_pipeline.h"

#include <GL/gl.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr float kDegree = 0.017453292f;
constexpr float kFieldOfView = 34.0f;

struct Camera {
    float eye[3], center[3], up[3];
};

// The starting view: eye `distance` from the origin, raised by `elevation`
// degrees from the -y axis towards +z; up perpendicular to the view, +z side.
Camera StartView(float distance, float elevation) {
    const float e = elevation * kDegree;
    return {{0.0f, -distance * std::cos(e), distance * std::sin(e)},
            {0.0f, 0.0f, 0.0f},
            {0.0f, std::sin(e), std::cos(e)}};
}

// Turned about the z axis by `degrees`.
Camera Turned(const Camera& c, float degrees) {
    const float a = degrees * kDegree, ca = std::cos(a), sa = std::sin(a);
    auto turn = [&](const float in[3], float out[3]) {
        out[0] = ca * in[0] - sa * in[1];
        out[1] = sa * in[0] + ca * in[1];
        out[2] = in[2];
    };
    Camera t = c;
    turn(c.eye, t.eye);
    turn(c.up, t.up);
    return t;
}

void UseCamera(voxa::RenderContext& context, const Camera& c) {
    voxa::Renderparams key;
    context.SaveKey(&key);
    key.eyeX = c.eye[0];
    key.eyeY = c.eye[1];
    key.eyeZ = c.eye[2];
    key.centerX = c.center[0];
    key.centerY = c.center[1];
    key.centerZ = c.center[2];
    key.upX = c.up[0];
    key.upY = c.up[1];
    key.upZ = c.up[2];
    context.RestorKey(&key);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        std::printf(
            "usage: %s FILE.zb [--size N]... [--frames N] [--distance D] [--elevation DEG]\n"
            "          [--lod] [--palette] [--png PREFIX] [--print-view]\n"
            "Prints the mean milliseconds per frame at each size (default 512 and 1024).\n"
            "  --distance D     eye distance from the volume centre, world units (4.5)\n"
            "  --elevation DEG  view raised from the front towards +z (0)\n"
            "  --lod            default tolerances (level of detail) instead of the finest level\n"
            "  --png PREFIX     write the last frame of each size to PREFIX<size>.png\n"
            "  --print-view     print the starting view, world limits and voxel extent\n",
            argv[0]);
        return argc < 2 ? 2 : 0;
    }
    std::string zb = argv[1];
    std::vector<int> sizes;
    int frames = 10;
    float distance = 4.5f, elevation = 0.0f;
    bool palette = false, lod = false, printView = false;
    std::string png;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--size" && more) sizes.push_back(std::atoi(argv[++i]));
        else if (a == "--frames" && more) frames = std::atoi(argv[++i]);
        else if (a == "--distance" && more) distance = std::strtof(argv[++i], nullptr);
        else if (a == "--elevation" && more) elevation = std::strtof(argv[++i], nullptr);
        else if (a == "--png" && more) png = argv[++i];
        else if (a == "--palette") palette = true;
        else if (a == "--lod") lod = true;
        else if (a == "--print-view") printView = true;
        else {
            std::fprintf(stderr, "frame_bench: unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    if (sizes.empty()) sizes = {512, 1024};
    for (int size : sizes)
        if (size < 16 || size > 8192) {
            std::fprintf(stderr, "frame_bench: size %d out of range (16..8192)\n", size);
            return 2;
        }
    if (frames < 1 || !(distance > 0.0f)) {
        std::fprintf(stderr, "frame_bench: --frames must be at least 1, --distance positive\n");
        return 2;
    }
    const Camera start = StartView(distance, elevation);
    for (int size : sizes) {
        voxa::RenderProcess process;
        process.SetDisplayMode(voxa::DisplayMode::kHeadless);
        voxa::RenderContext context(process);
        voxa::FramePipeline pipeline(process);
        pipeline.Attach(context);
        const float center[3] = {0, 1, 0}, up[3] = {0, 0, 1}, normal[3] = {0, 1, 0};
        context.SetFrustum(center, up, normal, size, size,
                           2.0f * std::tan(0.5f * kFieldOfView * kDegree));
        context.Set_ZBname(zb);
        if (!lod) context.SetRenderQuality(0, 0.0f, 0.0f);  // finest level
        if (palette) context.SetOption("UsePalet", "TRUE");
        UseCamera(context, start);
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
        if (printView && size == sizes.front()) {
            const voxa::BrickTable& table = pipeline.Store().Table();
            const auto& lim = table.limits;
            const int n[3] = {static_cast<int>(table.extentX), static_cast<int>(table.extentY),
                              static_cast<int>(table.extentZ)};
            std::printf(
                "view eye %.6f %.6f %.6f center %.6f %.6f %.6f up %.6f %.6f %.6f fov %.3f "
                "limits %.6f %.6f %.6f %.6f %.6f %.6f voxels %d %d %d\n",
                start.eye[0], start.eye[1], start.eye[2], start.center[0], start.center[1],
                start.center[2], start.up[0], start.up[1], start.up[2], kFieldOfView, lim.xmin,
                lim.xmax, lim.ymin, lim.ymax, lim.zmin, lim.zmax, n[0], n[1], n[2]);
        }
        auto t0 = std::chrono::steady_clock::now();
        for (int f = 0; f < frames; ++f) {
            UseCamera(context, Turned(start, 360.0f * static_cast<float>(f + 1) / frames));
            context.SetDoRender();
        }
        glFinish();
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                        .count() / frames;
        std::printf("voxa %dx%d %.1f  (%d slices a frame)\n", size, size, ms,
                    pipeline.LastFrame().slicesDrawn);
        std::fflush(stdout);
        if (!png.empty()) {
            voxa::BinaryDataVOXA data;
            context.GetPix(&data);
            const std::string file = png + std::to_string(size) + ".png";
            voxa::Status written = voxa::WritePngImage(file, size, size, data.m_pBuffer);
            if (!written.ok()) {
                std::fprintf(stderr, "frame_bench: %s: %s\n", file.c_str(), written.message().c_str());
                return 1;
            }
        }
        context.ClearIt();
    }
    return 0;
}
