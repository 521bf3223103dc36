#pragma once
// The command line's options.

#include <optional>
#include <string>
#include <vector>

namespace tessaly::cli {

struct CliOptions {
  std::optional<std::string> projector;
  std::optional<std::string> main;
  std::optional<std::string> sub;
  std::optional<std::string> manual;
  bool yes = false;
  bool help = false;
  bool version = false;
};

// False with the reason in `error` for an unknown option, a missing value or a repeat.
bool ParseCliOptions(const std::vector<std::string>& args, CliOptions& options, std::string& error);

const char* CliUsage();

}  // namespace tessaly::cli
