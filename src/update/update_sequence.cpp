#include "update/update_sequence.h"

#include <arpa/inet.h>

#include "app/sorvi_form.h"
#include "update/address_text.h"

namespace tessaly {

UpdateSequence::UpdateSequence(UpdateSession& session, View& view, Profile& profile, ControlSession& control,
                               const AdapterAddressTable& adapterAddresses, SubFwInfo& subInfo, StageRoutines stages)
    : session_(session),
      state_(session.state()),
      log_(session.log()),
      view_(view),
      profile_(profile),
      control_(control),
      adapterAddresses_(adapterAddresses),
      subInfo_(subInfo),
      stages_(std::move(stages)) {}

// Steps 6 and 7: each named file must open, and must hold something to send. An empty
// Main image or a Sub image shorter than its header would otherwise be sent as garbage.
bool UpdateSequence::CheckFiles() {
  const std::uint8_t selection = state_.FirmwareSelection.load();
  if (selection & MainFw) {
    const std::int64_t size = ReadableFileSize(state_.MainFwFile);
    if (size < 0) {
      log_.LogError("Main firmware file not found");
      return false;
    }
    if (size == 0) {
      log_.LogError("Main firmware file \"%s\" is empty", state_.MainFwFile.c_str());
      return false;
    }
  }
  if (selection & SubFw) {
    const std::int64_t size = ReadableFileSize(state_.SubFwFile);
    if (size < 0) {
      log_.LogError("Sub firmware file not found");
      return false;
    }
    if (size < kSubHeaderSize) {
      log_.LogError("Sub firmware file \"%s\" is shorter than its %u-byte header", state_.SubFwFile.c_str(),
                    static_cast<unsigned>(kSubHeaderSize));
      return false;
    }
    if (!VerifySubFirmware(state_.SubFwFile, subInfo_)) {
      log_.LogError("Sub firmware file \"%s\" cannot be read", state_.SubFwFile.c_str());
      return false;
    }
  }
  return true;
}

void UpdateSequence::UpdateFwBtnClick() {
  // The button stays disabled until the last update's workers have ended; a press that
  // reaches here anyway must not start a second set beside them.
  if (session_.workers().Running() != 0) return;
  subConnectPosted_.store(false);
  state_.PjIpText = view_.Text(Control::IpAddrEdit);
  state_.PjMacText = view_.Text(Control::MacAddrEdit);
  state_.MainFwFile = view_.Text(Control::FileEdit);
  state_.SubFwFile = view_.Text(Control::FileEdit2);
  state_.UpdateStage.store(0);
  state_.UpdateInProgress.store(0);
  state_.ReadsSuspended.store(0);
  state_.StopRequested.store(0);
  state_.StagesSucceeded.store(0);

  if (ParseIpText(state_.PjIpText, state_.PjIpAddr) != 4) {
    log_.LogError("Projector IP address \"%s\" error", state_.PjIpText.c_str());
    return;
  }
  // A text that the connection will refuse is not remembered: the next start would show it again.
  const bool manual = view_.Checked(Control::UpfwBox);
  const bool connects = !manual || (state_.FirmwareSelection.load() & SubFw);
  const bool dotted = IsDottedIpv4(state_.PjIpText);
  if (dotted || !connects) profile_.Write(kProfileSection, kProfileIpKey, state_.PjIpText);
  if (ParseMacText(state_.PjMacText, state_.PjMacAddr) != 6) {
    log_.LogError("Projector MAC address \"%s\" error", state_.PjMacText.c_str());
    return;
  }
  if (!CheckFiles()) return;

  if (!manual) {
    if (!control_.OpenControlConnection(view_.Text(Control::IpAddrEdit), session_.settings().controlPort)) return;
  } else {
    const int index = view_.ItemIndex(Control::AdapterBox);
    if (index < 0 || index >= kMaxAdapterEntries) {
      log_.LogError("Please verify PC ethernet adapter...");
      return;
    }
    state_.PcIpAddr.store(::inet_addr(adapterAddresses_[static_cast<std::size_t>(index)].c_str()));
    if (!(state_.FirmwareSelection.load() & MainFw)) {
      log_.LogError("Checked Manually switch to download mode");
      log_.LogError("The folder must have Main Firmware");
      return;
    }
    if (connects && !dotted) {
      // The Sub stage reconnects to this text after the Main firmware: refused now, not
      // after the board was written.
      control_.RefuseAddress(state_.PjIpText);
      return;
    }
    log_.LogInfo("Waiting update Main firmware packet ....");
    state_.UpdateStage.store(1);
    session_.BeginSession();
    StartMainFwThread();
    profile_.Write(kProfileSection, kProfileAdapterKey, std::to_string(index));
  }
  if (!manual) session_.BeginSession();
  view_.SetEnabled(Control::AbortBtn, true);
  view_.SetEnabled(Control::UpdateFwBtn, false);
  view_.SetEnabled(Control::IpAddrEdit, false);
  view_.SetEnabled(Control::UpfwBox, false);
  view_.SetEnabled(Control::AdapterBox, false);
}

void UpdateSequence::AbortBtnClick() {
  // Only Yes aborts a write: a box closed without an answer is no consent.
  if (state_.UpdateInProgress.load() != 0 && view_.AskConfirm(kAbortQuestion) != Answer::Yes) return;
  log_.LogInfo("User abort update.....");
  session_.RequestStop();
  session_.EndSession();
}

void UpdateSequence::StartMainFwThread() {
  session_.StartWorker([this] { MainFwThread(); });
}

void UpdateSequence::StartSubFwThread() {
  session_.StartWorker([this] { SubFwThread(); });
}

void UpdateSequence::SubFwConnect() {
  if (!subConnectPosted_.exchange(false)) return;
  if (state_.StopRequested.load() != 0 || state_.SessionRunning.load() == 0) return;
  control_.ConnectBtnClick();
}

void UpdateSequence::MainFwThread() {
  const int result = stages_.UpdateMainFirmware ? stages_.UpdateMainFirmware() : -1;
  control_.CloseConnection();
  control_.MainStageEnded();
  if (result != 0) {
    session_.EndSession();
    return;
  }
  if (!(state_.FirmwareSelection.load() & SubFw)) {
    session_.EndSession();
    return;
  }
  if (state_.StopRequested.load() != 0) return;
  log_.LogInfo("Waiting projector restart, and update Sub firmware ...");
  session_.WaitWithMessages(session_.settings().restartWaitMs);
  if (state_.StopRequested.load() != 0) return;
  subConnectPosted_.store(true);
  // Posted through the queue, after the lines above, and dropped if the window is gone.
  session_.ui().Run([](View& view) { view.PostWindowMessage(WM_SUBFW_CONNECT); });
}

void UpdateSequence::SubFwThread() {
  if (stages_.SendSubFirmware) stages_.SendSubFirmware();
  session_.EndSession();
}

}  // namespace tessaly
