#pragma once
// The remembered settings in the user's Windows profile (GetProfileStringA and
// WriteProfileStringA), where the updater has always kept them.

#include "platform/profile.h"

namespace tessaly {

class WindowsProfile final : public Profile {
 public:
  std::optional<std::string> Read(const std::string& section, const std::string& key) override;
  bool Write(const std::string& section, const std::string& key, const std::string& value) override;
};

}  // namespace tessaly
