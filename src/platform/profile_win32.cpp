#include "platform/profile_win32.h"

#include <windows.h>

#include <memory>
#include <vector>

#include "platform/user_profile.h"

namespace tessaly {

namespace {

// The value, or `def` when the key is missing; read whole, however long.
std::string ReadWithDefault(const std::string& section, const std::string& key, const char* def) {
  constexpr DWORD kMaxSize = 1 << 20;
  std::vector<char> buffer(256);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD n = ::GetProfileStringA(section.c_str(), key.c_str(), def, buffer.data(), size);
    // size - 1 means it may have been cut.
    if (n + 1 < size || size >= kMaxSize) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

// A REG_SZ value, or nullopt when there is none (or it holds another type).
std::optional<std::string> ReadRegistry(const std::string& subkey, const std::string& name) {
  // Another writer may grow the value between the size and the read: a few tries.
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = 0;
    LONG rc = ::RegGetValueA(HKEY_CURRENT_USER, subkey.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &size);
    if (rc != ERROR_SUCCESS) return std::nullopt;
    std::vector<char> buffer(size + 1, '\0');
    size = static_cast<DWORD>(buffer.size());
    rc = ::RegGetValueA(HKEY_CURRENT_USER, subkey.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, buffer.data(), &size);
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) return std::nullopt;
    return std::string(buffer.data());  // the size counts the terminating zero
  }
  return std::nullopt;
}

bool WriteRegistry(const std::string& subkey, const std::string& name, const std::string& value) {
  HKEY key = nullptr;
  if (::RegCreateKeyExA(HKEY_CURRENT_USER, subkey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  const LONG rc = ::RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                   static_cast<DWORD>(value.size() + 1));
  ::RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}

}  // namespace

std::string WindowsProfile::KeyOf(const std::string& section) const {
  return section == kMainProfileSection ? registryKey_ : registryKey_ + "\\" + section;
}

std::optional<std::string> WindowsProfile::ReadWinIni(const std::string& section, const std::string& key) {
  // The system gives the default both for a missing key and for one whose value is the
  // default: a key is missing only when two different defaults both come back.
  std::string value = ReadWithDefault(section, key, "0");
  if (value == "0" && ReadWithDefault(section, key, "1") == "1") return std::nullopt;
  return value;
}

std::optional<std::string> WindowsProfile::Read(const std::string& section, const std::string& key) {
  if (std::optional<std::string> value = ReadRegistry(KeyOf(section), key)) return value;
  return ReadWinIni(section, key);
}

bool WindowsProfile::Write(const std::string& section, const std::string& key, const std::string& value) {
  const bool kept = WriteRegistry(KeyOf(section), key, value);
  // Where the user may write win.ini, an older version run next still finds the value.
  const bool inWinIni = ::WriteProfileStringA(section.c_str(), key.c_str(), value.c_str()) != FALSE;
  return kept || inWinIni;
}

std::unique_ptr<Profile> OpenUserProfile() { return std::make_unique<WindowsProfile>(); }

}  // namespace tessaly
