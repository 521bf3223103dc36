#pragma once
// The remembered settings in an INI file, read and written through QSettings.

#include <memory>
#include <string>

#include "platform/profile.h"

namespace tessaly {

class IniProfile final : public Profile {
 public:
  explicit IniProfile(const std::string& path = DefaultProfilePath());
  ~IniProfile() override;

  std::optional<std::string> Read(const std::string& section, const std::string& key) override;
  bool Write(const std::string& section, const std::string& key, const std::string& value) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tessaly
