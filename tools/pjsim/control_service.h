#pragma once
// The projector's TCP control service. One background thread accepts connections one at a
// time, greets each, checks every byte against the protocol and answers as a projector
// would, with the faults chosen in SimOptions.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "control_hooks.h"
#include "sim_options.h"
#include "sim_report.h"

namespace tessaly::pjsim {

class ControlService {
 public:
  // `hooks` may be null; it is called on the service thread. `store` may be null; pass one
  // to share the report with the boot loader.
  explicit ControlService(SimOptions options, std::shared_ptr<ControlHooks> hooks = nullptr,
                          std::shared_ptr<ReportStore> store = nullptr);
  ~ControlService();  // runs Stop()
  ControlService(const ControlService&) = delete;
  ControlService& operator=(const ControlService&) = delete;

  // Binds, listens and starts the service thread. False, with error(), when the options are
  // unusable, the address cannot be bound, or it was started before.
  bool Start();
  std::string error() const;
  // The bound port (the chosen one when the options asked for 0); 0 before Start.
  std::uint16_t port() const { return port_.load(); }
  // Closes the listener and any open connection and joins the thread. Idempotent.
  void Stop();
  bool running() const { return running_.load(); }

  // The projector restarts: the open connection, if any, is ended, and no connection is
  // accepted until `delay` has passed; those that come meanwhile wait in the listen backlog
  // and are greeted afterwards. A later call moves the end of the wait. Callable from any
  // thread, hooks included; false when the service is not running.
  bool Restart(std::chrono::milliseconds delay);

  const SimOptions& options() const { return options_; }

  // Thread-safe views of the report.
  Report Snapshot() const;
  std::vector<Message> messages() const;
  std::vector<Violation> violations() const;
  bool main_download_mode_entered() const;
  bool sub_stream_reached() const;
  int connection_count() const;

  // Waits until `condition` holds for the report, at most `timeout`. The condition runs
  // with the report locked: it must not call back into this object.
  bool WaitFor(const std::function<bool(const Report&)>& condition, std::chrono::milliseconds timeout) const;
  const std::shared_ptr<ReportStore>& report_store() const { return store_; }

 private:
  class Session;

  void Run();
  // Waits `duration` unless Stop() comes first; false when stopping.
  bool Pause(std::chrono::milliseconds duration) const;
  bool stopping() const { return stopping_.load(); }
  void DrainRestartPipe();
  std::chrono::milliseconds RestartTimeLeft() const;

  int AddConnection(const std::string& peer);
  void SetStep(int connection, Step step);
  void EndConnection(int connection, Step step, std::string reason);
  void RecordMessage(Message message);
  void RecordViolation(Violation violation);
  void MarkMainDownloadMode();
  void MarkSubStream();
  void AddSubStreamBytes(std::size_t n);
  template <typename Change>
  void ChangeReport(Change change);

  const SimOptions options_;
  const std::shared_ptr<ControlHooks> hooks_;

  mutable std::mutex lifecycle_mutex_;  // Start, Stop, error_
  std::string error_;
  bool started_ = false;
  bool stopped_ = false;
  std::thread thread_;
  int listen_fd_ = -1;
  int wake_read_fd_ = -1;  // readable once Stop() has begun
  int wake_write_fd_ = -1;
  // Readable while a restart is pending; drained by the service thread. Open until the
  // destructor, so Restart() never writes to a closed descriptor.
  int restart_read_fd_ = -1;
  std::atomic<int> restart_write_fd_{-1};
  // steady_clock ticks until which nothing is accepted; 0 when no restart is pending.
  std::atomic<std::int64_t> resume_at_{0};
  std::atomic<std::uint16_t> port_{0};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> running_{false};  // readable from hooks while Stop() joins

  const std::shared_ptr<ReportStore> store_;
};

}  // namespace tessaly::pjsim
