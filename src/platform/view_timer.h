#pragma once
// A timer whose handler runs on the thread of a queue of the caller's, like a window timer
// (the control connection's runs on the update loop itself; tests take their own
// thread): it fires every interval while enabled. Enable, disable and the interval may be changed from any thread.
// The count runs on the update loop; the timer goes before the loop is destroyed (the loop
// may still run then, or have stopped).

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/task_queue.h"
#include "platform/update_loop.h"

namespace tessaly {

class ViewTimer {
 public:
  // `loop` is the system's loop (CreateUpdateLoop).
  ViewTimer(TaskQueue& view, UpdateLoop& loop, std::function<void()> onTimer, std::uint32_t intervalMs = 5100);
  ~ViewTimer();
  ViewTimer(const ViewTimer&) = delete;
  ViewTimer& operator=(const ViewTimer&) = delete;

  void SetInterval(std::uint32_t ms);  // restarts the count when enabled
  std::uint32_t Interval() const;
  void SetEnabled(bool enabled);  // enabling starts the count afresh
  bool Enabled() const;

 private:
  struct Shared;

  std::shared_ptr<Shared> shared_;
};

}  // namespace tessaly
