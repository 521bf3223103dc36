#include <gtest/gtest.h>

#include "support/param_print.h"
#include "support/core_probe.h"

#include <time.h>

#include <atomic>
#include <thread>

#include "support/harness.h"
#include "support/recording_events.h"

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;

struct ProgressCase {
  std::uint8_t selection;
  std::uint8_t stage;
  std::uint32_t percent;
  int shown;
  const char* line;  // success line, or ""
  bool inProgressAfter;
};
TESSALY_PRINT_PARAM(ProgressCase, percent)

class ReportProgressTable : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(ReportProgressTable, MapsAndReports) {
  const ProgressCase& c = GetParam();
  Harness h;
  auto& s = Probe(h.updater).state();
  s.FirmwareSelection.store(c.selection);
  s.UpdateStage.store(c.stage);
  s.UpdateInProgress.store(1);
  Probe(h.updater).session().ReportProgress(c.percent);
  EXPECT_EQ(h.view.Position(Control::UpdateProgBar), c.shown);
  EXPECT_EQ(h.view.Text(Control::PercentText), std::to_string(c.shown) + "%");
  if (*c.line) {
    EXPECT_EQ(h.view.logLines(), (std::vector<LogLine>{{c.line, LogColour::Blue}}));
  } else {
    EXPECT_TRUE(h.view.logLines().empty());
  }
  EXPECT_EQ(s.UpdateInProgress.load(), c.inProgressAfter ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Values, ReportProgressTable,
                         ::testing::Values(ProgressCase{3, 1, 51, 25, "", true}, ProgressCase{3, 2, 51, 75, "", true},
                                           ProgressCase{1, 1, 51, 51, "", true}, ProgressCase{2, 2, 51, 51, "", true},
                                           ProgressCase{3, 1, 0, 0, "", true}, ProgressCase{3, 2, 0, 50, "", true},
                                           ProgressCase{3, 1, 99, 49, "", true}, ProgressCase{3, 2, 99, 99, "", true},
                                           ProgressCase{3, 1, 100, 50, "Updated Main Firmware has succeeded.", true},
                                           ProgressCase{1, 1, 100, 100, "Updated Main Firmware has succeeded.", false},
                                           ProgressCase{3, 2, 100, 100, "Updated Sub Firmware has succeeded.", false},
                                           ProgressCase{2, 2, 100, 100, "Updated Sub Firmware has succeeded.", false},
                                           ProgressCase{3, 0, 100, 100, "", true},
                                           ProgressCase{0, 0, 51, 51, "", true}));

// A session over a recording front end, with no updater around it.
struct BareSession {
  explicit BareSession(UpdaterSettings s = {}) : settings(s), log(ui, debug), session(state, ui, log, settings) {
    ui.Attach(view, events);
  }
  ~BareSession() { ui.Detach(); }
  UpdateState state;
  FakeView view;
  RecordingEvents events;
  UiQueue ui;
  RecordingDebugOutput debug;
  UpdaterSettings settings;
  MessageLog log;
  UpdateSession session;
};

// A stage that reported 100 and then failed (its empty last block never acknowledged, a
// stop at the last moment) ends the update as a failure, its success line said once.
TEST(ReportProgress, LaterFailureOutweighsAnEarlierHundred) {
  BareSession b;
  b.state.FirmwareSelection.store(MainFw);
  b.session.BeginSession();
  b.state.UpdateStage.store(1);
  b.session.ReportProgress(100);
  b.session.ReportProgress(100);
  b.session.ReportStageFailed(FirmwareStage::Main);
  b.session.EndSession();
  EXPECT_EQ(b.events.events,
            (std::vector<std::string>{"began", "info: Updated Main Firmware has succeeded.", "Main succeeded",
                                      "progress 100", "Main failed", "session ended", "end: failed"}));
}

TEST(EndSession, RestoresIdleControlsAndIsIdempotent) {
  Harness h;
  h.updater->Start();
  int closes = 0;
  Probe(h.updater).session().SetOnEnd([&] { ++closes; });
  h.view.SetEnabled(Control::AbortBtn, true);
  h.view.SetEnabled(Control::UpdateFwBtn, false);
  h.view.SetEnabled(Control::IpAddrEdit, false);
  Probe(h.updater).state().UpdateInProgress.store(1);
  Probe(h.updater).state().UpdateStage.store(2);
  Probe(h.updater).state().ReadsSuspended.store(1);
  for (int i = 0; i < 2; ++i) {
    Probe(h.updater).session().EndSession();
    EXPECT_TRUE(h.view.Enabled(Control::UpdateFwBtn));
    EXPECT_FALSE(h.view.Enabled(Control::AbortBtn));
    EXPECT_TRUE(h.view.Enabled(Control::IpAddrEdit));
    EXPECT_TRUE(h.view.Enabled(Control::UpfwBox));
    EXPECT_TRUE(h.view.Enabled(Control::AdapterBox));
    EXPECT_EQ(Probe(h.updater).state().UpdateInProgress.load(), 0);
  }
  EXPECT_EQ(closes, 2);
  EXPECT_EQ(Probe(h.updater).state().StopRequested.load(), 0u);  // ending is not stopping
  EXPECT_EQ(Probe(h.updater).state().UpdateStage.load(), 2);
  EXPECT_EQ(Probe(h.updater).state().ReadsSuspended.load(), 1);
}

}  // namespace
}  // namespace tessaly::testing
