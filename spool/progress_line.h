// A progress indicator drawn on a terminal line that the program's own
// output has begun (spoolwrite prints "SPOOL write ... " and then, when the
// transfer is over, the result on the same line).
//
// Each Update redraws the whole line as prefix + progress, so the prefix
// stays visible; End redraws the prefix alone and clears the rest of the
// line, so that the result printed next completes the line as it would
// read without a progress indicator. A disabled ProgressLine writes
// nothing. One thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace voxa::spool {

class ProgressLine {
public:
    ProgressLine(std::FILE* out, std::string prefix, bool enabled);
    void Update(uint64_t done, uint64_t total);
    void End();

private:
    std::FILE* m_out;
    std::string m_prefix;
    bool m_enabled;
    bool m_drawn = false;
};

}  // namespace voxa::spool
