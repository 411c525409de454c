// slice_cpu_bench: the CPU work of slice rendering per slice, for a 256^3
// and a 64^3 brick, measured side by side with memcpy of the same bytes in
// one run: the y-z and x-z transposes (against memcpy of the whole brick)
// and "Bol" texel building, plain and interpolated (against memcpy of the
// slice's bytes). Prints times per slice and ratios to the baseline.
#include "engine/slices/texels.h"
#include "engine/slices/transpose.h"
#include "platform/sys.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr char kUsage[] =
    "usage: slice_cpu_bench [--reps N]\n"
    "  Times the brick transposes and the Bol texel building per slice for a\n"
    "  256^3 and a 64^3 brick against memcpy of the same bytes (best of N runs,\n"
    "  default 5).\n";

// Best wall time in seconds of `reps` runs of fn.
double Best(int reps, const std::function<void()>& fn) {
    double best = 1e30;
    for (int r = 0; r < reps; ++r) {
        double t0 = voxa::HighResSeconds();
        fn();
        best = std::min(best, voxa::HighResSeconds() - t0);
    }
    return best;
}

// Keeps the optimiser from dropping work whose result is unused.
volatile uint32_t g_sink;

void Report(const char* what, double seconds, int slices, double baseline) {
    std::printf("  %-34s %10.3f us/slice  %7.2f x memcpy\n", what, seconds / slices * 1e6,
                seconds / baseline);
}

void RunSize(int n, int reps) {
    using namespace voxa;
    BrickShape shape{{n, n, n}, {n, n, n}};
    const size_t volume = PaddedVolume(shape);
    const size_t plane = static_cast<size_t>(n) * n;
    std::vector<uint8_t> native(volume), yz(volume), xz(volume), copy(volume);
    std::mt19937 rng(1);
    for (auto& b : native) b = static_cast<uint8_t>(rng());

    float rgba[256][4];
    uint32_t packed[256];
    for (int v = 0; v < 256; ++v) {
        uint32_t w = 0;
        for (int c = 0; c < 4; ++c) {
            rgba[v][c] = static_cast<float>((v * (c + 1)) % 256) / 255.0f;
            w |= ChannelByte(rgba[v][c]) << (8 * c);
        }
        packed[v] = w;
    }
    ColorTableRef table{rgba, packed};
    StagingImage staging;
    std::span<uint32_t> out = staging.Image(n, n);
    std::vector<uint32_t> texelCopy(plane), texelSource(plane, 0x01020304u);

    std::printf("brick %d x %d x %d (%zu bytes), %d slices per pass, best of %d\n", n, n, n,
                volume, n, reps);

    double brickCopy = Best(reps, [&] { std::memcpy(copy.data(), native.data(), volume); });
    double tposeYZ = Best(reps, [&] { TransposeYZ(native, yz, shape); });
    double tposeXZ = Best(reps, [&] { TransposeXZ(native, xz, shape); });
    std::printf(" whole brick (per slice = brick / %d):\n", n);
    Report("memcpy of the brick (baseline)", brickCopy, n, brickCopy);
    Report("TransposeYZ", tposeYZ, n, brickCopy);
    Report("TransposeXZ", tposeXZ, n, brickCopy);

    double planeCopy = Best(reps, [&] {
        for (int s = 0; s < n; ++s) std::memcpy(copy.data() + plane * s, native.data() + plane * s, plane);
    });
    double texelSizedCopy = Best(reps, [&] {
        for (int s = 0; s < n; ++s) {
            std::memcpy(texelCopy.data(), texelSource.data(), plane * sizeof(uint32_t));
        }
        g_sink = texelCopy[0];
    });
    double plain = Best(reps, [&] {
        for (int s = 0; s < n; ++s) {
            BuildPlainTexels(std::span<const uint8_t>(native).subspan(plane * s, plane), packed, out);
        }
        g_sink = out[0];
    });
    double interpolated = Best(reps, [&] {
        InterpolationTables t;
        for (int s = 1; s < n; ++s) {
            MakeInterpolationTables(table, 0.25f + 0.5f * (s & 1), t);
            BuildInterpolatedTexels(std::span<const uint8_t>(native).subspan(plane * (s - 1), plane),
                                    std::span<const uint8_t>(native).subspan(plane * s, plane), t,
                                    out);
        }
        g_sink = out[0];
    });
    std::printf(" one pass of slice textures (per slice, %zu texels):\n", plane);
    Report("memcpy of the slice bytes (baseline)", planeCopy, n, planeCopy);
    Report("memcpy of 4 bytes per texel", texelSizedCopy, n, planeCopy);
    Report("Bol plain (packed[v])", plain, n, planeCopy);
    Report("Bol interpolated (T1[l] + T2[h])", interpolated, n - 1, planeCopy * (n - 1) / n);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    int reps = 5;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--reps" && i + 1 < argc) {
            reps = std::max(1, std::atoi(argv[++i]));
            continue;
        }
        std::fputs(kUsage, stderr);
        return 2;
    }
    RunSize(256, reps);
    RunSize(64, reps);
    return 0;
}
