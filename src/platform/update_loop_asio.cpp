#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <memory>
#include <optional>

#include "platform/asio_loop.h"
#include "platform/io_thread.h"

namespace tessaly {
namespace {

class AsioLoopTimer final : public LoopTimer {
 public:
  explicit AsioLoopTimer(asio::io_context& io) : timer_(io) {}
  ~AsioLoopTimer() override { Cancel(); }

  void Start(std::uint64_t us, std::function<void()> fired) override {
    Cancel();
    fired_ = std::move(fired);
    pending_ = true;
    timer_.expires_after(std::chrono::microseconds(us));
    // A cancel after the wait completed but before its handler ran bumps the generation.
    timer_.async_wait([this, generation = generation_, alive = std::weak_ptr<char>(alive_)](const asio::error_code& ec) {
      if (ec || alive.expired() || generation != generation_) return;
      pending_ = false;
      auto due = std::move(fired_);
      fired_ = nullptr;
      due();
    });
  }
  void Cancel() override {
    ++generation_;
    pending_ = false;
    fired_ = nullptr;
    timer_.cancel();
  }
  bool Pending() const override { return pending_; }

 private:
  asio::steady_timer timer_;
  std::function<void()> fired_;
  std::uint64_t generation_ = 0;
  bool pending_ = false;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

class AsioUpdateLoop final : public UpdateLoop {
 public:
  ~AsioUpdateLoop() override { Stop(); }

  void Post(std::function<void()> work) override { asio::post(io_.context(), std::move(work)); }
  bool OnQueueThread() const override { return io_.context().get_executor().running_in_this_thread(); }
  void ProcessEvents() override { io_.context().poll(); }
  std::uint64_t NowUs() const override {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
  }
  std::unique_ptr<LoopTimer> CreateTimer() override { return std::make_unique<AsioLoopTimer>(io_.context()); }
  void Stop() override { io_.Stop(); }

  asio::io_context& context() { return io_.context(); }

 private:
  mutable IoThread io_;
};

}  // namespace

asio::io_context* AsioContextOf(UpdateLoop& loop) {
  auto* asioLoop = dynamic_cast<AsioUpdateLoop*>(&loop);
  return asioLoop ? &asioLoop->context() : nullptr;
}

std::unique_ptr<UpdateLoop> CreateUpdateLoop() { return std::make_unique<AsioUpdateLoop>(); }

}  // namespace tessaly
