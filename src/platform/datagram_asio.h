#pragma once
// The part of the datagram sockets that Asio serves on every system; datagram_posix.cpp
// and datagram_win32.cpp add what it cannot (the adapter rule for broadcasts, the wait).
// Only those files include this header: no other header of the core exposes Asio.

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include <functional>
#include <string>
#include <vector>

#include "platform/datagram.h"

namespace tessaly::asio_datagram {

using asio::ip::udp;

udp::endpoint ToEndpoint(const Endpoint& e);
Endpoint FromEndpoint(const udp::endpoint& e);

class AsioDatagramSocket : public DatagramSocket {
 public:
  explicit AsioDatagramSocket(udp::socket socket) : socket_(std::move(socket)) {}

  udp::socket::native_handle_type handle() { return socket_.native_handle(); }
  std::uint16_t LocalPort() const override;
  int ReceiveFrom(std::uint8_t* buffer, std::size_t capacity, Endpoint& from) override;
  int SendTo(const std::uint8_t* data, std::size_t length, const Endpoint& to) override;

 protected:
  udp::socket socket_;

 private:
  std::vector<std::uint8_t> scratch_;
};

// The system's network: the platform file derives from it and adds Open, Wait and the
// start-up of the socket library.
class AsioDatagramNetwork : public DatagramNetwork {
 protected:
  AsioDatagramNetwork();

  // Opens `socket` for IPv4 with SO_BROADCAST as asked, runs `beforeBind` (options the
  // platform needs), binds it to `local` and makes it non-blocking. False with the reason
  // in `error`.
  using SocketOption = std::function<bool(udp::socket&, std::string& error)>;
  bool OpenBound(udp::socket& socket, const udp::endpoint& local, bool broadcast, std::string& error,
                 const SocketOption& beforeBind = {});

  asio::io_context io_;  // owns the sockets; nothing runs on it
};

}  // namespace tessaly::asio_datagram
