#pragma once
// The projector's ear on the segment for the whole life of the simulator: every datagram
// that reaches it on the Magic port or the BOOTP client port goes into the report's
// timeline (Report::heard), whether or not a boot loader is awake. It reads copies from a
// raw socket: it binds no port, so it neither takes a datagram from the boot loader's
// sockets nor keeps an updater on the same host from binding its own. A raw socket needs
// CAP_NET_RAW; without it the listener says why in Report::listener_error and the simulator
// goes on.

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "sim_report.h"

namespace tessaly::pjsim {

class PassiveListener {
 public:
  // A port of 0 is not listened to (the boot loader picks its own then).
  PassiveListener(std::uint16_t magic_port, std::uint16_t bootp_client_port, std::shared_ptr<ReportStore> store);
  ~PassiveListener();  // runs Stop()
  PassiveListener(const PassiveListener&) = delete;
  PassiveListener& operator=(const PassiveListener&) = delete;

  // Opens the socket and starts the thread; false, with the report's listener_error, when it
  // cannot. Nothing to listen to (both ports 0) is no failure.
  bool Start();
  // Joins the thread and closes the socket. Idempotent.
  void Stop();

 private:
  bool Fail(const std::string& why);
  void Run();
  void Take(const std::uint8_t* packet, std::size_t size);

  const std::uint16_t magic_port_;
  const std::uint16_t bootp_port_;
  const std::shared_ptr<ReportStore> store_;

  std::mutex lifecycle_mutex_;
  bool started_ = false;
  bool stopped_ = false;
  int fd_ = -1;
  std::array<int, 2> wake_{-1, -1};
  std::thread thread_;
};

}  // namespace tessaly::pjsim
