// Component classes of VOXA and their registration entries.
//
// Each of the four component servers hosts one class. A ClassInfo holds the
// identifiers of the class (AppID, CLSID, IID, TypeLib, both ProgIDs, the
// class description) and its fixed default TCP port. Registration writes the
// application and class entries as small key=value files in the registry
// directory $VOXA_ROOT/registry:
//
//   AppID/{AppID}            "@" = server name
//   AppID/<program file>     "AppID" = {AppID}
//   CLSID/{CLSID}            "@" = description, ProgID, VersionIndependentProgID,
//                            LocalServer32 = full program path, AppID, TypeLib,
//                            Port (and an empty Programmable for RemoteFiles)
//   ProgID/<versioned>       "@" = description, CLSID
//   ProgID/<independent>     "@" = description, CLSID, CurVer = versioned ProgID
//   TypeLib/{TypeLib}        "@" = type library name, Interface, IID
//
// All functions read VOXA_ROOT at each call; thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace voxa::hosting {

struct ClassInfo {
    const char* className;         // "spool1"
    const char* serverName;        // "spool" (also the program file name)
    const char* interfaceName;     // "Ispool1"
    const char* appId;
    const char* clsid;
    const char* iid;
    const char* typeLib;
    const char* progId;            // "Spool.spool1.1"
    const char* versionIndependentProgId;  // "Spool.spool1"
    const char* description;       // "spool1 Class"
    const char* typeLibName;       // "spool 1.0 Type Library"
    uint16_t defaultPort;
    const char* portEnv;           // environment variable overriding the port
    bool programmable;             // class entry carries an empty Programmable key
};

const ClassInfo& VoxaWorkClass();
const ClassInfo& MiClass();
const ClassInfo& Spool1Class();
const ClassInfo& RemoteFilesClass();

// The registry directory, $VOXA_ROOT/registry.
std::string RegistryDir();

// Key=value contents of one registry file; empty when the file is missing.
using RegistryEntry = std::map<std::string, std::string>;
RegistryEntry ReadRegistryEntry(const std::string& path);

// Writes every entry of the class; programPath is LocalServer32, port the
// port to record. Returns 0, or a negative result when a file cannot be
// written (message in *error).
int RegisterClass(const ClassInfo& cls, const std::string& programPath, uint16_t port,
                  std::string* error);
// Removes every entry of the class; entries already absent count as
// removed. Returns 0, or a negative result when a file cannot be removed.
int UnregisterClass(const ClassInfo& cls, std::string* error);

// The class entry (CLSID/{CLSID}) of the class, if registered.
std::optional<RegistryEntry> LookUpClass(const ClassInfo& cls);

// Port of the class: the environment override when set and valid, else the
// registered Port, else the default port.
uint16_t ClassPort(const ClassInfo& cls);

// Parses a TCP port ("1" to "65535"); nullopt otherwise.
std::optional<uint16_t> ParsePort(std::string_view text);

}  // namespace voxa::hosting
