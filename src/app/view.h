#pragma once
// The abstract window the update logic drives. The Qt window, the command line
// and the tests' recording view all implement it; the logic never sees a toolkit.

#include <cstdint>
#include <functional>
#include <string>

#include "platform/task_queue.h"
#include "session/update_events.h"

namespace tessaly {

// Every control of the main window, the hidden ones and the menu items included. Where
// the form's own name is a designer's placeholder, the value has a name that says what the
// control is; ControlName gives the form's name, which the window's widgets carry.
enum class Control {
  PjAddrText,
  IpAddrEdit,
  UpfwBox,
  AdapterLabel,  // StaticText4
  AdapterBox,
  UpdatePanel,  // Panel1: the buttons, the bar and the log
  UpdateFwBtn,
  AbortBtn,
  UpdateProgBar,
  PercentText,
  MessageLabel,  // StaticText2
  MsgEdit,
  FileEdit,
  FileEdit2,
  MacAddrEdit,
  SearchFwBtn,
  ConnectBtn,
  FileMenu,         // File1
  ExitItem,         // Exit1
  SettingsMenu,     // Setting1
  AdvanceModeItem,  // Advancemode1
  NormalModeItem,   // Normalmode1
};

const char* ControlName(Control c);

// Colours in the toolkit's 32-bit layout: 0, blue, green, red from the top byte down.
enum class LogColour : std::uint32_t {
  Blue = 0x00FF0000u,
  Red = 0x000000FFu,
};

// Modal results of the password dialog.
constexpr int kModalOk = 1;
constexpr int kModalCancel = 2;

// Handlers the view calls when the operator (or code, through the view) acts.
// All of them run on the view's thread.
class ViewEvents {
 public:
  virtual ~ViewEvents() = default;
  virtual void UpfwBoxClick() = 0;
  virtual void FileEditChange() = 0;
  virtual void FileEdit2Change() = 0;
  virtual void SearchFwBtnClick() = 0;
  virtual void ConnectBtnClick() = 0;
  virtual void UpdateFwBtnClick() = 0;
  virtual void AbortBtnClick() = 0;
  virtual void ExitItemClick() = 0;
  virtual void AdvanceModeItemClick() = 0;
  virtual void NormalModeItemClick() = 0;
  // A window message posted with View::PostWindowMessage (WM_SUBFW_CONNECT).
  virtual void WindowMessage(std::uint32_t msg) = 0;
  // The window is asked to close (title bar, Alt+F4, Exit). Returns false to refuse.
  virtual bool CloseQuery() = 0;
  // The window is closing, after any confirmation.
  virtual void FormClose() = 0;
};

class View : public TaskQueue {
 public:
  ~View() override = default;

  virtual void SetCaption(const std::string& caption) = 0;
  virtual void SetText(Control c, const std::string& text) = 0;
  virtual std::string Text(Control c) const = 0;
  virtual void SetVisible(Control c, bool visible) = 0;
  virtual void SetEnabled(Control c, bool enabled) = 0;
  virtual void SetTop(Control c, int top) = 0;
  virtual void SetOuterHeight(int height) = 0;
  virtual void SetPosition(Control c, int position) = 0;  // a progress bar's position

  virtual void ClearItems(Control c) = 0;
  virtual void AddItem(Control c, const std::string& item) = 0;
  virtual void SetItemIndex(Control c, int index) = 0;  // -1: none
  virtual int ItemIndex(Control c) const = 0;

  virtual bool Checked(Control c) const = 0;
  // Setting a different state runs the control's click handler, as the operator's
  // click does; setting the state it already has runs nothing.
  virtual void SetChecked(Control c, bool checked) = 0;

  // Adds `text` as a new last line of the log in `colour` and shows that line.
  virtual void AppendLogLine(const std::string& text, LogColour colour) = 0;

  // A "Confirm" box with a question icon and the buttons Yes and No.
  virtual Answer AskConfirm(const std::string& text) = 0;
  // A plain box with an OK button, captioned with the application title.
  virtual void ShowMessage(const std::string& text) = 0;
  // Shows a fresh password dialog modally. `ok` runs on every press of OK with the
  // typed text and returns true to close the dialog with kModalOk.
  virtual int RunPasswordDialog(const std::function<bool(const std::string&)>& ok) = 0;

  virtual void PostWindowMessage(std::uint32_t msg) = 0;
  virtual bool OnViewThread() const = 0;
  bool OnQueueThread() const final { return OnViewThread(); }
};

}  // namespace tessaly
