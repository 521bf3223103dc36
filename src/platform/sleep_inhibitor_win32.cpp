#include <windows.h>

#include <string>

#include "platform/sleep_inhibitor.h"

namespace tessaly {

namespace {

// The request is the calling thread's (the loop's): it lasts until that thread changes it
// or ends. The call is instant, so it is made where it is asked for. The units of a fleet
// share one loop, so one thread's state serves all their holds: it is let go only when the
// last of them lets go.
thread_local int holdsOnThisThread = 0;

class ExecutionStateInhibitor final : public SleepInhibitor {
 public:
  ~ExecutionStateInhibitor() override { Release(); }

  void Take(TakeDone done) override {
    if (!held_) {
      if (holdsOnThisThread == 0 && SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) == 0) {
        if (done) done(false, "SetThreadExecutionState failed (error " + std::to_string(GetLastError()) + ")");
        return;
      }
      ++holdsOnThisThread;
      held_ = true;
    }
    if (done) done(true, std::string());
  }

  void Release() override {
    if (!held_) return;
    held_ = false;
    if (--holdsOnThisThread == 0) SetThreadExecutionState(ES_CONTINUOUS);
  }

 private:
  bool held_ = false;
};

}  // namespace

std::unique_ptr<SleepInhibitor> CreateSystemSleepInhibitor(UpdateLoop&) {
  return std::make_unique<ExecutionStateInhibitor>();
}

}  // namespace tessaly
