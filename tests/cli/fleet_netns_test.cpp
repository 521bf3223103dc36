// Three projectors in one run of the real command line, with both firmware images: one
// refuses the connection, one reports a wrong Sub checksum, one is good. The two
// simulators sit in namespaces of their own behind veth pairs, so that the Main stage's
// broadcasts cross a real link for each.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>

#include "cli/fleet_projector.h"
#include "netns/netns_support.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

bool Has(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class CliFleetNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    TESSALY_REQUIRE_NETNS();
    for (int i = 0; i < 2; ++i) {
      far_[i] = std::make_unique<FarNamespace>();
      ASSERT_TRUE(far_[i]->ok());
      const std::string n = std::to_string(i + 1);
      ASSERT_TRUE(far_[i]->Link("uf" + n, "10.74." + n + ".1/24", "pf" + n, "10.74." + n + ".2/24"));
    }
  }

  std::unique_ptr<ChildProcess> Projector(int i, const TempDir& dir, const std::vector<std::string>& extra) {
    const std::string address = "10.74." + std::to_string(i + 1) + ".2";
    auto p = StartFleetProjector(far_[i]->pid(), address, dir, extra);
    EXPECT_TRUE(p->WaitForLine("listening on " + address + ":20554, model QMB", 10s)) << p->Output();
    return p;
  }

  std::unique_ptr<FarNamespace> far_[2];  // their ends remove the projectors' namespaces
};

TEST_F(CliFleetNetns, RefusedWrongChecksumAndGood) {
  TempDir dir;
  dir.Write("main.bin", Pattern(9 * 512 + 77, 21));
  dir.WriteSubImage("sub.brec2", 0x0B, Pattern(16368 + 333, 22));
  auto checksum = Projector(0, dir, {"--sub-wrong-checksum"});
  auto good = Projector(1, dir, {});

  // Nothing listens on the first address.
  ChildProcess updater(
      TESSALY_UPDATE_PATH, {"--projector", "127.0.0.9", "--projector", "10.74.1.2", "--projector", "10.74.2.2"},
      dir.path().string(),
      {"HOME=" + dir.path().string(), "XDG_CONFIG_HOME=" + dir.File("config"), "XDG_STATE_HOME=" + dir.File("state")});
  ASSERT_EQ(updater.WaitExit(150s), std::optional<int>(1)) << updater.Output();
  const Lines& lines = updater.lines();

  // The search names the files once; then each unit's lines, in order, with its prefix.
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Main firmware : main.bin");
  const Lines wanted{
      "[127.0.0.9] Try connecting to \"127.0.0.9\"...",
      "[127.0.0.9] error: Please check the network connection",
      "[10.74.1.2] Main firmware : main.bin",
      "[10.74.1.2] Updated Main Firmware has succeeded.",
      "[10.74.1.2] Waiting projector restart, and update Sub firmware ...",
      "[10.74.1.2] Model Name: QMB",
      "[10.74.1.2] error: Update Sub firmware failed",
      "[10.74.2.2] Main firmware : main.bin",
      "[10.74.2.2] Updated Main Firmware has succeeded.",
      "[10.74.2.2] Model Name: QMB",
      "[10.74.2.2] Updated Sub Firmware has succeeded.",
      "Summary:",
  };
  // Each unit's lines in order; the units' lines interleave once the Sub stages run side
  // by side, but the second Main stage begins only after the first one's.
  std::map<std::string, Lines::const_iterator> at;
  for (const std::string& w : wanted) {
    const std::string prefix = w.substr(0, w.find(' ') + 1);
    auto from = at.count(prefix) ? at[prefix] : lines.begin();
    from = std::find(from, lines.end(), w);
    ASSERT_NE(from, lines.end()) << "missing or out of order: " << w << "\n" << updater.Output();
    at[prefix] = from;
  }
  const auto firstMainOver = std::find(lines.begin(), lines.end(), "[10.74.1.2] Waiting projector restart, and update Sub firmware ...");
  EXPECT_LT(firstMainOver - lines.begin(),
            std::find(lines.begin(), lines.end(), "[10.74.2.2] Main firmware : main.bin") - lines.begin());
  const auto summaryAt = std::find(lines.begin(), lines.end(), "Summary:");
  for (const auto& [prefix, last] : at) EXPECT_LT(last - lines.begin(), summaryAt - lines.begin() + 1) << prefix;
  EXPECT_FALSE(Has(lines, "[10.74.2.2] error: Update Sub firmware failed"));

  // The summary: one line a unit; the times vary.
  const auto summary = std::find(lines.begin(), lines.end(), "Summary:");
  ASSERT_EQ(lines.end() - summary, 4) << updater.Output();
  const Lines heads{"  127.0.0.9  Main: failed, Sub: skipped, ", "  10.74.1.2  Main: succeeded, Sub: failed, ",
                    "  10.74.2.2  Main: succeeded, Sub: succeeded, "};
  for (std::size_t i = 0; i < heads.size(); ++i) {
    const std::string& line = summary[static_cast<std::ptrdiff_t>(i + 1)];
    EXPECT_EQ(line.rfind(heads[i], 0), 0u) << line;
    EXPECT_EQ(line.substr(line.size() - 2), " s") << line;
  }

  // Every image that was to arrive arrived whole, the Sub image of the checksum fault too.
  for (auto* projector : {checksum.get(), good.get()}) {
    projector->Signal(SIGTERM);
    projector->WaitExit(20s);
    const Lines& out = projector->lines();
    EXPECT_TRUE(std::any_of(out.begin(), out.end(), [](const std::string& l) {
      return l.rfind("boot loader: ", 0) == 0 && l.find("image intact: yes") != std::string::npos;
    })) << projector->Output();
    EXPECT_TRUE(std::any_of(out.begin(), out.end(), [](const std::string& l) {
      return l.rfind("sub image: Sub image received intact", 0) == 0;
    })) << projector->Output();
  }
  EXPECT_TRUE(good->WaitForLine("verdict: OK", 1s)) << good->Output();
}

// A unit whose boot loader falls silent in the middle of the Main image after its switch:
// it may still be waiting on the segment, where the next unit's broadcasts would reach it.
// The run stops there; the rest is skipped, and the summary says why.
TEST_F(CliFleetNetns, MainFailureAfterTheSwitchSkipsTheRest) {
  TempDir dir;
  dir.Write("main.bin", Pattern(9 * 512 + 77, 23));
  dir.WriteSubImage("sub.brec2", 0x0B, Pattern(1000, 24));
  auto silent = Projector(0, dir, {"--stop-at-block", "4"});
  auto next = Projector(1, dir, {});

  ChildProcess updater(
      TESSALY_UPDATE_PATH, {"--projector", "10.74.1.2", "--projector", "10.74.2.2"}, dir.path().string(),
      {"HOME=" + dir.path().string(), "XDG_CONFIG_HOME=" + dir.File("config"), "XDG_STATE_HOME=" + dir.File("state")});
  ASSERT_EQ(updater.WaitExit(60s), std::optional<int>(1)) << updater.Output();
  const Lines& lines = updater.lines();
  EXPECT_TRUE(Has(lines, "[10.74.1.2] error: Update Main firmware failed")) << updater.Output();
  for (const std::string& l : lines) EXPECT_EQ(l.rfind("[10.74.2.2]", 0), std::string::npos) << l;
  const auto summary = std::find(lines.begin(), lines.end(), "Summary:");
  ASSERT_EQ(lines.end() - summary, 4) << updater.Output();
  EXPECT_EQ(summary[1].rfind("  10.74.1.2  Main: failed, Sub: skipped, ", 0), 0u) << summary[1];
  EXPECT_EQ(summary[2], "  10.74.2.2  Main: skipped, Sub: skipped, not started");
  EXPECT_EQ(summary[3],
            "The projectors after 10.74.1.2 were skipped: its Main firmware update failed after it was switched into "
            "download mode, and its boot loader may still be waiting for firmware, where it would take the next "
            "projector's. Switch it off and on, then update the skipped projectors.");

  // The second projector was never asked.
  next->Signal(SIGTERM);
  next->WaitExit(20s);
  for (const std::string& l : next->lines()) EXPECT_EQ(l.rfind("connection ", 0), std::string::npos) << l;
  silent->Signal(SIGTERM);
  silent->WaitExit(20s);
}

// A boot loader that falls silent after block 2: the Main stage waits for its ACK,
// resending the block each second. With --yes a Ctrl-C there cancels the wait at once;
// nothing polls for it.
TEST_F(CliFleetNetns, CtrlCWithYesWhileTheBootLoaderIsSilentEndsAtOnce) {
  TempDir dir;
  dir.Write("main.bin", Pattern(3 * 512 + 5, 25));
  dir.WriteSubImage("sub.brec2", 0x0B, Pattern(100, 26));
  auto silent = Projector(0, dir, {"--stop-at-block", "2"});

  ChildProcess updater(
      TESSALY_UPDATE_PATH, {"--projector", "10.74.1.2", "--main", "main.bin", "--yes"}, dir.path().string(),
      {"HOME=" + dir.path().string(), "XDG_CONFIG_HOME=" + dir.File("config"), "XDG_STATE_HOME=" + dir.File("state")});
  ASSERT_TRUE(silent->WaitForLine("boot loader: went silent after block 2 (fault: stop at block 2); 1024 bytes in 2 blocks received", 20s)) << silent->Output();
  const auto signalled = std::chrono::steady_clock::now();
  updater.Signal(SIGINT);
  ASSERT_EQ(updater.WaitExit(10s), std::optional<int>(1)) << updater.Output();
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - signalled);
  RecordProperty("ctrl_c_to_exit_ms", static_cast<int>(took.count()));
  std::printf("Ctrl-C to exit: %lld ms\n", static_cast<long long>(took.count()));
  const Lines& lines = updater.lines();
  EXPECT_TRUE(Has(lines, "User abort update.....")) << updater.Output();
  EXPECT_TRUE(Has(lines, "error: Update Main firmware failed")) << updater.Output();
  silent->Signal(SIGTERM);
  silent->WaitExit(20s);
}

}  // namespace
}  // namespace tessaly::testing
