// Fuzz harness: the index of a single-file brick tree as it arrives from a
// remote host, read, pruned at every depth and written again. A pruned tree
// must lie on 64 KiB boundaries after the header area, inside its length,
// and its index must read back as the same number of bricks.
#include "fileport/zb_prune.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace voxa::fileport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(kZbHeaderBytes)) size = static_cast<size_t>(kZbHeaderBytes);
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    auto header = ParseZbHeader(bytes, 32 << 20);
    if (!header.ok()) return 0;
    for (int levels = 1; levels <= 8; ++levels) {
        auto tree = PruneZbTree(*header, levels, "fuzz.zb");
        if (!tree.ok()) continue;
        for (const PrunedBrick& b : tree->bricks) {
            if (b.brick.offset < kZbHeaderBytes || b.brick.offset % kZbBrickAlign != 0) std::abort();
            if (b.brick.offset + b.brick.Bytes() > tree->fileLength) std::abort();
            if (b.brick.parent >= static_cast<int>(tree->bricks.size())) std::abort();
        }
        auto text = ZbHeaderText(*tree);
        if (!text.ok()) continue;
        auto again = ParseZbHeader(*text, 32 << 20);
        if (!again.ok() || again->bricks.size() != tree->bricks.size()) std::abort();
    }
    return 0;
}
