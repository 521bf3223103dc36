#pragma once
// The PC's network adapters and their IPv4 addresses, in system order.

#include <optional>
#include <string>
#include <vector>

namespace tessaly {

struct AdapterInfo {
  std::string adapterName;
  std::string description;
  std::vector<std::string> addresses;  // dotted texts; "0.0.0.0" for an adapter with none
};

class AdapterSource {
 public:
  virtual ~AdapterSource() = default;
  // nullopt when the system cannot be asked (the list then stays empty).
  virtual std::optional<std::vector<AdapterInfo>> GetAdaptersInfo() = 0;
};

// getifaddrs: every interface that is up, loopback included (dry runs against the
// simulator use it), with its name as the description.
class SystemAdapterSource final : public AdapterSource {
 public:
  std::optional<std::vector<AdapterInfo>> GetAdaptersInfo() override;
};

}  // namespace tessaly
