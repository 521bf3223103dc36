#pragma once
// An in-memory datagram network. Every wait returns at once: a cycle with nothing queued
// is an idle cycle, so time-outs of many cycles run in microseconds. A scripted peer
// reacts to what is sent and to idle cycles by delivering datagrams.

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

  // Queues a datagram for the socket bound to `port`.
  void Deliver(std::uint16_t port, Endpoint from, Bytes data);

  std::function<void(const Sent&)> onSend;    // the peer sees each datagram sent
  std::function<void(int idleCycle)> onIdle;  // the peer may act in an idle cycle
  std::set<std::uint16_t> refusedPorts;       // Open fails on these
  std::vector<Sent> sent;
  std::vector<DatagramOptions> opened;
  int idleCycles = 0;
  int waits = 0;
  int openSockets = 0;
  int waitLimit = 1000000;  // a stage that never ends fails the test instead of hanging

 private:
  friend class FakeSocket;
  std::map<std::uint16_t, std::deque<std::pair<Endpoint, Bytes>>> queues_;
  std::set<std::uint16_t> bound_;
};

}  // namespace tessaly::testing
