#include "tools/zbmake.h"


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
#include <memory>

namespace voxa {
namespace {

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

Status ShortRawFile(const std::string& path, int64_t holds, int nx, int ny, int nz, int64_t need) {
    char buf[160];
    std::snprintf(buf, sizeof buf, ": holds %lld bytes, %dx%dx%d voxels need %lld", static_cast<long long>(holds),
                  nx, ny, nz, static_cast<long long>(need));
    return InvalidArgument(path + buf);
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

Status LoadRawVolume(const std::string& path, int nx, int ny, int nz, RawType type, SourceVolume& out) {
    if (!VolumeDimsFit(nx, ny, nz)) return InvalidArgument("dimensions must be 1..65536 and at most 2^31 voxels");
    const int bpv = type == RawType::kU8 ? 1 : type == RawType::kU16 ? 2 : 4;
    const int64_t n = int64_t{nx} * ny * nz;
    int64_t fileSize = 0;
    VOXA_TRY(CheckInputFile(path, &fileSize));
    // The claimed size is checked against the file, then against memory,
    // before anything of that size is allocated.
    if (fileSize < n * bpv) return ShortRawFile(path, fileSize, nx, ny, nz, n * bpv);
    VOXA_TRY(CheckMemory(path, n, n * bpv));
    std::ifstream in(path, std::ios::binary);
    if (!in) return IoError(path + ": cannot open");
    std::vector<unsigned char> raw(static_cast<size_t>(n * bpv));
    in.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
    if (in.gcount() != static_cast<std::streamsize>(raw.size()))
        return ShortRawFile(path, in.gcount(), nx, ny, nz, n * bpv);
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
    return Status::Ok();
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
    if (!VolumeDimsFit(r.nx, r.ny, r.nz)) return InvalidArgument("bad dimensions");
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

namespace {

// The header's fields, each checked; *notNifti tells a file without a
// NIfTI-1 header from a NIfTI-1 file with a bad one.
Result<NiftiHeader> ReadNiftiHeader(gzFile f, const std::string& path, std::vector<unsigned char>& bytes,
                                    bool* notNifti) {
    if (!GzReadUpTo(f, kNiftiHeaderBytes, bytes)) return IoError(GzError(f, path));
    if (bytes.size() < kNiftiHeaderBytes) {
        *notNifti = true;
        return InvalidArgument(path + ": too short for a NIfTI-1 header");
    }
    Result<NiftiHeader> parsed = ParseNiftiHeader(bytes.data(), bytes.size());
    if (!parsed.ok()) {
        *notNifti = !LooksLikeNifti(bytes.data(), bytes.size());
        return parsed.status().Prefixed(path);
    }
    return parsed;
}

// One voxel of the header's datatype, scaled when the header says so.
double NiftiValue(const NiftiHeader& h, const unsigned char* p) {
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
    return h.slope != 0 ? v * h.slope + h.inter : v;
}

}  // namespace

Status LoadNifti(const std::string& path, SourceVolume& out, bool* notNifti) {
    bool noHeader = false;
    if (notNifti == nullptr) notNifti = &noHeader;
    *notNifti = false;
    int64_t fileSize = 0;
    VOXA_TRY(CheckInputFile(path, &fileSize));
    GzFile f(gzopen(path.c_str(), "rb"));
    if (!f) return IoError(path + ": cannot open");
    // The header first: every field is checked before the data is read.
    std::vector<unsigned char> bytes;
    VOXA_ASSIGN_OR_RETURN(const NiftiHeader h, ReadNiftiHeader(f.get(), path, bytes, notNifti));
    const int64_t n = int64_t{h.nx} * h.ny * h.nz;
    const int64_t end = h.dataStart + n * h.bytesPerVoxel;
    const bool plain = gzdirect(f.get()) != 0;
    if (plain && end > fileSize) return InvalidArgument(path + ": file ends inside the voxel data");
    VOXA_TRY(CheckMemory(path, n, end));
    // A compressed file grows the buffer only as far as its data reaches.
    if (!GzReadUpTo(f.get(), static_cast<size_t>(end) - bytes.size(), bytes)) return IoError(GzError(f.get(), path));
    if (static_cast<int64_t>(bytes.size()) < end) return InvalidArgument(path + ": file ends inside the voxel data");
    out.nx = h.nx;
    out.ny = h.ny;
    out.nz = h.nz;
    out.values.resize(static_cast<size_t>(n));
    const unsigned char* base = bytes.data() + h.dataStart;
    for (int64_t i = 0; i < n; ++i) out.values[i] = static_cast<float>(NiftiValue(h, base + i * h.bytesPerVoxel));
    out.spacing = h.spacing;
    return Status::Ok();
}


}  // namespace voxa
