#include "engine/timers/timers.h"

#include "platform/paths.h"
#include "platform/sys.h"
#include "platform/unique_fd.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace voxa {

TimerRecorder::TimerRecorder() : m_fileName(kDefaultTimerFileName) {}

void TimerRecorder::SetTimerFile(std::string_view name) {
    m_fileName.assign(name.substr(0, kMaxFileName));
}

int TimerRecorder::StampTimer(std::string_view label) {
    m_times[m_count] = static_cast<double>(TickCountMs()) * 0.001;
    size_t n = std::min(label.size(), kMaxLabel);
    std::memcpy(m_labels[m_count].data(), label.data(), n);
    m_labels[m_count][n] = '\0';
    ++m_count;
    if (m_count > kMaxRecords - 1) return WriteTimerFile();
    return 1;
}

std::string TimerRecorder::FormatRecords() const {
    std::string out;
    char line[128];
    for (int i = 0; i < m_count; ++i) {
        int len;
        if (i == 0)
            len = std::snprintf(line, sizeof line, "%40s , %20.4f\n", m_labels[i].data(),
                                m_times[i]);
        else
            len = std::snprintf(line, sizeof line, "%40s , %20.4f  %10f\n", m_labels[i].data(),
                                m_times[i], m_times[i] - m_times[i - 1]);
        out.append(line, static_cast<size_t>(std::min<int>(len, sizeof line - 1)));
    }
    return out;
}

int TimerRecorder::WriteTimerFile() {
    UniqueFile file(std::fopen(DrivePath(m_fileName).c_str(), "a"));
    int result = 0;
    if (file) {
        std::string text = FormatRecords();
        result = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size() ? 1 : 0;
    }
    m_count = 0;
    return result;
}

}  // namespace voxa
