#pragma once
// The projector's Ethernet boot loader. After the Main download-mode command the main
// controller restarts into it: it waits for the updater's Magic packet, asks for its
// address and boot file by BOOTP, reads "firmware.bin" by TFTP, checks every byte the
// updater sends, and restarts into the new firmware. One thread; every wait ends at once
// on Stop(). Its findings go into the shared report (Report::boot_loader, violations).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <thread>

#include "boot_protocol.h"
#include "sim_options.h"
#include "sim_report.h"

namespace tessaly::pjsim {

// Where the run comes from. Everything may be left empty for a boot loader started by hand.
struct BootContext {
  int connection = 0;           // the control connection whose Main command started it
  std::string updater_address;  // that connection's peer, "a.b.c.d" (a port is ignored)
  std::string own_address;      // its projector end: the own address when listening on 0.0.0.0
};

class BootLoaderObserver {
 public:
  virtual ~BootLoaderObserver() = default;
  // One line per thing seen or done. Called on the boot loader's thread with no lock held;
  // must not call Stop().
  virtual void OnBootEvent(const std::string& text) { (void)text; }
  virtual void OnBootViolation(const Violation& violation) { (void)violation; }
  // The last block is acknowledged: the main controller restarts, and its control service
  // is down for `delay`.
  virtual void OnRestart(std::chrono::milliseconds delay) { (void)delay; }
};

class BootLoader {
 public:
  // `store` may be null (the boot loader then keeps its own); `observer` may be null.
  explicit BootLoader(SimOptions options, std::shared_ptr<ReportStore> store = nullptr,
                      std::shared_ptr<BootLoaderObserver> observer = nullptr);
  ~BootLoader();  // runs Stop()
  BootLoader(const BootLoader&) = delete;
  BootLoader& operator=(const BootLoader&) = delete;

  // Binds the sockets and starts the thread. False, with error() and the report's error,
  // when an address is unusable, a port cannot be bound, or it was started before.
  bool Start(const BootContext& context = {});
  std::string error() const;
  // Ends the run (the verdict says where it stood), joins the thread, closes the sockets.
  // Idempotent.
  void Stop();
  // True while the thread is at work: false once the run is over (restarted, gave up).
  bool running() const { return running_.load(); }

  // The bound ports, known after Start (the chosen ones when the options asked for 0).
  std::uint16_t magic_port() const { return magic_port_.load(); }
  std::uint16_t bootp_client_port() const { return bootp_port_.load(); }
  std::uint16_t tftp_client_port() const { return tftp_port_.load(); }

  const std::shared_ptr<ReportStore>& report_store() const { return store_; }
  BootLoaderReport report() const;
  bool WaitFor(const std::function<bool(const Report&)>& condition, std::chrono::milliseconds timeout) const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Datagram;

  bool StartLocked(const BootContext& context);
  bool Fail(std::string error);
  void Run();
  std::optional<Datagram> Receive(int fd);
  bool SendTo(int fd, std::span<const std::uint8_t> bytes, const boot::Endpoint& to, bool from_own_address);

  void OnMagic();
  void OnBootp();
  void OnTftp();
  void OnTakenData(const boot::TftpStep& step);
  void OnDeadline(Clock::time_point now);
  std::optional<Clock::time_point> NextDeadline() const;

  void BeginExchange();
  void SendBootpRequest();
  void StartTftp(const boot::Ipv4& server);
  void SendRrq();
  void SendAck(std::uint16_t block);
  void BeginRestart();
  std::string ImageVerdict() const;
  std::string Progress() const;
  void Finish(BootPhase phase, std::string verdict);

  void Event(const std::string& text);
  void Violate(std::string text);
  // Ends this run's awake interval in the report, unless it has ended already.
  void CloseAwake(Report& r, BootPhase end) const;
  void ChangeBoot(const std::function<void(BootLoaderReport&)>& change);

  const SimOptions options_;
  const std::shared_ptr<ReportStore> store_;
  const std::shared_ptr<BootLoaderObserver> observer_;

  mutable std::mutex lifecycle_mutex_;  // Start, Stop, error_
  std::string error_;
  bool started_ = false;
  bool stopped_ = false;
  std::thread thread_;
  int wake_read_fd_ = -1;
  int wake_write_fd_ = -1;
  int magic_fd_ = -1;
  int bootp_fd_ = -1;
  int tftp_fd_ = -1;
  std::atomic<std::uint16_t> magic_port_{0};
  std::atomic<std::uint16_t> bootp_port_{0};
  std::atomic<std::uint16_t> tftp_port_{0};
  std::atomic<bool> running_{false};

  // Set by Start before the thread begins; read-only afterwards.
  int run_ = 0;  // BootLoaderReport::run of this run
  int connection_ = 0;
  boot::Ipv4 own_{};
  boot::Endpoint broadcast_{};
  std::optional<boot::Ipv4> server_hint_;  // --tftp-server, else the control connection's peer
  std::shared_ptr<const boot::Bytes> expected_;

  // The thread's own.
  BootPhase phase_ = BootPhase::kAwaitMagic;
  bool over_ = false;
  std::optional<Clock::time_point> deadline_;
  std::mt19937 random_;
  boot::BootpPacket request_{};
  int requests_sent_ = 0;
  boot::Ipv4 server_{};
  std::optional<boot::TftpReceiver> receiver_;
  int timeouts_in_row_ = 0;
  std::optional<std::uint16_t> last_ack_;  // the last ACK actually sent
  bool ack_withheld_ = false;              // the latest DATA's ACK was withheld
  int acks_to_drop_ = 0;
  Clock::time_point dally_end_{};
  Clock::time_point restart_end_{};
};

}  // namespace tessaly::pjsim
