#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/update_loop.h"
#include "platform/view_timer.h"
#include "support/fake_view.h"

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;

TEST(ViewTimerThreaded, FiresOnTheViewThreadAfterItsInterval) {
  FakeView view;
  const auto loop = CreateUpdateLoop();  // after the view, before the timer: outlives it
  int fired = 0;
  std::thread::id firedOn;
  ViewTimer timer(view, *loop, [&] {
    ++fired;
    firedOn = std::this_thread::get_id();
  });
  timer.SetInterval(50);
  const auto t0 = std::chrono::steady_clock::now();
  timer.SetEnabled(true);
  ASSERT_TRUE(view.PumpUntil([&] { return fired >= 1; }, 5s));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 49ms);
  EXPECT_EQ(firedOn, std::this_thread::get_id());
  // Like a window timer it goes on firing until disabled.
  ASSERT_TRUE(view.PumpUntil([&] { return fired >= 3; }, 5s));
  timer.SetEnabled(false);
  const int seen = fired;
  view.PumpUntil([] { return false; }, 120ms);  // bounded: a disabled timer stays silent
  EXPECT_EQ(fired, seen);
}

TEST(ViewTimerThreaded, DisablingDropsAFiringAlreadyPosted) {
  FakeView view;
  const auto loop = CreateUpdateLoop();  // after the view, before the timer: outlives it
  int fired = 0;
  ViewTimer timer(
      view, *loop, [&] { ++fired; }, 10);
  timer.SetEnabled(true);
  // The firing is posted but not yet run when the timer is disabled.
  ASSERT_TRUE(view.WaitForPending(5s));
  timer.SetEnabled(false);
  view.Pump();
  EXPECT_EQ(fired, 0);
}

TEST(ViewTimerThreaded, ChangingTheIntervalRestartsTheCount) {
  FakeView view;
  const auto loop = CreateUpdateLoop();  // after the view, before the timer: outlives it
  std::atomic<int> fired{0};
  ViewTimer timer(view, *loop, [&] { ++fired; });
  timer.SetInterval(5000);
  timer.SetEnabled(true);
  timer.SetInterval(30);
  EXPECT_EQ(timer.Interval(), 30u);
  EXPECT_TRUE(view.PumpUntil([&] { return fired.load() >= 1; }, 2s));
}

TEST(ViewTimerThreaded, DestroyedWhileEnabled) {
  FakeView view;
  const auto loop = CreateUpdateLoop();  // after the view, before the timer: outlives it
  int fired = 0;
  {
    ViewTimer timer(
        view, *loop, [&] { ++fired; }, 5);
    timer.SetEnabled(true);
    ASSERT_TRUE(view.WaitForPending(5s));  // a firing is posted and outlives the timer
  }
  view.Pump();  // posted firings of a destroyed timer run nothing
  EXPECT_EQ(fired, 0);
}

}  // namespace
}  // namespace tessaly::testing
