#pragma once
// Keeps the PC from sleeping while firmware is written into the projector. It hears the
// update's "firmware being written" events and follows them on the update loop, which
// takes and releases the system's hold without ever waiting on it: no stage and no front
// end waits on the system bus, and the Windows request, which belongs to a thread, lives
// on the loop's, which outlives the write.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/sleep_inhibitor.h"
#include "platform/update_loop.h"
#include "session/update_state.h"

namespace tessaly {

class KeepAwake {
 public:
  // `warn` hears, once, that the hold could not be had; the update goes on without it.
  // Sets the flag's change callback: made before the flag is first stored.
  KeepAwake(UpdateLoop& loop, std::unique_ptr<SleepInhibitor> inhibitor, std::function<void(const std::string&)> warn);
  // After Stop, or once the loop no longer runs (or on its thread).
  ~KeepAwake();
  KeepAwake(const KeepAwake&) = delete;
  KeepAwake& operator=(const KeepAwake&) = delete;

  // The update's "firmware being written" event, on or off. Any thread.
  void Writing(bool writing) { writing_.store(writing ? 1 : 0); }
  // The update is over and nothing is written any more, whatever the flag still says (a
  // stage may end without clearing it): released until the flag next changes. Any thread.
  void UpdateOver();
  // Releases the hold for good, and returns once it is released. While the loop runs (it
  // waits for the loop), or on the loop's thread. Safe to call more than once.
  void Stop();

 private:
  void Follow();
  void Taken(bool held, const std::string& why);
  void ReleaseNow();

  enum class Hold { Released, Asked, Held };

  WatchedFlag writing_;  // as the events last said
  UpdateLoop& loop_;
  std::unique_ptr<SleepInhibitor> inhibitor_;
  std::function<void(const std::string&)> warn_;
  // The flag's change count when the update was last over: the flag's value counts
  // again once it changes after that.
  std::atomic<std::uint64_t> overAt_{~std::uint64_t{0}};
  std::atomic<bool> stop_{false};
  // Told by the flag's callback whether this object is still there.
  std::shared_ptr<char> alive_ = std::make_shared<char>();
  // The loop's thread only.
  Hold hold_ = Hold::Released;
  bool warned_ = false;
  bool stopped_ = false;
  // The change count a failed Take was asked at: not asked again until the flag changes.
  std::uint64_t failedAt_ = ~std::uint64_t{0};
  std::uint64_t askedAt_ = 0;
};

}  // namespace tessaly
