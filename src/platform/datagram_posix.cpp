#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/datagram_asio.h"

namespace tessaly {

namespace {

using asio_datagram::AsioDatagramSocket;
using asio_datagram::udp;

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

// A socket bound to a unicast address never sees 255.255.255.255 here: this one listens
// on the wildcard address and keeps what arrives by one adapter. Asio cannot tell by which
// adapter a datagram came, nor choose the one it leaves by: the system's own calls on the
// socket's handle, with IP_PKTINFO.
class InterfaceSocket final : public AsioDatagramSocket {
 public:
  InterfaceSocket(udp::socket socket, std::uint32_t local, unsigned ifindex)
      : AsioDatagramSocket(std::move(socket)), local_(local), ifindex_(ifindex) {}

  int ReceiveFrom(std::uint8_t* buffer, std::size_t capacity, Endpoint& from) override {
    for (;;) {
      PacketInfoMessage m(buffer, capacity);
      const ssize_t n = ::recvmsg(socket_.native_handle(), &m.msg, MSG_DONTWAIT);
      if (n < 0) return -1;
      if (m.msg.msg_flags & MSG_TRUNC) return -1;  // longer than the buffer: never cut a datagram
      if (ArrivedElsewhere(m.msg)) continue;       // another adapter's: not ours to answer
      from.address = m.peer.sin_addr.s_addr;
      from.port = ntohs(m.peer.sin_port);
      return static_cast<int>(n);
    }
  }

  // Drops the queued datagrams of other adapters; true when one of ours is left first in
  // the queue. What another adapter's hosts send must not count as traffic here, any more
  // than on a socket that never sees it: their chatter would keep every cycle from idling.
  bool HoldsOwnDatagram() {
    for (;;) {
      std::uint8_t byte = 0;
      PacketInfoMessage m(&byte, 1);
      if (::recvmsg(socket_.native_handle(), &m.msg, MSG_PEEK | MSG_DONTWAIT) < 0) return false;
      if (!ArrivedElsewhere(m.msg)) return true;
      PacketInfoMessage drop(&byte, 1);
      if (::recvmsg(socket_.native_handle(), &drop.msg, MSG_DONTWAIT) < 0) return false;
    }
  }

  int SendTo(const std::uint8_t* data, std::size_t length, const Endpoint& to) override {
    PacketInfoMessage m(const_cast<std::uint8_t*>(data), length);
    m.peer.sin_family = AF_INET;
    m.peer.sin_addr.s_addr = to.address;
    m.peer.sin_port = htons(to.port);
    // Leave by the local address's adapter, from the local address, whatever the routing
    // table would pick for a broadcast.
    cmsghdr* c = CMSG_FIRSTHDR(&m.msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_ifindex = static_cast<int>(ifindex_);
    info.ipi_spec_dst.s_addr = local_;
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    const ssize_t n = ::sendmsg(socket_.native_handle(), &m.msg, MSG_NOSIGNAL);
    return n < 0 ? -1 : static_cast<int>(n);
  }

 private:
  // One datagram's message: the peer's address, one buffer, room for the packet info.
  struct PacketInfoMessage {
    PacketInfoMessage(void* data, std::size_t length) : iov{data, length} {
      msg.msg_name = &peer;
      msg.msg_namelen = sizeof peer;
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
    }
    PacketInfoMessage(const PacketInfoMessage&) = delete;
    PacketInfoMessage& operator=(const PacketInfoMessage&) = delete;

    sockaddr_in peer{};
    iovec iov;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
  };

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

  std::uint32_t local_;
  unsigned ifindex_;
};

class PosixDatagramNetwork final : public asio_datagram::AsioDatagramNetwork {
 public:
  explicit PosixDatagramNetwork(UpdateLoop& loop) : AsioDatagramNetwork(loop) {}

  // Sockets need no library start-up here.
  std::unique_ptr<DatagramSocket> Open(const DatagramOptions& o, std::string& error) override {
    udp::socket socket(io_);
    if (!o.receiveBroadcast) {
      if (!OpenBound(socket, asio_datagram::ToEndpoint({o.localAddress, o.port}), o.broadcast, error)) return nullptr;
      return std::make_unique<AsioDatagramSocket>(std::move(socket));
    }
    const unsigned ifindex = InterfaceOf(o.localAddress);
    if (ifindex == 0) {
      error = "no adapter of this PC has the address " + ToDotted(o.localAddress);
      return nullptr;
    }
    auto packetInfo = [](udp::socket& s, std::string& why) {
      const int on = 1;
      if (::setsockopt(s.native_handle(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) == 0) return true;
      why = std::strerror(errno);
      return false;
    };
    if (!OpenBound(socket, udp::endpoint(asio::ip::address_v4::any(), o.port), o.broadcast, error, packetInfo)) {
      return nullptr;
    }
    return std::make_unique<InterfaceSocket>(std::move(socket), o.localAddress, ifindex);
  }

  // Asio cannot tell whether a socket holds a datagram of this adapter's: poll on their
  // handles, one system call a cycle.
 protected:
  int Wait(const std::vector<DatagramSocket*>& sockets, std::uint32_t timeoutUs, std::vector<bool>& readable) override {
    fds_.clear();
    for (DatagramSocket* s : sockets) fds_.push_back({static_cast<AsioDatagramSocket*>(s)->handle(), POLLIN, 0});
    readable.assign(sockets.size(), false);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(timeoutUs);
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now());
      const long long ns = std::max<long long>(left.count(), 0);
      timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      const int n = ::ppoll(fds_.data(), fds_.size(), &timeout, nullptr);
      if (n < 0) return -1;
      int count = 0;
      for (std::size_t i = 0; i < fds_.size(); ++i) {
        if (!(fds_[i].revents & (POLLIN | POLLERR))) continue;
        auto* tied = dynamic_cast<InterfaceSocket*>(sockets[i]);
        if (!(fds_[i].revents & POLLERR) && tied && !tied->HoldsOwnDatagram()) continue;
        readable[i] = true;
        ++count;
      }
      // Only other adapters' datagrams: the wait goes on for the rest of its time.
      if (count > 0 || n == 0 || ns == 0) return count;
    }
  }

 private:
  std::vector<pollfd> fds_;  // reused: one wait per TFTP block
};

}  // namespace

std::unique_ptr<DatagramNetwork> CreateSystemDatagramNetwork(UpdateLoop& loop) {
  return std::make_unique<PosixDatagramNetwork>(loop);
}

}  // namespace tessaly
