// Brick streaming benchmark: the brick readers (BufferedIO 1, the direct
// reader) stream every brick of one level of a ZB tree through the brick
// cache, in render order (farthest first from an eye outside a corner),
// the way a frame reads them; against dd with iflag=direct over the same
// bytes of the same data file(s), run side by side in the same process.
//
// usage: brick_bench FILE.zb [--cache-mb N] [--stride S] [--rounds R]
#include "engine/bricks/brick_cache.h"
#include "engine/bricks/brick_store.h"
#include "platform/sys.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

bool DropCaches() {
    std::ofstream f("/proc/sys/vm/drop_caches");
    if (!f) return false;
    f << "3\n";
    f.flush();
    return static_cast<bool>(f);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::string(argv[1]) == "--help") {
        std::printf("usage: brick_bench FILE.zb [--cache-mb N] [--stride S] [--rounds R]\n"
                    "Streams one level of the tree through the brick cache with the direct\n"
                    "reader and compares the rate with dd iflag=direct over the same bytes.\n");
        return argc < 2 ? 2 : 0;
    }
    const std::string zb = argv[1];
    int cacheMB = 48, stride = 1, rounds = 3;
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        int v = std::atoi(argv[i + 1]);
        if (a == "--cache-mb") cacheMB = v;
        else if (a == "--stride") stride = v;
        else if (a == "--rounds") rounds = std::max(1, v);
    }
    voxa::BrickCache cache(cacheMB);
    cache.SetBufferedIO(1);
    voxa::BrickStore store;
    const voxa::Status loaded = store.LoadVolume(zb, {1, 1, 1}, &cache);
    if (!loaded.ok() || store.IsTestVolume()) {
        std::fprintf(stderr, "brick_bench: cannot load %s: %s\n", zb.c_str(),
                     loaded.ok() ? "no such file" : loaded.message().c_str());
        return 1;
    }
    const int readers = cache.CheckDataDirs(zb);
    const voxa::BrickTable& t = store.Table();

    // Render order: farthest first from an eye beyond the (max x, min y, max z) corner.
    std::vector<int> plan;
    for (int b = 0; b < t.Count(); ++b)
        if (t.bricks[b].stride == stride) plan.push_back(b);
    if (plan.empty()) {
        std::fprintf(stderr, "brick_bench: no bricks of stride %d\n", stride);
        return 1;
    }
    auto dist = [&](int b) {
        const voxa::Brick& k = t.bricks[b];
        double cx = k.stride * (k.x0 + k.nx / 2.0), cy = k.stride * (k.y0 + k.ny / 2.0),
               cz = k.stride * (k.z0 + k.nz / 2.0);
        double ex = 2.0 * t.extentX, ey = -1.0 * t.extentY, ez = 1.5 * t.extentZ;
        return (cx - ex) * (cx - ex) + (cy - ey) * (cy - ey) + (cz - ez) * (cz - ez);
    };
    std::stable_sort(plan.begin(), plan.end(), [&](int a, int b) { return dist(a) > dist(b); });
    int64_t bytes = 0, lo = INT64_MAX, hi = 0;
    for (int b : plan) {
        bytes += t.bricks[b].ByteCount();
        lo = std::min(lo, t.bricks[b].offset);
        hi = std::max(hi, t.bricks[b].offset + t.bricks[b].ByteCount());
    }
    // dd reads with O_DIRECT in whole blocks: end the span on the 64 KiB
    // boundary after the last brick (the data file pads every brick to it).
    hi = voxa::RoundUpToSlot(hi);
    const std::string file = store.BrickPath(plan[0]);
    std::printf("volume %s: %zu bricks of stride %d, %.1f MiB (data span %.1f MiB), cache %d MiB, %d reader(s)\n",
                zb.c_str(), plan.size(), stride, bytes / 1048576.0, (hi - lo) / 1048576.0, cacheMB, readers);
    const bool dropped = DropCaches();
    std::printf("page cache drop: %s\n", dropped ? "done before each run"
                                                 : "not permitted here (both sides read with O_DIRECT anyway)");

    // The other copies, for the dd baseline over two directories.
    std::vector<std::string> copies{file};
    {
        std::ifstream od(store.DataDir() + voxa::kOtherDirsFile);
        std::string d;
        const std::string name = t.bricks[plan[0]].name;
        while (od >> d) copies.push_back((d.back() == '/' ? d : d + "/") + name);
    }

    std::vector<double> readerRate, ddRate, ddParRate;
    unsigned long long check = 0;
    for (int r = 0; r < rounds; ++r) {
        if (dropped) DropCaches();
        cache.Flush();
        const int64_t before = cache.BytesRead();
        double t0 = voxa::HighResSeconds();
        cache.ResetRequests();
        for (int b : plan) cache.PostRequest(b, store.BrickPath(b), t.bricks[b].offset, t.bricks[b].ByteCount());
        cache.SetPosted();
        for (int b : plan) {
            const unsigned char* p = cache.GetCacheBuffer(b);
            if (!p) {
                std::fprintf(stderr, "brick_bench: brick %d could not be read\n", b);
                return 1;
            }
            check += p[0] + p[t.bricks[b].ByteCount() - 1];
            cache.Release(b);
        }
        cache.WaitUntilIdle();
        double t1 = voxa::HighResSeconds();
        if (cache.BytesRead() - before != bytes) {
            std::fprintf(stderr, "brick_bench: read %lld bytes, expected %lld\n",
                         static_cast<long long>(cache.BytesRead() - before), static_cast<long long>(bytes));
            return 1;
        }
        readerRate.push_back(bytes / (t1 - t0) / 1048576.0);

        if (dropped) DropCaches();
        char cmd[1024];
        std::snprintf(cmd, sizeof cmd,
                      "dd if='%s' of=/dev/null bs=1M iflag=direct,skip_bytes,count_bytes skip=%lld count=%lld "
                      "status=none",
                      file.c_str(), static_cast<long long>(lo), static_cast<long long>(hi - lo));
        t0 = voxa::HighResSeconds();
        if (std::system(cmd) != 0) {
            std::fprintf(stderr, "brick_bench: dd failed\n");
            return 1;
        }
        t1 = voxa::HighResSeconds();
        ddRate.push_back((hi - lo) / (t1 - t0) / 1048576.0);

        if (copies.size() > 1) {
            // dd over the copies at once, each reading its share of the span.
            if (dropped) DropCaches();
            const int64_t n = static_cast<int64_t>(copies.size());
            const int64_t share = ((hi - lo) / n + (1 << 20) - 1) / (1 << 20) * (1 << 20);
            std::string all;
            for (int64_t i = 0; i < n; ++i) {
                int64_t start = lo + i * share, count = std::min(share, hi - start);
                if (count <= 0) continue;
                std::snprintf(cmd, sizeof cmd,
                              "dd if='%s' of=/dev/null bs=1M iflag=direct,skip_bytes,count_bytes skip=%lld "
                              "count=%lld status=none & ",
                              copies[i].c_str(), static_cast<long long>(start), static_cast<long long>(count));
                all += cmd;
            }
            all += "wait";
            t0 = voxa::HighResSeconds();
            if (std::system(all.c_str()) != 0) return 1;
            t1 = voxa::HighResSeconds();
            ddParRate.push_back((hi - lo) / (t1 - t0) / 1048576.0);
        }
    }
    const double rr = Median(readerRate), dd = Median(ddRate);
    std::printf("brick readers (direct reader, through the cache ring): %8.1f MiB/s  (median of %d)\n", rr, rounds);
    std::printf("dd iflag=direct bs=1M, one file, same bytes:           %8.1f MiB/s\n", dd);
    std::printf("ratio readers / dd:                                    %8.3f\n", rr / dd);
    if (!ddParRate.empty()) {
        const double dp = Median(ddParRate);
        std::printf("dd iflag=direct, %zu copies at once, one share each:   %8.1f MiB/s\n", copies.size(), dp);
        std::printf("ratio readers / parallel dd:                           %8.3f\n", rr / dp);
    }
    std::printf("lists that emptied the cache: %d; (checksum %llu)\n", cache.EmptyingPlans(), check);
    return 0;
}
