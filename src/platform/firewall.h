#pragma once
// The system firewall, asked whether the boot loader's datagrams can reach this program.
// On Windows the updater is the server: with Windows Defender Firewall on and no rule for
// it, the BOOTP and TFTP requests never arrive, and a projector switched into download
// mode would wait in its boot loader for nothing. Linux asks nothing (Unknown).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tessaly {

enum class FirewallAnswer { Allowed, Blocked, Unknown };

// Inbound UDP ports, each range first..last inclusive.
struct PortRange {
  std::uint16_t first = 0;
  std::uint16_t last = 0;
};

// "67, 69 and 32768-40959"
std::string DescribePorts(const std::vector<PortRange>& ports);
// "67,69,32768-40959", as firewall rules write them.
std::string PortListText(const std::vector<PortRange>& ports);

class FirewallCheck {
 public:
  virtual ~FirewallCheck() = default;
  // Whether inbound UDP on every port of `ports` reaches this program on the network of
  // the adapter that owns `localAddress` (network order). Unknown whenever it cannot be
  // told: no firewall service to ask, another firewall product, an answer not understood.
  virtual FirewallAnswer InboundUdp(std::uint32_t localAddress, const std::vector<PortRange>& ports) = 0;
  // This program as the firewall's rules name it: its full path.
  virtual std::string ProgramPath() = 0;
};

std::unique_ptr<FirewallCheck> CreateSystemFirewallCheck();

// What the Windows firewall holds, as far as the judgement below needs it. Profiles are
// the firewall's bits: 1 domain, 2 private, 4 public. Names and paths are compared as
// given: the caller hands them in one case, variables expanded.
struct FirewallRuleFacts {
  bool enabled = true;
  bool inbound = true;
  bool allow = true;
  long profiles = 0x7FFFFFFF;
  int protocol = 256;       // 17 UDP, 256 any
  std::string application;  // empty: every program
  std::string service;      // not empty: a Windows service's rule, none of ours
  std::string localPorts;   // "*" or empty: every port; else numbers and ranges, comma-separated
};
struct FirewallProfileFacts {
  long type = 0;
  bool enabled = true;
  bool blockAllInbound = false;
  bool defaultInboundAllow = false;
};
struct FirewallFacts {
  std::string program;
  std::vector<FirewallProfileFacts> current;  // the profiles of the networks now connected
  long adapterProfile = 0;                    // the adapter's network's profile; 0 when not known
  std::vector<FirewallRuleFacts> rules;
};
// Allowed when inbound UDP on every port reaches `program` on the adapter's profile (or
// on every current profile while that is not known), Blocked when it reaches it on none
// of them, Unknown otherwise. A block rule wins over allow rules; only one that names
// this program is taken into account, a general one is the administrator's and its reach
// is not ours to guess.
FirewallAnswer JudgeInboundUdp(const FirewallFacts& facts, const std::vector<PortRange>& ports);

// The installer's rules: inbound UDP on `ports` for each program of `programs` (full
// paths), on every network profile, named after the program; Remove takes away every rule
// of that group. Done, Unavailable (no firewall service here: nothing to do), or Failed
// with `why`.
enum class FirewallRulesResult { Done, Unavailable, Failed };
FirewallRulesResult AddFirewallRules(const std::vector<std::string>& programs, const std::vector<PortRange>& ports,
                                     std::string& why);
FirewallRulesResult RemoveFirewallRules(std::string& why);

}  // namespace tessaly
