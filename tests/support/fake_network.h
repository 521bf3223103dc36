#pragma once
// An in-memory datagram network on a clock of its own. Every wait returns at once: one
// with nothing queued is an idle cycle and moves the clock on by its whole time, so
// time-outs of many cycles run in microseconds. A scripted peer reacts to what is sent
// and to idle cycles by delivering datagrams, or has them arrive at a set time.

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/datagram.h"

namespace tessaly::testing {

using Bytes = std::vector<std::uint8_t>;

class FakeNetwork final : public DatagramNetwork {
 public:
  struct Sent {
    std::uint16_t fromPort;
    Endpoint to;
    Bytes data;
  };

  std::unique_ptr<DatagramSocket> Open(const DatagramOptions& options, std::string& error) override;
  int Wait(const std::vector<DatagramSocket*>& sockets, std::uint32_t timeoutUs, std::vector<bool>& readable) override;
  std::uint64_t NowUs() override { return nowUs; }

  // Queues a datagram for the socket bound to `port`.
  void Deliver(std::uint16_t port, Endpoint from, Bytes data);
  // Queues it when the clock reaches `atUs`: a wait that would pass that time ends there.
  void DeliverAt(std::uint64_t atUs, std::uint16_t port, Endpoint from, Bytes data);

  std::function<void(const Sent&)> onSend;    // the peer sees each datagram sent
  std::function<void(int idleCycle)> onIdle;  // the peer may act in an idle cycle
  std::set<std::uint16_t> refusedPorts;       // Open fails on these
  std::vector<Sent> sent;
  std::vector<DatagramOptions> opened;
  int idleCycles = 0;
  int waits = 0;
  int openSockets = 0;
  int waitLimit = 1000000;  // a stage that never ends fails the test instead of hanging
  std::uint64_t nowUs = 1000000000;  // far from 0: nothing may take the start for a time of its own

 private:
  friend class FakeSocket;
  struct Timed {
    std::uint16_t port;
    Endpoint from;
    Bytes data;
  };
  std::map<std::uint16_t, std::deque<std::pair<Endpoint, Bytes>>> queues_;
  std::multimap<std::uint64_t, Timed> timed_;
  std::set<std::uint16_t> bound_;
};

}  // namespace tessaly::testing
