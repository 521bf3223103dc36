#include "session/ui_queue.h"

#include <utility>

namespace tessaly {

struct UiQueue::Shared {
  std::mutex mutex;
  std::deque<std::function<void(UpdateEvents&)>> work;
  bool drainPosted = false;
  bool draining = false;
  bool detached = false;
  TaskQueue* target = nullptr;
  UpdateEvents* events = nullptr;
};

UiQueue::UiQueue() : shared_(std::make_shared<Shared>()) {}

UiQueue::~UiQueue() { Detach(); }

void UiQueue::Attach(TaskQueue& target, UpdateEvents& events) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  target_ = &target;
  events_ = &events;
  shared_->target = &target;
  shared_->events = &events;
  shared_->detached = false;
}

void UiQueue::Detach() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->detached = true;
  shared_->target = nullptr;
  shared_->events = nullptr;
  shared_->work.clear();
}

void UiQueue::Run(std::function<void(UpdateEvents&)> work) {
  TaskQueue* target = nullptr;
  bool post = false;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->detached || !shared_->target) return;
    target = shared_->target;
    shared_->work.push_back(std::move(work));
    if (!target->OnQueueThread() && !shared_->drainPosted) {
      shared_->drainPosted = true;
      post = true;
    }
  }
  if (post) {
    std::weak_ptr<Shared> weak = shared_;
    target->Post([weak] {
      if (auto s = weak.lock()) {
        {
          std::lock_guard<std::mutex> lock(s->mutex);
          s->drainPosted = false;
        }
        Drain(*s);
      }
    });
  } else if (target->OnQueueThread()) {
    Drain(*shared_);
  }
}

void UiQueue::Later(std::function<void()> work) {
  TaskQueue* target = nullptr;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->detached || !shared_->target) return;
    target = shared_->target;
  }
  std::weak_ptr<Shared> weak = shared_;
  target->Post([weak, work = std::move(work)] {
    auto s = weak.lock();
    if (!s) return;
    {
      std::lock_guard<std::mutex> lock(s->mutex);
      if (s->detached) return;
    }
    work();
  });
}

void UiQueue::Drain(Shared& s) {
  std::unique_lock<std::mutex> lock(s.mutex);
  if (s.draining) return;  // an outer drain on this thread picks the work up
  s.draining = true;
  while (!s.work.empty() && !s.detached && s.target) {
    auto work = std::move(s.work.front());
    s.work.pop_front();
    UpdateEvents* events = s.events;
    lock.unlock();
    work(*events);
    lock.lock();
  }
  s.draining = false;
}

}  // namespace tessaly
