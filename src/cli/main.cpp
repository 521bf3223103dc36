// tessaly-update: the updater without a window, for scripts and service laptops.

#include <cstdio>

#include "app/update_core.h"
#include "cli/cli_options.h"
#include "cli/cli_run.h"
#include "cli/console.h"
#include "platform/escape_controls.h"
#include "platform/firewall.h"

namespace {

// The installer's steps, not in --help: the inbound rules for both programs of this
// folder, added on install and taken away on removal. Where there is no firewall service
// to take them (Wine, Linux) there is nothing to do.
int ChangeFirewallRules(bool add) {
  std::string why;
  const tessaly::FirewallRulesResult result =
      add ? tessaly::AddFirewallRules({"tessaly-updater.exe", "tessaly-update.exe"},
                                      tessaly::UpdateCore::BootLoaderPorts(tessaly::UpdaterSettings{}), why)
          : tessaly::RemoveFirewallRules(why);
  if (result != tessaly::FirewallRulesResult::Failed) return 0;
  std::fprintf(stderr, "tessaly-update: %s\n", why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--add-firewall-rules" || args[0] == "--remove-firewall-rules")) {
    return ChangeFirewallRules(args[0] == "--add-firewall-rules");
  }
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
