#include "tools/zb_single_file.h"

#include "engine/bricks/zb_file.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace voxa {
namespace {

constexpr int64_t kBrickAlign = 65536;
constexpr size_t kMaxNameChars = 63;

int64_t AlignUp(int64_t n) { return n <= 0 ? kBrickAlign : (n + kBrickAlign - 1) / kBrickAlign * kBrickAlign; }

bool ReadFully(int fd, unsigned char* p, size_t n, int64_t offset) {
    size_t done = 0;
    while (done < n) {
        ssize_t got = ::pread(fd, p + done, n - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

bool WriteFully(int fd, const void* data, size_t n, int64_t offset) {
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < n) {
        ssize_t put = ::pwrite(fd, p + done, n - done, static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

// Index: bricks in line order, laid out one after another after the
// header area, every line naming the file itself; *end is where the last
// brick ends.
std::string IndexText(const BrickTable& table, const std::string& name, std::vector<int64_t>& offsets,
                      int64_t& end) {
    std::string text;
    int64_t position = kSingleFileHeaderBytes;
    char line[256];
    for (const Brick& b : table.bricks) {
        offsets.push_back(position);
        std::snprintf(line, sizeof line, "%s %lld %d %d %d %d %d %d %d %d %d\n", name.c_str(),
                      static_cast<long long>(position), b.stride, b.nx, b.ny, b.nz, b.x0, b.y0, b.z0,
                      b.parent, b.error);
        text += line;
        position += AlignUp(b.ByteCount());
    }
    const WorldLimits& l = table.limits;
    std::snprintf(line, sizeof line, "%s %.6f %.6f %.6f %.6f %.6f %.6f\n", kLimitsKeyword, l.xmin, l.xmax,
                  l.ymin, l.ymax, l.zmin, l.zmax);
    text += line;
    end = position;
    return text;
}

}  // namespace

Status PackSingleFile(const std::string& zbPath, const std::string& outPath) {
    BrickTable table;
    VOXA_TRY(ReadZbFile(zbPath, {1, 1, 1}, table));
    size_t cut = outPath.find_last_of('/');
    const std::string name = cut == std::string::npos ? outPath : outPath.substr(cut + 1);
    if (name.empty() || name.size() > kMaxNameChars)
        return InvalidArgument(outPath + ": the file name must be 1 to 63 characters");

    std::vector<int64_t> offsets;
    int64_t position = 0;
    const std::string text = IndexText(table, name, offsets, position);
    if (static_cast<int64_t>(text.size()) >= kSingleFileHeaderBytes)
        return InvalidArgument("the index of " + std::to_string(table.Count()) +
                               " bricks does not fit in 131,072 bytes: use a larger --brick");

    const std::string part = outPath + ".part";
    UniqueFd out(::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out) return IoError(part + ": cannot create: " + std::strerror(errno));
    auto fail = [&](const std::string& m) {
        out = UniqueFd();
        ::unlink(part.c_str());
        return IoError(m);
    };
    if (::ftruncate(out.Get(), static_cast<off_t>(position)) != 0 ||
        !WriteFully(out.Get(), text.data(), text.size(), 0))
        return fail(part + ": write failed");
    const std::string dir = DataDirOf(zbPath);
    std::vector<unsigned char> bytes;
    std::string openName;
    UniqueFd in;
    for (size_t i = 0; i < table.bricks.size(); ++i) {
        const Brick& b = table.bricks[i];
        if (!in || openName != b.name) {
            in = UniqueFd(::open((dir + b.name).c_str(), O_RDONLY | O_CLOEXEC));
            openName = b.name;
            if (!in) return fail(dir + b.name + ": cannot open");
        }
        bytes.resize(static_cast<size_t>(b.ByteCount()));
        if (!ReadFully(in.Get(), bytes.data(), bytes.size(), b.offset))
            return fail(dir + b.name + ": ends inside brick " + std::to_string(i));
        if (!WriteFully(out.Get(), bytes.data(), bytes.size(), offsets[i])) return fail(part + ": write failed");
    }
    if (::fsync(out.Get()) != 0 || ::close(out.Release()) != 0) return fail(part + ": write failed");
    if (::rename(part.c_str(), outPath.c_str()) != 0)
        return fail(outPath + ": cannot rename into place: " + std::strerror(errno));
    return Status::Ok();
}

}  // namespace voxa
