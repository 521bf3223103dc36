#include "bootloader/main_firmware.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "bootloader/tftp.h"

namespace tessaly {

namespace {

constexpr std::size_t kPacketBufferSize = 700;

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

class MainService {
 public:
  MainService(UpdateSession& session, DatagramNetwork& net, const MainStageTarget& target,
              const std::function<void(std::uint32_t)>& progress)
      : session_(session),
        state_(session.state()),
        s_(session.settings()),
        net_(net),
        t_(target),
        progress_(progress) {}

  int Run(MainPorts* prepared);

 private:
  std::uint64_t Cycles(std::uint32_t n) const { return std::uint64_t{n} * s_.selectWaitUs; }
  void SendMagic() {
    const auto magic = BuildMagicPacket(t_.mac);
    magic_->SendTo(magic.data(), magic.size(), {s_.broadcastAddress, s_.magicPort});
    magicSentUs_ = net_.NowUs();
  }
  void SendBlock() {
    // Firmware is being written from the first block on, whether BOOTP was answered or
    // not: Abort and closing the window must ask from here.
    state_.UpdateInProgress.store(1);
    const std::size_t length = BuildDataBlock(image_.data(), image_.size(), packet_, n_);
    data_->SendTo(packet_, length, peer_);
    blockSentUs_ = net_.NowUs();
  }
  int Receive(DatagramSocket& socket, Endpoint& from) {
    std::memset(packet_, 0, sizeof packet_);  // nothing of an earlier datagram may leak into a reply
    return socket.ReceiveFrom(packet_, sizeof packet_, from);
  }
  bool DueWork(std::uint64_t now);  // false: a time-out ended the stage
  std::uint32_t WaitUs(std::uint64_t now) const;
  void HandleBootp();
  bool HandleTftpServer();  // false: the stage must end (no data port)
  bool HandleData();        // true: the last block was acknowledged
  void IgnoreStranger(const Endpoint& from);

  UpdateSession& session_;
  UpdateState& state_;
  const UpdaterSettings& s_;
  DatagramNetwork& net_;
  const MainStageTarget& t_;
  const std::function<void(std::uint32_t)>& progress_;

  std::vector<std::uint8_t> image_;
  std::unique_ptr<DatagramSocket> bootp_, tftp_, magic_, data_;
  std::uint8_t packet_[kPacketBufferSize] = {};
  bool bootpAnswered_ = false;
  // The clocks, on the network's steady clock. Only accepted datagrams set them: a valid
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

bool MainService::DueWork(std::uint64_t now) {
  if (data_ && now - blockSentUs_ >= Cycles(s_.resendIdleCycles)) SendBlock();
  if (!bootpAnswered_ && now - magicSentUs_ >= Cycles(1)) SendMagic();
  if (bootpAnswered_ && now - acceptedUs_ >= Cycles(s_.answeredIdleLimit + 1)) return false;
  if (now - movedOnUs_ >= Cycles(s_.idleLimit + 1)) {
    session_.log().LogError("Waiting update Main firmware packet timeout");
    return false;
  }
  return true;
}

std::uint32_t MainService::WaitUs(std::uint64_t now) const {
  // The nearest due time, and never longer than one cycle: the stop request is looked at
  // between waits.
  std::uint64_t next = now + Cycles(1);
  if (data_) next = std::min(next, blockSentUs_ + Cycles(s_.resendIdleCycles));
  if (!bootpAnswered_) next = std::min(next, magicSentUs_ + Cycles(1));
  if (bootpAnswered_) next = std::min(next, acceptedUs_ + Cycles(s_.answeredIdleLimit + 1));
  next = std::min(next, movedOnUs_ + Cycles(s_.idleLimit + 1));
  return next > now ? static_cast<std::uint32_t>(next - now) : 0;
}

void MainService::HandleBootp() {
  Endpoint from;
  if (Receive(*bootp_, from) < 0) return;
  if (!IsBootRequestFor(packet_, t_.mac)) return;
  const std::uint64_t now = net_.NowUs();
  acceptedUs_ = now;
  // A flood of requests gets its replies at a pace: each is a broadcast to every host.
  if (bootpAnswered_ && now - replySentUs_ < s_.bootpReplyGapUs) return;
  MakeBootReply(packet_, t_.projectorAddress, t_.localAddress);
  if (!bootpAnswered_) session_.log().LogInfo("Startup Main firmware update process...");
  bootpAnswered_ = true;
  state_.UpdateInProgress.store(1);
  bootp_->SendTo(packet_, kBootpMessageSize, {s_.broadcastAddress, from.port});
  replySentUs_ = now;
}

void MainService::IgnoreStranger(const Endpoint& from) {
  if (std::find(strangers_.begin(), strangers_.end(), from.address) != strangers_.end()) return;
  if (strangers_.size() > s_.strangersLogged) return;
  strangers_.push_back(from.address);
  if (strangers_.size() > s_.strangersLogged) {
    session_.log().Aside(LogLevel::Info, "Read requests from further hosts are ignored without a line");
    return;
  }
  session_.log().Aside(LogLevel::Info, Format("Ignored a TFTP read request from %s: only the projector %s is served",
                                              ToDotted(from.address).c_str(), ToDotted(t_.projectorAddress).c_str()));
}

bool MainService::HandleTftpServer() {
  Endpoint from;
  if (Receive(*tftp_, from) < 0) return true;
  if (!IsReadRequest(packet_)) {
    static const std::vector<std::uint8_t> kOnlyRrq = BuildError(4, "Only RRQ is supported!");
    tftp_->SendTo(kOnlyRrq.data(), kOnlyRrq.size(), from);
    return true;
  }
  // The image goes to the address the BOOTP reply gave the boot loader, and to no one else.
  if (from.address != t_.projectorAddress) {
    IgnoreStranger(from);
    return true;
  }
  acceptedUs_ = net_.NowUs();
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
    session_.log().LogError("No TFTP data port could be bound on %s after %u tries: %s",
                            ToDotted(t_.localAddress).c_str(), static_cast<unsigned>(s_.dataPortTries),
                            lastError.c_str());
    result_ = kMainTftpSocket;
    return false;
  }
  peer_ = from;
  n_ = 1;
  movedOnUs_ = acceptedUs_;
  SendBlock();
  return true;
}

bool MainService::HandleData() {
  Endpoint from;
  const int length = Receive(*data_, from);
  if (length < 0) return false;
  if (!(from == peer_)) {
    // Another host's datagram must not move the transfer on; tell it so and go on.
    static const std::vector<std::uint8_t> kUnknownTid = BuildError(5, "Unknown transfer ID");
    data_->SendTo(kUnknownTid.data(), kUnknownTid.size(), from);
    return false;
  }
  if (!IsAckOf(packet_, static_cast<std::size_t>(length), n_)) return false;
  if (IsLastBlock(image_.size(), n_)) {
    if (progress_) progress_(100);
    result_ = state_.StopRequested.load() != 0 ? kMainStopped : kMainServed;
    return true;
  }
  if (progress_) progress_(TransferPercent(image_.size(), n_));
  ++n_;
  acceptedUs_ = movedOnUs_ = net_.NowUs();
  SendBlock();
  return false;
}

int MainService::Run(MainPorts* prepared) {
  MainPorts ports;
  if (prepared) ports = std::move(*prepared);
  if (!LoadImage(t_.imagePath, image_)) return kMainImageUnreadable;
  if (!ports.Bound()) {
    if (const int result = OpenMainPorts(session_, net_, t_.localAddress, ports); result != kMainServed) return result;
  }
  bootp_ = std::move(ports.bootp);
  tftp_ = std::move(ports.tftp);
  magic_ = std::move(ports.magic);

  // The stop request is the update's: an Abort that came before the sockets were open
  // still counts, so nothing goes out then.
  if (state_.StopRequested.load() != 0) return kMainStopped;
  SendMagic();
  movedOnUs_ = acceptedUs_ = magicSentUs_;
  strangers_.reserve(s_.strangersLogged + 1);
  std::vector<bool> readable;
  std::vector<DatagramSocket*> sockets;  // kept across cycles: the loop allocates nothing per block
  sockets.reserve(3);
  while (state_.StopRequested.load() == 0) {
    DatagramSocket* data = data_.get();  // the data socket this cycle waits on
    sockets.assign({bootp_.get(), tftp_.get()});
    if (data) sockets.push_back(data);
    const std::uint32_t waitUs = WaitUs(net_.NowUs());
    const int ready = net_.Wait(sockets, waitUs, readable);
    if (ready < 0) {
      // A wait that fails at once must not spin: its time passes all the same.
      std::this_thread::sleep_for(std::chrono::microseconds(waitUs));
    } else if (ready > 0) {
      if (readable[0]) HandleBootp();
      if (readable[1] && !HandleTftpServer()) break;
      // A read request in this same cycle replaced the data socket: the old one's datagram is gone with it.
      if (data && readable.size() > 2 && readable[2] && data == data_.get() && HandleData()) break;
    }
    if (!DueWork(net_.NowUs())) break;
  }
  // Release in this order: the image, the data socket, the TFTP, BOOTP and Magic sockets.
  image_.clear();
  image_.shrink_to_fit();
  data_.reset();
  tftp_.reset();
  bootp_.reset();
  magic_.reset();
  return result_;
}

}  // namespace

int OpenMainPorts(UpdateSession& session, DatagramNetwork& net, std::uint32_t localAddress, MainPorts& ports) {
  const UpdaterSettings& s = session.settings();
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
      session.log().LogError("Cannot bind UDP port %u on %s: %s", static_cast<unsigned>(p.number),
                             ToDotted(localAddress).c_str(), error.c_str());
      ports = MainPorts{};
      return p.failure;
    }
  }
  return kMainServed;
}

int ServeMainFirmware(UpdateSession& session, DatagramNetwork& net, const MainStageTarget& target,
                      const std::function<void(std::uint32_t)>& progress, MainPorts* prepared) {
  return MainService(session, net, target, progress).Run(prepared);
}

int UpdateMainFirmware(UpdateSession& session, DatagramNetwork& net, MainPorts* prepared) {
  if (!net.StartUp()) {
    session.log().LogError("Winsock failed to startup");
    return -1;
  }
  session.ReportProgress(0);
  UpdateState& state = session.state();
  MainStageTarget target;
  target.mac = state.PjMacAddr;
  target.localAddress = state.PcIpAddr.load();
  std::memcpy(&target.projectorAddress, state.PjIpAddr.data(), 4);
  target.imagePath = state.MainFwFile;
  const int result = ServeMainFirmware(
      session, net, target, [&session](std::uint32_t percent) { session.ReportProgress(percent); }, prepared);
  if (result != kMainServed) session.log().LogError("Update Main firmware failed");
  net.CleanUp();
  return result;
}

}  // namespace tessaly
