#pragma once
// The one record of update state shared by the window's thread and the update loop.
// Single bytes and 32-bit words are atomics: polled by one side, written by the other.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace tessaly {

// Bits of FirmwareSelection.
constexpr std::uint8_t MainFw = 1;
constexpr std::uint8_t SubFw = 2;

// A byte flag that something else follows: whoever sets or clears it, a change of value
// is told to the follower, on the storing thread. Setting it to the value it holds costs
// one atomic exchange, so a stage may set it on every block.
class WatchedFlag {
 public:
  // Set once, before the flag is first stored; runs after every change of value.
  void SetOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }
  std::uint8_t load() const { return value_.load(); }
  void store(std::uint8_t value) {
    if (value_.exchange(value) == value) return;
    changes_.fetch_add(1);
    if (onChange_) onChange_();
  }
  // Counts the changes of value; counted before the follower is told.
  std::uint64_t changes() const { return changes_.load(); }

 private:
  std::atomic<std::uint8_t> value_{0};
  std::atomic<std::uint64_t> changes_{0};
  std::function<void()> onChange_;
};

struct UpdateState {
  std::atomic<std::uint8_t> FirmwareSelection{0};
  std::atomic<std::uint8_t> UpdateStage{0};  // 0 none, 1 Main, 2 Sub
  WatchedFlag UpdateInProgress;              // followed by the hold on system sleep
  std::atomic<std::uint8_t> ReadsSuspended{0};
  std::atomic<std::uint32_t> StopRequested{0};
  // Set when an update is accepted, cleared by EndSession: the window is in its update
  // state. A stage's end restores "Update Firmware" only once no session runs.
  std::atomic<std::uint8_t> SessionRunning{0};
  // MainFw / SubFw bits of the stages that reported 100 in this update, for front ends
  // that must tell success from failure (the command line's exit status).
  std::atomic<std::uint8_t> StagesSucceeded{0};

  // Written on the window's thread when an update starts, before any stage of that
  // update begins; the stages only read them.
  std::string PjIpText;
  std::string PjMacText;
  std::string MainFwFile;
  std::string SubFwFile;
  std::array<std::uint8_t, 4> PjIpAddr{};
  std::array<std::uint8_t, 6> PjMacAddr{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  std::atomic<std::uint32_t> PcIpAddr{0};  // network byte order, as inet_addr gives it
};

}  // namespace tessaly
