#include "hosting/class_registry.h"

#include "platform/paths.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace voxa::hosting {

namespace {

constexpr ClassInfo kVoxaWork{
    "voxa_work", "voxa_server", "Ivoxa_work",
    "{EFB32DF2-F940-11D4-AB88-00D0680005C4}", "{EFB32DFE-F940-11D4-AB88-00D0680005C4}",
    "{EFB32DFD-F940-11D4-AB88-00D0680005C4}", "{EFB32DF1-F940-11D4-AB88-00D0680005C4}",
    "Voxa_server.voxa_work.1", "Voxa_server.voxa_work", "voxa_work Class",
    "voxa_server 1.0 Type Library", 47301, "VOXA_VOXA_WORK_PORT", false};

constexpr ClassInfo kMi{
    "mi", "reel1", "Imi",
    "{A5B390A4-C4CC-11D5-AB84-00D0680005D6}", "{034609AA-C4E1-11D5-AB84-00D0680005D6}",
    "{034609A9-C4E1-11D5-AB84-00D0680005D6}", "{A5B390A3-C4CC-11D5-AB84-00D0680005D6}",
    "Reel1.mi.1", "Reel1.mi", "mi Class", "reel1 1.0 Type Library", 47302, "VOXA_MI_PORT",
    false};

constexpr ClassInfo kSpool1{
    "spool1", "spool", "Ispool1",
    "{0C2375E5-E54C-42EC-B76E-E4FFA89D9F21}", "{3D2D61B3-75E9-49B8-86F1-21B4C701674B}",
    "{09E1C4E9-8D21-46A7-A830-E79BE625156B}", "{2969898F-18A5-496D-B0F9-9F8F0F154BF5}",
    "Spool.spool1.1", "Spool.spool1", "spool1 Class", "spool 1.0 Type Library", 47303,
    "VOXA_SPOOL1_PORT", false};

constexpr ClassInfo kRemoteFiles{
    "RemoteFiles", "fileport_server", "IRemoteFiles",
    "{F923FF8E-3F36-11D5-AB82-00D0680005F9}", "{F923FF9A-3F36-11D5-AB82-00D0680005F9}",
    "{F923FF99-3F36-11D5-AB82-00D0680005F9}", "{F923FF8D-3F36-11D5-AB82-00D0680005F9}",
    "Fileport_server.RemoteFiles.1", "Fileport_server.RemoteFiles", "RemoteFiles Class",
    "fileport_server 1.0 Type Library", 47304, "VOXA_REMOTEFILES_PORT", true};

struct EntryFile {
    std::string path;
    std::string text;
};

std::vector<EntryFile> EntriesOf(const ClassInfo& cls, const std::string& programPath,
                                 uint16_t port) {
    const std::string dir = RegistryDir();
    auto line = [](const char* key, const std::string& value) {
        return std::string(key) + "=" + value + "\n";
    };
    std::string clsidText = line("@", cls.description) + line("ProgID", cls.progId) +
                            line("VersionIndependentProgID", cls.versionIndependentProgId) +
                            line("LocalServer32", programPath) + line("AppID", cls.appId) +
                            line("TypeLib", cls.typeLib) + line("Port", std::to_string(port));
    if (cls.programmable) clsidText += line("Programmable", "");
    return {
        {JoinPath(dir, std::string("AppID/") + cls.appId), line("@", cls.serverName)},
        {JoinPath(dir, std::string("AppID/") + cls.serverName), line("AppID", cls.appId)},
        {JoinPath(dir, std::string("CLSID/") + cls.clsid), clsidText},
        {JoinPath(dir, std::string("ProgID/") + cls.progId),
         line("@", cls.description) + line("CLSID", cls.clsid)},
        {JoinPath(dir, std::string("ProgID/") + cls.versionIndependentProgId),
         line("@", cls.description) + line("CLSID", cls.clsid) + line("CurVer", cls.progId)},
        {JoinPath(dir, std::string("TypeLib/") + cls.typeLib),
         line("@", cls.typeLibName) + line("Interface", cls.interfaceName) +
             line("IID", cls.iid)},
    };
}

std::string DirOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

const ClassInfo& VoxaWorkClass() { return kVoxaWork; }
const ClassInfo& MiClass() { return kMi; }
const ClassInfo& Spool1Class() { return kSpool1; }
const ClassInfo& RemoteFilesClass() { return kRemoteFiles; }

std::string RegistryDir() { return JoinPath(VoxaRoot(), "registry"); }

RegistryEntry ReadRegistryEntry(const std::string& path) {
    RegistryEntry entry;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        entry[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return entry;
}

int RegisterClass(const ClassInfo& cls, const std::string& programPath, uint16_t port,
                  std::string* error) {
    for (const EntryFile& file : EntriesOf(cls, programPath, port)) {
        if (!MakeDirs(DirOf(file.path))) {
            if (error) *error = "cannot create " + DirOf(file.path);
            return -1;
        }
        // Write beside and rename, so a reader never sees half an entry.
        const std::string temp = file.path + ".new";
        {
            std::ofstream out(temp, std::ios::trunc);
            out << file.text;
            out.flush();
            if (!out) {
                if (error) *error = "cannot write " + temp;
                return -1;
            }
        }
        if (std::rename(temp.c_str(), file.path.c_str()) != 0) {
            if (error) *error = "cannot write " + file.path + ": " + std::strerror(errno);
            std::remove(temp.c_str());
            return -1;
        }
    }
    return 0;
}

int UnregisterClass(const ClassInfo& cls, std::string* error) {
    int result = 0;
    for (const EntryFile& file : EntriesOf(cls, "", 0)) {
        if (::unlink(file.path.c_str()) != 0 && errno != ENOENT) {
            if (error) *error = "cannot remove " + file.path + ": " + std::strerror(errno);
            result = -1;
        }
    }
    return result;
}

std::optional<RegistryEntry> LookUpClass(const ClassInfo& cls) {
    RegistryEntry entry =
        ReadRegistryEntry(JoinPath(RegistryDir(), std::string("CLSID/") + cls.clsid));
    if (entry.empty()) return std::nullopt;
    return entry;
}

std::optional<uint16_t> ParsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    return static_cast<uint16_t>(value);
}

uint16_t ClassPort(const ClassInfo& cls) {
    if (const char* env = std::getenv(cls.portEnv)) {
        if (auto port = ParsePort(env)) return *port;
    }
    if (auto entry = LookUpClass(cls)) {
        auto it = entry->find("Port");
        if (it != entry->end()) {
            if (auto port = ParsePort(it->second)) return *port;
        }
    }
    return cls.defaultPort;
}

}  // namespace voxa::hosting
