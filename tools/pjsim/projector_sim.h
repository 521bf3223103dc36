#pragma once
// A whole simulated projector: the TCP control service, the boot loader that its Main
// download-mode command starts, and the video processor's Sub receiver that takes the
// stream after "sc", sharing one report. When the boot loader has the last block, the
// control service restarts: down for the restart delay, then fresh for the Sub firmware
// stage.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "boot_loader.h"
#include "control_hooks.h"
#include "control_service.h"
#include "passive_listener.h"
#include "sim_options.h"
#include "sim_report.h"
#include "sub_receiver.h"

namespace tessaly::pjsim {

class ProjectorSim {
 public:
  // The observers may be null. `control_observer` gets every control-service hook call but
  // the Sub stream's data, which the Sub receiver takes: its findings reach the observer as
  // messages and violations. `boot_observer` gets the boot loader's events, `sub_events`
  // the Sub receiver's (answers sent, waits begun). The Sub image is read here when only
  // its path is given; a failure shows in error() and Start().
  explicit ProjectorSim(SimOptions options, std::shared_ptr<ControlHooks> control_observer = nullptr,
                        std::shared_ptr<BootLoaderObserver> boot_observer = nullptr,
                        SubReceiver::EventSink sub_events = nullptr);
  ~ProjectorSim();  // runs Stop()
  ProjectorSim(const ProjectorSim&) = delete;
  ProjectorSim& operator=(const ProjectorSim&) = delete;

  // Starts the passive listener and the control service; the boot loader follows the Main
  // command. A listener that cannot listen (no CAP_NET_RAW) says so in the report's
  // listener_error and fails nothing.
  bool Start();
  std::string error() const { return sub_error_.empty() ? control_->error() : sub_error_; }
  // Stops the Sub receiver's waits, the boot loader, the control service, then the listener.
  // Idempotent.
  void Stop();
  std::uint16_t port() const { return control_->port(); }
  ControlService& control() { return *control_; }
  SubReceiver& sub_receiver() { return *sub_; }

  // The boot loader without a Main command, as after a manual switch into download mode.
  // A run still going is stopped first. False when it cannot start (see the report's error).
  bool StartBootLoader(const BootContext& context = {});
  // True while a boot-loader run is at work.
  bool boot_loader_running() const;

  const std::shared_ptr<ReportStore>& report_store() const { return store_; }
  Report Snapshot() const { return store_->Snapshot(); }
  bool WaitFor(const std::function<bool(const Report&)>& condition, std::chrono::milliseconds timeout) const {
    return store_->WaitFor(condition, timeout);
  }

 private:
  class Wiring;

  std::string sub_error_;  // before options_: set while they are loaded
  const SimOptions options_;
  const std::shared_ptr<ReportStore> store_;
  const std::shared_ptr<SubReceiver> sub_;
  const std::shared_ptr<Wiring> wiring_;
  const std::unique_ptr<ControlService> control_;
  PassiveListener listener_;

  mutable std::mutex boot_mutex_;  // boot_, stopping_
  std::unique_ptr<BootLoader> boot_;
  bool stopping_ = false;
};

}  // namespace tessaly::pjsim
