#pragma once
// The program's fixed values. The shipped programs always use these defaults;
// tests hand in shorter waits.

#include <cstdint>

namespace tessaly {

struct UpdaterSettings {
  // Longest sleep between two looks at the tick counter in WaitWithMessages: the wait
  // must not spin, yet a stop or a posted call is noticed quickly.
  std::uint32_t waitSliceMs = 5;
  // The projector restarts after the Main firmware before it answers again.
  std::uint32_t restartWaitMs = 7000;

  // The control connection.
  std::uint16_t controlPort = 20554;
  std::uint32_t connectTimeoutMs = 5000;  // from the attempt to the connection
  std::uint32_t switchTimeoutMs = 3000;   // from the connection to download mode
};

}  // namespace tessaly
