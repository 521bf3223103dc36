#pragma once
// UDP sockets behind a small interface, so that a whole Main firmware stage can run in a
// test against an in-memory network with no ports and no privilege.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tessaly {

struct Endpoint {
  std::uint32_t address = 0;  // IPv4, network byte order
  std::uint16_t port = 0;     // host byte order
  bool operator==(const Endpoint&) const = default;
};

std::string ToDotted(std::uint32_t networkOrderAddress);

class DatagramSocket {
 public:
  virtual ~DatagramSocket() = default;
  // One datagram into `buffer`. Its length, or -1 on an error; a datagram longer than
  // `capacity` is an error too (it is dropped, never cut).
  virtual int ReceiveFrom(std::uint8_t* buffer, std::size_t capacity, Endpoint& from) = 0;
  // The bytes sent, or -1.
  virtual int SendTo(const std::uint8_t* data, std::size_t length, const Endpoint& to) = 0;
  virtual std::uint16_t LocalPort() const = 0;
};

struct DatagramOptions {
  std::uint32_t localAddress = 0;  // network byte order
  std::uint16_t port = 0;
  bool broadcast = false;  // SO_BROADCAST, set to 0 as well as to 1
  // Receive datagrams sent to the limited broadcast address, by the local address's
  // adapter only. On Linux a socket bound to a unicast address never sees them, so such a
  // socket listens on the wildcard address, keeps only what arrives by that adapter, and
  // sends from the local address by it. On Windows the socket bound to the local address
  // receives them itself.
  bool receiveBroadcast = false;
};

class DatagramNetwork {
 public:
  virtual ~DatagramNetwork() = default;
  // Starts the system's socket library for one stage (Winsock 2.2 on Windows; nothing to
  // start on Linux); false when it cannot be started. Each successful StartUp is matched
  // by one CleanUp.
  virtual bool StartUp() { return true; }
  virtual void CleanUp() {}
  // A bound socket, or null with the reason in `error`.
  virtual std::unique_ptr<DatagramSocket> Open(const DatagramOptions& options, std::string& error) = 0;
  // What a wait gives its handler: the number of `sockets` readable (0 on time-out, -1 on
  // an error) and, by their order, which.
  using WaitDone = std::function<void(int ready, const std::vector<bool>& readable)>;
  // Waits on the network's loop until one of `sockets` has a datagram or `timeoutUs` has
  // passed, then calls `done` on the loop, never from within this call. One wait at a
  // time; the sockets stay open until it completes or is cancelled. The loop's thread.
  virtual void AsyncWait(const std::vector<DatagramSocket*>& sockets, std::uint32_t timeoutUs, WaitDone done) = 0;
  // The pending wait's handler never runs. The loop's thread.
  virtual void CancelWait() = 0;
};

class UpdateLoop;

// The system's UDP sockets through Asio, on the loop's io_context; their waits complete
// on `loop`. On a loop that is not the system's (a test's clock) every wait fails.
// Destroyed before the loop, and after the last stage on it has ended.
std::unique_ptr<DatagramNetwork> CreateSystemDatagramNetwork(UpdateLoop& loop);

}  // namespace tessaly
