#include "platform/view_timer.h"

#include <asio/steady_timer.hpp>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "platform/asio_loop.h"

namespace tessaly {

// Everything the timer's handlers look at. The loop's waits hold it strongly, the posted
// firings weakly, so those of a destroyed timer run nothing. The steady_timer is touched
// only under the mutex, from any thread; it goes with the ViewTimer, before the loop's
// io_context, and a wait still pending finds it gone.
struct ViewTimer::Shared : std::enable_shared_from_this<ViewTimer::Shared> {
  Shared(TaskQueue& queue, asio::io_context& io) : view(queue) { timer.emplace(io); }

  // Starts the count afresh for the current setting; a wait still pending for an older
  // one completes as cancelled, or sees the generation moved on.
  void RestartLocked(const std::shared_ptr<Shared>& self) {
    timer->cancel();
    if (!enabled) return;
    timer->expires_after(std::chrono::milliseconds(intervalMs));
    WaitLocked(self, generation);
  }

  void WaitLocked(const std::shared_ptr<Shared>& self, std::uint64_t forGeneration) {
    timer->async_wait([self, forGeneration](const asio::error_code& ec) { self->Expired(forGeneration, ec); });
  }

  // Runs on the loop's thread.
  void Expired(std::uint64_t forGeneration, const asio::error_code& ec) {
    std::lock_guard<std::mutex> lock(mutex);
    if (ec || !timer || !enabled || forGeneration != generation) return;
    std::weak_ptr<Shared> weak = weak_from_this();
    view.Post([weak, forGeneration] {
      auto s = weak.lock();
      if (!s) return;
      std::function<void()> handler;
      {
        std::lock_guard<std::mutex> guard(s->mutex);
        if (!s->enabled || s->generation != forGeneration) return;  // disabled or changed since
        handler = s->onTimer;
      }
      handler();
    });
    // From the last due time, not from now: the firings keep their pace.
    timer->expires_at(timer->expiry() + std::chrono::milliseconds(intervalMs));
    WaitLocked(shared_from_this(), forGeneration);
  }

  TaskQueue& view;
  mutable std::mutex mutex;
  std::optional<asio::steady_timer> timer;
  std::function<void()> onTimer;
  std::uint32_t intervalMs = 0;
  bool enabled = false;
  // Bumped by every change, so a firing already posted for an older setting is dropped.
  std::uint64_t generation = 0;
};

ViewTimer::ViewTimer(TaskQueue& view, UpdateLoop& loop, std::function<void()> onTimer, std::uint32_t intervalMs) {
  asio::io_context* io = AsioContextOf(loop);
  if (!io) throw std::invalid_argument("ViewTimer: the loop has no io_context (not the system's loop)");
  shared_ = std::make_shared<Shared>(view, *io);
  shared_->onTimer = std::move(onTimer);
  shared_->intervalMs = intervalMs;
}

ViewTimer::~ViewTimer() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->enabled = false;
  ++shared_->generation;
  shared_->timer.reset();  // cancels the wait pending on the loop, which may still run
}

void ViewTimer::SetInterval(std::uint32_t ms) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->intervalMs = ms;
  ++shared_->generation;
  shared_->RestartLocked(shared_);
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
  shared_->RestartLocked(shared_);
}

bool ViewTimer::Enabled() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->enabled;
}

}  // namespace tessaly
