// The PC's adapter list from the real system, in a private network namespace where getifaddrs
// reports lo before any adapter added later.

#include <ifaddrs.h>
#include <net/if.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "netns/netns_support.h"
#include "platform/adapters.h"

namespace tessaly::testing {
namespace {

// A veth pair rather than a dummy interface: not every kernel has the dummy driver, and the
// other namespace tests need veth anyway. Removed however the test ends.
struct VethPair {
  VethPair(std::string a, std::string b) : near(std::move(a)), far(std::move(b)) {}
  ~VethPair() { Sh("ip link del " + near); }
  bool Create(const std::string& cidr) const {
    return Sh("ip link add " + near + " type veth peer name " + far) && Sh("ip addr add " + cidr + " dev " + near) &&
           Sh("ip link set " + near + " up") && Sh("ip link set " + far + " up");
  }
  const std::string near;
  const std::string far;
};

// Names of the interfaces that are up, in the order getifaddrs first reports them.
std::vector<std::string> SystemOrder() {
  std::vector<std::string> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
    if (!ifa->ifa_name || !(ifa->ifa_flags & IFF_UP)) continue;
    if (std::find(out.begin(), out.end(), ifa->ifa_name) == out.end()) out.emplace_back(ifa->ifa_name);
  }
  ::freeifaddrs(list);
  return out;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += " " + n;
  return out;
}

TEST(SystemAdaptersNetns, LoopbackIsListedLastOtherwiseInSystemOrder) {
  TESSALY_REQUIRE_NETNS();
  VethPair link("tveth0", "tveth1");
  ASSERT_TRUE(link.Create("10.213.7.1/24"));

  const std::vector<std::string> system = SystemOrder();
  ASSERT_FALSE(system.empty());
  ASSERT_EQ(system.front(), "lo") << "the premise: the system lists lo first;" << Joined(system);

  const std::optional<std::vector<AdapterInfo>> adapters = SystemAdapterSource().GetAdaptersInfo();
  ASSERT_TRUE(adapters.has_value());
  std::vector<std::string> names;
  for (const AdapterInfo& a : *adapters) names.push_back(a.adapterName);

  std::vector<std::string> expected(system.begin() + 1, system.end());
  expected.push_back("lo");
  EXPECT_EQ(names, expected) << "listed:" << Joined(names) << "; system:" << Joined(system);

  const auto near = std::find(names.begin(), names.end(), "tveth0");
  ASSERT_NE(near, names.end()) << Joined(names);
  EXPECT_EQ((*adapters)[static_cast<std::size_t>(near - names.begin())].addresses,
            std::vector<std::string>{"10.213.7.1"});
  const AdapterInfo& last = adapters->back();
  EXPECT_EQ(last.adapterName, "lo");
  EXPECT_EQ(last.description, "lo");
  EXPECT_EQ(last.addresses, std::vector<std::string>{"127.0.0.1"});
}

}  // namespace
}  // namespace tessaly::testing
