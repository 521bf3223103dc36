#pragma once
// Keeps the PC from sleeping while firmware is written into the projector. A thread of
// its own follows UpdateInProgress and takes and releases the system's hold, so that no
// worker and no front end ever waits on the system bus, and the Windows request, which
// belongs to a thread, lives on one that outlives the write.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/sleep_inhibitor.h"
#include "session/update_state.h"

namespace tessaly {

class KeepAwake {
 public:
  // `warn` hears, once, that the hold could not be had; the update goes on without it.
  KeepAwake(WatchedFlag& writing, std::unique_ptr<SleepInhibitor> inhibitor,
            std::function<void(const std::string&)> warn);
  ~KeepAwake();
  KeepAwake(const KeepAwake&) = delete;
  KeepAwake& operator=(const KeepAwake&) = delete;

  // The update is over and nothing is written any more, whatever the flag still says (a
  // worker may end without clearing it): released until the flag next changes.
  void UpdateOver();
  // Releases the hold and ends the thread for good. Safe to call more than once.
  void Stop();

 private:
  void Run();

  WatchedFlag& writing_;
  std::unique_ptr<SleepInhibitor> inhibitor_;
  std::function<void(const std::string&)> warn_;
  // The flag's change count when the update was last over: the flag's value counts
  // again once it changes after that.
  std::atomic<std::uint64_t> overAt_{~std::uint64_t{0}};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tessaly
