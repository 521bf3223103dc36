// clang-format off
#include <winsock2.h>
#include <iphlpapi.h>
// clang-format on

#include <cstdlib>
#include <memory>

#include "platform/adapters.h"

namespace tessaly {

namespace {

struct FreeBuffer {
  void operator()(void* p) const { std::free(p); }
};

}  // namespace

std::optional<std::vector<AdapterInfo>> SystemAdapterSource::GetAdaptersInfo() {
  // Room for one record first; when the system wants more it says how much, and the call
  // is made once more with that.
  ULONG size = 640;
  std::unique_ptr<void, FreeBuffer> buffer(std::malloc(size));
  if (!buffer) return std::nullopt;
  DWORD result = ::GetAdaptersInfo(static_cast<IP_ADAPTER_INFO*>(buffer.get()), &size);
  if (result == ERROR_BUFFER_OVERFLOW) {
    buffer.reset(std::malloc(size));
    if (!buffer) return std::nullopt;
    result = ::GetAdaptersInfo(static_cast<IP_ADAPTER_INFO*>(buffer.get()), &size);
  }
  if (result != NO_ERROR) return std::nullopt;
  std::vector<AdapterInfo> out;
  for (const IP_ADAPTER_INFO* a = static_cast<const IP_ADAPTER_INFO*>(buffer.get()); a; a = a->Next) {
    AdapterInfo info;
    info.adapterName = a->AdapterName;
    info.description = a->Description;
    for (const IP_ADDR_STRING* ip = &a->IpAddressList; ip; ip = ip->Next) {
      info.addresses.emplace_back(ip->IpAddress.String);
    }
    out.push_back(std::move(info));
  }
  return out;
}

}  // namespace tessaly
