#include "app/updater.h"

#include "bootloader/main_firmware.h"
#include "subfw/sub_firmware_transfer.h"

namespace tessaly {

Updater::Updater(FormPlatform platform, UpdaterSettings settings, StageRoutines stages)
    : settings_(settings),
      ui_(nullptr),
      log_(ui_, platform.debug),
      session_(state_, ui_, log_, settings_),
      platform_(platform),
      stages_(std::move(stages)),
      form_(session_, platform),
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

Updater::~Updater() { Shutdown(); }

void Updater::AttachView(View& view) {
  ui_.AttachView(&view);
  client_ = CreateTcpClient(view);
  ControlSession::Workers workers{[this] { sequence_->StartMainFwThread(); },
                                  [this] { sequence_->StartSubFwThread(); }, stages_.PrepareMainFirmware};
  control_ = std::make_unique<ControlSession>(session_, view, *client_, subInfo_, workers);
  sequence_ = std::make_unique<UpdateSequence>(session_, view, platform_.profile, *control_,
                                               form_.AdapterAddresses(), subInfo_, stages_);
  session_.SetOnEnd([this] {
    control_->CloseConnection();
    ReleasePreparedPorts();
  });
  form_.SetUpdateHandlers(control_.get(), sequence_.get());
}

void Updater::Start() { form_.FormCreate(); }

void Updater::ReleasePreparedPorts() {
  MainPorts ports;
  std::lock_guard<std::mutex> lock(preparedMutex_);
  std::swap(ports, prepared_);
}

void Updater::Shutdown() {
  session_.RequestStop();
  session_.workers().JoinAll();
  ReleasePreparedPorts();
  // The connection and its timer post to the view from threads of their own: they go
  // before the view does.
  form_.SetUpdateHandlers(nullptr, nullptr);
  if (control_) control_->CloseConnection();
  session_.SetOnEnd(nullptr);
  sequence_.reset();
  control_.reset();
  client_.reset();
  ui_.Detach();
}

}  // namespace tessaly
