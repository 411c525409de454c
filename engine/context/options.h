// Option keywords of the render context and the option history.
//
// SetOption pairs ("NCacheMB" "512", "AddTick" "128 mid", ...) are parsed
// here into plain settings; what must happen on the GL context at once
// ("UsePalet", "NRenderingBuffers", "SwapBuffers") or in the brick cache
// ("NCacheMB") is returned as an OptionEffect for the render context to
// carry out. Keywords match exactly (case-sensitive); an unknown keyword
// changes nothing and is not recorded.
//
// OptionSettings are the context's own; ProcessOptions (cache size, floor,
// bounding box, priority number, history) are shared by every context of a
// process and live in the RenderProcess. No GL here; one thread at a time.
#pragma once

#include "engine/overlays/overlay_settings.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace voxa {

inline constexpr size_t kMaxOptionText = 255;   // keyword and value, each
inline constexpr int kMaxOptionHistory = 1000;
inline constexpr int kMaxTicks = 256;
inline constexpr size_t kMaxTickLabel = 63;

// Option keywords.
inline constexpr char kOptUsePalet[] = "UsePalet";
inline constexpr char kOptScreenRatio[] = "ScreenRatio";
inline constexpr char kOptTimersOn[] = "TimersOn";
inline constexpr char kOptTimerOutputFile[] = "TimerOutputFile";
inline constexpr char kOptBufferedIO[] = "BufferedIO";
inline constexpr char kOptNRenderingBuffers[] = "NRenderingBuffers";
inline constexpr char kOptShowColorBar[] = "ShowColorBar";
inline constexpr char kOptClearTicks[] = "ClearTicks";
inline constexpr char kOptClearXTicks[] = "ClearXTicks";
inline constexpr char kOptClearYTicks[] = "ClearYTicks";
inline constexpr char kOptAddTick[] = "AddTick";
inline constexpr char kOptAddXTick[] = "AddXTick";
inline constexpr char kOptAddYTick[] = "AddYTick";
inline constexpr char kOptBlockOnRender[] = "BlockOnRender";
inline constexpr char kOptStats[] = "Stats";
inline constexpr char kOptYfile[] = "Yfile";
inline constexpr char kOptNCacheMB[] = "NCacheMB";
inline constexpr char kOptFloor[] = "Floor";
inline constexpr char kOptBoundingBox[] = "BoundingBox";
inline constexpr char kOptAutoSwapBuffers[] = "AutoSwapBuffers";
inline constexpr char kOptSwapBuffers[] = "SwapBuffers";
inline constexpr char kOptPriorityRequest[] = "PriorityRequest";
inline constexpr char kOptSetStatusRequest[] = "SetStatusRequest";
inline constexpr char kOptScaleFactors[] = "ScaleFactors";

inline constexpr char kPaletteOnValue[] = "TRUE";
inline constexpr char kStatsNone[] = "none";
inline constexpr char kStatsCross[] = "cross";
inline constexpr char kStatsPdf[] = "pdf";

// Status request words and replies.
inline constexpr char kStatusRendering[] = "RENDERING";
inline constexpr char kStatusPriorityRequest[] = "PRIORITYREQUEST";
inline constexpr char kStatusIsGlWindowUp[] = "IS_GL_WINDOW_UP";
inline constexpr char kStatusGetAllPreviousOptions[] = "GET_ALL_PREVIOUS_OPTIONS";
// The result of the asking object's last SetDoRender, in decimal, once
// that frame is over (0: drawn or stopped; negative: it failed, the
// server's debug file says why); "WORKING" while it is under way and
// "NONE" before any frame (or when no render thread took it). A server
// that does not know the word answers "IDLE" or "WORKING".
inline constexpr char kStatusLastFrameResult[] = "LAST_FRAME_RESULT";
inline constexpr char kReplyNone[] = "NONE";
inline constexpr char kReplyIdle[] = "IDLE";
inline constexpr char kReplyWorking[] = "WORKING";
inline constexpr char kReplyGlWindowIsUp[] = "GL_WINDOW_IS_UP";
inline constexpr char kReplyGlWindowIsDown[] = "GL_WINDOW_IS_DOWN";

// Cuts a text to at most 255 bytes, never inside a UTF-8 sequence.
std::string CutOptionText(std::string_view text);


// A tick list of at most 256 entries.
class TickList {
public:
    // Appends; false (nothing added) when the list is full.
    bool Add(Tick tick);
    void Clear() { m_ticks.clear(); }
    const std::vector<Tick>& Ticks() const { return m_ticks; }
    int Count() const { return static_cast<int>(m_ticks.size()); }

private:
    std::vector<Tick> m_ticks;
};

struct OptionPair {
    std::string key;
    std::string value;
};

// Ordered table of at most 1000 recorded pairs.
class OptionHistory {
public:
    // Overwrites the value of the entry with the same keyword, else appends.
    void Replace(std::string_view key, std::string_view value);
    // Always appends (repeating keywords). Both drop the pair when the table
    // is full and it would have to be appended.
    void Append(std::string_view key, std::string_view value);
    // Removes every entry with this keyword; the others keep their order.
    void RemoveAll(std::string_view key);
    const std::vector<OptionPair>& Entries() const { return m_entries; }
    // "%s %s\n" per entry, in table order (grows with the table: at most
    // 1000 x 512 bytes).
    std::string Format() const;

private:
    std::vector<OptionPair> m_entries;
};


// Settings shared by all render contexts of a process.
struct ProcessOptions {
    int16_t cacheMB = 360;
    FloorSettings floor;
    BoxSettings box;
    int16_t priority = 0;
    OptionHistory history;
};

// Settings of one render context.
struct OptionSettings {
    bool usePalet = false;
    float screenRatio = 1.0f;
    int timersOn = 0;
    std::string timerOutputFile = "VOXA_timers.pto";
    int bufferedIO = 0;
    int nRenderingBuffers = 2;
    int showColorBar = 0;
    TickList ticks, xTicks, yTicks;
    int blockOnRender = 1;
    std::string stats = kStatsNone;
    std::string yFile;
    int16_t autoSwapBuffers = 1;
    float scaleFactors[3] = {1.0f, 1.0f, 1.0f};
    std::string statusRequest = kStatusRendering;
};

// What the render context must do after a keyword was parsed.
enum class OptionEffect {
    kNone,             // settings changed (or nothing: unknown keyword)
    kPaletteChanged,   // "UsePalet": load the palette now when on
    kBuffersChanged,   // "NRenderingBuffers": switch draw and read buffers now
    kSwapBuffers,      // "SwapBuffers": swap now, flush, finish
    kCacheSizeChanged, // "NCacheMB": re-allocate the brick cache if it exists
    kForgetVolume,     // "ScaleFactors": the loaded volume is forgotten
};

// Parses key and value (both already cut to 255 bytes), updates the
// settings and the history, and says what else must happen.
OptionEffect ApplyOptionKeyword(std::string_view key, std::string_view value,
                                OptionSettings& settings, ProcessOptions& shared);

}  // namespace voxa
