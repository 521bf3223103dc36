// The whole Main stage, StartMainStage, over the in-memory network on a test loop: BOOTP requests
// on port 67, TFTP requests on port 69 and datagrams on the data socket, of any length
// and from anyone, interleaved with idle cycles.
//
// Input: one byte picks the image size, then steps; one step is taken in every idle
// cycle and after every datagram the service sends:
//   0                   nothing
//   1 e.. hh ll ...     any datagram to port 67 (e: sender, below)
//   2 e.. n m (p v)*    a BOOTP request for the served MAC, n bytes long, m bytes changed
//   3 e.. hh ll ...     any datagram to port 69
//   4 e..               a read request to port 69
//   5 e.. n ...         any datagram to the data socket
//   6 e.. d             an ACK to the data socket of the last block sent plus d (signed)
//   7                   the operator's Abort: the stop request, then a Cancel on the loop
// A sender e is 0: the projector's TID, 1: the projector on another port, 2: another
// host, 3 aa aa aa aa pp pp: the address and port that follow. Only the projector's read
// requests are served; BOOTP requests are answered at most once a reply gap.

#include <arpa/inet.h>

#include <cctype>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>

#include "bootloader/bootp.h"
#include "bootloader/main_firmware.h"
#include "bootloader/tftp.h"
#include "fuzz_support.h"
#include "support/fake_network.h"
#include "support/manual_loop.h"

namespace tessaly::fuzz {
namespace {

using testing::FakeNetwork;

const std::uint32_t kPc = 0x0500000Au;        // 10.0.0.5 in network order
const std::uint32_t kPj = 0x0200000Au;        // 10.0.0.2
const std::uint32_t kStranger = 0x0900000Au;  // 10.0.0.9
const MacAddress kMac{0x02, 0x00, 0x5E, 0x10, 0x20, 0x30};
constexpr std::size_t kReceiveBuffer = 700;  // the service's buffer; longer datagrams are dropped
constexpr std::size_t kImageSizes[] = {1, 100, 511, 512, 1000, 1536};

UpdaterSettings FuzzSettings() {
  UpdaterSettings s;
  s.selectWaitUs = 1000;  // on the in-memory network's clock: no real time passes
  s.bootpReplyGapUs = 2500;
  s.idleLimit = 24;
  s.answeredIdleLimit = 10;
  s.resendIdleCycles = 2;
  // One data port: the same input then takes the same path every time.
  s.dataPortFirst = 40000;
  s.dataPortCount = 1;
  return s;
}

struct Images {
  Images() {
    for (std::size_t i = 0; i < std::size(kImageSizes); ++i) {
      bytes[i] = Pattern(kImageSizes[i], 7);
      files[i] = std::make_unique<ProcessFile>("main-" + std::to_string(kImageSizes[i]));
      files[i]->Write(bytes[i]);
    }
  }
  Bytes bytes[std::size(kImageSizes)];
  std::unique_ptr<ProcessFile> files[std::size(kImageSizes)];
};

// As the service sees a datagram: at the start of its zeroed buffer, or not at all.
Bytes Padded(const Bytes& d) {
  Bytes b(kReceiveBuffer, 0);
  if (d.size() <= kReceiveBuffer) std::copy(d.begin(), d.end(), b.begin());
  return b;
}

bool WantedBootRequest(const Bytes& d) {
  if (d.size() > kReceiveBuffer) return false;
  const Bytes p = Padded(d);
  if (p[0] != 1 || p[1] != 1 || p[2] != 6 || !std::equal(kMac.begin(), kMac.end(), p.begin() + 28)) return false;
  for (std::size_t i = 0; i < 9; ++i) {
    if (std::tolower(p[44 + i]) != "stellaris"[i]) return false;
  }
  return p[53] == 0;
}

enum class Kind { Dropped, Answered, Other };  // Dropped: no answer of any kind

// Plays the network's other hosts from the input and checks everything the service sends.
class Peer {
 public:
  Peer(FakeNetwork& net, const UpdaterSettings& s, ByteReader& in, const Bytes& image, std::function<void()> abort)
      : net_(net), s_(s), in_(in), image_(image), abort_(std::move(abort)) {
    net_.onSend = [this](const FakeNetwork::Sent& sent) {
      Check(sent);
      Step();
    };
    net_.onIdle = [this](int) {
      idleWait_ = net_.waits;
      Step();
    };
  }

  void Finish(int result) {
    FUZZ_CHECK(result == kMainServed || result == kMainStopped);
    FUZZ_CHECK(net_.openSockets == 0);
    if (result == kMainServed) {
      FUZZ_CHECK(lastBlock_ != 0 && IsLastBlock(image_.size(), lastBlock_));
      FUZZ_CHECK(acked_.count(lastBlock_) == 1);
      FUZZ_CHECK(sawProgress100_);
    }
  }
  void Progress(std::uint32_t percent) {
    FUZZ_CHECK(percent <= 100);
    if (percent == 100) {
      // Only once the last block, the empty one of an image of whole blocks included, was acknowledged.
      FUZZ_CHECK(lastBlock_ != 0 && IsLastBlock(image_.size(), lastBlock_) && acked_.count(lastBlock_) == 1);
      FUZZ_CHECK(!sawProgress100_);
      sawProgress100_ = true;
    }
  }

 private:
  Endpoint Sender() {
    switch (in_.Byte() % 4) {
      case 0: return {kPj, 2001};
      case 1: return {kPj, 2002};
      case 2: return {kStranger, 2001};
      default: {
        const std::uint32_t address = in_.U32();
        return {address, in_.U16()};
      }
    }
  }
  std::uint16_t DataPort() const { return dataPort_ ? dataPort_ : s_.dataPortFirst; }

  void ToBootp(Endpoint from, Bytes d) {
    bootpQueue_.push_back({from,
                           d.size() > kReceiveBuffer ? Kind::Dropped
                           : WantedBootRequest(d)    ? Kind::Answered
                                                     : Kind::Other,
                           Padded(d), net_.NowUs()});
    net_.Deliver(s_.bootpServerPort, from, std::move(d));
  }
  void ToServer(Endpoint from, Bytes d) {
    Kind kind = Kind::Other;
    if (d.size() > kReceiveBuffer)
      kind = Kind::Dropped;
    else if (d.size() >= 2 && d[0] == 0 && d[1] == kTftpRrq)
      kind = from.address == kPj ? Kind::Answered : Kind::Dropped;  // another host's is ignored
    serverQueue_.push_back({from, kind, {}, net_.NowUs()});
    net_.Deliver(s_.tftpServerPort, from, std::move(d));
  }
  void ToData(Endpoint from, Bytes d) {
    if (peer_ && from == *peer_ && d.size() >= 4 && d[0] == 0 && d[1] == kTftpAck && DataPort() == dataPort_) {
      acked_.insert(static_cast<std::uint32_t>(d[2] << 8 | d[3]));
    }
    net_.Deliver(DataPort(), from, std::move(d));
  }

  void Step() {
    if (in_.Empty()) return;
    switch (in_.Byte() % 8) {
      case 0: break;
      case 1: {
        const Endpoint from = Sender();
        ToBootp(from, in_.Take(in_.U16() % 1024));
        break;
      }
      case 2: {
        const Endpoint from = Sender();
        Bytes d(236 + in_.Byte() % 65, 0);
        d[0] = 1, d[1] = 1, d[2] = 6;
        d[4] = 0x12, d[5] = 0x34, d[6] = 0x56, d[7] = 0x78;
        std::copy(kMac.begin(), kMac.end(), d.begin() + 28);
        std::memcpy(&d[44], "stellaris", 9);
        for (int m = in_.Byte() % 4; m > 0; --m) {
          const std::size_t at = in_.Byte() % d.size();
          d[at] = in_.Byte();
        }
        ToBootp(from, std::move(d));
        break;
      }
      case 3: {
        const Endpoint from = Sender();
        ToServer(from, in_.Take(in_.U16() % 1024));
        break;
      }
      case 4: {
        const Endpoint from = Sender();
        static const char kRrq[] = "\0\1firmware.bin\0octet";
        ToServer(from, Bytes(kRrq, kRrq + sizeof kRrq));
        break;
      }
      case 5: {
        const Endpoint from = Sender();
        ToData(from, in_.Take(in_.Byte()));
        break;
      }
      case 6: {
        const Endpoint from = Sender();
        const auto block = static_cast<std::uint16_t>(lastBlock_ + static_cast<std::int8_t>(in_.Byte()));
        ToData(from, Bytes{0, kTftpAck, static_cast<std::uint8_t>(block >> 8), static_cast<std::uint8_t>(block)});
        break;
      }
      case 7: abort_(); break;
    }
  }

  struct Queued {
    Endpoint from;
    Kind kind;
    Bytes padded;
    // The in-memory clock stands still while anything is queued: the service takes the
    // datagram at the time it was delivered.
    std::uint64_t at;
  };
  // The next datagram the service acts on: those it drops unanswered go first.
  Queued Next(std::deque<Queued>& q, bool skipOther) {
    while (!q.empty() && (q.front().kind == Kind::Dropped || (skipOther && q.front().kind == Kind::Other)))
      q.pop_front();
    FUZZ_CHECK(!q.empty());
    Queued front = q.front();
    q.pop_front();
    return front;
  }

  void Check(const FakeNetwork::Sent& sent) {
    const Bytes& d = sent.data;
    if (sent.fromPort == s_.magicPort) {
      FUZZ_CHECK(!bootpAnswered_);  // no wake-up once the boot loader has asked
      FUZZ_CHECK(d.size() == 30 && sent.to == (Endpoint{s_.broadcastAddress, s_.magicPort}));
      return;
    }
    if (sent.fromPort == s_.bootpServerPort) {
      Queued request = Next(bootpQueue_, true);
      // Valid requests within the gap after a reply are taken without one.
      while (bootpAnswered_ && request.at - lastReplyAt_ < s_.bootpReplyGapUs) request = Next(bootpQueue_, true);
      FUZZ_CHECK(request.kind == Kind::Answered);
      FUZZ_CHECK(request.at == net_.NowUs());
      lastReplyAt_ = request.at;
      FUZZ_CHECK(sent.to == (Endpoint{s_.broadcastAddress, request.from.port}));
      FUZZ_CHECK(d.size() == kBootpMessageSize);
      Bytes want(request.padded.begin(), request.padded.begin() + kBootpMessageSize);
      MakeBootReply(want.data(), kPj, kPc);
      FUZZ_CHECK(d == want);
      bootpAnswered_ = true;
      return;
    }
    if (sent.fromPort == s_.tftpServerPort) {
      const Queued request = Next(serverQueue_, false);
      FUZZ_CHECK(request.kind == Kind::Other);  // only what is no read request is refused
      FUZZ_CHECK(sent.to == request.from);
      FUZZ_CHECK(d.size() >= 4 && d[0] == 0 && d[1] == kTftpError);
      return;
    }
    // The data socket.
    FUZZ_CHECK(d.size() >= 4 && d[0] == 0);
    if (d[1] == kTftpError) {
      FUZZ_CHECK(peer_ && !(sent.to == *peer_));  // only strangers are told off
      return;
    }
    FUZZ_CHECK(d[1] == kTftpData);
    const std::size_t opened = net_.opened.size();
    if (opened != openedSeen_) {
      // A read request was taken: a new socket, block 1 to whoever asked.
      FUZZ_CHECK(opened == openedSeen_ + 1);
      openedSeen_ = opened;
      const Queued request = Next(serverQueue_, false);
      FUZZ_CHECK(request.kind == Kind::Answered && request.from.address == kPj);
      peer_ = request.from;
      dataPort_ = sent.fromPort;
      acked_.clear();
      lastBlock_ = 0;
    } else if (d[2] == 0 && d[3] == 1 && net_.waits != idleWait_) {
      // Block 1 again, not in an idle cycle: the peer asked again before acknowledging it,
      // and gets it from the same port.
      const Queued request = Next(serverQueue_, false);
      FUZZ_CHECK(request.kind == Kind::Answered);
      FUZZ_CHECK(peer_ && request.from == *peer_ && lastBlock_ == 1);
    }
    FUZZ_CHECK(peer_ && sent.to == *peer_);
    FUZZ_CHECK(sent.fromPort == dataPort_);
    // Images here are a few blocks long: the block number on the wire is the whole one.
    const std::uint32_t k = static_cast<std::uint32_t>(d[2] << 8 | d[3]);
    if (lastBlock_ == 0) {
      FUZZ_CHECK(k == 1);
    } else {
      FUZZ_CHECK(k == lastBlock_ || (k == lastBlock_ + 1 && acked_.count(lastBlock_) == 1));
      FUZZ_CHECK(!(k == lastBlock_ + 1 && IsLastBlock(image_.size(), lastBlock_)));  // nothing after the last
    }
    const std::uint64_t start = static_cast<std::uint64_t>(k - 1) * kTftpBlockSize;
    FUZZ_CHECK(start <= image_.size());
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kTftpBlockSize, image_.size() - start));
    FUZZ_CHECK(d.size() == 4 + want);
    FUZZ_CHECK(std::equal(d.begin() + 4, d.end(), image_.begin() + static_cast<long>(start)));
    lastBlock_ = k;
  }

  FakeNetwork& net_;
  const UpdaterSettings& s_;
  ByteReader& in_;
  const Bytes& image_;
  std::function<void()> abort_;
  std::deque<Queued> bootpQueue_, serverQueue_;
  bool bootpAnswered_ = false;
  std::uint64_t lastReplyAt_ = 0;
  std::size_t openedSeen_ = 3;  // BOOTP, TFTP and Magic
  std::optional<Endpoint> peer_;
  int idleWait_ = -1;  // the wait that began the current idle cycle
  std::uint16_t dataPort_ = 0;
  std::set<std::uint32_t> acked_;
  std::uint32_t lastBlock_ = 0;
  bool sawProgress100_ = false;
};

}  // namespace
}  // namespace tessaly::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessaly;
  static fuzz::Images images;
  fuzz::ByteReader in(data, size);
  const std::size_t pick = in.Byte() % std::size(fuzz::kImageSizes);

  fuzz::QuietSession q(fuzz::FuzzSettings());
  q.state.UpdateStage.store(1);
  q.state.FirmwareSelection.store(MainFw);
  testing::ManualLoop loop;
  testing::FakeNetwork net(loop);
  // Every step adds at most one datagram, and every idle cycle takes a step while any
  // are left; after that the idle limits end the stage.
  net.waitLimit = static_cast<int>(2 * size + q.settings.idleLimit + q.settings.answeredIdleLimit + 16);
  std::unique_ptr<RunningStage> stage;
  auto abort = [&] {
    q.session.RequestStop();
    loop.Post([&stage] {
      if (stage) stage->Cancel();
    });
  };
  fuzz::Peer peer(net, q.settings, in, images.bytes[pick], abort);

  MainStageTarget target;
  target.mac = fuzz::kMac;
  target.localAddress = fuzz::kPc;
  target.projectorAddress = fuzz::kPj;
  target.imagePath = images.files[pick]->path();
  int result = -1;
  int doneCalls = 0;
  StageContext ctx{q.log,
                   q.settings,
                   loop,
                   [&peer](std::uint32_t p) { peer.Progress(p); },
                   [&q] { q.state.UpdateInProgress.store(1); },
                   [&q] { return q.state.StopRequested.load() != 0; }};
  try {
    stage = StartMainStage(ctx, net, target, {}, [&](int r) {
      result = r;
      ++doneCalls;
    });
    const bool stageEnded = loop.RunUntil([&] { return doneCalls > 0; });
    FUZZ_CHECK(stageEnded);
  } catch (const std::runtime_error&) {
    const bool stageEnded = false;  // the in-memory network gave up waiting
    FUZZ_CHECK(stageEnded);
  }
  stage.reset();
  loop.RunReady();
  FUZZ_CHECK(doneCalls == 1);
  peer.Finish(result);
  return 0;
}
