#include "platform/view_timer.h"

#include <chrono>

namespace tessaly {

struct ViewTimer::Shared {
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::function<void()> onTimer;
  std::uint32_t intervalMs = 0;
  bool enabled = false;
  bool quit = false;
  // Bumped by every change, so a firing already posted for an older setting is dropped.
  std::uint64_t generation = 0;
  std::chrono::steady_clock::time_point due;
};

ViewTimer::ViewTimer(TaskQueue& view, std::function<void()> onTimer, std::uint32_t intervalMs)
    : view_(view), shared_(std::make_shared<Shared>()) {
  shared_->onTimer = std::move(onTimer);
  shared_->intervalMs = intervalMs;
  thread_ = std::thread([this] { Run(); });
}

ViewTimer::~ViewTimer() {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->quit = true;
    shared_->enabled = false;
    ++shared_->generation;
  }
  shared_->changed.notify_all();
  thread_.join();
}

void ViewTimer::SetInterval(std::uint32_t ms) {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->intervalMs = ms;
    ++shared_->generation;
    shared_->due = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  }
  shared_->changed.notify_all();
}

std::uint32_t ViewTimer::Interval() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->intervalMs;
}

void ViewTimer::SetEnabled(bool enabled) {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->enabled == enabled) return;
    shared_->enabled = enabled;
    ++shared_->generation;
    shared_->due = std::chrono::steady_clock::now() + std::chrono::milliseconds(shared_->intervalMs);
  }
  shared_->changed.notify_all();
}

bool ViewTimer::Enabled() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->enabled;
}

void ViewTimer::Run() {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  while (!shared_->quit) {
    if (!shared_->enabled) {
      shared_->changed.wait(lock);
      continue;
    }
    const std::uint64_t generation = shared_->generation;
    if (shared_->changed.wait_until(lock, shared_->due) != std::cv_status::timeout ||
        generation != shared_->generation || !shared_->enabled) {
      continue;  // woken by a change: look again
    }
    shared_->due += std::chrono::milliseconds(shared_->intervalMs);
    std::weak_ptr<Shared> weak = shared_;
    lock.unlock();
    view_.Post([weak, generation] {
      auto s = weak.lock();
      if (!s) return;
      std::function<void()> handler;
      {
        std::lock_guard<std::mutex> guard(s->mutex);
        if (!s->enabled || s->generation != generation) return;  // disabled or changed since
        handler = s->onTimer;
      }
      handler();
    });
    lock.lock();
  }
}

}  // namespace tessaly
