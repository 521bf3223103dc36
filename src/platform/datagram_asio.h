#pragma once
// The part of the datagram sockets that Asio serves on every system, the waits on the
// update loop included; datagram_posix.cpp and datagram_win32.cpp add what it cannot (the
// adapter rule for broadcasts, which sockets are readable now).
// Only those files include this header: no other header of the core exposes Asio.

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <asio/steady_timer.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/datagram.h"
#include "platform/update_loop.h"

namespace tessaly::asio_datagram {

using asio::ip::udp;

udp::endpoint ToEndpoint(const Endpoint& e);
Endpoint FromEndpoint(const udp::endpoint& e);

class AsioDatagramSocket : public DatagramSocket {
 public:
  explicit AsioDatagramSocket(udp::socket socket) : socket_(std::move(socket)) {}

  udp::socket::native_handle_type handle() { return socket_.native_handle(); }
  udp::socket& socket() { return socket_; }
  std::uint16_t LocalPort() const override;
  int ReceiveFrom(std::uint8_t* buffer, std::size_t capacity, Endpoint& from) override;
  int SendTo(const std::uint8_t* data, std::size_t length, const Endpoint& to) override;

 protected:
  udp::socket socket_;

 private:
  std::vector<std::uint8_t> scratch_;
};

// The system's network: the platform file derives from it and adds Open, the zero-time
// look at which sockets are readable, and the start-up of the socket library.
class AsioDatagramNetwork : public DatagramNetwork {
 public:
  ~AsioDatagramNetwork() override;

  // Each socket waits for "readable" on the loop, beside a timer for the time-out; the
  // first to fire asks the platform's Wait which sockets hold a datagram now.
  void AsyncWait(const std::vector<DatagramSocket*>& sockets, std::uint32_t timeoutUs, WaitDone done) override;
  void CancelWait() override;

 protected:
  explicit AsioDatagramNetwork(UpdateLoop& loop);

  // Looks up to `timeoutUs` (0 here: no blocking) for which of `sockets` hold a datagram
  // of their own; `readable[i]` tells which. The number readable, or -1 on an error.
  virtual int Wait(const std::vector<DatagramSocket*>& sockets, std::uint32_t timeoutUs,
                   std::vector<bool>& readable) = 0;

  // Opens `socket` for IPv4 with SO_BROADCAST as asked, runs `beforeBind` (options the
  // platform needs), binds it to `local` and makes it non-blocking. False with the reason
  // in `error`.
  using SocketOption = std::function<bool(udp::socket&, std::string& error)>;
  bool OpenBound(udp::socket& socket, const udp::endpoint& local, bool broadcast, std::string& error,
                 const SocketOption& beforeBind = {});

 private:
  void WatchAll(std::uint64_t generation);
  void WatchSocket(std::size_t index, std::uint64_t generation);
  void Complete(int ready);
  void StopWatching();

  // Only for a loop that is not the system's: owns the sockets, and nothing runs on it.
  std::unique_ptr<asio::io_context> ownIo_;

 protected:
  asio::io_context& io_;  // the loop's: the sockets' waits complete there

 private:
  UpdateLoop& loop_;
  const bool onLoop_;  // false: the loop is not the system's and every wait fails
  asio::steady_timer timer_;
  std::vector<DatagramSocket*> waiting_;
  std::vector<bool> readable_;
  WaitDone done_;
  // Every wait started or ended bumps it: a completion of an earlier one does nothing.
  std::uint64_t generation_ = 0;
  std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace tessaly::asio_datagram
