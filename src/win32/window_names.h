#pragma once
// What another program needs to find the window and its controls: the window classes, the
// property that carries each control's form name, and the menu's command ids.

#include "app/view.h"

namespace tessaly::win32 {

constexpr const char* kMainWindowClass = "TessalySorviForm";
constexpr const char* kPanelClass = "TessalyPanel";
constexpr const char* kPasswordFormClass = "TessalyPasswordForm";

// Every control window carries this property; its value is a global atom whose name is the
// control's form name ("UpdateFwBtn", "MsgEdit", "Edit1", ...).
constexpr const char* kControlNameProp = "TessalyControlName";

// The program's icon in its resources (the build's .rc file): Explorer's and the window's.
constexpr int kProgramIconId = 1;

// WM_COMMAND ids: the child controls' and the menu items' (lParam 0).
constexpr int ControlId(Control c) { return 1000 + static_cast<int>(c); }
constexpr int MenuCommandId(Control c) { return 2000 + static_cast<int>(c); }

}  // namespace tessaly::win32
