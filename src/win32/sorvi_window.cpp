// Before <windows.h>: the window logic names its messages as the system's macros do.
#include "app/sorvi_form.h"

#include "win32/sorvi_window.h"

#include <commctrl.h>
#include <richedit.h>

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

#include "app/control_design.h"
#include "win32/confirm_box.h"
#include "win32/password_form.h"
#include "win32/window_names.h"

namespace tessaly::win32 {

namespace {

// The posted work's own message: private to the window class, above WM_APP.
constexpr UINT kDrainMessage = WM_APP + 1;

constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr DWORD kWindowExStyle = 0;

constexpr int kFontHeightPx = 13;
constexpr BYTE kLogCharset = CHINESEBIG5_CHARSET;  // 136
// The control's own limit is 32K characters; the log has none of its own.
constexpr LPARAM kLogTextLimit = 64 * 1024 * 1024;
// A drop-down list's height includes its opened list.
constexpr int kDropDownListHeight = 160;
// ProcessEvents serves a bounded number of messages, so a busy queue cannot hold a wait.
constexpr int kMessagesPerProcess = 256;

std::size_t Index(Control c) { return static_cast<std::size_t>(c); }
int MenuId(Control c) { return MenuCommandId(c); }

bool OnPanel(Control c) {
  switch (c) {
    case Control::UpdateFwBtn:
    case Control::AbortBtn:
    case Control::UpdateProgBar:
    case Control::PercentText:
    case Control::MessageLabel:
    case Control::MsgEdit: return true;
    default: return false;
  }
}

HFONT MakeFont(BYTE charset, UINT dpi) {
  return CreateFontA(-ScaleToDpi(kFontHeightPx, dpi), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, charset,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS,
                     "MS Sans Serif");
}

std::string WindowText(HWND h) {
  const int length = GetWindowTextLengthA(h);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  const int got = GetWindowTextA(h, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(std::max(got, 0)));
  return text;
}

// The log's paragraphs end in CR, or CR LF as the control hands them out: one "\n" each.
std::string NormaliseLineEnds(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Panel1: a raised panel whose children's notifications belong to the main window.
LRESULT CALLBACK PanelProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLOREDIT: return SendMessageA(GetParent(hwnd), msg, wParam, lParam);
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      RECT rc;
      GetClientRect(hwnd, &rc);
      DrawEdge(dc, &rc, BDR_RAISEDOUTER, BF_RECT);
      EndPaint(hwnd, &ps);
      return 0;
    }
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}

// A function of user32 that older Windows lacks, or null.
template <typename F>
F User32Function(const char* name) {
  HMODULE user32 = GetModuleHandleA("user32.dll");
  if (!user32) return nullptr;
  // Through the generic function type: GetProcAddress's own says nothing of the real one.
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(user32, name)));
}

// The program's icon at the size of the two metrics, or null when the build has none.
HICON ProgramIcon(HINSTANCE instance, int widthMetric, int heightMetric) {
  return static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(kProgramIconId), IMAGE_ICON,
                                       GetSystemMetrics(widthMetric), GetSystemMetrics(heightMetric), 0));
}

BOOL CALLBACK ClearNameProc(HWND child, LPARAM) {
  const auto atom = static_cast<ATOM>(reinterpret_cast<UINT_PTR>(RemovePropA(child, kControlNameProp)));
  if (atom != 0) GlobalDeleteAtom(atom);
  return TRUE;
}

}  // namespace

bool InitWindowClasses(HINSTANCE instance) {
  INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  if (!LoadLibraryA("riched20.dll")) return false;

  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &SorviWindow::WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hIcon = ProgramIcon(instance, SM_CXICON, SM_CYICON);
  if (!wc.hIcon) wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
  wc.hIconSm = ProgramIcon(instance, SM_CXSMICON, SM_CYSMICON);  // null: Windows shrinks hIcon
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kMainWindowClass;
  if (!RegisterClassExA(&wc)) return false;

  WNDCLASSEXA panel{};
  panel.cbSize = sizeof panel;
  panel.lpfnWndProc = &PanelProc;
  panel.hInstance = instance;
  panel.hCursor = LoadCursor(nullptr, IDC_ARROW);
  panel.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  panel.lpszClassName = kPanelClass;
  if (!RegisterClassExA(&panel)) return false;
  return RegisterPasswordFormClass(instance);
}

void ShowErrorBox(HWND owner, const std::string& text) {
  MessageBoxA(owner, text.c_str(), kAppTitle, MB_OK | MB_ICONERROR);
}

void SetControlName(HWND control, const char* name) {
  const ATOM atom = GlobalAddAtomA(name);
  if (atom != 0) SetPropA(control, kControlNameProp, reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(atom)));
}

void ClearControlNames(HWND parent) { EnumChildWindows(parent, &ClearNameProc, 0); }

HFONT ControlFont(UINT dpi) {
  // Only the window's thread asks; a monitor of another scale adds one.
  static std::vector<std::pair<UINT, HFONT>> fonts;
  for (const auto& [at, font] : fonts) {
    if (at == dpi) return font;
  }
  HFONT font = MakeFont(DEFAULT_CHARSET, dpi);
  fonts.emplace_back(dpi, font);
  return font;
}

UINT WindowDpi(HWND window) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow = User32Function<GetDpiForWindowFn>("GetDpiForWindow");
  if (getDpiForWindow && window) {
    const UINT dpi = getDpiForWindow(window);
    if (dpi != 0) return dpi;
  }
  HDC screen = GetDC(nullptr);
  const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
  if (screen) ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

SIZE FrameSize(DWORD style, bool menu, DWORD exStyle, UINT dpi) {
  using AdjustForDpiFn = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
  static const auto adjustForDpi = User32Function<AdjustForDpiFn>("AdjustWindowRectExForDpi");
  RECT r{0, 0, 0, 0};
  if (adjustForDpi && adjustForDpi(&r, style, menu ? TRUE : FALSE, exStyle, dpi)) {
    return SIZE{r.right - r.left, r.bottom - r.top};
  }
  // Without it the frame is the system's, drawn at the screen's scale: in proportion.
  AdjustWindowRectEx(&r, style, menu ? TRUE : FALSE, exStyle);
  const UINT system = WindowDpi(nullptr);
  return SIZE{MulDiv(r.right - r.left, static_cast<int>(dpi), static_cast<int>(system)),
              MulDiv(r.bottom - r.top, static_cast<int>(dpi), static_cast<int>(system))};
}

SorviWindow::SorviWindow(HINSTANCE instance) : instance_(instance), threadId_(GetCurrentThreadId()) {
  for (const ControlDesign& d : kControlDesign) {
    places_[Index(d.control)] = Place{d.left, d.top, d.width, d.height};
  }
  designClientHeight_ = kClientHeight;
  CreateMenuBar();
  // WM_NCCREATE sets hwnd_, so that the children can be made during creation. The size
  // follows once the window knows its monitor's scale.
  CreateWindowExA(kWindowExStyle, kMainWindowClass, "", kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT, kClientWidth,
                  kClientHeight, nullptr, menu_, instance_, this);
  if (!hwnd_) throw std::runtime_error("The main window cannot be created");
  dpi_ = WindowDpi(hwnd_);
  logFont_ = MakeFont(kLogCharset, dpi_);
  const SIZE outer = OuterSize();
  SetWindowPos(hwnd_, nullptr, 0, 0, outer.cx, outer.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  CreateControls();
  postTarget_.store(hwnd_);
}

SorviWindow::~SorviWindow() {
  postTarget_.store(nullptr);
  if (hwnd_) {
    SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
    ClearControlNames(hwnd_);
    DestroyWindow(hwnd_);
  }
  if (logFont_) DeleteObject(logFont_);
}

void SorviWindow::CreateMenuBar() {
  menu_ = CreateMenu();
  auto addItem = [](HMENU menu, Control c) {
    const ControlDesign& d = DesignOf(c);
    AppendMenuA(menu, MF_STRING | (d.enabled ? MF_ENABLED : MF_GRAYED), static_cast<UINT_PTR>(MenuId(c)), d.caption);
  };
  HMENU file = CreatePopupMenu();
  addItem(file, Control::ExitItem);
  AppendMenuA(menu_, MF_POPUP, reinterpret_cast<UINT_PTR>(file), DesignOf(Control::FileMenu).caption);
  HMENU settings = CreatePopupMenu();
  addItem(settings, Control::AdvanceModeItem);
  addItem(settings, Control::NormalModeItem);
  AppendMenuA(menu_, MF_POPUP, reinterpret_cast<UINT_PTR>(settings), DesignOf(Control::SettingsMenu).caption);
}

void SorviWindow::CreateControls() {
  const ControlDesign& panelDesign = DesignOf(Control::UpdatePanel);
  HWND panel = CreateWindowExA(
      WS_EX_CONTROLPARENT, kPanelClass, "", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS,
      Scaled(panelDesign.left), Scaled(panelDesign.top), Scaled(panelDesign.width), Scaled(panelDesign.height), hwnd_,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(ControlId(Control::UpdatePanel))), instance_, nullptr);
  controls_[Index(Control::UpdatePanel)] = panel;
  SetControlName(panel, ControlName(Control::UpdatePanel));

  for (const ControlDesign& d : kControlDesign) {
    if (IsMenuItem(d.control) || d.control == Control::UpdatePanel) continue;
    const char* cls = "STATIC";
    DWORD style = WS_CHILD;
    DWORD exStyle = 0;
    switch (d.control) {
      case Control::PjAddrText:
      case Control::AdapterLabel:
      case Control::PercentText:
      case Control::MessageLabel: style |= SS_LEFT | SS_NOPREFIX; break;
      case Control::IpAddrEdit:
      case Control::FileEdit:
      case Control::FileEdit2:
      case Control::MacAddrEdit:
        cls = "EDIT";
        style |= ES_AUTOHSCROLL | WS_TABSTOP;
        exStyle = WS_EX_CLIENTEDGE;
        break;
      case Control::UpfwBox:
        cls = "BUTTON";
        style |= BS_AUTOCHECKBOX | WS_TABSTOP;
        break;
      case Control::AdapterBox:
        cls = "COMBOBOX";
        style |= CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
        break;
      case Control::UpdateFwBtn:
      case Control::AbortBtn:
      case Control::SearchFwBtn:
      case Control::ConnectBtn:
        cls = "BUTTON";
        style |= BS_PUSHBUTTON | WS_TABSTOP;
        break;
      case Control::UpdateProgBar: cls = PROGRESS_CLASSA; break;
      case Control::MsgEdit:
        cls = RICHEDIT_CLASSA;
        // Read-only, never reached by Tab; the vertical bar stays even when the text fits,
        // and there is no horizontal one (EM_SETTARGETDEVICE below keeps lines unwrapped).
        style |= ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | ES_DISABLENOSCROLL | WS_VSCROLL;
        exStyle = WS_EX_CLIENTEDGE;
        break;
      default: break;
    }
    HWND parent = OnPanel(d.control) ? panel : hwnd_;
    HWND h = CreateWindowExA(exStyle, cls, d.caption, style, 0, 0, 0, 0, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(ControlId(d.control))), instance_, nullptr);
    if (!h) throw std::runtime_error(std::string("The control ") + ControlName(d.control) + " cannot be created");
    controls_[Index(d.control)] = h;
    SetControlName(h, ControlName(d.control));
    SendMessageA(h, WM_SETFONT, reinterpret_cast<WPARAM>(d.control == Control::MsgEdit ? logFont_ : ControlFont(dpi_)),
                 FALSE);
    PlaceControl(d.control);
    EnableWindow(h, d.enabled ? TRUE : FALSE);
    if (d.visible) ShowWindow(h, SW_SHOWNA);
  }

  HWND bar = Handle(Control::UpdateProgBar);
  SendMessageA(bar, PBM_SETRANGE32, 0, 100);
  SendMessageA(bar, PBM_SETSTEP, 1, 0);
  SendMessageA(bar, PBM_SETPOS, 0, 0);

  HWND log = Handle(Control::MsgEdit);
  SendMessageA(log, EM_EXLIMITTEXT, 0, kLogTextLimit);
  SendMessageA(log, EM_SETTARGETDEVICE, 0, 1);  // no word wrap: a long line runs on
  CHARFORMAT2A format{};
  format.cbSize = sizeof format;
  format.dwMask = CFM_COLOR;
  format.dwEffects = CFE_AUTOCOLOR;  // the system window-text colour until a line says otherwise
  SendMessageA(log, EM_SETCHARFORMAT, SCF_ALL, reinterpret_cast<LPARAM>(&format));
  SendMessageA(log, EM_SETEVENTMASK, 0, ENM_CHANGE);
  logEmpty_ = GetWindowTextLengthA(log) == 0;

  for (Control c : {Control::PjAddrText, Control::AdapterLabel, Control::PercentText, Control::MessageLabel}) {
    FitLabel(c);
  }
}

bool SorviWindow::IsMenuItem(Control c) const {
  switch (c) {
    case Control::FileMenu:
    case Control::ExitItem:
    case Control::SettingsMenu:
    case Control::AdvanceModeItem:
    case Control::NormalModeItem: return true;
    default: return false;
  }
}

LRESULT CALLBACK SorviWindow::WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* self = static_cast<SorviWindow*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<SorviWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!self) return DefWindowProcA(hwnd, msg, wParam, lParam);
  return self->HandleMessage(msg, wParam, lParam);
}

LRESULT SorviWindow::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COMMAND: OnCommand(wParam, lParam); return 0;
    case WM_CLOSE: OnClose(); return 0;
    case WM_DPICHANGED: OnDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam)); return 0;
    case kDrainMessage: DrainPosted(); return 0;
    case WM_DESTROY:
      postTarget_.store(nullptr);
      ClearControlNames(hwnd_);
      PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY: {
      HWND gone = hwnd_;
      SetWindowLongPtrA(gone, GWLP_USERDATA, 0);
      hwnd_ = nullptr;
      return DefWindowProcA(gone, msg, wParam, lParam);
    }
    case WM_SUBFW_CONNECT:
      // The window checks nothing first; the message then takes the default road.
      if (events_) Guarded(hwnd_, [this, msg] { events_->WindowMessage(msg); });
      break;
    default: break;
  }
  return DefWindowProcA(hwnd_, msg, wParam, lParam);
}

void SorviWindow::OnCommand(WPARAM wParam, LPARAM lParam) {
  const int id = LOWORD(wParam);
  const int code = HIWORD(wParam);
  if (lParam == 0) {  // a menu item
    if (id == MenuId(Control::ExitItem)) Raise(&ViewEvents::ExitItemClick);
    if (id == MenuId(Control::AdvanceModeItem)) Raise(&ViewEvents::AdvanceModeItemClick);
    if (id == MenuId(Control::NormalModeItem)) Raise(&ViewEvents::NormalModeItemClick);
    return;
  }
  const int first = ControlId(Control::PjAddrText);
  if (id < first || id >= first + static_cast<int>(kControlCount)) return;
  const auto control = static_cast<Control>(id - first);
  if (reinterpret_cast<HWND>(lParam) != Handle(control)) return;
  if (code == BN_CLICKED) {
    switch (control) {
      case Control::UpdateFwBtn: Raise(&ViewEvents::UpdateFwBtnClick); break;
      case Control::AbortBtn: Raise(&ViewEvents::AbortBtnClick); break;
      case Control::SearchFwBtn: Raise(&ViewEvents::SearchFwBtnClick); break;
      case Control::ConnectBtn: Raise(&ViewEvents::ConnectBtnClick); break;
      case Control::UpfwBox: Raise(&ViewEvents::UpfwBoxClick); break;
      default: break;
    }
  } else if (code == EN_CHANGE && control == Control::MsgEdit) {
    // Follow the newest line after every change of the log.
    SendMessageA(Handle(Control::MsgEdit), WM_VSCROLL, SB_BOTTOM, 0);
  }
}

void SorviWindow::OnClose() {
  if (!events_) {
    DestroyWindow(hwnd_);
    return;
  }
  // A close asked for while the question is open (Exit posts one) waits for its answer.
  if (askingClose_) return;
  askingClose_ = true;
  bool closing = false;
  // A handler that throws keeps the window open, its error shown.
  Guarded(hwnd_, [&] {
    if (!events_->CloseQuery()) return;
    events_->FormClose();
    closing = true;
  });
  askingClose_ = false;
  if (closing && hwnd_) DestroyWindow(hwnd_);
}

void SorviWindow::Raise(void (ViewEvents::*handler)()) {
  if (!events_) return;
  Guarded(hwnd_, [this, handler] { (events_->*handler)(); });
}

void SorviWindow::Show(int showCommand) {
  if (!placed_) {
    placed_ = true;
    RECT area;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    RECT outer;
    GetWindowRect(hwnd_, &outer);
    const int width = outer.right - outer.left;
    const int height = outer.bottom - outer.top;
    SetWindowPos(hwnd_, nullptr, area.left + (area.right - area.left - width) / 2,
                 area.top + (area.bottom - area.top - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ShowWindow(hwnd_, showCommand);
  UpdateWindow(hwnd_);
}

int SorviWindow::RunMessageLoop() {
  MSG m;
  for (;;) {
    const BOOL got = GetMessageA(&m, nullptr, 0, 0);
    if (got == 0 || got == -1) break;
    // Tab and the arrow keys move between the controls, as on a form.
    if (hwnd_ && IsDialogMessageA(hwnd_, &m)) continue;
    TranslateMessage(&m);
    DispatchMessageA(&m);
  }
  return 0;
}

void SorviWindow::SetCaption(const std::string& caption) { SetWindowTextA(hwnd_, caption.c_str()); }

void SorviWindow::SetText(Control c, const std::string& text) {
  if (IsMenuItem(c)) {
    MENUITEMINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_STRING;
    info.dwTypeData = const_cast<char*>(text.c_str());
    if (c == Control::FileMenu || c == Control::SettingsMenu) {
      SetMenuItemInfoA(menu_, c == Control::FileMenu ? 0 : 1, TRUE, &info);
    } else {
      SetMenuItemInfoA(menu_, static_cast<UINT>(MenuId(c)), FALSE, &info);
    }
    DrawMenuBar(hwnd_);
    return;
  }
  HWND h = Handle(c);
  switch (c) {
    case Control::MsgEdit:
      SetWindowTextA(h, text.c_str());
      logEmpty_ = text.empty();
      return;
    case Control::FileEdit:
    case Control::FileEdit2:
      if (WindowText(h) == text) return;
      SetWindowTextA(h, text.c_str());
      // The change handler runs here rather than on the edit's notification, which a
      // text set from code does not bring on every system.
      Raise(c == Control::FileEdit ? &ViewEvents::FileEditChange : &ViewEvents::FileEdit2Change);
      return;
    case Control::AdapterBox: {
      const LRESULT found =
          SendMessageA(h, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text.c_str()));
      SendMessageA(h, CB_SETCURSEL, found == CB_ERR ? static_cast<WPARAM>(-1) : static_cast<WPARAM>(found), 0);
      return;
    }
    default:
      SetWindowTextA(h, text.c_str());
      FitLabel(c);
      return;
  }
}

std::string SorviWindow::Text(Control c) const {
  if (IsMenuItem(c)) {
    char buffer[256] = {};
    if (c == Control::FileMenu || c == Control::SettingsMenu) {
      GetMenuStringA(menu_, c == Control::FileMenu ? 0 : 1, buffer, sizeof buffer, MF_BYPOSITION);
    } else {
      GetMenuStringA(menu_, static_cast<UINT>(MenuId(c)), buffer, sizeof buffer, MF_BYCOMMAND);
    }
    return buffer;
  }
  HWND h = Handle(c);
  if (c == Control::MsgEdit) return NormaliseLineEnds(WindowText(h));
  if (c == Control::AdapterBox) {
    const LRESULT index = SendMessageA(h, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) return {};
    const LRESULT length = SendMessageA(h, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR) return {};
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    SendMessageA(h, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(length));
    return text;
  }
  return WindowText(h);
}

void SorviWindow::SetVisible(Control c, bool visible) {
  // Menu items keep their place in the menu; the window logic never hides one.
  if (IsMenuItem(c)) return;
  ShowWindow(Handle(c), visible ? SW_SHOWNA : SW_HIDE);
}

void SorviWindow::SetEnabled(Control c, bool enabled) {
  if (IsMenuItem(c)) {
    const UINT state = enabled ? MF_ENABLED : MF_GRAYED;
    if (c == Control::FileMenu || c == Control::SettingsMenu) {
      EnableMenuItem(menu_, c == Control::FileMenu ? 0 : 1, MF_BYPOSITION | state);
    } else {
      EnableMenuItem(menu_, static_cast<UINT>(MenuId(c)), MF_BYCOMMAND | state);
    }
    DrawMenuBar(hwnd_);
    return;
  }
  EnableWindow(Handle(c), enabled ? TRUE : FALSE);
}

void SorviWindow::SetTop(Control c, int top) {
  if (IsMenuItem(c)) return;
  Place& place = places_[Index(c)];
  place.top = top;
  SetWindowPos(Handle(c), nullptr, Scaled(place.left), Scaled(top), 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The design's heights are outer ones at 96 dpi: its client part scales, and the frame is
// the system's at the window's scale.
void SorviWindow::SetOuterHeight(int height) {
  designClientHeight_ = height - FrameSize(kWindowStyle, true, kWindowExStyle, 96).cy;
  const SIZE outer = OuterSize();
  SetWindowPos(hwnd_, nullptr, 0, 0, outer.cx, outer.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

SIZE SorviWindow::OuterSize() const {
  const SIZE frame = FrameSize(kWindowStyle, true, kWindowExStyle, dpi_);
  return SIZE{frame.cx + Scaled(kClientWidth), frame.cy + Scaled(designClientHeight_)};
}

void SorviWindow::PlaceControl(Control c) {
  HWND h = Handle(c);
  if (!h || IsMenuItem(c)) return;
  const Place& p = places_[Index(c)];
  // A drop-down list's height includes its opened list.
  const int height = Scaled(p.height) + (c == Control::AdapterBox ? Scaled(kDropDownListHeight) : 0);
  SetWindowPos(h, nullptr, Scaled(p.left), Scaled(p.top), Scaled(p.width), height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void SorviWindow::OnDpiChanged(UINT dpi, const RECT& suggested) {
  if (dpi == 0 || dpi == dpi_) return;
  dpi_ = dpi;
  HFONT oldLog = logFont_;
  logFont_ = MakeFont(kLogCharset, dpi_);
  for (const ControlDesign& d : kControlDesign) {
    HWND h = Handle(d.control);
    if (!h) continue;
    if (d.control != Control::UpdatePanel) {
      SendMessageA(h, WM_SETFONT,
                   reinterpret_cast<WPARAM>(d.control == Control::MsgEdit ? logFont_ : ControlFont(dpi_)), TRUE);
    }
    PlaceControl(d.control);
  }
  if (oldLog) DeleteObject(oldLog);
  for (Control c : {Control::PjAddrText, Control::AdapterLabel, Control::PercentText, Control::MessageLabel}) {
    FitLabel(c);
  }
  SetWindowPos(hwnd_, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

void SorviWindow::SetPosition(Control c, int position) {
  if (c != Control::UpdateProgBar) return;
  // Out-of-range positions stop at the ends, as the bar itself does.
  SendMessageA(Handle(c), PBM_SETPOS, static_cast<WPARAM>(std::clamp(position, 0, 100)), 0);
}

void SorviWindow::ClearItems(Control c) {
  if (c == Control::AdapterBox) SendMessageA(Handle(c), CB_RESETCONTENT, 0, 0);
}

void SorviWindow::AddItem(Control c, const std::string& item) {
  if (c == Control::AdapterBox) SendMessageA(Handle(c), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
}

void SorviWindow::SetItemIndex(Control c, int index) {
  if (c != Control::AdapterBox) return;
  const auto count = static_cast<int>(SendMessageA(Handle(c), CB_GETCOUNT, 0, 0));
  const int shown = index >= 0 && index < count ? index : -1;
  SendMessageA(Handle(c), CB_SETCURSEL, static_cast<WPARAM>(shown), 0);
}

int SorviWindow::ItemIndex(Control c) const {
  if (c != Control::AdapterBox) return -1;
  const LRESULT index = SendMessageA(Handle(c), CB_GETCURSEL, 0, 0);
  return index == CB_ERR ? -1 : static_cast<int>(index);
}

bool SorviWindow::Checked(Control c) const {
  return c == Control::UpfwBox && SendMessageA(Handle(c), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void SorviWindow::SetChecked(Control c, bool checked) {
  if (c != Control::UpfwBox || Checked(c) == checked) return;
  SendMessageA(Handle(c), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  // A state set from code runs the click handler, as the operator's click does.
  Raise(&ViewEvents::UpfwBoxClick);
}

void SorviWindow::AppendLogLine(const std::string& text, LogColour colour) {
  HWND log = Handle(Control::MsgEdit);
  GETTEXTLENGTHEX length{GTL_NUMCHARS | GTL_PRECISE, CP_ACP};
  const auto end = static_cast<LONG>(SendMessageA(log, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&length), 0));
  CHARRANGE at{end, end};
  SendMessageA(log, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&at));

  CHARFORMAT2A format{};
  format.cbSize = sizeof format;
  format.dwMask = CFM_COLOR;
  format.dwEffects = 0;                                // an explicit colour, not the automatic one
  format.crTextColor = static_cast<COLORREF>(colour);  // the same byte layout: 0, blue, green, red
  SendMessageA(log, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));

  const std::string line = logEmpty_ ? text : "\r" + text;
  SendMessageA(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(line.c_str()));
  logEmpty_ = false;

  // Show the newest line from its start, wherever the operator had scrolled to. Some
  // rich-edit versions scroll to the right end with SB_BOTTOM, or to the top with SB_LEFT:
  // the left edge is set with the position itself.
  SendMessageA(log, WM_VSCROLL, SB_BOTTOM, 0);
  POINT position{};
  SendMessageA(log, EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&position));
  position.x = 0;
  SendMessageA(log, EM_SETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&position));
  // And some give ES_DISABLENOSCROLL a horizontal bar too, though the control has none: a
  // long line only runs on past the edge.
  ShowScrollBar(log, SB_HORZ, FALSE);
}

HWND SorviWindow::BoxOwner() const { return passwordDialog_ ? passwordDialog_ : hwnd_; }

Answer SorviWindow::AskConfirm(const std::string& text) {
  switch (AskYesNo(BoxOwner(), text, "Confirm")) {
    case YesNo::Yes: return Answer::Yes;
    case YesNo::No: return Answer::No;
    case YesNo::Failed: break;
  }
  return Answer::Closed;
}

void SorviWindow::ShowMessage(const std::string& text) { MessageBoxA(BoxOwner(), text.c_str(), kAppTitle, MB_OK); }

int SorviWindow::RunPasswordDialog(const std::function<bool(const std::string&)>& ok) {
  return RunPasswordForm(instance_, hwnd_, dpi_, ok, passwordDialog_);
}

void SorviWindow::Post(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(postedMutex_);
    posted_.push_back(std::move(work));
  }
  // A message per piece of work: a modal loop that one piece opens still runs the next.
  if (HWND target = postTarget_.load()) PostMessageA(target, kDrainMessage, 0, 0);
}

void SorviWindow::DrainPosted() {
  std::size_t count = 0;
  {
    std::lock_guard<std::mutex> lock(postedMutex_);
    count = posted_.size();
  }
  // Only what is queued now: work that queues more work leaves it to its own message.
  for (std::size_t i = 0; i < count; ++i) {
    std::function<void()> work;
    {
      std::lock_guard<std::mutex> lock(postedMutex_);
      if (posted_.empty()) return;
      work = std::move(posted_.front());
      posted_.pop_front();
    }
    Guarded(hwnd_, work);
  }
}

void SorviWindow::PostWindowMessage(std::uint32_t msg) {
  if (HWND target = postTarget_.load()) PostMessageA(target, msg, 0, 0);
}

bool SorviWindow::OnViewThread() const { return GetCurrentThreadId() == threadId_; }

void SorviWindow::ProcessEvents() {
  MSG m;
  for (int i = 0; i < kMessagesPerProcess && PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE); ++i) {
    if (m.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(m.wParam));  // for the loop that owns it
      break;
    }
    TranslateMessage(&m);
    DispatchMessageA(&m);
  }
  DrainPosted();
}

// Static texts grow to their caption, so a longer text ("100%") is not cut.
void SorviWindow::FitLabel(Control c) {
  switch (c) {
    case Control::PjAddrText:
    case Control::AdapterLabel:
    case Control::PercentText:
    case Control::MessageLabel: break;
    default: return;
  }
  HWND h = Handle(c);
  const std::string text = WindowText(h);
  HDC dc = GetDC(h);
  HGDIOBJ old = SelectObject(dc, ControlFont(dpi_));
  SIZE size{};
  GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(h, dc);
  RECT r;
  GetWindowRect(h, &r);
  const int width = std::max(Scaled(places_[Index(c)].width), static_cast<int>(size.cx));
  if (width != r.right - r.left) {
    SetWindowPos(h, nullptr, 0, 0, width, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

}  // namespace tessaly::win32
