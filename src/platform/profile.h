#pragma once
// The user's remembered settings, read and written like the Windows profile:
// a missing key gives the default, a key with an empty value gives "".

#include <optional>
#include <string>

// windows.h makes these names macros for its own ANSI and wide calls; ours keep theirs.
#undef GetProfileString
#undef GetProfileInt

namespace tessaly {

class Profile {
 public:
  virtual ~Profile() = default;
  // The stored value, or nullopt when the section or key is missing.
  virtual std::optional<std::string> Read(const std::string& section, const std::string& key) = 0;
  virtual bool Write(const std::string& section, const std::string& key, const std::string& value) = 0;
};

// GetProfileStringA: the value or `def`, cut to size - 1 characters.
std::string GetProfileString(Profile& p, const std::string& section, const std::string& key, const std::string& def,
                             std::size_t size);
// GetProfileIntA: leading decimal digits of the value (an optional sign first), 0 when
// the value holds no number, `def` when the key is missing.
int GetProfileInt(Profile& p, const std::string& section, const std::string& key, int def);

// Where the INI file lives: $XDG_CONFIG_HOME/tessaly/updater.ini, else ~/.config/tessaly/updater.ini.
std::string DefaultProfilePath();

}  // namespace tessaly
