// The lab with the Windows command line: tessaly-update.exe under Wine on the PC's side of
// a veth pair, the Linux simulator in a namespace of its own on the other, the real ports
// and the boot loader's real broadcasts. The Windows program must do and say what the
// Linux one does, so each case runs both against a fresh simulator and compares.
// Wine's server is started inside the test's namespace (wine_run.sh): it owns the sockets.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "boot_loader.h"
#include "netns/netns_support.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

enum class Updater { kLinux, kWindows };

struct Outcome {
  std::optional<int> status;
  Lines lines;
  std::string output;  // for failure messages
  bool projectorOk = false;
  std::string projectorOutput;
};

// The lines both programs must share. The saved log's path and the hold on the PC's sleep
// are the system's own (a namespace has no system bus for Linux's).
Lines Comparable(const Lines& lines) {
  Lines out;
  for (const std::string& line : lines) {
    if (line.rfind("Log: ", 0) != 0 && line.rfind("The PC may go to sleep", 0) != 0) out.push_back(line);
  }
  return out;
}

// Without the Windows build the Linux half of a case still runs, then the case is skipped.
#define TESSALY_REQUIRE_WINDOWS()                                                                      \
  do {                                                                                                 \
    if (!std::filesystem::exists(TESSALY_WINDOWS_UPDATE_PATH))                                         \
      GTEST_SKIP() << "no Windows build: scripts/build-windows.sh makes " TESSALY_WINDOWS_UPDATE_PATH; \
  } while (0)

bool Has(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class WineLab : public ::testing::Test {
 protected:
  void SetUp() override {
    TESSALY_REQUIRE_NETNS();
    far_ = std::make_unique<FarNamespace>();
    ASSERT_TRUE(far_->ok());
    ASSERT_TRUE(far_->Link("ua", "10.72.0.1/24", "pa", "10.72.0.2/24"));
  }

  std::unique_ptr<ChildProcess> StartUpdater(Updater who, const Lines& args, const TempDir& dir) {
    const std::vector<std::string> env{"HOME=" + dir.path().string(), "XDG_CONFIG_HOME=" + dir.File("config"),
                                       "XDG_STATE_HOME=" + dir.File("state")};
    if (who == Updater::kLinux)
      return std::make_unique<ChildProcess>(TESSALY_UPDATE_PATH, args, dir.path().string(), env);
    Lines all{TESSALY_LINUX_BUILD_DIR, TESSALY_WINDOWS_UPDATE_PATH};
    all.insert(all.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(TESSALY_WINE_RUN, all, dir.path().string(), env);
  }

  // One update by `who` of both images against a fresh simulator; `holdPort` is held on the
  // PC's address meanwhile, as a DHCP or TFTP server would.
  Outcome Run(Updater who, std::chrono::seconds limit, std::uint16_t holdPort = 0, bool lossy = false) {
    Outcome o;
    TempDir dir;
    std::vector<std::uint8_t> sub(32, 0);
    sub[9] = 0x0B;
    const auto payload = Pattern(16368 + 777, 12);
    sub.insert(sub.end(), payload.begin(), payload.end());
    dir.Write("main.bin", Pattern(24 * 512 + 300, 11));
    dir.Write("sub.brec2", sub);

    ChildProcess projector("/usr/bin/nsenter",
                           {"--net=/proc/" + std::to_string(far_->pid()) + "/ns/net", TESSALY_PJSIM_PATH, "--listen",
                            "10.72.0.2", "--model", "QMB", "--burn-ms", "500", "--restart-delay-ms", "5000", "--image",
                            dir.File("main.bin"), "--sub-image", dir.File("sub.brec2")},
                           dir.path().string());
    if (!projector.WaitForLine("listening on 10.72.0.2:20554, model QMB", 10s)) {
      ADD_FAILURE() << projector.Output();
      return o;
    }
    std::optional<UdpPeer> holder;
    if (holdPort) {
      holder.emplace("10.72.0.1", holdPort);
      EXPECT_TRUE(holder->ok());
    }
    if (lossy) {
      // One datagram in ten lost each way on the PC's side of the link, as in the Linux lab.
      for (const std::string& cmd : TenPercentLossCommands()) {
        EXPECT_TRUE(Sh(cmd)) << cmd;
      }
    }
    const auto updater = StartUpdater(who, {"--projector", "10.72.0.2"}, dir);
    o.status = updater->WaitExit(limit);
    o.lines = updater->lines();
    o.output = updater->Output();

    projector.Signal(SIGTERM);
    o.projectorOk = projector.WaitExit(20s) == std::optional<int>(0) && projector.WaitForLine("verdict: OK", 1s);
    o.projectorOutput = projector.Output();
    return o;
  }

  std::unique_ptr<FarNamespace> far_;  // its end removes the projector's namespace
};

TEST_F(WineLab, BothFirmwaresWithTheLinuxLines) {
  const Outcome linux = Run(Updater::kLinux, 60s);
  ASSERT_EQ(linux.status, std::optional<int>(0)) << linux.output;
  TESSALY_REQUIRE_WINDOWS();
  const Outcome windows = Run(Updater::kWindows, 120s);
  EXPECT_EQ(windows.status, std::optional<int>(0)) << windows.output;
  // The simulator compared both images byte for byte, after a BOOTP exchange by broadcast.
  EXPECT_TRUE(windows.projectorOk) << windows.projectorOutput;
  EXPECT_EQ(Comparable(windows.lines), Comparable(linux.lines)) << windows.output;
  for (const char* wanted : {"Startup Main firmware update process...", "progress: 2%", "progress: 50%",
                             "Model Name: QMB", "Updated Sub Firmware has succeeded.", "progress: 100%"}) {
    EXPECT_TRUE(Has(windows.lines, wanted)) << wanted << "\n" << windows.output;
  }
}

TEST_F(WineLab, BothFirmwaresWithTenPercentLoss) {
  TESSALY_REQUIRE_WINDOWS();
  const Outcome windows = Run(Updater::kWindows, 150s, 0, true);
  EXPECT_EQ(windows.status, std::optional<int>(0)) << windows.output;
  EXPECT_TRUE(windows.projectorOk) << windows.projectorOutput;
  for (const char* wanted : {"Updated Main Firmware has succeeded.", "Updated Sub Firmware has succeeded."}) {
    EXPECT_TRUE(Has(windows.lines, wanted)) << wanted << "\n" << windows.output;
  }
}

TEST_F(WineLab, HeldBootpPortFailsWithTheLinuxLines) {
  // The reason is the system's own text; everything else is the program's.
  auto withoutReason = [](Lines lines) {
    const std::string bind = "error: Cannot bind UDP port 67 on 10.72.0.1: ";
    for (std::string& line : lines) {
      if (line.rfind(bind, 0) == 0 && line.size() > bind.size()) line = bind + "(reason)";
    }
    return Comparable(lines);
  };
  const Outcome linux = Run(Updater::kLinux, 60s, 67);
  ASSERT_EQ(linux.status, std::optional<int>(1)) << linux.output;
  TESSALY_REQUIRE_WINDOWS();
  const Outcome windows = Run(Updater::kWindows, 120s, 67);
  EXPECT_EQ(windows.status, std::optional<int>(1)) << windows.output;
  EXPECT_TRUE(Has(withoutReason(windows.lines), "error: Cannot bind UDP port 67 on 10.72.0.1: (reason)"))
      << windows.output;
  EXPECT_EQ(withoutReason(windows.lines), withoutReason(linux.lines)) << windows.output;
}

// The projector put into download mode by hand: its boot loader already waits for the
// Magic packet, and the updater serves the Main image at once on the adapter named. A
// second projector's boot loader, behind another adapter of the PC, asks by BOOTP all the
// while: it is not the named adapter's, so it gets neither a Magic packet nor a reply.
TEST_F(WineLab, ManualModeServesTheNamedAdapterOnly) {
  FarNamespace other;
  ASSERT_TRUE(other.ok());
  ASSERT_TRUE(other.Link("ub", "10.73.0.1/24", "pb", "10.73.0.2/24"));
  Outcome outcomes[2];
  for (const Updater who : {Updater::kLinux, Updater::kWindows}) {
    SCOPED_TRACE(who == Updater::kLinux ? "Linux" : "Windows");
    if (who == Updater::kWindows) TESSALY_REQUIRE_WINDOWS();
    TempDir dir;
    const auto image = Pattern(30 * 512, 21);  // a whole number of blocks: an empty last one
    dir.Write("main.bin", image);
    pjsim::SimOptions options;
    options.listen_address = "10.72.0.2";
    options.expected_image = std::make_shared<const std::vector<std::uint8_t>>(image);
    options.drop_acks = 1;  // the updater's resend keeps the service up for a second or so
    pjsim::BootLoader boot(options);
    bool started = false;
    far_->Run([&] { started = boot.Start({0, "10.72.0.1", "10.72.0.2"}); });
    ASSERT_TRUE(started) << boot.error();
    pjsim::SimOptions strayOptions;
    strayOptions.listen_address = "10.73.0.2";
    strayOptions.start_without_magic = 0ms;
    strayOptions.bootp_retry = 100ms;
    strayOptions.bootp_tries = 1000;  // asks until stopped
    pjsim::BootLoader stray(strayOptions);
    other.Run([&] { started = stray.Start({0, "10.73.0.1", "10.73.0.2"}); });
    ASSERT_TRUE(started) << stray.error();

    const auto updater =
        StartUpdater(who, {"--projector", "10.72.0.2", "--manual", "10.72.0.1", "--main", "main.bin"}, dir);
    Outcome& o = outcomes[who == Updater::kLinux ? 0 : 1];
    o.status = updater->WaitExit(120s);
    o.lines = updater->lines();
    o.output = updater->Output();
    EXPECT_EQ(o.status, std::optional<int>(0)) << o.output;
    const pjsim::Report report = boot.report_store()->Snapshot();
    std::string seen = report.boot_loader.verdict;
    for (const pjsim::Violation& v : report.violations) seen += "\n" + v.ToString();
    const pjsim::BootLoaderReport& r = report.boot_loader;
    EXPECT_GE(r.bootp_replies_valid, 1) << seen;  // the reply to its broadcast request
    EXPECT_EQ(r.server_address, "10.72.0.1");
    EXPECT_TRUE(r.image_intact) << seen;
    EXPECT_TRUE(report.violations.empty()) << seen;
    boot.Stop();
    stray.Stop();
    const pjsim::BootLoaderReport s = stray.report();
    EXPECT_GE(s.bootp_requests_sent, 3);  // asked while the Main image was served
    EXPECT_EQ(s.bootp_replies, 0);
    EXPECT_EQ(s.magic_packets, 0);
  }
  EXPECT_TRUE(Has(outcomes[1].lines, "Updated Main Firmware has succeeded.")) << outcomes[1].output;
  EXPECT_EQ(Comparable(outcomes[1].lines), Comparable(outcomes[0].lines)) << outcomes[1].output;
}

}  // namespace
}  // namespace tessaly::testing
