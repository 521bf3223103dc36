#pragma once
// The remembered settings on Windows. A standard user may not write win.ini (a 64-bit
// program's writes there are not redirected), so they live in the user's registry:
// section "LAN Communication" is the key HKEY_CURRENT_USER\Software\Tessaly\Updater,
// any other section a subkey of it by that name, each setting a REG_SZ value. What the
// registry does not hold is read from win.ini's section of the same name, where older
// installations left it; every write goes to win.ini as well where the user may.

#include <string>
#include <utility>

#include "platform/profile.h"

namespace tessaly {

constexpr const char* kUserRegistryKey = "Software\\Tessaly\\Updater";
constexpr const char* kMainProfileSection = "LAN Communication";

class WindowsProfile final : public Profile {
 public:
  // `registryKey`: under HKEY_CURRENT_USER; tests use a key of their own.
  explicit WindowsProfile(std::string registryKey = kUserRegistryKey) : registryKey_(std::move(registryKey)) {}

  std::optional<std::string> Read(const std::string& section, const std::string& key) override;
  // True when the registry took the value; a win.ini that refuses it changes nothing.
  bool Write(const std::string& section, const std::string& key, const std::string& value) override;

  // The registry key (under HKEY_CURRENT_USER) that holds `section`.
  std::string KeyOf(const std::string& section) const;
  // win.ini alone, as the profile functions see it.
  static std::optional<std::string> ReadWinIni(const std::string& section, const std::string& key);

 private:
  std::string registryKey_;
};

}  // namespace tessaly
