#include "engine/bricks/zb_writer.h"

#include "engine/bricks/brick_cache.h"
#include "engine/bricks/zb_file.h"
#include "platform/paths.h"
#include "platform/unique_fd.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>

namespace voxa {
namespace {

constexpr char kDataPrefix[] = "data_";
constexpr char kDataSuffix[] = ".raw";
constexpr int kMaxLevels = 7;  // strides 1 .. 64

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
Status AxisSides(const std::vector<int>& n, int core, int ov, std::vector<std::vector<int>>& sides) {
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
                return Failed("internal: brick layout breaks the parent test");
        }
    }
    return Status::Ok();
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

bool VolumeDimsFit(int64_t nx, int64_t ny, int64_t nz) {
    return nx > 0 && ny > 0 && nz > 0 && nx <= 65536 && ny <= 65536 && nz <= 65536 &&
           nx * ny * nz <= kMaxVolumeVoxels;
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

// One brick line of the ZB file, in file order.
struct Line {
    int level, i, j, k, parent, error;
    int nx, ny, nz;
    int64_t offset;
    int64_t Bytes() const { return int64_t{nx} * ny * nz; }
};

// Where every brick lies: its sides per axis and level, its line, its
// place in the data file.
struct Layout {
    int core = 0, overlap = 0;
    int top = 0;  // the root's level
    std::vector<Line> lines;
    int64_t fileBytes = 0;
};

Status CheckMakeInputs(const SourceVolume& vol, const ZbMakeOptions& opt) {
    const int N = opt.brick, ov = opt.overlap;
    if (N < 4 || N > 1024) return InvalidArgument("--brick must be 4 .. 1024");
    if (ov < 0 || N - 2 * ov < 2) return InvalidArgument("--overlap leaves no core in the brick");
    if (!VolumeDimsFit(vol.nx, vol.ny, vol.nz) || vol.values.size() != size_t(vol.nx) * vol.ny * vol.nz)
        return InvalidArgument("source volume is empty or inconsistent");
    if (std::string why = DegenerateSpacing(vol.spacing, vol.nx, vol.ny, vol.nz); !why.empty())
        return InvalidArgument(why);
    return Status::Ok();
}

// The values mapped to bytes 0 and 255: the given range, or the finite
// data's range (a constant volume spans one unit from its value).
Result<std::array<double, 2>> ByteRange(const SourceVolume& vol, const ZbMakeOptions& opt) {
    if (opt.range) {
        const double lo = (*opt.range)[0], hi = (*opt.range)[1];
        if (!(hi > lo)) return InvalidArgument("--range needs LO < HI");
        return std::array<double, 2>{lo, hi};
    }
    double lo = std::numeric_limits<double>::infinity();
    double hi = -lo;
    for (float v : vol.values)
        if (std::isfinite(v)) {
            lo = std::min<double>(lo, v);
            hi = std::max<double>(hi, v);
        }
    if (!(hi > lo)) {
        if (!std::isfinite(lo)) lo = 0;
        hi = lo + 1;
    }
    return std::array<double, 2>{lo, hi};
}

// Level 0 is the scaled volume; each further level halves it until one
// brick of `core` voxels holds it all.
Result<std::vector<Level>> BuildLevels(const SourceVolume& vol, int core, double lo, double hi) {
    std::vector<Level> levels;
    Level l0{vol.nx, vol.ny, vol.nz, ScaleToBytes(vol.values, lo, hi), {}, {}};
    l0.lo = l0.v;
    l0.hi = l0.v;
    levels.push_back(std::move(l0));
    while (Bricks(levels.back().nx, core) > 1 || Bricks(levels.back().ny, core) > 1 ||
           Bricks(levels.back().nz, core) > 1) {
        if (static_cast<int>(levels.size()) >= kMaxLevels)
            return InvalidArgument("volume needs strides of 128 or more: use a larger --brick");
        levels.push_back(Halve(levels.back()));
    }
    return levels;
}

// Brick lines in file order: level 0 first, the root last. Each brick
// starts on a 64 KiB boundary of the data file; a brick whose byte count
// is a whole number of 64 KiB blocks is taken by the direct reader.
Result<Layout> LayOutBricks(const std::vector<Level>& levels, int core, int ov) {
    std::array<std::vector<std::vector<int>>, 3> sides;
    for (int a = 0; a < 3; ++a) {
        std::vector<int> n;
        for (const Level& lv : levels) n.push_back(a == 0 ? lv.nx : a == 1 ? lv.ny : lv.nz);
        VOXA_TRY(AxisSides(n, core, ov, sides[a]));
    }
    Layout out;
    out.core = core;
    out.overlap = ov;
    out.top = static_cast<int>(levels.size()) - 1;
    std::vector<Line>& lines = out.lines;
    std::vector<int> firstOfLevel(out.top + 2, 0);
    for (int l = 0; l <= out.top; ++l) {
        firstOfLevel[l] = static_cast<int>(lines.size());
        const int bx = static_cast<int>(sides[0][l].size()), by = static_cast<int>(sides[1][l].size()),
                  bz = static_cast<int>(sides[2][l].size());
        if (int64_t{bx} * by * bz + static_cast<int64_t>(lines.size()) > kMaxBricks)
            return InvalidArgument("more than 8192 bricks: use a larger --brick");
        for (int k = 0; k < bz; ++k)
            for (int j = 0; j < by; ++j)
                for (int i = 0; i < bx; ++i)
                    lines.push_back({l, i, j, k, -1, 0, sides[0][l][i], sides[1][l][j], sides[2][l][k], 0});
    }
    firstOfLevel[out.top + 1] = static_cast<int>(lines.size());
    for (Line& ln : lines) {
        ln.offset = out.fileBytes;
        out.fileBytes += RoundUpToSlot(ln.Bytes());
        if (out.fileBytes >= kMaxBrickOffset) return InvalidArgument("data file would pass 20,000,000,000 bytes");
        if (ln.level < out.top) {
            const int ux = static_cast<int>(sides[0][ln.level + 1].size()),
                      uy = static_cast<int>(sides[1][ln.level + 1].size());
            ln.parent = firstOfLevel[ln.level + 1] + ((ln.k / 2) * uy + ln.j / 2) * ux + ln.i / 2;
        }
    }
    return out;
}

// The data file beside the ZB file and its copies in the other
// directories, all created (directories made when missing).
struct DataFiles {
    std::string dir;       // of the ZB file
    std::string dataName;  // the data file's name, in every directory
    std::vector<std::string> others;
    std::vector<std::string> paths;
    std::vector<UniqueFile> files;
};

Status CreateDataFiles(const std::string& zbPath, const ZbMakeOptions& opt, OutputFiles& made, DataFiles& out) {
    out.dir = DataDirOf(zbPath);
    if (!out.dir.empty() && !MakeDirs(out.dir)) return IoError(out.dir + ": cannot create");
    out.dataName = kDataPrefix + StemOf(zbPath).substr(0, 50) + kDataSuffix;
    out.paths = {out.dir + out.dataName};
    for (std::string d : opt.otherDirs) {
        if (d.empty()) continue;
        if (d.back() != '/') d += '/';
        if (d.size() > 255) return InvalidArgument("directory name longer than 255 characters: " + d);
        if (!MakeDirs(d)) return IoError(d + ": cannot create");
        out.others.push_back(d);
        out.paths.push_back(d + out.dataName);
    }
    for (const std::string& p : out.paths) {
        out.files.emplace_back(std::fopen(p.c_str(), "wb"));
        if (!out.files.back()) return IoError(p + ": cannot create: " + std::strerror(errno));
        made.Add(p);
    }
    return Status::Ok();
}

// Copies a brick's voxels (zero outside the level) into `brick` and
// returns its error: the largest difference between a core voxel and the
// finest voxels it stands for.
int FillBrick(const Level& lv, const Line& ln, int core, int ov, std::vector<unsigned char>& brick) {
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
                if (coreYZ && u >= ov && u < ln.nx - ov) err = std::max({err, int(val) - lv.lo[at], int(lv.hi[at]) - val});
            }
        }
    }
    return err;
}

Status WriteBricks(const std::vector<Level>& levels, Layout& layout, DataFiles& data, std::ostream* progress) {
    std::vector<unsigned char> brick;
    const size_t count = layout.lines.size();
    for (size_t b = 0; b < count; ++b) {
        Line& ln = layout.lines[b];
        ln.error = FillBrick(levels[ln.level], ln, layout.core, layout.overlap, brick);
        for (auto& f : data.files)
            if (std::fwrite(brick.data(), 1, brick.size(), f.get()) != brick.size())
                return IoError("cannot write the data file (disk full?)");
        if (progress && ((b + 1) % 256 == 0 || b + 1 == count)) {
            char buf[96];
            std::snprintf(buf, sizeof buf, "zbmake: %zu of %zu bricks written\n", b + 1, count);
            *progress << buf << std::flush;
        }
    }
    for (size_t i = 0; i < data.files.size(); ++i) {
        if (std::fflush(data.files[i].get()) != 0 || std::ferror(data.files[i].get()))
            return IoError(data.paths[i] + ": write failed");
        data.files[i].reset();
    }
    return Status::Ok();
}

// The brick lines, then the world limits: the box of the root's core,
// which is the data rounded up to whole voxels of the coarsest level (and,
// without overlap, rarely a voxel more). Its longest side spans -1 .. 1,
// centred on the origin; the others keep their proportions from the voxel
// spacing, so that the engine's finest voxel, limits / extent, keeps the
// data's shape.
Status WriteZbText(const std::string& zbPath, const Layout& layout, const std::string& dataName,
                   const std::array<float, 3>& spacing, OutputFiles& made) {
    UniqueFile zb(std::fopen(zbPath.c_str(), "wb"));
    if (!zb) return IoError(zbPath + ": cannot create: " + std::strerror(errno));
    made.Add(zbPath);
    const int core = layout.core, ov = layout.overlap, L = layout.top;
    for (const Line& ln : layout.lines) {
        const int stride = 1 << ln.level;
        std::fprintf(zb.get(), "%s %lld %d %d %d %d %d %d %d %d %d\n", dataName.c_str(),
                     static_cast<long long>(ln.offset), stride, ln.nx, ln.ny, ln.nz, ln.i * core - ov,
                     ln.j * core - ov, ln.k * core - ov, ln.parent, ln.error);
    }
    const Line& root = layout.lines.back();
    const double extent[3] = {double(root.nx - 2 * ov) * (1 << L), double(root.ny - 2 * ov) * (1 << L),
                              double(root.nz - 2 * ov) * (1 << L)};
    double world[3];
    for (int a = 0; a < 3; ++a) world[a] = extent[a] * spacing[a];
    const double unit = 2.0 / std::max({world[0], world[1], world[2]});
    std::fprintf(zb.get(), "%s %.6f %.6f %.6f %.6f %.6f %.6f\n", kLimitsKeyword, -world[0] * unit / 2,
                 world[0] * unit / 2, -world[1] * unit / 2, world[1] * unit / 2, -world[2] * unit / 2,
                 world[2] * unit / 2);
    if (std::fflush(zb.get()) != 0 || std::ferror(zb.get())) return IoError(zbPath + ": write failed");
    return Status::Ok();
}

Status WriteOtherDirs(const DataFiles& data, OutputFiles& made) {
    if (data.others.empty()) return Status::Ok();
    const std::string path = data.dir + kOtherDirsFile;
    UniqueFile od(std::fopen(path.c_str(), "wb"));
    if (!od) return IoError(path + ": cannot create");
    made.Add(path);
    for (const std::string& d : data.others) std::fprintf(od.get(), "%s\n", d.c_str());
    if (std::fflush(od.get()) != 0 || std::ferror(od.get())) return IoError(path + ": write failed");
    return Status::Ok();
}

}  // namespace

Status MakeZb(const SourceVolume& vol, const std::string& zbPath, const ZbMakeOptions& opt, ZbMakeReport* report) {
    VOXA_TRY(CheckMakeInputs(vol, opt));
    const int core = opt.brick - 2 * opt.overlap;
    using ByteSpan = std::array<double, 2>;
    VOXA_ASSIGN_OR_RETURN(const ByteSpan range, ByteRange(vol, opt));
    VOXA_ASSIGN_OR_RETURN(const std::vector<Level> levels, BuildLevels(vol, core, range[0], range[1]));
    VOXA_ASSIGN_OR_RETURN(Layout layout, LayOutBricks(levels, core, opt.overlap));
    // Every file made from here on is removed again when the tree cannot
    // be finished: no data file without its ZB file, no ZB file that does
    // not load.
    OutputFiles made;
    DataFiles data;
    VOXA_TRY(CreateDataFiles(zbPath, opt, made, data));
    VOXA_TRY(WriteBricks(levels, layout, data, opt.progress));
    VOXA_TRY(WriteZbText(zbPath, layout, data.dataName, vol.spacing, made));
    VOXA_TRY(WriteOtherDirs(data, made));
    // The tree must load with the engine's own reader.
    BrickTable check;
    if (Status loaded = ReadZbFile(zbPath, {1, 1, 1}, check); !loaded.ok())
        return Failed("the tree written does not load: " + loaded.message());
    made.Keep();
    if (report) {
        report->levels = layout.top + 1;
        report->bricks = static_cast<int>(layout.lines.size());
        report->dataBytes = layout.fileBytes;
        report->dataName = data.dataName;
        report->lo = range[0];
        report->hi = range[1];
    }
    return Status::Ok();
}

namespace {

void DescribeLevels(const BrickTable& t, std::ostream& out) {
    struct Stat {
        int count = 0, minErr = INT32_MAX, maxErr = INT32_MIN;
        int64_t bytes = 0;
    };
    std::map<int, Stat> byStride;
    for (const Brick& b : t.bricks) {
        Stat& st = byStride[b.stride];
        ++st.count;
        st.minErr = std::min(st.minErr, b.error);
        st.maxErr = std::max(st.maxErr, b.error);
        st.bytes += b.ByteCount();
    }
    char buf[512];
    for (const auto& [stride, st] : byStride) {
        std::snprintf(buf, sizeof buf, "level stride %3d: %5d bricks, overlap %d, %lld bytes, error %d .. %d\n",
                      stride, st.count, t.overlap[stride], static_cast<long long>(st.bytes), st.minErr, st.maxErr);
        out << buf;
    }
}

bool DescribeDataFiles(const BrickTable& t, const std::string& dir, std::ostream& out) {
    std::map<std::string, int64_t> fileEnds;
    for (const Brick& b : t.bricks) fileEnds[b.name] = std::max(fileEnds[b.name], b.offset + b.ByteCount());
    char buf[512];
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

}  // namespace

bool DescribeZb(const std::string& zbPath, std::ostream& out) {
    BrickTable t;
    Status s = ReadZbFile(zbPath, {1, 1, 1}, t);
    if (!s.ok()) {
        out << "zbmake: " << s.message() << "\n";
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
    DescribeLevels(t, out);
    return DescribeDataFiles(t, DataDirOf(zbPath), out);
}

}  // namespace voxa
