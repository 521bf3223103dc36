#pragma once
// What one update is asked to do, as the operator gave it.

#include <string>

namespace tessaly {

struct UpdateRequest {
  std::string projectorAddress;  // as typed
  std::string macAddress;        // the projector's MAC address text
  std::string mainFile;          // empty: no Main firmware is sent
  std::string subFile;           // empty: no Sub firmware is sent
  // The projector was switched into download mode by hand: the Main firmware is served at
  // once on the chosen adapter.
  bool manual = false;
  int adapterIndex = -1;  // the chosen adapter's place in the list, -1 for none
  std::string adapterAddress;
};

}  // namespace tessaly
