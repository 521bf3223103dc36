#include "platform/firewall.h"

namespace tessaly {

namespace {

std::string RangeText(const PortRange& r) {
  return r.first == r.last ? std::to_string(r.first) : std::to_string(r.first) + "-" + std::to_string(r.last);
}

}  // namespace

std::string DescribePorts(const std::vector<PortRange>& ports) {
  std::string out;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (i > 0) out += i + 1 == ports.size() ? " and " : ", ";
    out += RangeText(ports[i]);
  }
  return out;
}

std::string PortListText(const std::vector<PortRange>& ports) {
  std::string out;
  for (const PortRange& r : ports) {
    if (!out.empty()) out += ',';
    out += RangeText(r);
  }
  return out;
}

namespace {

// The ports a rule's text names; keywords (RPC, Teredo, ...) name none of ours.
std::vector<PortRange> ParsePorts(const std::string& text) {
  std::vector<PortRange> out;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string token = text.substr(start, end - start);
    const auto notSpace = [](char c) { return c != ' ' && c != '\t'; };
    while (!token.empty() && !notSpace(token.back())) token.pop_back();
    std::size_t lead = 0;
    while (lead < token.size() && !notSpace(token[lead])) ++lead;
    token.erase(0, lead);
    if (token == "*") return {PortRange{0, 65535}};
    const auto number = [](const std::string& s, unsigned long& value) {
      if (s.empty() || s.size() > 5 || s.find_first_not_of("0123456789") != std::string::npos) return false;
      value = std::stoul(s);
      return value <= 65535;
    };
    const std::size_t dash = token.find('-');
    unsigned long first = 0, last = 0;
    if (dash == std::string::npos ? number(token, first) && number(token, last)
                                  : number(token.substr(0, dash), first) && number(token.substr(dash + 1), last)) {
      if (first <= last) out.push_back(PortRange{static_cast<std::uint16_t>(first), static_cast<std::uint16_t>(last)});
    }
    start = end + 1;
  }
  return out;
}

bool Reaches(const FirewallRuleFacts& rule, long profile, const std::string& program) {
  return rule.enabled && rule.inbound && (rule.profiles & profile) != 0 &&
         (rule.protocol == 17 || rule.protocol == 256) && rule.service.empty() &&
         (rule.application.empty() || rule.application == program);
}

bool ProfileLetsIn(const FirewallFacts& facts, const FirewallProfileFacts& profile,
                   const std::vector<PortRange>& ports) {
  if (!profile.enabled) return true;
  if (profile.blockAllInbound) return false;
  std::vector<bool> wanted(65536, false), open(65536, false);
  for (const PortRange& r : ports) {
    for (unsigned p = r.first; p <= r.last; ++p) wanted[p] = true;
  }
  for (const FirewallRuleFacts& rule : facts.rules) {
    if (!Reaches(rule, profile.type, facts.program)) continue;
    const std::vector<PortRange> ruled =
        rule.localPorts.empty() ? std::vector<PortRange>{PortRange{0, 65535}} : ParsePorts(rule.localPorts);
    for (const PortRange& r : ruled) {
      for (unsigned p = r.first; p <= r.last; ++p) {
        if (rule.allow) {
          open[p] = true;
        } else if (wanted[p] && !rule.application.empty()) {
          return false;  // the operator once refused this program
        }
      }
    }
  }
  if (profile.defaultInboundAllow) return true;
  for (unsigned p = 0; p < 65536; ++p) {
    if (wanted[p] && !open[p]) return false;
  }
  return true;
}

}  // namespace

FirewallAnswer JudgeInboundUdp(const FirewallFacts& facts, const std::vector<PortRange>& ports) {
  std::vector<FirewallProfileFacts> judged;
  for (const FirewallProfileFacts& p : facts.current) {
    if (p.type == facts.adapterProfile) judged = {p};
  }
  if (judged.empty()) judged = facts.current;  // the adapter is on one of them
  if (judged.empty()) return FirewallAnswer::Unknown;
  int open = 0;
  for (const FirewallProfileFacts& p : judged) open += ProfileLetsIn(facts, p, ports) ? 1 : 0;
  if (open == static_cast<int>(judged.size())) return FirewallAnswer::Allowed;
  if (open == 0) return FirewallAnswer::Blocked;
  return FirewallAnswer::Unknown;
}

}  // namespace tessaly
