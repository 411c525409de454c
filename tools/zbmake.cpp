#include "tools/zbmake.h"

#include "engine/bricks/brick_cache.h"
#include "engine/bricks/brick_reader.h"
#include "engine/bricks/zb_file.h"
#include "platform/paths.h"
#include "platform/unique_fd.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <memory>

namespace voxa {
namespace {

constexpr int64_t kMaxVoxels = int64_t{1} << 31;
constexpr char kDataPrefix[] = "data_";
constexpr char kDataSuffix[] = ".raw";
constexpr int kMaxLevels = 7;  // strides 1 .. 64

struct GzCloser {
    void operator()(gzFile f) const { gzclose(f); }
};
using GzFile = std::unique_ptr<std::remove_pointer_t<gzFile>, GzCloser>;

// zlib's messages already name the file.
std::string GzError(gzFile f, const std::string& path) {
    int code = 0;
    const char* text = gzerror(f, &code);
    if (code == Z_ERRNO) return path + ": " + std::strerror(errno);
    return text != nullptr && *text != '\0' ? std::string(text) : path + ": read error";
}

// Reads up to `want` bytes more into out; false only on a read error.
bool GzReadUpTo(gzFile f, size_t want, std::vector<unsigned char>& out) {
    std::vector<unsigned char> chunk(std::min<size_t>(want, size_t{1} << 20));
    while (want > 0) {
        int n = gzread(f, chunk.data(), static_cast<unsigned>(std::min(want, chunk.size())));
        if (n < 0) return false;
        if (n == 0) break;
        out.insert(out.end(), chunk.begin(), chunk.begin() + n);
        want -= static_cast<size_t>(n);
    }
    return true;
}

// A regular file: volumes are never read from directories or devices.
Status CheckInputFile(const std::string& path, int64_t* size) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return NotFound(path + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return InvalidArgument(path + ": is a directory, not a volume file");
    if (!S_ISREG(st.st_mode)) return InvalidArgument(path + ": is not a regular file");
    *size = st.st_size;
    return Status::Ok();
}

std::string MiB(int64_t bytes) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld MiB", static_cast<long long>((bytes + (1 << 20) - 1) >> 20));
    return buf;
}

// Refuses a volume whose tree cannot be built in the memory left.
Status CheckMemory(const std::string& path, int64_t voxels, int64_t sourceBytes) {
    const int64_t need = ZbMakeMemoryNeed(voxels, sourceBytes);
    const int64_t have = AvailableMemory();
    if (need <= have) return Status::Ok();
    return Refused(path + ": " + std::to_string(voxels) + " voxels need about " + MiB(need) +
                   " of memory to brick, only " + MiB(have) + " are available");
}

bool CheckDims(int64_t nx, int64_t ny, int64_t nz) {
    return nx > 0 && ny > 0 && nz > 0 && nx <= 65536 && ny <= 65536 && nz <= 65536 &&
           nx * ny * nz <= kMaxVoxels;
}

template <typename T>
T Load(const unsigned char* p, bool swap) {
    unsigned char b[sizeof(T)];
    std::memcpy(b, p, sizeof(T));
    if (swap) std::reverse(b, b + sizeof(T));
    T v;
    std::memcpy(&v, b, sizeof(T));
    return v;
}

}  // namespace

MakeStatus LoadRawVolume(const std::string& path, int nx, int ny, int nz, RawType type, SourceVolume& out) {
    if (!CheckDims(nx, ny, nz)) return MakeStatus::Fail("dimensions must be 1..65536 and at most 2^31 voxels");
    const int bpv = type == RawType::kU8 ? 1 : type == RawType::kU16 ? 2 : 4;
    const int64_t n = int64_t{nx} * ny * nz;
    int64_t fileSize = 0;
    if (Status st = CheckInputFile(path, &fileSize); !st.ok()) return MakeStatus::Fail(st.message());
    // The claimed size is checked against the file, then against memory,
    // before anything of that size is allocated.
    if (fileSize < n * bpv) {
        char buf[160];
        std::snprintf(buf, sizeof buf, ": holds %lld bytes, %dx%dx%d voxels need %lld",
                      static_cast<long long>(fileSize), nx, ny, nz, static_cast<long long>(n * bpv));
        return MakeStatus::Fail(path + buf);
    }
    if (Status st = CheckMemory(path, n, n * bpv); !st.ok()) return MakeStatus::Fail(st.message());
    std::ifstream in(path, std::ios::binary);
    if (!in) return MakeStatus::Fail(path + ": cannot open");
    std::vector<unsigned char> raw(static_cast<size_t>(n * bpv));
    in.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
    if (in.gcount() != static_cast<std::streamsize>(raw.size())) {
        char buf[160];
        std::snprintf(buf, sizeof buf, ": holds %lld bytes, %dx%dx%d voxels need %lld",
                      static_cast<long long>(in.gcount()), nx, ny, nz, static_cast<long long>(raw.size()));
        return MakeStatus::Fail(path + buf);
    }
    out.nx = nx;
    out.ny = ny;
    out.nz = nz;
    out.values.resize(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) {
        const unsigned char* p = raw.data() + i * bpv;
        out.values[i] = type == RawType::kU8    ? p[0]
                        : type == RawType::kU16 ? Load<uint16_t>(p, false)
                                                : Load<float>(p, false);
    }
    return {};
}

bool LooksLikeNifti(const unsigned char* h, size_t size) {
    if (size < kNiftiHeaderBytes) return false;
    if (Load<int32_t>(h, false) != 348 && Load<int32_t>(h, true) != 348) return false;
    return std::memcmp(h + 344, "n+1", 4) == 0;
}

Result<NiftiHeader> ParseNiftiHeader(const unsigned char* h, size_t size) {
    if (size < kNiftiHeaderBytes) return InvalidArgument("too short for a NIfTI-1 header");
    NiftiHeader r;
    if (Load<int32_t>(h, false) != 348) {
        if (Load<int32_t>(h, true) != 348) return InvalidArgument("not a NIfTI-1 file (sizeof_hdr)");
        r.swap = true;
    }
    if (std::memcmp(h + 344, "n+1", 4) != 0)
        return InvalidArgument("not a single-file NIfTI-1 (magic \"n+1\")");
    int16_t dim[8];
    for (int i = 0; i < 8; ++i) dim[i] = Load<int16_t>(h + 40 + 2 * i, r.swap);
    if (dim[0] < 1 || dim[0] > 7) return InvalidArgument("bad dim[0] " + std::to_string(dim[0]));
    for (int i = 1; i <= dim[0]; ++i)
        if (dim[i] < 1)
            return InvalidArgument("bad dim[" + std::to_string(i) + "] " + std::to_string(dim[i]));
    r.nx = dim[1];
    r.ny = dim[0] >= 2 ? dim[2] : 1;
    r.nz = dim[0] >= 3 ? dim[3] : 1;
    if (!CheckDims(r.nx, r.ny, r.nz)) return InvalidArgument("bad dimensions");
    r.datatype = Load<int16_t>(h + 70, r.swap);
    switch (r.datatype) {
        case 2: case 256: r.bytesPerVoxel = 1; break;           // u8, i8
        case 4: case 512: r.bytesPerVoxel = 2; break;           // i16, u16
        case 8: case 768: case 16: r.bytesPerVoxel = 4; break;  // i32, u32, f32
        case 64: r.bytesPerVoxel = 8; break;                    // f64
        default: return InvalidArgument("datatype " + std::to_string(r.datatype) + " is not supported");
    }
    // vox_offset is a float: checked for range and a whole number before it
    // becomes a byte position.
    const float voxOffset = Load<float>(h + 108, r.swap);
    if (!std::isfinite(voxOffset) || voxOffset < static_cast<float>(kNiftiHeaderBytes) ||
        voxOffset > static_cast<float>(kMaxNiftiOffset) || voxOffset != std::floor(voxOffset)) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "bad vox_offset %g (a whole number of bytes from 352)",
                      static_cast<double>(voxOffset));
        return InvalidArgument(buf);
    }
    r.dataStart = static_cast<int64_t>(voxOffset);
    const float slope = Load<float>(h + 112, r.swap);
    const float inter = Load<float>(h + 116, r.swap);
    if (slope != 0 && std::isfinite(slope) && std::isfinite(inter)) {
        r.slope = slope;
        r.inter = inter;
    }
    for (int a = 0; a < 3; ++a) {
        const float s = std::fabs(Load<float>(h + 76 + 4 * (a + 1), r.swap));
        r.spacing[a] = (std::isfinite(s) && s > 0) ? s : 1.0f;
    }
    return r;
}

int64_t ZbMakeMemoryNeed(int64_t voxels, int64_t sourceBytes) {
    // Floats of the source, then either the source bytes (while loading) or
    // the byte levels with their minima and maxima (3 bytes a voxel, 1/7
    // more for the coarser levels) and the scaled copy; plus a margin.
    const int64_t levels = voxels * 3 + voxels * 3 / 7 + voxels;
    return voxels * 4 + std::max(sourceBytes, levels) + (int64_t{64} << 20);
}

int64_t AvailableMemory() {
    int64_t avail = INT64_MAX;
    if (std::FILE* f = std::fopen("/proc/meminfo", "r")) {
        char line[256];
        long long kb = 0;
        while (std::fgets(line, sizeof line, f))
            if (std::sscanf(line, "MemAvailable: %lld kB", &kb) == 1) avail = static_cast<int64_t>(kb) * 1024;
        std::fclose(f);
    }
    // A limit on the address space (ulimit -v) counts what is mapped already.
    struct rlimit lim{};
    if (::getrlimit(RLIMIT_AS, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY) {
        int64_t mapped = 0;
        if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
            char line[256];
            long long kb = 0;
            while (std::fgets(line, sizeof line, f))
                if (std::sscanf(line, "VmSize: %lld kB", &kb) == 1) mapped = static_cast<int64_t>(kb) * 1024;
            std::fclose(f);
        }
        const int64_t left = static_cast<int64_t>(lim.rlim_cur) - mapped;
        avail = std::min(avail, std::max<int64_t>(left, 0));
    }
    return avail;
}

MakeStatus LoadNifti(const std::string& path, SourceVolume& out) {
    int64_t fileSize = 0;
    if (Status st = CheckInputFile(path, &fileSize); !st.ok()) return MakeStatus::Fail(st.message());
    GzFile f(gzopen(path.c_str(), "rb"));
    if (!f) return MakeStatus::Fail(path + ": cannot open");
    // The header first: every field is checked before the data is read.
    std::vector<unsigned char> bytes;
    if (!GzReadUpTo(f.get(), kNiftiHeaderBytes, bytes)) return MakeStatus::Fail(GzError(f.get(), path));
    if (bytes.size() < kNiftiHeaderBytes)
        return MakeStatus::Fail(path + ": too short for a NIfTI-1 header", MakeFault::kNotNifti);
    Result<NiftiHeader> parsed = ParseNiftiHeader(bytes.data(), bytes.size());
    if (!parsed.ok()) {
        const bool notNifti = !LooksLikeNifti(bytes.data(), bytes.size());
        return MakeStatus::Fail(path + ": " + parsed.status().message(),
                                notNifti ? MakeFault::kNotNifti : MakeFault::kOther);
    }
    const NiftiHeader& h = *parsed;
    const int64_t n = int64_t{h.nx} * h.ny * h.nz;
    const int64_t end = h.dataStart + n * h.bytesPerVoxel;
    const bool plain = gzdirect(f.get()) != 0;
    if (plain && end > fileSize) return MakeStatus::Fail(path + ": file ends inside the voxel data");
    if (Status st = CheckMemory(path, n, end); !st.ok()) return MakeStatus::Fail(st.message());
    // A compressed file grows the buffer only as far as its data reaches.
    if (!GzReadUpTo(f.get(), static_cast<size_t>(end) - bytes.size(), bytes))
        return MakeStatus::Fail(GzError(f.get(), path));
    if (static_cast<int64_t>(bytes.size()) < end) return MakeStatus::Fail(path + ": file ends inside the voxel data");
    out.nx = h.nx;
    out.ny = h.ny;
    out.nz = h.nz;
    out.values.resize(static_cast<size_t>(n));
    const unsigned char* base = bytes.data() + h.dataStart;
    const int bpv = h.bytesPerVoxel;
    const bool scaled = h.slope != 0;
    for (int64_t i = 0; i < n; ++i) {
        const unsigned char* p = base + i * bpv;
        double v = 0;
        switch (h.datatype) {
            case 2: v = p[0]; break;
            case 256: v = static_cast<int8_t>(p[0]); break;
            case 4: v = Load<int16_t>(p, h.swap); break;
            case 512: v = Load<uint16_t>(p, h.swap); break;
            case 8: v = Load<int32_t>(p, h.swap); break;
            case 768: v = Load<uint32_t>(p, h.swap); break;
            case 16: v = Load<float>(p, h.swap); break;
            case 64: v = Load<double>(p, h.swap); break;
        }
        if (scaled) v = v * h.slope + h.inter;
        out.values[i] = static_cast<float>(v);
    }
    out.spacing = h.spacing;
    return {};
}

std::string DegenerateSpacing(const std::array<float, 3>& spacing, int nx, int ny, int nz) {
    char buf[200];
    for (int a = 0; a < 3; ++a) {
        if (!std::isfinite(spacing[a]) || !(spacing[a] > 0)) {
            std::snprintf(buf, sizeof buf, "voxel spacing %g,%g,%g: each must be a positive number",
                          static_cast<double>(spacing[0]), static_cast<double>(spacing[1]),
                          static_cast<double>(spacing[2]));
            return buf;
        }
    }
    const double world[3] = {double(nx) * spacing[0], double(ny) * spacing[1], double(nz) * spacing[2]};
    const double longest = std::max({world[0], world[1], world[2]});
    for (int a = 0; a < 3; ++a) {
        if (!(2.0 * world[a] / longest >= kMinWorldSide) || !std::isfinite(longest)) {
            std::snprintf(buf, sizeof buf,
                          "voxel spacing %g,%g,%g is degenerate: the %c side would span %g of the "
                          "longest side's 2 world units",
                          static_cast<double>(spacing[0]), static_cast<double>(spacing[1]),
                          static_cast<double>(spacing[2]), "xyz"[a], 2.0 * world[a] / longest);
            return buf;
        }
    }
    return "";
}

std::vector<unsigned char> ScaleToBytes(const std::vector<float>& values, double lo, double hi) {
    std::vector<unsigned char> out(values.size(), 0);
    const double width = hi - lo;
    if (!(width > 0) || !std::isfinite(width)) return out;
    for (size_t i = 0; i < values.size(); ++i) {
        double v = values[i];
        if (std::isnan(v)) continue;
        double b = std::round((v - lo) / width * 255.0);
        out[i] = static_cast<unsigned char>(std::clamp(b, 0.0, 255.0));
    }
    return out;
}

namespace {

struct Level {
    int nx, ny, nz;
    std::vector<unsigned char> v, lo, hi;  // voxels, min and max of the finest voxels below
    size_t At(int x, int y, int z) const { return (size_t(z) * ny + y) * nx + x; }
};

Level Halve(const Level& f) {
    Level c;
    c.nx = (f.nx + 1) / 2;
    c.ny = (f.ny + 1) / 2;
    c.nz = (f.nz + 1) / 2;
    const size_t n = size_t(c.nx) * c.ny * c.nz;
    c.v.resize(n);
    c.lo.resize(n);
    c.hi.resize(n);
    for (int z = 0; z < c.nz; ++z)
        for (int y = 0; y < c.ny; ++y)
            for (int x = 0; x < c.nx; ++x) {
                int sum = 0, count = 0, lo = 255, hi = 0;
                for (int dz = 0; dz < 2; ++dz)
                    for (int dy = 0; dy < 2; ++dy)
                        for (int dx = 0; dx < 2; ++dx) {
                            int fx = 2 * x + dx, fy = 2 * y + dy, fz = 2 * z + dz;
                            if (fx >= f.nx || fy >= f.ny || fz >= f.nz) continue;
                            size_t i = f.At(fx, fy, fz);
                            sum += f.v[i];
                            ++count;
                            lo = std::min<int>(lo, f.lo[i]);
                            hi = std::max<int>(hi, f.hi[i]);
                        }
                size_t i = c.At(x, y, z);
                c.v[i] = static_cast<unsigned char>((sum + count / 2) / count);
                c.lo[i] = static_cast<unsigned char>(lo);
                c.hi[i] = static_cast<unsigned char>(hi);
            }
    return c;
}

int Bricks(int n, int core) { return (n + core - 1) / core; }

// Brick sides along one axis, level by level ([level][brick]); n[l] is the
// level's size in voxels on that axis. A brick holds the voxels of its
// level left in the volume from its first core voxel (at most core) plus
// the overlap on both sides, so the last brick of a row and the root end
// at the data. The engine finds a brick's parent by the strict centre test
//   lo_p < s * (x0 + side / 2) < hi_p   (integer division)
// with lo_p = 2s * x0_p and hi_p = 2s * (x0_p + side_p). Trimmed bricks
// pass it whenever the overlap is at least 1. Without overlap, a last brick
// that keeps a single voxel at an even position would put its centre on its
// parent's low face: it keeps two voxels (the second past the data, zero).
// The high face is never reached: a parent keeps at least half of what its
// children hold. Both faces are checked here so that a layout the engine
// would refuse is never written.
MakeStatus AxisSides(const std::vector<int>& n, int core, int ov, std::vector<std::vector<int>>& sides) {
    const int levels = static_cast<int>(n.size());
    sides.assign(levels, {});
    for (int l = 0; l < levels; ++l)
        for (int i = 0; i < Bricks(n[l], core); ++i) sides[l].push_back(std::min(core, n[l] - i * core) + 2 * ov);
    for (int l = 0; l + 1 < levels; ++l) {
        const int64_t s = int64_t{1} << l;
        std::vector<int>& row = sides[l];
        const std::vector<int>& up = sides[l + 1];
        for (int i = 0; i < static_cast<int>(row.size()); ++i) {
            const int p = i / 2;
            const int64_t x0 = int64_t{i} * core - ov, x0p = int64_t{p} * core - ov;
            if (2 * s * x0p >= s * (x0 + row[i] / 2) && row[i] == 1) row[i] = 2;
            const int64_t centre = s * (x0 + row[i] / 2);
            if (!(2 * s * x0p < centre && centre < 2 * s * (x0p + up[p])))
                return MakeStatus::Fail("internal: brick layout breaks the parent test");
        }
    }
    return {};
}

// Files written so far; removed on destruction unless kept.
class OutputFiles {
public:
    OutputFiles() = default;
    OutputFiles(const OutputFiles&) = delete;
    OutputFiles& operator=(const OutputFiles&) = delete;
    ~OutputFiles() {
        for (const std::string& p : m_paths) std::remove(p.c_str());
    }
    void Add(const std::string& path) { m_paths.push_back(path); }
    void Keep() { m_paths.clear(); }

private:
    std::vector<std::string> m_paths;
};

std::string StemOf(const std::string& path) {
    size_t cut = path.find_last_of("/\\");
    std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name = name.substr(0, dot);
    for (char& c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.')) c = '_';
    return name;
}

}  // namespace

MakeStatus MakeZb(const SourceVolume& vol, const std::string& zbPath, const ZbMakeOptions& opt,
                  ZbMakeReport* report) {
    const int N = opt.brick, ov = opt.overlap;
    if (N < 4 || N > 1024) return MakeStatus::Fail("--brick must be 4 .. 1024");
    if (ov < 0 || N - 2 * ov < 2) return MakeStatus::Fail("--overlap leaves no core in the brick");
    if (!CheckDims(vol.nx, vol.ny, vol.nz) ||
        vol.values.size() != size_t(vol.nx) * vol.ny * vol.nz)
        return MakeStatus::Fail("source volume is empty or inconsistent");
    if (std::string why = DegenerateSpacing(vol.spacing, vol.nx, vol.ny, vol.nz); !why.empty())
        return MakeStatus::Fail(why);
    const int core = N - 2 * ov;
    double lo, hi;
    if (opt.range) {
        lo = (*opt.range)[0];
        hi = (*opt.range)[1];
        if (!(hi > lo)) return MakeStatus::Fail("--range needs LO < HI");
    } else {
        lo = std::numeric_limits<double>::infinity();
        hi = -lo;
        for (float v : vol.values)
            if (std::isfinite(v)) {
                lo = std::min<double>(lo, v);
                hi = std::max<double>(hi, v);
            }
        if (!(hi > lo)) {  // constant volume
            if (!std::isfinite(lo)) lo = 0;
            hi = lo + 1;
        }
    }
    std::vector<Level> levels;
    {
        Level l0{vol.nx, vol.ny, vol.nz, ScaleToBytes(vol.values, lo, hi), {}, {}};
        l0.lo = l0.v;
        l0.hi = l0.v;
        levels.push_back(std::move(l0));
    }
    while (Bricks(levels.back().nx, core) > 1 || Bricks(levels.back().ny, core) > 1 ||
           Bricks(levels.back().nz, core) > 1) {
        if (static_cast<int>(levels.size()) >= kMaxLevels)
            return MakeStatus::Fail("volume needs strides of 128 or more: use a larger --brick");
        levels.push_back(Halve(levels.back()));
    }
    const int L = static_cast<int>(levels.size()) - 1;

    // Sides of the bricks on each axis at each level.
    std::array<std::vector<std::vector<int>>, 3> sides;
    for (int a = 0; a < 3; ++a) {
        std::vector<int> n;
        for (const Level& lv : levels) n.push_back(a == 0 ? lv.nx : a == 1 ? lv.ny : lv.nz);
        MakeStatus st = AxisSides(n, core, ov, sides[a]);
        if (!st.ok) return st;
    }

    // Brick lines in file order: level 0 first, the root last. Each brick
    // starts on a 64 KiB boundary of the data file; a brick whose byte count
    // is a whole number of 64 KiB blocks is taken by the direct reader.
    struct Line {
        int level, i, j, k, parent, error;
        int nx, ny, nz;
        int64_t offset;
        int64_t Bytes() const { return int64_t{nx} * ny * nz; }
    };
    std::vector<Line> lines;
    std::vector<int> firstOfLevel(L + 2, 0);
    for (int l = 0; l <= L; ++l) {
        firstOfLevel[l] = static_cast<int>(lines.size());
        const int bx = static_cast<int>(sides[0][l].size()), by = static_cast<int>(sides[1][l].size()),
                  bz = static_cast<int>(sides[2][l].size());
        if (int64_t{bx} * by * bz + static_cast<int64_t>(lines.size()) > kMaxBricks)
            return MakeStatus::Fail("more than 8192 bricks: use a larger --brick");
        for (int k = 0; k < bz; ++k)
            for (int j = 0; j < by; ++j)
                for (int i = 0; i < bx; ++i)
                    lines.push_back({l, i, j, k, -1, 0, sides[0][l][i], sides[1][l][j], sides[2][l][k], 0});
    }
    firstOfLevel[L + 1] = static_cast<int>(lines.size());
    int64_t fileBytes = 0;
    for (Line& ln : lines) {
        ln.offset = fileBytes;
        fileBytes += RoundUpToSlot(ln.Bytes());
        if (fileBytes >= kMaxBrickOffset) return MakeStatus::Fail("data file would pass 20,000,000,000 bytes");
        if (ln.level < L) {
            const int pi = ln.i / 2, pj = ln.j / 2, pk = ln.k / 2;
            const int ux = static_cast<int>(sides[0][ln.level + 1].size()),
                      uy = static_cast<int>(sides[1][ln.level + 1].size());
            ln.parent = firstOfLevel[ln.level + 1] + (pk * uy + pj) * ux + pi;
        }
    }

    const std::string dir = DataDirOf(zbPath);
    // The output directory is made when missing, like the copies' directories.
    if (!dir.empty() && !MakeDirs(dir)) return MakeStatus::Fail(dir + ": cannot create");
    const std::string dataName = kDataPrefix + StemOf(zbPath).substr(0, 50) + kDataSuffix;
    std::vector<std::string> dataPaths{dir + dataName};
    std::vector<std::string> others;
    for (std::string d : opt.otherDirs) {
        if (d.empty()) continue;
        if (d.back() != '/') d += '/';
        if (d.size() > 255) return MakeStatus::Fail("directory name longer than 255 characters: " + d);
        if (!MakeDirs(d)) return MakeStatus::Fail(d + ": cannot create");
        others.push_back(d);
        dataPaths.push_back(d + dataName);
    }
    // Every file made from here on is removed again when the tree cannot
    // be finished: no data file without its ZB file, no ZB file that does
    // not load.
    OutputFiles made;
    std::vector<UniqueFile> files;
    for (const std::string& p : dataPaths) {
        files.emplace_back(std::fopen(p.c_str(), "wb"));
        if (!files.back()) return MakeStatus::Fail(p + ": cannot create: " + std::strerror(errno));
        made.Add(p);
    }

    std::vector<unsigned char> brick;
    for (size_t b = 0; b < lines.size(); ++b) {
        Line& ln = lines[b];
        const Level& lv = levels[ln.level];
        brick.assign(static_cast<size_t>(RoundUpToSlot(ln.Bytes())), 0);  // zeros pad to the next brick
        const int x0 = ln.i * core - ov, y0 = ln.j * core - ov, z0 = ln.k * core - ov;
        int err = 0;
        for (int w = 0; w < ln.nz; ++w) {
            const int z = z0 + w;
            if (z < 0 || z >= lv.nz) continue;
            for (int v = 0; v < ln.ny; ++v) {
                const int y = y0 + v;
                if (y < 0 || y >= lv.ny) continue;
                const bool coreYZ = v >= ov && v < ln.ny - ov && w >= ov && w < ln.nz - ov;
                for (int u = 0; u < ln.nx; ++u) {
                    const int x = x0 + u;
                    if (x < 0 || x >= lv.nx) continue;
                    const size_t at = lv.At(x, y, z);
                    const unsigned char val = lv.v[at];
                    brick[(size_t(w) * ln.ny + v) * ln.nx + u] = val;
                    if (coreYZ && u >= ov && u < ln.nx - ov)
                        err = std::max({err, int(val) - lv.lo[at], int(lv.hi[at]) - val});
                }
            }
        }
        ln.error = err;
        for (auto& f : files)
            if (std::fwrite(brick.data(), 1, brick.size(), f.get()) != brick.size())
                return MakeStatus::Fail("cannot write the data file (disk full?)");
        if (opt.progress && ((b + 1) % 256 == 0 || b + 1 == lines.size())) {
            char buf[96];
            std::snprintf(buf, sizeof buf, "zbmake: %zu of %zu bricks written\n", b + 1, lines.size());
            *opt.progress << buf << std::flush;
        }
    }
    for (size_t i = 0; i < files.size(); ++i) {
        if (std::fflush(files[i].get()) != 0 || std::ferror(files[i].get()))
            return MakeStatus::Fail(dataPaths[i] + ": write failed");
        files[i].reset();
    }

    // The ZB file.
    UniqueFile zb(std::fopen(zbPath.c_str(), "wb"));
    if (!zb) return MakeStatus::Fail(zbPath + ": cannot create: " + std::strerror(errno));
    made.Add(zbPath);
    for (const Line& ln : lines) {
        const int stride = 1 << ln.level;
        std::fprintf(zb.get(), "%s %lld %d %d %d %d %d %d %d %d %d\n", dataName.c_str(),
                     static_cast<long long>(ln.offset), stride, ln.nx, ln.ny, ln.nz, ln.i * core - ov,
                     ln.j * core - ov, ln.k * core - ov, ln.parent, ln.error);
    }
    // World limits: the box of the root's core, which is the data rounded up
    // to whole voxels of the coarsest level (and, without overlap, rarely a
    // voxel more). Its longest side spans -1 .. 1, centred on the origin;
    // the others keep their proportions from the voxel spacing, so that the
    // engine's finest voxel, limits / extent, keeps the data's shape.
    const Line& root = lines.back();
    const double extent[3] = {double(root.nx - 2 * ov) * (1 << L), double(root.ny - 2 * ov) * (1 << L),
                              double(root.nz - 2 * ov) * (1 << L)};
    double world[3];
    for (int a = 0; a < 3; ++a) world[a] = extent[a] * vol.spacing[a];
    const double unit = 2.0 / std::max({world[0], world[1], world[2]});
    std::fprintf(zb.get(), "%s %.6f %.6f %.6f %.6f %.6f %.6f\n", kLimitsKeyword, -world[0] * unit / 2,
                 world[0] * unit / 2, -world[1] * unit / 2, world[1] * unit / 2, -world[2] * unit / 2,
                 world[2] * unit / 2);
    if (std::fflush(zb.get()) != 0 || std::ferror(zb.get())) return MakeStatus::Fail(zbPath + ": write failed");
    zb.reset();

    if (!others.empty()) {
        UniqueFile od(std::fopen((dir + kOtherDirsFile).c_str(), "wb"));
        if (!od) return MakeStatus::Fail(dir + kOtherDirsFile + ": cannot create");
        made.Add(dir + kOtherDirsFile);
        for (const std::string& d : others) std::fprintf(od.get(), "%s\n", d.c_str());
        if (std::fflush(od.get()) != 0 || std::ferror(od.get()))
            return MakeStatus::Fail(dir + kOtherDirsFile + ": write failed");
    }
    // The tree must load with the engine's own reader.
    {
        BrickTable check;
        LoadStatus loaded = ReadZbFile(zbPath, {1, 1, 1}, check);
        if (!loaded.ok) return MakeStatus::Fail("the tree written does not load: " + loaded.message);
    }
    made.Keep();
    if (report) {
        report->levels = L + 1;
        report->bricks = static_cast<int>(lines.size());
        report->dataBytes = fileBytes;
        report->dataName = dataName;
        report->lo = lo;
        report->hi = hi;
    }
    return {};
}

bool DescribeZb(const std::string& zbPath, std::ostream& out) {
    BrickTable t;
    LoadStatus s = ReadZbFile(zbPath, {1, 1, 1}, t);
    if (!s.ok) {
        out << "zbmake: " << s.message << "\n";
        return false;
    }
    char buf[512];
    std::snprintf(buf, sizeof buf, "%s: %d bricks, root %d, extent %lld x %lld x %lld finest voxels\n",
                  zbPath.c_str(), t.Count(), t.root, static_cast<long long>(t.extentX),
                  static_cast<long long>(t.extentY), static_cast<long long>(t.extentZ));
    out << buf;
    std::snprintf(buf, sizeof buf, "limits x %.4f .. %.4f  y %.4f .. %.4f  z %.4f .. %.4f\n", t.limits.xmin,
                  t.limits.xmax, t.limits.ymin, t.limits.ymax, t.limits.zmin, t.limits.zmax);
    out << buf;
    struct Stat {
        int count = 0, minErr = INT32_MAX, maxErr = INT32_MIN;
        int64_t bytes = 0;
    };
    std::map<int, Stat> byStride;
    std::map<std::string, int64_t> fileEnds;
    for (const Brick& b : t.bricks) {
        Stat& st = byStride[b.stride];
        ++st.count;
        st.minErr = std::min(st.minErr, b.error);
        st.maxErr = std::max(st.maxErr, b.error);
        st.bytes += b.ByteCount();
        fileEnds[b.name] = std::max(fileEnds[b.name], b.offset + b.ByteCount());
    }
    for (const auto& [stride, st] : byStride) {
        std::snprintf(buf, sizeof buf, "level stride %3d: %5d bricks, overlap %d, %lld bytes, error %d .. %d\n",
                      stride, st.count, t.overlap[stride], static_cast<long long>(st.bytes), st.minErr, st.maxErr);
        out << buf;
    }
    const std::string dir = DataDirOf(zbPath);
    bool filesOk = true;
    for (const auto& [name, end] : fileEnds) {
        std::ifstream f(dir + name, std::ios::binary | std::ios::ate);
        const long long size = f ? static_cast<long long>(f.tellg()) : -1;
        std::snprintf(buf, sizeof buf, "data file %.200s: %lld bytes%s\n", name.c_str(), size,
                      size < 0 ? " (missing)" : size < end ? " (too short)" : "");
        filesOk = filesOk && size >= end;
        out << buf;
    }
    return filesOk;
}

}  // namespace voxa
