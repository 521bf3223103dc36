// The command line's contract: options, output, exit statuses and Ctrl-C, run as a
// child process in a folder of the test's own.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <fstream>
#include <iterator>

#include "cli/cli_options.h"
#include "cli/fleet.h"
#include "cli/json_events.h"
#include "control_service.h"
#include "projector_sim.h"
#include "support/child_process.h"
#include "support/param_print.h"
#include "support/temp_dir.h"
#include "support/threads.h"

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// "Log: PATH" or "[ADDRESS] Log: PATH": the saved log named at the end of an update.
bool IsLogLine(const std::string& line) {
  if (line.rfind("Log: ", 0) == 0) return true;
  const auto close = line.find("] ");
  return !line.empty() && line[0] == '[' && close != std::string::npos && line.compare(close + 2, 5, "Log: ") == 0;
}

// The warning on standard error of a PC whose sleep cannot be held off (no system bus in
// a container): the machine's, not the update's.
bool IsSleepWarning(const std::string& line) {
  return line.rfind("The PC may go to sleep while firmware is written: ", 0) == 0;
}

// What an update showed, without the name of its saved log and the machine's warning.
Lines Shown(const Lines& lines) {
  Lines out;
  for (const std::string& line : lines) {
    if (!IsLogLine(line) && !IsSleepWarning(line)) out.push_back(line);
  }
  return out;
}

struct Cli {
  explicit Cli(std::vector<std::string> args) : process(TESSALY_UPDATE_PATH, args, dir.path().string(), Env()) {}
  std::vector<std::string> Env() const {
    return {"HOME=" + dir.path().string(), "XDG_CONFIG_HOME=" + dir.File("config"),
            "XDG_STATE_HOME=" + dir.File("state")};
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
        std::vector<std::string>{"HOME=" + dir.path().string(), "XDG_CONFIG_HOME=" + dir.File("config"),
                                 "XDG_STATE_HOME=" + dir.File("state")});
  }
};

TEST(CliOptions, Parsing) {
  cli::CliOptions o;
  std::string error;
  ASSERT_TRUE(cli::ParseCliOptions({"--projector", "10.0.0.5", "--main=a.bin", "--sub", "b.brec2", "--yes",
                                    "--projectors", "list.txt", "--projector=10.0.0.6", "--json"},
                                   o, error));
  // The sources keep the order they were given in.
  EXPECT_EQ(o.projectors,
            (std::vector<cli::ProjectorSource>{{false, "10.0.0.5"}, {true, "list.txt"}, {false, "10.0.0.6"}}));
  EXPECT_EQ(o.main, std::optional<std::string>("a.bin"));
  EXPECT_EQ(o.sub, std::optional<std::string>("b.brec2"));
  EXPECT_TRUE(o.yes);
  EXPECT_TRUE(o.json);
  EXPECT_EQ(o.parallel, 16);
  ASSERT_TRUE(cli::ParseCliOptions({"--parallel", "1"}, o, error));
  EXPECT_EQ(o.parallel, 1);
  ASSERT_TRUE(cli::ParseCliOptions({"--parallel=64"}, o, error));
  EXPECT_EQ(o.parallel, 64);
  for (const Lines& bad :
       {Lines{"--main"}, Lines{"--frobnicate"}, Lines{"--main", "a", "--main", "b"}, Lines{"--yes=1"},
        Lines{"--projectors"}, Lines{"--projector", "1.2.3.4", "--projector"}, Lines{"--json=yes"},
        Lines{"--parallel"}, Lines{"--parallel", "0"}, Lines{"--parallel", "65"}, Lines{"--parallel", "-1"},
        Lines{"--parallel", "2x"}, Lines{"--parallel="}}) {
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
                      // Header byte 9 of these images is 0: no known model. Refused before the
                      // Main firmware is written for nothing.
                      RefusalCase{"both_with_a_sub_image_of_no_known_model",
                                  {"--projector", "127.0.0.1", "--main", "a.bin", "--sub", "s.brec2"},
                                  {"a.bin", "s.brec2"},
                                  {"Main firmware : a.bin", "Sub firmware : s.brec2",
                                   "error: This Sub firmware model doesn't match to QRN model"}},
                      RefusalCase{"manual_address_not_dotted",
                                  {"--manual", "127.0.0.1", "--main", "a.bin", "--projector", "127.0.0.300"},
                                  {"a.bin"},
                                  {"Main firmware : a.bin", "error: Projector IP address \"127.0.0.300\" error"}},
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

// The control port is fixed in the shipped program: these tests hold it on the loopback
// of a private network namespace each (tests/CMakeLists.txt).
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
  EXPECT_EQ(Shown(run.process->lines()),
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
  EXPECT_EQ(Shown(run.process->lines()).back(), "User abort update.....");
}

TEST(CliOnControlPort, SwitchTimeoutExitsOneWithTheLines) {
  pjsim::SimOptions o;
  o.greeting_extra = true;
  auto sim = SimOnControlPort(o);
  PreparedCli run;
  run.dir.Write("a.bin", {1, 2, 3});
  run.Start({"--projector", "127.0.0.1", "--main", "a.bin"});
  EXPECT_EQ(run.process->WaitExit(20s), std::optional<int>(1));
  EXPECT_EQ(Shown(run.process->lines()),
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
  EXPECT_EQ(Shown(run.process->lines()),
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
  const Lines lines = Shown(run.process->lines());
  ASSERT_GE(lines.size(), 2u);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "User abort update....."), lines.end()) << run.process->Output();
  EXPECT_EQ(lines.back(), "error: Update Sub firmware failed");
}

// ThreadSanitizer's runtime keeps a thread of its own in every process it is built into.
#if defined(__SANITIZE_THREAD__)
constexpr std::size_t kSanitizerThreads = 1;
#else
constexpr std::size_t kSanitizerThreads = 0;
#endif

// One update runs on the program's own thread, the update loop and the saved log's writer:
// the connection, its timers, the stream and the hold on sleep have no threads of their own.
TEST(CliOnControlPort, SubOnlyUpdateRunsOnAtMostThreeThreads) {
  pjsim::SimOptions o;
  o.burn_time = 20000ms;  // the burn outlasts the count
  auto sim = ProjectorOnControlPort(o);
  PreparedCli run;
  run.dir.Write("s.brec2", SubImage(3 * 16368 + 10));
  run.Start({"--projector", "127.0.0.1", "--yes"});
  ASSERT_TRUE(run.process->WaitForLine("Startup Sub firmware update process...", 20s)) << run.process->Output();
  std::size_t most = 0;
  // Looked at while the stream runs and once the burn has begun.
  for (const char* line : {"progress: 33%", "Burning...... Please waiting....."}) {
    ASSERT_TRUE(run.process->WaitForLine(line, 20s)) << run.process->Output();
    most = std::max(most, ThreadsOfProcess(std::to_string(run.process->pid())));
  }
  EXPECT_LE(most, 3u + kSanitizerThreads);
  run.process->Signal(SIGTERM);
  EXPECT_EQ(run.process->WaitExit(20s), std::optional<int>(1)) << run.process->Output();
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

// --- Several projectors in one run, and the JSON events. ---

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// The lines without the times of the summary, which vary from run to run.
Lines WithoutTimes(Lines lines) {
  for (std::string& line : lines) {
    if (line.rfind("  ", 0) == 0 && line.size() > 2 && line.substr(line.size() - 2) == " s") {
      line.erase(line.rfind(", "));
    }
  }
  return lines;
}

TEST(CliFleet, ProjectorsFileAndOptionsKeepTheirOrder) {
  EXPECT_EQ(cli::ProjectorLines("# site A\n10.0.0.5\n\n  10.0.0.7 # rack 2\r\n\t10.0.0.6\r\n#10.0.0.9\n10.0.0.8"),
            (Lines{"10.0.0.5", "10.0.0.7", "10.0.0.6", "10.0.0.8"}));
  EXPECT_TRUE(cli::ProjectorLines("# nobody\n\n   \r\n").empty());

  TempDir dir;
  dir.Write("a.txt", Bytes("10.0.0.2\n10.0.0.3"));
  dir.Write("empty.txt", Bytes("# nobody yet\n\n"));
  std::vector<std::string> addresses;
  std::string error;
  ASSERT_TRUE(
      cli::CollectProjectors({{false, "10.0.0.1"}, {true, dir.File("a.txt")}, {false, "10.0.0.4"}}, addresses, error));
  EXPECT_EQ(addresses, (Lines{"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"}));
  for (const auto& [file, line] :
       {std::pair<std::string, std::string>{dir.File("gone.txt"),
                                            "Projectors file \"" + dir.File("gone.txt") + "\" cannot be read"},
        {dir.File("empty.txt"), "Projectors file \"" + dir.File("empty.txt") + "\" names no projector"}}) {
    addresses.clear();
    EXPECT_FALSE(cli::CollectProjectors({{false, "10.0.0.1"}, {true, file}}, addresses, error));
    EXPECT_EQ(error, line);
  }
}

struct VerdictCase {
  const char* name;
  bool mainSelected, subSelected;
  std::optional<bool> mainResult, subResult;
  cli::UnitOutcome outcome;
  cli::StageVerdict main, sub;
  int exitStatus;
};

TEST(CliFleet, StageVerdicts) {
  using O = cli::UnitOutcome;
  using V = cli::StageVerdict;
  const std::optional<bool> none;
  for (const VerdictCase& c : {
           VerdictCase{"both", true, true, true, true, O::Succeeded, V::Succeeded, V::Succeeded, 0},
           VerdictCase{"sub_failed", true, true, true, false, O::Failed, V::Succeeded, V::Failed, 1},
           VerdictCase{"reconnect_failed", true, true, true, none, O::Failed, V::Succeeded, V::Failed, 1},
           VerdictCase{"connection_refused", true, true, none, none, O::Failed, V::Failed, V::Skipped, 1},
           VerdictCase{"main_failed", true, true, false, none, O::Failed, V::Failed, V::Skipped, 1},
           // An abort in the Sub stage ends it with a failure report: it is still an abort.
           VerdictCase{"abort_in_sub", true, true, true, false, O::Aborted, V::Succeeded, V::Aborted, 1},
           VerdictCase{"abort_connecting", true, true, none, none, O::Aborted, V::Aborted, V::Skipped, 1},
           VerdictCase{"sub_only", false, true, none, true, O::Succeeded, V::NotSelected, V::Succeeded, 0},
           VerdictCase{"refused", false, true, none, none, O::Refused, V::NotSelected, V::Skipped, 2},
           VerdictCase{"never_started", true, false, none, none, O::Skipped, V::Skipped, V::NotSelected, 1},
       }) {
    cli::UnitResult u;
    u.mainSelected = c.mainSelected;
    u.subSelected = c.subSelected;
    u.mainResult = c.mainResult;
    u.subResult = c.subResult;
    u.outcome = c.outcome;
    EXPECT_EQ(u.Main(), c.main) << c.name;
    EXPECT_EQ(u.Sub(), c.sub) << c.name;
    EXPECT_EQ(u.ExitStatus(), c.exitStatus) << c.name;
  }

  auto unit = [](O outcome) {
    cli::UnitResult u;
    u.outcome = outcome;
    return u;
  };
  EXPECT_EQ(cli::FleetExitStatus({unit(O::Succeeded), unit(O::Succeeded)}), 0);
  EXPECT_EQ(cli::FleetExitStatus({unit(O::Succeeded), unit(O::Refused)}), 2);
  EXPECT_EQ(cli::FleetExitStatus({unit(O::Refused), unit(O::Failed)}), 1);
  EXPECT_EQ(cli::FleetExitStatus({unit(O::Aborted), unit(O::Skipped)}), 1);
  EXPECT_EQ(cli::FleetExitStatus({}), 2);

  cli::UnitResult a = unit(O::Failed);
  a.address = "10.0.0.10";
  a.mainSelected = a.subSelected = true;
  a.mainResult = true;
  a.subResult = false;
  a.taken = std::chrono::milliseconds(12345);
  cli::UnitResult b = unit(O::Skipped);
  b.address = "10.0.0.2";
  b.mainSelected = b.subSelected = true;
  EXPECT_EQ(cli::SummaryLines({a, b}), (Lines{"Summary:", "  10.0.0.10  Main: succeeded, Sub: failed, 12.3 s",
                                              "  10.0.0.2   Main: skipped, Sub: skipped, not started"}));
}

std::string FromHex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

TEST(CliJson, AnyBytesMakeOneValidString) {
  for (const auto& [text, valid] : std::vector<std::pair<std::string, bool>>{
           {"", true},
           {"plain \"quoted\" \\ back", true},
           {"\xC3\xA9t\xC3\xA9", true},
           {"\xF0\x9F\x98\x80", true},
           {"\xFF", false},
           {"\xC3", false},              // cut short
           {"\xC0\xAF", false},          // overlong '/'
           {"\xED\xA0\x80", false},      // a surrogate
           {"\xF4\x90\x80\x80", false},  // beyond U+10FFFF
       }) {
    EXPECT_EQ(cli::IsValidUtf8(text), valid) << cli::HexBytes(text);
  }
  // Each invalid byte becomes U+FFFD; quotes and backslashes are escaped.
  EXPECT_EQ(cli::JsonText("a\"\\\xFF\xFE"), "\"a\\\"\\\\\xEF\xBF\xBD\xEF\xBF\xBD\"");

  // Every byte, every pair of bytes and random strings: one JSON string each, never a
  // throw, the bytes kept when they are UTF-8, and the hex form always exact.
  std::vector<std::string> texts;
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) texts.push_back({static_cast<char>(a), static_cast<char>(b)});
  }
  const std::vector<std::uint8_t> noise = Pattern(64 * 1000, 7);
  for (std::size_t at = 0; at + 64 <= noise.size(); at += 64) {
    texts.emplace_back(noise.begin() + static_cast<std::ptrdiff_t>(at),
                       noise.begin() + static_cast<std::ptrdiff_t>(at + (noise[at] % 64)));
  }
  int failures = 0;
  for (const std::string& text : texts) {
    std::string dumped;
    ASSERT_NO_THROW(dumped = cli::JsonText(text));
    const nlohmann::json parsed = nlohmann::json::parse(dumped, nullptr, false);
    const bool ok = !parsed.is_discarded() && parsed.is_string() &&
                    (!cli::IsValidUtf8(text) || parsed.get<std::string>() == text) &&
                    FromHex(cli::HexBytes(text)) == text;
    if (!ok && ++failures <= 5) ADD_FAILURE() << cli::HexBytes(text) << " -> " << dumped;
  }
  EXPECT_EQ(failures, 0);
}

// A run with --json whose standard error goes to a file, so that standard output holds
// the JSON events alone.
struct JsonCli {
  TempDir dir;
  std::unique_ptr<ChildProcess> process;
  void Start(const std::vector<std::string>& args) {
    std::vector<std::string> all{"-c", "exec \"$0\" \"$@\" 2>\"$TESSALY_TEST_STDERR\"", TESSALY_UPDATE_PATH, "--json"};
    all.insert(all.end(), args.begin(), args.end());
    process = std::make_unique<ChildProcess>(
        "/bin/sh", all, dir.path().string(),
        std::vector<std::string>{"HOME=" + dir.path().string(), "XDG_CONFIG_HOME=" + dir.File("config"),
                                 "XDG_STATE_HOME=" + dir.File("state"),
                                 "TESSALY_TEST_STDERR=" + dir.File("stderr.txt")});
  }
  // Every line of standard output must be one JSON object with its kind.
  std::vector<nlohmann::json> Events() const {
    std::vector<nlohmann::json> events;
    for (const std::string& line : process->lines()) {
      nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
      if (e.is_discarded() || !e.is_object() || !e.contains("event")) {
        ADD_FAILURE() << "not an event: " << line;
        continue;
      }
      events.push_back(std::move(e));
    }
    return events;
  }
  Lines Human() const {
    std::ifstream in(dir.File("stderr.txt"));
    Lines lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};

std::vector<nlohmann::json> Of(const std::vector<nlohmann::json>& events, const std::string& kind, int unit) {
  std::vector<nlohmann::json> out;
  for (const nlohmann::json& e : events) {
    if (e["event"] == kind && e.value("unit", 0) == unit) out.push_back(e);
  }
  return out;
}

bool Has(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Quotes, a backslash and two bytes that are not UTF-8, and how they read as JSON.
const std::string kOddName = "s\"q\\u\xFF\xFE.brec2";
const std::string kOddNameShown = "s\"q\\u\xEF\xBF\xBD\xEF\xBF\xBD.brec2";
// And on the readable lines.
const std::string kOddNameEscaped = R"(s"q\u\xff\xfe.brec2)";

const char* const kAbortQuestionText =
    "Firmware updating in progress.\n"
    "The firmware on the board will be damaged if you presses abort button.\n"
    "Do you still want to abort progress?";

std::unique_ptr<pjsim::ProjectorSim> SubProjectorAt(const std::string& address, const std::vector<std::uint8_t>& image,
                                                    std::function<void(pjsim::SimOptions&)> fault = nullptr) {
  pjsim::SimOptions o;
  o.burn_time = 100ms;
  o.sub_expected_image = std::make_shared<std::vector<std::uint8_t>>(image);
  if (fault) fault(o);
  o.listen_address = address;
  o.port = 20554;
  auto sim = std::make_unique<pjsim::ProjectorSim>(o);
  EXPECT_TRUE(sim->Start()) << sim->error();
  return sim;
}

TEST(CliOnControlPort, JsonEventsOfASuccessThenAFailure) {
  const auto image = SubImage(16368 + 100);
  auto good = SubProjectorAt("127.0.0.1", image);
  auto bad = SubProjectorAt("127.0.0.2", image, [](pjsim::SimOptions& o) { o.sub_wrong_checksum = true; });
  JsonCli run;
  run.dir.Write(kOddName, image);
  run.Start({"--projector", "127.0.0.1", "--projector", "127.0.0.2", "--sub", kOddName});
  ASSERT_EQ(run.process->WaitExit(90s), std::optional<int>(1)) << run.process->Output();
  const std::vector<nlohmann::json> events = run.Events();
  ASSERT_FALSE(events.empty());

  // Each unit's events lie between its start and its end (the units run side by side, so
  // theirs interleave), the summary last.
  std::map<int, int> open;  // unit: 1 while started, 2 once ended
  for (std::size_t i = 0; i < events.size(); ++i) {
    const nlohmann::json& e = events[i];
    if (e["event"] == "summary") {
      EXPECT_EQ(i + 1, events.size());
      continue;
    }
    const int unit = e.value("unit", 0);
    if (e["event"] == "unit_start") {
      EXPECT_EQ(open[unit], 0) << e.dump();
      open[unit] = 1;
    } else if (e["event"] == "unit_end") {
      EXPECT_EQ(open[unit], 1) << e.dump();
      open[unit] = 2;
    } else {
      EXPECT_EQ(open[unit], 1) << e.dump();
    }
  }
  EXPECT_EQ(open, (std::map<int, int>{{1, 2}, {2, 2}}));

  for (int u : {1, 2}) {
    SCOPED_TRACE(u);
    const auto starts = Of(events, "unit_start", u);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]["address"], u == 1 ? "127.0.0.1" : "127.0.0.2");
    EXPECT_EQ(starts[0]["units"], 2);
    EXPECT_TRUE(starts[0]["main"].is_null());
    EXPECT_EQ(starts[0]["sub"], kOddNameShown);
    EXPECT_EQ(FromHex(starts[0]["sub_hex"]), kOddName);
    const auto logs = Of(events, "log", u);
    ASSERT_FALSE(logs.empty());
    EXPECT_EQ(logs[0]["text"], "Sub firmware : " + kOddNameShown);
    EXPECT_EQ(logs[0]["level"], "info");
    const auto sessions = Of(events, "session", u);
    ASSERT_GE(sessions.size(), 2u);
    EXPECT_EQ(sessions.front()["state"], "began");
    EXPECT_EQ(sessions.back()["state"], "ended");
  }

  const auto firstLogs = Of(events, "log", 1);
  EXPECT_EQ(firstLogs.back()["text"], "Updated Sub Firmware has succeeded.");
  EXPECT_EQ(Of(events, "progress", 1).back()["percent"], 100);
  ASSERT_EQ(Of(events, "stage", 1).size(), 1u);
  EXPECT_EQ(Of(events, "stage", 1)[0],
            (nlohmann::json{{"event", "stage"}, {"unit", 1}, {"stage", "sub"}, {"result", "succeeded"}}));
  const auto firstEnd = Of(events, "unit_end", 1).at(0);
  EXPECT_EQ(firstEnd["outcome"], "succeeded");
  EXPECT_EQ(firstEnd["exit_status"], 0);
  EXPECT_EQ(firstEnd["main"], "not selected");
  EXPECT_EQ(firstEnd["sub"], "succeeded");
  EXPECT_TRUE(firstEnd["seconds"].is_number());
  ASSERT_TRUE(firstEnd["log"].is_string());
  EXPECT_TRUE(std::filesystem::is_regular_file(firstEnd["log"].get<std::string>())) << firstEnd.dump();

  const auto secondLogs = Of(events, "log", 2);
  EXPECT_EQ(secondLogs.back()["text"], "Update Sub firmware failed");
  EXPECT_EQ(secondLogs.back()["level"], "error");
  ASSERT_EQ(Of(events, "stage", 2).size(), 1u);
  EXPECT_EQ(Of(events, "stage", 2)[0]["result"], "failed");
  const auto secondEnd = Of(events, "unit_end", 2).at(0);
  EXPECT_EQ(secondEnd["outcome"], "failed");
  EXPECT_EQ(secondEnd["exit_status"], 1);
  EXPECT_EQ(secondEnd["sub"], "failed");

  const nlohmann::json& summary = events.back();
  EXPECT_EQ(summary["event"], "summary");
  EXPECT_EQ(summary["exit_status"], 1);
  ASSERT_EQ(summary["units"].size(), 2u);
  EXPECT_EQ(summary["units"][0]["outcome"], "succeeded");
  EXPECT_EQ(summary["units"][1]["outcome"], "failed");
  EXPECT_EQ(summary["units"][1]["sub"], "failed");

  // The readable lines went to standard error, prefixed, and the summary with them.
  const Lines human = run.Human();
  EXPECT_TRUE(Has(human, "[127.0.0.1] Updated Sub Firmware has succeeded.")) << run.process->Output();
  EXPECT_TRUE(Has(human, "[127.0.0.2] error: Update Sub firmware failed"));
  EXPECT_TRUE(Has(human, "Summary:"));
  // Both images arrived whole: the second unit failed on the projector's report only.
  EXPECT_TRUE(good->WaitFor([](const pjsim::Report& r) { return r.sub.intact; }, 5s)) << good->Snapshot().sub.verdict;
  EXPECT_TRUE(bad->WaitFor([](const pjsim::Report& r) { return r.sub.intact; }, 5s)) << bad->Snapshot().sub.verdict;
}

TEST(CliOnControlPort, JsonQuestionLapsesThenIsAnsweredYes) {
  pjsim::SimOptions o;
  o.burn_time = 30000ms;  // the burn outlasts the lapse and the two signals after it
  auto sim = ProjectorOnControlPort(o);
  JsonCli run;
  run.dir.Write("s.brec2", SubImage(100));
  run.Start({"--projector", "127.0.0.1", "--sub", "s.brec2"});
  // The lines as the program writes them: the fields in this order.
  auto line = [](nlohmann::ordered_json e) { return e.dump(); };
  const std::string question = line({{"event", "question"}, {"unit", 1}, {"text", kAbortQuestionText}});
  ASSERT_TRUE(run.process->WaitForLine(
      line({{"event", "log"}, {"unit", 1}, {"level", "info"}, {"text", "Burning...... Please waiting....."}}), 20s))
      << run.process->Output();
  run.process->Signal(SIGINT);
  ASSERT_TRUE(run.process->WaitForLine(question, 10s)) << run.process->Output();
  // No second Ctrl-C: the question lapses and the update goes on.
  ASSERT_TRUE(
      run.process->WaitForLine(line({{"event", "answer"}, {"unit", 1}, {"answer", "no"}, {"lapsed", true}}), 10s))
      << run.process->Output();
  run.process->Signal(SIGINT);
  ASSERT_TRUE(run.process->WaitForLine(question, 10s)) << run.process->Output();
  run.process->Signal(SIGINT);
  ASSERT_TRUE(
      run.process->WaitForLine(line({{"event", "answer"}, {"unit", 1}, {"answer", "yes"}, {"lapsed", false}}), 10s))
      << run.process->Output();
  EXPECT_EQ(run.process->WaitExit(20s), std::optional<int>(1)) << run.process->Output();
  const auto ends = Of(run.Events(), "unit_end", 1);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0]["outcome"], "aborted");
  EXPECT_EQ(ends[0]["sub"], "aborted");
}

TEST(CliJson, RefusalsAreEventsToo) {
  {
    // One unit: the update itself refuses the address, as the window does.
    JsonCli run;
    run.dir.Write(kOddName, SubImage(100));
    const std::string address = "10.0.0.\xFE";
    run.Start({"--projector", address, "--sub", kOddName});
    ASSERT_EQ(run.process->WaitExit(20s), std::optional<int>(2)) << run.process->Output();
    const std::vector<nlohmann::json> events = run.Events();
    ASSERT_EQ(events.size(), 5u) << run.process->Output();
    EXPECT_EQ(events[0]["event"], "unit_start");
    EXPECT_EQ(events[0]["address"], "10.0.0.\xEF\xBF\xBD");
    EXPECT_EQ(events[0]["address_hex"], "31302e302e302efe");
    EXPECT_EQ(events[1]["text"], "Sub firmware : " + kOddNameShown);
    EXPECT_EQ(events[2], (nlohmann::json{{"event", "log"},
                                         {"unit", 1},
                                         {"level", "error"},
                                         {"text", "Projector IP address \"10.0.0.\xEF\xBF\xBD\" error"}}));
    EXPECT_EQ(events[3]["event"], "unit_end");
    EXPECT_EQ(events[3]["outcome"], "refused");
    EXPECT_EQ(events[3]["exit_status"], 2);
    EXPECT_EQ(events[3]["sub"], "skipped");
    EXPECT_EQ(events[4]["event"], "summary");
    EXPECT_EQ(events[4]["exit_status"], 2);
    EXPECT_EQ(run.Human(),
              (Lines{"Sub firmware : " + kOddNameEscaped, "error: Projector IP address \"10.0.0.\\xfe\" error"}));
  }
  {
    // Several: refused before the first starts, with no unit at all.
    JsonCli run;
    run.dir.Write(kOddName, SubImage(100));
    run.Start({"--projector", "127.0.0.1", "--projector", "1.2.3", "--sub", kOddName});
    ASSERT_EQ(run.process->WaitExit(20s), std::optional<int>(2)) << run.process->Output();
    const std::vector<nlohmann::json> events = run.Events();
    ASSERT_EQ(events.size(), 2u) << run.process->Output();
    EXPECT_EQ(events[0],
              (nlohmann::json{{"event", "log"}, {"level", "error"}, {"text", "Projector IP address \"1.2.3\" error"}}));
    EXPECT_EQ(events[1],
              (nlohmann::json{{"event", "summary"}, {"exit_status", 2}, {"units", nlohmann::json::array()}}));
  }
}

// A Main firmware path holding a terminal title sequence and a forged line: the readable
// lines show it escaped, on standard output and (with --json) on standard error, and the
// JSON events carry its exact bytes as JSON escapes.
TEST(CliOutsideText, ShownEscapedAndExactInJson) {
  const std::string file = "fw\x1b]0;pwned\x07\nUpdated Main Firmware has succeeded.";
  const Lines shown{R"(Main firmware : fw\x1b]0;pwned\x07\x0aUpdated Main Firmware has succeeded.)",
                    "error: Main firmware file not found"};
  {
    PreparedCli run;
    run.Start({"--main", file});
    ASSERT_EQ(run.process->WaitExit(20s), std::optional<int>(2)) << run.process->Output();
    EXPECT_EQ(run.process->lines(), shown) << run.process->Output();
  }
  {
    JsonCli run;
    run.Start({"--main", file});
    ASSERT_EQ(run.process->WaitExit(20s), std::optional<int>(2)) << run.process->Output();
    EXPECT_EQ(run.Human(), shown);
    const std::vector<nlohmann::json> events = run.Events();
    ASSERT_EQ(events.size(), 5u) << run.process->Output();
    EXPECT_EQ(events[0]["main"], file);
    EXPECT_FALSE(events[0].contains("main_hex"));
    EXPECT_EQ(events[1]["text"], "Main firmware : " + file);
    // Escaped once, by JSON's rules.
    EXPECT_NE(run.process->lines().at(1).find(R"(fw\u001b]0;pwned\u0007\nUpdated)"), std::string::npos)
        << run.process->lines().at(1);
  }
}

TEST(CliOnControlPort, FleetRefusedBeforeTheFirstProjectorStarts) {
  const auto image = SubImage(100);
  auto first = SubProjectorAt("127.0.0.1", image);
  struct Case {
    const char* name;
    Lines args;
    Lines lines;
  };
  for (const Case& c : {
           Case{"bad_second_address",
                {"--projector", "127.0.0.1", "--projector", "192.168.0", "--sub", "s.brec2"},
                {"error: Projector IP address \"192.168.0\" error"}},
           Case{"not_dotted_in_the_file",
                {"--projector", "127.0.0.1", "--projectors", "list.txt", "--sub", "s.brec2"},
                {"error: Projector IP address \"10-0-0-1\" error"}},
           Case{"missing_file_of_projectors",
                {"--projector", "127.0.0.1", "--projectors", "gone.txt", "--sub", "s.brec2"},
                {"error: Projectors file \"gone.txt\" cannot be read"}},
           Case{"empty_file_of_projectors",
                {"--projector", "127.0.0.1", "--projectors", "empty.txt", "--sub", "s.brec2"},
                {"error: Projectors file \"empty.txt\" names no projector"}},
           Case{"missing_sub_file",
                {"--projector", "127.0.0.1", "--projector", "127.0.0.2", "--sub", "gone.brec2"},
                {"error: Sub firmware file not found"}},
           Case{"short_sub_file",
                {"--projector", "127.0.0.1", "--projector", "127.0.0.2", "--sub", "short.brec2"},
                {"error: Sub firmware file \"short.brec2\" is shorter than its 32-byte header"}},
           Case{"manual_for_several",
                {"--projector", "127.0.0.1", "--projector", "127.0.0.2", "--main", "a.bin", "--manual", "127.0.0.1"},
                {"error: --manual serves one projector only"}},
       }) {
    SCOPED_TRACE(c.name);
    PreparedCli run;
    run.dir.Write("s.brec2", image);
    run.dir.Write("short.brec2", {1, 2, 3});
    run.dir.Write("a.bin", {1, 2, 3});
    run.dir.Write("list.txt", Bytes("# the rack\n10-0-0-1\n"));
    run.dir.Write("empty.txt", Bytes("\n# none yet\n"));
    run.Start(c.args);
    EXPECT_EQ(run.process->WaitExit(20s), std::optional<int>(2)) << run.process->Output();
    EXPECT_EQ(run.process->lines(), c.lines) << run.process->Output();
  }
  EXPECT_EQ(first->Snapshot().connection_count(), 0) << "the first projector was contacted";
}

// --parallel 1: one whole unit after another, in the order given.
TEST(CliOnControlPort, FleetOrderPrefixesAndSummary) {
  // Nothing listens on these: each unit fails at once, in the order given.
  PreparedCli run;
  run.dir.Write("s.brec2", SubImage(100));
  run.dir.Write("list.txt", Bytes("127.0.0.7\n# spare: 127.0.0.8\n127.0.0.6\n"));
  run.Start({"--projector", "127.0.0.5", "--projectors", "list.txt", "--sub", "s.brec2", "--parallel", "1"});
  EXPECT_EQ(run.process->WaitExit(30s), std::optional<int>(1)) << run.process->Output();
  Lines want;
  for (const char* a : {"127.0.0.5", "127.0.0.7", "127.0.0.6"}) {
    const std::string p = "[" + std::string(a) + "] ";
    for (const std::string& l :
         {std::string("Sub firmware : s.brec2"), "Try connecting to \"" + std::string(a) + "\"...",
          std::string("error: Please check the network connection")}) {
      want.push_back(p + l);
    }
  }
  want.push_back("Summary:");
  for (const char* a : {"127.0.0.5", "127.0.0.7", "127.0.0.6"}) {
    want.push_back("  " + std::string(a) + "  Main: not selected, Sub: failed");
  }
  EXPECT_EQ(WithoutTimes(Shown(run.process->lines())), want) << run.process->Output();

  // Each unit names its saved log last, in the folder the environment gives.
  const Lines& all = run.process->lines();
  int logs = 0;
  for (std::size_t i = 1; i < all.size(); ++i) {
    if (!IsLogLine(all[i])) continue;
    ++logs;
    const std::string path = all[i].substr(all[i].find("Log: ") + 5);
    EXPECT_EQ(path.rfind(run.dir.File("state"), 0), 0u) << path;
    EXPECT_TRUE(std::filesystem::is_regular_file(path)) << path;
    EXPECT_EQ(all[i].substr(0, 12), all[i - 1].substr(0, 12)) << all[i];
  }
  EXPECT_EQ(logs, 3) << run.process->Output();
}

TEST(CliOnControlPort, CtrlCDuringTheSecondProjectorSkipsTheRest) {
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    const auto image = SubImage(2 * 16368 + 5);
    auto first = SubProjectorAt("127.0.0.1", image);
    // Silent after the connection: the second unit cannot reach the writing before the signal.
    auto second = SubProjectorAt("127.0.0.2", image, [](pjsim::SimOptions& o) { o.no_greeting = true; });
    auto third = SubProjectorAt("127.0.0.3", image);
    PreparedCli run;
    run.dir.Write("s.brec2", image);
    run.Start({"--projector", "127.0.0.1", "--projector", "127.0.0.2", "--projector", "127.0.0.3", "--sub", "s.brec2",
               "--parallel", "1"});
    ASSERT_TRUE(run.process->WaitForLine("[127.0.0.2] Sub firmware : s.brec2", 60s)) << run.process->Output();
    run.process->Signal(signal);
    EXPECT_EQ(run.process->WaitExit(20s), std::optional<int>(1)) << run.process->Output();
    const Lines lines = WithoutTimes(Shown(run.process->lines()));
    ASSERT_GE(lines.size(), 5u);
    EXPECT_TRUE(Has(lines, "[127.0.0.1] Updated Sub Firmware has succeeded.")) << run.process->Output();
    EXPECT_TRUE(Has(lines, "[127.0.0.2] User abort update.....")) << run.process->Output();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
              (Lines{"Summary:", "  127.0.0.1  Main: not selected, Sub: succeeded",
                     "  127.0.0.2  Main: not selected, Sub: aborted",
                     "  127.0.0.3  Main: not selected, Sub: skipped, not started"}))
        << run.process->Output();
    for (const std::string& l : lines) EXPECT_EQ(l.rfind("[127.0.0.3]", 0), std::string::npos) << l;
    EXPECT_TRUE(first->Snapshot().sub.intact) << first->Snapshot().sub.verdict;
    EXPECT_EQ(third->Snapshot().connection_count(), 0);
  }
}

// The default run of a Sub-only fleet: every unit is all Sub stage, at most --parallel at
// once, on the program's one update loop: three units add no thread.
TEST(CliOnControlPort, SubStagesSideBySideAtMostParallel) {
  const auto image = SubImage(2 * 16368 + 5);
  std::vector<std::unique_ptr<pjsim::ProjectorSim>> sims;
  for (const char* a : {"127.0.0.1", "127.0.0.2", "127.0.0.3"}) sims.push_back(SubProjectorAt(a, image));
  PreparedCli run;
  run.dir.Write("s.brec2", image);
  run.Start({"--projector", "127.0.0.1", "--projector", "127.0.0.2", "--projector", "127.0.0.3", "--sub", "s.brec2",
             "--parallel", "2"});
  ASSERT_TRUE(run.process->WaitForEachLine({"[127.0.0.1] Startup Sub firmware update process...",
                                            "[127.0.0.2] Startup Sub firmware update process..."},
                                           20s))
      << run.process->Output();
  EXPECT_LE(ThreadsOfProcess(std::to_string(run.process->pid())), 3u + kSanitizerThreads);
  ASSERT_EQ(run.process->WaitExit(60s), std::optional<int>(0)) << run.process->Output();

  std::vector<pjsim::SubInterval> streams;
  for (const auto& sim : sims) {
    const pjsim::Report r = sim->Snapshot();
    EXPECT_TRUE(r.sub.intact) << r.sub.verdict;
    ASSERT_EQ(r.sub_received.size(), 1u);
    ASSERT_TRUE(r.sub_received[0].to.has_value());
    streams.push_back(r.sub_received[0]);
  }
  // The first two streamed at once; the third began only when one of them had ended.
  EXPECT_LT(streams[1].from, *streams[0].to);
  EXPECT_LT(streams[0].from, *streams[1].to);
  EXPECT_GE(streams[2].from, std::min(*streams[0].to, *streams[1].to));

  const Lines lines = WithoutTimes(Shown(run.process->lines()));
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
            (Lines{"Summary:", "  127.0.0.1  Main: not selected, Sub: succeeded",
                   "  127.0.0.2  Main: not selected, Sub: succeeded", "  127.0.0.3  Main: not selected, Sub: succeeded"}))
      << run.process->Output();
}

// While several units write, Ctrl-C asks once for the whole run; the second one aborts
// every unit, each with its own line.
TEST(CliOnControlPort, CtrlCInAFleetAsksOnceForEveryUnit) {
  const auto image = SubImage(100);
  std::vector<std::unique_ptr<pjsim::ProjectorSim>> sims;
  for (const char* a : {"127.0.0.1", "127.0.0.2", "127.0.0.3"}) {
    sims.push_back(SubProjectorAt(a, image, [](pjsim::SimOptions& o) { o.burn_time = 20000ms; }));
  }
  PreparedCli run;
  run.dir.Write("s.brec2", image);
  run.Start({"--projector", "127.0.0.1", "--projector", "127.0.0.2", "--projector", "127.0.0.3", "--sub", "s.brec2"});
  ASSERT_TRUE(run.process->WaitForEachLine({"[127.0.0.1] Burning...... Please waiting.....",
                                            "[127.0.0.2] Burning...... Please waiting.....",
                                            "[127.0.0.3] Burning...... Please waiting....."},
                                           20s))
      << run.process->Output();
  run.process->Signal(SIGINT);
  ASSERT_TRUE(run.process->WaitForLine("Do you still want to abort progress?", 10s)) << run.process->Output();
  ASSERT_TRUE(
      run.process->WaitForLine("Press Ctrl-C again within 5 seconds to abort; otherwise the update goes on.", 5s));
  run.process->Signal(SIGINT);
  EXPECT_EQ(run.process->WaitExit(20s), std::optional<int>(1)) << run.process->Output();
  const Lines lines = WithoutTimes(Shown(run.process->lines()));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Do you still want to abort progress?"), 1) << run.process->Output();
  for (const char* a : {"[127.0.0.1] ", "[127.0.0.2] ", "[127.0.0.3] "}) {
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string(a) + "User abort update....."), 1)
        << run.process->Output();
  }
  EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
            (Lines{"Summary:", "  127.0.0.1  Main: not selected, Sub: aborted",
                   "  127.0.0.2  Main: not selected, Sub: aborted", "  127.0.0.3  Main: not selected, Sub: aborted"}))
      << run.process->Output();
}

}  // namespace
}  // namespace tessaly::testing
