// Windows' hold on sleep is one state a thread: several holds on one loop (a fleet's units)
// keep it until the last of them lets go.

#include <windows.h>

#include <gtest/gtest.h>

#include "platform/sleep_inhibitor.h"
#include "platform/update_loop.h"

namespace tessaly {
namespace {

// The thread's state as it stands, by setting it to itself.
EXECUTION_STATE StateNow() {
  const EXECUTION_STATE now = SetThreadExecutionState(ES_CONTINUOUS);
  SetThreadExecutionState(now);
  return now;
}

TEST(ExecutionStateInhibitor, HeldUntilTheLastHoldOnTheThreadIsReleased) {
  auto loop = CreateUpdateLoop();
  auto first = CreateSystemSleepInhibitor(*loop);
  auto second = CreateSystemSleepInhibitor(*loop);
  bool held = false;
  first->Take([&](bool ok, const std::string&) { held = ok; });
  ASSERT_TRUE(held);
  second->Take(nullptr);
  EXPECT_NE(StateNow() & ES_SYSTEM_REQUIRED, 0u);
  first->Release();
  EXPECT_NE(StateNow() & ES_SYSTEM_REQUIRED, 0u) << "the second unit still writes";
  first->Release();  // twice: counted once
  EXPECT_NE(StateNow() & ES_SYSTEM_REQUIRED, 0u);
  second->Release();
  EXPECT_EQ(StateNow() & ES_SYSTEM_REQUIRED, 0u);
}

}  // namespace
}  // namespace tessaly
