#include "app/sorvi_form.h"

#include "app/firmware_search.h"
#include "app/update_core.h"
#include "app/update_request.h"

namespace tessaly {

TSorviForm::TSorviForm(UpdateCore& core, FormPlatform platform) : core_(core), platform_(platform) {}

void TSorviForm::FormCreate() {
  View& v = view();
  v.SetVisible(Control::UpfwBox, false);
  v.SetCaption(kWindowCaption);
  v.SetPosition(Control::UpdateProgBar, 0);
  v.SetText(Control::MacAddrEdit, kDefaultMacText);
  v.SetText(Control::MsgEdit, "");
  // GetProfileStringA with a 128-byte buffer: at most 127 characters, not validated here.
  v.SetText(Control::IpAddrEdit,
            GetProfileString(platform_.profile, kProfileSection, kProfileIpKey, kDefaultIpAddress, 128));
  FillAdapterBox();
  v.SetVisible(Control::AdapterLabel, false);
  v.SetVisible(Control::AdapterBox, false);
  v.SetTop(Control::UpdatePanel, kPanelTopCompact);
  v.SetOuterHeight(kOuterHeightCompact);
  SearchFwBtnClick();
}

// Reads the remembered index, lists the adapters and selects the remembered one, or
// the first when the index (taken as unsigned) is out of range.
void TSorviForm::FillAdapterBox() {
  const auto stored =
      static_cast<unsigned int>(GetProfileInt(platform_.profile, kProfileSection, kProfileAdapterKey, 0));
  adapterCount_ = ListAdapters(
      platform_.adapters, [this](const std::string& item) { view().AddItem(Control::AdapterBox, item); },
      adapterAddresses_, platform_.debug);
  if (adapterCount_ > 0) {
    view().SetItemIndex(Control::AdapterBox,
                        stored < static_cast<unsigned int>(adapterCount_) ? static_cast<int>(stored) : 0);
  }
}

void TSorviForm::SetLayout(bool withAdapter) {
  View& v = view();
  v.SetVisible(Control::AdapterLabel, withAdapter);
  v.SetVisible(Control::AdapterBox, withAdapter);
  v.SetTop(Control::UpdatePanel, withAdapter ? kPanelTopWithAdapter : kPanelTopCompact);
  v.SetOuterHeight(withAdapter ? kOuterHeightWithAdapter : kOuterHeightCompact);
}

void TSorviForm::UpfwBoxClick() {
  if (view().Checked(Control::UpfwBox)) {
    view().ClearItems(Control::AdapterBox);
    FillAdapterBox();
    SetLayout(true);
  } else {
    SetLayout(false);
  }
}

void TSorviForm::RefreshUpdateFwBtn() { view().SetEnabled(Control::UpdateFwBtn, selection_ != 0); }

void TSorviForm::OnEditChange(Control edit, std::uint8_t bit) {
  // A text of blanks counts as a name: only the empty text clears the bit.
  const bool named = !view().Text(edit).empty();
  selection_ = named ? static_cast<std::uint8_t>(selection_ | bit) : static_cast<std::uint8_t>(selection_ & ~bit);
  RefreshUpdateFwBtn();
}

void TSorviForm::FileEditChange() { OnEditChange(Control::FileEdit, MainFw); }
void TSorviForm::FileEdit2Change() { OnEditChange(Control::FileEdit2, SubFw); }

void TSorviForm::SearchFwBtnClick() {
  SearchFirmware(platform_.directory, core_.log(), mainFile_, subFile_, [this](int kind) {
    if (kind == kMainFirmwareKind) {
      view().SetText(Control::FileEdit, mainFile_);
    } else {
      view().SetText(Control::FileEdit2, subFile_);
    }
  });
}

// The update loop reconnects for the Sub stage itself once the restart wait is over; the
// hidden button and its window message start nothing of their own.
void TSorviForm::ConnectBtnClick() {}

void TSorviForm::UpdateFwBtnClick() {
  View& v = view();
  UpdateRequest request;
  request.projectorAddress = v.Text(Control::IpAddrEdit);
  request.macAddress = v.Text(Control::MacAddrEdit);
  request.mainFile = v.Text(Control::FileEdit);
  request.subFile = v.Text(Control::FileEdit2);
  request.manual = v.Checked(Control::UpfwBox);
  const int index = v.ItemIndex(Control::AdapterBox);
  if (index >= 0 && index < kMaxAdapterEntries) {
    request.adapterIndex = index;
    request.adapterAddress = adapterAddresses_[static_cast<std::size_t>(index)];
  }
  core_.Start(request);
}

void TSorviForm::AbortBtnClick() { core_.Abort(); }

void TSorviForm::ExitItemClick() { view().PostWindowMessage(WM_CLOSE); }

bool TSorviForm::PasswordOkClick(const std::string& typed) {
  if (typed != kAdvancePassword) {
    view().ShowMessage("Invalid Password");
    return false;
  }
  return true;
}

void TSorviForm::AdvanceModeItemClick() {
  const int result = view().RunPasswordDialog([this](const std::string& typed) { return PasswordOkClick(typed); });
  if (result != kModalOk) return;
  View& v = view();
  v.SetVisible(Control::UpfwBox, true);
  v.SetChecked(Control::UpfwBox, true);  // runs UpfwBoxClick when it changes the state
  v.SetEnabled(Control::AdvanceModeItem, false);
  v.SetEnabled(Control::NormalModeItem, true);
}

void TSorviForm::NormalModeItemClick() {
  View& v = view();
  v.SetVisible(Control::UpfwBox, false);
  v.SetChecked(Control::UpfwBox, false);
  v.SetEnabled(Control::AdvanceModeItem, true);
  v.SetEnabled(Control::NormalModeItem, false);
}

void TSorviForm::WindowMessage(std::uint32_t) {}

bool TSorviForm::CloseQuery() {
  if (!core_.FirmwareBeingWritten()) return true;
  // The box runs while the core waits: its answer comes back before this returns. Only
  // Yes lets the window go: a box closed without an answer is no consent.
  closeAnswer_ = Answer::Closed;
  core_.AskBeforeClosing();
  return closeAnswer_ == Answer::Yes;
}

// Nothing more is written once the window is going.
void TSorviForm::FormClose() { core_.Shutdown(); }

void TSorviForm::LogLine(const std::string& text, LogLevel level) {
  view().AppendLogLine(text, level == LogLevel::Error ? LogColour::Red : LogColour::Blue);
}

void TSorviForm::ProgressShown(int percent) {
  view().SetPosition(Control::UpdateProgBar, percent);
  view().SetText(Control::PercentText, Format("%d%%", percent));
}

void TSorviForm::SessionBegan() {
  View& v = view();
  v.SetEnabled(Control::AbortBtn, true);
  v.SetEnabled(Control::UpdateFwBtn, false);
  v.SetEnabled(Control::IpAddrEdit, false);
  v.SetEnabled(Control::UpfwBox, false);
  v.SetEnabled(Control::AdapterBox, false);
}

// "Update Firmware" waits for UpdateEnded: a stage of this update may still be finishing.
void TSorviForm::SessionEnded() {
  View& v = view();
  v.SetEnabled(Control::AbortBtn, false);
  v.SetEnabled(Control::IpAddrEdit, true);
  v.SetEnabled(Control::UpfwBox, true);
  v.SetEnabled(Control::AdapterBox, true);
}

void TSorviForm::QuestionAsked(Question which, const std::string& text) {
  const Answer answer = view().AskConfirm(text);
  if (which == Question::Close) closeAnswer_ = answer;
  core_.AnswerQuestion(answer);
}

void TSorviForm::UpdateEnded(UpdateOutcome) { view().SetEnabled(Control::UpdateFwBtn, true); }

}  // namespace tessaly
