#pragma once
// The thread that owns the front end (the window's, or the command line's event loop):
// work from other threads reaches it only through Post, in the order posted.

#include <functional>

namespace tessaly {

class TaskQueue {
 public:
  virtual ~TaskQueue() = default;
  // Runs `work` later on the queue's thread. Calls from any one thread keep their order.
  virtual void Post(std::function<void()> work) = 0;
  virtual bool OnQueueThread() const = 0;
  // Runs the work pending now (only called on the queue's thread).
  virtual void ProcessEvents() = 0;
};

}  // namespace tessaly
