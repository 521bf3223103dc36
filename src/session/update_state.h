#pragma once
// The one record of update state shared by the window's thread and the workers.
// Single bytes and 32-bit words are atomics: polled by one side, written by the other.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

namespace tessaly {

// Bits of FirmwareSelection.
constexpr std::uint8_t MainFw = 1;
constexpr std::uint8_t SubFw = 2;

// A byte flag that a thread of its own can follow: whoever sets or clears it, a change of
// value wakes the follower, which reads the value again. Setting it to the value it holds
// costs one atomic exchange, so a stage may set it on every block.
class WatchedFlag {
 public:
  std::uint8_t load() const { return value_.load(); }
  void store(std::uint8_t value) {
    if (value_.exchange(value) != value) Wake();
  }
  // Counts the changes and the wake-ups.
  std::uint64_t changes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return changes_;
  }
  // Waits until changes() is no longer `seen`; returns the new count.
  std::uint64_t WaitForChange(std::uint64_t seen) const {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return changes_ != seen; });
    return changes_;
  }
  // Wakes the follower without a change, for it to look at other things too.
  void Wake() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++changes_;
    }
    changed_.notify_all();
  }

 private:
  std::atomic<std::uint8_t> value_{0};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::uint64_t changes_ = 0;
};

struct UpdateState {
  std::atomic<std::uint8_t> FirmwareSelection{0};
  std::atomic<std::uint8_t> UpdateStage{0};  // 0 none, 1 Main, 2 Sub
  WatchedFlag UpdateInProgress;              // followed by the hold on system sleep
  std::atomic<std::uint8_t> ReadsSuspended{0};
  std::atomic<std::uint32_t> StopRequested{0};
  // Set when an update is accepted, cleared by EndSession: the window is in its update
  // state. A worker's end restores "Update Firmware" only once no session runs.
  std::atomic<std::uint8_t> SessionRunning{0};
  // MainFw / SubFw bits of the stages that reported 100 in this update, for front ends
  // that must tell success from failure (the command line's exit status).
  std::atomic<std::uint8_t> StagesSucceeded{0};

  // Written on the window's thread when an update starts, before any worker of that
  // update exists; workers only read them.
  std::string PjIpText;
  std::string PjMacText;
  std::string MainFwFile;
  std::string SubFwFile;
  std::array<std::uint8_t, 4> PjIpAddr{};
  std::array<std::uint8_t, 6> PjMacAddr{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  std::atomic<std::uint32_t> PcIpAddr{0};  // network byte order, as inet_addr gives it
};

}  // namespace tessaly
