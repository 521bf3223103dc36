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

}  // namespace

std::optional<std::string> WindowsProfile::Read(const std::string& section, const std::string& key) {
  // The system gives the default both for a missing key and for one whose value is the
  // default: a key is missing only when two different defaults both come back.
  std::string value = ReadWithDefault(section, key, "0");
  if (value == "0" && ReadWithDefault(section, key, "1") == "1") return std::nullopt;
  return value;
}

bool WindowsProfile::Write(const std::string& section, const std::string& key, const std::string& value) {
  return ::WriteProfileStringA(section.c_str(), key.c_str(), value.c_str()) != FALSE;
}

std::unique_ptr<Profile> OpenUserProfile() { return std::make_unique<WindowsProfile>(); }

}  // namespace tessaly
