// The Main firmware service on real sockets and the real ports, in a private network
// namespace: the adapter the boot loader's broadcast arrives by, and real TFTP clients.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>

#include "bootloader/main_firmware.h"
#include "support/core_probe.h"
#include "netns/netns_support.h"
#include "platform/update_loop.h"
#include "support/harness.h"
#include "support/session_stage.h"
#include "support/temp_dir.h"

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Runs the Main stage on an update loop of its own, the test's thread acting as the view's.
struct ServiceRun {
  ServiceRun(Harness& h, MainStageTarget target)
      : harness(h), loop(CreateUpdateLoop()), net(CreateSystemDatagramNetwork(*loop)) {
    loop->Post([this, target] {
      // Progress goes nowhere: only the stage's lines and bytes are looked at here.
      StageContext ctx = SessionStageContext(Probe(harness.updater).session(), *loop, [](std::uint32_t) {});
      stage = StartMainStage(ctx, *net, target, {}, [this](int r) {
        result = r;
        done = true;
      });
    });
  }
  ~ServiceRun() {
    Stop();
    WaitDone(std::chrono::seconds(10));
    // No handler runs after this: the stage, its sockets and the network may go.
    loop->Stop();
    stage.reset();
    net.reset();
  }
  // An Abort: the stop request, then the Cancel on the loop.
  void Stop() {
    Probe(harness.updater).session().RequestStop();
    loop->Post([this] {
      if (stage) stage->Cancel();
    });
  }
  bool WaitDone(std::chrono::milliseconds timeout) {
    return harness.view.PumpUntil([this] { return done.load(); }, timeout);
  }
  Harness& harness;
  std::unique_ptr<UpdateLoop> loop;
  std::unique_ptr<DatagramNetwork> net;
  std::unique_ptr<RunningStage> stage;  // the loop's thread
  std::atomic<int> result{-100};
  std::atomic<bool> done{false};
};

class TwoAdapters : public ::testing::Test {
 protected:
  void SetUp() override {
    TESSALY_REQUIRE_NETNS();
    // The far ends of two links live in a namespace of their own, held by a sleeping
    // process: "ua" faces the projector, "ub" another network.
    far_ = std::make_unique<FarNamespace>();
    ASSERT_TRUE(far_->ok());
    ASSERT_TRUE(far_->Link("ua", "10.71.1.1/24", "pa", "10.71.1.2/24"));
    ASSERT_TRUE(far_->Link("ub", "10.71.2.1/24", "pb", "10.71.2.2/24"));
  }
  std::unique_ptr<FarNamespace> far_;
};

TEST_F(TwoAdapters, OnlyTheRequestByTheLocalAddressesAdapterIsAnswered) {
  TempDir dir;
  Harness h;
  Probe(h.updater).state().UpdateStage.store(1);
  MainStageTarget target;
  target.mac.fill(0xFF);
  target.localAddress = ::inet_addr("10.71.1.1");
  target.projectorAddress = ::inet_addr("10.71.1.2");
  target.imagePath = dir.Write("m.bin", Pattern(3000, 1));

  std::unique_ptr<UdpPeer> rightMagicP, wrongMagicP, rightP, wrongP;
  far_->Run([&] {
    rightMagicP = std::make_unique<UdpPeer>("0.0.0.0", 9, "pa");
    wrongMagicP = std::make_unique<UdpPeer>("0.0.0.0", 9, "pb");
    rightP = std::make_unique<UdpPeer>("0.0.0.0", 68, "pa");
    wrongP = std::make_unique<UdpPeer>("0.0.0.0", 68, "pb");
  });
  UdpPeer &rightMagic = *rightMagicP, &wrongMagic = *wrongMagicP, &right = *rightP, &wrong = *wrongP;
  ASSERT_TRUE(rightMagic.ok() && wrongMagic.ok() && right.ok() && wrong.ok());
  ServiceRun run(h, target);

  // The Magic packet leaves by the projector's adapter only.
  const Bytes magic = rightMagic.Receive(3000);
  ASSERT_EQ(magic.size(), 30u);
  EXPECT_EQ(Bytes(magic.begin(), magic.begin() + 6), Bytes(6, 0xAA));
  EXPECT_TRUE(wrongMagic.Receive(700).empty()) << "a Magic packet left by the other adapter";

  // A request by the other adapter gets no answer.
  ASSERT_TRUE(wrong.SendTo(BootRequest(0x22), "255.255.255.255", 67));
  EXPECT_TRUE(wrong.Receive(1200).empty());
  EXPECT_TRUE(right.Receive(10).empty());

  // The request by the right adapter is answered there, from the local address.
  ASSERT_TRUE(right.SendTo(BootRequest(0x11), "255.255.255.255", 67));
  sockaddr_in from{};
  const Bytes reply = right.Receive(3000, &from);
  ASSERT_EQ(reply.size(), 300u);
  EXPECT_EQ(reply[0], 2);
  EXPECT_EQ(reply[4], 0x11);
  EXPECT_EQ(Bytes(reply.begin() + 16, reply.begin() + 20), (Bytes{10, 71, 1, 2}));
  EXPECT_EQ(Bytes(reply.begin() + 20, reply.begin() + 24), (Bytes{10, 71, 1, 1}));
  EXPECT_EQ(from.sin_addr.s_addr, ::inet_addr("10.71.1.1"));
  EXPECT_EQ(ntohs(from.sin_port), 67);
  EXPECT_TRUE(wrong.Receive(300).empty()) << "the reply left by the other adapter too";

  run.Stop();
  ASSERT_TRUE(run.WaitDone(5s));
  EXPECT_EQ(run.result.load(), kMainStopped);
  // A stopped stage says so last.
  EXPECT_TRUE(h.view.PumpUntil([&] { return h.LogTexts().size() >= 2; }, 5s));
  EXPECT_EQ(h.LogTexts(),
            (std::vector<std::string>{"Startup Main firmware update process...", "Update Main firmware failed"}));
}

struct ClientCase {
  const char* name;
  const char* command;  // %s: the output file
  std::size_t size;
};

class RealTftpClients : public ::testing::TestWithParam<ClientCase> {};

TEST_P(RealTftpClients, FetchTheImageByteForByte) {
  TESSALY_REQUIRE_NETNS();
  const ClientCase& c = GetParam();
  TempDir dir;
  Harness h;
  Probe(h.updater).state().UpdateStage.store(1);
  const Bytes image = Pattern(c.size, static_cast<unsigned>(c.size));
  MainStageTarget target;
  target.mac.fill(0xFF);
  // The client reads from the PC's own loopback address: here it is the projector.
  target.localAddress = ::inet_addr("127.0.0.1");
  target.projectorAddress = ::inet_addr("127.0.0.1");
  target.imagePath = dir.Write("main.bin", image);
  ServiceRun run(h, target);
  const std::string out = dir.File("fetched.bin");
  char command[512];
  std::snprintf(command, sizeof command, c.command, out.c_str());
  ASSERT_EQ(std::system((std::string("timeout 60 ") + command + " 2>&1").c_str()), 0) << command;
  ASSERT_TRUE(run.WaitDone(10s));
  EXPECT_EQ(run.result.load(), kMainServed);
  const Bytes fetched = ReadFile(out);
  EXPECT_EQ(fetched.size(), image.size());
  EXPECT_TRUE(fetched == image) << "the saved file differs from the image";
}

#define TFTP_HPA "tftp 127.0.0.1 -m binary -c get firmware.bin %s"
#define CURL "curl -sS --tftp-no-options -o %s tftp://127.0.0.1/firmware.bin"

INSTANTIATE_TEST_SUITE_P(Clients, RealTftpClients,
                         ::testing::Values(ClientCase{"tftp_hpa_short", TFTP_HPA, 300},
                                           ClientCase{"tftp_hpa_whole_blocks", TFTP_HPA, 4096},
                                           ClientCase{"tftp_hpa_megabytes", TFTP_HPA, 3 * 1024 * 1024 + 77},
                                           ClientCase{"curl_short", CURL, 300},
                                           ClientCase{"curl_whole_blocks", CURL, 4096},
                                           ClientCase{"curl_megabytes", CURL, 3 * 1024 * 1024 + 77}),
                         [](const ::testing::TestParamInfo<ClientCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace tessaly::testing
