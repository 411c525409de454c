// Timer recorder: named time stamps collected in memory during a render and
// appended to a text timer file (".pto") batch by batch.
//
// One recorder per process, made by the host program and handed to the
// render context. Only the render thread stamps (the caller's thread in
// direct mode); the recorder takes no lock.
//
// File format, one line per record:
//   first record of a batch:  "%40s , %20.4f\n"         (label, seconds)
//   every further record:     "%40s , %20.4f  %10f\n"   (+ seconds since previous)
// so the time starts at column 43 and the elapsed time at column 63.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace voxa {

inline constexpr char kDefaultTimerFileName[] = "TimeStamp.txt";
inline constexpr char kEngineTimerFileName[] = "VOXA_timers.pto";
// The stamps that open and close every timed render.
inline constexpr char kBeginRendering[] = "Begin Rendering";
inline constexpr char kEndRendering[] = "End   Rendering";

class TimerRecorder {
public:
    static constexpr int kMaxRecords = 8192;
    static constexpr size_t kMaxLabel = 39;
    static constexpr size_t kMaxFileName = 255;

    TimerRecorder();
    virtual ~TimerRecorder() = default;

    // File name := name (cut at 255 characters). "C:/..." names go to the
    // machine root.
    void SetTimerFile(std::string_view name);
    // Records the tick count in seconds with the label (cut at 39
    // characters); writes the table out when it then holds more than 8191
    // records. Returns the result of that write, or 1.
    int StampTimer(std::string_view label);
    // Appends every record to the file and empties the table. Returns 1 on
    // success, 0 when the file cannot be opened for appending (nothing is
    // written; the records are dropped so the table cannot overflow).
    int WriteTimerFile();

    int RecordCount() const { return m_count; }
    const std::string& FileName() const { return m_fileName; }

    // Formats the records as the file holds them (used by WriteTimerFile).
    std::string FormatRecords() const;

private:
    std::string m_fileName;
    int m_count = 0;
    std::array<double, kMaxRecords> m_times{};
    std::array<std::array<char, kMaxLabel + 1>, kMaxRecords> m_labels{};
};

}  // namespace voxa
