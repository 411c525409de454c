// Numbers in command-line arguments, shared by the tools' parsers: the
// whole text must be the number (no trailing characters, not empty).
#pragma once

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace voxa {

// A decimal integer from -1,000,000,000 to 1,000,000,000.
inline bool ParseIntArg(const std::string& text, int& out) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || end == nullptr || *end != '\0' || v < -1000000000 || v > 1000000000) return false;
    out = static_cast<int>(v);
    return true;
}

// A floating-point number as strtod reads it (nan and inf included: the
// callers check the range they accept).
inline bool ParseDoubleArg(const std::string& text, double& out) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end == text.c_str() || *end != '\0') return false;
    out = v;
    return true;
}

// Two integers around a separator: "640x480", "3,-2".
inline bool ParseIntPairArg(const std::string& text, char separator, int& a, int& b) {
    const size_t at = text.find(separator);
    if (at == std::string::npos) return false;
    return ParseIntArg(text.substr(0, at), a) && ParseIntArg(text.substr(at + 1), b);
}

// Exactly `count` comma-separated numbers of the parser's kind.
template <typename T, typename Parse>
bool ParseListArg(const std::string& text, size_t count, Parse parse, std::vector<T>& out) {
    out.clear();
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        T v{};
        if (!parse(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start), v))
            return false;
        out.push_back(v);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out.size() == count;
}

}  // namespace voxa
