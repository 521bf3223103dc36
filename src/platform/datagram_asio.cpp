#include "platform/datagram_asio.h"

#include <asio/post.hpp>

#include <chrono>
#include <cstring>

#include "platform/asio_loop.h"

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

namespace {

asio::io_context& ContextFor(UpdateLoop& loop, std::unique_ptr<asio::io_context>& own) {
  if (asio::io_context* io = AsioContextOf(loop)) return *io;
  own = std::make_unique<asio::io_context>();
  return *own;
}

}  // namespace

AsioDatagramNetwork::AsioDatagramNetwork(UpdateLoop& loop)
    : io_(ContextFor(loop, ownIo_)), loop_(loop), onLoop_(!ownIo_), timer_(io_) {
  // The context makes its own descriptors with the first socket: made here, once, so
  // that an update leaves as many open as it found.
  udp::socket first(io_);
  asio::error_code ec;
  first.open(udp::v4(), ec);
}

AsioDatagramNetwork::~AsioDatagramNetwork() {
  // The sockets of a wait are gone by now: only the completions still queued are stopped.
  ++generation_;
  alive_.reset();
  timer_.cancel();
}

void AsioDatagramNetwork::AsyncWait(const std::vector<DatagramSocket*>& sockets, std::uint32_t timeoutUs,
                                    WaitDone done) {
  CancelWait();
  const std::uint64_t generation = ++generation_;
  waiting_ = sockets;
  done_ = std::move(done);
  std::weak_ptr<char> alive = alive_;
  if (!onLoop_) {
    loop_.Post([this, generation, alive] {
      if (alive.expired() || generation != generation_) return;
      Complete(-1);
    });
    return;
  }
  timer_.expires_after(std::chrono::microseconds(timeoutUs));
  timer_.async_wait([this, generation, alive](const asio::error_code& ec) {
    if (alive.expired() || generation != generation_ || ec == asio::error::operation_aborted) return;
    // The time is up: what arrived meanwhile is taken all the same.
    Complete(ec ? -1 : Wait(waiting_, 0, readable_));
  });
  // The loop's reactor hears of a datagram as it arrives: one queued before this wait
  // would wake nothing, so the queues are looked at first.
  if (Wait(waiting_, 0, readable_) == 0) {
    WatchAll(generation);
    return;
  }
  asio::post(io_, [this, generation, alive] {
    if (alive.expired() || generation != generation_) return;
    const int ready = Wait(waiting_, 0, readable_);
    if (ready != 0) {
      Complete(ready);
      return;
    }
    WatchAll(generation);
  });
}

void AsioDatagramNetwork::WatchAll(std::uint64_t generation) {
  for (std::size_t i = 0; i < waiting_.size(); ++i) WatchSocket(i, generation);
}

void AsioDatagramNetwork::WatchSocket(std::size_t index, std::uint64_t generation) {
  auto* socket = static_cast<AsioDatagramSocket*>(waiting_[index]);
  auto readable = [this, index, generation, alive = std::weak_ptr<char>(alive_)](const asio::error_code& ec) {
    if (alive.expired() || generation != generation_ || ec == asio::error::operation_aborted) return;
    if (ec) {
      Complete(-1);
      return;
    }
    const int ready = Wait(waiting_, 0, readable_);
    if (ready != 0) {
      Complete(ready);
      return;
    }
    WatchSocket(index, generation);  // only other adapters' datagrams: the wait goes on
  };
  socket->socket().async_wait(udp::socket::wait_read, std::move(readable));
}

void AsioDatagramNetwork::StopWatching() {
  ++generation_;
  timer_.cancel();
  asio::error_code ec;
  for (DatagramSocket* s : waiting_) static_cast<AsioDatagramSocket*>(s)->socket().cancel(ec);
  waiting_.clear();
}

void AsioDatagramNetwork::Complete(int ready) {
  std::vector<bool> readable(waiting_.size(), false);
  if (ready > 0) readable = readable_;
  StopWatching();
  WaitDone done = std::move(done_);
  done_ = nullptr;
  if (done) done(ready, readable);
}

void AsioDatagramNetwork::CancelWait() {
  StopWatching();
  done_ = nullptr;
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
