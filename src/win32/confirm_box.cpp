#include "win32/confirm_box.h"

#include <commctrl.h>

namespace tessaly::win32 {

namespace {

using TaskDialogIndirectFn = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);

// The loaded common controls' TaskDialogIndirect: version 6 only, so absent without the
// manifest and on systems before Vista.
TaskDialogIndirectFn TaskDialogFunction() {
  HMODULE comctl = GetModuleHandleA("comctl32.dll");
  if (!comctl) return nullptr;
  return reinterpret_cast<TaskDialogIndirectFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(comctl, "TaskDialogIndirect")));
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

// Escape comes as IDCANCEL and the title bar's close as WM_CLOSE: each is the No button's
// click, whatever the dialog would make of a cancel.
LRESULT CALLBACK CancelIsNo(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
  if ((msg == WM_COMMAND && LOWORD(wParam) == IDCANCEL) || msg == WM_CLOSE) {
    SendMessageW(hwnd, TDM_CLICK_BUTTON, IDNO, 0);
    return 0;
  }
  return DefSubclassProc(hwnd, msg, wParam, lParam);
}

HRESULT CALLBACK OnTaskDialog(HWND hwnd, UINT notification, WPARAM, LPARAM, LONG_PTR) {
  if (notification == TDN_CREATED) SetWindowSubclass(hwnd, &CancelIsNo, 1, 0);
  if (notification == TDN_DESTROYED) RemoveWindowSubclass(hwnd, &CancelIsNo, 1);
  return S_OK;
}

}  // namespace

YesNo AskYesNo(HWND owner, const std::string& text, const char* caption) {
  if (TaskDialogIndirectFn taskDialog = TaskDialogFunction()) {
    const std::wstring content = Wide(text);
    const std::wstring title = Wide(caption);
    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof config;
    config.hwndParent = owner;
    config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_USE_HICON_MAIN | TDF_POSITION_RELATIVE_TO_WINDOW;
    config.dwCommonButtons = TDCBF_YES_BUTTON | TDCBF_NO_BUTTON;
    config.pszWindowTitle = title.c_str();
    config.hMainIcon = LoadIcon(nullptr, IDI_QUESTION);
    config.pszContent = content.c_str();
    config.nDefaultButton = IDYES;
    config.pfCallback = &OnTaskDialog;
    int button = 0;
    if (SUCCEEDED(taskDialog(&config, &button, nullptr, nullptr))) {
      if (button == IDYES) return YesNo::Yes;
      if (button == IDNO || button == IDCANCEL) return YesNo::No;
      return YesNo::Failed;
    }
  }
  switch (MessageBoxA(owner, text.c_str(), caption, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON1)) {
    case IDYES: return YesNo::Yes;
    case IDNO: return YesNo::No;
    default: return YesNo::Failed;
  }
}

}  // namespace tessaly::win32
