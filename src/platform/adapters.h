#pragma once
// The PC's network adapters and their IPv4 addresses, in system order unless said otherwise.

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

// Linux, getifaddrs: every interface that is up, with its name as the description, in
// system order except that loopback comes last: the default index 0 must be an adapter
// that can reach a projector, while dry runs against the simulator still find loopback.
// Windows: GetAdaptersInfo, its adapters and their address lists as it gives them.
class SystemAdapterSource final : public AdapterSource {
 public:
  std::optional<std::vector<AdapterInfo>> GetAdaptersInfo() override;
};

}  // namespace tessaly
