#pragma once
// Options of the tessaly-pjsim executable, parsed apart from main() so they can be tested.

#include <span>
#include <string>
#include <string_view>

#include "sim_options.h"

namespace tessaly::pjsim {

struct CommandLine {
  enum class Action { kRun, kHelp, kError };
  Action action = Action::kRun;
  SimOptions options;
  std::string error;  // for kError
};

// `args` without the program name. Accepts "--name value" and "--name=value".
CommandLine ParseCommandLine(std::span<const std::string_view> args);
std::string UsageText(std::string_view program);

}  // namespace tessaly::pjsim
