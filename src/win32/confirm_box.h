#pragma once
// The Yes/No question box: Yes is the default button; Escape and the title bar's close
// answer No, which a Yes/No MessageBox does not allow.

#include <windows.h>

#include <string>

namespace tessaly::win32 {

enum class YesNo { Yes, No, Failed };

// Modal over `owner`. A task dialog where the common controls 6 have one (the manifest asks
// for them), else the system's Yes/No box with the same text, caption and default.
YesNo AskYesNo(HWND owner, const std::string& text, const char* caption);

}  // namespace tessaly::win32
