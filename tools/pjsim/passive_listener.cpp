#include "passive_listener.h"

#include "posix_util.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>
#include <vector>

namespace tessaly::pjsim {
namespace {

constexpr std::size_t kIpv4MinHeader = 20;
constexpr std::size_t kUdpHeader = 8;
constexpr std::uint8_t kUdp = 17;
// Receives per wake-up at most; the rest waits for the next poll().
constexpr int kBatch = 64;

std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

}  // namespace

PassiveListener::PassiveListener(std::uint16_t magic_port, std::uint16_t bootp_client_port,
                                 std::shared_ptr<ReportStore> store)
    : magic_port_(magic_port), bootp_port_(bootp_client_port), store_(std::move(store)) {}

PassiveListener::~PassiveListener() { Stop(); }

bool PassiveListener::Fail(const std::string& why) {
  CloseFd(fd_);
  CloseFd(wake_[0]);
  CloseFd(wake_[1]);
  store_->Change([&](Report& r) { r.listener_error = why; });
  return false;
}

bool PassiveListener::Start() {
  std::lock_guard<std::mutex> lock(lifecycle_mutex_);
  if (started_ || (magic_port_ == 0 && bootp_port_ == 0)) return true;
  started_ = true;
  // A copy of every UDP datagram delivered here, broadcasts included; the sockets bound to
  // the port get theirs all the same.
  fd_ = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
  if (fd_ < 0) return Fail("cannot open a raw UDP socket: " + ErrorText(errno));
  // Only the two ports wake the thread; the TFTP transfer's datagrams stay in the kernel.
  const std::uint16_t first = magic_port_ != 0 ? magic_port_ : bootp_port_;
  const std::uint16_t second = bootp_port_ != 0 ? bootp_port_ : magic_port_;
  sock_filter code[] = {
      BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),            // X = the IP header's length
      BPF_STMT(BPF_LD | BPF_H | BPF_IND, 2),             // A = the UDP destination port
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, first, 1, 0),  //
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, second, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, 0xFFFF),
      BPF_STMT(BPF_RET | BPF_K, 0),
  };
  const sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  if (::setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) {
    return Fail("cannot filter the raw socket: " + ErrorText(errno));
  }
  if (!OpenWakePipe(wake_)) return Fail("cannot create the stop pipe: " + ErrorText(errno));
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    return Fail(std::string("cannot start the listener thread: ") + e.what());
  }
  return true;
}

void PassiveListener::Stop() {
  std::lock_guard<std::mutex> lock(lifecycle_mutex_);
  if (!started_ || stopped_) return;
  stopped_ = true;
  PokeWakePipe(wake_[1]);
  if (thread_.joinable()) thread_.join();
  CloseFd(fd_);
  CloseFd(wake_[0]);
  CloseFd(wake_[1]);
}

void PassiveListener::Run() {
  std::vector<std::uint8_t> buffer(65536);
  for (;;) {
    std::array<pollfd, 2> fds{{{wake_[0], POLLIN, 0}, {fd_, POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      store_->Change([&](Report& r) { r.listener_error = "waiting failed: " + ErrorText(errno); });
      return;
    }
    if (fds[0].revents != 0) return;
    for (int i = 0; i < kBatch; ++i) {
      const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
      if (n < 0) break;  // EAGAIN: drained
      Take(buffer.data(), static_cast<std::size_t>(n));
    }
  }
}

void PassiveListener::Take(const std::uint8_t* packet, std::size_t size) {
  const auto at = std::chrono::steady_clock::now();
  // The filter passes only these ports, but what was queued before it came unfiltered.
  if (size < kIpv4MinHeader || (packet[0] >> 4) != 4 || packet[9] != kUdp) return;
  const std::size_t header = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
  if (header < kIpv4MinHeader || size < header + kUdpHeader) return;
  const std::uint8_t* udp = packet + header;
  const std::uint16_t port = Be16(udp + 2);
  HeardDatagram heard;
  if (magic_port_ != 0 && port == magic_port_) {
    heard.kind = HeardDatagram::Kind::kMagic;
  } else if (bootp_port_ != 0 && port == bootp_port_) {
    heard.kind = HeardDatagram::Kind::kBootpReply;
  } else {
    return;
  }
  char source[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, packet + 12, source, sizeof source);
  heard.at = at;
  heard.source = std::string(source) + ":" + std::to_string(Be16(udp));
  // The UDP length field, not the IP packet's: the payload the port's socket gets.
  const std::uint16_t length = Be16(udp + 4);
  heard.bytes = length >= kUdpHeader ? length - kUdpHeader : 0;
  store_->Change([&](Report& r) { r.heard.push_back(std::move(heard)); });
}

}  // namespace tessaly::pjsim
