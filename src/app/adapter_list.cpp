#include "app/adapter_list.h"

namespace tessaly {

int ListAdapters(AdapterSource& source, const std::function<void(const std::string&)>& addItem,
                 AdapterAddressTable& addresses, DebugOutput& debug) {
  auto adapters = source.GetAdaptersInfo();
  if (!adapters) return 0;
  int count = 0;
  for (const AdapterInfo& adapter : *adapters) {
    debug.Write(adapter.adapterName);
    debug.Write(adapter.description);
    debug.Write("IP address:");
    for (const std::string& address : adapter.addresses) {
      debug.Write(address);
      if (count < kMaxAdapterEntries && address != "0.0.0.0") {
        addItem(address + " - " + adapter.description);
        addresses[static_cast<std::size_t>(count)] = address;
        ++count;
      }
    }
    debug.Write(std::string(53, '*'));
  }
  return count;
}

}  // namespace tessaly
