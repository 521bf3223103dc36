#pragma once
// The --json output: one object a line on its stream for each event of a run, flushed as
// it is written, so that a script reads each at once.

#include <cstdio>
#include <string>
#include <vector>

#include "cli/fleet.h"
#include "session/update_events.h"

namespace tessaly::cli {

class JsonEvents {
 public:
  explicit JsonEvents(std::FILE* out) : out_(out) {}

  // `unit` counts from 1; 0 is the run itself (lines before any unit starts).
  void UnitStart(int unit, int units, const std::string& address, const std::string& mainFile,
                 const std::string& subFile);
  void Log(int unit, const std::string& text, LogLevel level);
  void Progress(int unit, int percent);
  void Session(int unit, bool began);
  void Stage(int unit, FirmwareStage stage, bool succeeded);
  void Question(int unit, const std::string& text);
  void Answered(int unit, Answer answer, bool lapsed);
  void UnitEnd(int unit, const UnitResult& result);
  // Units is empty when the run was refused before the first one started.
  // `stopped`: why the run skipped the units after one, or empty.
  void Summary(const std::vector<UnitResult>& units, int exitStatus, const std::string& stopped = {});

 private:
  std::FILE* out_;
};

// The JSON text of `bytes` as one string value: invalid UTF-8 bytes become U+FFFD and
// nothing throws, whatever the bytes.
std::string JsonText(const std::string& bytes);
bool IsValidUtf8(const std::string& bytes);
// Two lower-case hex digits a byte.
std::string HexBytes(const std::string& bytes);

}  // namespace tessaly::cli
