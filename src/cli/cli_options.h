#pragma once
// The command line's options.

#include <optional>
#include <string>
#include <vector>

namespace tessaly::cli {

// Where a projector address comes from: the text itself (--projector), or a file of them
// (--projectors), in the order the options were given.
struct ProjectorSource {
  bool file = false;
  std::string text;  // the address text, or the file's name
  bool operator==(const ProjectorSource&) const = default;
};

constexpr int kDefaultParallel = 16;
constexpr int kMostParallel = 64;

struct CliOptions {
  std::vector<ProjectorSource> projectors;  // none: the remembered address
  std::optional<std::string> main;
  std::optional<std::string> sub;
  std::optional<std::string> manual;
  // At most this many Sub stages of a fleet at once; 1: one whole unit after another.
  int parallel = kDefaultParallel;
  bool yes = false;
  bool json = false;
  bool help = false;
  bool version = false;
};

// False with the reason in `error` for an unknown option, a missing value or a repeat.
bool ParseCliOptions(const std::vector<std::string>& args, CliOptions& options, std::string& error);

const char* CliUsage();

}  // namespace tessaly::cli
