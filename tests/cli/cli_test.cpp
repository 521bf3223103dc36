// The command line's contract: options, output, exit statuses and Ctrl-C, run as a
// child process in a folder of the test's own.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "cli/cli_options.h"
#include "control_service.h"
#include "projector_sim.h"
#include "support/child_process.h"
#include "support/param_print.h"
#include "support/temp_dir.h"

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

struct Cli {
  explicit Cli(std::vector<std::string> args) : process(TESSALY_UPDATE_PATH, args, dir.path().string(), Env()) {}
  std::vector<std::string> Env() const {
    return {"HOME=" + dir.path().string(), "XDG_CONFIG_HOME=" + dir.File("config")};
  }
  TempDir dir;
  ChildProcess process;
};

// A run whose folder is prepared before the program starts.
struct PreparedCli {
  TempDir dir;
  std::unique_ptr<ChildProcess> process;
  void Start(std::vector<std::string> args) {
    process = std::make_unique<ChildProcess>(
        TESSALY_UPDATE_PATH, args, dir.path().string(),
        std::vector<std::string>{"HOME=" + dir.path().string(), "XDG_CONFIG_HOME=" + dir.File("config")});
  }
};

TEST(CliOptions, Parsing) {
  cli::CliOptions o;
  std::string error;
  ASSERT_TRUE(cli::ParseCliOptions({"--projector", "10.0.0.5", "--main=a.bin", "--sub", "b.brec2", "--yes"}, o, error));
  EXPECT_EQ(o.projector, std::optional<std::string>("10.0.0.5"));
  EXPECT_EQ(o.main, std::optional<std::string>("a.bin"));
  EXPECT_EQ(o.sub, std::optional<std::string>("b.brec2"));
  EXPECT_TRUE(o.yes);
  for (const Lines& bad :
       {Lines{"--main"}, Lines{"--frobnicate"}, Lines{"--main", "a", "--main", "b"}, Lines{"--yes=1"}}) {
    cli::CliOptions x;
    EXPECT_FALSE(cli::ParseCliOptions(bad, x, error)) << bad[0];
    EXPECT_FALSE(error.empty());
  }
}

struct RefusalCase {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::string> files;  // made in the folder first
  Lines lines;                     // the output, in order
};

TESSALY_PRINT_PARAM(RefusalCase, name)

class CliRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(CliRefusals, ExitTwoWithTheWindowsLines) {
  PreparedCli run;
  // A *.brec2 gets a header and a payload, but "short.brec2" is shorter than a header.
  for (const std::string& f : GetParam().files) {
    const bool image = f.size() > 6 && f.substr(f.size() - 6) == ".brec2" && f != "short.brec2";
    run.dir.Write(f, image ? std::vector<std::uint8_t>(40, 0) : std::vector<std::uint8_t>{1, 2, 3});
  }
  run.Start(GetParam().args);
  ASSERT_TRUE(run.process->started());
  EXPECT_EQ(run.process->WaitExit(20s), std::optional<int>(2)) << run.process->Output();
  EXPECT_EQ(run.process->lines(), GetParam().lines) << run.process->Output();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliRefusals,
    ::testing::Values(RefusalCase{"nothing_to_update", {}, {}, {"error: Not found any firmware file"}},
                      RefusalCase{"bad_address",
                                  {"--projector", "192.168.0"},
                                  {"a.bin"},
                                  {"Main firmware : a.bin", "Press \"Update Firmware\" button to startup...",
                                   "error: Projector IP address \"192.168.0\" error"}},
                      RefusalCase{"missing_main",
                                  {"--main", "gone.bin"},
                                  {},
                                  {"Main firmware : gone.bin", "error: Main firmware file not found"}},
                      RefusalCase{"sub_too_short",
                                  {"--sub", "short.brec2"},
                                  {"short.brec2"},
                                  {"Sub firmware : short.brec2",
                                   "error: Sub firmware file \"short.brec2\" is shorter than its 32-byte header"}},
                      RefusalCase{"manual_not_a_local_address",
                                  {"--manual", "203.0.113.9", "--main", "a.bin"},
                                  {"a.bin"},
                                  {"Main firmware : a.bin", "error: Please verify PC ethernet adapter..."}},
                      RefusalCase{"manual_without_main",
                                  {"--manual", "127.0.0.1", "--sub", "s.brec2"},
                                  {"s.brec2"},
                                  {"Sub firmware : s.brec2", "error: Checked Manually switch to download mode",
                                   "error: The folder must have Main Firmware"}}),
    [](const ::testing::TestParamInfo<RefusalCase>& p) { return std::string(p.param.name); });

TEST(CliContract, BadOptionsHelpAndVersion) {
  {
    Cli cli({"--no-such-option"});
    EXPECT_EQ(cli.process.WaitExit(10s), std::optional<int>(2));
    EXPECT_NE(cli.process.Output().find("unknown option --no-such-option"), std::string::npos);
  }
  {
    Cli cli({"--help"});
    EXPECT_EQ(cli.process.WaitExit(10s), std::optional<int>(0));
    EXPECT_NE(cli.process.Output().find("Usage: tessaly-update"), std::string::npos);
  }
  {
    Cli cli({"--version"});
    EXPECT_EQ(cli.process.WaitExit(10s), std::optional<int>(0));
    EXPECT_EQ(cli.process.lines().at(0).rfind("tessaly-update ", 0), 0u);
  }
}

// The control port is fixed in the shipped program: these tests hold it on loopback
// under a CTest resource lock.
std::unique_ptr<pjsim::ControlService> SimOnControlPort(pjsim::SimOptions o) {
  o.listen_address = "127.0.0.1";
  o.port = 20554;
  auto sim = std::make_unique<pjsim::ControlService>(o);
  EXPECT_TRUE(sim->Start()) << sim->error();
  return sim;
}

TEST(CliOnControlPort, RefusedConnectionExitsOne) {
  PreparedCli run;
  run.dir.Write("a.bin", {1, 2, 3});
  run.Start({"--projector", "127.0.0.1"});
  EXPECT_EQ(run.process->WaitExit(20s), std::optional<int>(1)) << run.process->Output();
  EXPECT_EQ(run.process->lines(),
            (Lines{"Main firmware : a.bin", "Press \"Update Firmware\" button to startup...",
                   "Try connecting to \"127.0.0.1\"...", "error: Please check the network connection"}));
}

TEST(CliOnControlPort, CtrlCBeforeWritingAbortsAtOnce) {
  pjsim::SimOptions o;
  o.no_greeting = true;
  auto sim = SimOnControlPort(o);
  PreparedCli run;
  run.dir.Write("a.bin", {1, 2, 3});
  run.Start({"--projector", "127.0.0.1"});
  ASSERT_TRUE(run.process->WaitForLine("Connected to projector has succeeded.", 10s)) << run.process->Output();
  run.process->Signal(SIGINT);
  EXPECT_EQ(run.process->WaitExit(10s), std::optional<int>(1));
  EXPECT_EQ(run.process->lines().back(), "User abort update.....");
}

TEST(CliOnControlPort, SwitchTimeoutExitsOneWithTheLines) {
  pjsim::SimOptions o;
  o.greeting_extra = true;
  auto sim = SimOnControlPort(o);
  PreparedCli run;
  run.dir.Write("a.bin", {1, 2, 3});
  run.Start({"--projector", "127.0.0.1", "--main", "a.bin"});
  EXPECT_EQ(run.process->WaitExit(20s), std::optional<int>(1));
  EXPECT_EQ(run.process->lines(),
            (Lines{"Main firmware : a.bin", "Try connecting to \"127.0.0.1\"...",
                   "Connected to projector has succeeded.", "error: Switched projector into download mode failed",
                   "error: Please check PJ in \"Standby\" mode, and accepted \"Cedia\" cmd"}));
  // The address is remembered like the window remembers it.
  std::ifstream ini(run.dir.File("config/tessaly/updater.ini"));
  std::string text((std::istreambuf_iterator<char>(ini)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("127.0.0.1"), std::string::npos) << text;
}

std::unique_ptr<pjsim::ProjectorSim> ProjectorOnControlPort(pjsim::SimOptions o) {
  o.listen_address = "127.0.0.1";
  o.port = 20554;
  auto sim = std::make_unique<pjsim::ProjectorSim>(o);
  EXPECT_TRUE(sim->Start()) << sim->error();
  return sim;
}

std::vector<std::uint8_t> SubImage(std::size_t payload) {
  std::vector<std::uint8_t> image(32 + payload);
  image[9] = 0x0A;
  for (std::size_t i = 32; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 5);
  return image;
}

TEST(CliOnControlPort, SubUpdateSucceedsWithProgressLines) {
  pjsim::SimOptions o;
  o.burn_time = 100ms;
  o.sub_expected_image = std::make_shared<std::vector<std::uint8_t>>(SubImage(2 * 16368 + 10));
  auto sim = ProjectorOnControlPort(o);
  PreparedCli run;
  run.dir.Write("s.brec2", *o.sub_expected_image);
  run.Start({"--projector", "127.0.0.1"});
  EXPECT_EQ(run.process->WaitExit(60s), std::optional<int>(0)) << run.process->Output();
  EXPECT_EQ(run.process->lines(),
            (Lines{"Sub firmware : s.brec2", "Press \"Update Firmware\" button to startup...",
                   "Try connecting to \"127.0.0.1\"...", "Connected to projector has succeeded.", "Model Name: QMA",
                   "Startup Sub firmware update process...", "progress: 50%", "Burning...... Please waiting.....",
                   "Updated Sub Firmware has succeeded.", "progress: 100%"}));
  EXPECT_EQ(run.process->Output().find('\033'), std::string::npos) << "no colours when the output is not a terminal";
  EXPECT_TRUE(sim->WaitFor([](const pjsim::Report& r) { return r.sub.intact; }, 5s)) << sim->Snapshot().sub.verdict;
}

TEST(CliOnControlPort, CtrlCWhileWritingAsksThenASecondOneAborts) {
  pjsim::SimOptions o;
  o.burn_time = 20000ms;  // the burn outlasts the test's two signals
  auto sim = ProjectorOnControlPort(o);
  PreparedCli run;
  run.dir.Write("s.brec2", SubImage(100));
  run.Start({"--projector", "127.0.0.1"});
  ASSERT_TRUE(run.process->WaitForLine("Burning...... Please waiting.....", 20s)) << run.process->Output();
  run.process->Signal(SIGINT);
  ASSERT_TRUE(run.process->WaitForLine("Do you still want to abort progress?", 10s)) << run.process->Output();
  EXPECT_TRUE(
      run.process->WaitForLine("Press Ctrl-C again within 5 seconds to abort; otherwise the update goes on.", 5s));
  run.process->Signal(SIGINT);
  EXPECT_EQ(run.process->WaitExit(20s), std::optional<int>(1)) << run.process->Output();
  const Lines& lines = run.process->lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "User abort update....."), lines.end()) << run.process->Output();
  EXPECT_EQ(lines.back(), "error: Update Sub firmware failed");
}

TEST(CliOnControlPort, CtrlCWhileWritingWithYesAbortsAtOnce) {
  pjsim::SimOptions o;
  o.burn_time = 20000ms;
  auto sim = ProjectorOnControlPort(o);
  PreparedCli run;
  run.dir.Write("s.brec2", SubImage(100));
  run.Start({"--projector", "127.0.0.1", "--yes"});
  ASSERT_TRUE(run.process->WaitForLine("Burning...... Please waiting.....", 20s)) << run.process->Output();
  run.process->Signal(SIGTERM);
  EXPECT_EQ(run.process->WaitExit(20s), std::optional<int>(1)) << run.process->Output();
  const Lines& lines = run.process->lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "User abort update....."), lines.end());
  EXPECT_EQ(std::find(lines.begin(), lines.end(), "Do you still want to abort progress?"), lines.end());
}

}  // namespace
}  // namespace tessaly::testing
