#include "engine/bricks/brick_store.h"

#include "engine/bricks/brick_cache.h"
#include "engine/timers/timers.h"
#include "platform/debug_file.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

namespace voxa {

Status BrickStore::LoadVolume(const std::string& zbPath, const ScaleFactors& scale, BrickCache* cache) {
    if (m_pathKnown && zbPath == m_path && scale == m_scale) return m_lastStatus;
    m_pathKnown = true;
    ++m_loads;
    m_path = zbPath;
    m_scale = scale;
    m_paired = false;
    loadedBrick = -1;
    if (cache) cache->Flush();
    m_dataDir = DataDirOf(zbPath);
    if (!std::ifstream(zbPath)) {
        MakeTestVolume(m_table, m_buffers, scale[0], scale[1], scale[2]);
        m_testVolume = true;
        loadedBrick = 0;  // its bytes are already in the work buffers
        return m_lastStatus = Status::Ok();
    }
    m_testVolume = false;
    Status s = ReadZbFile(zbPath, scale, m_table);
    if (s.ok() && !m_buffers.Reserve(m_table.largestPadded)) {
        m_table.Clear();
        s = Failed(zbPath + ": cannot allocate the work buffers");
    }
    if (!s.ok()) {
        AppendDebugText(kDebugVoxaFile, "ZB file: " + s.message() + "\n");
        return m_lastStatus = s;
    }
    m_paired = IsPairedName(m_table.bricks[0].name);
    return m_lastStatus = Status::Ok();
}

std::string BrickStore::BrickPath(int brick) const {
    if (brick < 0 || brick >= m_table.Count()) return {};
    return m_dataDir + m_table.bricks[brick].name;
}

std::string BrickStore::SecondBrickPath(int brick) const {
    if (brick < 0 || brick >= m_table.Count()) return {};
    return m_dataDir + AlphaName(m_table.bricks[brick].name);
}

Status CheckVolumeFiles(const BrickStore& store, BrickCache& cache,
                        const std::function<Status(const std::string& path)>& check) {
    if (store.IsTestVolume()) return Status::Ok();
    std::set<std::string> names;
    for (int i = 0; i < store.Table().Count(); ++i) {
        names.insert(store.BrickPath(i));
        if (store.IsPaired()) names.insert(store.SecondBrickPath(i));
    }
    std::set<std::string> checked;
    const int dirs = cache.DirectoryCount();
    for (const std::string& name : names) {
        for (int d = 0; d < dirs; ++d) {
            const std::string path = cache.ReaderPath(d, name);
            if (!checked.insert(path).second) continue;
            if (Status s = check(path); !s.ok())
                return Refused("data file " + path + " (brick file " +
                               name.substr(store.DataDir().size()) + "): " + s.message());
        }
    }
    return Status::Ok();
}

namespace {

void CopyRows(const unsigned char* src, const Brick& b, const PaddedSides& p, unsigned char* dst) {
    std::memset(dst, kPadValue, static_cast<size_t>(p.Volume()));
    for (int z = 0; z < b.nz; ++z)
        for (int y = 0; y < b.ny; ++y)
            std::memcpy(dst + (int64_t{z} * p.y + y) * p.x, src + (int64_t{z} * b.ny + y) * b.nx,
                        static_cast<size_t>(b.nx));
}

}  // namespace

const unsigned char* OddBrickFill(const unsigned char* src, const Brick& b, unsigned char* padded,
                                  TimerRecorder* timers) {
    const PaddedSides p = PadBrick(b);
    if (p.x == b.nx && p.y == b.ny) return src;
    if (timers) timers->StampTimer(kBeginOddBrickFill);
    CopyRows(src, b, p, padded);
    if (timers) {
        char label[64];
        std::snprintf(label, sizeof label, kEndOddBrickFillFormat, static_cast<int>(b.ByteCount()));
        timers->StampTimer(label);
    }
    return padded;
}

bool ReadSecondBrick(const std::string& path, const Brick& b, int bufferedIO, DirectBrickReader& reader,
                     WorkBuffers& buffers) {
    const PaddedSides p = PadBrick(b);
    const int64_t count = b.ByteCount();
    const bool inPlace = p.x == b.nx && p.y == b.ny;
    unsigned char* dest = inPlace ? buffers.PaddedSecond() : buffers.Staging();
    const int64_t got = reader.ReadWith(bufferedIO, dest, path, b.offset, count);
    if (got != count) {
        std::memset(buffers.PaddedSecond(), kPadValue, static_cast<size_t>(p.Volume()));
        return false;
    }
    if (!inPlace) CopyRows(dest, b, p, buffers.PaddedSecond());
    return true;
}

}  // namespace voxa
