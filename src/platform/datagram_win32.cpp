// clang-format off
#include <winsock2.h>
#include <mswsock.h>
// clang-format on

#include "platform/datagram_asio.h"

namespace tessaly {

namespace {

using asio_datagram::AsioDatagramSocket;
using asio_datagram::udp;

class WinsockDatagramNetwork final : public asio_datagram::AsioDatagramNetwork {
 public:
  explicit WinsockDatagramNetwork(UpdateLoop& loop) : AsioDatagramNetwork(loop) {}

  bool StartUp() override {
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
      ::WSACleanup();
      return false;
    }
    return true;
  }
  void CleanUp() override { ::WSACleanup(); }

  // Here a socket bound to the local address receives the 255.255.255.255 datagrams that
  // arrive by that address's adapter, and only those: bound so, it serves that adapter alone.
  std::unique_ptr<DatagramSocket> Open(const DatagramOptions& o, std::string& error) override {
    udp::socket socket(io_);
    auto quietUnreachable = [](udp::socket& s, std::string&) {
      // An ICMP "port unreachable" for a datagram sent earlier would make the next
      // receive fail and count as traffic; Linux keeps it off unconnected sockets.
      BOOL report = FALSE;
      DWORD returned = 0;
      ::WSAIoctl(s.native_handle(), SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
      return true;
    };
    if (!OpenBound(socket, asio_datagram::ToEndpoint({o.localAddress, o.port}), o.broadcast, error, quietUnreachable)) {
      return nullptr;
    }
    return std::make_unique<AsioDatagramSocket>(std::move(socket));
  }

  // Which sockets hold a datagram now: select on their handles, one system call a cycle.
 protected:
  int Wait(const std::vector<DatagramSocket*>& sockets, std::uint32_t timeoutUs, std::vector<bool>& readable) override {
    readable.assign(sockets.size(), false);
    if (sockets.size() > FD_SETSIZE) return -1;
    if (sockets.empty()) return 0;  // select refuses empty sets here
    fd_set set;
    FD_ZERO(&set);
    for (DatagramSocket* s : sockets) FD_SET(static_cast<AsioDatagramSocket*>(s)->handle(), &set);
    timeval timeout{static_cast<long>(timeoutUs / 1000000), static_cast<long>(timeoutUs % 1000000)};
    const int n = ::select(0, &set, nullptr, nullptr, &timeout);
    if (n == SOCKET_ERROR) return -1;
    int count = 0;
    for (std::size_t i = 0; i < sockets.size(); ++i) {
      if (FD_ISSET(static_cast<AsioDatagramSocket*>(sockets[i])->handle(), &set)) {
        readable[i] = true;
        ++count;
      }
    }
    return count;
  }
};

}  // namespace

std::unique_ptr<DatagramNetwork> CreateSystemDatagramNetwork(UpdateLoop& loop) {
  return std::make_unique<WinsockDatagramNetwork>(loop);
}

}  // namespace tessaly
