#include <windows.h>

#include <string>

#include "platform/sleep_inhibitor.h"

namespace tessaly {

namespace {

// The request is the calling thread's (the loop's): it lasts until that thread changes it
// or ends. The call is instant, so it is made where it is asked for.
class ExecutionStateInhibitor final : public SleepInhibitor {
 public:
  ~ExecutionStateInhibitor() override { Release(); }

  void Take(TakeDone done) override {
    if (!held_) {
      if (SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) == 0) {
        if (done) done(false, "SetThreadExecutionState failed (error " + std::to_string(GetLastError()) + ")");
        return;
      }
      held_ = true;
    }
    if (done) done(true, std::string());
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

std::unique_ptr<SleepInhibitor> CreateSystemSleepInhibitor(UpdateLoop&) {
  return std::make_unique<ExecutionStateInhibitor>();
}

}  // namespace tessaly
