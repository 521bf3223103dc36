// The core without a window: an update started from a request against the simulated
// projector, its events recorded in order, as a front end receives them.

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "app/update_core.h"
#include "projector_sim.h"
#include "support/fake_view.h"
#include "support/fakes.h"
#include "support/param_print.h"
#include "support/recording_events.h"
#include "support/temp_dir.h"
#include "support/threads.h"

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

enum class Act { None, AbortWhileBurning, RefuseAddress };

struct EventCase {
  const char* name;
  void (*arrange)(pjsim::SimOptions&);
  Act act;
  // Without "session ended", which may come more than once, where a worker's end crosses
  // the operator's; "{Q}" stands for the Abort question.
  Lines events;
};
TESSALY_PRINT_PARAM(EventCase, name)

class UpdateEventsThreaded : public ::testing::TestWithParam<EventCase> {};

TEST_P(UpdateEventsThreaded, ArriveInTheOrderTheyHappened) {
  const EventCase& c = GetParam();
  TempDir dir;
  Bytes image(32, 0);
  image[9] = 0x0A;
  for (std::size_t i = 0; i < 16368 + 500; ++i) image.push_back(static_cast<std::uint8_t>(i * 7));
  pjsim::SimOptions o;
  o.listen_address = "127.0.0.1";
  o.port = 0;
  o.burn_time = 200ms;
  o.sub_expected_image = std::make_shared<Bytes>(image);
  c.arrange(o);
  pjsim::ProjectorSim sim(o);
  ASSERT_TRUE(sim.Start()) << sim.error();

  UpdaterSettings s;
  s.controlPort = sim.port();
  s.subPacketWaitMs = 1;
  s.subRecordWaitMs = 1;
  MemoryProfile profile;
  RecordingDebugOutput debug;
  FakeView thread;  // only its queue: the core's thread is this one
  RecordingEvents events;
  events.answers.push_back(Answer::Yes);
  UpdateCore core(profile, debug, s);
  core.Attach(thread, events);
  events.answer = [&core](Answer a) { core.AnswerQuestion(a); };

  UpdateRequest request;
  request.projectorAddress = c.act == Act::RefuseAddress ? "127.0.0.300" : "127.0.0.1";
  request.macAddress = "FF.FF.FF.FF.FF.FF";
  request.subFile = dir.Write("s.brec2", image);
  const bool started = core.Start(request);
  EXPECT_EQ(started, c.act != Act::RefuseAddress);
  auto ended = [&] { return !events.events.empty() && events.events.back().rfind("end: ", 0) == 0; };
  if (started) {
    if (c.act == Act::AbortWhileBurning) {
      const std::string burning = "info: Burning...... Please waiting.....";
      ASSERT_TRUE(thread.PumpUntil(
          [&] { return std::find(events.events.begin(), events.events.end(), burning) != events.events.end(); }, 30s));
      core.Abort();
    }
    ASSERT_TRUE(thread.PumpUntil(ended, 60s)) << ::testing::PrintToString(events.events);
    // Nothing follows the end.
    EXPECT_FALSE(thread.PumpUntil([&] { return !ended(); }, 100ms));
  }
  Lines want;
  for (const std::string& e : c.events) want.push_back(e == "{Q}" ? "asked: " + std::string(kAbortQuestion) : e);
  Lines got;
  for (const std::string& e : events.events) {
    if (e != "session ended") got.push_back(e);
  }
  EXPECT_EQ(got, want);
  // Where the update stands, as a fleet's board shows it.
  EXPECT_EQ(events.steps, (started ? Lines{"Sub", "burning"} : Lines{}));
  if (started) {
    // The session's end comes before the update's, which is the last word.
    ASSERT_GE(events.events.size(), 2u);
    EXPECT_EQ(events.events[events.events.size() - 2], "session ended");
  }
  core.Shutdown();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateEventsThreaded,
    ::testing::Values(
        EventCase{"sub_update",
                  [](pjsim::SimOptions&) {},
                  Act::None,
                  {"began", "info: Try connecting to \"127.0.0.1\"...", "info: Connected to projector has succeeded.",
                   "info: Model Name: QMA", "info: Startup Sub firmware update process...", "progress 0",
                   "info: Burning...... Please waiting.....", "info: Updated Sub Firmware has succeeded.",
                   "Sub succeeded", "progress 100", "end: succeeded"}},
        EventCase{"wrong_checksum",
                  [](pjsim::SimOptions& o) { o.sub_wrong_checksum = true; },
                  Act::None,
                  {"began", "info: Try connecting to \"127.0.0.1\"...", "info: Connected to projector has succeeded.",
                   "info: Model Name: QMA", "info: Startup Sub firmware update process...", "progress 0",
                   "info: Burning...... Please waiting.....", "error: Update Sub firmware failed", "Sub failed",
                   "end: failed"}},
        EventCase{"abort_while_burning",
                  [](pjsim::SimOptions& o) { o.burn_time = 20000ms; },
                  Act::AbortWhileBurning,
                  {"began", "info: Try connecting to \"127.0.0.1\"...", "info: Connected to projector has succeeded.",
                   "info: Model Name: QMA", "info: Startup Sub firmware update process...", "progress 0",
                   "info: Burning...... Please waiting.....", "{Q}", "info: User abort update.....",
                   "error: Update Sub firmware failed", "Sub failed", "end: aborted"}},
        EventCase{"refused_address",
                  [](pjsim::SimOptions&) {},
                  Act::RefuseAddress,
                  {"error: Projector IP address \"127.0.0.300\" error"}}),
    [](const ::testing::TestParamInfo<EventCase>& p) { return std::string(p.param.name); });

// The control connection, its timer and the hold on sleep all live on the core's loop.
TEST(UpdateCoreThreaded, StartsNoThreadBesideItsLoop) {
  MemoryProfile profile;
  RecordingDebugOutput debug;
  FakeView thread;
  RecordingEvents events;
  // A sanitizer starts a thread of its own with the process's first thread: made first.
  std::thread([] {}).join();
  const std::size_t before = ThreadsOfProcess();
  UpdateCore core(profile, debug, UpdaterSettings{});
  core.Attach(thread, events);
  EXPECT_EQ(ThreadsOfProcess(), before + 1);
  core.Shutdown();
}

}  // namespace
}  // namespace tessaly::testing
