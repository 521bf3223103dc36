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

namespace tessaly {

class UpdateCore;

constexpr std::uint32_t WM_CLOSE = 16;
constexpr std::uint32_t WM_USER = 0x0400;
constexpr std::uint32_t WM_SUBFW_CONNECT = WM_USER + 556;  // 1580
static_assert(WM_SUBFW_CONNECT == 1580);

constexpr const char* kAppTitle = "Updater for Tessaly";
constexpr const char* kWindowCaption = "Updater for Tessaly.exe";
constexpr const char* kAdvancePassword = "lanterns";

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
  // The buttons speak to `core` through its face only.
  TSorviForm(UpdateCore& core, FormPlatform platform);

  void AttachView(View& view) { view_ = &view; }
  // Window creation; the view must be attached.
  void FormCreate();

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
  void QuestionAsked(Question which, const std::string& text) override;
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

  UpdateCore& core_;
  FormPlatform platform_;
  // The firmware named in the two hidden edits: MainFw / SubFw bits.
  std::uint8_t selection_ = 0;
  // What the firmware search found, shown in the hidden edits.
  std::string mainFile_;
  std::string subFile_;
  // The answer to the Close question, given while CloseQuery waits for it.
  Answer closeAnswer_ = Answer::Closed;
  View* view_ = nullptr;
  AdapterAddressTable adapterAddresses_;
  int adapterCount_ = 0;
};

}  // namespace tessaly
