#pragma once
// Several projectors in one run: where their addresses come from, and how each one's
// update ended.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_options.h"

namespace tessaly::cli {

// The address texts of a projectors file, in order: one a line; everything from '#' on,
// blank lines and the blanks around a text (a CR of a Windows line end too) are dropped.
std::vector<std::string> ProjectorLines(const std::string& content);

// Every source's addresses in the order given. False with the line to show when a file
// cannot be read or names no projector.
bool CollectProjectors(const std::vector<ProjectorSource>& sources, std::vector<std::string>& addresses,
                       std::string& error);

enum class StageVerdict { NotSelected, Succeeded, Failed, Aborted, Skipped };
enum class UnitOutcome { Succeeded, Failed, Aborted, Refused, Skipped };

const char* StageVerdictName(StageVerdict verdict);
const char* UnitOutcomeName(UnitOutcome outcome);

struct UnitResult {
  std::string address;
  bool mainSelected = false;
  bool subSelected = false;
  std::optional<bool> mainResult;  // as the stage reported its end, if it did
  std::optional<bool> subResult;
  UnitOutcome outcome = UnitOutcome::Skipped;
  std::chrono::milliseconds taken{0};
  std::string logPath;  // the saved log, empty when none was written

  // The first selected stage that did not succeed takes the unit's failure or abort;
  // the stages after it, and those of a unit that never ran, are skipped.
  StageVerdict Main() const;
  StageVerdict Sub() const;
  int ExitStatus() const;
};

// 0 when every unit succeeded; 1 when any failed, was aborted or skipped; else 2 when any
// was refused.
int FleetExitStatus(const std::vector<UnitResult>& units);

// "[10.0.0.5] ": the prefix of a unit's lines when the run has more than one.
std::string UnitPrefix(const std::string& address);

// Why a run stopped after the unit at `address`: its Main stage failed once the projector
// was switched, so its boot loader may still be awake on the segment.
std::string BootLoaderAwakeReason(const std::string& address);

// The readable summary: a heading, then one line a unit.
std::vector<std::string> SummaryLines(const std::vector<UnitResult>& units);

}  // namespace tessaly::cli
