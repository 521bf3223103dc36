#include <unistd.h>

#include "cli/console.h"

namespace tessaly::cli {

bool PrepareTerminalOutput() { return ::isatty(STDOUT_FILENO) != 0; }

}  // namespace tessaly::cli
