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

std::unique_ptr<DatagramSocket> FakeNetwork::Open(const DatagramOptions& options, std::string& error) {
  opened.push_back(options);
  if (refusedPorts.count(options.port) || bound_.count(options.port)) {
    error = "Address already in use";
    return nullptr;
  }
  return std::make_unique<FakeSocket>(*this, options.port);
}

int FakeNetwork::Wait(const std::vector<DatagramSocket*>& sockets, std::uint32_t timeoutUs, std::vector<bool>& readable) {
  if (++waits > waitLimit) throw std::runtime_error("the service loop did not end");
  auto count = [&] {
    readable.assign(sockets.size(), false);
    int ready = 0;
    for (std::size_t i = 0; i < sockets.size(); ++i) {
      if (static_cast<FakeSocket*>(sockets[i])->HasData()) {
        readable[i] = true;
        ++ready;
      }
    }
    return ready;
  };
  if (const int ready = count(); ready > 0) return ready;
  const std::uint64_t end = nowUs + timeoutUs;
  while (!timed_.empty() && timed_.begin()->first <= end) {
    auto first = timed_.begin();
    nowUs = std::max(nowUs, first->first);
    Timed t = std::move(first->second);
    timed_.erase(first);
    Deliver(t.port, t.from, std::move(t.data));
    if (const int ready = count(); ready > 0) return ready;
  }
  nowUs = end;
  ++idleCycles;
  if (onIdle) onIdle(idleCycles);
  return 0;
}

void FakeNetwork::DeliverAt(std::uint64_t atUs, std::uint16_t port, Endpoint from, Bytes data) {
  timed_.emplace(atUs, Timed{port, from, std::move(data)});
}

void FakeNetwork::Deliver(std::uint16_t port, Endpoint from, Bytes data) {
  if (!bound_.count(port)) return;  // nobody listens: the datagram is lost
  queues_[port].emplace_back(from, std::move(data));
}

}  // namespace tessaly::testing
