#pragma once
// Holds the system back from sleeping. Linux: a "sleep" inhibitor lock in "block" mode
// from systemd-logind on the system bus, held as the descriptor it returns; the call is
// made asynchronously on the update loop, so asking never holds the loop up. Windows:
// SetThreadExecutionState, which belongs to the calling thread: the loop's thread, which
// lives as long as the updates. So every call is made on the loop's thread, and the
// inhibitor goes on that thread or once the loop has stopped.

#include <functional>
#include <memory>
#include <string>

#include "platform/update_loop.h"

namespace tessaly {

class SleepInhibitor {
 public:
  // Whether the hold was had; the reason when it was not.
  using TakeDone = std::function<void(bool held, const std::string& why)>;

  virtual ~SleepInhibitor() = default;
  // Asks for the hold. `done` runs on the loop once it is held (at once when held already)
  // or cannot be had; it may run before Take returns. A Take while one is pending replaces
  // the pending one's `done`.
  virtual void Take(TakeDone done) = 0;
  // Lets the system sleep again, and drops a Take still pending: its `done` never runs.
  // Nothing when neither held nor asked for.
  virtual void Release() = 0;
};

// The system's hold, asked for on `loop` (the system's loop: CreateUpdateLoop).
std::unique_ptr<SleepInhibitor> CreateSystemSleepInhibitor(UpdateLoop& loop);

}  // namespace tessaly
