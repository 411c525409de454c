#include "fileport/zb_prune.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <functional>
#include <set>

namespace voxa::fileport {
namespace {

constexpr char kDelimiters[] = " ,;\t\n\r";
constexpr char kBrickLineFormat[] = "%s %10lld %2d   %4d %4d %4d   %5d %5d %5d %8d %3d\n";

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string_view> Tokens(std::string_view line) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        i = line.find_first_not_of(kDelimiters, i);
        if (i == std::string_view::npos) break;
        size_t end = line.find_first_of(kDelimiters, i);
        if (end == std::string_view::npos) end = line.size();
        out.push_back(line.substr(i, end - i));
        i = end;
    }
    return out;
}

template <typename T>
bool ParseNumber(std::string_view token, T* out) {
    if (!token.empty() && token[0] == '+') token.remove_prefix(1);
    auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), *out);
    return ec == std::errc() && end == token.data() + token.size();
}

std::string LineNote(size_t index, const std::string& what) {
    return "index line " + std::to_string(index + 1) + ": " + what;
}

}  // namespace

int64_t LaidOutBytes(int64_t bytes) {
    if (bytes <= 0) return kZbBrickAlign;
    return (bytes + kZbBrickAlign - 1) / kZbBrickAlign * kZbBrickAlign;
}

Result<ZbHeader> ParseZbHeader(std::string_view bytes, int64_t maxBrickBytes) {
    size_t nul = bytes.find('\0');
    if (nul != std::string_view::npos) bytes = bytes.substr(0, nul);
    const std::vector<std::string_view> lines = SplitLines(bytes);
    ZbHeader header;
    size_t li = 0;
    bool haveRoot = false;
    for (; li < lines.size() && !haveRoot; ++li) {
        std::string_view line = lines[li];
        if (line.size() > kMaxBrickLine)
            return InvalidArgument(LineNote(li, "longer than 200 characters"));
        auto t = Tokens(line);
        if (t.size() < 11) break;  // a line that runs out of tokens ends the bricks
        if (static_cast<int>(header.bricks.size()) >= kMaxTreeBricks)
            return InvalidArgument(LineNote(li, "more than 2048 bricks"));
        TreeBrick b;
        if (t[0].size() > kMaxBrickName)
            return InvalidArgument(LineNote(li, "brick name longer than 63 characters"));
        b.name = std::string(t[0]);
        bool good = ParseNumber(t[1], &b.offset) && ParseNumber(t[2], &b.stride) &&
                    ParseNumber(t[3], &b.nx) && ParseNumber(t[4], &b.ny) && ParseNumber(t[5], &b.nz) &&
                    ParseNumber(t[6], &b.x0) && ParseNumber(t[7], &b.y0) && ParseNumber(t[8], &b.z0) &&
                    ParseNumber(t[9], &b.parent) && ParseNumber(t[10], &b.error);
        if (!good) return InvalidArgument(LineNote(li, "a field is not a whole number in range"));
        if (b.stride < 1 || b.stride > kMaxTreeStride)
            return InvalidArgument(LineNote(li, "stride outside 1 .. 127"));
        if (b.nx < 1 || b.ny < 1 || b.nz < 1 || b.nx > kMaxTreeSide || b.ny > kMaxTreeSide ||
            b.nz > kMaxTreeSide)
            return InvalidArgument(LineNote(li, "brick side outside 1 .. 65536"));
        if (b.Bytes() > maxBrickBytes)
            return InvalidArgument(LineNote(li, "brick larger than one transfer may carry"));
        if (b.offset < 0 || b.offset > kPartFileAddressLimit - b.Bytes())
            return InvalidArgument(LineNote(li, "brick lies beyond the first 4 GiB of its file"));
        haveRoot = b.parent < 0;
        header.bricks.push_back(std::move(b));
    }
    if (!haveRoot) return InvalidArgument("the index ends before its root line");
    const int count = static_cast<int>(header.bricks.size());
    for (int i = 0; i + 1 < count; ++i) {
        const TreeBrick& b = header.bricks[i];
        if (b.parent >= count || b.parent == i)
            return InvalidArgument(LineNote(i, "parent field out of range"));
        if (header.bricks[b.parent].stride <= b.stride)
            return InvalidArgument(LineNote(i, "parent is not coarser than the brick"));
    }
    for (; li < lines.size() && static_cast<int>(header.trailer.size()) < kMaxTrailerLines; ++li) {
        std::string_view line = lines[li];
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.size() < 2) break;
        if (line.size() > kMaxTrailerLine)
            return InvalidArgument(LineNote(li, "trailer line longer than 255 characters"));
        header.trailer.emplace_back(line);
    }
    return header;
}

Result<PrunedTree> PruneZbTree(const ZbHeader& header, int levels, const std::string& newName) {
    if (header.bricks.empty()) return InvalidArgument("no bricks");
    if (newName.empty() || newName.size() > kMaxBrickName)
        return InvalidArgument("file name must be 1 to 63 characters: " + newName);
    const int count = static_cast<int>(header.bricks.size());
    const TreeBrick& root = header.bricks.back();
    int minStride = root.stride;
    for (int i = 1; i < levels; ++i) minStride /= 2;
    minStride = std::max(1, minStride);

    PrunedTree tree;
    tree.trailer = header.trailer;
    std::vector<int> newIndex(count, -1);
    for (int i = 0; i < count; ++i) {
        const TreeBrick& b = header.bricks[i];
        if (b.stride < minStride) continue;
        newIndex[i] = static_cast<int>(tree.bricks.size());
        PrunedBrick p;
        p.brick = b;
        p.brick.name = newName;
        p.sourceOffset = b.offset;
        p.brick.stride = b.stride / minStride;
        if (p.brick.stride == 1) p.brick.error = 0;
        tree.bricks.push_back(std::move(p));
    }
    const int kept = static_cast<int>(tree.bricks.size());
    std::vector<std::vector<int>> children(kept);
    for (int i = 0; i < count; ++i) {
        if (newIndex[i] < 0) continue;
        PrunedBrick& p = tree.bricks[newIndex[i]];
        const int oldParent = header.bricks[i].parent;
        if (oldParent < 0) continue;
        const int parent = newIndex[oldParent];
        if (parent < 0) return InvalidArgument("a kept brick's parent was not kept");
        p.brick.parent = parent;
        if (static_cast<int>(children[parent].size()) >= kMaxTreeChildren)
            return InvalidArgument("a brick has more than 64 children");
        children[parent].push_back(newIndex[i]);
    }

    // Layout: finest new stride first; within a stride, bricks in the order
    // a depth-first walk from the root meets them.
    std::set<int> strides;
    for (const PrunedBrick& p : tree.bricks) strides.insert(p.brick.stride);
    std::vector<bool> placed(kept, false);
    int64_t position = kZbHeaderBytes;
    bool tooLong = false;
    const int rootIndex = kept - 1;  // the root is the last line and always kept
    for (int t : strides) {
        std::function<void(int)> walk = [&](int k) {
            PrunedBrick& p = tree.bricks[k];
            if (p.brick.stride == t) {
                if (!placed[k]) {
                    placed[k] = true;
                    p.brick.offset = position;
                    position += LaidOutBytes(p.brick.Bytes());
                    if (position > kMaxPrunedFile) tooLong = true;
                }
                return;
            }
            if (p.brick.stride < t) return;
            for (int c : children[k]) walk(c);
        };
        walk(rootIndex);
        if (tooLong) return InvalidArgument("the copy would be longer than 10,000 pieces of 4 MiB");
    }
    for (int k = 0; k < kept; ++k)
        if (!placed[k]) return InvalidArgument("a kept brick is not reachable from the root");
    tree.fileLength = position;
    return tree;
}

Result<std::string> ZbHeaderText(const PrunedTree& tree) {
    std::string text;
    char line[512];
    for (const PrunedBrick& p : tree.bricks) {
        const TreeBrick& b = p.brick;
        int n = std::snprintf(line, sizeof line, kBrickLineFormat, b.name.c_str(),
                              static_cast<long long>(b.offset), b.stride, b.nx, b.ny, b.nz, b.x0,
                              b.y0, b.z0, b.parent, b.error);
        if (n < 0 || static_cast<size_t>(n) >= sizeof line) return Failed("brick line too long");
        text.append(line, static_cast<size_t>(n));
    }
    for (const std::string& t : tree.trailer) {
        text += t;
        text += '\n';
    }
    // One zero byte must follow the text inside the header area.
    if (static_cast<int64_t>(text.size()) >= kZbHeaderBytes)
        return InvalidArgument("the index would not fit in the 131,072-byte header area");
    return text;
}

}  // namespace voxa::fileport
