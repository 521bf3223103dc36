// tessaly-update: the updater without a window, for scripts and service laptops.

#include <cstdio>

#include "cli/cli_options.h"
#include "cli/cli_run.h"
#include "cli/console.h"
#include "platform/escape_controls.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  tessaly::cli::CliOptions options;
  std::string error;
  if (!tessaly::cli::ParseCliOptions(args, options, error)) {
    // The error may quote an argument as typed: shown, never obeyed.
    std::fprintf(stderr, "tessaly-update: %s\n\n%s", tessaly::EscapeControls(error).c_str(), tessaly::cli::CliUsage());
    return 2;
  }
  if (options.help) {
    std::fputs(tessaly::cli::CliUsage(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("tessaly-update %s\n", TESSALY_VERSION);
    return 0;
  }
  return tessaly::cli::RunUpdate(options, stdout, tessaly::cli::PrepareTerminalOutput());
}
