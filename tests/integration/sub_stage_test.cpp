// The Sub firmware stage against the simulated video processor on loopback.

#include <gtest/gtest.h>

#include "projector_sim.h"
#include "support/core_probe.h"
#include "support/fake_view.h"
#include "support/fakes.h"
#include "support/harness.h"
#include "support/param_print.h"
#include "support/temp_dir.h"

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

UpdaterSettings FastPacing() {
  // The logic of the stream, not its pace: the reply budgets stay as shipped.
  UpdaterSettings s;
  s.subPacketWaitMs = 1;
  s.subRecordWaitMs = 1;
  return s;
}

struct SubStage {
  SubStage(pjsim::SimOptions o, std::size_t payload, UpdaterSettings settings = FastPacing()) : harness(settings) {
    image.assign(32, 0);
    image[9] = 0x0A;
    for (std::size_t i = 0; i < payload; ++i) image.push_back(static_cast<std::uint8_t>(i * 11 + i / 300));
    o.listen_address = "127.0.0.1";
    o.port = 0;
    o.burn_time = 200ms;
    o.sub_expected_image = std::make_shared<Bytes>(image);
    sim = std::make_unique<pjsim::ProjectorSim>(o);
    started = sim->Start();
    // The harness was built with the default port; the simulator's is known only now.
    harness.updater.reset();
    settings.controlPort = sim->port();
    harness.updater = std::make_unique<Updater>(
        FormPlatform{harness.profile, harness.directory, harness.adapters, harness.debug}, settings);
    harness.view.SetEvents(&harness.updater->events());
    harness.updater->AttachView(harness.view);
    harness.updater->Start();
    harness.view.SetText(Control::IpAddrEdit, "127.0.0.1");
    harness.view.SetText(Control::FileEdit2, dir.Write("s.brec2", image));
    startup = harness.view.logLines().size();
  }
  ~SubStage() {
    harness.updater->Shutdown();
    sim->Stop();
  }
  bool Idle() const {
    return harness.view.Enabled(Control::UpdateFwBtn) && !harness.view.Enabled(Control::AbortBtn) &&
           Probe(harness.updater).session().StagesRunning() == 0;
  }
  Lines UpdateLines() const {
    Lines all = harness.LogTexts();
    return Lines(all.begin() + static_cast<long>(startup), all.end());
  }
  TempDir dir;
  Harness harness;
  Bytes image;
  std::unique_ptr<pjsim::ProjectorSim> sim;
  bool started = false;
  std::size_t startup = 0;
};

const Lines kRoad = {"Try connecting to \"127.0.0.1\"...", "Connected to projector has succeeded.", "Model Name: QMA",
                     "Startup Sub firmware update process..."};

struct SubCase {
  const char* name;
  void (*apply)(pjsim::SimOptions&);
  bool succeeds;
};
TESSALY_PRINT_PARAM(SubCase, name)

class SubStageThreaded : public ::testing::TestWithParam<SubCase> {};

TEST_P(SubStageThreaded, AgainstTheSimulatedVideoProcessor) {
  pjsim::SimOptions o;
  GetParam().apply(o);
  SubStage st(o, 3 * 16368 + 700);
  ASSERT_TRUE(st.started) << st.sim->error();
  st.harness.view.Click(Control::UpdateFwBtn);
  ASSERT_TRUE(st.harness.view.PumpUntil([&] { return st.Idle(); }, 60s));
  Lines want = kRoad;
  if (GetParam().succeeds) {
    want.insert(want.end(), {"Burning...... Please waiting.....", "Updated Sub Firmware has succeeded."});
  }
  const Lines got = st.UpdateLines();
  if (GetParam().succeeds) {
    EXPECT_EQ(got, want);
    EXPECT_TRUE(st.sim->WaitFor([](const pjsim::Report& r) { return r.sub.intact; }, 5s))
        << st.sim->Snapshot().sub.verdict;
    EXPECT_EQ(Probe(st.harness.updater).state().StopRequested.load(), 0u);
  } else {
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), "Update Sub firmware failed");
    EXPECT_EQ(std::count(got.begin(), got.end(), "Update Sub firmware failed"), 1);
    EXPECT_EQ(st.harness.view.logLines().back().colour, LogColour::Red);
    EXPECT_EQ(Probe(st.harness.updater).state().StopRequested.load(), 1u);
  }
  EXPECT_EQ(Probe(st.harness.updater).state().UpdateInProgress.load(), 0);
  EXPECT_FALSE(Probe(st.harness.updater).client().Active());
}

INSTANTIATE_TEST_SUITE_P(
    Options, SubStageThreaded,
    ::testing::Values(SubCase{"clean", [](pjsim::SimOptions&) {}, true},
                      SubCase{"ack_as_16_then_32", [](pjsim::SimOptions& o) { o.sub_split_ack = true; }, true},
                      SubCase{"wrong_ack_at_block_2", [](pjsim::SimOptions& o) { o.sub_bad_ack_at = 2; }, false},
                      SubCase{"burn_report_in_two_pieces", [](pjsim::SimOptions& o) { o.sub_split_burn_report = true; },
                              false},
                      SubCase{"wrong_checksum", [](pjsim::SimOptions& o) { o.sub_wrong_checksum = true; }, false},
                      SubCase{"close_answered_SD", [](pjsim::SimOptions& o) { o.sub_close_upper = true; }, false},
                      SubCase{"closed_in_block_2", [](pjsim::SimOptions& o) { o.sub_close_mid_block = 2; }, false}));

TEST(SubStageAbortThreaded, AbortInTheMiddleOfABlockStopsAfterTheCurrentPacket) {
  SubStage st({}, 3 * 16368, UpdaterSettings{});  // the real pace: 62 ms after each packet
  ASSERT_TRUE(st.started) << st.sim->error();
  st.harness.view.Click(Control::UpdateFwBtn);
  // Into the first block, some packets in.
  ASSERT_TRUE(st.harness.view.PumpUntil([&] { return st.sim->Snapshot().sub.payload_bytes >= 5 * 682; }, 20s));
  st.harness.view.QueueAnswer(Answer::Yes);
  st.harness.view.Click(Control::AbortBtn);
  EXPECT_EQ(st.harness.view.questions().size(), 1u);  // firmware is being written: asked first
  ASSERT_TRUE(st.harness.view.PumpUntil([&] { return st.Idle(); }, 10s));
  const Lines got = st.UpdateLines();
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(got[got.size() - 2], "User abort update.....");
  EXPECT_EQ(got.back(), "Update Sub firmware failed");
  // Whole packets only: the stream stopped after the packet that was going out.
  ASSERT_TRUE(st.sim->WaitFor([](const pjsim::Report& r) { return r.ended_connection_count() == 1; }, 5s));
  const pjsim::Report r = st.sim->Snapshot();
  EXPECT_EQ(r.sub.payload_bytes % 682, 0u) << r.sub.payload_bytes;
  EXPECT_GE(r.sub.payload_bytes, 5u * 682) << r.sub.payload_bytes;
  EXPECT_LT(r.sub.payload_bytes, 16368u);
  EXPECT_FALSE(r.sub.intact);
}

}  // namespace
}  // namespace tessaly::testing
