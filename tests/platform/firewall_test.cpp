// The judgement of what the Windows firewall holds: whether the boot loader's datagrams
// reach this program on the network the projector is on.

#include <gtest/gtest.h>

#include "platform/firewall.h"

namespace tessaly::testing {
namespace {

constexpr long kDomain = 1, kPrivate = 2, kPublic = 4;
const std::string kProgram = "C:\\PROGRAM FILES\\TESSALY\\TESSALY-UPDATE.EXE";
const std::vector<PortRange> kPorts = {{67, 67}, {69, 69}, {32768, 40959}};

FirewallRuleFacts AllowRule(std::string ports, long profiles = 0x7FFFFFFF, std::string application = kProgram) {
  FirewallRuleFacts r;
  r.protocol = 17;
  r.localPorts = std::move(ports);
  r.profiles = profiles;
  r.application = std::move(application);
  return r;
}

// One network, on `profile`, with the firewall on and these rules.
FirewallFacts OnOneNetwork(long profile, std::vector<FirewallRuleFacts> rules) {
  FirewallFacts f;
  f.program = kProgram;
  f.current = {FirewallProfileFacts{profile, true, false, false}};
  f.adapterProfile = profile;
  f.rules = std::move(rules);
  return f;
}

TEST(FirewallJudgement, PortsAreDescribedForPeopleAndForRules) {
  EXPECT_EQ(DescribePorts(kPorts), "67, 69 and 32768-40959");
  EXPECT_EQ(PortListText(kPorts), "67,69,32768-40959");
  EXPECT_EQ(DescribePorts({{67, 67}}), "67");
}

TEST(FirewallJudgement, TheInstallersRuleOrAnyProgramsRuleLetsIn) {
  EXPECT_EQ(JudgeInboundUdp(OnOneNetwork(kPublic, {AllowRule("67,69,32768-40959")}), kPorts), FirewallAnswer::Allowed);
  EXPECT_EQ(JudgeInboundUdp(OnOneNetwork(kPublic, {AllowRule("67, 69, 32768-40959", kPublic, "")}), kPorts),
            FirewallAnswer::Allowed);
  // Windows' own question makes a rule of every port and protocol for the networks allowed.
  FirewallRuleFacts asked = AllowRule("*", kPrivate);
  asked.protocol = 256;
  EXPECT_EQ(JudgeInboundUdp(OnOneNetwork(kPrivate, {asked}), kPorts), FirewallAnswer::Allowed);
  EXPECT_EQ(JudgeInboundUdp(OnOneNetwork(kPublic, {asked}), kPorts), FirewallAnswer::Blocked);
  // Several rules together cover the ports; keywords name none of them.
  EXPECT_EQ(JudgeInboundUdp(OnOneNetwork(kDomain, {AllowRule("RPC, 67"), AllowRule("69"), AllowRule("32768-40000"),
                                                   AllowRule("40001-40959")}),
                            kPorts),
            FirewallAnswer::Allowed);
}

TEST(FirewallJudgement, RulesThatDoNotReachThisProgramLetNothingIn) {
  EXPECT_EQ(JudgeInboundUdp(OnOneNetwork(kPublic, {}), kPorts), FirewallAnswer::Blocked);
  std::vector<FirewallRuleFacts> misses;
  misses.push_back(AllowRule("67,69,32768-40000"));  // not every data port
  misses.push_back(AllowRule("*", 0x7FFFFFFF, "C:\\OTHER\\TESSALY-UPDATE.EXE"));
  FirewallRuleFacts tcp = AllowRule("*");
  tcp.protocol = 6;
  misses.push_back(tcp);
  FirewallRuleFacts off = AllowRule("*");
  off.enabled = false;
  misses.push_back(off);
  FirewallRuleFacts outbound = AllowRule("*");
  outbound.inbound = false;
  misses.push_back(outbound);
  FirewallRuleFacts service = AllowRule("*", 0x7FFFFFFF, "");
  service.service = "dhcp";
  misses.push_back(service);
  for (std::size_t i = 0; i < misses.size(); ++i) {
    SCOPED_TRACE(i);
    std::vector<FirewallRuleFacts> rules = {AllowRule("67,69,32768-40000"), misses[i]};
    EXPECT_EQ(JudgeInboundUdp(OnOneNetwork(kPublic, rules), kPorts), FirewallAnswer::Blocked);
  }
}

TEST(FirewallJudgement, ProfileSettingsAndBlockRules) {
  FirewallFacts off = OnOneNetwork(kPublic, {});
  off.current[0].enabled = false;
  EXPECT_EQ(JudgeInboundUdp(off, kPorts), FirewallAnswer::Allowed);
  FirewallFacts openByDefault = OnOneNetwork(kPublic, {});
  openByDefault.current[0].defaultInboundAllow = true;
  EXPECT_EQ(JudgeInboundUdp(openByDefault, kPorts), FirewallAnswer::Allowed);
  FirewallFacts shieldsUp = OnOneNetwork(kPublic, {AllowRule("*")});
  shieldsUp.current[0].blockAllInbound = true;
  EXPECT_EQ(JudgeInboundUdp(shieldsUp, kPorts), FirewallAnswer::Blocked);
  // A refusal of this program (Windows' question answered "Cancel") wins over an allow.
  FirewallRuleFacts refused = AllowRule("*");
  refused.allow = false;
  EXPECT_EQ(JudgeInboundUdp(OnOneNetwork(kPublic, {AllowRule("*"), refused}), kPorts), FirewallAnswer::Blocked);
  // A block rule of every program is the administrator's; its reach is not guessed.
  FirewallRuleFacts general = AllowRule("67", 0x7FFFFFFF, "");
  general.allow = false;
  EXPECT_EQ(JudgeInboundUdp(OnOneNetwork(kPublic, {AllowRule("*"), general}), kPorts), FirewallAnswer::Allowed);
}

TEST(FirewallJudgement, AnAdapterOfUnknownProfileIsBlockedOnlyWhereEveryNetworkBlocks) {
  FirewallFacts f = OnOneNetwork(kPublic, {AllowRule("*", kPrivate)});
  f.current.push_back(FirewallProfileFacts{kPrivate, true, false, false});
  EXPECT_EQ(JudgeInboundUdp(f, kPorts), FirewallAnswer::Blocked);  // the adapter is on the public one
  f.adapterProfile = 0;
  EXPECT_EQ(JudgeInboundUdp(f, kPorts), FirewallAnswer::Unknown);
  f.rules.clear();
  EXPECT_EQ(JudgeInboundUdp(f, kPorts), FirewallAnswer::Blocked);
  f.rules = {AllowRule("*")};
  EXPECT_EQ(JudgeInboundUdp(f, kPorts), FirewallAnswer::Allowed);
  f.current.clear();
  EXPECT_EQ(JudgeInboundUdp(f, kPorts), FirewallAnswer::Unknown);
}

}  // namespace
}  // namespace tessaly::testing
