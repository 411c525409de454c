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

OptionEffect ApplyOptionKeyword(std::string_view keyIn, std::string_view valueIn,
                                OptionSettings& s, ProcessOptions& shared) {
    const std::string key = CutOptionText(keyIn);
    const std::string value = CutOptionText(valueIn);
    const char* v = value.c_str();
    OptionHistory& history = shared.history;

    if (key == kOptUsePalet) {
        s.usePalet = (value == kPaletteOnValue);
        history.Replace(key, value);
        return OptionEffect::kPaletteChanged;
    }
    if (key == kOptScreenRatio) {
        std::sscanf(v, "%f", &s.screenRatio);
        return OptionEffect::kNone;
    }
    if (key == kOptTimersOn) {
        std::sscanf(v, "%d", &s.timersOn);
        return OptionEffect::kNone;
    }
    if (key == kOptTimerOutputFile) {
        ScanWord(value, s.timerOutputFile);
        return OptionEffect::kNone;
    }
    if (key == kOptBufferedIO) {
        std::sscanf(v, "%d", &s.bufferedIO);
        history.Replace(key, value);
        return OptionEffect::kNone;
    }
    if (key == kOptNRenderingBuffers) {
        std::sscanf(v, "%d", &s.nRenderingBuffers);
        return OptionEffect::kBuffersChanged;
    }
    if (key == kOptShowColorBar) {
        std::sscanf(v, "%d", &s.showColorBar);
        history.Replace(key, value);
        return OptionEffect::kNone;
    }
    if (key == kOptClearTicks) {
        ClearTicks(key, value, s.ticks, kOptAddTick, history);
        return OptionEffect::kNone;
    }
    if (key == kOptClearXTicks) {
        ClearTicks(key, value, s.xTicks, kOptAddXTick, history);
        return OptionEffect::kNone;
    }
    if (key == kOptClearYTicks) {
        ClearTicks(key, value, s.yTicks, kOptAddYTick, history);
        return OptionEffect::kNone;
    }
    if (key == kOptAddTick) {
        AddTick(value, s.ticks, key, history);
        return OptionEffect::kNone;
    }
    if (key == kOptAddXTick) {
        AddTick(value, s.xTicks, key, history);
        return OptionEffect::kNone;
    }
    if (key == kOptAddYTick) {
        AddTick(value, s.yTicks, key, history);
        return OptionEffect::kNone;
    }
    if (key == kOptBlockOnRender) {
        std::sscanf(v, "%d", &s.blockOnRender);
        return OptionEffect::kNone;
    }
    if (key == kOptStats) {
        ScanWord(value, s.stats);
        return OptionEffect::kNone;
    }
    if (key == kOptYfile) {
        ScanWord(value, s.yFile);
        return OptionEffect::kNone;
    }
    if (key == kOptNCacheMB) {
        std::sscanf(v, "%hd", &shared.cacheMB);
        history.Replace(key, value);
        return OptionEffect::kCacheSizeChanged;
    }
    if (key == kOptFloor) {
        FloorSettings& f = shared.floor;
        std::sscanf(v, "%hd %hd %hd %hd %f %f", &f.red, &f.green, &f.blue, &f.alpha, &f.margin,
                    &f.spacing);
        history.Replace(key, value);
        return OptionEffect::kNone;
    }
    if (key == kOptBoundingBox) {
        BoxSettings& b = shared.box;
        std::sscanf(v, "%hd %hd %hd %hd", &b.red, &b.green, &b.blue, &b.alpha);
        history.Replace(key, value);
        return OptionEffect::kNone;
    }
    if (key == kOptAutoSwapBuffers) {
        std::sscanf(v, "%hd", &s.autoSwapBuffers);
        return OptionEffect::kNone;
    }
    if (key == kOptSwapBuffers) {
        return OptionEffect::kSwapBuffers;
    }
    if (key == kOptPriorityRequest) {
        std::sscanf(v, "%hd", &shared.priority);
        return OptionEffect::kNone;
    }
    if (key == kOptSetStatusRequest) {
        s.statusRequest = value;
        return OptionEffect::kNone;
    }
    if (key == kOptScaleFactors) {
        std::sscanf(v, "%f %f %f", &s.scaleFactors[0], &s.scaleFactors[1], &s.scaleFactors[2]);
        history.Replace(key, value);
        return OptionEffect::kForgetVolume;
    }
    return OptionEffect::kNone;
}

}  // namespace voxa
