#pragma once
// Outside text (file names, addresses, the projector's replies) on a terminal or in a log
// file: shown, never obeyed.

#include <string>
#include <string_view>

namespace tessaly {

// `text` as one line that shows every byte: C0 controls (newline included), DEL, the C1
// controls U+0080..U+009F and bytes that are not part of valid UTF-8 become \xNN (lower
// case; a C1 control by its code point). Other UTF-8 characters and backslashes stay.
// On Windows, where text is in the ANSI code page, only C0 controls and DEL are escaped.
std::string EscapeControls(std::string_view text);

}  // namespace tessaly
