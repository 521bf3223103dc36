#include <fcntl.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/asio_loop.h"
#include "platform/sleep_inhibitor.h"

namespace tessaly {

namespace {

// A logind that does not answer must not leave the hold asked for sd-bus's 25 s.
constexpr std::uint64_t kCallTimeoutUs = 5'000'000;
// Messages handled in one turn of the loop before others get theirs.
constexpr int kProcessBurst = 64;

std::string Reason(int error, const sd_bus_error* busError) {
  if (busError && sd_bus_error_is_set(busError)) {
    return std::string(busError->name ? busError->name : "") + ": " + (busError->message ? busError->message : "");
  }
  return std::strerror(error < 0 ? -error : error);
}

std::uint64_t MonotonicNowUs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

// The Inhibit call is sent without waiting: the bus's socket is watched on the loop,
// sd_bus_process runs when it is ready, and the bus's own time-out (the call's) is a
// timer of the loop. Used on the loop's thread only.
class LogindInhibitor final : public SleepInhibitor {
 public:
  explicit LogindInhibitor(asio::io_context* io) : io_(io) {}
  ~LogindInhibitor() override { Release(); }
  LogindInhibitor(const LogindInhibitor&) = delete;
  LogindInhibitor& operator=(const LogindInhibitor&) = delete;

  void Take(TakeDone done) override {
    if (fd_ >= 0) {
      if (done) done(true, std::string());
      return;
    }
    done_ = std::move(done);
    if (bus_) return;  // asked already: its answer ends this Take too
    if (!io_) {
      Finish(false, "no system bus (the loop has no event source)");
      return;
    }
    int r = sd_bus_open_system(&bus_);  // DBUS_SYSTEM_BUS_ADDRESS, if set, names the bus
    if (r < 0) {
      bus_ = nullptr;
      Finish(false, "no system bus (" + Reason(r, nullptr) + ")");
      return;
    }
    sd_bus_set_method_call_timeout(bus_, kCallTimeoutUs);
    r = sd_bus_call_method_async(bus_, &slot_, "org.freedesktop.login1", "/org/freedesktop/login1",
                                 "org.freedesktop.login1.Manager", "Inhibit", &LogindInhibitor::Answered, this, "ssss",
                                 "sleep", "Updater for Tessaly", "Firmware is being written into the projector", "block");
    if (r >= 0) r = sd_bus_get_fd(bus_);
    if (r < 0) {
      Finish(false, "logind's Inhibit failed (" + Reason(r, nullptr) + ")");
      return;
    }
    asio::error_code ec;
    socket_.emplace(*io_);
    socket_->assign(r, ec);  // the descriptor stays sd-bus's: released, never closed, by us
    if (ec) {
      socket_.reset();
      Finish(false, "logind's Inhibit failed (" + ec.message() + ")");
      return;
    }
    timer_.emplace(*io_);
    Pump();
  }

  void Release() override {
    done_ = nullptr;
    DropBus();
    if (fd_ < 0) return;
    ::close(fd_);  // logind drops the lock when its last copy of the descriptor closes
    fd_ = -1;
  }

 private:
  static int Answered(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* self = static_cast<LogindInhibitor*>(userdata);
    self->answered_ = true;
    if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
      self->why_ = "logind's Inhibit failed (" + Reason(sd_bus_message_get_errno(reply), error) + ")";
      return 0;
    }
    int fd = -1;
    int r = sd_bus_message_read(reply, "h", &fd);
    // The descriptor belongs to the message: keep a copy of our own.
    if (r >= 0) self->fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (r >= 0 && self->fd_ < 0) r = -errno;
    if (r < 0) self->why_ = "logind's Inhibit failed (" + Reason(r, nullptr) + ")";
    return 0;
  }

  // Lets sd-bus read, write and time out what is due, then waits for what it wants next.
  void Pump() {
    for (int i = 0; i < kProcessBurst && !answered_; ++i) {
      const int r = sd_bus_process(bus_, nullptr);
      if (r < 0 && !answered_) {
        Finish(false, "logind's Inhibit failed (" + Reason(r, nullptr) + ")");
        return;
      }
      if (r <= 0) break;
    }
    if (answered_) {
      const bool held = fd_ >= 0;
      Finish(held, held ? std::string() : why_);
      return;
    }
    Arm();
  }

  enum class Watch { Read, Write, Due };

  // A completion of this bus's watch: stale ones (the bus gone since) do nothing.
  std::function<void(const asio::error_code&)> Handler(Watch watch) {
    return [this, watch, generation = generation_, alive = std::weak_ptr<char>(alive_)](const asio::error_code& ec) {
      if (alive.expired() || generation != generation_) return;
      if (watch == Watch::Read) readWaiting_ = false;
      if (watch == Watch::Write) writeWaiting_ = false;
      if (watch == Watch::Due && ec == asio::error::operation_aborted) return;  // moved since
      Pump();
    };
  }

  void Arm() {
    const int events = sd_bus_get_events(bus_);
    std::uint64_t due = UINT64_MAX;
    const int r = events < 0 ? events : sd_bus_get_timeout(bus_, &due);
    if (r < 0) {
      Finish(false, "logind's Inhibit failed (" + Reason(r, nullptr) + ")");
      return;
    }
    if ((events & POLLIN) && !readWaiting_) {
      readWaiting_ = true;
      socket_->async_wait(asio::posix::stream_descriptor::wait_read, Handler(Watch::Read));
    }
    if ((events & POLLOUT) && !writeWaiting_) {
      writeWaiting_ = true;
      socket_->async_wait(asio::posix::stream_descriptor::wait_write, Handler(Watch::Write));
    }
    // Absolute on the monotonic clock; 0 when something is due now.
    if (due == UINT64_MAX) {
      timer_->cancel();
      return;
    }
    const std::uint64_t now = MonotonicNowUs();
    timer_->expires_after(std::chrono::microseconds(due > now ? due - now : 0));
    timer_->async_wait(Handler(Watch::Due));
  }

  void Finish(bool held, const std::string& why) {
    DropBus();
    TakeDone done = std::move(done_);
    done_ = nullptr;
    if (done) done(held, why);
  }

  void DropBus() {
    ++generation_;  // the watch's completions still queued are stale
    readWaiting_ = false;
    writeWaiting_ = false;
    answered_ = false;
    why_.clear();
    if (timer_) timer_.reset();
    if (socket_) {
      socket_->release();  // sd-bus closes it
      socket_.reset();
    }
    slot_ = sd_bus_slot_unref(slot_);
    // Nothing is left to send: no flush, which could wait on the bus.
    if (bus_) bus_ = sd_bus_close_unref(bus_);
  }

  asio::io_context* io_;
  int fd_ = -1;
  TakeDone done_;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* slot_ = nullptr;
  std::optional<asio::posix::stream_descriptor> socket_;
  std::optional<asio::steady_timer> timer_;
  bool readWaiting_ = false;
  bool writeWaiting_ = false;
  bool answered_ = false;
  std::string why_;
  std::uint64_t generation_ = 0;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace

std::unique_ptr<SleepInhibitor> CreateSystemSleepInhibitor(UpdateLoop& loop) {
  return std::make_unique<LogindInhibitor>(AsioContextOf(loop));
}

}  // namespace tessaly
