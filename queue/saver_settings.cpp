#include "queue/saver_settings.h"

#include "platform/paths.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace voxa::queue {

namespace {

constexpr char kRegistryDirName[] = "registry";

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

std::optional<long> ParseNumber(std::string_view text) {
    text = Trim(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 10) return std::nullopt;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<long>(value);
}

// Splits text into lines without their newline characters.
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        if (end == std::string_view::npos) {
            lines.push_back(text);
            break;
        }
        lines.push_back(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    return lines;
}

// The value name of a "NAME=..." line, or empty.
std::string_view LineName(std::string_view line) {
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return {};
    return Trim(line.substr(0, eq));
}

std::string DirOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

Result<std::string> RegistryKeyFile(std::string_view keyPath) {
    std::string relative;
    std::string_view rest = keyPath;
    while (true) {
        size_t sep = rest.find_first_of("\\/");
        std::string_view part = rest.substr(0, sep);
        if (part.empty() || part == "." || part == "..")
            return InvalidArgument("registry key path '" + std::string(keyPath) +
                                   "' has an empty or relative part");
        if (!relative.empty()) relative += '/';
        relative += part;
        if (sep == std::string_view::npos) break;
        rest.remove_prefix(sep + 1);
    }
    return JoinPath(JoinPath(VoxaRoot(), kRegistryDirName), relative);
}

std::optional<long> FindRegistryNumber(std::string_view text, std::string_view valueName) {
    std::optional<long> found;
    for (std::string_view line : Lines(text)) {
        if (LineName(line) != valueName || valueName.empty()) continue;
        // A later line with a bad number does not undo a good earlier one:
        // the last readable line counts.
        if (auto number = ParseNumber(line.substr(line.find('=') + 1))) found = number;
    }
    return found;
}

std::string SetRegistryNumber(std::string_view text, std::string_view valueName, long value) {
    std::string out;
    for (std::string_view line : Lines(text)) {
        if (LineName(line) == valueName) continue;
        out.append(line);
        out += '\n';
    }
    out.append(valueName);
    out += '=';
    out += std::to_string(value);
    out += '\n';
    return out;
}

std::optional<long> ReadRegistryNumber(std::string_view keyPath, std::string_view valueName) {
    Result<std::string> file = RegistryKeyFile(keyPath);
    if (!file.ok()) return std::nullopt;
    std::ifstream in(*file, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return FindRegistryNumber(text.str(), valueName);
}

Status WriteRegistryNumber(std::string_view keyPath, std::string_view valueName, long value) {
    if (valueName.empty() || valueName.find_first_of("=\n\r") != std::string_view::npos)
        return InvalidArgument("bad registry value name '" + std::string(valueName) + "'");
    VOXA_ASSIGN_OR_RETURN(std::string file, RegistryKeyFile(keyPath));
    if (!MakeDirs(DirOf(file))) return IoError("cannot create the directory " + DirOf(file));
    std::string old;
    {
        std::ifstream in(file, std::ios::binary);
        if (in) {
            std::ostringstream text;
            text << in.rdbuf();
            old = text.str();
        }
    }
    const std::string temp = file + ".new";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << SetRegistryNumber(old, valueName, value);
        out.flush();
        if (!out) {
            std::remove(temp.c_str());
            return IoError("cannot write " + temp);
        }
    }
    if (std::rename(temp.c_str(), file.c_str()) != 0) {
        int error = errno;
        std::remove(temp.c_str());
        return IoError("cannot replace " + file + ": " + std::strerror(error));
    }
    return Status::Ok();
}

int ReadTumble() {
    std::optional<long> value = ReadRegistryNumber(kSaverKeyPath, kTumbleValueName);
    if (!value) return kTumbleDefault;
    return *value != 0 ? 1 : 0;
}

Status WriteTumble(int tumble) {
    return WriteRegistryNumber(kSaverKeyPath, kTumbleValueName, tumble != 0 ? 1 : 0);
}

void SaverConfigModel::Load() {
    m_tumble = ReadTumble();
}

std::string SaverConfigModel::Name() const {
    return std::string(kSaverName).substr(0, kSaverNameMax);
}

int SaverConfigModel::Ok(Status* failure) {
    Status written = WriteTumble(m_tumble);
    if (!written.ok()) {
        if (failure) *failure = written;
        return 0;
    }
    return 1;
}

}  // namespace voxa::queue
