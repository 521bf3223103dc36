#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

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

using asio::ip::udp;

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

udp::endpoint ToEndpoint(const Endpoint& e) { return {asio::ip::address_v4(ntohl(e.address)), e.port}; }

class AsioDatagramSocket final : public DatagramSocket {
 public:
  AsioDatagramSocket(udp::socket socket, std::uint32_t local, unsigned ifindex)
      : socket_(std::move(socket)), local_(local), ifindex_(ifindex) {}

  int handle() { return socket_.native_handle(); }
  std::uint16_t LocalPort() const override {
    asio::error_code ec;
    const udp::endpoint e = socket_.local_endpoint(ec);
    return ec ? 0 : e.port();
  }

  int ReceiveFrom(std::uint8_t* buffer, std::size_t capacity, Endpoint& from) override {
    if (ifindex_) return ReceiveByInterface(buffer, capacity, from);
    udp::endpoint peer;
    asio::error_code ec;
    // One byte more than asked for tells a datagram that would be cut: it is dropped whole.
    if (capacity + 1 > scratch_.size()) scratch_.resize(capacity + 1);
    const std::size_t n = socket_.receive_from(asio::buffer(scratch_.data(), capacity + 1), peer, 0, ec);
    if (ec || n > capacity) return -1;
    std::memcpy(buffer, scratch_.data(), n);
    from.address = htonl(peer.address().to_v4().to_uint());
    from.port = peer.port();
    return static_cast<int>(n);
  }

  int SendTo(const std::uint8_t* data, std::size_t length, const Endpoint& to) override {
    if (ifindex_) return SendByInterface(data, length, to);
    asio::error_code ec;
    const std::size_t n = socket_.send_to(asio::buffer(data, length), ToEndpoint(to), 0, ec);
    return ec ? -1 : static_cast<int>(n);
  }

 private:
  // Asio cannot tell by which adapter a datagram came, nor choose the one it leaves by:
  // the system's own calls on the socket's handle, with IP_PKTINFO.
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

  int ReceiveByInterface(std::uint8_t* buffer, std::size_t capacity, Endpoint& from) {
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

  int SendByInterface(const std::uint8_t* data, std::size_t length, const Endpoint& to) {
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

  udp::socket socket_;
  std::uint32_t local_;
  unsigned ifindex_;  // non-zero for a wildcard socket tied to one adapter
  std::vector<std::uint8_t> scratch_;
};

class AsioDatagramNetwork final : public DatagramNetwork {
 public:
  AsioDatagramNetwork() {
    // The context makes its own descriptors with the first socket: made here, once, so
    // that an update leaves as many open as it found.
    udp::socket first(io_);
    asio::error_code ec;
    first.open(udp::v4(), ec);
  }

  std::unique_ptr<DatagramSocket> Open(const DatagramOptions& o, std::string& error) override {
    unsigned ifindex = 0;
    if (o.receiveBroadcast) {
      ifindex = InterfaceOf(o.localAddress);
      if (ifindex == 0) {
        error = "no adapter of this PC has the address " + ToDotted(o.localAddress);
        return nullptr;
      }
    }
    udp::socket socket(io_);
    asio::error_code ec;
    auto failed = [&] {
      if (!ec) return false;
      error = ec.message();
      return true;
    };
    socket.open(udp::v4(), ec);
    if (failed()) return nullptr;
    socket.set_option(asio::socket_base::broadcast(o.broadcast), ec);
    if (failed()) return nullptr;
    if (ifindex) {
      const int on = 1;
      if (::setsockopt(socket.native_handle(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
        error = std::strerror(errno);
        return nullptr;
      }
    }
    const asio::ip::address_v4 local =
        ifindex ? asio::ip::address_v4::any() : asio::ip::address_v4(ntohl(o.localAddress));
    socket.bind(udp::endpoint(local, o.port), ec);
    if (failed()) return nullptr;
    socket.non_blocking(true, ec);
    if (failed()) return nullptr;
    return std::make_unique<AsioDatagramSocket>(std::move(socket), o.localAddress, ifindex);
  }

  // Asio has no wait for the first of several sockets with a time-out: poll on their
  // handles, one system call a cycle.
  int Wait(const std::vector<DatagramSocket*>& sockets, std::uint32_t timeoutUs, std::vector<bool>& readable) override {
    fds_.clear();
    for (DatagramSocket* s : sockets) fds_.push_back({static_cast<AsioDatagramSocket*>(s)->handle(), POLLIN, 0});
    readable.assign(sockets.size(), false);
    timespec timeout{static_cast<time_t>(timeoutUs / 1000000), static_cast<long>(timeoutUs % 1000000) * 1000};
    const int n = ::ppoll(fds_.data(), fds_.size(), &timeout, nullptr);
    if (n < 0) return -1;
    int count = 0;
    for (std::size_t i = 0; i < fds_.size(); ++i) {
      if (fds_[i].revents & (POLLIN | POLLERR)) {
        readable[i] = true;
        ++count;
      }
    }
    return count;
  }

 private:
  asio::io_context io_;      // owns the sockets; nothing runs on it
  std::vector<pollfd> fds_;  // reused: one wait per TFTP block
};

}  // namespace

std::unique_ptr<DatagramNetwork> CreateSystemDatagramNetwork() { return std::make_unique<AsioDatagramNetwork>(); }

}  // namespace tessaly
