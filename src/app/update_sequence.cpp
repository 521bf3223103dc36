#include "app/update_sequence.h"

#include <arpa/inet.h>

#include "app/address_text.h"
#include "app/profile_keys.h"

namespace tessaly {

UpdateSequence::UpdateSequence(UpdateSession& session, UpdateLoop& loop, Profile& profile, ControlSession& control,
                               SubFwInfo& subInfo, StageRoutines stages, std::function<bool()> firewallGate)
    : session_(session),
      state_(session.state()),
      log_(session.log()),
      loop_(loop),
      profile_(profile),
      control_(control),
      subInfo_(subInfo),
      stages_(std::move(stages)),
      firewallGate_(std::move(firewallGate)),
      restartWait_(loop.CreateTimer()) {}

// The loop has stopped by now: nothing of ours runs on it any more.
UpdateSequence::~UpdateSequence() = default;

// Each named file must open, and must hold something to send. An empty Main image or a
// Sub image shorter than its header would otherwise be sent as garbage.
bool CheckUpdateFiles(const std::string& mainFile, const std::string& subFile, MessageLog& log, SubFwInfo& info) {
  if (!mainFile.empty()) {
    const std::int64_t size = ReadableFileSize(mainFile);
    if (size < 0) {
      log.LogError("Main firmware file not found");
      return false;
    }
    if (size == 0) {
      log.LogError("Main firmware file \"%s\" is empty", mainFile.c_str());
      return false;
    }
  }
  if (!subFile.empty()) {
    const std::int64_t size = ReadableFileSize(subFile);
    if (size < 0) {
      log.LogError("Sub firmware file not found");
      return false;
    }
    if (size < kSubHeaderSize) {
      log.LogError("Sub firmware file \"%s\" is shorter than its %u-byte header", subFile.c_str(),
                   static_cast<unsigned>(kSubHeaderSize));
      return false;
    }
    if (!VerifySubFirmware(subFile, info)) {
      log.LogError("Sub firmware file \"%s\" cannot be read", subFile.c_str());
      return false;
    }
    if (!mainFile.empty() && info.ModelKind == kModelUnknown) {
      log.LogError("This Sub firmware model doesn't match to QRN model");
      return false;
    }
  }
  return true;
}

bool CheckProjectorAddress(const std::string& text, MessageLog& log, std::array<std::uint8_t, 4>& bytes) {
  if (ParseIpText(text, bytes) == 4 && IsDottedIpv4(text)) return true;
  log.LogError("Projector IP address \"%s\" error", text.c_str());
  return false;
}

bool UpdateSequence::Start(const UpdateRequest& request) {
  // A front end offers a new update only when the last one's stages have ended; a
  // start that comes anyway must not run a second set beside them.
  if (session_.StagesRunning() != 0) return false;
  state_.PjIpText = request.projectorAddress;
  state_.PjMacText = request.macAddress;
  state_.MainFwFile = request.mainFile;
  state_.SubFwFile = request.subFile;
  state_.FirmwareSelection.store(
      static_cast<std::uint8_t>((request.mainFile.empty() ? 0 : MainFw) | (request.subFile.empty() ? 0 : SubFw)));
  state_.UpdateStage.store(0);
  state_.UpdateInProgress.store(0);
  state_.ReadsSuspended.store(0);
  state_.StopRequested.store(0);
  state_.StagesSucceeded.store(0);

  // A refused text is not remembered: the next start would show it again.
  if (!CheckProjectorAddress(state_.PjIpText, log_, state_.PjIpAddr)) return false;
  const bool manual = request.manual;
  manual_.store(manual);
  profile_.Write(kProfileSection, kProfileIpKey, state_.PjIpText);
  if (ParseMacText(state_.PjMacText, state_.PjMacAddr) != 6) {
    log_.LogError("Projector MAC address \"%s\" error", state_.PjMacText.c_str());
    return false;
  }
  if (!CheckUpdateFiles(state_.MainFwFile, state_.SubFwFile, log_, subInfo_)) return false;

  if (!manual) {
    session_.BeginSession();
    loop_.Post([this, address = request.projectorAddress, port = session_.settings().controlPort] {
      if (!control_.OpenControlConnection(address, port)) session_.EndSession();
    });
  } else {
    if (request.adapterIndex < 0) {
      log_.LogError("Please verify PC ethernet adapter...");
      return false;
    }
    state_.PcIpAddr.store(::inet_addr(request.adapterAddress.c_str()));
    if (!(state_.FirmwareSelection.load() & MainFw)) {
      log_.LogError("Checked Manually switch to download mode");
      log_.LogError("The folder must have Main Firmware");
      return false;
    }
    log_.LogInfo("Waiting update Main firmware packet ....");
    state_.UpdateStage.store(1);
    session_.BeginSession();
    StartMainStage();
    profile_.Write(kProfileSection, kProfileAdapterKey, std::to_string(request.adapterIndex));
  }
  return true;
}

void UpdateSequence::AbortOnLoop() {
  session_.MarkAborted();
  log_.LogInfo("User abort update.....");
  session_.RequestStop();
  session_.EndSession();
}

void UpdateSequence::ConnectForSubStage() {
  if (!reconnectDue_) return;
  reconnectDue_ = false;
  if (state_.StopRequested.load() != 0 || state_.SessionRunning.load() == 0) return;
  control_.ConnectBtnClick();
}

StageContext UpdateSequence::Context() {
  return StageContext{log_,
                      session_.settings(),
                      loop_,
                      [this](std::uint32_t percent) { session_.ReportProgress(percent); },
                      [this] { state_.UpdateInProgress.store(1); },
                      [this] { return state_.StopRequested.load() != 0; },
                      [this] { StepBegan(UpdateStep::Burning); }};
}

void UpdateSequence::StepBegan(UpdateStep step) {
  session_.ui().Run([step](UpdateEvents& events) { events.StepBegan(step); });
}

void UpdateSequence::StartMainStage() {
  session_.StageBegan();
  loop_.Post([this] { RunMainStage(); });
}

void UpdateSequence::StartSubStage() {
  session_.StageBegan();
  loop_.Post([this] { RunSubStage(); });
}

void UpdateSequence::CancelOnLoop() {
  // Each stage ends through its own report; the restart wait ends here.
  if (mainStage_) mainStage_->Cancel();
  if (subStage_) subStage_->Cancel();
  if (restartWait_->Pending()) {
    restartWait_->Cancel();
    session_.StageOver();
  }
}

void UpdateSequence::RunMainStage() {
  reconnectDue_ = false;
  // The switched path asked the firewall before the switch; the manual one asks here,
  // before its first datagram.
  const bool reachable = !manual_.load() || !firewallGate_ || firewallGate_();
  if (!reachable || !stages_.UpdateMainFirmware) {
    MainStageEnded(StageEnd::Failed);
    return;
  }
  StepBegan(UpdateStep::Main);
  mainStage_ = stages_.UpdateMainFirmware(Context(), [this](StageEnd end) {
    mainStage_.reset();
    MainStageEnded(end);
  });
}

void UpdateSequence::MainStageEnded(StageEnd end) {
  control_.CloseConnection();
  control_.MainStageEnded();
  if (end != StageEnd::Succeeded) {
    session_.ReportStageFailed(FirmwareStage::Main);
    session_.EndSession();
  } else if (!(state_.FirmwareSelection.load() & SubFw)) {
    session_.EndSession();
  } else if (state_.StopRequested.load() == 0) {
    log_.LogInfo("Waiting projector restart, and update Sub firmware ...");
    StepBegan(UpdateStep::Restarting);
    restartWait_->Start(std::uint64_t{session_.settings().restartWaitMs} * 1000, [this] {
      reconnectDue_ = true;
      session_.StageOver();
      // An Abort question asked during the wait is answered first: "Yes" must find the
      // projector as the Main stage left it.
      session_.BeginStageWhenAnswered([this] {
        if (subGate_) {
          subGate_([this] { ConnectForSubStage(); });
        } else {
          ConnectForSubStage();
        }
      });
    });
    return;  // the wait is still this stage's
  }
  session_.StageOver();
}

void UpdateSequence::RunSubStage() {
  StepBegan(UpdateStep::Sub);
  if (!stages_.SendSubFirmware) {
    SubStageEnded(StageEnd::Failed);
    return;
  }
  subStage_ = stages_.SendSubFirmware(Context(), [this](StageEnd end) {
    subStage_.reset();
    SubStageEnded(end);
  });
}

void UpdateSequence::SubStageEnded(StageEnd end) {
  if (end != StageEnd::Succeeded) session_.ReportStageFailed(FirmwareStage::Sub);
  session_.EndSession();
  session_.StageOver();
}

}  // namespace tessaly
