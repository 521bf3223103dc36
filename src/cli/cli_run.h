#pragma once

#include <cstdio>

#include "cli/cli_options.h"

namespace tessaly::cli {

// One update as the options say; returns the exit status (0, 1 or 2). SIGINT and
// SIGTERM are the Abort button meanwhile.
int RunUpdate(const CliOptions& options, std::FILE* out, bool terminal);

}  // namespace tessaly::cli
