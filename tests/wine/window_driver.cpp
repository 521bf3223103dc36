// Drives tessaly-updater.exe from outside, as an operator would, and reads its controls:
// the start-up state and log, a move to a monitor at 144 dpi and back (WM_DPICHANGED),
// Advance mode through the password dialog and back, Escape on the Abort question and the
// close question's own close while firmware is being written, a whole Sub update against
// the simulator, the state after it, a screenshot, and the exit.
// Then the window once more at 144 dpi: 1.5 times as large, every control in place, a
// screenshot (FILE-144dpi.bmp).
//   window_driver --updater EXE --workdir DIR --projector ADDR --screenshot FILE.bmp
//                 [--timeout-ms N]
// Prints one line per check; exit status 0 when every check passed.

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/control_design.h"
#include "win32/window_names.h"

namespace {

using tessaly::Control;
using tessaly::ControlName;
namespace names = tessaly::win32;

// The Sub image the test puts in the updater's folder: a name long enough to run past the
// log's right edge.
constexpr const char* kSubFileName = "sub_firmware_image_with_a_name_long_enough_to_run_past_the_edge_of_the_log.brec2";

int failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAILED", what.c_str());
  std::fflush(stdout);
  if (!ok) ++failures;
}

[[noreturn]] void Fatal(const std::string& what) {
  std::printf("FATAL: %s\n", what.c_str());
  std::fflush(stdout);
  std::exit(1);
}

// Polls `done` every 20 ms until it holds or `ms` have passed.
bool WaitFor(DWORD ms, const std::function<bool()>& done) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (done()) return true;
    if (GetTickCount() - start >= ms) return false;
    Sleep(20);
  }
}

std::string TextOf(HWND h) {
  char buffer[65536] = {};
  // WM_GETTEXT crosses processes; SendMessageTimeout keeps a hung window from hanging us.
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutA(h, WM_GETTEXT, sizeof buffer, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 5000,
                           &got)) {
    return {};
  }
  return std::string(buffer, std::min<std::size_t>(got, sizeof buffer - 1));
}

LRESULT Ask(HWND h, UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
  DWORD_PTR result = 0;
  SendMessageTimeoutA(h, msg, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result);
  return static_cast<LRESULT>(result);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.push_back(line);
      line.clear();
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += text[i];
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

std::string ClassOf(HWND h) {
  char cls[128] = {};
  GetClassNameA(h, cls, sizeof cls);
  return cls;
}

// The visible top-level windows of `pid` with class `cls`.
std::vector<HWND> TopWindows(DWORD pid, const std::string& cls) {
  struct Search {
    DWORD pid;
    std::string cls;
    std::vector<HWND> found;
  } search{pid, cls, {}};
  EnumWindows(
      [](HWND h, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        DWORD owner = 0;
        GetWindowThreadProcessId(h, &owner);
        if (owner == s->pid && IsWindowVisible(h) && ClassOf(h) == s->cls) s->found.push_back(h);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Every descendant of `parent` that carries a form name, by that name.
std::map<std::string, HWND> NamedControls(HWND parent) {
  std::map<std::string, HWND> found;
  EnumChildWindows(
      parent,
      [](HWND h, LPARAM p) -> BOOL {
        const auto atom = static_cast<ATOM>(reinterpret_cast<UINT_PTR>(GetPropA(h, names::kControlNameProp)));
        char name[128] = {};
        if (atom != 0 && GlobalGetAtomNameA(atom, name, sizeof name) > 0) {
          (*reinterpret_cast<std::map<std::string, HWND>*>(p))[name] = h;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

// A message box of the updater: its caption and the text of its static controls.
struct Box {
  HWND hwnd = nullptr;
  std::string caption;
  std::string text;
};

Box FindBox(DWORD pid) {
  Box box;
  for (HWND h : TopWindows(pid, "#32770")) {
    box.hwnd = h;
    box.caption = TextOf(h);
    EnumChildWindows(
        h,
        [](HWND c, LPARAM p) -> BOOL {
          if (_stricmp(ClassOf(c).c_str(), "Static") == 0) reinterpret_cast<std::string*>(p)->append(TextOf(c));
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&box.text));
    break;
  }
  return box;
}

Box WaitForBox(DWORD pid, DWORD ms) {
  Box box;
  WaitFor(ms, [&] {
    box = FindBox(pid);
    return box.hwnd != nullptr;
  });
  return box;
}

bool WaitGone(HWND h, DWORD ms) {
  return WaitFor(ms, [&] { return !IsWindow(h) || !IsWindowVisible(h); });
}

class Window {
 public:
  Window(HWND main) : main_(main), controls_(NamedControls(main)) {}

  HWND main() const { return main_; }
  HWND operator[](Control c) const {
    auto it = controls_.find(ControlName(c));
    if (it == controls_.end()) Fatal(std::string("no control named ") + ControlName(c));
    return it->second;
  }
  std::string Text(Control c) const { return TextOf((*this)[c]); }
  std::vector<std::string> Log() const { return Lines(Text(Control::MsgEdit)); }
  bool Enabled(Control c) const { return IsWindowEnabled((*this)[c]) != FALSE; }
  bool Visible(Control c) const { return IsWindowVisible((*this)[c]) != FALSE; }
  int Progress() const { return static_cast<int>(Ask((*this)[Control::UpdateProgBar], PBM_GETPOS)); }
  bool Checked(Control c) const { return Ask((*this)[c], BM_GETCHECK) == BST_CHECKED; }
  int OuterHeight() const {
    RECT r;
    GetWindowRect(main_, &r);
    return r.bottom - r.top;
  }
  // Top of a control in its parent's client area.
  int Top(Control c) const {
    HWND h = (*this)[c];
    RECT r;
    GetWindowRect(h, &r);
    MapWindowPoints(HWND_DESKTOP, GetParent(h), reinterpret_cast<POINT*>(&r), 2);
    return r.top;
  }
  const std::map<std::string, HWND>& Controls() const { return controls_; }
  // Posted, not sent: the handler may open a modal box and wait for us.
  void Click(Control c) const { PostMessageA((*this)[c], BM_CLICK, 0, 0); }
  void Menu(Control item) const { PostMessageA(main_, WM_COMMAND, names::MenuCommandId(item), 0); }

 private:
  HWND main_;
  std::map<std::string, HWND> controls_;
};

bool Contains(const std::vector<std::string>& lines, const std::string& wanted) {
  for (const std::string& l : lines) {
    if (l == wanted) return true;
  }
  return false;
}

void CheckStates(const Window& w, const char* when, std::initializer_list<std::pair<Control, bool>> enabled) {
  for (const auto& [c, want] : enabled) {
    Check(w.Enabled(c) == want, std::string(when) + ": " + ControlName(c) + (want ? " enabled" : " disabled"));
  }
}

// A window's rectangle in its parent's client area.
RECT InParent(HWND h) {
  RECT r;
  GetWindowRect(h, &r);
  MapWindowPoints(HWND_DESKTOP, GetParent(h), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

std::string Describe(const RECT& r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + " " + std::to_string(r.right - r.left) + "x" +
         std::to_string(r.bottom - r.top);
}

// The main window's client size and its shown controls' places.
struct Layout {
  RECT client{};
  std::map<std::string, RECT> controls;
};

Layout LayoutOf(const Window& w) {
  Layout layout;
  GetClientRect(w.main(), &layout.client);
  for (const auto& [name, h] : w.Controls()) {
    if (IsWindowVisible(h)) layout.controls[name] = InParent(h);
  }
  return layout;
}

// Every shown control lies wholly inside its parent's client area: nothing is cut off.
void CheckNothingCut(const Window& w, const std::string& when) {
  std::string cut;
  for (const auto& [name, h] : w.Controls()) {
    if (!IsWindowVisible(h)) continue;
    const RECT r = InParent(h);
    RECT parent;
    GetClientRect(GetParent(h), &parent);
    if (r.left < 0 || r.top < 0 || r.right > parent.right || r.bottom > parent.bottom) {
      cut += " " + name + " " + Describe(r) + " in " + Describe(parent);
    }
  }
  Check(cut.empty(), when + ": every control inside its parent" + cut);
}

// The password dialog's client area and the size of a box it brings (the wrong password's).
struct DialogSizes {
  SIZE client{};
  SIZE box{};
};

// The process's windows in physical pixels, whatever the scale: the per-monitor awareness
// where Windows has it, else the system's.
void BeDpiAware() {
  HMODULE user32 = GetModuleHandleA("user32.dll");
  using SetContextFn = BOOL(WINAPI*)(HANDLE);
  const auto setContext = reinterpret_cast<SetContextFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(user32, "SetProcessDpiAwarenessContext")));
  if (setContext && setContext(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4)))) return;  // per monitor v2
  SetProcessDPIAware();
}

UINT DpiOf(HWND h) {
  using GetDpiFn = UINT(WINAPI*)(HWND);
  const auto getDpi = reinterpret_cast<GetDpiFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
  return getDpi ? getDpi(h) : 0;
}

// A key press as the box's thread sees it: on its focused control, where the dialog
// manager turns Escape into a cancel.
void PressEscape(HWND box) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  HWND target = box;
  if (GetGUIThreadInfo(GetWindowThreadProcessId(box, nullptr), &info) && info.hwndFocus &&
      (info.hwndFocus == box || IsChild(box, info.hwndFocus))) {
    target = info.hwndFocus;
  }
  PostMessageA(target, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
  PostMessageA(target, WM_KEYUP, VK_ESCAPE, static_cast<LPARAM>(0xC0010001));
}

// The window as the screen shows it, as a 24-bit bottom-up BMP; also counts the log's blue
// and red text pixels and how much of the bar is filled.
struct Shot {
  bool saved = false;
  int bluePixels = 0;
  int redPixels = 0;
  int lowestBlue = -1;  // the lowest row of each colour
  int lowestRed = -1;
  double barFilled = 0;
};

Shot Screenshot(const Window& w, const std::string& path) {
  Shot shot;
  HWND main = w.main();
  SetForegroundWindow(main);
  RedrawWindow(main, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  Ask(main, WM_NULL);  // the window's thread has painted once this returns
  RECT r;
  GetWindowRect(main, &r);
  const int width = r.right - r.left;
  const int height = r.bottom - r.top;

  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // bottom-up, as BMP files store rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(mem, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, bitmap);
  BitBlt(mem, 0, 0, width, height, screen, r.left, r.top, SRCCOPY | CAPTUREBLT);
  GdiFlush();
  const int stride = (width * 3 + 3) & ~3;
  const auto* pixels = static_cast<const unsigned char*>(bits);
  auto pixel = [&](int x, int y) {  // window coordinates; blue, green, red
    const unsigned char* p = pixels + static_cast<std::size_t>(height - 1 - y) * stride + x * 3;
    return std::array<int, 3>{p[0], p[1], p[2]};
  };
  auto rectIn = [&](Control c) {
    RECT cr;
    GetWindowRect(w[c], &cr);
    OffsetRect(&cr, -r.left, -r.top);
    const RECT whole{0, 0, width, height};
    IntersectRect(&cr, &cr, &whole);
    return cr;
  };

  const RECT log = rectIn(Control::MsgEdit);
  for (int y = log.top; y < log.bottom; ++y) {
    for (int x = log.left; x < log.right; ++x) {
      const auto [b, g, red] = pixel(x, y);
      // Smoothed glyph edges blend with the white ground: count what is clearly one colour.
      if (b - std::max(g, red) >= 100) {
        ++shot.bluePixels;
        shot.lowestBlue = y;
      }
      if (red - std::max(g, b) >= 100) {
        ++shot.redPixels;
        shot.lowestRed = y;
      }
    }
  }
  // The bar's middle row, inside its border: the share that is not the face colour.
  const RECT bar = rectIn(Control::UpdateProgBar);
  const COLORREF face = GetSysColor(COLOR_BTNFACE);
  const int y = (bar.top + bar.bottom) / 2;
  int filled = 0;
  int total = 0;
  for (int x = bar.left + 3; x < bar.right - 3; ++x, ++total) {
    const auto [b, g, red] = pixel(x, y);
    if (red != GetRValue(face) || g != GetGValue(face) || b != GetBValue(face)) ++filled;
  }
  shot.barFilled = total > 0 ? static_cast<double>(filled) / total : 0;

  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(stride * height);
    shot.saved = std::fwrite(&file, sizeof file, 1, f) == 1 &&
                 std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, f) == 1 &&
                 std::fwrite(bits, static_cast<std::size_t>(stride) * height, 1, f) == 1;
    shot.saved = std::fclose(f) == 0 && shot.saved;
  }
  SelectObject(mem, old);
  DeleteObject(bitmap);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return shot;
}

// The start-up state: captions, design states, the compact layout, the search's lines.
Layout CheckStartUp(const Window& w, const std::string& projector) {
  Check(TextOf(w.main()) == "Updater for Tessaly.exe", "caption \"" + TextOf(w.main()) + "\"");
  for (Control c : {Control::PjAddrText, Control::UpfwBox, Control::AdapterLabel, Control::UpdateFwBtn,
                    Control::AbortBtn, Control::PercentText, Control::MessageLabel}) {
    Check(w.Text(c) == tessaly::DesignOf(c).caption, std::string(ControlName(c)) + " reads \"" + w.Text(c) + "\"");
  }
  Check(w.Text(Control::IpAddrEdit) == projector, "IpAddrEdit holds the remembered address");
  Check(w.Text(Control::MacAddrEdit) == "FF.FF.FF.FF.FF.FF", "MacAddrEdit holds the broadcast MAC");
  for (const auto& [c, visible] : std::initializer_list<std::pair<Control, bool>>{
           {Control::UpfwBox, false},
           {Control::AdapterLabel, false},
           {Control::AdapterBox, false},
           {Control::FileEdit, false},
           {Control::FileEdit2, false},
           {Control::MacAddrEdit, false},
           {Control::SearchFwBtn, false},
           {Control::ConnectBtn, false},
           {Control::UpdateFwBtn, true},
           {Control::AbortBtn, true},
           {Control::MsgEdit, true},
       }) {
    Check(w.Visible(c) == visible, std::string(ControlName(c)) + (visible ? " shown" : " hidden"));
  }
  CheckStates(w, "at start", {{Control::UpdateFwBtn, true}, {Control::AbortBtn, false}, {Control::IpAddrEdit, true}});
  Check(w.Progress() == 0, "bar at 0");
  Check(w.OuterHeight() == 350, "outer height " + std::to_string(w.OuterHeight()));
  Check(w.Top(Control::UpdatePanel) == 50, "Panel1 top " + std::to_string(w.Top(Control::UpdatePanel)));
  const auto log = w.Log();
  const std::vector<std::string> wanted{"Sub firmware : " + std::string(kSubFileName),
                                        "Press \"Update Firmware\" button to startup..."};
  Check(log == wanted, "log after the search: " + std::to_string(log.size()) + " lines, as expected");
  for (const auto& line : log) std::printf("  log: %s\n", line.c_str());
  const LONG style = GetWindowLongA(w[Control::MsgEdit], GWL_STYLE);
  Check((style & ES_READONLY) && (style & WS_VSCROLL) && !(style & WS_TABSTOP),
        "MsgEdit read-only, scroll bar, no Tab");
  const LONG frame = GetWindowLongA(w.main(), GWL_STYLE);
  Check((frame & WS_MINIMIZEBOX) && !(frame & WS_MAXIMIZEBOX) && !(frame & WS_THICKFRAME),
        "fixed border, minimise and no maximise");
  CheckNothingCut(w, "at start");
  return LayoutOf(w);
}

// Settings > Advance mode: a wrong password is refused with a box, the right one shows the
// adapter row; Settings > Normal mode takes it away again.
DialogSizes CheckAdvanceMode(const Window& w, DWORD pid) {
  DialogSizes sizes;
  w.Menu(Control::AdvanceModeItem);
  std::vector<HWND> dialogs;
  WaitFor(5000, [&] { return !(dialogs = TopWindows(pid, names::kPasswordFormClass)).empty(); });
  if (dialogs.empty()) {
    Check(false, "password dialog shown");
    return sizes;
  }
  HWND dialog = dialogs.front();
  Check(TextOf(dialog) == "Advance mode", "password dialog captioned \"" + TextOf(dialog) + "\"");
  Check(!IsWindowEnabled(w.main()), "main window disabled under the dialog");
  RECT client;
  GetClientRect(dialog, &client);
  Check(client.right == 280 && client.bottom == 108, "dialog client 280 x 108");
  sizes.client = SIZE{client.right, client.bottom};
  auto controls = NamedControls(dialog);
  HWND edit = controls["Edit1"];
  HWND ok = controls["Button1"];
  if (!edit || !ok || !controls["Button2"] || !controls["StaticText1"]) {
    Check(false, "dialog controls Edit1, Button1, Button2, StaticText1");
    return sizes;
  }
  Check(TextOf(edit).empty(), "Edit1 empty");
  Check((GetWindowLongA(edit, GWL_STYLE) & ES_PASSWORD) && Ask(edit, EM_GETPASSWORDCHAR) == '*', "Edit1 shows '*'");
  Check(TextOf(controls["Button2"]) == "Cancel" && TextOf(ok) == "OK", "buttons OK and Cancel");

  // Upper case is another password.
  Ask(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("LANTERNS"));
  PostMessageA(ok, BM_CLICK, 0, 0);
  const Box refused = WaitForBox(pid, 5000);
  Check(refused.caption == "Updater for Tessaly" && refused.text == "Invalid Password",
        "wrong password: box \"" + refused.caption + "\" / \"" + refused.text + "\"");
  RECT boxRect{};
  if (refused.hwnd) GetWindowRect(refused.hwnd, &boxRect);
  sizes.box = SIZE{boxRect.right - boxRect.left, boxRect.bottom - boxRect.top};
  if (refused.hwnd) PostMessageA(refused.hwnd, WM_COMMAND, IDOK, 0);
  Check(refused.hwnd && WaitGone(refused.hwnd, 5000), "box dismissed");
  Check(IsWindow(dialog) && TextOf(edit) == "LANTERNS", "dialog stays open with the typed text");

  Ask(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("lanterns"));
  PostMessageA(ok, BM_CLICK, 0, 0);
  Check(WaitGone(dialog, 5000), "right password closes the dialog");
  // The handler runs on the window's thread: wait for the whole layout, then look.
  WaitFor(5000, [&] { return w.OuterHeight() == 385 && w.Visible(Control::AdapterBox); });
  Check(w.Visible(Control::AdapterBox) && w.Visible(Control::AdapterLabel), "adapter row shown");
  Check(w.Visible(Control::UpfwBox) && w.Checked(Control::UpfwBox), "UpfwBox shown and checked");
  const int wideHeight = w.OuterHeight();
  const int wideTop = w.Top(Control::UpdatePanel);
  Check(wideHeight == 385 && wideTop == 80,
        "with adapter: height " + std::to_string(wideHeight) + ", Panel1 top " + std::to_string(wideTop));
  Check(IsWindowEnabled(w.main()) != FALSE, "main window enabled again");
  CheckNothingCut(w, "with adapter");
  // Wine lists no loopback adapter, and the namespace has no other: an empty list, no selection.
  const auto count = static_cast<int>(Ask(w[Control::AdapterBox], CB_GETCOUNT));
  const auto selected = static_cast<int>(Ask(w[Control::AdapterBox], CB_GETCURSEL));
  Check(selected == (count > 0 ? 0 : CB_ERR),
        "adapter list: " + std::to_string(count) + " items, selected " + std::to_string(selected));

  w.Menu(Control::NormalModeItem);
  WaitFor(5000, [&] { return w.OuterHeight() == 350 && !w.Visible(Control::UpfwBox); });
  const int height = w.OuterHeight();
  const int top = w.Top(Control::UpdatePanel);
  Check(!w.Visible(Control::UpfwBox) && !w.Checked(Control::UpfwBox), "Normal mode hides and clears UpfwBox");
  Check(!w.Visible(Control::AdapterBox) && height == 350 && top == 50,
        "compact again: height " + std::to_string(height) + ", Panel1 top " + std::to_string(top));
  return sizes;
}

void SetRegistryText(HKEY root, const char* key, const char* name, const char* value) {
  HKEY h = nullptr;
  if (RegCreateKeyExA(root, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr) != ERROR_SUCCESS) {
    Fatal(std::string("cannot open ") + key);
  }
  RegSetValueExA(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), static_cast<DWORD>(std::strlen(value) + 1));
  RegCloseKey(h);
}

// The test machine's Wine: no window manager draws the caption on the virtual display, so
// Wine draws it; and its only Big5 font has no Latin letters, which a Windows PC's have, so
// the log's Big5 "MS Sans Serif" is mapped to a Big5 font that has them (when installed).
void SetRegistryNumber(HKEY root, const char* key, const char* name, DWORD value) {
  HKEY h = nullptr;
  if (RegCreateKeyExA(root, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr) != ERROR_SUCCESS) {
    Fatal(std::string("cannot open ") + key);
  }
  RegSetValueExA(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  RegCloseKey(h);
}

// Wine's display scale, read by each program as it starts.
void SetDisplayDpi(DWORD dpi) { SetRegistryNumber(HKEY_CURRENT_USER, "Control Panel\\Desktop", "LogPixels", dpi); }

void PrepareWine() {
  SetDisplayDpi(96);  // also after a run that was killed at 144
  SetRegistryText(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\tessaly-updater.exe\\X11 Driver", "Decorated", "N");
  SetRegistryText(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes",
                  "MS Sans Serif,136", "WenQuanYi Micro Hei,136");
}

std::string Arg(int argc, char** argv, const char* name, const char* def = nullptr) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  }
  if (!def) Fatal(std::string("missing ") + name);
  return def;
}

// A running updater, ended with the driver if it is still there.
class Updater {
 public:
  Updater(const std::string& exe, const std::string& workdir) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    std::string commandLine = "\"" + exe + "\"";
    if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, workdir.c_str(), &si,
                        &pi_)) {
      Fatal("cannot start " + exe);
    }
  }
  ~Updater() {
    if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi_.hProcess, 99);
    CloseHandle(pi_.hThread);
    CloseHandle(pi_.hProcess);
  }
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  DWORD pid() const { return pi_.dwProcessId; }
  HANDLE process() const { return pi_.hProcess; }
  HWND WaitForMainWindow() const {
    std::vector<HWND> mains;
    if (!WaitFor(20000, [&] { return !(mains = TopWindows(pid(), names::kMainWindowClass)).empty(); })) {
      Fatal("the main window did not appear");
    }
    return mains.front();
  }
  // Idle: WM_CLOSE closes at once and the program returns 0.
  void CheckClosesIdle(HWND main, const std::string& when) const {
    PostMessageA(main, WM_CLOSE, 0, 0);
    const bool exited = WaitForSingleObject(pi_.hProcess, 15000) == WAIT_OBJECT_0;
    DWORD code = 1;
    if (exited) GetExitCodeProcess(pi_.hProcess, &code);
    Check(exited && code == 0, when + ": closed without a question, exit status " + std::to_string(code));
    Check(FindBox(pid()).hwnd == nullptr, when + ": no box left open");
  }

 private:
  PROCESS_INFORMATION pi_{};
};

bool Near(long got, long want, long slack) { return got >= want - slack && got <= want + slack; }

// The controls of `now` that are not where `at96`'s are at `dpi`, listed; empty when all are.
std::string Misplaced(const Window& w, const Layout& at96, const Layout& now, int dpi) {
  auto scaled = [dpi](long v) { return static_cast<long>(MulDiv(static_cast<int>(v), dpi, 96)); };
  std::string misplaced;
  for (const auto& [name, r96] : at96.controls) {
    const auto it = now.controls.find(name);
    if (it == now.controls.end()) {
      misplaced += " " + name + " hidden";
      continue;
    }
    const RECT& r = it->second;
    // Labels grow to their text, whose width need not scale exactly.
    const bool label = _stricmp(ClassOf(w.Controls().at(name)).c_str(), "Static") == 0;
    if (!Near(r.left, scaled(r96.left), 2) || !Near(r.top, scaled(r96.top), 2) ||
        !Near(r.bottom - r.top, scaled(r96.bottom - r96.top), 2) ||
        (!label && !Near(r.right - r.left, scaled(r96.right - r96.left), 2))) {
      misplaced += " " + name + " " + Describe(r) + " (96 dpi: " + Describe(r96) + ")";
    }
  }
  return misplaced;
}

// WM_DPICHANGED as Windows sends it when the window moves to a monitor of another scale:
// the suggested rectangle in the updater's own memory.
bool SendDpiChanged(HANDLE process, HWND main, UINT dpi, const RECT& suggested) {
  void* remote = VirtualAllocEx(process, nullptr, sizeof suggested, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (!remote) return false;
  DWORD_PTR result = 0;
  const bool sent = WriteProcessMemory(process, remote, &suggested, sizeof suggested, nullptr) &&
                    SendMessageTimeoutA(main, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(remote),
                                        SMTO_ABORTIFHUNG, 5000, &result) != 0;
  VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  return sent;
}

// A move to a monitor at 144 dpi and back: every control 1.5 times its place there, in the
// suggested rectangle, and exactly where it was once back at 96.
void CheckDpiChange(const Window& w, HANDLE process, const Layout& at96) {
  RECT outer;
  GetWindowRect(w.main(), &outer);
  const RECT larger{outer.left, outer.top, outer.left + MulDiv(outer.right - outer.left, 3, 2),
                    outer.top + MulDiv(outer.bottom - outer.top, 3, 2)};
  Check(SendDpiChanged(process, w.main(), 144, larger), "WM_DPICHANGED to 144 dpi sent");
  RECT now;
  GetWindowRect(w.main(), &now);
  Check(EqualRect(&now, &larger) != FALSE, "moved to 144 dpi: the suggested rectangle " + Describe(now));
  const std::string misplaced = Misplaced(w, at96, LayoutOf(w), 144);
  Check(misplaced.empty(), "moved to 144 dpi: every control 1.5 times its place" + misplaced);
  Check(SendDpiChanged(process, w.main(), 96, outer), "WM_DPICHANGED back to 96 dpi sent");
  const Layout back = LayoutOf(w);
  bool same = back.controls.size() == at96.controls.size();
  for (const auto& [name, r] : at96.controls) {
    const auto it = back.controls.find(name);
    same = same && it != back.controls.end() && EqualRect(&it->second, &r);
  }
  Check(same && EqualRect(&back.client, &at96.client), "back at 96 dpi: every control where it was");
}

// The window started afresh at 144 dpi: everything 1.5 times its size at 96 (`at96`),
// nothing cut off, the password dialog and its box in proportion; then a screenshot.
void CheckAt144(const std::string& exe, const std::string& workdir, const Layout& at96, const DialogSizes& dialog96,
                const std::string& screenshot) {
  constexpr int kDpi = 144;
  SetDisplayDpi(kDpi);
  struct Reset {
    ~Reset() { SetDisplayDpi(96); }
  } reset;
  auto scaled = [](long v) { return static_cast<long>(MulDiv(static_cast<int>(v), kDpi, 96)); };

  const Updater u(exe, workdir);
  const Window w(u.WaitForMainWindow());
  WaitFor(5000, [&] { return w.Log().size() >= 2; });
  // Wine answers GetDpiForWindow with the asking process's scale: the sizes tell instead.
  std::printf("  at 144 dpi: GetDpiForWindow says %u here\n", DpiOf(w.main()));
  const Layout now = LayoutOf(w);
  Check(now.client.right == scaled(at96.client.right) && Near(now.client.bottom, scaled(at96.client.bottom), 2),
        "at 144 dpi: client " + Describe(now.client) + ", 1.5 x " + Describe(at96.client));
  const std::string misplaced = Misplaced(w, at96, now, kDpi);
  Check(misplaced.empty(), "at 144 dpi: every control 1.5 times its place at 96" + misplaced);
  CheckNothingCut(w, "at 144 dpi");

  // The password dialog, and the box it brings, in proportion.
  w.Menu(Control::AdvanceModeItem);
  std::vector<HWND> dialogs;
  WaitFor(5000, [&] { return !(dialogs = TopWindows(u.pid(), names::kPasswordFormClass)).empty(); });
  if (dialogs.empty()) {
    Check(false, "at 144 dpi: password dialog shown");
  } else {
    HWND dialog = dialogs.front();
    RECT client;
    GetClientRect(dialog, &client);
    Check(client.right == scaled(dialog96.client.cx) && client.bottom == scaled(dialog96.client.cy),
          "at 144 dpi: dialog client " + Describe(client));
    auto controls = NamedControls(dialog);
    std::string cut;
    for (const auto& [name, h] : controls) {
      const RECT r = InParent(h);
      if (r.right > client.right || r.bottom > client.bottom) cut += " " + name + " " + Describe(r);
    }
    Check(controls.size() == 4 && cut.empty(), "at 144 dpi: the dialog's 4 controls inside it" + cut);
    Ask(controls["Edit1"], WM_SETTEXT, 0, reinterpret_cast<LPARAM>("LANTERNS"));
    PostMessageA(controls["Button1"], BM_CLICK, 0, 0);
    const Box refused = WaitForBox(u.pid(), 5000);
    RECT box{};
    if (refused.hwnd) GetWindowRect(refused.hwnd, &box);
    // The system's box: its text and buttons grow with the system font, not exactly.
    const double ratio = dialog96.box.cx > 0 ? static_cast<double>(box.right - box.left) / dialog96.box.cx : 0;
    Check(refused.text == "Invalid Password" && ratio > 1.3 && ratio < 1.7,
          "at 144 dpi: the box " + Describe(box) + ", " + std::to_string(ratio) + " times as wide");
    if (refused.hwnd) PostMessageA(refused.hwnd, WM_COMMAND, IDOK, 0);
    Check(refused.hwnd && WaitGone(refused.hwnd, 5000), "at 144 dpi: box dismissed");
    PostMessageA(controls["Button2"], BM_CLICK, 0, 0);
    Check(WaitGone(dialog, 5000), "at 144 dpi: Cancel closes the dialog");
  }

  const Shot shot = Screenshot(w, screenshot);
  Check(shot.saved && shot.bluePixels > 50,
        "at 144 dpi: screenshot with the log's lines (" + std::to_string(shot.bluePixels) + " blue pixels)");
  u.CheckClosesIdle(w.main(), "at 144 dpi");
}

}  // namespace

constexpr const char* kSettingsKey = "Software\\Tessaly\\Updater";

int main(int argc, char** argv) {
  const std::string updater = Arg(argc, argv, "--updater");
  const std::string workdir = Arg(argc, argv, "--workdir");
  const std::string projector = Arg(argc, argv, "--projector");
  const std::string screenshot = Arg(argc, argv, "--screenshot");
  const auto timeoutMs = static_cast<DWORD>(std::stoul(Arg(argc, argv, "--timeout-ms", "60000")));

  BeDpiAware();
  // Where the updater keeps the address: the user's registry (win.ini only where that has none).
  if (RegSetKeyValueA(HKEY_CURRENT_USER, kSettingsKey, "IP Address", REG_SZ, projector.c_str(),
                      static_cast<DWORD>(projector.size() + 1)) != ERROR_SUCCESS) {
    Fatal("RegSetKeyValueA");
  }
  PrepareWine();

  Layout at96;
  DialogSizes dialog96;
  {
    const Updater u(updater, workdir);
    const Window w(u.WaitForMainWindow());
    // The search has logged its last line once the window is shown.
    WaitFor(5000, [&] { return w.Log().size() >= 2; });
    at96 = CheckStartUp(w, projector);
    CheckDpiChange(w, u.process(), at96);
    dialog96 = CheckAdvanceMode(w, u.pid());

    // The update: Abort comes on, the bar climbs to 100 and the last line is the success.
    w.Click(Control::UpdateFwBtn);
    // The window's thread sets the states one by one: wait for the last, then look at all.
    Check(WaitFor(10000, [&] { return w.Enabled(Control::AbortBtn) && !w.Enabled(Control::AdapterBox); }),
          "Abort enabled once the update starts");
    CheckStates(w, "during the update",
                {{Control::UpdateFwBtn, false}, {Control::IpAddrEdit, false}, {Control::UpfwBox, false}});

    // Abort while firmware is being written asks first; Escape answers No and the update
    // goes on.
    Check(WaitFor(timeoutMs, [&] { return w.Progress() > 0; }), "bar moves");
    w.Click(Control::AbortBtn);
    const Box abort = WaitForBox(u.pid(), 5000);
    Check(abort.caption == "Confirm" && abort.text.find("Firmware updating in progress.") == 0 &&
              abort.text.find("abort") != std::string::npos,
          "Abort asks: \"" + abort.caption + "\" / \"" + abort.text + "\"");
    if (abort.hwnd) PressEscape(abort.hwnd);
    Check(abort.hwnd && WaitGone(abort.hwnd, 5000), "Escape answers the Abort question");
    Check(w.Enabled(Control::AbortBtn) && !Contains(w.Log(), "User abort update....."),
          "the update goes on after Escape");

    // Closing asks too; the question's own close button is No: the window and the update stay.
    PostMessageA(w.main(), WM_CLOSE, 0, 0);
    const Box confirm = WaitForBox(u.pid(), 5000);
    Check(confirm.caption == "Confirm" && confirm.text.find("Firmware updating in progress.") == 0,
          "close asks: \"" + confirm.caption + "\" / \"" + confirm.text + "\"");
    if (confirm.hwnd) PostMessageA(confirm.hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    Check(confirm.hwnd && WaitGone(confirm.hwnd, 5000), "the question's close button answers it");
    Check(IsWindow(w.main()) && WaitForSingleObject(u.process(), 0) == WAIT_TIMEOUT, "window stays after No");

    int last = 0;
    bool monotonic = true;
    const bool finished = WaitFor(timeoutMs, [&] {
      const int p = w.Progress();
      if (p < last) monotonic = false;
      last = p;
      const auto log = w.Log();
      return p == 100 && !log.empty() && log.back() == "Updated Sub Firmware has succeeded.";
    });
    const auto log = w.Log();
    for (const auto& line : log) std::printf("  log: %s\n", line.c_str());
    Check(finished, "bar at 100 and the last line \"Updated Sub Firmware has succeeded.\"");
    Check(monotonic, "the bar never went back");
    Check(w.Text(Control::PercentText) == "100%", "PercentText reads \"" + w.Text(Control::PercentText) + "\"");
    Check(!Contains(log, "Not found any firmware file"), "no search failure in the log");
    // One display line per log line: the long file name runs on rather than wrapping, and
    // only the vertical scroll bar is there.
    const auto displayLines = static_cast<std::size_t>(Ask(w[Control::MsgEdit], EM_GETLINECOUNT));
    Check(displayLines == log.size(),
          std::to_string(log.size()) + " log lines on " + std::to_string(displayLines) + " display lines");
    const LONG logStyle = GetWindowLongA(w[Control::MsgEdit], GWL_STYLE);
    Check((logStyle & WS_VSCROLL) && !(logStyle & WS_HSCROLL), "log: vertical scroll bar only");

    Check(WaitFor(10000, [&] { return w.Enabled(Control::UpdateFwBtn) && w.Enabled(Control::AdapterBox); }),
          "Update Firmware enabled again");
    CheckStates(w, "after the update",
                {{Control::AbortBtn, false}, {Control::IpAddrEdit, true}, {Control::UpfwBox, true}});
    // The picture of a successful update, the one an operator sees most.
    const Shot success = Screenshot(w, screenshot.substr(0, screenshot.rfind('.')) + "-success.bmp");
    Check(success.saved && success.bluePixels > 50 && success.redPixels == 0 && success.barFilled > 0.9,
          "after the update: blue lines only, the bar filled (" + std::to_string(success.redPixels) + " red pixels)");
    char remembered[128] = {};
    DWORD rememberedSize = sizeof remembered;
    RegGetValueA(HKEY_CURRENT_USER, kSettingsKey, "IP Address", RRF_RT_REG_SZ, nullptr, remembered, &rememberedSize);
    Check(projector == remembered, "the address stays remembered");

    // A second update from the same window: the log grows past its box, and the box
    // follows its newest line.
    w.Click(Control::UpdateFwBtn);
    const bool again = WaitFor(timeoutMs, [&] {
      const auto lines = w.Log();
      return lines.size() >= 2 * log.size() - 2 && lines.back() == "Updated Sub Firmware has succeeded." &&
             w.Enabled(Control::UpdateFwBtn);
    });
    const auto lines = w.Log();
    Check(again, "a second update succeeds: " + std::to_string(lines.size()) + " log lines");
    const auto first = static_cast<std::size_t>(Ask(w[Control::MsgEdit], EM_GETFIRSTVISIBLELINE));
    // The box holds at most ten lines of this font.
    Check(first > 0 && first + 10 >= lines.size(),
          "the log shows its newest line (first visible line " + std::to_string(first) + ")");

    // A third update with an image for another model: refused with an error line, in red
    // below the blue ones.
    const std::string image = workdir + "\\" + kSubFileName;
    if (FILE* f = std::fopen(image.c_str(), "r+b")) {
      std::fseek(f, 9, SEEK_SET);  // the model code byte
      std::fputc(0x0B, f);
      std::fclose(f);
    }
    w.Click(Control::UpdateFwBtn);
    const std::string mismatch = "This Sub firmware model doesn't match to QRN model";
    const bool refusedModel = WaitFor(timeoutMs, [&] {
      const auto now = w.Log();
      return now.size() > lines.size() && now.back() == mismatch && w.Enabled(Control::UpdateFwBtn);
    });
    Check(refusedModel, "an image for another model: \"" + w.Log().back() + "\"");

    const Shot shot = Screenshot(w, screenshot);
    Check(shot.saved, "screenshot saved to " + screenshot);
    Check(shot.bluePixels > 50, "blue log text on screen (" + std::to_string(shot.bluePixels) + " pixels)");
    Check(shot.redPixels > 50 && shot.lowestRed > shot.lowestBlue,
          "red log text below it (" + std::to_string(shot.redPixels) + " pixels, lowest rows " +
              std::to_string(shot.lowestRed) + " and " + std::to_string(shot.lowestBlue) + ")");
    Check(shot.barFilled > 0.6, "bar drawn filled (" + std::to_string(static_cast<int>(shot.barFilled * 100)) + "%)");

    u.CheckClosesIdle(w.main(), "idle");
  }

  CheckAt144(updater, workdir, at96, dialog96, screenshot.substr(0, screenshot.rfind('.')) + "-144dpi.bmp");

  std::printf("%s: %d failed\n", failures == 0 ? "PASS" : "FAIL", failures);
  return failures == 0 ? 0 : 1;
}
