#pragma once
// An update loop on a clock the test drives: posted work runs when the test runs the loop,
// and the clock jumps from one due timer to the next, so a 7 s wait or a 65 s time-out
// takes microseconds. The thread that creates it is the loop's thread.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/update_loop.h"

namespace tessaly::testing {

class ManualLoop final : public UpdateLoop {
 public:
  ManualLoop();
  ~ManualLoop() override;

  void Post(std::function<void()> work) override;  // any thread
  bool OnQueueThread() const override { return std::this_thread::get_id() == owner_; }
  void ProcessEvents() override { RunReady(); }
  std::uint64_t NowUs() const override { return nowUs_; }
  std::unique_ptr<LoopTimer> CreateTimer() override;
  void Stop() override;

  // Runs posted work and the timers due now, without moving the clock. Returns how many
  // handlers ran.
  int RunReady();
  // Moves the clock on by `us`, firing every timer that falls due on the way at its time.
  void Advance(std::uint64_t us);
  // Runs until `done` holds, jumping the clock to each next due timer; false when nothing
  // is left to run, or `limitUs` of loop time or `maxHandlers` handlers have gone by first.
  bool RunUntil(const std::function<bool()>& done, std::uint64_t limitUs = 3'600'000'000ull,
                int maxHandlers = 10'000'000);
  // Runs until nothing is pending at all (bounded as above); true when it got there.
  bool RunUntilIdle(std::uint64_t limitUs = 3'600'000'000ull) {
    return RunUntil([] { return false; }, limitUs) || !HasWork();
  }
  bool HasWork() const;
  // Timers pending now.
  std::size_t PendingTimers() const { return timers_.size(); }

  // Far from 0: nothing may take the start for a time of its own.
  std::uint64_t nowUs_ = 1'000'000'000ull;

 private:
  friend class ManualTimer;
  struct Entry {
    std::uint64_t id;
    std::function<void()> fired;
  };
  bool RunOneDue();

  std::thread::id owner_;
  mutable std::mutex postedMutex_;
  std::deque<std::function<void()>> posted_;
  std::multimap<std::uint64_t, Entry> timers_;  // by due time, then by start order
  std::uint64_t nextId_ = 1;
  bool stopped_ = false;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace tessaly::testing
