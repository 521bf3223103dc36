// Whole updates against the simulated projector on the real ports and the real
// broadcast, in a private network namespace: the updater on 127.0.0.1, the projector on
// 127.0.0.2, everything on the loopback link.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <thread>

#include "netns/netns_support.h"
#include "support/core_probe.h"
#include "projector_sim.h"
#include "support/harness.h"
#include "support/param_print.h"
#include "support/temp_dir.h"

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

struct Lab {
  explicit Lab(pjsim::SimOptions o, UpdaterSettings settings = {}) : harness(settings) {
    o.listen_address = "127.0.0.2";
    o.port = 20554;
    // The simulator takes broadcasts only, so the updater can bind the same ports on its address.
    o.broadcast_bind_address = "255.255.255.255";
    options = o;
  }
  void Start() {
    sim = std::make_unique<pjsim::ProjectorSim>(options);
    ASSERT_TRUE(sim->Start()) << sim->error();
    harness.updater->Start();
    harness.view.SetText(Control::IpAddrEdit, "127.0.0.2");
  }
  void NameMain(const Bytes& image) {
    mainImage = std::make_shared<Bytes>(image);
    options.expected_image = mainImage;
    harness.view.SetText(Control::FileEdit, dir.Write("main.bin", image));
  }
  void NameSub(std::uint8_t model, const Bytes& payload) {
    const std::string path = dir.WriteSubImage("sub.brec2", model, payload);
    Bytes whole(32, 0);
    whole[9] = model;
    whole.insert(whole.end(), payload.begin(), payload.end());
    options.sub_expected_image = std::make_shared<Bytes>(whole);
    harness.view.SetText(Control::FileEdit2, path);
  }
  bool Idle() const { return harness.view.Enabled(Control::UpdateFwBtn) && !harness.view.Enabled(Control::AbortBtn); }
  bool RunToTheEnd(std::chrono::milliseconds timeout) {
    harness.view.Click(Control::UpdateFwBtn);
    return harness.view.PumpUntil([this] { return Idle() && Probe(harness.updater).session().StagesRunning() == 0; }, timeout);
  }
  Lines UpdateLines(std::size_t skip) const {
    Lines all = harness.LogTexts();
    return Lines(all.begin() + static_cast<long>(std::min(skip, all.size())), all.end());
  }

  TempDir dir;
  Harness harness;
  pjsim::SimOptions options;
  std::shared_ptr<Bytes> mainImage;
  std::unique_ptr<pjsim::ProjectorSim> sim;
};

TEST(EndToEndNetns, BothFirmwaresWithTheRealWaits) {
  TESSALY_REQUIRE_NETNS();
  pjsim::SimOptions o;
  o.burn_time = 1500ms;
  o.restart_delay = 3000ms;  // the projector is back well within the updater's 7000 ms
  Lab lab(o);
  lab.NameMain(Pattern(70000, 7));
  lab.NameSub(0x0A, Pattern(2 * 16368 + 1000, 9));
  lab.Start();
  const std::size_t startup = lab.harness.view.logLines().size();

  lab.harness.view.Click(Control::UpdateFwBtn);
  // One pump may show several lines: look for a line anywhere, not only at the end.
  auto logged = [&](const std::string& line) {
    const Lines all = lab.harness.LogTexts();
    return std::find(all.begin(), all.end(), line) != all.end();
  };
  ASSERT_TRUE(lab.harness.view.PumpUntil(
      [&] { return logged("Waiting projector restart, and update Sub firmware ..."); }, 60s));
  const auto waitBegan = std::chrono::steady_clock::now();
  ASSERT_TRUE(lab.harness.view.PumpUntil([&] { return logged("Model Name: QMA"); }, 30s));
  EXPECT_GE(std::chrono::steady_clock::now() - waitBegan, 6990ms) << "the updater waits 7000 ms for the restart";
  ASSERT_TRUE(
      lab.harness.view.PumpUntil([&] { return lab.Idle() && Probe(lab.harness.updater).session().StagesRunning() == 0; }, 60s));

  EXPECT_EQ(lab.UpdateLines(startup),
            (Lines{"Try connecting to \"127.0.0.2\"...", "Connected to projector has succeeded.",
                   "Startup Main firmware update process...", "Updated Main Firmware has succeeded.",
                   "Waiting projector restart, and update Sub firmware ...", "Model Name: QMA",
                   "Startup Sub firmware update process...", "Burning...... Please waiting.....",
                   "Updated Sub Firmware has succeeded."}));
  for (std::size_t i = startup; i < lab.harness.view.logLines().size(); ++i) {
    EXPECT_EQ(lab.harness.view.logLines()[i].colour, LogColour::Blue) << lab.harness.view.logLines()[i].text;
  }

  // The bar: 0 to 50 in the Main stage, 50 to 100 in the Sub stage, never back.
  std::vector<int> shown;
  for (const std::string& c : lab.harness.view.calls()) {
    if (c.rfind("position UpdateProgBar ", 0) == 0) shown.push_back(std::stoi(c.substr(23)));
  }
  ASSERT_FALSE(shown.empty());
  EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
  EXPECT_EQ(shown.back(), 100);
  EXPECT_NE(std::find(shown.begin(), shown.end(), 50), shown.end());
  EXPECT_GT(std::count_if(shown.begin(), shown.end(), [](int v) { return v > 0 && v < 50; }), 0);
  EXPECT_GT(std::count_if(shown.begin(), shown.end(), [](int v) { return v > 50 && v < 100; }), 0);

  // The simulator's verdicts follow its last answers by a moment.
  EXPECT_TRUE(lab.sim->WaitFor(
      [](const pjsim::Report& r) { return r.boot_loader.image_intact && r.sub.intact && r.sub.close_received; }, 5s));
  const pjsim::Report r = lab.sim->Snapshot();
  EXPECT_TRUE(r.boot_loader.image_intact) << r.boot_loader.verdict;
  EXPECT_TRUE(r.sub.intact) << r.sub.verdict;
  EXPECT_TRUE(r.sub.close_received);
  for (const auto& v : r.violations) ADD_FAILURE() << v.ToString();
  EXPECT_EQ(Probe(lab.harness.updater).state().UpdateInProgress.load(), 0);
  EXPECT_EQ(Probe(lab.harness.updater).state().StopRequested.load(), 0u);
  EXPECT_FALSE(Probe(lab.harness.updater).client().Active());
}

UpdaterSettings QuickLoop() {
  // The logic of the service loop, with its 0.5 s cycle shortened.
  UpdaterSettings s;
  s.selectWaitUs = 40000;
  return s;
}

struct MainCase {
  const char* name;
  void (*apply)(pjsim::SimOptions&);
  bool succeeds;
  Lines tail;  // the last log lines
};
TESSALY_PRINT_PARAM(MainCase, name)

class MainStageNetns : public ::testing::TestWithParam<MainCase> {};

TEST_P(MainStageNetns, AgainstTheSimulatedBootLoader) {
  TESSALY_REQUIRE_NETNS();
  pjsim::SimOptions o;
  o.tftp_timeout = 5000ms;  // the updater's resends, not the boot loader's, must carry the transfer
  GetParam().apply(o);
  Lab lab(o, QuickLoop());
  lab.NameMain(Pattern(20 * 512 + 77, 3));
  lab.Start();
  ASSERT_TRUE(lab.RunToTheEnd(60s));
  const Lines lines = lab.harness.LogTexts();
  ASSERT_GE(lines.size(), GetParam().tail.size());
  EXPECT_EQ(Lines(lines.end() - static_cast<long>(GetParam().tail.size()), lines.end()), GetParam().tail);
  if (GetParam().succeeds) {
    // The simulator records its verdict just after its last ACK has gone out.
    EXPECT_TRUE(lab.sim->WaitFor([](const pjsim::Report& r) { return r.boot_loader.image_intact; }, 5s));
  }
  const pjsim::Report r = lab.sim->Snapshot();
  EXPECT_EQ(r.boot_loader.image_intact, GetParam().succeeds) << r.boot_loader.verdict;
  EXPECT_EQ(Probe(lab.harness.updater).state().StagesSucceeded.load() & MainFw, GetParam().succeeds ? MainFw : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MainStageNetns,
    ::testing::Values(
        MainCase{"whole_stage", [](pjsim::SimOptions&) {}, true, {"Updated Main Firmware has succeeded."}},
        MainCase{"dropped_acks_resent",
                 [](pjsim::SimOptions& o) { o.drop_acks = 3; },
                 true,
                 {"Updated Main Firmware has succeeded."}},
        MainCase{"duplicate_acks_ignored",
                 [](pjsim::SimOptions& o) { o.duplicate_acks = true; },
                 true,
                 {"Updated Main Firmware has succeeded."}},
        MainCase{"silent_after_block_5",
                 [](pjsim::SimOptions& o) { o.stop_at_block = 5; },
                 false,
                 {"Update Main firmware failed"}},
        MainCase{"request_for_another_mac",
                 [](pjsim::SimOptions& o) { o.bootp_mac = pjsim::MacAddress{0, 1, 2, 3, 4, 5}; },
                 false,
                 {"Waiting update Main firmware packet timeout", "Update Main firmware failed"}},
        MainCase{"upper_case_server_name",
                 [](pjsim::SimOptions& o) { o.bootp_sname = "STELLARIS"; },
                 true,
                 {"Updated Main Firmware has succeeded."}}),
    [](const ::testing::TestParamInfo<MainCase>& p) { return std::string(p.param.name); });

struct HeldPortCase {
  std::uint16_t port;
  int result;
};
TESSALY_PRINT_PARAM(HeldPortCase, port)

class HeldPortNetns : public ::testing::TestWithParam<HeldPortCase> {};

TEST_P(HeldPortNetns, AnotherProgramOnTheFixedPort) {
  TESSALY_REQUIRE_NETNS();
  UdpPeer holder("127.0.0.1", GetParam().port);  // a DHCP or TFTP server, say
  ASSERT_TRUE(holder.ok());
  Lab lab({}, QuickLoop());
  lab.NameMain(Pattern(1000, 5));
  lab.Start();
  ASSERT_TRUE(lab.RunToTheEnd(30s));
  const Lines lines = lab.harness.LogTexts();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2],
            "Cannot bind UDP port " + std::to_string(GetParam().port) + " on 127.0.0.1: Address already in use");
  EXPECT_EQ(lines.back(), "Update Main firmware failed");
  EXPECT_EQ(Probe(lab.harness.updater).state().StagesSucceeded.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Ports, HeldPortNetns,
                         ::testing::Values(HeldPortCase{67, 2}, HeldPortCase{69, 3}, HeldPortCase{9, 4}));

}  // namespace
}  // namespace tessaly::testing
