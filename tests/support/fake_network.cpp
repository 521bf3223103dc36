#include "support/fake_network.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace tessaly::testing {

class FakeSocket final : public DatagramSocket {
 public:
  FakeSocket(FakeNetwork& net, std::uint16_t port) : net_(net), port_(port) {
    net_.bound_.insert(port);
    ++net_.openSockets;
  }
  ~FakeSocket() override {
    net_.bound_.erase(port_);
    net_.queues_.erase(port_);
    --net_.openSockets;
  }
  int ReceiveFrom(std::uint8_t* buffer, std::size_t capacity, Endpoint& from) override {
    auto& q = net_.queues_[port_];
    if (q.empty()) return -1;
    auto [sender, data] = std::move(q.front());
    q.pop_front();
    if (data.size() > capacity) return -1;
    // An empty datagram has no bytes, and perhaps no storage: memcpy from null is undefined.
    if (!data.empty()) std::memcpy(buffer, data.data(), data.size());
    from = sender;
    return static_cast<int>(data.size());
  }
  int SendTo(const std::uint8_t* data, std::size_t length, const Endpoint& to) override {
    FakeNetwork::Sent s{port_, to, Bytes(data, data + length)};
    net_.sent.push_back(s);
    if (net_.onSend) net_.onSend(s);
    return static_cast<int>(length);
  }
  std::uint16_t LocalPort() const override { return port_; }
  bool HasData() const {
    auto it = net_.queues_.find(port_);
    return it != net_.queues_.end() && !it->second.empty();
  }

 private:
  FakeNetwork& net_;
  std::uint16_t port_;
};

FakeNetwork::FakeNetwork(ManualLoop& loop) : loop_(loop), timeout_(loop.CreateTimer()) {}

FakeNetwork::~FakeNetwork() = default;

std::unique_ptr<DatagramSocket> FakeNetwork::Open(const DatagramOptions& options, std::string& error) {
  opened.push_back(options);
  if (refusedPorts.count(options.port) || bound_.count(options.port)) {
    error = "Address already in use";
    return nullptr;
  }
  return std::make_unique<FakeSocket>(*this, options.port);
}

int FakeNetwork::Readable(std::vector<bool>& readable) const {
  readable.assign(waiting_.size(), false);
  int ready = 0;
  for (std::size_t i = 0; i < waiting_.size(); ++i) {
    if (static_cast<FakeSocket*>(waiting_[i])->HasData()) {
      readable[i] = true;
      ++ready;
    }
  }
  return ready;
}

void FakeNetwork::AsyncWait(const std::vector<DatagramSocket*>& sockets, std::uint32_t timeoutUs, WaitDone done) {
  if (++waits > waitLimit) throw std::runtime_error("the service loop did not end");
  CancelWait();
  const std::uint64_t generation = ++generation_;
  waiting_ = sockets;
  done_ = std::move(done);
  std::vector<bool> readable;
  if (Readable(readable) > 0) {
    loop_.Post([this, generation] { Wake(generation); });
    return;
  }
  timeout_->Start(timeoutUs, [this, generation] { TimedOut(generation); });
}

void FakeNetwork::CancelWait() {
  ++generation_;
  timeout_->Cancel();
  waiting_.clear();
  done_ = nullptr;
}

void FakeNetwork::Wake(std::uint64_t generation) {
  if (generation != generation_ || !done_) return;
  std::vector<bool> readable;
  const int ready = Readable(readable);
  if (ready == 0) return;  // taken meanwhile: the wait goes on to its time-out
  Complete(ready, readable);
}

void FakeNetwork::TimedOut(std::uint64_t generation) {
  if (generation != generation_ || !done_) return;
  WaitDone done = std::move(done_);
  done_ = nullptr;  // what the peer delivers now is for the next wait
  ++idleCycles;
  if (onIdle) onIdle(idleCycles);
  if (generation != generation_) return;  // cancelled from the idle cycle
  done_ = std::move(done);
  Complete(0, std::vector<bool>(waiting_.size(), false));
}

void FakeNetwork::Complete(int ready, const std::vector<bool>& readable) {
  ++generation_;
  timeout_->Cancel();
  waiting_.clear();
  WaitDone done = std::move(done_);
  done_ = nullptr;
  done(ready, readable);
}

void FakeNetwork::DeliverAt(std::uint64_t atUs, std::uint16_t port, Endpoint from, Bytes data) {
  auto timer = loop_.CreateTimer();
  const std::uint64_t now = loop_.NowUs();
  timer->Start(atUs > now ? atUs - now : 0,
               [this, port, from, data = std::move(data)]() mutable { Deliver(port, from, std::move(data)); });
  timed_.push_back(std::move(timer));
}

void FakeNetwork::Deliver(std::uint16_t port, Endpoint from, Bytes data) {
  if (!bound_.count(port)) return;  // nobody listens: the datagram is lost
  queues_[port].emplace_back(from, std::move(data));
  if (!done_) return;
  for (DatagramSocket* s : waiting_) {
    if (s->LocalPort() == port) {
      loop_.Post([this, generation = generation_] { Wake(generation); });
      return;
    }
  }
}

}  // namespace tessaly::testing
