// The lab: the simulated projector in a namespace of its own, joined to the updater's by
// a veth pair; the real command-line updater and the real simulator program, the real
// ports, broadcasts crossing the link. Once clean, once with 10% of the datagrams lost.

#include <gtest/gtest.h>

#include <algorithm>

#include "netns/netns_support.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

class Lab : public ::testing::Test {
 protected:
  void SetUp() override {
    TESSALY_REQUIRE_NETNS();
    far_ = std::make_unique<FarNamespace>();
    ASSERT_TRUE(far_->ok());
    ASSERT_TRUE(far_->Link("ua", "10.72.0.1/24", "pa", "10.72.0.2/24"));
  }

  void Run(bool lossy) {
    TempDir dir;
    const auto main = Pattern(24 * 512 + 300, 11);
    std::vector<std::uint8_t> sub(32, 0);
    sub[9] = 0x0B;
    const auto payload = Pattern(16368 + 777, 12);
    sub.insert(sub.end(), payload.begin(), payload.end());
    dir.Write("main.bin", main);
    dir.Write("sub.brec2", sub);

    ChildProcess projector("/usr/bin/nsenter",
                           {"--net=/proc/" + std::to_string(far_->pid()) + "/ns/net", TESSALY_PJSIM_PATH, "--listen",
                            "10.72.0.2", "--model", "QMB", "--burn-ms", "500", "--restart-delay-ms", "5000", "--image",
                            dir.File("main.bin"), "--sub-image", dir.File("sub.brec2")},
                           dir.path().string());
    ASSERT_TRUE(projector.WaitForLine("listening on 10.72.0.2:20554, model QMB", 10s)) << projector.Output();

    if (lossy) {
      // One datagram in ten lost each way on the updater's side of the link.
      for (const std::string& cmd : TenPercentLossCommands()) {
        ASSERT_TRUE(Sh(cmd)) << cmd;
      }
    }

    ChildProcess updater(TESSALY_UPDATE_PATH, {"--projector", "10.72.0.2"}, dir.path().string(),
                         {"HOME=" + dir.path().string(), "XDG_CONFIG_HOME=" + dir.File("config")});
    const auto status = updater.WaitExit(lossy ? 150s : 60s);
    EXPECT_EQ(status, std::optional<int>(0)) << updater.Output();
    const Lines& lines = updater.lines();
    for (const char* wanted : {"Startup Main firmware update process...", "Updated Main Firmware has succeeded.",
                               "Waiting projector restart, and update Sub firmware ...", "Model Name: QMB",
                               "Updated Sub Firmware has succeeded."}) {
      EXPECT_NE(std::find(lines.begin(), lines.end(), wanted), lines.end()) << wanted << "\n" << updater.Output();
    }
    if (lossy) {
      FILE* p = ::popen("nft list table inet loss", "r");
      std::string listing;
      char buffer[512];
      while (p && std::fgets(buffer, sizeof buffer, p)) listing += buffer;
      if (p) ::pclose(p);
      // The two rules' counters together: the run did lose datagrams.
      long lost = 0;
      for (std::size_t at = listing.find("packets "); at != std::string::npos; at = listing.find("packets ", at + 1)) {
        lost += std::strtol(listing.c_str() + at + 8, nullptr, 10);
      }
      EXPECT_GT(lost, 0) << "no datagram was lost:\n" << listing;
    }

    projector.Signal(SIGTERM);
    EXPECT_EQ(projector.WaitExit(20s), std::optional<int>(0)) << projector.Output();
    EXPECT_TRUE(projector.WaitForLine("verdict: OK", 1s)) << projector.Output();
  }

  std::unique_ptr<FarNamespace> far_;  // its end removes the projector's namespace
};

TEST_F(Lab, WholeUpdateAcrossTheLink) { Run(false); }

TEST_F(Lab, WholeUpdateWithTenPercentLoss) { Run(true); }

}  // namespace
}  // namespace tessaly::testing
