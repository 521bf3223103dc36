#include <windows.h>

#include "cli/console.h"

namespace tessaly::cli {

bool PrepareTerminalOutput() {
  // A console, not merely a character device: _isatty also says yes for NUL.
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || !::GetConsoleMode(out, &mode)) return false;
  // File names come from the ANSI calls; the console shows the OEM code page unless told.
  ::SetConsoleOutputCP(::GetACP());
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  // Consoles before Windows 10 know no escape sequences: plain lines there.
  return ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != FALSE;
}

}  // namespace tessaly::cli
