#include "win32/password_form.h"

#include <algorithm>

#include "app/view.h"
#include "win32/sorvi_window.h"
#include "win32/window_names.h"

namespace tessaly::win32 {

namespace {

constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME;
constexpr int kClientWidth = 280;
constexpr int kClientHeight = 108;

// Not IDOK and IDCANCEL: the dialog manager sends those for Enter and Escape, which this
// dialog does not answer.
constexpr int kEditId = 101;
constexpr int kOkId = 102;
constexpr int kCancelId = 103;

struct FormState {
  const std::function<bool(const std::string&)>* ok = nullptr;
  HWND edit = nullptr;
  int result = 0;  // 0 while the dialog is open
};

std::string EditText(HWND edit) {
  const int length = GetWindowTextLengthA(edit);
  std::string text(static_cast<std::size_t>(std::max(length, 0)) + 1, '\0');
  const int got = GetWindowTextA(edit, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(std::max(got, 0)));
  return text;
}

LRESULT CALLBACK PasswordFormProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    SetWindowLongPtrA(hwnd, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams));
  }
  auto* state = reinterpret_cast<FormState*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!state) return DefWindowProcA(hwnd, msg, wParam, lParam);
  switch (msg) {
    case WM_COMMAND:
      if (HIWORD(wParam) != BN_CLICKED) break;
      if (LOWORD(wParam) == kOkId) {
        const std::string typed = EditText(state->edit);
        Guarded(hwnd, [&] {
          if (*state->ok && (*state->ok)(typed)) state->result = kModalOk;
        });
      } else if (LOWORD(wParam) == kCancelId) {
        state->result = kModalCancel;
      }
      return 0;
    case WM_CLOSE:  // the title-bar close: Cancel; the caller destroys the window
      state->result = kModalCancel;
      return 0;
    case WM_NCDESTROY: SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0); break;
    default: break;
  }
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

// The place is the design's, in 96-dpi pixels.
HWND AddControl(HWND parent, HINSTANCE instance, UINT dpi, const char* cls, const char* text, DWORD style,
                DWORD exStyle, int id, const char* name, int left, int top, int width, int height) {
  HWND h = CreateWindowExA(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, ScaleToDpi(left, dpi),
                           ScaleToDpi(top, dpi), ScaleToDpi(width, dpi), ScaleToDpi(height, dpi), parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
  if (h) {
    SendMessageA(h, WM_SETFONT, reinterpret_cast<WPARAM>(ControlFont(dpi)), FALSE);
    SetControlName(h, name);
  }
  return h;
}

bool IsKeyOfDialog(const MSG& m, HWND dialog) { return m.hwnd == dialog || IsChild(dialog, m.hwnd); }

}  // namespace

bool RegisterPasswordFormClass(HINSTANCE instance) {
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &PasswordFormProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kPasswordFormClass;
  return RegisterClassExA(&wc) != 0;
}

int RunPasswordForm(HINSTANCE instance, HWND owner, UINT dpi, const std::function<bool(const std::string&)>& ok,
                    HWND& open) {
  FormState state;
  state.ok = &ok;

  const SIZE frame = FrameSize(kStyle, false, kExStyle, dpi);
  const int width = ScaleToDpi(kClientWidth, dpi) + frame.cx;
  const int height = ScaleToDpi(kClientHeight, dpi) + frame.cy;
  RECT ownerRect{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  if (owner) GetWindowRect(owner, &ownerRect);
  const int left = ownerRect.left + (ownerRect.right - ownerRect.left - width) / 2;
  const int top = ownerRect.top + (ownerRect.bottom - ownerRect.top - height) / 2;

  HWND dialog = CreateWindowExA(kExStyle, kPasswordFormClass, "Advance mode", kStyle, left, top, width, height, owner,
                                nullptr, instance, &state);
  if (!dialog) return kModalCancel;
  AddControl(dialog, instance, dpi, "STATIC", "Password for Advance mode", SS_LEFT | SS_NOPREFIX, 0, -1, "StaticText1",
             52, 14, 177, 20);
  // Edit1 first in the tab order: it has the focus when the dialog opens.
  state.edit = AddControl(dialog, instance, dpi, "EDIT", "", ES_PASSWORD | ES_AUTOHSCROLL | WS_TABSTOP,
                          WS_EX_CLIENTEDGE, kEditId, "Edit1", 52, 40, 179, 24);
  SendMessageA(state.edit, EM_SETPASSWORDCHAR, '*', 0);
  AddControl(dialog, instance, dpi, "BUTTON", "OK", BS_PUSHBUTTON | WS_TABSTOP, 0, kOkId, "Button1", 60, 72, 75, 25);
  AddControl(dialog, instance, dpi, "BUTTON", "Cancel", BS_PUSHBUTTON | WS_TABSTOP, 0, kCancelId, "Button2", 150, 72,
             75, 25);

  if (owner) EnableWindow(owner, FALSE);
  open = dialog;
  ShowWindow(dialog, SW_SHOW);
  SetFocus(state.edit);

  while (state.result == 0) {
    if (!IsWindow(dialog)) {  // destroyed with its owner
      state.result = kModalCancel;
      break;
    }
    MSG m;
    const BOOL got = GetMessageA(&m, nullptr, 0, 0);
    if (got == 0 || got == -1) {
      if (got == 0) PostQuitMessage(static_cast<int>(m.wParam));  // for the loop that owns it
      state.result = kModalCancel;
      break;
    }
    // Neither Enter nor Escape is bound to a button here.
    if ((m.message == WM_KEYDOWN || m.message == WM_KEYUP || m.message == WM_CHAR) &&
        (m.wParam == VK_RETURN || m.wParam == VK_ESCAPE) && IsKeyOfDialog(m, dialog)) {
      continue;
    }
    if (IsDialogMessageA(dialog, &m)) continue;  // Tab between the controls
    TranslateMessage(&m);
    DispatchMessageA(&m);
  }

  open = nullptr;
  // The owner comes back before the dialog goes, so that it is the window activated next.
  if (owner) EnableWindow(owner, TRUE);
  if (IsWindow(dialog)) {
    ClearControlNames(dialog);
    DestroyWindow(dialog);
  }
  return state.result;
}

}  // namespace tessaly::win32
