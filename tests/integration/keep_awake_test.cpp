// The hold on system sleep while firmware is written, against a stand-in logind
// (python3-dbusmock's logind template) on a private bus of the test's own: taken when
// the Sub firmware starts being written, released on every way the write ends.

#include <gtest/gtest.h>
#include <signal.h>
#include <systemd/sd-bus.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "sub_update_run.h"
#include "support/child_process.h"
#include "support/param_print.h"

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

constexpr const char* kDbusDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kPython = "/usr/bin/python3";  // Debian's, which has dbusmock
constexpr auto kQueryGapMs = 50ms;                   // between two looks at the stand-in

struct Inhibitor {
  std::string what, who, mode;
};

// logind's stand-in on a bus of its own, which DBUS_SYSTEM_BUS_ADDRESS names for the
// updater in this process. Both processes are ended by their PIDs.
class StandInLogind {
 public:
  StandInLogind() {
    if (!std::filesystem::exists(kDbusDaemon) || !std::filesystem::exists(kPython)) {
      why_ = "needs dbus-daemon and /usr/bin/python3 with python3-dbusmock";
      return;
    }
    // A folder apart from the test's TempDir, which the update's own TempDir would empty.
    char folder[] = "/tmp/tessaly-logind-XXXXXX";
    if (!::mkdtemp(folder)) {
      why_ = "no folder for the private bus";
      return;
    }
    dir_ = folder;
    const std::string socket = dir_ + "/bus";
    const std::string config = dir_ + "/bus.conf";
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
                             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig>\n  <listen>unix:path="
                          << socket
                          << "</listen>\n  <auth>EXTERNAL</auth>\n"
                             "  <policy context=\"default\">\n"
                             "    <allow user=\"*\"/>\n    <allow own=\"*\"/>\n"
                             "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                             "    <allow receive_sender=\"*\"/>\n  </policy>\n</busconfig>\n";
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + socket).c_str(), 1);
    bus_ = std::make_unique<ChildProcess>(kDbusDaemon, Lines{"--config-file=" + config, "--nofork"}, dir_);
    mock_ = std::make_unique<ChildProcess>(kPython, Lines{"-m", "dbusmock", "--system", "--template", "logind"}, dir_);
    // Up when the stand-in answers; bounded, looked at every kQueryGapMs.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!Inhibitors() && std::chrono::steady_clock::now() < deadline) {
      mock_->WaitForLine("never printed", kQueryGapMs);
    }
    if (!Inhibitors()) why_ = "the stand-in logind did not come up on the private bus:\n" + mock_->Output();
  }
  ~StandInLogind() {
    for (ChildProcess* p : {mock_.get(), bus_.get()}) {
      if (!p) continue;
      p->Signal(SIGTERM);
      p->WaitExit(5s);  // the destructor kills what is left
    }
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  const std::string& why() const { return why_; }

  // The inhibitors logind holds now; nullopt when it cannot be asked.
  static std::optional<std::vector<Inhibitor>> Inhibitors() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return std::nullopt;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    std::optional<std::vector<Inhibitor>> out;
    if (sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "ListInhibitors", &error, &reply, "") >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "(ssssuu)") >= 0) {
      out.emplace();
      const char *what, *who, *why, *mode;
      std::uint32_t uid, pid;
      while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0) {
        out->push_back({what, who, mode});
      }
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return out;
  }

 private:
  std::string dir_;
  std::string why_;
  std::unique_ptr<ChildProcess> bus_, mock_;
};

// Pumps the update while looking at the stand-in now and then, until it holds `count`.
bool PumpUntilHeld(SubUpdateRun& run, std::size_t count, std::chrono::milliseconds timeout = 10s) {
  auto next = std::chrono::steady_clock::now();
  bool held = false;
  return run.thread.PumpUntil(
      [&] {
        if (std::chrono::steady_clock::now() < next) return false;
        next = std::chrono::steady_clock::now() + kQueryGapMs;
        const auto now = StandInLogind::Inhibitors();
        held = now && now->size() == count;
        if (held && count == 1) {
          const Inhibitor& i = now->front();
          EXPECT_EQ(i.what, "sleep");
          EXPECT_EQ(i.mode, "block");
          EXPECT_EQ(i.who, "Updater for Tessaly");
        }
        return held;
      },
      timeout);
}

enum class Act { None, Abort, CloseWindow };

struct HoldCase {
  const char* name;
  void (*arrange)(pjsim::SimOptions&);
  Act act;
  const char* end;  // the update's last event, if it gets that far
};
TESSALY_PRINT_PARAM(HoldCase, name)

class KeepAwakeThreaded : public ::testing::TestWithParam<HoldCase> {};

TEST_P(KeepAwakeThreaded, HeldWhileFirmwareIsWrittenOnly) {
  const HoldCase& c = GetParam();
  StandInLogind logind;
  if (!logind.why().empty()) GTEST_SKIP() << logind.why();
  pjsim::SimOptions o;
  c.arrange(o);
  SubUpdateRun run(o);
  ASSERT_TRUE(run.started) << run.sim->error();
  run.events.answers.push_back(Answer::Yes);

  ASSERT_TRUE(run.Start());
  // The image is sent, then burnt for a while: firmware is being written all along.
  ASSERT_TRUE(run.PumpUntilSeen("info: Burning...... Please waiting....."))
      << ::testing::PrintToString(run.events.events);
  ASSERT_TRUE(PumpUntilHeld(run, 1)) << "no sleep inhibitor while firmware is written";

  switch (c.act) {
    case Act::None: break;
    case Act::Abort: run.core->Abort(); break;
    case Act::CloseWindow: run.core->Shutdown(); break;
  }
  if (c.act != Act::CloseWindow) {
    ASSERT_TRUE(run.PumpUntilEnded()) << ::testing::PrintToString(run.events.events);
    EXPECT_EQ(run.events.events.back(), c.end);
  }
  EXPECT_TRUE(PumpUntilHeld(run, 0)) << "the sleep inhibitor outlived the write";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeepAwakeThreaded,
    ::testing::Values(
        HoldCase{"succeeded", [](pjsim::SimOptions& o) { o.burn_time = 1500ms; }, Act::None, "end: succeeded"},
        HoldCase{"failed",
                 [](pjsim::SimOptions& o) {
                   o.burn_time = 1500ms;
                   o.sub_wrong_checksum = true;
                 },
                 Act::None, "end: failed"},
        HoldCase{"aborted", [](pjsim::SimOptions& o) { o.burn_time = 20000ms; }, Act::Abort, "end: aborted"},
        HoldCase{"window_closed", [](pjsim::SimOptions& o) { o.burn_time = 20000ms; }, Act::CloseWindow, ""}),
    [](const ::testing::TestParamInfo<HoldCase>& p) { return std::string(p.param.name); });

// No bus at all: said once on standard error, and the update goes on to its end.
TEST(KeepAwakeThreadedNoBus, OneLineOnStandardErrorAndTheUpdateGoesOn) {
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tessaly-test-bus", 1);
  pjsim::SimOptions o;
  o.burn_time = 100ms;
  SubUpdateRun run(o);
  ASSERT_TRUE(run.started) << run.sim->error();
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(run.Start());
  const bool ended = run.PumpUntilEnded();
  run.core->Shutdown();
  const std::string err = ::testing::internal::GetCapturedStderr();
  ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  ASSERT_TRUE(ended) << ::testing::PrintToString(run.events.events);
  EXPECT_EQ(run.events.events.back(), "end: succeeded");
  std::istringstream lines(err);
  Lines said;
  for (std::string line; std::getline(lines, line);) said.push_back(line);
  ASSERT_EQ(said.size(), 1u) << err;
  EXPECT_EQ(said[0].rfind("The PC may go to sleep while firmware is written: ", 0), 0u) << said[0];
}

}  // namespace
}  // namespace tessaly::testing
