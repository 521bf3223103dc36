// The control session and the update sequence against the simulator on loopback.

#include <gtest/gtest.h>

#include "support/param_print.h"
#include "support/core_probe.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "integration/sim_harness.h"

namespace tessaly::testing {
namespace {

using Lines = std::vector<std::string>;

const Lines kConnectTimeout = {"Connecting to PJ timeout....",
                               "Please check PJ in \"LAN\" mode, and accepted \"Cedia\" cmd"};
const Lines kSwitchTimeout = {"Switched projector into download mode failed",
                              "Please check PJ in \"Standby\" mode, and accepted \"Cedia\" cmd"};

TEST(ControlSessionThreaded, MainOnlyRoadStartsTheMainWorker) {
  SimHarness h;
  ASSERT_TRUE(h.started) << h.sim.error();
  h.NameMain();
  h.MarkStart();
  h.stagesSeen.mainResult = StageEnd::Failed;  // the stage fails: the worker ends the session
  h.Press();
  EXPECT_FALSE(h.view.Enabled(Control::UpdateFwBtn));
  EXPECT_TRUE(h.view.Enabled(Control::AbortBtn));
  EXPECT_FALSE(h.view.Enabled(Control::IpAddrEdit));
  ASSERT_TRUE(h.PumpUntil([&] { return h.stagesSeen.mainRuns.load() == 1 && h.Idle(); }));
  EXPECT_FALSE(h.stagesSeen.mainOnViewThread.load());
  EXPECT_EQ(h.UpdateLines(), (Lines{"Try connecting to \"127.0.0.1\"...", "Connected to projector has succeeded."}));
  EXPECT_EQ(h.sim.Snapshot().MessageNames(), (Lines{"PJREQ", "UD-ET"}));
  EXPECT_TRUE(h.sim.violations().empty());
  EXPECT_EQ(Probe(h.updater).state().PcIpAddr.load(), ::inet_addr("127.0.0.1"));
  EXPECT_EQ(Probe(h.updater).state().UpdateStage.load(), 1);
  EXPECT_FALSE(Probe(h.updater).control().ConnectTimer().Enabled());
  EXPECT_EQ(h.profile.Read("LAN Communication", "IP Address"), std::optional<std::string>("127.0.0.1"));
  // The worker closed the connection: the simulator sees it end.
  EXPECT_TRUE(h.sim.WaitFor([](const pjsim::Report& r) { return r.ended_connection_count() == 1; }, 5s));
}

struct ModelCase {
  const char* name;
  const char* simModel;
  std::uint8_t imageModel;
  Lines lines;
  bool match;
};
TESSALY_PRINT_PARAM(ModelCase, name)

class SubRoadThreaded : public ::testing::TestWithParam<ModelCase> {};

TEST_P(SubRoadThreaded, ModelCheckDecidesTheRoad) {
  const ModelCase& c = GetParam();
  pjsim::SimOptions o;
  o.model_code = c.simModel;
  SimHarness h(o);
  ASSERT_TRUE(h.started) << h.sim.error();
  h.NameSub(c.imageModel);
  h.MarkStart();
  h.Press();
  if (c.match) {
    ASSERT_TRUE(h.PumpUntil([&] { return h.stagesSeen.subRuns.load() == 1 && h.Idle(); }));
    EXPECT_EQ(h.sim.Snapshot().MessageNames(), (Lines{"PJREQ", "MD?", "UD-RE", "SQ", "SC"}));
    EXPECT_EQ(Probe(h.updater).state().ReadsSuspended.load(), 1);
    EXPECT_EQ(Probe(h.updater).state().UpdateStage.load(), 2);
  } else {
    ASSERT_TRUE(h.PumpUntil([&] { return h.Idle(); }));
    EXPECT_EQ(h.sim.Snapshot().MessageNames(), (Lines{"PJREQ", "MD?"}));
    EXPECT_EQ(Probe(h.updater).state().StopRequested.load(), 0u);
    EXPECT_EQ(h.stagesSeen.subRuns.load(), 0);
  }
  Lines want = {"Try connecting to \"127.0.0.1\"...", "Connected to projector has succeeded."};
  want.insert(want.end(), c.lines.begin(), c.lines.end());
  EXPECT_EQ(h.UpdateLines(), want);
  for (std::size_t i = h.startupLines; i < h.view.logLines().size(); ++i) {
    const LogLine& l = h.view.logLines()[i];
    const bool error = l.text.find("doesn't match") != std::string::npos;
    EXPECT_EQ(l.colour, error ? LogColour::Red : LogColour::Blue) << l.text;
  }
  EXPECT_TRUE(h.sim.violations().empty());
  EXPECT_FALSE(Probe(h.updater).control().ConnectTimer().Enabled());
}

INSTANTIATE_TEST_SUITE_P(
    Models, SubRoadThreaded,
    ::testing::Values(
        ModelCase{"QMA", "QMA", 0x0A, {"Model Name: QMA", "Startup Sub firmware update process..."}, true},
        ModelCase{"QMB", "QMB", 0x0B, {"Model Name: QMB", "Startup Sub firmware update process..."}, true},
        ModelCase{"image_for_other_model",
                  "QMB",
                  0x0A,
                  {"Model Name: QMB", "This Sub firmware model doesn't match to QRN model"},
                  false},
        ModelCase{"unknown_projector", "QRN", 0x0A, {"This Sub firmware model doesn't match to QRN model"}, false},
        ModelCase{"unknown_both", "QRN", 0x0C, {"This Sub firmware model doesn't match to QRN model"}, false}),
    [](const ::testing::TestParamInfo<ModelCase>& p) { return std::string(p.param.name); });

struct SwitchFault {
  const char* name;
  void (*apply)(pjsim::SimOptions&);
  bool sub;
};
TESSALY_PRINT_PARAM(SwitchFault, name)

class SwitchTimeoutThreaded : public ::testing::TestWithParam<SwitchFault> {};

TEST_P(SwitchTimeoutThreaded, UnrecognisedAnswersRunIntoTheSwitchTimeout) {
  pjsim::SimOptions o;
  GetParam().apply(o);
  SimHarness h(o);
  ASSERT_TRUE(h.started) << h.sim.error();
  if (GetParam().sub) {
    h.NameSub(0x0A);
  } else {
    h.NameMain();
  }
  h.MarkStart();
  h.Press();
  ASSERT_TRUE(h.PumpUntil([&] { return h.Idle(); }));
  Lines want = {"Try connecting to \"127.0.0.1\"...", "Connected to projector has succeeded."};
  want.insert(want.end(), kSwitchTimeout.begin(), kSwitchTimeout.end());
  EXPECT_EQ(h.UpdateLines(), want);
  EXPECT_EQ(Probe(h.updater).state().StopRequested.load(), 1u);
  EXPECT_EQ(h.stagesSeen.mainRuns.load() + h.stagesSeen.subRuns.load(), 0);
  EXPECT_FALSE(Probe(h.updater).client().Active());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SwitchTimeoutThreaded,
    ::testing::Values(
        SwitchFault{"no_greeting", [](pjsim::SimOptions& o) { o.no_greeting = true; }, false},
        SwitchFault{"greeting_with_extra_bytes", [](pjsim::SimOptions& o) { o.greeting_extra = true; }, false},
        SwitchFault{"model_answer_in_two_pieces", [](pjsim::SimOptions& o) { o.split_model_answer = true; }, true},
        SwitchFault{"answers_too_slow", [](pjsim::SimOptions& o) { o.answer_delay = 300ms; }, true}),
    [](const ::testing::TestParamInfo<SwitchFault>& p) { return std::string(p.param.name); });

TEST(ControlSessionThreaded, RefusedConnectionSaysCheckTheNetwork) {
  ClosedPort closed;
  ASSERT_NE(closed.port(), 0);
  SimHarness h({}, SimHarness::ShortSettings(), closed.port());
  h.NameMain();
  h.MarkStart();
  h.Press();
  ASSERT_TRUE(h.PumpUntil([&] { return h.Idle(); }));
  EXPECT_EQ(h.UpdateLines(), (Lines{"Try connecting to \"127.0.0.1\"...", "Please check the network connection"}));
  EXPECT_EQ(Probe(h.updater).state().StopRequested.load(), 0u);
  EXPECT_EQ(h.view.logLines().back().colour, LogColour::Red);
}

TEST(ControlSessionThreaded, NothingAnswersGivesTheConnectTimeout) {
  SilentListener silent;
  SimHarness h({}, SimHarness::ShortSettings(), silent.port());
  h.NameMain();
  h.MarkStart();
  h.Press();
  ASSERT_TRUE(h.PumpUntil([&] { return h.Idle(); }));
  Lines want = {"Try connecting to \"127.0.0.1\"..."};
  want.insert(want.end(), kConnectTimeout.begin(), kConnectTimeout.end());
  EXPECT_EQ(h.UpdateLines(), want);
  EXPECT_EQ(Probe(h.updater).state().StopRequested.load(), 1u);
}

TEST(ControlSessionThreaded, RealTimeoutValues) {
  // The shipped 5000 ms and 3000 ms, once each.
  {
    SilentListener silent;
    SimHarness h({}, UpdaterSettings{}, silent.port());
    h.NameMain();
    // Before the press: the press itself starts the timer.
    const auto t0 = std::chrono::steady_clock::now();
    h.Press();
    ASSERT_TRUE(h.PumpUntil([&] { return h.Idle(); }, 15s));
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, 4990ms);
    EXPECT_LT(took, 9000ms);
    EXPECT_TRUE(h.LogHas(kConnectTimeout[0]));
  }
  {
    pjsim::SimOptions o;
    o.greeting_extra = true;
    SimHarness h(o, UpdaterSettings{});
    h.NameMain();
    // Before the press: the press itself starts the timer.
    const auto t0 = std::chrono::steady_clock::now();
    h.Press();
    ASSERT_TRUE(h.PumpUntil([&] { return h.Idle(); }, 15s));
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, 2990ms);
    EXPECT_LT(took, 7000ms);
    EXPECT_TRUE(h.LogHas(kSwitchTimeout[0]));
  }
}

TEST(ControlSessionThreaded, ProjectorClosingWhileSwitchingEndsTheSession) {
  pjsim::SimOptions o;
  o.close_at = pjsim::CloseAt::kAfterGreeting;
  SimHarness h(o);
  h.NameMain();
  h.MarkStart();
  h.Press();
  ASSERT_TRUE(h.PumpUntil([&] { return h.Idle(); }));
  const Lines lines = h.UpdateLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Connection closed by projector");
  EXPECT_EQ(h.view.logLines().back().colour, LogColour::Red);
  for (const std::string& l : lines) EXPECT_NE(l, kSwitchTimeout[0]);
  EXPECT_EQ(Probe(h.updater).state().StopRequested.load(), 0u);
  EXPECT_FALSE(Probe(h.updater).control().ConnectTimer().Enabled());
}

TEST(ControlSessionThreaded, BothFilesReconnectForTheSubStageQuietly) {
  SimHarness h;
  ASSERT_TRUE(h.started) << h.sim.error();
  h.NameMain();
  h.NameSub(0x0A);
  h.MarkStart();
  h.Press();
  ASSERT_TRUE(h.PumpUntil([&] { return h.stagesSeen.subRuns.load() == 1 && h.Idle(); }));
  EXPECT_EQ(h.stagesSeen.mainRuns.load(), 1);
  EXPECT_EQ(h.UpdateLines(), (Lines{"Try connecting to \"127.0.0.1\"...", "Connected to projector has succeeded.",
                                    "Waiting projector restart, and update Sub firmware ...", "Model Name: QMA",
                                    "Startup Sub firmware update process..."}));
  const pjsim::Report r = h.sim.Snapshot();
  EXPECT_EQ(r.MessageNames(1), (Lines{"PJREQ", "UD-ET"}));
  EXPECT_EQ(r.MessageNames(2), (Lines{"PJREQ", "MD?", "UD-RE", "SQ", "SC"}));
  EXPECT_TRUE(r.violations.empty());
}

TEST(AbortThreaded, WhileConnecting) {
  SilentListener silent;
  SimHarness h({}, SimHarness::ShortSettings(), silent.port());
  h.NameMain();
  h.MarkStart();
  h.Press();
  ASSERT_TRUE(h.PumpUntil([&] { return Probe(h.updater).control().ConnectTimer().Enabled(); }));
  h.view.Click(Control::AbortBtn);
  EXPECT_TRUE(h.view.questions().empty());  // nothing is being written: no question
  ASSERT_TRUE(h.PumpUntil([&] { return h.Idle(); }));
  EXPECT_EQ(h.UpdateLines(), (Lines{"Try connecting to \"127.0.0.1\"...", "User abort update....."}));
  EXPECT_EQ(Probe(h.updater).state().StopRequested.load(), 1u);
  // The time-out that would have come stays away.
  h.view.PumpUntil([] { return false; }, 900ms);
  EXPECT_EQ(h.UpdateLines().size(), 2u);
}

TEST(AbortThreaded, WhileSwitching) {
  pjsim::SimOptions o;
  o.no_greeting = true;
  SimHarness h(o);
  h.NameMain();
  h.MarkStart();
  h.Press();
  ASSERT_TRUE(h.PumpUntil([&] { return h.LogHas("Connected to projector has succeeded."); }));
  h.view.Click(Control::AbortBtn);
  ASSERT_TRUE(h.PumpUntil([&] { return h.Idle(); }));
  EXPECT_EQ(h.UpdateLines().back(), "User abort update.....");
  EXPECT_TRUE(h.sim.WaitFor([](const pjsim::Report& r) { return r.ended_connection_count() == 1; }, 5s));
  h.view.PumpUntil([] { return false; }, 700ms);
  EXPECT_EQ(h.UpdateLines().back(), "User abort update.....");
}

TEST(AbortThreaded, DuringTheRestartWaitNothingReconnects) {
  UpdaterSettings s = SimHarness::ShortSettings();
  s.restartWaitMs = 5000;
  SimHarness h({}, s);
  h.NameMain();
  h.NameSub(0x0A);
  h.MarkStart();
  h.Press();
  ASSERT_TRUE(h.PumpUntil([&] { return h.LogHas("Waiting projector restart, and update Sub firmware ..."); }));
  Probe(h.updater).state().UpdateInProgress.store(1);  // as the Main stage leaves it
  h.view.QueueAnswer(Answer::Yes);
  h.view.Click(Control::AbortBtn);
  EXPECT_EQ(h.view.questions().size(), 1u);
  ASSERT_TRUE(h.PumpUntil([&] { return h.LogHas("User abort update....."); }, 3s));
  EXPECT_EQ(h.UpdateLines().back(), "User abort update.....");
  // The wait ends at once and nothing reconnects.
  ASSERT_TRUE(h.PumpUntil([&] { return Probe(h.updater).session().StagesRunning() == 0; }, 3s));
  h.view.Pump();
  EXPECT_EQ(h.sim.connection_count(), 1);
  EXPECT_EQ(Probe(h.updater).control().ConnectTimer().Enabled(), false);
  EXPECT_FALSE(Probe(h.updater).client().Active());
}

class AbortQuestionAcrossTheRestartThreaded : public ::testing::TestWithParam<Answer> {};

// The question before an Abort, asked in the restart wait, is still open when the wait
// ends: the reconnection waits for the answer. Yes: nothing more goes to the projector.
// No: the reconnection goes ahead at once.
TEST_P(AbortQuestionAcrossTheRestartThreaded, NoStageBeginsWhileItIsOpen) {
  UpdaterSettings s = SimHarness::ShortSettings();
  s.restartWaitMs = 300;
  // The Main stage ends only once the question is open, so the whole restart wait falls
  // inside it, however loaded the machine is.
  GatedMainStage gate;  // outlives the updater
  SimHarness h({}, s, 0, true, [&](StageRoutines& stages) { stages.UpdateMainFirmware = gate.Routine(); });
  h.NameMain();
  h.NameSub(0x0A);
  h.MarkStart();
  h.Press();
  ASSERT_TRUE(h.PumpUntil([&] { return gate.runs.load() == 1; }));
  Probe(h.updater).state().UpdateInProgress.store(1);  // as a Main stage serving its image leaves it
  bool waitEnded = false;
  int connectionsWhileOpen = -1;
  h.view.WhileAsked([&] {
    // The box's own loop: the Main stage ends, and the restart wait after it.
    gate.Open(StageEnd::Succeeded);
    waitEnded = h.PumpUntil(
        [&] {
          return h.LogHas("Waiting projector restart, and update Sub firmware ...") &&
                 Probe(h.updater).session().StagesRunning() == 0;
        },
        5s);
    h.view.PumpUntil([] { return false; }, 100ms);
    // Counted before the answer: after No the reconnection may already be under way.
    connectionsWhileOpen = h.sim.connection_count();
  });
  h.view.QueueAnswer(GetParam());
  h.view.Click(Control::AbortBtn);
  ASSERT_TRUE(waitEnded);
  EXPECT_EQ(connectionsWhileOpen, 1) << "reconnected while the question was open";
  if (GetParam() == Answer::Yes) {
    h.view.PumpUntil([] { return false; }, 300ms);
    EXPECT_EQ(h.sim.connection_count(), 1);
    EXPECT_EQ(h.stagesSeen.subRuns.load(), 0);
    EXPECT_TRUE(h.Idle());
    EXPECT_EQ(h.UpdateLines().back(), "User abort update.....");
  } else {
    ASSERT_TRUE(h.PumpUntil([&] { return h.stagesSeen.subRuns.load() == 1 && h.Idle(); }));
    EXPECT_EQ(h.sim.connection_count(), 2);
    EXPECT_EQ(h.UpdateLines().back(), "Startup Sub firmware update process...");
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, AbortQuestionAcrossTheRestartThreaded, ::testing::Values(Answer::Yes, Answer::No),
                         [](const ::testing::TestParamInfo<Answer>& p) {
                           return std::string(p.param == Answer::Yes ? "Yes" : "No");
                         });

class AbortNotConfirmedThreaded : public ::testing::TestWithParam<Answer> {};

// No, and a box closed by its title bar, keep the write going: only Yes is consent.
TEST_P(AbortNotConfirmedThreaded, KeepsTheUpdateRunning) {
  WritingStage sub;  // outlives the updater
  SimHarness h({}, SimHarness::ShortSettings(), 0, true,
               [&](StageRoutines& stages) { stages.SendSubFirmware = sub.Routine(); });
  h.NameSub(0x0A);
  h.MarkStart();
  h.Press();
  ASSERT_TRUE(h.PumpUntil([&] { return sub.runs.load() == 1; }));
  h.view.QueueAnswer(GetParam());
  h.view.Click(Control::AbortBtn);
  EXPECT_EQ(h.view.questions().size(), 1u);
  h.view.PumpUntil([] { return false; }, 50ms);
  EXPECT_EQ(sub.cancels.load(), 0);
  EXPECT_TRUE(h.view.Enabled(Control::AbortBtn));
  for (const std::string& l : h.UpdateLines()) EXPECT_NE(l, "User abort update.....");
}

INSTANTIATE_TEST_SUITE_P(Answers, AbortNotConfirmedThreaded, ::testing::Values(Answer::No, Answer::Closed),
                         [](const ::testing::TestParamInfo<Answer>& p) {
                           return std::string(p.param == Answer::No ? "No" : "BoxClosed");
                         });

struct UnaskedCase {
  const char* name;
  pjsim::SimOptions::Unasked reply;
  bool main;
  Lines messages;  // what the projector receives
  Lines lines;     // after the connection's two lines
  int subRuns;
};
TESSALY_PRINT_PARAM(UnaskedCase, name)

class UnaskedReplyThreaded : public ::testing::TestWithParam<UnaskedCase> {};

// A reply out of turn starts nothing: the Sub writer only after this connection's model
// check, "SQ" only after this connection's Sub download-mode command was acknowledged.
TEST_P(UnaskedReplyThreaded, IsIgnored) {
  const UnaskedCase& c = GetParam();
  pjsim::SimOptions o;
  o.unasked_reply = c.reply;
  o.split_gap = 200ms;  // the unasked reply is a read of its own
  UpdaterSettings settings = SimHarness::ShortSettings();
  settings.switchTimeoutMs = 3000;
  SimHarness h(o, settings);
  ASSERT_TRUE(h.started) << h.sim.error();
  if (c.main) {
    h.NameMain();
  } else {
    h.NameSub(0x0A);
  }
  h.MarkStart();
  h.Press();
  ASSERT_TRUE(h.PumpUntil([&] { return h.Idle() && Probe(h.updater).session().StagesRunning() == 0; }));
  EXPECT_EQ(h.sim.Snapshot().MessageNames(), c.messages);
  Lines want = {"Try connecting to \"127.0.0.1\"...", "Connected to projector has succeeded."};
  want.insert(want.end(), c.lines.begin(), c.lines.end());
  EXPECT_EQ(h.UpdateLines(), want);
  EXPECT_EQ(h.stagesSeen.subRuns.load(), c.subRuns);
  EXPECT_EQ(h.stagesSeen.mainRuns.load(), c.main ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, UnaskedReplyThreaded,
    ::testing::Values(UnaskedCase{"sc_before_the_model_answer",
                                  pjsim::SimOptions::Unasked::kSc,
                                  false,
                                  {"PJREQ", "MD?", "UD-RE", "SQ", "SC"},
                                  {"Model Name: QMA", "Startup Sub firmware update process..."},
                                  1},
                      UnaskedCase{"ud_ack_before_the_model_answer",
                                  pjsim::SimOptions::Unasked::kUdAck,
                                  false,
                                  {"PJREQ", "MD?", "UD-RE", "SQ", "SC"},
                                  {"Model Name: QMA", "Startup Sub firmware update process..."},
                                  1},
                      UnaskedCase{
                          "sc_in_the_main_stage", pjsim::SimOptions::Unasked::kSc, true, {"PJREQ", "UD-ET"}, {}, 0}),
    [](const ::testing::TestParamInfo<UnaskedCase>& p) { return std::string(p.param.name); });

// A Main stage that runs until the test lets it go, as a real one serving a slow boot loader.
// Counts the connection's notifications on their way to the control session.
struct NotificationSpy final : TcpClientEvents {
  explicit NotificationSpy(TcpClientEvents& to) : target(to) {}
  void ClientSocketConnecting() override { target.ClientSocketConnecting(); }
  void ClientSocketConnect() override { target.ClientSocketConnect(); }
  void ClientSocketDisconnect() override {
    ++disconnects;
    target.ClientSocketDisconnect();
  }
  void ClientSocketRead() override {
    ++reads;
    target.ClientSocketRead();
  }
  void ClientSocketError(int& code) override {
    ++errors;
    target.ClientSocketError(code);
  }
  TcpClientEvents& target;
  // Counted on the update loop, read by the test.
  std::atomic<int> disconnects{0}, reads{0}, errors{0};
};

struct GatedHarness {
  explicit GatedHarness(pjsim::SimOptions o = {})
      : h(o, SimHarness::ShortSettings(), 0, true,
          [this](StageRoutines& stages) { stages.UpdateMainFirmware = gate.Routine(); }),
        spy(Probe(h.updater).control()) {
    Probe(h.updater).client().SetEvents(&spy);
  }
  ~GatedHarness() {
    gate.Open(StageEnd::Stopped);
    // The stage's end closes the connection on the loop, which tells the spy: the loop is
    // stopped, and the connection gone, before the spy goes.
    h.updater->Shutdown();
  }
  GatedMainStage gate;  // outlives the updater's workers
  SimHarness h;
  NotificationSpy spy;
};

// After an Abort the Main worker may still be serving until its next look at the stop
// request: "Update Firmware" comes back only when it has ended, and a press before that
// starts nothing.
TEST(NextUpdateThreaded, WaitsForTheLastWorkerToEnd) {
  GatedHarness g;
  SimHarness& h = g.h;
  h.NameMain();
  h.Press();
  ASSERT_TRUE(h.PumpUntil([&] { return g.gate.runs.load() == 1; }));
  h.view.Click(Control::AbortBtn);
  ASSERT_TRUE(h.PumpUntil([&] { return !h.view.Enabled(Control::AbortBtn); }));
  EXPECT_FALSE(h.view.Enabled(Control::UpdateFwBtn)) << "the aborted update's worker still runs";
  EXPECT_TRUE(h.view.Enabled(Control::IpAddrEdit));
  Probe(h.updater).form().UpdateFwBtnClick();  // a press that slips through starts nothing
  h.view.PumpUntil([] { return false; }, 100ms);
  EXPECT_EQ(h.sim.connection_count(), 1);
  EXPECT_FALSE(h.view.Enabled(Control::UpdateFwBtn));

  g.gate.Open(StageEnd::Stopped);  // the worker notices the stop and ends
  ASSERT_TRUE(h.PumpUntil([&] { return h.Idle(); }));
  EXPECT_EQ(Probe(h.updater).session().StagesRunning(), 0);
  const std::size_t before = h.view.logLines().size();
  h.Press();
  EXPECT_TRUE(h.view.Enabled(Control::AbortBtn));
  ASSERT_TRUE(h.PumpUntil([&] { return h.sim.connection_count() == 2; }));
  EXPECT_EQ(h.LogTexts().at(before), "Try connecting to \"127.0.0.1\"...");
}

// On its way into the boot loader the projector may reset the old connection instead of
// closing it: the Main worker, still serving, owns the end of the session.
TEST(MainStageConnectionThreaded, ResetAfterTheAcknowledgementEndsNothing) {
  pjsim::SimOptions o;
  o.close_at = pjsim::CloseAt::kAfterUdAck;
  o.close_with_reset = true;
  GatedHarness g(o);
  SimHarness& h = g.h;
  h.NameMain();
  h.MarkStart();
  h.Press();
  ASSERT_TRUE(h.PumpUntil([&] { return g.gate.runs.load() == 1 && g.spy.errors + g.spy.disconnects >= 1; }));
  EXPECT_EQ(g.spy.errors.load(), 1) << "the projector reset the connection";
  EXPECT_TRUE(h.view.Enabled(Control::AbortBtn));
  EXPECT_FALSE(h.view.Enabled(Control::UpdateFwBtn));
  EXPECT_EQ(Probe(h.updater).state().SessionRunning.load(), 1);
  EXPECT_EQ(h.UpdateLines(), (Lines{"Try connecting to \"127.0.0.1\"...", "Connected to projector has succeeded."}));
  g.gate.Open(StageEnd::Succeeded);
  ASSERT_TRUE(h.PumpUntil([&] { return h.Idle(); }));
  EXPECT_EQ(h.UpdateLines().size(), 2u);
}

TEST(MainStageConnectionThreaded, RepeatedAcknowledgementStartsOneMainWorker) {
  pjsim::SimOptions o;
  o.repeat_ud_ack = true;
  GatedHarness g(o);
  SimHarness& h = g.h;
  h.NameMain();
  h.Press();
  // The greeting, the session acknowledgement and the two download-mode acknowledgements.
  ASSERT_TRUE(h.PumpUntil([&] { return g.gate.runs.load() >= 1 && g.spy.reads >= 4; }));
  EXPECT_EQ(g.gate.runs.load(), 1);
  EXPECT_EQ(Probe(h.updater).session().StagesRunning(), 1);
  g.gate.Open(StageEnd::Succeeded);
  ASSERT_TRUE(h.PumpUntil([&] { return h.Idle(); }));
  EXPECT_EQ(g.gate.runs.load(), 1);
}

}  // namespace
}  // namespace tessaly::testing
