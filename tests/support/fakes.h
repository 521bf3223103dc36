#pragma once
// In-memory stand-ins for the platform: profile, directory, adapters, debugger output.

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/adapters.h"
#include "platform/debug_output.h"
#include "platform/directory.h"
#include "platform/profile.h"

namespace tessaly::testing {

class MemoryProfile final : public Profile {
 public:
  std::optional<std::string> Read(const std::string& section, const std::string& key) override;
  bool Write(const std::string& section, const std::string& key, const std::string& value) override;
  std::map<std::pair<std::string, std::string>, std::string> values;
  int writes = 0;
};

class ListedDirectory final : public DirectoryLister {
 public:
  std::vector<DirEntry> List(const std::string& extension) override;
  // Entries in listing order; List filters them by extension as the real lister does.
  std::vector<DirEntry> entries;
};

class ListedAdapters final : public AdapterSource {
 public:
  std::optional<std::vector<AdapterInfo>> GetAdaptersInfo() override { return adapters; }
  std::optional<std::vector<AdapterInfo>> adapters = std::vector<AdapterInfo>{};
};

class RecordingDebugOutput final : public DebugOutput {
 public:
  void Write(const std::string& text) override;
  std::vector<std::string> Lines() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace tessaly::testing
