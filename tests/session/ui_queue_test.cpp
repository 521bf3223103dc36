#include <gtest/gtest.h>

#include <thread>

#include "support/harness.h"
#include "support/core_probe.h"
#include "support/recording_events.h"

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;

TEST(MessageLogThreaded, LinesFromSeveralThreadsKeepCallOrder) {
  Harness h;
  constexpr int kThreads = 4;
  constexpr int kLines = 250;
  // Each line carries a global sequence number taken under the same lock as the call,
  // so the order of the calls is known exactly.
  std::mutex order;
  int next = 0;
  auto writer = [&](int t) {
    for (int i = 0; i < kLines; ++i) {
      std::lock_guard<std::mutex> lock(order);
      if (i % 3 == 0) {
        Probe(h.updater).log().LogError("%d t%d", next++, t);
      } else {
        Probe(h.updater).log().LogInfo("%d t%d", next++, t);
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(writer, t);
  // The view's thread writes too, between the workers' calls.
  for (int i = 0; i < 50; ++i) {
    {
      std::lock_guard<std::mutex> lock(order);
      Probe(h.updater).log().LogInfo("%d view", next++);
    }
    h.view.Pump();
  }
  for (auto& t : threads) t.join();
  const int total = kThreads * kLines + 50;
  ASSERT_TRUE(h.view.PumpUntil([&] { return static_cast<int>(h.view.logLines().size()) == total; }, 10s));
  const auto lines = h.view.logLines();
  for (int i = 0; i < total; ++i) {
    EXPECT_EQ(std::stoi(lines[static_cast<std::size_t>(i)].text), i)
        << "line " << i << ": " << lines[static_cast<std::size_t>(i)].text;
  }
  for (const std::string& c : h.view.calls()) EXPECT_NE(c, "LOG OFF THE VIEW THREAD");
  EXPECT_EQ(h.debug.Lines().size(), static_cast<std::size_t>(total));
}

TEST(UiQueueThreaded, WorkerEndSessionAndProgressReachTheViewInOrder) {
  Harness h;
  Probe(h.updater).state().FirmwareSelection.store(1);
  Probe(h.updater).state().UpdateStage.store(1);
  std::thread worker([&] {
    Probe(h.updater).session().ReportProgress(10);
    Probe(h.updater).log().LogError("Update Main firmware failed");
    Probe(h.updater).session().EndSession();
  });
  worker.join();
  // Nothing reached the controls on the worker's thread.
  EXPECT_TRUE(h.view.logLines().empty());
  EXPECT_EQ(h.view.Position(Control::UpdateProgBar), 0);
  ASSERT_TRUE(h.view.PumpUntil([&] { return h.view.Enabled(Control::UpdateFwBtn); }, 5s));
  const auto& calls = h.view.calls();
  auto pos = std::find(calls.begin(), calls.end(), "position UpdateProgBar 10");
  auto end = std::find(calls.begin(), calls.end(), "enable UpdateFwBtn");
  EXPECT_LT(pos, end);
  EXPECT_EQ(h.LogTexts(), std::vector<std::string>{"Update Main firmware failed"});
}

TEST(UiQueue, WorkAfterDetachIsDropped) {
  FakeView view;
  RecordingEvents events;
  UiQueue ui;
  ui.Attach(view, events);
  int ran = 0;
  std::thread worker([&] { ui.Run([&](UpdateEvents&) { ++ran; }); });
  worker.join();
  ui.Detach();
  view.Pump();
  EXPECT_EQ(ran, 0);
  ui.Run([&](UpdateEvents&) { ++ran; });
  EXPECT_EQ(ran, 0);
}

TEST(UiQueue, NestedRunOnTheViewThreadKeepsOrder) {
  FakeView view;
  RecordingEvents events;
  UiQueue ui;
  ui.Attach(view, events);
  std::vector<int> seen;
  ui.Run([&](UpdateEvents&) {
    seen.push_back(1);
    ui.Run([&](UpdateEvents&) { seen.push_back(3); });
    seen.push_back(2);
  });
  ui.Run([&](UpdateEvents&) { seen.push_back(4); });
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4}));
}

}  // namespace
}  // namespace tessaly::testing
