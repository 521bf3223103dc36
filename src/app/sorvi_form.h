#pragma once
// TSorviForm: the main window's logic. Every handler runs on the view's thread.

#include <cstdint>
#include <string>

#include "app/adapter_list.h"
#include "app/profile_keys.h"
#include "app/view.h"
#include "platform/adapters.h"
#include "platform/debug_output.h"
#include "platform/directory.h"
#include "platform/profile.h"
#include "session/update_events.h"
#include "session/update_session.h"

namespace tessaly {

class ControlSession;
class UpdateSequence;

constexpr std::uint32_t WM_CLOSE = 16;
constexpr std::uint32_t WM_USER = 0x0400;
constexpr std::uint32_t WM_SUBFW_CONNECT = WM_USER + 556;  // 1580
static_assert(WM_SUBFW_CONNECT == 1580);

constexpr const char* kAppTitle = "Updater for Tessaly";
constexpr const char* kWindowCaption = "Updater for Tessaly.exe";
constexpr const char* kAdvancePassword = "lanterns";
constexpr const char* kCloseQuestion =
    "Firmware updating in progress.\n"
    "The firmware on the board will be damaged if you exit.\n"
    "Do you still want to exit?";

constexpr int kPanelTopCompact = 50;
constexpr int kPanelTopWithAdapter = 80;
constexpr int kOuterHeightCompact = 350;
constexpr int kOuterHeightWithAdapter = 385;

struct FormPlatform {
  Profile& profile;
  DirectoryLister& directory;
  AdapterSource& adapters;
  DebugOutput& debug;
};

// The window's handlers, and the update's events mapped onto the window's controls.
class TSorviForm : public ViewEvents, public UpdateEvents {
 public:
  TSorviForm(UpdateSession& session, FormPlatform platform);

  void AttachView(View& view) { view_ = &view; }
  // Window creation; the view must be attached.
  void FormCreate();
  // The control connection and the update sequence behind the buttons.
  void SetUpdateHandlers(ControlSession* control, UpdateSequence* sequence) {
    control_ = control;
    sequence_ = sequence;
  }

  void UpfwBoxClick() override;
  void FileEditChange() override;
  void FileEdit2Change() override;
  void SearchFwBtnClick() override;
  void ConnectBtnClick() override;
  void UpdateFwBtnClick() override;
  void AbortBtnClick() override;
  void ExitItemClick() override;
  void AdvanceModeItemClick() override;
  void NormalModeItemClick() override;
  void WindowMessage(std::uint32_t msg) override;
  bool CloseQuery() override;
  void FormClose() override;

  void LogLine(const std::string& text, LogLevel level) override;
  void ProgressShown(int percent) override;
  void SessionBegan() override;
  void SessionEnded() override;
  void StageResult(FirmwareStage, bool) override {}
  Answer Confirm(const std::string& question) override;
  void UpdateEnded(UpdateOutcome outcome) override;

  // TPasswordForm's OK button: true when the typed text is the password.
  bool PasswordOkClick(const std::string& typed);
  void RefreshUpdateFwBtn();

  const AdapterAddressTable& AdapterAddresses() const { return adapterAddresses_; }
  int AdapterCount() const { return adapterCount_; }

 private:
  View& view() { return *view_; }
  void FillAdapterBox();
  void SetLayout(bool withAdapter);
  void OnEditChange(Control edit, std::uint8_t bit);

  UpdateSession& session_;
  UpdateState& state_;
  MessageLog& log_;
  FormPlatform platform_;
  View* view_ = nullptr;
  AdapterAddressTable adapterAddresses_;
  int adapterCount_ = 0;
  ControlSession* control_ = nullptr;
  UpdateSequence* sequence_ = nullptr;
};

}  // namespace tessaly
