#pragma once
// What the saved log needs of the system: the user's folder for it, and local time.

#include <ctime>
#include <string>

namespace tessaly {

// Linux: $XDG_STATE_HOME/tessaly/logs, by default ~/.local/state/tessaly/logs.
// Windows: %LOCALAPPDATA%\Tessaly\logs. Empty when the system names no such place.
std::string UserLogFolder();

// The local calendar time of `t`; false when the system cannot tell.
bool LocalTime(std::time_t t, std::tm& out);

}  // namespace tessaly
