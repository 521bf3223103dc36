#pragma once
// The main window in Win32 controls: every control of the design table as a real child
// window, driven through tessaly::View and reporting the operator's actions to ViewEvents.

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string>

#include "app/view.h"

namespace tessaly::win32 {

// Registers the window classes and loads the common and rich-edit controls. Once, before
// the first window; false when the rich-edit library cannot be loaded.
bool InitWindowClasses(HINSTANCE instance);

// The toolkit's error box: error icon, captioned with the application title.
void ShowErrorBox(HWND owner, const std::string& text);

// Runs `f`; an exception it throws is shown in the error box and the program goes on.
// Nothing may unwind through the system's window procedures. Returns false when `f` threw.
template <typename F>
bool Guarded(HWND owner, F&& f) {
  try {
    f();
    return true;
  } catch (const std::exception& e) {
    ShowErrorBox(owner, e.what());
  } catch (...) {
    ShowErrorBox(owner, std::string());
  }
  return false;
}

// Gives a control window its form name, where a test program can find it.
void SetControlName(HWND control, const char* name);
// Takes the names off every control under `parent` (their atoms are global).
void ClearControlNames(HWND parent);
// The font of the window, its controls and its dialogs: "MS Sans Serif", 13 pixels at
// 96 dpi, in proportion at `dpi`. One per scale, kept for the program's life.
HFONT ControlFont(UINT dpi);

// The dots per inch of the monitor `window` is on: Windows' own per monitor where it has
// GetDpiForWindow (Windows 10 1607 and later), else the screen's.
UINT WindowDpi(HWND window);
// A length of the design, which is drawn at 96 dpi, at `dpi`.
inline int ScaleToDpi(int length, UINT dpi) { return MulDiv(length, static_cast<int>(dpi), 96); }
// How much wider and taller than its client area a window with this frame is at `dpi`.
SIZE FrameSize(DWORD style, bool menu, DWORD exStyle, UINT dpi);

class SorviWindow final : public View {
 public:
  explicit SorviWindow(HINSTANCE instance);
  ~SorviWindow() override;
  SorviWindow(const SorviWindow&) = delete;
  SorviWindow& operator=(const SorviWindow&) = delete;

  HWND hwnd() const { return hwnd_; }
  // The main window class's procedure (InitWindowClasses registers it).
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

  void SetEvents(ViewEvents* events) { events_ = events; }
  // Centres the window on the screen's work area and shows it.
  void Show(int showCommand);
  // The message loop; returns when the window has been destroyed.
  int RunMessageLoop();

  void SetCaption(const std::string& caption) override;
  void SetText(Control c, const std::string& text) override;
  std::string Text(Control c) const override;
  void SetVisible(Control c, bool visible) override;
  void SetEnabled(Control c, bool enabled) override;
  void SetTop(Control c, int top) override;
  void SetOuterHeight(int height) override;
  void SetPosition(Control c, int position) override;
  void ClearItems(Control c) override;
  void AddItem(Control c, const std::string& item) override;
  void SetItemIndex(Control c, int index) override;
  int ItemIndex(Control c) const override;
  bool Checked(Control c) const override;
  void SetChecked(Control c, bool checked) override;
  void AppendLogLine(const std::string& text, LogColour colour) override;
  Answer AskConfirm(const std::string& text) override;
  void ShowMessage(const std::string& text) override;
  int RunPasswordDialog(const std::function<bool(const std::string&)>& ok) override;
  void Post(std::function<void()> work) override;
  void PostWindowMessage(std::uint32_t msg) override;
  bool OnViewThread() const override;
  void ProcessEvents() override;

 private:
  static constexpr std::size_t kControlCount = static_cast<std::size_t>(Control::NormalModeItem) + 1;

  LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);
  void CreateMenuBar();
  void CreateControls();
  void OnCommand(WPARAM wParam, LPARAM lParam);
  void OnClose();
  // Calls a handler of the window logic, if one is set, through the error guard.
  void Raise(void (ViewEvents::*handler)());
  // Runs the posted work that is queued now, one piece at a time.
  void DrainPosted();
  void FitLabel(Control c);
  // Where a control stands at the window's scale, from its place in the design.
  void PlaceControl(Control c);
  // The outer size that holds the design's client area at the window's scale.
  SIZE OuterSize() const;
  int Scaled(int length) const { return ScaleToDpi(length, dpi_); }
  // WM_DPICHANGED: the fonts and every place again at the new scale, in the suggested rectangle.
  void OnDpiChanged(UINT dpi, const RECT& suggested);
  HWND Handle(Control c) const { return controls_[static_cast<std::size_t>(c)]; }
  bool IsMenuItem(Control c) const;
  // The owner for a box: the password dialog while it is open, else this window.
  HWND BoxOwner() const;

  HINSTANCE instance_;
  DWORD threadId_;
  HWND hwnd_ = nullptr;
  HMENU menu_ = nullptr;
  HWND passwordDialog_ = nullptr;
  ViewEvents* events_ = nullptr;
  std::array<HWND, kControlCount> controls_{};
  // Each control's place in 96-dpi design pixels: the table's, then as the logic moves it.
  struct Place {
    int left, top, width, height;
  };
  std::array<Place, kControlCount> places_{};
  int designClientHeight_ = 0;  // in design pixels; the width is the design's
  UINT dpi_ = 96;
  HFONT logFont_ = nullptr;
  bool logEmpty_ = true;  // the log holds no line, not even an empty one
  bool placed_ = false;
  bool askingClose_ = false;

  // Post's queue: any thread pushes, the window's thread drains on kDrainMessage.
  std::mutex postedMutex_;
  std::deque<std::function<void()>> posted_;
  std::atomic<HWND> postTarget_{nullptr};
};

}  // namespace tessaly::win32
