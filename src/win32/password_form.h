#pragma once
// The "Advance mode" password dialog: a modal window of its own, made afresh for every
// request and destroyed when it ends.

#include <windows.h>

#include <functional>
#include <string>

namespace tessaly::win32 {

bool RegisterPasswordFormClass(HINSTANCE instance);

// Shows the dialog centred over `owner`, which stays disabled while it is open, and returns
// kModalOk or kModalCancel. `ok` runs on each press of OK with the typed text; true closes
// the dialog with kModalOk. Cancel and the title-bar close end it with kModalCancel.
// `open` holds the dialog's window while it is shown, so boxes can be owned by it. Its
// places and font are the design's at `dpi`, the owner's scale.
int RunPasswordForm(HINSTANCE instance, HWND owner, UINT dpi, const std::function<bool(const std::string&)>& ok,
                    HWND& open);

}  // namespace tessaly::win32
