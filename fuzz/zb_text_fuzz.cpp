// ZB text (the index of a brick tree) from outside: any text either loads
// into a table whose every brick has its parent, or is refused with a
// message and leaves the table empty.
#include "engine/bricks/zb_file.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    voxa::BrickTable table;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    voxa::Status status = voxa::ParseZbText(text, {1, 1, 1}, table, "fuzz.zb");
    if (!status.ok()) {
        if (table.Count() != 0 || status.message().empty()) std::abort();
        return 0;
    }
    if (table.root != table.Count() - 1 || table.extentX <= 0 || table.extentY <= 0 ||
        table.extentZ <= 0)
        std::abort();
    for (int k = 0; k < table.Count(); ++k) {
        const voxa::Brick& b = table.bricks[k];
        if (k == table.root) continue;
        if (b.parent < 0 || b.parent >= table.Count()) std::abort();
        if (table.bricks[b.parent].stride != 2 * b.stride) std::abort();
    }
    return 0;
}
