#include "bootloader/main_firmware.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
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
  void SendMagic() {
    const auto magic = BuildMagicPacket(t_.mac);
    magic_->SendTo(magic.data(), magic.size(), {s_.broadcastAddress, s_.magicPort});
  }
  void SendBlock() {
    // Firmware is being written from the first block on, whether BOOTP was answered or
    // not: Abort and closing the window must ask from here.
    state_.UpdateInProgress.store(1);
    const std::size_t length = BuildDataBlock(image_.data(), image_.size(), packet_, n_);
    data_->SendTo(packet_, length, peer_);
    idle_ = 0;
  }
  int Receive(DatagramSocket& socket, Endpoint& from) {
    std::memset(packet_, 0, sizeof packet_);  // nothing of an earlier datagram may leak into a reply
    return socket.ReceiveFrom(packet_, sizeof packet_, from);
  }
  void HandleBootp();
  bool HandleTftpServer();  // false: the stage must end (no data port)
  bool HandleData();        // true: the last block was acknowledged

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
  std::uint32_t idle_ = 0;  // idle cycles since a block last went out: paces the resends
  // Idle cycles since the transfer last moved on (a new block, not a resend), or since the
  // start: the time-out. Resends must not restart it, or a silent peer keeps the stage
  // alive for ever when no BOOTP request was answered.
  std::uint32_t stalled_ = 0;
  std::uint32_t consecutiveIdle_ = 0;
  std::uint32_t n_ = 0;
  Endpoint peer_;
  int result_ = kMainStopped;
  std::minstd_rand random_{std::random_device{}()};
};

void MainService::HandleBootp() {
  Endpoint from;
  if (Receive(*bootp_, from) < 0) return;
  if (!IsBootRequestFor(packet_, t_.mac)) return;
  MakeBootReply(packet_, t_.projectorAddress, t_.localAddress);
  bootpAnswered_ = true;
  session_.log().LogInfo("Startup Main firmware update process...");
  state_.UpdateInProgress.store(1);
  bootp_->SendTo(packet_, kBootpMessageSize, {s_.broadcastAddress, from.port});
}

bool MainService::HandleTftpServer() {
  Endpoint from;
  if (Receive(*tftp_, from) < 0) return true;
  if (!IsReadRequest(packet_)) {
    static const std::vector<std::uint8_t> kOnlyRrq = BuildError(4, "Only RRQ is supported!");
    tftp_->SendTo(kOnlyRrq.data(), kOnlyRrq.size(), from);
    return true;
  }
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
  stalled_ = 0;
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
  stalled_ = 0;
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
  bool ended = false;
  std::vector<bool> readable;
  std::vector<DatagramSocket*> sockets;  // kept across cycles: the loop allocates nothing per block
  sockets.reserve(3);
  while (!ended && state_.StopRequested.load() == 0) {
    DatagramSocket* data = data_.get();  // the data socket this cycle waits on
    sockets.assign({bootp_.get(), tftp_.get()});
    if (data) sockets.push_back(data);
    const int ready = net_.Wait(sockets, s_.selectWaitUs, readable);
    if (ready <= 0) {  // idle; a failed wait counts as one too
      ++idle_;
      ++stalled_;
      if (data_ && idle_ >= s_.resendIdleCycles) SendBlock();
      if (!bootpAnswered_) SendMagic();
      if (bootpAnswered_ && ++consecutiveIdle_ > s_.answeredIdleLimit) {
        result_ = kMainStopped;
        break;
      }
      if (stalled_ > s_.idleLimit) {
        session_.log().LogError("Waiting update Main firmware packet timeout");
        result_ = kMainStopped;
        break;
      }
      continue;
    }
    if (readable[0]) HandleBootp();
    if (readable[1] && !HandleTftpServer()) break;
    // A read request in this same cycle replaced the data socket: the old one's datagram is gone with it.
    if (data && readable.size() > 2 && readable[2] && data == data_.get()) ended = HandleData();
    consecutiveIdle_ = 0;
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
