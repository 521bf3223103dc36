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
};

}  // namespace tessaly
