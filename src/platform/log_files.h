#pragma once
// What the saved log needs of the system: the user's folder for it, new files in it, and
// local time.

#include <cstdio>
#include <ctime>
#include <string>

namespace tessaly {

// Linux: $XDG_STATE_HOME/tessaly/logs, by default ~/.local/state/tessaly/logs.
// Windows: %LOCALAPPDATA%\Tessaly\logs. Empty when the system names no such place.
std::string UserLogFolder();

// Creates `path` for writing only if nothing has that name yet: a file, a folder or a
// symbolic link (dangling or not) planted there is never followed or overwritten. Null
// when it cannot, with the errno value in `error` (EEXIST: the name is taken).
std::FILE* CreateNewFile(const std::string& path, int& error);

// The local calendar time of `t`; false when the system cannot tell.
bool LocalTime(std::time_t t, std::tm& out);

}  // namespace tessaly
