#include "spool/progress_line.h"

#include <utility>

namespace voxa::spool {

namespace {
constexpr const char* kClearToEnd = "\033[K";
}  // namespace

ProgressLine::ProgressLine(std::FILE* out, std::string prefix, bool enabled)
    : m_out(out), m_prefix(std::move(prefix)), m_enabled(enabled) {}

void ProgressLine::Update(uint64_t done, uint64_t total) {
    if (!m_enabled) return;
    std::fprintf(m_out, "\r%s%7.1f of %7.1f MB%s", m_prefix.c_str(),
                 static_cast<double>(done) * 1e-6, static_cast<double>(total) * 1e-6,
                 kClearToEnd);
    std::fflush(m_out);
    m_drawn = true;
}

void ProgressLine::End() {
    if (!m_enabled || !m_drawn) return;
    std::fprintf(m_out, "\r%s%s", m_prefix.c_str(), kClearToEnd);
    std::fflush(m_out);
    m_drawn = false;
}

}  // namespace voxa::spool
