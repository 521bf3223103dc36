#pragma once
// The PC's IPv4 addresses for the adapter choice of the manual download mode.

#include <array>
#include <string>

#include "platform/adapters.h"
#include "platform/debug_output.h"
#include "platform/view.h"

namespace tessaly {

constexpr int kMaxAdapterEntries = 10;
using AdapterAddressTable = std::array<std::string, kMaxAdapterEntries>;

// Appends one AdapterBox item per usable address ("address - description") and its
// address text to `addresses`; traces every adapter on the debugger output. Returns
// the number of entries (0 to 10).
int ListAdapters(AdapterSource& source, View& view, AdapterAddressTable& addresses, DebugOutput& debug);

}  // namespace tessaly
