#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/datagram.h"

namespace tessaly {

std::string ToDotted(std::uint32_t networkOrderAddress) {
  in_addr a{};
  a.s_addr = networkOrderAddress;
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

namespace {

// The interface that owns `address`, or 0.
unsigned InterfaceOf(std::uint32_t address) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return 0;
  unsigned index = 0;
  for (ifaddrs* ifa = list; ifa && index == 0; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr && ifa->ifa_addr->sa_family == AF_INET &&
        reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr == address) {
      index = ::if_nametoindex(ifa->ifa_name);
    }
  }
  ::freeifaddrs(list);
  return index;
}

class PosixDatagramSocket final : public DatagramSocket {
 public:
  PosixDatagramSocket(int fd, std::uint16_t port, std::uint32_t local, unsigned ifindex)
      : fd_(fd), port_(port), local_(local), ifindex_(ifindex) {}
  ~PosixDatagramSocket() override { ::close(fd_); }

  int fd() const { return fd_; }
  std::uint16_t LocalPort() const override { return port_; }

  int ReceiveFrom(std::uint8_t* buffer, std::size_t capacity, Endpoint& from) override {
    for (;;) {
      sockaddr_in peer{};
      iovec iov{buffer, capacity};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
      msghdr msg{};
      msg.msg_name = &peer;
      msg.msg_namelen = sizeof peer;
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = ifindex_ ? control : nullptr;
      msg.msg_controllen = ifindex_ ? sizeof control : 0;
      const ssize_t n = ::recvmsg(fd_, &msg, MSG_DONTWAIT);
      if (n < 0) return -1;
      if (msg.msg_flags & MSG_TRUNC) return -1;  // longer than the buffer: never cut a datagram
      if (ifindex_ && ArrivedElsewhere(msg)) {
        continue;  // came in by another adapter: not ours to answer; look at the next one
      }
      from.address = peer.sin_addr.s_addr;
      from.port = ntohs(peer.sin_port);
      return static_cast<int>(n);
    }
  }

  int SendTo(const std::uint8_t* data, std::size_t length, const Endpoint& to) override {
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_addr.s_addr = to.address;
    dest.sin_port = htons(to.port);
    iovec iov{const_cast<std::uint8_t*>(data), length};
    msghdr msg{};
    msg.msg_name = &dest;
    msg.msg_namelen = sizeof dest;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    if (ifindex_) {
      // Leave by the local address's adapter, from the local address, whatever the
      // routing table would pick for a broadcast.
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      cmsghdr* c = CMSG_FIRSTHDR(&msg);
      c->cmsg_level = IPPROTO_IP;
      c->cmsg_type = IP_PKTINFO;
      c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
      in_pktinfo info{};
      info.ipi_ifindex = static_cast<int>(ifindex_);
      info.ipi_spec_dst.s_addr = local_;
      std::memcpy(CMSG_DATA(c), &info, sizeof info);
    }
    const ssize_t n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL);
    return n < 0 ? -1 : static_cast<int>(n);
  }

 private:
  bool ArrivedElsewhere(msghdr& msg) const {
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
        in_pktinfo info{};
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        return static_cast<unsigned>(info.ipi_ifindex) != ifindex_;
      }
    }
    return true;  // no arrival information: cannot tell, so do not trust it
  }

  int fd_;
  std::uint16_t port_;
  std::uint32_t local_;
  unsigned ifindex_;  // non-zero for a wildcard socket tied to one adapter
};

class PosixDatagramNetwork final : public DatagramNetwork {
 public:
  std::unique_ptr<DatagramSocket> Open(const DatagramOptions& o, std::string& error) override {
    unsigned ifindex = 0;
    if (o.receiveBroadcast) {
      ifindex = InterfaceOf(o.localAddress);
      if (ifindex == 0) {
        error = "no adapter of this PC has the address " + ToDotted(o.localAddress);
        return nullptr;
      }
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
      error = std::strerror(errno);
      return nullptr;
    }
    auto fail = [&] {
      error = std::strerror(errno);
      ::close(fd);
      return nullptr;
    };
    const int broadcast = o.broadcast ? 1 : 0;
    if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &broadcast, sizeof broadcast) != 0) return fail();
    if (ifindex) {
      const int on = 1;
      if (::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) return fail();
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = ifindex ? htonl(INADDR_ANY) : o.localAddress;
    local.sin_port = htons(o.port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return fail();
    socklen_t len = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
    return std::make_unique<PosixDatagramSocket>(fd, ntohs(local.sin_port), o.localAddress, ifindex);
  }

  int Wait(const std::vector<DatagramSocket*>& sockets, std::uint32_t timeoutUs,
           std::vector<bool>& readable) override {
    fds_.clear();
    for (DatagramSocket* s : sockets) fds_.push_back({static_cast<PosixDatagramSocket*>(s)->fd(), POLLIN, 0});
    std::vector<pollfd>& fds = fds_;
    readable.assign(sockets.size(), false);
    timespec timeout{static_cast<time_t>(timeoutUs / 1000000), static_cast<long>(timeoutUs % 1000000) * 1000};
    const int n = ::ppoll(fds.data(), fds.size(), &timeout, nullptr);
    if (n < 0) return -1;
    int count = 0;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents & (POLLIN | POLLERR)) {
        readable[i] = true;
        ++count;
      }
    }
    return count;
  }

 private:
  std::vector<pollfd> fds_;  // reused: one wait per TFTP block
};

}  // namespace

std::unique_ptr<DatagramNetwork> CreateSystemDatagramNetwork() { return std::make_unique<PosixDatagramNetwork>(); }

}  // namespace tessaly
