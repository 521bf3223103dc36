#include "bootloader/main_firmware.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "bootloader/tftp.h"

namespace tessaly {

namespace {

constexpr std::size_t kPacketBufferSize = 700;
constexpr int kRunning = -100;  // not a MainResult: the service goes on

bool LoadImage(const std::string& path, std::vector<std::uint8_t>& image) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!f) return false;
  if (std::fseek(f.get(), 0, SEEK_END) != 0) return false;
  const long length = std::ftell(f.get());
  // An empty image would be served as one empty block: refused, like an unreadable one.
  if (length <= 0 || std::fseek(f.get(), 0, SEEK_SET) != 0) return false;
  try {
    image.resize(static_cast<std::size_t>(length));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return std::fread(image.data(), 1, image.size(), f.get()) == image.size();
}

// The service as a state machine on the loop: each turn waits on the sockets for at most
// WaitUs, then handles what arrived and the due work, as one pass of a service loop.
class MainStage final : public RunningStage {
 public:
  MainStage(StageContext ctx, DatagramNetwork& net, MainStageTarget target, std::function<void(int)> done)
      : ctx_(std::move(ctx)),
        s_(ctx_.settings),
        net_(net),
        t_(std::move(target)),
        done_(std::move(done)),
        pause_(ctx_.loop.CreateTimer()) {}
  ~MainStage() override;

  void Start(MainPorts prepared);
  void Cancel() override;

 private:
  std::uint64_t Cycles(std::uint32_t n) const { return std::uint64_t{n} * s_.selectWaitUs; }
  std::uint64_t NowUs() const { return ctx_.loop.NowUs(); }
  void Progress(std::uint32_t percent) {
    if (ctx_.progress) ctx_.progress(percent);
  }
  bool StopRequested() const { return ctx_.stopRequested && ctx_.stopRequested(); }
  void FirmwareBeingWritten() {
    if (ctx_.firmwareBeingWritten) ctx_.firmwareBeingWritten();
  }
  // Nothing goes out once the stage was cancelled, even from the turn under way.
  void Send(DatagramSocket& socket, const std::uint8_t* data, std::size_t length, const Endpoint& to) {
    if (!cancelled_) socket.SendTo(data, length, to);
  }
  void SendMagic() {
    const auto magic = BuildMagicPacket(t_.mac);
    Send(*magic_, magic.data(), magic.size(), {s_.broadcastAddress, s_.magicPort});
    magicSentUs_ = NowUs();
  }
  void SendBlock() {
    // Firmware is being written from the first block on, whether BOOTP was answered or
    // not: Abort and closing the window must ask from here.
    FirmwareBeingWritten();
    const std::size_t length = BuildDataBlock(image_.data(), image_.size(), packet_, n_);
    Send(*data_, packet_, length, peer_);
    blockSentUs_ = NowUs();
  }
  int Receive(DatagramSocket& socket, Endpoint& from) {
    std::memset(packet_, 0, sizeof packet_);  // nothing of an earlier datagram may leak into a reply
    return socket.ReceiveFrom(packet_, sizeof packet_, from);
  }
  int Begin(MainPorts& ports);  // kRunning once the first Magic packet is out, or the result
  void Arm();                   // the next turn's wait
  void Waited(int ready, const std::vector<bool>& readable);
  void RunTurn(int ready, const std::vector<bool>& readable);
  void AfterTurn(int result);  // ends the stage, or arms the next turn
  int Turn(int ready, const std::vector<bool>& readable);  // kRunning, or the result
  void End(int result);
  bool DueWork(std::uint64_t now);  // false: a time-out ended the stage
  std::uint32_t WaitUs(std::uint64_t now) const;
  void HandleBootp();
  bool HandleTftpServer();  // false: the stage must end (no data port)
  bool HandleData();        // true: the last block was acknowledged
  void IgnoreStranger(const Endpoint& from);

  const StageContext ctx_;
  const UpdaterSettings& s_;
  DatagramNetwork& net_;
  const MainStageTarget t_;
  std::function<void(int)> done_;
  // Runs out the time of a wait that failed: such a wait must not spin.
  std::unique_ptr<LoopTimer> pause_;
  bool startedUp_ = false;  // the socket library: cleaned up at the end
  bool inTurn_ = false;     // a Cancel from a callback of the turn ends the stage after it
  bool cancelled_ = false;
  bool finished_ = false;

  std::vector<std::uint8_t> image_;
  std::unique_ptr<DatagramSocket> bootp_, tftp_, magic_, data_;
  std::vector<DatagramSocket*> sockets_;   // kept across turns: the stage allocates nothing per block
  DatagramSocket* waitingData_ = nullptr;  // the data socket this turn waits on
  std::uint32_t waitUs_ = 0;
  std::uint8_t packet_[kPacketBufferSize] = {};
  bool bootpAnswered_ = false;
  // The clocks, on the loop's steady clock. Only accepted datagrams set them: a valid
  // BOOTP request, the projector's read request, the ACK of the block in flight. Anything
  // else another host sends wakes the wait and moves none of them.
  std::uint64_t magicSentUs_ = 0;
  std::uint64_t blockSentUs_ = 0;  // the resend pace
  std::uint64_t replySentUs_ = 0;  // the BOOTP reply pace
  std::uint64_t acceptedUs_ = 0;   // the quiet limit once BOOTP is answered
  // The transfer last moved on (a new transfer or block, not a resend), or the start: the
  // time-out. Resends must not restart it, or a silent peer keeps the stage alive for
  // ever when no BOOTP request was answered.
  std::uint64_t movedOnUs_ = 0;
  std::uint32_t n_ = 0;
  Endpoint peer_;
  std::vector<std::uint32_t> strangers_;  // other hosts whose read request was said
  int result_ = kMainStopped;
  std::minstd_rand random_{std::random_device{}()};
};

bool MainStage::DueWork(std::uint64_t now) {
  if (data_ && now - blockSentUs_ >= Cycles(s_.resendIdleCycles)) SendBlock();
  if (!bootpAnswered_ && now - magicSentUs_ >= Cycles(1)) SendMagic();
  if (bootpAnswered_ && now - acceptedUs_ >= Cycles(s_.answeredIdleLimit + 1)) return false;
  if (now - movedOnUs_ >= Cycles(s_.idleLimit + 1)) {
    ctx_.log.LogError("Waiting update Main firmware packet timeout");
    return false;
  }
  return true;
}

std::uint32_t MainStage::WaitUs(std::uint64_t now) const {
  // The nearest due time, and never longer than one cycle: the time-outs count cycles.
  std::uint64_t next = now + Cycles(1);
  if (data_) next = std::min(next, blockSentUs_ + Cycles(s_.resendIdleCycles));
  if (!bootpAnswered_) next = std::min(next, magicSentUs_ + Cycles(1));
  if (bootpAnswered_) next = std::min(next, acceptedUs_ + Cycles(s_.answeredIdleLimit + 1));
  next = std::min(next, movedOnUs_ + Cycles(s_.idleLimit + 1));
  return next > now ? static_cast<std::uint32_t>(next - now) : 0;
}

void MainStage::HandleBootp() {
  Endpoint from;
  if (Receive(*bootp_, from) < 0) return;
  if (!IsBootRequestFor(packet_, t_.mac)) return;
  const std::uint64_t now = NowUs();
  acceptedUs_ = now;
  // A flood of requests gets its replies at a pace: each is a broadcast to every host.
  if (bootpAnswered_ && now - replySentUs_ < s_.bootpReplyGapUs) return;
  MakeBootReply(packet_, t_.projectorAddress, t_.localAddress);
  if (!bootpAnswered_) ctx_.log.LogInfo("Startup Main firmware update process...");
  bootpAnswered_ = true;
  FirmwareBeingWritten();
  Send(*bootp_, packet_, kBootpMessageSize, {s_.broadcastAddress, from.port});
  replySentUs_ = now;
}

void MainStage::IgnoreStranger(const Endpoint& from) {
  if (std::find(strangers_.begin(), strangers_.end(), from.address) != strangers_.end()) return;
  if (strangers_.size() > s_.strangersLogged) return;
  strangers_.push_back(from.address);
  if (strangers_.size() > s_.strangersLogged) {
    ctx_.log.Aside(LogLevel::Info, "Read requests from further hosts are ignored without a line");
    return;
  }
  ctx_.log.Aside(LogLevel::Info, Format("Ignored a TFTP read request from %s: only the projector %s is served",
                                        ToDotted(from.address).c_str(), ToDotted(t_.projectorAddress).c_str()));
}

bool MainStage::HandleTftpServer() {
  Endpoint from;
  if (Receive(*tftp_, from) < 0) return true;
  if (!IsReadRequest(packet_)) {
    static const std::vector<std::uint8_t> kOnlyRrq = BuildError(4, "Only RRQ is supported!");
    Send(*tftp_, kOnlyRrq.data(), kOnlyRrq.size(), from);
    return true;
  }
  // The image goes to the address the BOOTP reply gave the boot loader, and to no one else.
  if (from.address != t_.projectorAddress) {
    IgnoreStranger(from);
    return true;
  }
  acceptedUs_ = NowUs();
  if (data_ && n_ == 1 && from == peer_) {
    // The boot loader asking again before block 1 was acknowledged: its request or our
    // block crossed with a resend. It may already have taken the current data port as the
    // transfer's, so block 1 goes out again from that port; a new port would be refused.
    SendBlock();
    return true;
  }
  data_.reset();  // a new read request ends the transfer that used the old port
  std::string lastError;
  for (std::uint32_t i = 0; i < s_.dataPortTries && !data_; ++i) {
    const auto port = static_cast<std::uint16_t>(s_.dataPortFirst + random_() % s_.dataPortCount);
    data_ = net_.Open({t_.localAddress, port, false, false}, lastError);
  }
  if (!data_) {
    ctx_.log.LogError("No TFTP data port could be bound on %s after %u tries: %s", ToDotted(t_.localAddress).c_str(),
                      static_cast<unsigned>(s_.dataPortTries), lastError.c_str());
    result_ = kMainTftpSocket;
    return false;
  }
  peer_ = from;
  n_ = 1;
  movedOnUs_ = acceptedUs_;
  SendBlock();
  return true;
}

bool MainStage::HandleData() {
  Endpoint from;
  const int length = Receive(*data_, from);
  if (length < 0) return false;
  if (!(from == peer_)) {
    // Another host's datagram must not move the transfer on; tell it so and go on.
    static const std::vector<std::uint8_t> kUnknownTid = BuildError(5, "Unknown transfer ID");
    Send(*data_, kUnknownTid.data(), kUnknownTid.size(), from);
    return false;
  }
  if (!IsAckOf(packet_, static_cast<std::size_t>(length), n_)) return false;
  if (IsLastBlock(image_.size(), n_)) {
    Progress(100);
    result_ = StopRequested() ? kMainStopped : kMainServed;
    return true;
  }
  Progress(TransferPercent(image_.size(), n_));
  ++n_;
  acceptedUs_ = movedOnUs_ = NowUs();
  SendBlock();
  return false;
}

int MainStage::Begin(MainPorts& ports) {
  if (!LoadImage(t_.imagePath, image_)) return kMainImageUnreadable;
  if (!ports.Bound()) {
    if (const int result = OpenMainPorts(ctx_.log, s_, net_, t_.localAddress, ports); result != kMainServed) {
      return result;
    }
  }
  bootp_ = std::move(ports.bootp);
  tftp_ = std::move(ports.tftp);
  magic_ = std::move(ports.magic);

  // The stop request is the update's: an Abort that came before the sockets were open
  // still counts, so nothing goes out then.
  if (StopRequested()) return kMainStopped;
  SendMagic();
  movedOnUs_ = acceptedUs_ = magicSentUs_;
  strangers_.reserve(s_.strangersLogged + 1);
  sockets_.reserve(3);
  return kRunning;
}

void MainStage::Start(MainPorts prepared) {
  if (!net_.StartUp()) {
    ctx_.log.LogError("Winsock failed to startup");
    finished_ = true;
    ctx_.loop.Post([done = std::move(done_)] {
      if (done) done(-1);
    });
    return;
  }
  startedUp_ = true;
  inTurn_ = true;
  Progress(0);
  AfterTurn(Begin(prepared));
}

// A Cancel from inside the turn (a progress report, a line) wins over its result.
void MainStage::AfterTurn(int result) {
  inTurn_ = false;
  if (cancelled_) {
    End(kMainStopped);
  } else if (result != kRunning) {
    End(result);
  } else {
    Arm();
  }
}

void MainStage::Arm() {
  waitingData_ = data_.get();
  sockets_.assign({bootp_.get(), tftp_.get()});
  if (waitingData_) sockets_.push_back(waitingData_);
  waitUs_ = WaitUs(NowUs());
  net_.AsyncWait(sockets_, waitUs_, [this](int ready, const std::vector<bool>& readable) { Waited(ready, readable); });
}

void MainStage::Waited(int ready, const std::vector<bool>& readable) {
  if (ready < 0) {
    // A wait that fails at once must not spin: its time passes all the same.
    pause_->Start(waitUs_, [this] { RunTurn(0, {}); });
    return;
  }
  RunTurn(ready, readable);
}

void MainStage::RunTurn(int ready, const std::vector<bool>& readable) {
  inTurn_ = true;
  AfterTurn(Turn(ready, readable));
}

int MainStage::Turn(int ready, const std::vector<bool>& readable) {
  if (ready > 0) {
    if (readable[0]) HandleBootp();
    if (readable[1] && !HandleTftpServer()) return result_;
    // A read request in this same turn replaced the data socket: the old one's datagram is gone with it.
    DatagramSocket* data = waitingData_;
    if (data && readable.size() > 2 && readable[2] && data == data_.get() && HandleData()) return result_;
  }
  if (!DueWork(NowUs())) return result_;
  return kRunning;
}

void MainStage::Cancel() {
  if (finished_) return;
  cancelled_ = true;
  if (!inTurn_) End(kMainStopped);
}

void MainStage::End(int result) {
  finished_ = true;
  net_.CancelWait();
  pause_->Cancel();
  // Release in this order: the image, the data socket, the TFTP, BOOTP and Magic sockets.
  image_.clear();
  image_.shrink_to_fit();
  data_.reset();
  tftp_.reset();
  bootp_.reset();
  magic_.reset();
  if (result != kMainServed) ctx_.log.LogError("Update Main firmware failed");
  net_.CleanUp();
  startedUp_ = false;
  // In a handler of its own: the owner may destroy the stage there.
  ctx_.loop.Post([done = std::move(done_), result] {
    if (done) done(result);
  });
}

MainStage::~MainStage() {
  if (finished_) return;
  // Ended by its owner: the wait goes before the sockets it is on.
  net_.CancelWait();
  pause_->Cancel();
  data_.reset();
  tftp_.reset();
  bootp_.reset();
  magic_.reset();
  if (startedUp_) net_.CleanUp();
}

}  // namespace

int OpenMainPorts(MessageLog& log, const UpdaterSettings& s, DatagramNetwork& net, std::uint32_t localAddress,
                  MainPorts& ports) {
  struct Port {
    std::unique_ptr<DatagramSocket>& socket;
    std::uint16_t number;
    bool broadcast;
    bool receiveBroadcast;
    int failure;
  };
  const Port all[] = {{ports.bootp, s.bootpServerPort, true, true, kMainBootpSocket},
                      {ports.tftp, s.tftpServerPort, false, false, kMainTftpSocket},
                      {ports.magic, s.magicPort, true, false, kMainMagicSocket}};
  for (const Port& p : all) {
    std::string error;
    p.socket = net.Open({localAddress, p.number, p.broadcast, p.receiveBroadcast}, error);
    if (!p.socket) {
      log.LogError("Cannot bind UDP port %u on %s: %s", static_cast<unsigned>(p.number), ToDotted(localAddress).c_str(),
                   error.c_str());
      ports = MainPorts{};
      return p.failure;
    }
  }
  return kMainServed;
}

std::unique_ptr<RunningStage> StartMainStage(StageContext ctx, DatagramNetwork& net, MainStageTarget target,
                                             MainPorts prepared, std::function<void(int result)> done) {
  auto stage = std::make_unique<MainStage>(std::move(ctx), net, std::move(target), std::move(done));
  stage->Start(std::move(prepared));
  return stage;
}

}  // namespace tessaly
