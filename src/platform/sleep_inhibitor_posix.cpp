#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/sleep_inhibitor.h"

namespace tessaly {

namespace {

// A logind that does not answer must not hold up the end of the run for sd-bus's 25 s.
constexpr std::uint64_t kCallTimeoutUs = 5'000'000;

std::string Reason(int error, const sd_bus_error* busError) {
  if (busError && sd_bus_error_is_set(busError)) {
    return std::string(busError->name ? busError->name : "") + ": " + (busError->message ? busError->message : "");
  }
  return std::strerror(error < 0 ? -error : error);
}

class LogindInhibitor final : public SleepInhibitor {
 public:
  ~LogindInhibitor() override { Release(); }

  bool Take(std::string& why) override {
    if (fd_ >= 0) return true;
    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);  // DBUS_SYSTEM_BUS_ADDRESS, if set, names the bus
    if (r < 0) {
      why = "no system bus (" + Reason(r, nullptr) + ")";
      return false;
    }
    sd_bus_set_method_call_timeout(bus, kCallTimeoutUs);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "Inhibit", &error, &reply, "ssss", "sleep", "Updater for Tessaly",
                           "Firmware is being written into the projector", "block");
    if (r >= 0) {
      int fd = -1;
      r = sd_bus_message_read(reply, "h", &fd);
      // The descriptor belongs to the message: keep a copy of our own.
      if (r >= 0) fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
      if (r >= 0 && fd_ < 0) r = -errno;
    }
    if (r < 0) why = "logind's Inhibit failed (" + Reason(r, &error) + ")";
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return fd_ >= 0;
  }

  void Release() override {
    if (fd_ < 0) return;
    ::close(fd_);  // logind drops the lock when its last copy of the descriptor closes
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

}  // namespace

std::unique_ptr<SleepInhibitor> CreateSystemSleepInhibitor() { return std::make_unique<LogindInhibitor>(); }

}  // namespace tessaly
