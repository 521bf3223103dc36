#pragma once
// The two remembered settings: the window reads them, an update writes them, and the
// command line shares them with the window.

namespace tessaly {

constexpr const char* kProfileSection = "LAN Communication";
constexpr const char* kProfileIpKey = "IP Address";
constexpr const char* kProfileAdapterKey = "Adapter Index";
constexpr const char* kDefaultIpAddress = "192.168.0.2";
// The projector's MAC address text: the window holds no other.
constexpr const char* kDefaultMacText = "FF.FF.FF.FF.FF.FF";

}  // namespace tessaly
