#include "cli/cli_options.h"

namespace tessaly::cli {

const char* CliUsage() {
  return "Usage: tessaly-update [--projector ADDR]... [--projectors FILE] [--main FILE] [--sub FILE]\n"
         "                      [--manual LOCAL_ADDR] [--parallel N] [--yes] [--json]\n"
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
         "  --parallel N        at most N projectors take their Sub firmware at once (default 16,\n"
         "                      at most 64); 1: one whole projector after the other\n"
         "  --yes               Ctrl-C aborts at once, also while firmware is being written\n"
         "  --json              events as JSON on standard output, one object a line; the\n"
         "                      readable lines go to standard error, without colours\n"
         "  --help, --version\n"
         "\n"
         "Several projectors are updated with the same files, each as a whole update; each line\n"
         "is then prefixed with the projector's address, e.g. \"[192.168.0.11] \", and a summary\n"
         "follows: address, Main and Sub result (succeeded, failed, aborted, skipped, not\n"
         "selected) and the time taken. Their Main firmware goes to one projector at a time, in\n"
         "the order given: every boot loader answers the same broadcasts. Once no Main firmware\n"
         "is left to send, the projectors take their Sub firmware side by side (--parallel),\n"
         "each no sooner than its restart wait after its Main firmware; no boot loader is woken\n"
         "meanwhile. Every address must be a dotted IPv4 address, and the files must be\n"
         "readable, before the first projector starts. After each projector \"Log: PATH\" names\n"
         "its saved log. A projector whose Main firmware update fails after it was switched\n"
         "into download mode ends the Main firmware updates: its boot loader may still be\n"
         "waiting and would take the next one's firmware, so the projectors after it are\n"
         "skipped (those before it still take their Sub firmware), and the summary says so. On\n"
         "a terminal a live view shows every projector's stage and progress.\n"
         "\n"
         "Ctrl-C is the Abort button. While firmware is being written it asks first, once for\n"
         "the whole run: a second Ctrl-C within 5 seconds aborts every projector under way. An\n"
         "abort skips the projectors not yet started.\n"
         "\n"
         "JSON events (\"event\" names the kind; \"unit\" counts projectors from 1):\n"
         "  unit_start  unit, units, address, main, sub (null when not sent)\n"
         "  log         unit, level (\"info\" or \"error\"), text\n"
         "  progress    unit, percent (each change of the shown value)\n"
         "  session     unit, state (\"began\" or \"ended\")\n"
         "  stage       unit, stage (\"main\" or \"sub\"), result (\"succeeded\" or \"failed\")\n"
         "  question    unit, text (asked by Ctrl-C while firmware is being written; no unit\n"
         "              when several projectors run: it is asked for the whole run)\n"
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
    if (name == "--parallel") {
      if (!inlineValue && i + 1 >= args.size()) {
        error = name + " needs a value";
        return false;
      }
      const std::string value = inlineValue ? *inlineValue : args[++i];
      int n = 0;
      const bool digits = !value.empty() && value.size() <= 3 &&
                          value.find_first_not_of("0123456789") == std::string::npos;
      if (digits) n = std::stoi(value);
      if (!digits || n < 1 || n > kMostParallel) {
        error = "--parallel takes a number from 1 to " + std::to_string(kMostParallel) + ", not " + value;
        return false;
      }
      o.parallel = n;
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
