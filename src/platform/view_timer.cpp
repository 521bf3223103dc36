#include "platform/view_timer.h"

#include <asio/steady_timer.hpp>

#include <chrono>
#include <mutex>
#include <optional>

#include "platform/io_thread.h"

namespace tessaly {

// What the posted firings look at; they hold it weakly, so those of a destroyed timer
// run nothing.
struct ViewTimer::Shared {
  mutable std::mutex mutex;
  std::function<void()> onTimer;
  std::uint32_t intervalMs = 0;
  bool enabled = false;
  // Bumped by every change, so a firing already posted for an older setting is dropped.
  std::uint64_t generation = 0;
};

// The count itself. The steady_timer is touched only under Shared::mutex, from any thread.
struct ViewTimer::Io {
  Io(TaskQueue& queue, std::shared_ptr<Shared> state) : view(queue), shared(std::move(state)) {
    timer.emplace(thread.context());
  }
  ~Io() {
    {
      std::lock_guard<std::mutex> lock(shared->mutex);
      shared->enabled = false;
      ++shared->generation;
      timer->cancel();
    }
    thread.Stop();
    timer.reset();  // before the io_context it was made on
  }

  // Starts the count afresh for the current setting; a wait still pending for an older
  // one completes as cancelled, or sees the generation moved on.
  void RestartLocked() {
    timer->cancel();
    if (!shared->enabled) return;
    timer->expires_after(std::chrono::milliseconds(shared->intervalMs));
    WaitLocked(shared->generation);
  }

  void WaitLocked(std::uint64_t generation) {
    timer->async_wait([this, generation](const asio::error_code& ec) { Expired(generation, ec); });
  }

  // Runs on the I/O thread.
  void Expired(std::uint64_t generation, const asio::error_code& ec) {
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (ec || !shared->enabled || generation != shared->generation) return;
    std::weak_ptr<Shared> weak = shared;
    view.Post([weak, generation] {
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
    // From the last due time, not from now: the firings keep their pace.
    timer->expires_at(timer->expiry() + std::chrono::milliseconds(shared->intervalMs));
    WaitLocked(generation);
  }

  TaskQueue& view;
  std::shared_ptr<Shared> shared;
  IoThread thread;
  std::optional<asio::steady_timer> timer;
};

ViewTimer::ViewTimer(TaskQueue& view, std::function<void()> onTimer, std::uint32_t intervalMs)
    : shared_(std::make_shared<Shared>()) {
  shared_->onTimer = std::move(onTimer);
  shared_->intervalMs = intervalMs;
  io_ = std::make_unique<Io>(view, shared_);
}

ViewTimer::~ViewTimer() = default;

void ViewTimer::SetInterval(std::uint32_t ms) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->intervalMs = ms;
  ++shared_->generation;
  io_->RestartLocked();
}

std::uint32_t ViewTimer::Interval() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->intervalMs;
}

void ViewTimer::SetEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (shared_->enabled == enabled) return;
  shared_->enabled = enabled;
  ++shared_->generation;
  io_->RestartLocked();
}

bool ViewTimer::Enabled() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->enabled;
}

}  // namespace tessaly
