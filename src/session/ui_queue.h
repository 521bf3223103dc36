#pragma once
// The front end as the update sees it: its thread and its events. Carries work there in
// the order the calls were made, from whichever thread made them.

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/task_queue.h"
#include "session/update_events.h"

namespace tessaly {

class UiQueue {
 public:
  UiQueue();
  ~UiQueue();

  void Attach(TaskQueue& target, UpdateEvents& events);
  TaskQueue* target() const { return target_; }
  // For calls that need an answer at once; the front end's thread only.
  UpdateEvents* events() const { return events_; }

  // Runs `work` on the front end's thread after every earlier call. On that thread
  // itself the queue is drained at once, so the caller sees its own work done.
  void Run(std::function<void(UpdateEvents&)> work);
  // Runs `work` on the front end's thread on a later turn of its loop, never inside the
  // caller's handler, as a posted window message does. Dropped once detached.
  void Later(std::function<void()> work);

  // Drops queued work and stops posting (the front end is going away).
  void Detach();

 private:
  struct Shared;
  static void Drain(Shared& s);

  TaskQueue* target_ = nullptr;
  UpdateEvents* events_ = nullptr;
  std::shared_ptr<Shared> shared_;
};

}  // namespace tessaly
