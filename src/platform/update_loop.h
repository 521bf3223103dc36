#pragma once
// The one loop every update of the process runs on: the control connection, the stages'
// sockets and their timers. Its handlers run one at a time on the loop's thread; work
// reaches it from other threads only through Post.

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/task_queue.h"

namespace tessaly {

// A one-shot timer of the loop. Used on the loop's thread only.
class LoopTimer {
 public:
  virtual ~LoopTimer() = default;
  // Calls `fired` on the loop once `us` microseconds have passed, unless the timer is
  // started again or cancelled first. A start replaces the one pending.
  virtual void Start(std::uint64_t us, std::function<void()> fired) = 0;
  // The pending handler never runs.
  virtual void Cancel() = 0;
  virtual bool Pending() const = 0;
};

class UpdateLoop : public TaskQueue {
 public:
  // The loop's clock in microseconds: steady, never set back.
  virtual std::uint64_t NowUs() const = 0;
  virtual std::unique_ptr<LoopTimer> CreateTimer() = 0;
  // Ends the loop: once it returns no handler runs any more, and what was made on the loop
  // may go. Not from the loop's thread. Idempotent.
  virtual void Stop() = 0;
};

// An Asio io_context on a thread of its own, on the steady clock.
std::unique_ptr<UpdateLoop> CreateUpdateLoop();

}  // namespace tessaly
