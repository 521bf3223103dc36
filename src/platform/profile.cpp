#include "platform/profile.h"

#include <cctype>
#include <cstdlib>

namespace tessaly {

std::string GetProfileString(Profile& p, const std::string& section, const std::string& key, const std::string& def,
                             std::size_t size) {
  std::string value = p.Read(section, key).value_or(def);
  if (size == 0) return {};
  if (value.size() > size - 1) value.resize(size - 1);
  return value;
}

int GetProfileInt(Profile& p, const std::string& section, const std::string& key, int def) {
  std::optional<std::string> value = p.Read(section, key);
  if (!value) return def;
  const std::string& s = *value;
  std::size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  // 32-bit wrap-around on overflow, as the Windows reader's unsigned result does.
  unsigned int n = 0;
  for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
    n = n * 10u + static_cast<unsigned int>(s[i] - '0');
  }
  if (negative) n = 0u - n;
  return static_cast<int>(n);
}

std::string DefaultProfilePath() {
  std::string base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::string(home) + "/.config";
  } else {
    base = ".config";
  }
  return base + "/tessaly/updater.ini";
}

}  // namespace tessaly
