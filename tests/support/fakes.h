#pragma once
// In-memory stand-ins for the platform: profile, directory, adapters, debugger output,
// firewall.

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/adapters.h"
#include "platform/debug_output.h"
#include "platform/directory.h"
#include "platform/firewall.h"
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

// A firewall that gives one answer, and counts the questions and the address asked about.
class AnsweringFirewall final : public FirewallCheck {
 public:
  explicit AnsweringFirewall(FirewallAnswer answer) : answer_(answer) {}
  FirewallAnswer InboundUdp(std::uint32_t localAddress, const std::vector<PortRange>& ports) override {
    lastAddress = localAddress;
    lastPorts = DescribePorts(ports);
    ++asked;
    return answer_;
  }
  std::string ProgramPath() override { return "C:\\Tools\\tessaly-update.exe"; }

  std::atomic<int> asked{0};
  std::atomic<std::uint32_t> lastAddress{0};
  std::string lastPorts;  // read once the update has ended

 private:
  FirewallAnswer answer_;
};

}  // namespace tessaly::testing
