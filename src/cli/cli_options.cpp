#include "cli/cli_options.h"

namespace tessaly::cli {

const char* CliUsage() {
  return "Usage: tessaly-update [--projector ADDR]... [--projectors FILE] [--main FILE] [--sub FILE]\n"
         "                      [--manual LOCAL_ADDR] [--yes] [--json]\n"
         "\n"
         "Updates the Main (*.bin) and Sub (*.brec2) firmware of Tessaly projectors.\n"
         "\n"
         "  --projector ADDR    a projector's IPv4 address (default: the one used last, else 192.168.0.2);\n"
         "                      give it again for more projectors\n"
         "  --projectors FILE   the projectors' addresses, one a line; blank lines and everything\n"
         "                      from '#' on are ignored. Both forms combine, in the order given\n"
         "  --main FILE         the Main firmware image to send\n"
         "  --sub FILE          the Sub firmware image to send\n"
         "                      with neither, the newest *.bin and *.brec2 of this folder are sent\n"
         "  --manual LOCAL_ADDR the projector was put into download mode by hand: serve the Main\n"
         "                      firmware at once on this PC address (one projector only), to\n"
         "                      the --projector address, which the BOOTP reply gives it\n"
         "  --yes               Ctrl-C aborts at once, also while firmware is being written\n"
         "  --json              events as JSON on standard output, one object a line; the\n"
         "                      readable lines go to standard error, without colours\n"
         "  --help, --version\n"
         "\n"
         "Several projectors are updated one after the other with the same files, each as a\n"
         "whole update; each line is then prefixed with the projector's address, e.g.\n"
         "\"[192.168.0.11] \", and a summary follows: address, Main and Sub result (succeeded,\n"
         "failed, aborted, skipped, not selected) and the time taken. Every address\n"
         "must then be a dotted IPv4 address, and the files must be readable, before the first\n"
         "projector starts. After each projector \"Log: PATH\" names its saved log. A projector\n"
         "whose Main firmware update fails after it was switched into download mode stops the\n"
         "run: its boot loader may still be waiting and would take the next one's firmware, so\n"
         "the projectors after it are skipped, and the summary says so.\n"
         "\n"
         "Ctrl-C is the Abort button. While firmware is being written it asks first: a second\n"
         "Ctrl-C within 5 seconds aborts. An abort skips the projectors not yet started.\n"
         "\n"
         "JSON events (\"event\" names the kind; \"unit\" counts projectors from 1):\n"
         "  unit_start  unit, units, address, main, sub (null when not sent)\n"
         "  log         unit, level (\"info\" or \"error\"), text\n"
         "  progress    unit, percent (each change of the shown value)\n"
         "  session     unit, state (\"began\" or \"ended\")\n"
         "  stage       unit, stage (\"main\" or \"sub\"), result (\"succeeded\" or \"failed\")\n"
         "  question    unit, text (asked by Ctrl-C while firmware is being written)\n"
         "  answer      unit, answer (\"yes\" or \"no\"), lapsed (true: no second Ctrl-C in time)\n"
         "  unit_end    unit, address, outcome (succeeded, failed, aborted, refused), main, sub,\n"
         "              exit_status, seconds, log (the saved log's path, or null)\n"
         "  summary     exit_status, units: unit, address, outcome (also skipped), main, sub,\n"
         "              seconds for each; stopped (why the rest was skipped, when a Main\n"
         "              stage failed after its switch); none when refused before the first\n"
         "              projector starts\n"
         "Log lines of the run's own, before any projector starts, have no unit. Texts are\n"
         "UTF-8: each byte of a file name, address or line that is not valid UTF-8 becomes\n"
         "U+FFFD; the exact bytes of such an address or file name follow in a field of the same\n"
         "name with \"_hex\" appended (address_hex, main_hex, sub_hex, log_hex), two hex\n"
         "digits a byte.\n"
         "\n"
         "Exit status: 0 every selected stage of every projector succeeded; 1 an update failed\n"
         "or was aborted, or a projector was skipped; 2 refused input (bad address, missing or\n"
         "unusable file, a Sub image of no known model beside a Main image, nothing to update,\n"
         "bad options).\n"
         "\n"
         "The UDP ports 67, 69 and 9 of the Main firmware stage need root or\n"
         "  setcap cap_net_bind_service=+ep tessaly-update\n";
}

bool ParseCliOptions(const std::vector<std::string>& args, CliOptions& o, std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inlineValue;
    if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    if (name == "--projector" || name == "--projectors") {
      // Repeatable: each adds to the list in its place.
      if (!inlineValue && i + 1 >= args.size()) {
        error = name + " needs a value";
        return false;
      }
      o.projectors.push_back({name == "--projectors", inlineValue ? *inlineValue : args[++i]});
      continue;
    }
    std::optional<std::string>* target = nullptr;
    if (name == "--main")
      target = &o.main;
    else if (name == "--sub")
      target = &o.sub;
    else if (name == "--manual")
      target = &o.manual;
    if (target) {
      if (target->has_value()) {
        error = name + " is given twice";
        return false;
      }
      if (inlineValue) {
        *target = *inlineValue;
      } else if (i + 1 < args.size()) {
        *target = args[++i];
      } else {
        error = name + " needs a value";
        return false;
      }
      continue;
    }
    if (inlineValue) {
      error = name + " takes no value";
      return false;
    }
    if (name == "--yes")
      o.yes = true;
    else if (name == "--json")
      o.json = true;
    else if (name == "--help" || name == "-h")
      o.help = true;
    else if (name == "--version")
      o.version = true;
    else {
      error = "unknown option " + args[i];
      return false;
    }
  }
  return true;
}

}  // namespace tessaly::cli
