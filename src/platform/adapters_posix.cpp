#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/adapters.h"

namespace tessaly {

std::optional<std::vector<AdapterInfo>> SystemAdapterSource::GetAdaptersInfo() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return std::nullopt;
  std::vector<AdapterInfo> out;
  std::vector<std::string> loopbacks;
  auto adapterFor = [&out](const std::string& name) -> AdapterInfo& {
    auto it = std::find_if(out.begin(), out.end(), [&](const AdapterInfo& a) { return a.adapterName == name; });
    if (it != out.end()) return *it;
    out.push_back(AdapterInfo{name, name, {}});
    return out.back();
  };
  for (ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
    if (!ifa->ifa_name || !(ifa->ifa_flags & IFF_UP)) continue;
    AdapterInfo& a = adapterFor(ifa->ifa_name);
    if ((ifa->ifa_flags & IFF_LOOPBACK) &&
        std::find(loopbacks.begin(), loopbacks.end(), a.adapterName) == loopbacks.end()) {
      loopbacks.push_back(a.adapterName);
    }
    if (ifa->ifa_addr && ifa->ifa_addr->sa_family == AF_INET) {
      char text[INET_ADDRSTRLEN] = {};
      const auto* sin = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr);
      if (::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) a.addresses.emplace_back(text);
    }
  }
  ::freeifaddrs(list);
  // Linux lists lo first; index 0 is the default pick and must be one that reaches a projector.
  std::stable_partition(out.begin(), out.end(), [&](const AdapterInfo& a) {
    return std::find(loopbacks.begin(), loopbacks.end(), a.adapterName) == loopbacks.end();
  });
  // An adapter without IPv4 reports 0.0.0.0, as the Windows list does.
  for (AdapterInfo& a : out) {
    if (a.addresses.empty()) a.addresses.emplace_back("0.0.0.0");
  }
  return out;
}

}  // namespace tessaly
