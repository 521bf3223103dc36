#include "app/keep_awake.h"

namespace tessaly {

KeepAwake::KeepAwake(WatchedFlag& writing, std::unique_ptr<SleepInhibitor> inhibitor,
                     std::function<void(const std::string&)> warn)
    : writing_(writing), inhibitor_(std::move(inhibitor)), warn_(std::move(warn)) {
  thread_ = std::thread([this] { Run(); });
}

KeepAwake::~KeepAwake() { Stop(); }

void KeepAwake::UpdateOver() {
  overAt_.store(writing_.changes() + 1);  // counts the wake-up that follows
  writing_.Wake();
}

void KeepAwake::Stop() {
  stop_.store(true);
  writing_.Wake();
  if (thread_.joinable()) thread_.join();
}

void KeepAwake::Run() {
  bool held = false;
  bool warned = false;
  std::uint64_t seen = writing_.changes();
  for (;;) {
    const bool stopping = stop_.load();
    // Read after the count: a change after this read wakes the wait below at once.
    const bool over = overAt_.load() == seen;
    const bool want = !stopping && !over && writing_.load() != 0;
    if (want && !held) {
      std::string why;
      held = inhibitor_ && inhibitor_->Take(why);
      if (!held && !warned && warn_) {
        warn_("The PC may go to sleep while firmware is written: " + why);
        warned = true;
      }
    } else if (!want && held) {
      inhibitor_->Release();
      held = false;
    }
    if (stopping) return;
    seen = writing_.WaitForChange(seen);
  }
}

}  // namespace tessaly
