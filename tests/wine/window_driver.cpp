// Drives tessaly-updater.exe from outside, as an operator would, and reads its controls:
// the start-up state and log, Advance mode through the password dialog and back, a refused
// close while firmware is being written, a whole Sub update against the simulator, the
// state after it, a screenshot, and the exit.
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
void CheckStartUp(const Window& w, const std::string& projector) {
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
}

// Settings > Advance mode: a wrong password is refused with a box, the right one shows the
// adapter row; Settings > Normal mode takes it away again.
void CheckAdvanceMode(const Window& w, DWORD pid) {
  w.Menu(Control::AdvanceModeItem);
  std::vector<HWND> dialogs;
  WaitFor(5000, [&] { return !(dialogs = TopWindows(pid, names::kPasswordFormClass)).empty(); });
  if (dialogs.empty()) {
    Check(false, "password dialog shown");
    return;
  }
  HWND dialog = dialogs.front();
  Check(TextOf(dialog) == "Advance mode", "password dialog captioned \"" + TextOf(dialog) + "\"");
  Check(!IsWindowEnabled(w.main()), "main window disabled under the dialog");
  RECT client;
  GetClientRect(dialog, &client);
  Check(client.right == 280 && client.bottom == 108, "dialog client 280 x 108");
  auto controls = NamedControls(dialog);
  HWND edit = controls["Edit1"];
  HWND ok = controls["Button1"];
  if (!edit || !ok || !controls["Button2"] || !controls["StaticText1"]) {
    Check(false, "dialog controls Edit1, Button1, Button2, StaticText1");
    return;
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
void PrepareWine() {
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

}  // namespace

constexpr const char* kSettingsKey = "Software\\Tessaly\\Updater";

int main(int argc, char** argv) {
  const std::string updater = Arg(argc, argv, "--updater");
  const std::string workdir = Arg(argc, argv, "--workdir");
  const std::string projector = Arg(argc, argv, "--projector");
  const std::string screenshot = Arg(argc, argv, "--screenshot");
  const auto timeoutMs = static_cast<DWORD>(std::stoul(Arg(argc, argv, "--timeout-ms", "60000")));

  // Where the updater keeps the address: the user's registry (win.ini only where that has none).
  if (RegSetKeyValueA(HKEY_CURRENT_USER, kSettingsKey, "IP Address", REG_SZ, projector.c_str(),
                      static_cast<DWORD>(projector.size() + 1)) != ERROR_SUCCESS) {
    Fatal("RegSetKeyValueA");
  }
  PrepareWine();

  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::string commandLine = "\"" + updater + "\"";
  if (!CreateProcessA(updater.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, workdir.c_str(), &si,
                      &pi)) {
    Fatal("cannot start " + updater);
  }
  // Whatever happens below, the updater does not outlive the driver.
  struct Reaper {
    PROCESS_INFORMATION& pi;
    ~Reaper() {
      if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi.hProcess, 99);
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
  } reaper{pi};

  std::vector<HWND> mains;
  if (!WaitFor(20000, [&] { return !(mains = TopWindows(pi.dwProcessId, names::kMainWindowClass)).empty(); })) {
    Fatal("the main window did not appear");
  }
  const Window w(mains.front());
  // The search has logged its last line once the window is shown.
  WaitFor(5000, [&] { return w.Log().size() >= 2; });
  CheckStartUp(w, projector);
  CheckAdvanceMode(w, pi.dwProcessId);

  // The update: Abort comes on, the bar climbs to 100 and the last line is the success.
  w.Click(Control::UpdateFwBtn);
  // The window's thread sets the states one by one: wait for the last, then look at all.
  Check(WaitFor(10000, [&] { return w.Enabled(Control::AbortBtn) && !w.Enabled(Control::AdapterBox); }),
        "Abort enabled once the update starts");
  CheckStates(w, "during the update",
              {{Control::UpdateFwBtn, false}, {Control::IpAddrEdit, false}, {Control::UpfwBox, false}});

  // Closing while firmware is being written asks first; No keeps the window and the update.
  Check(WaitFor(timeoutMs, [&] { return w.Progress() > 0; }), "bar moves");
  PostMessageA(w.main(), WM_CLOSE, 0, 0);
  const Box confirm = WaitForBox(pi.dwProcessId, 5000);
  Check(confirm.caption == "Confirm" && confirm.text.find("Firmware updating in progress.") == 0,
        "close asks: \"" + confirm.caption + "\" / \"" + confirm.text + "\"");
  if (confirm.hwnd) PostMessageA(confirm.hwnd, WM_COMMAND, IDNO, 0);
  Check(confirm.hwnd && WaitGone(confirm.hwnd, 5000), "question answered No");
  Check(IsWindow(w.main()) && WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT, "window stays after No");

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

  // Idle now: WM_CLOSE closes at once and the program returns 0.
  PostMessageA(w.main(), WM_CLOSE, 0, 0);
  const bool exited = WaitForSingleObject(pi.hProcess, 15000) == WAIT_OBJECT_0;
  DWORD code = 1;
  if (exited) GetExitCodeProcess(pi.hProcess, &code);
  Check(exited && code == 0, "closed without a question, exit status " + std::to_string(code));
  Check(FindBox(pi.dwProcessId).hwnd == nullptr, "no box left open");

  std::printf("%s: %d failed\n", failures == 0 ? "PASS" : "FAIL", failures);
  return failures == 0 ? 0 : 1;
}
