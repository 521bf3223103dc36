#pragma once
// An in-memory datagram network on a test loop's clock. A wait with a datagram queued
// completes on the loop's next turn; one with nothing queued is an idle cycle and ends on
// a loop timer after its whole time, so time-outs of many cycles run in microseconds. A
// scripted peer reacts to what is sent and to idle cycles by delivering datagrams, or has
// them arrive at a set time.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/datagram.h"
#include "support/manual_loop.h"

namespace tessaly::testing {

using Bytes = std::vector<std::uint8_t>;

class FakeNetwork final : public DatagramNetwork {
 public:
  struct Sent {
    std::uint16_t fromPort;
    Endpoint to;
    Bytes data;
  };

  // Goes before the loop does, and nothing runs the loop after it has gone.
  explicit FakeNetwork(ManualLoop& loop);
  ~FakeNetwork() override;

  std::unique_ptr<DatagramSocket> Open(const DatagramOptions& options, std::string& error) override;
  void AsyncWait(const std::vector<DatagramSocket*>& sockets, std::uint32_t timeoutUs, WaitDone done) override;
  void CancelWait() override;

  // The loop's clock.
  std::uint64_t NowUs() const { return loop_.NowUs(); }
  ManualLoop& loop() { return loop_; }

  // Queues a datagram for the socket bound to `port`; a wait on it ends.
  void Deliver(std::uint16_t port, Endpoint from, Bytes data);
  // Queues it when the loop's clock reaches `atUs`: a wait that would pass that time ends there.
  void DeliverAt(std::uint64_t atUs, std::uint16_t port, Endpoint from, Bytes data);
  // A wait is pending.
  bool Waiting() const { return done_ != nullptr; }

  // The peer sees each datagram sent, and may act in an idle cycle: what it delivers
  // there is for the next wait.
  std::function<void(const Sent&)> onSend;
  std::function<void(int idleCycle)> onIdle;
  std::set<std::uint16_t> refusedPorts;  // Open fails on these
  std::vector<Sent> sent;
  std::vector<DatagramOptions> opened;
  int idleCycles = 0;
  int waits = 0;
  int openSockets = 0;
  int waitLimit = 1000000;  // a stage that never ends fails the test instead of hanging

 private:
  friend class FakeSocket;
  int Readable(std::vector<bool>& readable) const;
  void Wake(std::uint64_t generation);
  void TimedOut(std::uint64_t generation);
  void Complete(int ready, const std::vector<bool>& readable);

  ManualLoop& loop_;
  std::map<std::uint16_t, std::deque<std::pair<Endpoint, Bytes>>> queues_;
  std::set<std::uint16_t> bound_;
  std::vector<std::unique_ptr<LoopTimer>> timed_;  // the deliveries at a set time
  // The pending wait.
  std::vector<DatagramSocket*> waiting_;
  WaitDone done_;
  std::unique_ptr<LoopTimer> timeout_;
  std::uint64_t generation_ = 0;  // every wait started or ended bumps it
};

}  // namespace tessaly::testing
