// The firewall asked before the projector is switched: a firewall that keeps the boot
// loader's requests out leaves the projector as it is and fails the update with lines
// that say what to do; an allowed or unknown answer changes nothing.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>

#include "app/update_core.h"
#include "control_service.h"
#include "support/fake_stages.h"
#include "support/fake_view.h"
#include "support/fakes.h"
#include "support/param_print.h"
#include "support/recording_events.h"
#include "support/temp_dir.h"

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const Lines kBlockedLines = {
    "error: Windows Defender Firewall blocks inbound UDP 67, 69 and 32768-40959 to \"C:\\Tools\\tessaly-update.exe\"",
    "error: Please install the updater with its installer, or allow this program in Windows Defender Firewall",
    "error: Update Main firmware failed",
};

// The core over the simulated projector's control service on loopback, its stages
// replaced by counters: the firewall's answer is all that decides.
struct GateRun {
  explicit GateRun(FirewallAnswer answer) : sim(SimOptions()) {
    started = sim.Start();
    UpdaterSettings s;
    s.controlPort = sim.port();
    s.switchTimeoutMs = 2000;
    StageRoutines stages;
    stages.UpdateMainFirmware = MainStageGiving([this] {
      ++mainRuns;
      return StageEnd::Failed;  // no boot loader here: the stage fails once it was reached
    });
    stages.SendSubFirmware = SubStageGiving([] { return StageEnd::Failed; });
    core = std::make_unique<UpdateCore>(profile, debug, s, std::move(stages));
    auto check = std::make_unique<AnsweringFirewall>(answer);
    firewall = check.get();
    core->SetFirewallCheck(std::move(check));
    core->Attach(thread, events);
  }
  ~GateRun() {
    core->Shutdown();
    sim.Stop();
  }
  static pjsim::SimOptions SimOptions() {
    pjsim::SimOptions o;
    o.listen_address = "127.0.0.1";
    o.port = 0;
    return o;
  }
  UpdateRequest Request(bool withSub) {
    UpdateRequest r;
    r.projectorAddress = "127.0.0.1";
    r.macAddress = "FF.FF.FF.FF.FF.FF";
    r.mainFile = dir.Write("m.bin", std::vector<std::uint8_t>(1000, 0x42));
    if (withSub) r.subFile = dir.WriteSubImage("s.brec2", 0x0A /* QMA */, std::vector<std::uint8_t>(100, 3));
    return r;
  }
  bool Ended() const { return !events.events.empty() && events.events.back().rfind("end: ", 0) == 0; }
  bool PumpUntilEnded() {
    return thread.PumpUntil([&] { return Ended(); }, 10s);
  }
  bool Has(const std::string& line) const {
    return std::find(events.events.begin(), events.events.end(), line) != events.events.end();
  }
  // The lines from the first firewall line on; empty when there is none.
  Lines FirewallLines() const {
    auto first = std::find(events.events.begin(), events.events.end(), kBlockedLines[0]);
    Lines out;
    for (auto it = first; it != events.events.end(); ++it) {
      if (it->rfind("error: ", 0) == 0 || it->rfind("info: ", 0) == 0) out.push_back(*it);
    }
    return out;
  }

  TempDir dir;
  pjsim::ControlService sim;
  bool started = false;
  MemoryProfile profile;
  RecordingDebugOutput debug;
  FakeView thread;
  RecordingEvents events;
  std::unique_ptr<UpdateCore> core;
  AnsweringFirewall* firewall = nullptr;
  std::atomic<int> mainRuns{0};
};

struct GateCase {
  const char* name;
  FirewallAnswer answer;
  bool manual;
};
TESSALY_PRINT_PARAM(GateCase, name)

class FirewallGateThreaded : public ::testing::TestWithParam<GateCase> {};

TEST_P(FirewallGateThreaded, OnlyABlockingFirewallKeepsTheProjectorAsItIs) {
  const GateCase& c = GetParam();
  GateRun run(c.answer);
  ASSERT_TRUE(run.started) << run.sim.error();
  UpdateRequest request = run.Request(/*withSub=*/!c.manual);
  if (c.manual) {
    request.manual = true;
    request.adapterIndex = 0;
    request.adapterAddress = "127.0.0.1";
  }
  ASSERT_TRUE(run.core->Start(request));
  ASSERT_TRUE(run.PumpUntilEnded()) << ::testing::PrintToString(run.events.events);

  // Asked once, about the adapter that faces the projector, for the boot loader's ports.
  EXPECT_EQ(run.firewall->asked.load(), 1);
  EXPECT_EQ(run.firewall->lastAddress.load(), ::inet_addr("127.0.0.1"));
  EXPECT_EQ(run.firewall->lastPorts, "67, 69 and 32768-40959");
  const bool blocked = c.answer == FirewallAnswer::Blocked;
  if (blocked) {
    // Nothing was served, and on the switched path the projector never heard the command.
    EXPECT_EQ(run.FirewallLines(), kBlockedLines) << ::testing::PrintToString(run.events.events);
    EXPECT_EQ(run.mainRuns.load(), 0);
    EXPECT_EQ(run.events.events.back(), "end: failed");
  } else {
    EXPECT_TRUE(run.FirewallLines().empty()) << ::testing::PrintToString(run.events.events);
    EXPECT_EQ(run.mainRuns.load(), 1);
  }
  if (!c.manual) {
    EXPECT_TRUE(run.Has("info: Connected to projector has succeeded."));
    if (blocked) {
      EXPECT_FALSE(run.sim.main_download_mode_entered());
    } else {
      // The simulator marks the switch just after it answered it.
      EXPECT_TRUE(run.sim.WaitFor([](const pjsim::Report& r) { return r.main_download_mode_entered; }, 5s));
    }
    // The Sub stage never began either: the update ended with the refusal.
    EXPECT_FALSE(run.Has("info: Waiting projector restart, and update Sub firmware ..."));
  }
}

INSTANTIATE_TEST_SUITE_P(Answers, FirewallGateThreaded,
                         ::testing::Values(GateCase{"switched_blocked", FirewallAnswer::Blocked, false},
                                           GateCase{"switched_allowed", FirewallAnswer::Allowed, false},
                                           GateCase{"switched_unknown", FirewallAnswer::Unknown, false},
                                           GateCase{"manual_blocked", FirewallAnswer::Blocked, true},
                                           GateCase{"manual_allowed", FirewallAnswer::Allowed, true},
                                           GateCase{"manual_unknown", FirewallAnswer::Unknown, true}),
                         [](const ::testing::TestParamInfo<GateCase>& p) { return std::string(p.param.name); });

// An update without the Main firmware switches nothing into the boot loader: the firewall
// is not asked, and a blocking one changes nothing.
TEST(FirewallGateThreaded, SubOnlyUpdateDoesNotAsk) {
  GateRun run(FirewallAnswer::Blocked);
  ASSERT_TRUE(run.started) << run.sim.error();
  UpdateRequest request = run.Request(true);
  request.mainFile.clear();
  ASSERT_TRUE(run.core->Start(request));
  ASSERT_TRUE(run.PumpUntilEnded()) << ::testing::PrintToString(run.events.events);
  EXPECT_EQ(run.firewall->asked.load(), 0);
  EXPECT_TRUE(run.FirewallLines().empty());
  EXPECT_TRUE(run.Has("info: Model Name: QMA")) << ::testing::PrintToString(run.events.events);
}

}  // namespace
}  // namespace tessaly::testing
