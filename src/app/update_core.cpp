#include "app/update_core.h"

#include "subfw/sub_firmware_transfer.h"

namespace tessaly {

UpdateCore::UpdateCore(Profile& profile, DebugOutput& debug, UpdaterSettings settings, StageRoutines stages)
    : settings_(settings),
      loop_(CreateUpdateLoop()),
      log_(ui_, debug),
      session_(state_, ui_, log_, settings_),
      profile_(profile),
      stages_(std::move(stages)),
      network_(CreateSystemDatagramNetwork()),
      firewall_(CreateSystemFirewallCheck()) {
  if (!stages_.UpdateMainFirmware) {
    stages_.UpdateMainFirmware = [this] {
      MainPorts ports;
      {
        std::lock_guard<std::mutex> lock(preparedMutex_);
        ports = std::move(prepared_);
      }
      return UpdateMainFirmware(session_, *network_, &ports);
    };
    stages_.PrepareMainFirmware = [this] {
      MainPorts ports;
      if (OpenMainPorts(session_, *network_, state_.PcIpAddr.load(), ports) != kMainServed) {
        log_.LogError("Update Main firmware failed");
        return false;
      }
      std::lock_guard<std::mutex> lock(preparedMutex_);
      prepared_ = std::move(ports);
      return true;
    };
  }
  if (!stages_.SendSubFirmware) {
    stages_.SendSubFirmware = [this] { return SendSubFirmware(session_, *client_, subInfo_); };
  }
  keepAwake_ = std::make_unique<KeepAwake>(state_.UpdateInProgress, *loop_, CreateSystemSleepInhibitor(*loop_),
                                           [this](const std::string& line) { warnings_.Write(line); });
  session_.SetWatch([this] { UpdateBegan(); }, [this](UpdateOutcome outcome) { UpdateEnded(outcome); });
}

UpdateCore::~UpdateCore() { Shutdown(); }

void UpdateCore::Attach(TaskQueue& queue, UpdateEvents& events) {
  ui_.Attach(queue, events);
  client_ = CreateTcpClient(queue, *loop_);
  // The ports are bound first: binding is what brings up Windows' own question about the
  // program, which an administrator may answer while this update says what is wrong.
  auto prepare = [this] {
    if (stages_.PrepareMainFirmware && !stages_.PrepareMainFirmware()) return false;
    return FirewallLetsBootLoaderIn();
  };
  ControlSession::Workers workers{[this] { sequence_->StartMainFwThread(); }, [this] { sequence_->StartSubFwThread(); },
                                  prepare};
  control_ = std::make_unique<ControlSession>(session_, queue, *loop_, *client_, subInfo_, workers);
  sequence_ = std::make_unique<UpdateSequence>(session_, profile_, *control_, subInfo_, stages_,
                                               [this] { return FirewallLetsBootLoaderIn(); });
  session_.SetOnEnd([this] {
    control_->CloseConnection();
    ReleasePreparedPorts();
  });
}

std::vector<PortRange> UpdateCore::BootLoaderPorts(const UpdaterSettings& settings) {
  return {PortRange{settings.bootpServerPort, settings.bootpServerPort},
          PortRange{settings.tftpServerPort, settings.tftpServerPort},
          PortRange{settings.dataPortFirst,
                    static_cast<std::uint16_t>(settings.dataPortFirst + settings.dataPortCount - 1)}};
}

// A boot loader whose requests never arrive would wait for nothing: the projector is
// left as it is. An answer that cannot be had lets the update go on.
bool UpdateCore::FirewallLetsBootLoaderIn() {
  const std::vector<PortRange> ports = BootLoaderPorts(settings_);
  if (!firewall_ || firewall_->InboundUdp(state_.PcIpAddr.load(), ports) != FirewallAnswer::Blocked) return true;
  log_.LogError("Windows Defender Firewall blocks inbound UDP %s to \"%s\"", DescribePorts(ports).c_str(),
                firewall_->ProgramPath().c_str());
  log_.LogError("Please install the updater with its installer, or allow this program in Windows Defender Firewall");
  log_.LogError("Update Main firmware failed");
  return false;
}

void UpdateCore::ReleasePreparedPorts() {
  MainPorts ports;
  std::lock_guard<std::mutex> lock(preparedMutex_);
  std::swap(ports, prepared_);
}

void UpdateCore::Shutdown() {
  session_.RequestStop();
  session_.workers().JoinAll();
  // Nothing is written any more. The hold is released on the loop, so before it stops.
  keepAwake_->Stop();
  // No handler runs after this: what was made on the loop may go (before the loop itself).
  loop_->Stop();
  ReleasePreparedPorts();
  // The connection and its timer post to the front end from the loop's handlers, which
  // hold them: they are silenced and go before the front end does.
  if (control_) control_->CloseConnection();
  session_.SetOnEnd(nullptr);
  if (savedLog_) {
    // The workers' last lines are in; the end the front end would have heard is not.
    savedLog_->End("closed: the program ended before the update did");
    savedLog_->Flush();
  }
  sequence_.reset();
  control_.reset();
  client_.reset();
  ui_.Detach();
}

void UpdateCore::EnableSavedLog(SavedLogOptions options) {
  savedLog_ = std::make_unique<SavedLog>(std::move(options));
  log_.SetSink([this](LogLevel level, const std::string& text) { SaveLine(level, text); });
}

std::string UpdateCore::LastSavedLogPath() const { return savedLog_ ? savedLog_->LastPath() : std::string(); }

void UpdateCore::SaveLine(LogLevel level, const std::string& text) {
  TaskQueue* frontEnd = ui_.target();
  const bool onFrontEnd = frontEnd && frontEnd->OnQueueThread();
  // The manual path says what it waits for just before the session begins: a line of the
  // front end's belongs to an update accepted in the same turn of its loop.
  if (savedLog_->Line(level, text, onFrontEnd)) {
    ui_.Later([this] {
      if (savedLog_) savedLog_->ForgetHeld();
    });
  }
  // The exchange writes these as it learns the model: the kind read now is this update's,
  // not one left from an earlier exchange.
  if (control_ && (text == "Model Name: QMA" || text == "Model Name: QMB" ||
                   text == "This Sub firmware model doesn't match to QRN model")) {
    savedLog_->Model(control_->PjModelKind());
  }
}

void UpdateCore::UpdateBegan() {
  if (!savedLog_) return;
  SavedLogStart start;
  start.projectorAddress = state_.PjIpText;
  const std::uint8_t selection = state_.FirmwareSelection.load();
  if (selection & MainFw) start.files.emplace_back("Main firmware", state_.MainFwFile);
  if (selection & SubFw) start.files.emplace_back("Sub firmware", state_.SubFwFile);
  savedLog_->Begin(start);
}

void UpdateCore::UpdateEnded(UpdateOutcome outcome) {
  // A worker may end without clearing UpdateInProgress: the update is over all the same.
  keepAwake_->UpdateOver();
  if (!savedLog_) return;
  switch (outcome) {
    case UpdateOutcome::Succeeded: savedLog_->End("succeeded"); break;
    case UpdateOutcome::Failed: savedLog_->End("failed"); break;
    case UpdateOutcome::Aborted: savedLog_->End("aborted by the operator"); break;
  }
}

}  // namespace tessaly
