#include "platform/directory.h"

#include <algorithm>
#include <cctype>

namespace tessaly {

bool EndsWithNoCase(const std::string& name, const std::string& ext) {
  if (name.size() < ext.size()) return false;
  return std::equal(ext.rbegin(), ext.rend(), name.rbegin(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  });
}

}  // namespace tessaly
