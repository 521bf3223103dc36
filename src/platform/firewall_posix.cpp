#include <unistd.h>

#include <climits>

#include "platform/firewall.h"

namespace tessaly {

namespace {

// Linux asks no firewall: the package's capability covers the ports, and a host firewall
// there is the administrator's own.
class NoFirewallCheck final : public FirewallCheck {
 public:
  FirewallAnswer InboundUdp(std::uint32_t, const std::vector<PortRange>&) override { return FirewallAnswer::Unknown; }
  std::string ProgramPath() override {
    char path[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
  }
};

}  // namespace

std::unique_ptr<FirewallCheck> CreateSystemFirewallCheck() { return std::make_unique<NoFirewallCheck>(); }

FirewallRulesResult AddFirewallRules(const std::vector<std::string>&, const std::vector<PortRange>&, std::string&) {
  return FirewallRulesResult::Unavailable;
}

FirewallRulesResult RemoveFirewallRules(std::string&) { return FirewallRulesResult::Unavailable; }

}  // namespace tessaly
