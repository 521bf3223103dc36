#include "cli/fleet.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace tessaly::cli {

namespace {

std::string Trimmed(const std::string& text) {
  constexpr const char* kBlanks = " \t\r\v\f";
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

StageVerdict Verdict(const UnitResult& u, bool selected, const std::optional<bool>& result, bool earlierUnfinished) {
  if (!selected) return StageVerdict::NotSelected;
  if (result == true) return StageVerdict::Succeeded;
  if (u.outcome == UnitOutcome::Skipped || u.outcome == UnitOutcome::Refused || earlierUnfinished) {
    return StageVerdict::Skipped;
  }
  if (u.outcome == UnitOutcome::Aborted) return StageVerdict::Aborted;
  // A succeeded update whose stage never said so is still a success.
  return u.outcome == UnitOutcome::Succeeded ? StageVerdict::Succeeded : StageVerdict::Failed;
}

}  // namespace

std::vector<std::string> ProjectorLines(const std::string& content) {
  std::vector<std::string> out;
  std::istringstream lines(content);
  for (std::string line; std::getline(lines, line);) {
    if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    line = Trimmed(line);
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

bool CollectProjectors(const std::vector<ProjectorSource>& sources, std::vector<std::string>& addresses,
                       std::string& error) {
  for (const ProjectorSource& source : sources) {
    if (!source.file) {
      addresses.push_back(source.text);
      continue;
    }
    std::ifstream in(source.text, std::ios::binary);
    if (!in.is_open()) {
      error = "Projectors file \"" + source.text + "\" cannot be read";
      return false;
    }
    const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::vector<std::string> named = ProjectorLines(content);
    if (named.empty()) {
      error = "Projectors file \"" + source.text + "\" names no projector";
      return false;
    }
    addresses.insert(addresses.end(), named.begin(), named.end());
  }
  return true;
}

const char* StageVerdictName(StageVerdict verdict) {
  switch (verdict) {
    case StageVerdict::NotSelected: return "not selected";
    case StageVerdict::Succeeded: return "succeeded";
    case StageVerdict::Failed: return "failed";
    case StageVerdict::Aborted: return "aborted";
    case StageVerdict::Skipped: return "skipped";
  }
  return "";
}

const char* UnitOutcomeName(UnitOutcome outcome) {
  switch (outcome) {
    case UnitOutcome::Succeeded: return "succeeded";
    case UnitOutcome::Failed: return "failed";
    case UnitOutcome::Aborted: return "aborted";
    case UnitOutcome::Refused: return "refused";
    case UnitOutcome::Skipped: return "skipped";
  }
  return "";
}

StageVerdict UnitResult::Main() const { return Verdict(*this, mainSelected, mainResult, false); }

StageVerdict UnitResult::Sub() const {
  const StageVerdict main = Main();
  const bool mainUnfinished = main != StageVerdict::NotSelected && main != StageVerdict::Succeeded;
  return Verdict(*this, subSelected, subResult, mainUnfinished);
}

int UnitResult::ExitStatus() const {
  switch (outcome) {
    case UnitOutcome::Succeeded: return 0;
    case UnitOutcome::Refused: return 2;
    default: return 1;
  }
}

int FleetExitStatus(const std::vector<UnitResult>& units) {
  if (units.empty()) return 2;
  int status = 0;
  for (const UnitResult& u : units) {
    const int s = u.ExitStatus();
    if (s == 1) return 1;
    status = std::max(status, s);
  }
  return status;
}

std::string UnitPrefix(const std::string& address) { return "[" + address + "] "; }

std::string BootLoaderAwakeReason(const std::string& address) {
  return "The projectors after " + address +
         " were skipped: its Main firmware update failed after it was switched into download mode, and its boot "
         "loader may still be waiting for firmware, where it would take the next projector's. Switch it off and on, "
         "then update the skipped projectors.";
}

std::vector<std::string> SummaryLines(const std::vector<UnitResult>& units) {
  std::size_t width = 0;
  for (const UnitResult& u : units) width = std::max(width, u.address.size());
  std::vector<std::string> out{"Summary:"};
  for (const UnitResult& u : units) {
    char taken[32];
    if (u.outcome == UnitOutcome::Skipped) {
      std::snprintf(taken, sizeof taken, "not started");
    } else {
      std::snprintf(taken, sizeof taken, "%.1f s", static_cast<double>(u.taken.count()) / 1000.0);
    }
    std::string line = "  " + u.address + std::string(width - u.address.size(), ' ');
    line += "  Main: " + std::string(StageVerdictName(u.Main()));
    line += ", Sub: " + std::string(StageVerdictName(u.Sub()));
    line += ", " + std::string(taken);
    out.push_back(line);
  }
  return out;
}

}  // namespace tessaly::cli
