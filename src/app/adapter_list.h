#pragma once
// The PC's IPv4 addresses for the adapter choice of the manual download mode.

#include <array>
#include <functional>
#include <string>

#include "platform/adapters.h"
#include "platform/debug_output.h"

namespace tessaly {

constexpr int kMaxAdapterEntries = 10;
using AdapterAddressTable = std::array<std::string, kMaxAdapterEntries>;

// Gives one item per usable address ("address - description") to `addItem` and puts its
// address text in `addresses`; traces every adapter on the debugger output. Returns the
// number of entries (0 to 10).
int ListAdapters(AdapterSource& source, const std::function<void(const std::string&)>& addItem,
                 AdapterAddressTable& addresses, DebugOutput& debug);

}  // namespace tessaly
