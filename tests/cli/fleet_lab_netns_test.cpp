// Four simulated projectors on one bridged segment, updated by one run of the real command
// line. Every broadcast of the updater reaches every projector, as on a real LAN; the
// projectors' timelines show whether two boot loaders were ever awake at once, and whether a
// Magic packet or BOOTP reply crossed the segment while a Sub image was being received.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "cli/fleet_projector.h"
#include "cli/fleet_timeline.h"
#include "netns/netns_support.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

constexpr int kUnits = 4;

bool AnyStartsWith(const Lines& lines, const std::string& head, const std::string& contains = "") {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.rfind(head, 0) == 0 && l.find(contains) != std::string::npos;
  });
}

// The checks themselves, on timelines made up for the purpose: each rule catches its breach.
TEST(CliFleetTimeline, ParsesTheSimulatorsLines) {
  const ProjectorTimeline t = ParseTimeline(
      "p", {"listening on 10.75.0.2:20554, model QMB",
            "timeline: boot loader awake run 1 from 100.000000001 to 102.500000000 (restarting)",
            "timeline: sub firmware received run 1 connection 2 from 110.000000000 to open (receiving blocks)",
            "timeline: heard Magic packet at 100.100000000 from 10.75.0.1:9, 102 bytes",
            "timeline: heard BOOTP reply at 100.200000000 from 10.75.0.1:67, 300 bytes",
            "timeline: heard Magic packet at soon from 10.75.0.1:9, 102 bytes"});
  ASSERT_EQ(t.awake.size(), 1u);
  EXPECT_EQ(t.awake[0].from, 100000000001);
  EXPECT_EQ(t.awake[0].to, 102500000000);
  EXPECT_EQ(t.awake[0].end, "restarting");
  ASSERT_EQ(t.sub.size(), 1u);
  EXPECT_EQ(t.sub[0].to, kStillOpen);
  EXPECT_EQ(t.sub[0].end, "receiving blocks");
  ASSERT_EQ(t.magic.size(), 1u);
  EXPECT_EQ(t.magic[0].at, 100100000000);
  EXPECT_EQ(t.magic[0].source, "10.75.0.1:9");
  ASSERT_EQ(t.bootp_replies.size(), 1u);
  EXPECT_EQ(t.unreadable, std::vector<std::string>{"timeline: heard Magic packet at soon from 10.75.0.1:9, 102 bytes"});
  EXPECT_EQ(FleetTimelineProblems({t}).size(), 1u);  // the unreadable line
}

TEST(CliFleetTimeline, EachRuleCatchesItsBreach) {
  ProjectorTimeline a{"a", {{100, 200, "restarting"}}, {{300, 400, "closed"}}, {{50, "pc:9"}}, {{150, "pc:67"}}, {}, {}};
  ProjectorTimeline b{"b", {{250, 290, "restarting"}}, {{410, 500, "closed"}}, {{240, "pc:9"}}, {{260, "pc:67"}}, {}, {}};
  EXPECT_TRUE(FleetTimelineProblems({a, b}).empty());

  ProjectorTimeline overlapping = b;
  overlapping.awake[0] = {199, 290, "restarting"};
  EXPECT_EQ(FleetTimelineProblems({a, overlapping}).size(), 1u);
  ProjectorTimeline stillAwake = b;
  stillAwake.awake[0] = {50, kStillOpen, "stopped"};
  EXPECT_EQ(FleetTimelineProblems({a, stillAwake}).size(), 1u);

  // b hears a Magic packet while a receives its Sub firmware, and a hears a BOOTP reply
  // at the very end of b's stream.
  ProjectorTimeline duringSub = b;
  duringSub.magic.push_back({350, "pc:9"});
  ProjectorTimeline lateReply = a;
  lateReply.bootp_replies.push_back({500, "pc:67"});
  const std::vector<std::string> problems = FleetTimelineProblems({lateReply, duringSub});
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_NE(problems[0].find("BOOTP reply from pc:67 reached a at 0.000000500 while b"), std::string::npos)
      << problems[0];
  EXPECT_NE(problems[1].find("Magic packet from pc:9 reached b at 0.000000350 while a"), std::string::npos)
      << problems[1];

  ProjectorTimeline deaf = a;
  deaf.listener_errors.push_back("cannot open a raw UDP socket: Operation not permitted");
  EXPECT_EQ(FleetTimelineProblems({deaf, b}).size(), 1u);
}

class CliFleetLabNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    TESSALY_REQUIRE_NETNS();
    segment_ = std::make_unique<BridgedSegment>(kUnits);
    ASSERT_TRUE(segment_->ok());
    dir_.Write("main.bin", Pattern(48 * 1024, 31));
    WriteSubImage(16368 + 500);
  }

  void WriteSubImage(std::size_t bytes) { dir_.WriteSubImage("sub.brec2", 0x0B, Pattern(bytes, 32)); }

  void StartProjector(int i, const std::vector<std::string>& extra) {
    const std::string address = segment_->address(i);
    projectors_.push_back(StartFleetProjector(segment_->far(i).pid(), address, dir_, extra));
    ASSERT_TRUE(projectors_.back()->WaitForLine("listening on " + address + ":20554, model QMB", 10s))
        << projectors_.back()->Output();
  }

  // The real command line, every projector in segment order, both images found in the folder.
  std::unique_ptr<ChildProcess> StartUpdater(std::vector<std::string> args = {}) {
    for (int i = 0; i < kUnits; ++i) args.insert(args.end(), {"--projector", segment_->address(i)});
    return std::make_unique<ChildProcess>(TESSALY_UPDATE_PATH, args, dir_.path().string(),
                                          std::vector<std::string>{"HOME=" + dir_.path().string(),
                                                                   "XDG_CONFIG_HOME=" + dir_.File("config"),
                                                                   "XDG_STATE_HOME=" + dir_.File("state")});
  }

  // Ends every simulator, each expected to exit with its status (0: nothing wrong seen, and
  // no sanitizer report); their timelines, in segment order.
  std::vector<ProjectorTimeline> EndProjectors(const std::vector<int>& statuses) {
    std::vector<ProjectorTimeline> fleet;
    for (int i = 0; i < kUnits; ++i) {
      ChildProcess& p = *projectors_[static_cast<std::size_t>(i)];
      p.Signal(SIGTERM);
      EXPECT_EQ(p.WaitExit(20s), std::optional<int>(statuses[static_cast<std::size_t>(i)])) << p.Output();
      fleet.push_back(ParseTimeline(segment_->address(i), p.lines()));
    }
    return fleet;
  }

  std::string AllOutput() const {
    std::string all;
    for (std::size_t i = 0; i < projectors_.size(); ++i) {
      all += "--- projector " + segment_->address(static_cast<int>(i)) + "\n" + projectors_[i]->Output();
    }
    return all;
  }

  TempDir dir_;
  std::unique_ptr<BridgedSegment> segment_;
  std::vector<std::unique_ptr<ChildProcess>> projectors_;  // after segment_: they end before their namespaces
};

struct FleetRun {
  const char* name;
  std::vector<std::string> args;
  std::size_t subBytes;
};

class CliFleetLabRuns : public CliFleetLabNetns, public ::testing::WithParamInterface<FleetRun> {};

TEST_P(CliFleetLabRuns, FourProjectorsOnOneSegment) {
  const bool oneByOne = !GetParam().args.empty();
  WriteSubImage(GetParam().subBytes);
  for (int i = 0; i < kUnits; ++i) ASSERT_NO_FATAL_FAILURE(StartProjector(i, {}));
  const auto began = std::chrono::steady_clock::now();
  auto updater = StartUpdater(GetParam().args);
  ASSERT_EQ(updater->WaitExit(200s), std::optional<int>(0)) << updater->Output() << AllOutput();
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
  RecordProperty("fleet_run_ms", static_cast<int>(took.count()));
  std::printf("fleet of %d: %lld ms\n", kUnits, static_cast<long long>(took.count()));

  const std::vector<ProjectorTimeline> fleet = EndProjectors({0, 0, 0, 0});
  for (const std::string& problem : FleetTimelineProblems(fleet)) ADD_FAILURE() << problem;

  for (int i = 0; i < kUnits; ++i) {
    const ChildProcess& p = *projectors_[static_cast<std::size_t>(i)];
    const ProjectorTimeline& t = fleet[static_cast<std::size_t>(i)];
    // Every image whole, nothing out of place.
    EXPECT_TRUE(AnyStartsWith(p.lines(), "boot loader: ", "image intact: yes")) << p.Output();
    EXPECT_TRUE(AnyStartsWith(p.lines(), "sub image: Sub image received intact")) << p.Output();
    EXPECT_TRUE(AnyStartsWith(p.lines(), "verdict: OK")) << p.Output();
    // Woken once, restarted into the new firmware, then the Sub image in one stream.
    ASSERT_EQ(t.awake.size(), 1u) << p.Output();
    EXPECT_EQ(t.awake[0].end, "restarting");
    ASSERT_EQ(t.sub.size(), 1u) << p.Output();
    EXPECT_EQ(t.sub[0].end, "closed");
    EXPECT_LT(t.awake[0].to, t.sub[0].from) << t.name;
    // Each unit's Magic packet and BOOTP reply reached every projector: the segment is one,
    // and the listener hears what the boot loader does not.
    EXPECT_GE(t.magic.size(), static_cast<std::size_t>(kUnits)) << p.Output();
    EXPECT_GE(t.bootp_replies.size(), static_cast<std::size_t>(kUnits)) << p.Output();
    for (const auto* heard : {&t.magic, &t.bootp_replies}) {
      for (const TimelineDatagram& d : *heard) EXPECT_EQ(d.source.rfind(segment_->near_address() + ":", 0), 0u) << d.source;
    }
  }
  for (int i = 1; i < kUnits; ++i) {
    const ProjectorTimeline& before = fleet[static_cast<std::size_t>(i - 1)];
    const ProjectorTimeline& t = fleet[static_cast<std::size_t>(i)];
    // The boot loaders woke one at a time, in the order given.
    EXPECT_LT(before.awake[0].to, t.awake[0].from) << t.name;
    if (oneByOne) {
      // One whole unit after another.
      EXPECT_LT(before.sub[0].to, t.awake[0].from) << t.name;
    } else {
      // Every Main image first, then the Sub images side by side: this unit's stream began
      // while the one before was still streaming (a Sub stream outlasts a Main stage).
      EXPECT_LT(fleet.back().awake[0].to, t.sub[0].from) << t.name;
      EXPECT_LT(t.sub[0].from, before.sub[0].to) << t.name;
    }
  }
  if (!oneByOne) {
    EXPECT_LT(fleet.back().awake[0].to, fleet.front().sub[0].from);
  }
}

// The default run with a Sub image of two blocks and 1000 bytes, long enough for the streams
// to meet; one after another with a shorter one.
INSTANTIATE_TEST_SUITE_P(Runs, CliFleetLabRuns,
                         ::testing::Values(FleetRun{"side_by_side", {}, 2 * 16368 + 1000},
                                           FleetRun{"one_by_one", {"--parallel", "1"}, 16368 + 500}),
                         [](const ::testing::TestParamInfo<FleetRun>& p) { return std::string(p.param.name); });

// The second projector's boot loader falls silent at the first block after its switch: it
// may still be awake on the segment, so the later units are never switched. The first one
// still takes its Sub image, once the Main stages are over.
TEST_F(CliFleetLabNetns, SilentBootLoaderLeavesTheLaterProjectorsAsleep) {
  for (int i = 0; i < kUnits; ++i) {
    ASSERT_NO_FATAL_FAILURE(StartProjector(i, i == 1 ? std::vector<std::string>{"--stop-at-block", "1"}
                                                     : std::vector<std::string>{}));
  }
  auto updater = StartUpdater();
  ASSERT_EQ(updater->WaitExit(150s), std::optional<int>(1)) << updater->Output() << AllOutput();
  const Lines& lines = updater->lines();
  const auto summary = std::find(lines.begin(), lines.end(), "Summary:");
  ASSERT_NE(summary, lines.end()) << updater->Output();
  const Lines units(summary + 1, lines.end());
  const std::string a1 = segment_->address(0), a2 = segment_->address(1);
  EXPECT_TRUE(AnyStartsWith(units, "  " + a1 + "  Main: succeeded, Sub: succeeded, ")) << updater->Output();
  EXPECT_TRUE(AnyStartsWith(units, "  " + a2 + "  Main: failed, ")) << updater->Output();
  for (int i = 2; i < kUnits; ++i) {
    EXPECT_TRUE(AnyStartsWith(units, "  " + segment_->address(i) + "  Main: skipped, ")) << updater->Output();
  }
  EXPECT_TRUE(AnyStartsWith(units, "The projectors after " + a2 + " were skipped")) << updater->Output();

  // The silent one saw a Main image begun and never finished.
  const std::vector<ProjectorTimeline> fleet = EndProjectors({0, 1, 0, 0});
  for (const std::string& problem : FleetTimelineProblems(fleet)) ADD_FAILURE() << problem;

  ASSERT_EQ(fleet[0].awake.size(), 1u) << AllOutput();
  EXPECT_EQ(fleet[0].awake[0].end, "restarting");
  ASSERT_EQ(fleet[0].sub.size(), 1u) << AllOutput();
  EXPECT_EQ(fleet[0].sub[0].end, "closed");
  ASSERT_EQ(fleet[1].awake.size(), 1u) << AllOutput();
  EXPECT_EQ(fleet[1].awake[0].end, "silent (fault)");
  EXPECT_TRUE(fleet[1].sub.empty()) << AllOutput();
  for (int i = 2; i < kUnits; ++i) {
    const ChildProcess& p = *projectors_[static_cast<std::size_t>(i)];
    const ProjectorTimeline& t = fleet[static_cast<std::size_t>(i)];
    // Never woken, never asked; yet they heard the two switched units' broadcasts.
    EXPECT_TRUE(t.awake.empty()) << p.Output();
    EXPECT_TRUE(t.sub.empty()) << p.Output();
    EXPECT_FALSE(AnyStartsWith(p.lines(), "connection ")) << p.Output();
    EXPECT_GE(t.magic.size(), 2u) << p.Output();
    EXPECT_GE(t.bootp_replies.size(), 2u) << p.Output();
  }
}

}  // namespace
}  // namespace tessaly::testing
