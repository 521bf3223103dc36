#include "app/update_core.h"

#include "subfw/sub_firmware_transfer.h"

namespace tessaly {

UpdateCore::UpdateCore(Profile& profile, DebugOutput& debug, UpdaterSettings settings, StageRoutines stages)
    : settings_(settings),
      log_(ui_, debug),
      session_(state_, ui_, log_, settings_),
      profile_(profile),
      stages_(std::move(stages)),
      network_(CreateSystemDatagramNetwork()) {
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
}

UpdateCore::~UpdateCore() { Shutdown(); }

void UpdateCore::Attach(TaskQueue& queue, UpdateEvents& events) {
  ui_.Attach(queue, events);
  client_ = CreateTcpClient(queue);
  ControlSession::Workers workers{[this] { sequence_->StartMainFwThread(); }, [this] { sequence_->StartSubFwThread(); },
                                  stages_.PrepareMainFirmware};
  control_ = std::make_unique<ControlSession>(session_, queue, *client_, subInfo_, workers);
  sequence_ = std::make_unique<UpdateSequence>(session_, profile_, *control_, subInfo_, stages_);
  session_.SetOnEnd([this] {
    control_->CloseConnection();
    ReleasePreparedPorts();
  });
}

void UpdateCore::ReleasePreparedPorts() {
  MainPorts ports;
  std::lock_guard<std::mutex> lock(preparedMutex_);
  std::swap(ports, prepared_);
}

void UpdateCore::Shutdown() {
  session_.RequestStop();
  session_.workers().JoinAll();
  ReleasePreparedPorts();
  // The connection and its timer post to the front end from threads of their own: they
  // go before the front end does.
  if (control_) control_->CloseConnection();
  session_.SetOnEnd(nullptr);
  sequence_.reset();
  control_.reset();
  client_.reset();
  ui_.Detach();
}

}  // namespace tessaly
