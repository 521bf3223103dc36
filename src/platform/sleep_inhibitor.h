#pragma once
// Holds the system back from sleeping. Linux: a "sleep" inhibitor lock in "block" mode
// from systemd-logind on the system bus, held as the descriptor it returns. Windows:
// SetThreadExecutionState, which belongs to the calling thread. So Take and Release are
// called on one thread that outlives the hold, and never on a thread that must not wait:
// Take may wait on the system bus.

#include <memory>
#include <string>

namespace tessaly {

class SleepInhibitor {
 public:
  virtual ~SleepInhibitor() = default;
  // True once held (again true when held already); false with the reason otherwise.
  virtual bool Take(std::string& why) = 0;
  // Lets the system sleep again; nothing when not held.
  virtual void Release() = 0;
};

std::unique_ptr<SleepInhibitor> CreateSystemSleepInhibitor();

}  // namespace tessaly
