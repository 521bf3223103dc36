#pragma once
// UDP sockets behind a small interface, so that a whole Main firmware stage can run in a
// test against an in-memory network with no ports and no privilege.

#include <chrono>
#include <cstddef>
#include <cstdint>
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
  // Waits up to `timeoutUs` until one of `sockets` has a datagram; `readable[i]` tells
  // which. Returns the number readable, 0 on time-out, -1 on an error.
  virtual int Wait(const std::vector<DatagramSocket*>& sockets, std::uint32_t timeoutUs,
                   std::vector<bool>& readable) = 0;
  // The clock the waits run on, in microseconds: steady, never set back.
  virtual std::uint64_t NowUs() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
  }
};

// The system's UDP sockets through Asio.
std::unique_ptr<DatagramNetwork> CreateSystemDatagramNetwork();

}  // namespace tessaly
