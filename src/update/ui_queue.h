#pragma once
// Carries work for the controls to the view's thread in the order the calls were made,
// from whichever thread made them.

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/view.h"

namespace tessaly {

class UiQueue {
 public:
  explicit UiQueue(View* view = nullptr);
  ~UiQueue();

  void AttachView(View* view);
  View* view() const { return view_; }

  // Runs `work` on the view's thread after every earlier call. On the view's thread
  // itself the queue is drained at once, so the caller sees its own work done.
  void Run(std::function<void(View&)> work);

  // Drops queued work and stops posting (the view is going away).
  void Detach();

 private:
  struct Shared;
  static void Drain(Shared& s);

  View* view_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace tessaly
