// The screen saver's settings: the "Tumble" value and the small model that
// the configure dialog shows.
//
// Registry values live in key=value files under the machine root: the key
// path names a file below $VOXA_ROOT/registry (backslashes become "/"), each
// line of it holds one value as NAME=NUMBER. The saver's key is
// ".DEFAULT\Software\Bluefield" (the profile shared by every user), so its
// file is $VOXA_ROOT/registry/.DEFAULT/Software/Bluefield.
//
// Reading never fails: a missing file or value, or a line that is not a
// number, reads as the default (Tumble: 1). Writing keeps every other line
// of the file and replaces the file in one rename, so a reader sees the old
// or the new file, never half of one.
//
// No Qt here: the dialog is a thin widget over SaverConfigModel. Functions
// read VOXA_ROOT at each call; one thread per object.
#pragma once

#include "platform/status.h"

#include <optional>
#include <string>
#include <string_view>

namespace voxa::queue {

inline constexpr char kSaverKeyPath[] = ".DEFAULT\\Software\\Bluefield";
inline constexpr char kTumbleValueName[] = "Tumble";
inline constexpr int kTumbleDefault = 1;
// The saver's name as the display settings show it (string 1), and the
// longest text its loader takes.
inline constexpr char kSaverName[] = "VOXA Queue Screen Saver";
inline constexpr size_t kSaverNameMax = 40;

// $VOXA_ROOT/registry/<key path with "/" for "\">. Refuses key paths that
// would leave the registry directory ("..", empty parts).
Result<std::string> RegistryKeyFile(std::string_view keyPath);

// The number stored under valueName in the text of a key file, if a line
// "valueName=NUMBER" holds a decimal integer (optional sign, surrounding
// blanks allowed, 32-bit range). The last such line counts.
std::optional<long> FindRegistryNumber(std::string_view text, std::string_view valueName);

// The key file's text with valueName set to value: the value's line is
// replaced (every earlier duplicate dropped) or appended; other lines stay.
std::string SetRegistryNumber(std::string_view text, std::string_view valueName, long value);

// Reads a number value of a key; nullopt when the key file, the value or
// its number is missing.
std::optional<long> ReadRegistryNumber(std::string_view keyPath, std::string_view valueName);
// Writes a number value, creating the key (directories and file) if needed.
Status WriteRegistryNumber(std::string_view keyPath, std::string_view valueName, long value);

// The Tumble setting: 1 when checked, 0 when not; 1 when the key or the
// value is missing. Any number other than 0 reads as 1.
int ReadTumble();
Status WriteTumble(int tumble);

// What the configure dialog shows and does. Load() reads the setting (the
// check box state), SetTumble follows the check box, Ok() writes the
// setting and gives the dialog result 1, Cancel() writes nothing and gives 0.
class SaverConfigModel {
  public:
    void Load();
    // The saver's name, cut to kSaverNameMax characters as its loader does.
    std::string Name() const;
    bool Tumble() const { return m_tumble == 1; }
    void SetTumble(bool checked) { m_tumble = checked ? 1 : 0; }
    // 1 after a successful write; on failure the status says why and the
    // result is 0 (the dialog stays open so the user can cancel).
    int Ok(Status* failure);
    int Cancel() const { return 0; }

  private:
    int m_tumble = kTumbleDefault;
};

}  // namespace voxa::queue
