// Faults in every phase of an update, end to end against the simulated projector on the
// real ports in a private network namespace: the operator's Abort, the window closed,
// the projector vanishing (switched off: every socket of it closed) or falling silent.
// After each outcome: the right lines, the window idle again, no worker running, as many
// descriptors and threads as before, and a clean update that succeeds next.

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "netns/netns_support.h"
#include "projector_sim.h"
#include "support/core_probe.h"
#include "support/harness.h"
#include "support/param_print.h"
#include "support/temp_dir.h"

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

enum class Phase { Connecting, Switching, MainTransfer, RestartWait, SubTransfer, Burning };
enum class Act {
  Abort,        // the operator presses Abort and answers Yes
  CloseWindow,  // the operator closes the window and answers Yes
  Vanish,       // the projector is switched off: its connections and ports close
  Silent,       // the projector stops answering; set up through the case's options
  CablePulled,  // nothing gets through to the projector any more, either way
};

int CountEntries(const char* folder) {
  DIR* d = ::opendir(folder);
  if (!d) return -1;
  int n = 0;
  while (const dirent* e = ::readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  ::closedir(d);
  return n;
}

struct Resources {
  int descriptors = CountEntries("/proc/self/fd");
  int threads = CountEntries("/proc/self/task");
  bool operator==(const Resources&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Resources& r) {
  return os << r.descriptors << " descriptors, " << r.threads << " threads";
}

UpdaterSettings MatrixSettings() {
  // The real reply intervals; the waits shortened so that each phase is reached and left
  // quickly, yet a Sub block still lasts long enough (24 x 20 ms) to act in it.
  UpdaterSettings s;
  s.selectWaitUs = 40000;
  s.restartWaitMs = 1000;
  s.subPacketWaitMs = 20;
  s.connectTimeoutMs = 1500;
  s.switchTimeoutMs = 1000;
  s.burnReplyRetries = 15;
  return s;
}

// The lines of a clean update, for the tests that expect the update's start.
const std::string kTrying = "Try connecting to \"127.0.0.2\"...";
const std::string kConnected = "Connected to projector has succeeded.";
const std::string kMainStart = "Startup Main firmware update process...";
const std::string kMainDone = "Updated Main Firmware has succeeded.";
const std::string kRestartWait = "Waiting projector restart, and update Sub firmware ...";
const std::string kModel = "Model Name: QMA";
const std::string kSubStart = "Startup Sub firmware update process...";
const std::string kBurning = "Burning...... Please waiting.....";
const std::string kSubDone = "Updated Sub Firmware has succeeded.";
const std::string kAbort = "User abort update.....";
const std::string kMainFailed = "Update Main firmware failed";
const std::string kSubFailed = "Update Sub firmware failed";
const std::vector<std::string> kWholeUpdate{kTrying, kConnected, kMainStart, kMainDone, kRestartWait,
                                            kModel,  kSubStart,  kBurning,   kSubDone};

struct Rig {
  TempDir dir;
  std::string mainPath;
  std::string subPath;
  std::shared_ptr<Bytes> mainImage;
  std::shared_ptr<Bytes> subImage;
  std::unique_ptr<Harness> harness;
  std::unique_ptr<pjsim::ProjectorSim> sim;

  Rig() {
    mainImage = std::make_shared<Bytes>(Pattern(20 * 512 + 77, 3));
    mainPath = dir.Write("main.bin", *mainImage);
    const Bytes payload = Pattern(16368 + 1000, 9);  // one whole block and the short last one
    subPath = dir.WriteSubImage("sub.brec2", 0x0A, payload);
    subImage = std::make_shared<Bytes>(32, 0);
    (*subImage)[9] = 0x0A;
    subImage->insert(subImage->end(), payload.begin(), payload.end());
  }

  pjsim::SimOptions Options() const {
    pjsim::SimOptions o;
    o.listen_address = "127.0.0.2";
    o.port = 20554;
    o.broadcast_bind_address = "255.255.255.255";  // the updater binds the same ports on 127.0.0.1
    o.tftp_timeout = 5000ms;                       // the updater's resends carry the transfer
    o.restart_delay = 300ms;
    o.burn_time = 200ms;
    o.expected_image = mainImage;
    o.sub_expected_image = subImage;
    return o;
  }

  void OpenWindow(bool main, bool sub) {
    harness = std::make_unique<Harness>(MatrixSettings());
    harness->updater->Start();
    FakeView& v = harness->view;
    v.SetText(Control::IpAddrEdit, "127.0.0.2");
    v.SetText(Control::FileEdit, main ? mainPath : "");
    v.SetText(Control::FileEdit2, sub ? subPath : "");
  }
  // Both files named; returns the counts that an update must leave as they are.
  Resources OpenWindowAndCount() {
    std::thread([] {}).join();  // a thread sanitizer starts its own helper thread with the first one
    OpenWindow(true, true);
    return Resources{};
  }
  void CloseWindow() {
    if (harness) harness->updater->Shutdown();
    harness.reset();
  }
  bool StartProjector(const pjsim::SimOptions& o) {
    sim = std::make_unique<pjsim::ProjectorSim>(o);
    return sim->Start();
  }
  void StopProjector() {
    if (sim) sim->Stop();
    sim.reset();
  }

  FakeView& view() { return harness->view; }
  CoreProbe updater() { return Probe(harness->updater); }
  bool Idle() {
    return view().Enabled(Control::UpdateFwBtn) && !view().Enabled(Control::AbortBtn) &&
           view().Enabled(Control::IpAddrEdit) && updater().session().StagesRunning() == 0 &&
           updater().state().UpdateInProgress.load() == 0;
  }
  bool Logged(const std::string& line) const {
    const Lines all = harness->LogTexts();
    return std::find(all.begin(), all.end(), line) != all.end();
  }
  pjsim::Report Seen() const { return sim->Snapshot(); }
};

// The log from `start` on, and both images in the projector.
void ExpectBothImagesSince(Rig& rig, std::size_t start, const Lines& lines) {
  const Lines all = rig.harness->LogTexts();
  EXPECT_EQ(Lines(all.begin() + static_cast<long>(std::min(start, all.size())), all.end()), lines);
  EXPECT_EQ(rig.updater().state().StagesSucceeded.load(), MainFw | SubFw);
  EXPECT_TRUE(rig.sim->WaitFor(
      [](const pjsim::Report& r) { return r.boot_loader.image_intact && r.sub.intact && r.sub.close_received; }, 5s));
  for (const auto& v : rig.Seen().violations) ADD_FAILURE() << v.ToString();
}

// The packet filter of the test's own namespace stands in for a cable.
// Each rule is one nft command, and the table and chain can be made ahead: a cable pulled
// in the middle of a Sub block must drop in well under the block's 480 ms, however loaded
// the machine is.
struct Filter {
  ~Filter() { Sh("nft delete table inet cable"); }
  static bool Prepare() {
    return Sh("nft 'add table inet cable; add chain inet cable out { type filter hook output priority 0; }'");
  }
  static bool Drop(const std::string& rules) { return Prepare() && DropMore({rules}); }
  // Every rule at once.
  static bool DropMore(const std::vector<std::string>& rules) {
    std::string commands;
    for (const std::string& r : rules) {
      if (!commands.empty()) commands += "; ";
      commands += "add rule inet cable out " + r + " drop";
    }
    return Sh("nft '" + commands + "'");
  }
};

struct FaultCase {
  const char* name;
  Phase phase;
  Act act;
  bool main;
  bool sub;
  void (*arrange)(pjsim::SimOptions&);
  Lines tail;  // the last lines of the log
  bool asks;   // the Abort or close question is asked: firmware is being written
};
TESSALY_PRINT_PARAM(FaultCase, name)

void Nothing(pjsim::SimOptions&) {}
void NoGreeting(pjsim::SimOptions& o) { o.no_greeting = true; }
void SilentAtBlock5(pjsim::SimOptions& o) { o.stop_at_block = 5; }
void NeverBack(pjsim::SimOptions& o) { o.restart_delay = 60000ms; }
void LongBurn(pjsim::SimOptions& o) { o.burn_time = 600000ms; }

bool Reached(Phase phase, Rig& rig) {
  switch (phase) {
    case Phase::Connecting: return rig.Logged(kTrying);
    case Phase::Switching: return rig.Logged(kConnected) && rig.Seen().connection_count() >= 1;
    case Phase::MainTransfer: return rig.Seen().boot_loader.tftp_blocks >= 4;
    case Phase::RestartWait: return rig.Logged(kRestartWait);
    case Phase::SubTransfer: return rig.Seen().sub.payload_bytes > 0;
    case Phase::Burning: return rig.Logged(kBurning) && rig.Seen().sub.phase == pjsim::SubPhase::kBurning;
  }
  return false;
}

// The system closes sockets and ends threads a moment after the calls that end them.
// A descriptor that the sanitizer's runtime held for a moment when the first count was
// taken may be gone since: fewer is no leak, more is.
void ExpectResourcesBack(Rig& rig, const Resources& expected) {
  const auto back = [&] {
    const Resources now;
    return now.threads == expected.threads && now.descriptors <= expected.descriptors;
  };
  bool same = false;
  if (rig.harness) {
    same = rig.view().PumpUntil(back, 5s);
  } else {
    for (int i = 0; i < 1000 && !(same = back()); ++i) std::this_thread::sleep_for(5ms);
  }
  EXPECT_TRUE(same) << "before: " << expected << "; after: " << Resources{};
}

// The next update, with the projector back to normal, succeeds.
void ExpectACleanUpdate(Rig& rig, bool main, bool sub) {
  ASSERT_TRUE(rig.StartProjector(rig.Options())) << rig.sim->error();
  const std::size_t nextStart = rig.view().logLines().size();
  rig.view().Click(Control::UpdateFwBtn);
  ASSERT_TRUE(rig.view().PumpUntil([&] { return rig.Idle(); }, 60s))
      << ::testing::PrintToString(rig.harness->LogTexts());
  const Lines all = rig.harness->LogTexts();
  const Lines next(all.begin() + static_cast<long>(nextStart), all.end());
  ASSERT_FALSE(next.empty());
  EXPECT_EQ(next.back(), sub ? kSubDone : kMainDone) << ::testing::PrintToString(next);
  const std::uint8_t selection = (main ? MainFw : 0) | (sub ? SubFw : 0);
  EXPECT_EQ(rig.updater().state().StagesSucceeded.load(), selection);
  EXPECT_TRUE(rig.sim->WaitFor(
      [&](const pjsim::Report& r) {
        return (!main || r.boot_loader.image_intact) && (!sub || (r.sub.intact && r.sub.close_received));
      },
      5s));
  for (const auto& v : rig.Seen().violations) ADD_FAILURE() << v.ToString();
  rig.StopProjector();
}

class FaultMatrixNetns : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultMatrixNetns, OutcomeThenACleanUpdate) {
  TESSALY_REQUIRE_NETNS();
  const FaultCase& c = GetParam();
  Rig rig;
  Filter filter;

  // A thread sanitizer starts its own helper thread with the process's first thread.
  std::thread([] {}).join();
  // Closing the window takes the whole updater with it: count before it exists.
  const Resources beforeWindow;
  rig.OpenWindow(c.main, c.sub);
  const Resources before;

  pjsim::SimOptions o = rig.Options();
  c.arrange(o);
  ASSERT_TRUE(rig.StartProjector(o)) << rig.sim->error();
  if (c.phase == Phase::Connecting && c.act == Act::Vanish) {
    rig.StopProjector();  // switched off before the attempt: the connection is refused
  } else if (c.phase == Phase::Connecting) {
    // The connection request is lost: the attempt stays open until its time-out.
    ASSERT_TRUE(Filter::Drop("ip daddr 127.0.0.2 tcp dport 20554"));
  }
  if (c.act == Act::CablePulled) {
    ASSERT_TRUE(Filter::Prepare());  // no rule yet: nothing is dropped
  }
  const std::size_t startup = rig.view().logLines().size();
  rig.view().Click(Control::UpdateFwBtn);
  ASSERT_TRUE(rig.view().PumpUntil([&] { return Reached(c.phase, rig); }, 30s))
      << ::testing::PrintToString(rig.harness->LogTexts());

  const std::size_t questions = rig.view().questions().size();
  switch (c.act) {
    case Act::Abort:
      rig.view().QueueAnswer(Answer::Yes);
      rig.view().Click(Control::AbortBtn);
      break;
    case Act::CloseWindow:
      rig.view().QueueAnswer(Answer::Yes);
      ASSERT_TRUE(rig.view().TryClose());
      break;
    case Act::Vanish:
      rig.StopProjector();  // idempotent: a projector already off stays off
      break;
    case Act::CablePulled:
      ASSERT_TRUE(Filter::DropMore({"ip daddr 127.0.0.2 tcp dport 20554", "ip saddr 127.0.0.2 tcp sport 20554"}));
      break;
    case Act::Silent: break;
  }
  EXPECT_EQ(rig.view().questions().size() - questions,
            (c.asks && (c.act == Act::Abort || c.act == Act::CloseWindow)) ? 1u : 0u);

  if (c.act == Act::CloseWindow) {
    const Lines lines = rig.harness->LogTexts();
    const auto began = std::chrono::steady_clock::now();
    rig.CloseWindow();
    // The workers end on the stop request at once; joining them must not wait for a time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - began, 3s);
    ASSERT_GE(lines.size(), c.tail.size());
    EXPECT_EQ(Lines(lines.end() - static_cast<long>(c.tail.size()), lines.end()), c.tail)
        << ::testing::PrintToString(lines);
  } else {
    ASSERT_TRUE(rig.view().PumpUntil([&] { return rig.Idle(); }, 30s))
        << ::testing::PrintToString(rig.harness->LogTexts());
    // Nothing more follows once idle: late lines would mean a worker outlived its session.
    EXPECT_EQ(rig.view().PumpUntil([] { return false; }, 100ms), false);
    const Lines all = rig.harness->LogTexts();
    const Lines lines(all.begin() + static_cast<long>(startup), all.end());
    ASSERT_GE(lines.size(), c.tail.size()) << ::testing::PrintToString(lines);
    EXPECT_EQ(Lines(lines.end() - static_cast<long>(c.tail.size()), lines.end()), c.tail)
        << ::testing::PrintToString(lines);
    EXPECT_EQ(rig.updater().state().StagesSucceeded.load() & (c.phase >= Phase::RestartWait ? SubFw : MainFw | SubFw),
              0);
    EXPECT_FALSE(rig.updater().client().Active());
  }
  rig.StopProjector();
  Sh("nft delete table inet cable");
  ExpectResourcesBack(rig, c.act == Act::CloseWindow ? beforeWindow : before);
  if (c.act == Act::CloseWindow) rig.OpenWindow(c.main, c.sub);
  ExpectACleanUpdate(rig, c.main, c.sub);
  ExpectResourcesBack(rig, before);
}

const Lines kConnectTimeout{"Connecting to PJ timeout....",
                            "Please check PJ in \"LAN\" mode, and accepted \"Cedia\" cmd"};
const Lines kSwitchTimeout{"Switched projector into download mode failed",
                           "Please check PJ in \"Standby\" mode, and accepted \"Cedia\" cmd"};

INSTANTIATE_TEST_SUITE_P(
    EveryPhase, FaultMatrixNetns,
    ::testing::Values(
        // Connecting: the connection request gets no answer.
        FaultCase{"connecting_abort", Phase::Connecting, Act::Abort, true, true, Nothing, {kTrying, kAbort}, false},
        FaultCase{"connecting_close", Phase::Connecting, Act::CloseWindow, true, true, Nothing, {kTrying}, false},
        FaultCase{"connecting_refused",
                  Phase::Connecting,
                  Act::Vanish,
                  true,
                  true,
                  Nothing,
                  {kTrying, "Please check the network connection"},
                  false},
        FaultCase{"connecting_silent", Phase::Connecting, Act::Silent, true, true, Nothing, kConnectTimeout, false},
        // Switching: connected, the download-mode exchange not done.
        FaultCase{"switching_abort", Phase::Switching, Act::Abort, true, true, NoGreeting, {kConnected, kAbort}, false},
        FaultCase{"switching_close", Phase::Switching, Act::CloseWindow, true, true, NoGreeting, {kConnected}, false},
        FaultCase{"switching_vanish",
                  Phase::Switching,
                  Act::Vanish,
                  true,
                  true,
                  NoGreeting,
                  {kConnected, "Connection closed by projector"},
                  false},
        FaultCase{"switching_silent", Phase::Switching, Act::Silent, true, true, NoGreeting, kSwitchTimeout, false},
        // Main transfer: the boot loader stops acknowledging at block 5 and the test acts.
        FaultCase{"main_abort",
                  Phase::MainTransfer,
                  Act::Abort,
                  true,
                  true,
                  SilentAtBlock5,
                  {kMainStart, kAbort, kMainFailed},
                  true},
        FaultCase{"main_close", Phase::MainTransfer, Act::CloseWindow, true, true, SilentAtBlock5, {kMainStart}, true},
        FaultCase{"main_vanish",
                  Phase::MainTransfer,
                  Act::Vanish,
                  true,
                  true,
                  SilentAtBlock5,
                  {kMainStart, kMainFailed},
                  true},
        FaultCase{"main_silent",
                  Phase::MainTransfer,
                  Act::Silent,
                  true,
                  true,
                  SilentAtBlock5,
                  {kMainStart, kMainFailed},
                  true},
        // Restart wait: the Main image is in; the projector restarts.
        FaultCase{"restart_abort", Phase::RestartWait, Act::Abort, true, true, Nothing, {kRestartWait, kAbort}, true},
        FaultCase{"restart_close", Phase::RestartWait, Act::CloseWindow, true, true, Nothing, {kRestartWait}, true},
        FaultCase{"restart_vanish",
                  Phase::RestartWait,
                  Act::Vanish,
                  true,
                  true,
                  Nothing,
                  {kRestartWait, "Please check the network connection"},
                  false},
        FaultCase{"restart_never_back",
                  Phase::RestartWait,
                  Act::Silent,
                  true,
                  true,
                  NeverBack,
                  {kRestartWait, kSwitchTimeout[0], kSwitchTimeout[1]},
                  false},
        // Sub transfer: the first block is on its way.
        FaultCase{
            "sub_abort", Phase::SubTransfer, Act::Abort, false, true, Nothing, {kSubStart, kAbort, kSubFailed}, true},
        FaultCase{"sub_close", Phase::SubTransfer, Act::CloseWindow, false, true, Nothing, {kSubStart}, true},
        FaultCase{"sub_vanish", Phase::SubTransfer, Act::Vanish, false, true, Nothing, {kSubStart, kSubFailed}, true},
        FaultCase{"sub_cable_pulled",
                  Phase::SubTransfer,
                  Act::CablePulled,
                  false,
                  true,
                  Nothing,
                  {kSubStart, kSubFailed},
                  true},
        // Burning: every block is in; the projector writes it to flash.
        FaultCase{
            "burning_abort", Phase::Burning, Act::Abort, false, true, LongBurn, {kBurning, kAbort, kSubFailed}, true},
        FaultCase{"burning_close", Phase::Burning, Act::CloseWindow, false, true, LongBurn, {kBurning}, true},
        FaultCase{"burning_vanish", Phase::Burning, Act::Vanish, false, true, LongBurn, {kBurning, kSubFailed}, true},
        FaultCase{"burning_silent", Phase::Burning, Act::Silent, false, true, LongBurn, {kBurning, kSubFailed}, true}),
    [](const ::testing::TestParamInfo<FaultCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace tessaly::testing

namespace tessaly::testing {
namespace {

class HeldPortMatrixNetns : public ::testing::TestWithParam<std::uint16_t> {};

TEST_P(HeldPortMatrixNetns, FailsClearlyThenSucceedsOnceTheProgramIsGone) {
  TESSALY_REQUIRE_NETNS();
  Rig rig;
  const Resources before = rig.OpenWindowAndCount();
  {
    UdpPeer holder("0.0.0.0", GetParam());  // a DHCP or TFTP server on every address
    ASSERT_TRUE(holder.ok());
    ASSERT_TRUE(rig.StartProjector(rig.Options())) << rig.sim->error();
    const std::size_t startup = rig.view().logLines().size();
    rig.view().Click(Control::UpdateFwBtn);
    ASSERT_TRUE(rig.view().PumpUntil([&] { return rig.Logged(kMainFailed) && rig.Idle(); }, 30s))
        << ::testing::PrintToString(rig.harness->LogTexts());
    const Lines all = rig.harness->LogTexts();
    EXPECT_EQ(Lines(all.begin() + static_cast<long>(startup), all.end()),
              (Lines{kTrying, kConnected,
                     "Cannot bind UDP port " + std::to_string(GetParam()) + " on 127.0.0.1: Address already in use",
                     kMainFailed}));
    EXPECT_EQ(rig.updater().state().StagesSucceeded.load(), 0);
    // The ports are bound before the projector is switched: it never got the command, so
    // it is not left waiting in download mode.
    EXPECT_TRUE(rig.sim->WaitFor([](const pjsim::Report& r) { return r.ended_connection_count() == 1; }, 5s));
    const Lines received = rig.Seen().MessageNames();
    EXPECT_EQ(std::count(received.begin(), received.end(), "UD-ET"), 0) << ::testing::PrintToString(received);
    rig.StopProjector();
  }
  ExpectResourcesBack(rig, before);
  ExpectACleanUpdate(rig, true, true);
  ExpectResourcesBack(rig, before);
}

INSTANTIATE_TEST_SUITE_P(Ports, HeldPortMatrixNetns, ::testing::Values(67, 69));

}  // namespace
}  // namespace tessaly::testing

namespace tessaly::testing {
namespace {

struct ProjectorQuirk {
  const char* name;
  void (*arrange)(pjsim::SimOptions&);
};
TESSALY_PRINT_PARAM(ProjectorQuirk, name)

class ProjectorQuirkNetns : public ::testing::TestWithParam<ProjectorQuirk> {};

// What a projector may do on its way into the boot loader changes nothing: one Main stage,
// both images intact.
TEST_P(ProjectorQuirkNetns, UpdateSucceedsWithOneMainStage) {
  TESSALY_REQUIRE_NETNS();
  Rig rig;
  const Resources before = rig.OpenWindowAndCount();
  pjsim::SimOptions o = rig.Options();
  GetParam().arrange(o);
  ASSERT_TRUE(rig.StartProjector(o)) << rig.sim->error();
  const std::size_t startup = rig.view().logLines().size();
  rig.view().Click(Control::UpdateFwBtn);
  ASSERT_TRUE(rig.view().PumpUntil([&] { return rig.Idle(); }, 60s))
      << ::testing::PrintToString(rig.harness->LogTexts());
  ExpectBothImagesSince(rig, startup, kWholeUpdate);
  rig.StopProjector();
  ExpectResourcesBack(rig, before);
}

INSTANTIATE_TEST_SUITE_P(
    Quirks, ProjectorQuirkNetns,
    ::testing::Values(ProjectorQuirk{"reset_at_restart", [](pjsim::SimOptions& o) { o.close_with_reset = true; }},
                      ProjectorQuirk{"repeated_ud_ack", [](pjsim::SimOptions& o) { o.repeat_ud_ack = true; }}),
    [](const ::testing::TestParamInfo<ProjectorQuirk>& p) { return std::string(p.param.name); });

// "Update Firmware" pressed as soon as it can be after an Abort in the Main transfer: the
// aborted worker has let go of the ports and its end touches nothing of the new update.
TEST(NextUpdateNetns, PressedAtOnceAfterAnAbortInTheMainTransfer) {
  TESSALY_REQUIRE_NETNS();
  Rig rig;
  const Resources before = rig.OpenWindowAndCount();
  pjsim::SimOptions o = rig.Options();
  o.stop_at_block = 5;
  ASSERT_TRUE(rig.StartProjector(o)) << rig.sim->error();
  rig.view().Click(Control::UpdateFwBtn);
  ASSERT_TRUE(rig.view().PumpUntil([&] { return Reached(Phase::MainTransfer, rig); }, 30s));
  rig.view().QueueAnswer(Answer::Yes);
  rig.view().Click(Control::AbortBtn);
  // The Abort is carried out on the update loop; its session's end follows its line.
  ASSERT_TRUE(rig.view().PumpUntil([&] { return !rig.view().Enabled(Control::AbortBtn); }, 5s));
  const Lines sofar = rig.harness->LogTexts();
  const auto abortLine = std::find(sofar.rbegin(), sofar.rend(), kAbort);
  ASSERT_NE(abortLine, sofar.rend());
  const std::size_t start = static_cast<std::size_t>(sofar.rend() - abortLine);  // just after it
  rig.StopProjector();
  ASSERT_TRUE(rig.StartProjector(rig.Options())) << rig.sim->error();
  // Pressed at every turn of the loop until it takes.
  // The count is taken just before the press that takes: the new update's own stages run
  // on the loop at once after it.
  int runningWhenPressed = -1;
  ASSERT_TRUE(rig.view().PumpUntil(
      [&] {
        runningWhenPressed = rig.updater().session().StagesRunning();
        rig.view().Click(Control::UpdateFwBtn);
        return rig.view().Enabled(Control::AbortBtn);
      },
      10s));
  EXPECT_EQ(runningWhenPressed, 0) << "the new update started beside the old worker";
  ASSERT_TRUE(rig.view().PumpUntil([&] { return rig.Idle(); }, 60s))
      << ::testing::PrintToString(rig.harness->LogTexts());
  // The aborted stage's last line comes before the new update's first.
  Lines lines{kMainFailed};
  lines.insert(lines.end(), kWholeUpdate.begin(), kWholeUpdate.end());
  ExpectBothImagesSince(rig, start, lines);
  rig.StopProjector();
  ExpectResourcesBack(rig, before);
}

}  // namespace
}  // namespace tessaly::testing
