#pragma once
// The updater's TCP connection in the tests: plain blocking sockets, every read bounded by a
// deadline, so a silent or stuck simulator fails a test instead of hanging it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "updater_bytes.h"

namespace tessaly::pjsim::testing {

using Clock = std::chrono::steady_clock;

// Generous, for the sanitizer builds; waits end as soon as the event comes.
inline constexpr std::chrono::milliseconds kBudget{5000};
// How long "nothing arrives" is watched.
inline constexpr std::chrono::milliseconds kSilence{300};

class TestClient {
 public:
  enum class Kind { kData, kTimeout, kClosed, kError };
  struct Read {
    Kind kind = Kind::kError;
    Bytes bytes;
    int error = 0;  // recv's errno when it failed: tells a reset (ECONNRESET) from a FIN
  };

  // Connects to remote:port, from the local address when one is given. Both are dotted IPv4.
  explicit TestClient(std::uint16_t port, const std::string& remote = "127.0.0.1", const std::string& local = "") {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (::inet_pton(AF_INET, remote.c_str(), &to.sin_addr) != 1) return;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    if (!local.empty() && ::inet_pton(AF_INET, local.c_str(), &from.sin_addr) != 1) return;
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    // Backstop for the blocking calls; reads are bounded by poll() first.
    const timeval timeout{2, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!local.empty() && ::bind(fd_, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) {
      Close();
      return;
    }
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) Close();
  }
  ~TestClient() { Close(); }
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // One send() for the whole message, as the updater does.
  bool Send(const Bytes& bytes) {
    return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  bool SendByteByByte(const Bytes& bytes) {
    for (std::uint8_t b : bytes) {
      if (fd_ < 0 || ::send(fd_, &b, 1, MSG_NOSIGNAL) != 1) return false;
    }
    return true;
  }

  // A single recv() once data is there, or what stopped it.
  Read ReadOnce(std::chrono::milliseconds timeout, std::size_t max = 256) {
    Read r;
    if (fd_ < 0) return r;
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
    if (ready == 0) {
      r.kind = Kind::kTimeout;
      return r;
    }
    if (ready < 0) return r;
    r.bytes.resize(max);
    const ssize_t n = ::recv(fd_, r.bytes.data(), max, 0);
    if (n > 0) {
      r.bytes.resize(static_cast<std::size_t>(n));
      r.kind = Kind::kData;
      return r;
    }
    r.bytes.clear();
    if (n < 0) r.error = errno;
    if (n == 0 || errno == ECONNRESET || errno == EPIPE) {
      r.kind = Kind::kClosed;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      r.kind = Kind::kTimeout;
    }
    return r;
  }

  // Gathers exactly n bytes over as many reads as it takes; fewer when time runs out or
  // the connection ends.
  Bytes ReadExactly(std::size_t n, std::chrono::milliseconds budget = kBudget) {
    using namespace std::chrono_literals;
    Bytes out;
    const auto deadline = Clock::now() + budget;
    // Each pass either takes at least one byte or ends the loop.
    while (out.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left <= 0ms) break;
      Read r = ReadOnce(left, n - out.size());
      if (r.kind != Kind::kData) break;
      out.insert(out.end(), r.bytes.begin(), r.bytes.end());
    }
    return out;
  }

  // True when the projector ends the connection before sending anything more.
  bool ClosedWithin(std::chrono::milliseconds budget = kBudget) { return ReadOnce(budget).kind == Kind::kClosed; }

  // True when the projector ends the connection, whatever it still sends before that: for
  // a close that may follow bytes already on their way.
  bool ClosedAfterAnyBytes(std::chrono::milliseconds budget = kBudget) {
    using namespace std::chrono_literals;
    const auto deadline = Clock::now() + budget;
    // Each pass takes some bytes or ends the loop.
    for (int reads = 0; reads < 10000; ++reads) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left <= 0ms) return false;
      const Read r = ReadOnce(left, 4096);
      if (r.kind == Kind::kClosed) return true;
      if (r.kind != Kind::kData) return false;
    }
    return false;
  }

  bool SilentFor(std::chrono::milliseconds span = kSilence) { return ReadOnce(span).kind == Kind::kTimeout; }

 private:
  int fd_ = -1;
};

}  // namespace tessaly::pjsim::testing
