#include "platform/datagram_asio.h"

#include <cstring>

namespace tessaly {

std::string ToDotted(std::uint32_t networkOrderAddress) {
  asio::ip::address_v4::bytes_type bytes;
  std::memcpy(bytes.data(), &networkOrderAddress, bytes.size());
  return asio::ip::address_v4(bytes).to_string();
}

namespace asio_datagram {

udp::endpoint ToEndpoint(const Endpoint& e) {
  asio::ip::address_v4::bytes_type bytes;
  std::memcpy(bytes.data(), &e.address, bytes.size());
  return {asio::ip::address_v4(bytes), e.port};
}

Endpoint FromEndpoint(const udp::endpoint& e) {
  Endpoint out;
  const asio::ip::address_v4::bytes_type bytes = e.address().to_v4().to_bytes();
  std::memcpy(&out.address, bytes.data(), bytes.size());
  out.port = e.port();
  return out;
}

std::uint16_t AsioDatagramSocket::LocalPort() const {
  asio::error_code ec;
  const udp::endpoint e = socket_.local_endpoint(ec);
  return ec ? 0 : e.port();
}

int AsioDatagramSocket::ReceiveFrom(std::uint8_t* buffer, std::size_t capacity, Endpoint& from) {
  udp::endpoint peer;
  asio::error_code ec;
  // One byte more than asked for tells a datagram that would be cut: it is dropped whole.
  if (capacity + 1 > scratch_.size()) scratch_.resize(capacity + 1);
  const std::size_t n = socket_.receive_from(asio::buffer(scratch_.data(), capacity + 1), peer, 0, ec);
  if (ec || n > capacity) return -1;
  std::memcpy(buffer, scratch_.data(), n);
  from = FromEndpoint(peer);
  return static_cast<int>(n);
}

int AsioDatagramSocket::SendTo(const std::uint8_t* data, std::size_t length, const Endpoint& to) {
  asio::error_code ec;
  const std::size_t n = socket_.send_to(asio::buffer(data, length), ToEndpoint(to), 0, ec);
  return ec ? -1 : static_cast<int>(n);
}

AsioDatagramNetwork::AsioDatagramNetwork() {
  // The context makes its own descriptors with the first socket: made here, once, so
  // that an update leaves as many open as it found.
  udp::socket first(io_);
  asio::error_code ec;
  first.open(udp::v4(), ec);
}

bool AsioDatagramNetwork::OpenBound(udp::socket& socket, const udp::endpoint& local, bool broadcast, std::string& error,
                                    const SocketOption& beforeBind) {
  asio::error_code ec;
  auto failed = [&] {
    if (!ec) return false;
    error = ec.message();
    return true;
  };
  socket.open(udp::v4(), ec);
  if (failed()) return false;
  socket.set_option(asio::socket_base::broadcast(broadcast), ec);
  if (failed()) return false;
  if (beforeBind && !beforeBind(socket, error)) return false;
  socket.bind(local, ec);
  if (failed()) return false;
  socket.non_blocking(true, ec);
  return !failed();
}

}  // namespace asio_datagram

}  // namespace tessaly
