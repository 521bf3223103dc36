// The Main stage starts the system's socket library first and cleans it up once, whatever
// the stage's result; when it cannot be started nothing else happens.

#include <gtest/gtest.h>

#include "bootloader/main_firmware.h"
#include "support/core_probe.h"
#include "support/fake_network.h"
#include "support/harness.h"
#include "support/manual_loop.h"
#include "support/session_stage.h"
#include "support/temp_dir.h"

namespace tessaly::testing {
namespace {

// The in-memory network, with a socket library that can be refused.
class CountingNetwork final : public DatagramNetwork {
 public:
  bool StartUp() override {
    ++startUps;
    return startable;
  }
  void CleanUp() override { ++cleanUps; }
  std::unique_ptr<DatagramSocket> Open(const DatagramOptions& options, std::string& error) override {
    return net.Open(options, error);
  }
  void AsyncWait(const std::vector<DatagramSocket*>& sockets, std::uint32_t timeoutUs, WaitDone done) override {
    net.AsyncWait(sockets, timeoutUs, std::move(done));
  }
  void CancelWait() override { net.CancelWait(); }

  ManualLoop loop;
  FakeNetwork net{loop};
  bool startable = true;
  int startUps = 0;
  int cleanUps = 0;
};

TEST(SocketLibrary, StartedOnceAndCleanedUpOnceOrTheStageEndsAtOnce) {
  struct Case {
    const char* name;
    bool startable;
    int result;
    std::vector<std::string> lines;
    int cleanUps;
  };
  const Case cases[] = {
      {"refused", false, -1, {"Winsock failed to startup"}, 0},
      {"started, stage failed", true, kMainImageUnreadable, {"Update Main firmware failed"}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    Harness h;
    CountingNetwork network;
    network.startable = c.startable;
    Probe(h.updater).state().UpdateStage.store(1);
    Probe(h.updater).state().FirmwareSelection.store(MainFw);
    Probe(h.updater).state().MainFwFile = dir.File("missing.bin");
    int result = -100;
    int doneCalls = 0;
    MainStageTarget target;
    target.imagePath = Probe(h.updater).state().MainFwFile;
    auto stage =
        StartMainStage(SessionStageContext(Probe(h.updater).session(), network.loop), network, target, {}, [&](int r) {
          result = r;
          ++doneCalls;
        });
    EXPECT_EQ(doneCalls, 0) << "the end is reported in a handler of its own";
    EXPECT_TRUE(network.loop.RunUntil([&] { return doneCalls > 0; }));
    EXPECT_EQ(doneCalls, 1);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(h.LogTexts(), c.lines);
    ASSERT_EQ(h.view.logLines().size(), 1u);
    EXPECT_EQ(h.view.logLines()[0].colour, LogColour::Red);
    EXPECT_EQ(network.startUps, 1);
    EXPECT_EQ(network.cleanUps, c.cleanUps);
    EXPECT_TRUE(network.net.opened.empty());
  }
}

}  // namespace
}  // namespace tessaly::testing
