#include "engine/context/options.h"

#include <algorithm>
#include <cstdio>

namespace voxa {

std::string CutOptionText(std::string_view text) {
    if (text.size() <= kMaxOptionText) return std::string(text);
    size_t n = kMaxOptionText;
    // Back up over UTF-8 continuation bytes so that no character is split.
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return std::string(text.substr(0, n));
}

bool TickList::Add(Tick tick) {
    if (Count() >= kMaxTicks) return false;
    m_ticks.push_back(std::move(tick));
    return true;
}

void OptionHistory::Replace(std::string_view key, std::string_view value) {
    for (OptionPair& e : m_entries) {
        if (e.key == key) {
            e.value = CutOptionText(value);
            return;
        }
    }
    Append(key, value);
}

void OptionHistory::Append(std::string_view key, std::string_view value) {
    if (static_cast<int>(m_entries.size()) >= kMaxOptionHistory) return;
    m_entries.push_back({CutOptionText(key), CutOptionText(value)});
}

void OptionHistory::RemoveAll(std::string_view key) {
    std::erase_if(m_entries, [&](const OptionPair& e) { return e.key == key; });
}

std::string OptionHistory::Format() const {
    std::string out;
    for (const OptionPair& e : m_entries) {
        out += e.key;
        out += ' ';
        out += e.value;
        out += '\n';
    }
    return out;
}

namespace {

// Reads one word (the "%hs" field) of at most 255 characters.
bool ScanWord(const std::string& value, std::string& out) {
    char word[kMaxOptionText + 1];
    if (std::sscanf(value.c_str(), "%255s", word) != 1) return false;
    out = word;
    return true;
}

void AddTick(const std::string& value, TickList& list, std::string_view key,
             OptionHistory& history) {
    int position = 0;
    char label[kMaxTickLabel + 1] = "";
    // "%3d": the position takes at most three characters.
    if (std::sscanf(value.c_str(), "%3d %63s", &position, label) < 1) return;
    if (!list.Add({position, label})) return;  // a 257th tick is ignored
    history.Append(key, value);
}

void ClearTicks(std::string_view key, std::string_view value, TickList& list,
                std::string_view tickKey, OptionHistory& history) {
    list.Clear();
    history.Replace(key, value);
    history.RemoveAll(tickKey);
}

}  // namespace

namespace {

// One option keyword: how its value is read into the settings, whether the
// key and value are remembered in the history (keeping the last value of
// the key), and what the render context must do afterwards. The tick
// keywords keep their own history.
struct OptionKeyword {
    std::string_view key;
    void (*apply)(std::string_view key, const std::string& value, OptionSettings& s,
                  ProcessOptions& shared);
    bool remember;
    OptionEffect effect;
};

template <typename T>
void Scan(const std::string& value, const char* format, T* out) {
    std::sscanf(value.c_str(), format, out);
}

using S = OptionSettings;
using P = ProcessOptions;
using V = const std::string&;
using K = std::string_view;

constexpr OptionKeyword kOptionKeywords[] = {
    {kOptUsePalet, [](K, V v, S& s, P&) { s.usePalet = (v == kPaletteOnValue); }, true,
     OptionEffect::kPaletteChanged},
    {kOptScreenRatio, [](K, V v, S& s, P&) { Scan(v, "%f", &s.screenRatio); }, false,
     OptionEffect::kNone},
    {kOptTimersOn, [](K, V v, S& s, P&) { Scan(v, "%d", &s.timersOn); }, false,
     OptionEffect::kNone},
    {kOptTimerOutputFile, [](K, V v, S& s, P&) { ScanWord(v, s.timerOutputFile); }, false,
     OptionEffect::kNone},
    {kOptBufferedIO, [](K, V v, S& s, P&) { Scan(v, "%d", &s.bufferedIO); }, true,
     OptionEffect::kNone},
    {kOptNRenderingBuffers, [](K, V v, S& s, P&) { Scan(v, "%d", &s.nRenderingBuffers); }, false,
     OptionEffect::kBuffersChanged},
    {kOptShowColorBar, [](K, V v, S& s, P&) { Scan(v, "%d", &s.showColorBar); }, true,
     OptionEffect::kNone},
    {kOptClearTicks,
     [](K k, V v, S& s, P& p) { ClearTicks(k, v, s.ticks, kOptAddTick, p.history); }, false,
     OptionEffect::kNone},
    {kOptClearXTicks,
     [](K k, V v, S& s, P& p) { ClearTicks(k, v, s.xTicks, kOptAddXTick, p.history); }, false,
     OptionEffect::kNone},
    {kOptClearYTicks,
     [](K k, V v, S& s, P& p) { ClearTicks(k, v, s.yTicks, kOptAddYTick, p.history); }, false,
     OptionEffect::kNone},
    {kOptAddTick, [](K k, V v, S& s, P& p) { AddTick(v, s.ticks, k, p.history); }, false,
     OptionEffect::kNone},
    {kOptAddXTick, [](K k, V v, S& s, P& p) { AddTick(v, s.xTicks, k, p.history); }, false,
     OptionEffect::kNone},
    {kOptAddYTick, [](K k, V v, S& s, P& p) { AddTick(v, s.yTicks, k, p.history); }, false,
     OptionEffect::kNone},
    {kOptBlockOnRender, [](K, V v, S& s, P&) { Scan(v, "%d", &s.blockOnRender); }, false,
     OptionEffect::kNone},
    {kOptStats, [](K, V v, S& s, P&) { ScanWord(v, s.stats); }, false, OptionEffect::kNone},
    {kOptYfile, [](K, V v, S& s, P&) { ScanWord(v, s.yFile); }, false, OptionEffect::kNone},
    {kOptNCacheMB, [](K, V v, S&, P& p) { Scan(v, "%hd", &p.cacheMB); }, true,
     OptionEffect::kCacheSizeChanged},
    {kOptFloor,
     [](K, V v, S&, P& p) {
         FloorSettings& f = p.floor;
         std::sscanf(v.c_str(), "%hd %hd %hd %hd %f %f", &f.red, &f.green, &f.blue, &f.alpha,
                     &f.margin, &f.spacing);
     },
     true, OptionEffect::kNone},
    {kOptBoundingBox,
     [](K, V v, S&, P& p) {
         BoxSettings& b = p.box;
         std::sscanf(v.c_str(), "%hd %hd %hd %hd", &b.red, &b.green, &b.blue, &b.alpha);
     },
     true, OptionEffect::kNone},
    {kOptAutoSwapBuffers, [](K, V v, S& s, P&) { Scan(v, "%hd", &s.autoSwapBuffers); }, false,
     OptionEffect::kNone},
    {kOptSwapBuffers, [](K, V, S&, P&) {}, false, OptionEffect::kSwapBuffers},
    {kOptPriorityRequest, [](K, V v, S&, P& p) { Scan(v, "%hd", &p.priority); }, false,
     OptionEffect::kNone},
    {kOptSetStatusRequest, [](K, V v, S& s, P&) { s.statusRequest = v; }, false,
     OptionEffect::kNone},
    {kOptScaleFactors,
     [](K, V v, S& s, P&) {
         std::sscanf(v.c_str(), "%f %f %f", &s.scaleFactors[0], &s.scaleFactors[1],
                     &s.scaleFactors[2]);
     },
     true, OptionEffect::kForgetVolume},
};

}  // namespace

OptionEffect ApplyOptionKeyword(std::string_view keyIn, std::string_view valueIn,
                                OptionSettings& s, ProcessOptions& shared) {
    const std::string key = CutOptionText(keyIn);
    const std::string value = CutOptionText(valueIn);
    for (const OptionKeyword& k : kOptionKeywords) {
        if (k.key != key) continue;
        k.apply(k.key, value, s, shared);
        if (k.remember) shared.history.Replace(key, value);
        return k.effect;
    }
    return OptionEffect::kNone;  // unknown keyword
}

}  // namespace voxa
