#include "cli/cli_options.h"

namespace tessaly::cli {

const char* CliUsage() {
  return "Usage: tessaly-update [--projector ADDR] [--main FILE] [--sub FILE] [--manual LOCAL_ADDR] [--yes]\n"
         "\n"
         "Updates the Main (*.bin) and Sub (*.brec2) firmware of a Tessaly projector.\n"
         "\n"
         "  --projector ADDR    the projector's IPv4 address (default: the one used last, else 192.168.0.2)\n"
         "  --main FILE         the Main firmware image to send\n"
         "  --sub FILE          the Sub firmware image to send\n"
         "                      with neither, the newest *.bin and *.brec2 of this folder are sent\n"
         "  --manual LOCAL_ADDR the projector was put into download mode by hand: serve the Main\n"
         "                      firmware at once on this PC address\n"
         "  --yes               Ctrl-C aborts at once, also while firmware is being written\n"
         "  --help, --version\n"
         "\n"
         "Ctrl-C is the Abort button. While firmware is being written it asks first: a second\n"
         "Ctrl-C within 5 seconds aborts.\n"
         "\n"
         "Exit status: 0 every selected stage succeeded; 1 the update failed or was aborted;\n"
         "2 refused input (bad address, missing or unusable file, nothing to update, bad options).\n"
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
    std::optional<std::string>* target = nullptr;
    if (name == "--projector")
      target = &o.projector;
    else if (name == "--main")
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
