// The Main stage on a segment it shares with another host: the real command-line updater
// and the real simulator program, across the veth link and on loopback, and a third
// address of the projector's segment that asks for the firmware, sends junk, or floods
// BOOTP requests.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>

#include "netns/netns_support.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

enum class Segment { Veth, Loopback };
void PrintTo(Segment s, std::ostream* os) { *os << (s == Segment::Veth ? "veth" : "loopback"); }

struct Addresses {
  const char* pc;
  const char* projector;
  const char* stranger;
};

// A thread of the test that plays the other host; asked to stop, or bounded by its own count.
class Stranger {
 public:
  ~Stranger() { Stop(); }
  void Start(std::function<void(const std::atomic<bool>& stop)> body) {
    thread_ = std::thread([this, body = std::move(body)] { body(stop_); });
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

Bytes ReadRequest() {
  static const char kRrq[] = "\0\1firmware.bin\0octet";
  return Bytes(kRrq, kRrq + sizeof kRrq);
}

long ResidentKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

class SharedSegment : public ::testing::TestWithParam<Segment> {
 protected:
  void SetUp() override {
    TESSALY_REQUIRE_NETNS();
    if (GetParam() == Segment::Veth) {
      a_ = {"10.73.0.1", "10.73.0.2", "10.73.0.3"};
      far_ = std::make_unique<FarNamespace>();
      ASSERT_TRUE(far_->ok());
      ASSERT_TRUE(far_->Link("ua", "10.73.0.1/24", "pa", "10.73.0.2/24"));
      const std::string in = "nsenter --net=/proc/" + std::to_string(far_->pid()) + "/ns/net ";
      ASSERT_TRUE(Sh(in + "ip addr add 10.73.0.3/24 dev pa"));
    } else {
      a_ = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};
    }
  }

  // A socket on the projector's side of the segment.
  std::unique_ptr<UdpPeer> Peer(const char* address, std::uint16_t port) {
    std::unique_ptr<UdpPeer> p;
    if (far_) {
      far_->Run([&] { p = std::make_unique<UdpPeer>(address, port); });
    } else {
      p = std::make_unique<UdpPeer>(address, port);
    }
    return p;
  }

  void StartProjector(const std::vector<std::string>& faults) {
    std::vector<std::string> args{"--listen", a_.projector, "--image", dir_.File("main.bin")};
    if (!far_) args.insert(args.end(), {"--broadcast-bind", "255.255.255.255"});
    args.insert(args.end(), faults.begin(), faults.end());
    if (far_) {
      args.insert(args.begin(), {"--net=/proc/" + std::to_string(far_->pid()) + "/ns/net", TESSALY_PJSIM_PATH});
      projector_ = std::make_unique<ChildProcess>("/usr/bin/nsenter", args, dir_.path().string());
    } else {
      projector_ = std::make_unique<ChildProcess>(TESSALY_PJSIM_PATH, args, dir_.path().string());
    }
    ASSERT_TRUE(projector_->WaitForLine("listening on " + std::string(a_.projector) + ":20554, model QMA", 10s))
        << projector_->Output();
  }

  void StartUpdater() {
    updater_ = std::make_unique<ChildProcess>(
        TESSALY_UPDATE_PATH, std::vector<std::string>{"--projector", a_.projector, "--main", dir_.File("main.bin")},
        dir_.path().string(), std::vector<std::string>{"HOME=" + dir_.path().string(), "XDG_CONFIG_HOME=" + dir_.File("config")});
    ASSERT_TRUE(updater_->started());
  }

  // The simulator's summary, once it has been told to end.
  std::string EndProjector() {
    projector_->Signal(SIGTERM);
    EXPECT_TRUE(projector_->WaitExit(20s).has_value()) << projector_->Output();
    return projector_->Output();
  }

  long CountLines(const std::string& line) const {
    const auto& l = updater_->lines();
    return std::count(l.begin(), l.end(), line);
  }

  Addresses a_{};
  TempDir dir_;
  std::unique_ptr<FarNamespace> far_;
  std::unique_ptr<ChildProcess> projector_, updater_;
};

std::string SegmentName(const ::testing::TestParamInfo<Segment>& p) {
  return p.param == Segment::Veth ? "veth" : "loopback";
}

// Read requests from the third address before the boot loader asks and all through the
// transfer; the stranger acknowledges whatever DATA it would get.
TEST_P(SharedSegment, AnotherHostsReadRequestsGetNoData) {
  dir_.Write("main.bin", Pattern(8192 * 512 + 300, 21));
  StartProjector({});
  auto stranger = Peer(a_.stranger, 0);
  ASSERT_TRUE(stranger->ok());
  StartUpdater();
  ASSERT_TRUE(updater_->WaitForLine("Connected to projector has succeeded.", 20s)) << updater_->Output();

  std::atomic<int> requests{0}, data{0};
  Stranger run;
  run.Start([&](const std::atomic<bool>& stop) {
    for (int i = 0; i < 300 && !stop; ++i) {
      stranger->SendTo(ReadRequest(), a_.pc, 69);
      ++requests;
      const auto next = Clock::now() + 100ms;
      for (int r = 0; r < 1000 && Clock::now() < next; ++r) {
        sockaddr_in from{};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        const Bytes d = stranger->Receive(static_cast<int>(std::max<long>(left, 1)), &from);
        if (d.size() < 4 || d[1] != 3) continue;
        ++data;
        char address[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
        stranger->SendTo(Bytes{0, 4, d[2], d[3]}, address, ntohs(from.sin_port));
      }
    }
  });
  const auto status = updater_->WaitExit(90s);
  run.Stop();
  EXPECT_EQ(status, std::optional<int>(0)) << updater_->Output();
  EXPECT_GT(requests.load(), 1);
  EXPECT_EQ(data.load(), 0) << "the firmware went to another host";
  EXPECT_EQ(CountLines("Updated Main Firmware has succeeded."), 1) << updater_->Output();
  EXPECT_EQ(CountLines("Ignored a TFTP read request from " + std::string(a_.stranger) + ": only the projector " +
                       a_.projector + " is served"),
            1)
      << updater_->Output();
  const std::string summary = EndProjector();
  EXPECT_NE(summary.find("image intact: yes"), std::string::npos) << summary;
  EXPECT_NE(summary.find("verdict: OK"), std::string::npos) << summary;
}

// The boot loader goes silent after block 4 while junk reaches the server port every
// 0.3 s: block 5 is resent, and the stage still ends in its time.
TEST_P(SharedSegment, JunkDoesNotStopTheClock) {
  dir_.Write("main.bin", Pattern(20 * 512 + 10, 22));
  StartProjector({"--stop-at-block", "5"});
  auto stranger = Peer(a_.stranger, 0);
  ASSERT_TRUE(stranger->ok());
  StartUpdater();
  ASSERT_TRUE(updater_->WaitForLine("Connected to projector has succeeded.", 20s)) << updater_->Output();
  Stranger run;
  run.Start([&](const std::atomic<bool>& stop) {
    for (int i = 0; i < 200 && !stop; ++i) {
      stranger->SendTo(Bytes{0x7F}, a_.pc, 69);
      // The refusal, if any, is read and dropped until the next 0.3 s.
      const auto next = Clock::now() + 300ms;
      for (int r = 0; r < 100 && Clock::now() < next; ++r) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        stranger->Receive(static_cast<int>(std::max<long>(left, 1)));
      }
    }
  });
  ASSERT_TRUE(updater_->WaitForLine("Startup Main firmware update process...", 20s)) << updater_->Output();
  const auto answered = Clock::now();
  const auto status = updater_->WaitExit(40s);
  const auto took = Clock::now() - answered;
  run.Stop();
  EXPECT_EQ(status, std::optional<int>(1)) << updater_->Output();
  // 5.5 s from the acknowledgement of block 4, which follows the BOOTP reply at once.
  EXPECT_GE(took, 5s);
  EXPECT_LT(took, 15s);
  EXPECT_EQ(CountLines("error: Update Main firmware failed"), 1) << updater_->Output();
  const std::string summary = EndProjector();
  const std::size_t at = summary.find(" resend(s) seen");
  ASSERT_NE(at, std::string::npos) << summary;
  const std::size_t from = summary.rfind(' ', at - 1) + 1;
  EXPECT_GE(std::stoi(summary.substr(from, at - from)), 4) << "block 5 again about every second\n" << summary;
}

// Valid BOOTP requests as fast as the third address can send them, for two seconds, while
// the stage waits on a boot loader gone silent after block 4.
TEST_P(SharedSegment, BootpFloodIsAnsweredAtAPace) {
  dir_.Write("main.bin", Pattern(20 * 512 + 10, 23));
  StartProjector({"--stop-at-block", "5"});
  // Replies go to the limited broadcast at the request's port: a wildcard socket there sees them.
  auto sender = Peer(a_.stranger, 6868);
  auto listener = Peer("0.0.0.0", 6868);
  ASSERT_TRUE(sender->ok() && listener->ok());
  StartUpdater();
  ASSERT_TRUE(updater_->WaitForLine("Startup Main firmware update process...", 20s)) << updater_->Output();
  const long before = ResidentKib(updater_->pid());

  std::atomic<int> replies{0};
  std::atomic<long> sent{0};
  Stranger listen;
  listen.Start([&](const std::atomic<bool>& stop) {
    for (int i = 0; i < 100000 && !stop; ++i) {
      const Bytes d = listener->Receive(50);
      if (d.size() == 300 && d[0] == 2 && d[4] == 0x5A) ++replies;
    }
  });
  const Bytes request = BootRequest(0x5A);
  const auto floodStart = Clock::now();
  for (long i = 0; i < 2000000 && Clock::now() - floodStart < 2s; ++i) {
    if (sender->SendTo(request, a_.pc, 67)) ++sent;
  }
  const auto floodTook = Clock::now() - floodStart;
  const long after = ResidentKib(updater_->pid());
  const auto status = updater_->WaitExit(40s);
  listen.Stop();

  EXPECT_EQ(status, std::optional<int>(1)) << updater_->Output();
  EXPECT_GT(sent.load(), 1000);
  EXPECT_EQ(CountLines("Startup Main firmware update process..."), 1);
  const double seconds = std::chrono::duration<double>(floodTook).count();
  EXPECT_LE(replies.load(), static_cast<int>(seconds * 4) + 2) << sent.load() << " requests in " << seconds << " s";
  EXPECT_GE(replies.load(), 2) << "the flood did not reach the stage";
  ASSERT_GT(before, 0);
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer keeps freed blocks in its quarantine, up to 256 MiB, by design: the
  // process's size says nothing of the program's own memory there.
  static_cast<void>(after);
#else
  EXPECT_LT(after - before, 4096) << "resident memory grew from " << before << " to " << after << " KiB";
#endif
  EndProjector();
}

INSTANTIATE_TEST_SUITE_P(Segments, SharedSegment, ::testing::Values(Segment::Veth, Segment::Loopback), SegmentName);

}  // namespace
}  // namespace tessaly::testing
