#include <windows.h>

#include <string>

#include "platform/sleep_inhibitor.h"

namespace tessaly {

namespace {

// The request is the calling thread's: it lasts until that thread changes it or ends.
class ExecutionStateInhibitor final : public SleepInhibitor {
 public:
  ~ExecutionStateInhibitor() override { Release(); }

  bool Take(std::string& why) override {
    if (held_) return true;
    if (SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) == 0) {
      why = "SetThreadExecutionState failed (error " + std::to_string(GetLastError()) + ")";
      return false;
    }
    held_ = true;
    return true;
  }

  void Release() override {
    if (!held_) return;
    SetThreadExecutionState(ES_CONTINUOUS);
    held_ = false;
  }

 private:
  bool held_ = false;
};

}  // namespace

std::unique_ptr<SleepInhibitor> CreateSystemSleepInhibitor() { return std::make_unique<ExecutionStateInhibitor>(); }

}  // namespace tessaly
