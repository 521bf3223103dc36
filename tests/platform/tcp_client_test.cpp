#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/tcp_client.h"
#include "platform/update_loop.h"
#include "platform/view_timer.h"
#include "support/fake_view.h"
#include "support/threads.h"

namespace tessaly::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Long enough for a loaded sanitizer run; only reached when something is wrong.
constexpr auto kEventTimeout = 5s;
// How long a test watches for a notification that must NOT come. A bounded window
// cannot prove absence, but a wrongly posted notification arrives well within it.
constexpr auto kQuietWindow = 100ms;

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  ~Fd() { Reset(); }
  int get() const { return fd_; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

std::uint16_t PortOf(int fd) {
  sockaddr_in a{};
  socklen_t size = sizeof a;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) != 0) return 0;
  return ntohs(a.sin_port);
}

// A listener on 127.0.0.1 with an ephemeral port.
Fd Listen(int backlog = 8) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = Loopback(0);
  if (fd.get() < 0 || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(fd.get(), backlog) != 0) {
    return Fd();
  }
  return fd;
}

// A loopback port with nothing listening. Kept bound, so no other test can take the port
// and listen on it; a bound socket that does not listen refuses connections on Linux.
Fd BoundNotListening() {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = Loopback(0);
  if (fd.get() < 0 || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return Fd();
  return fd;
}

int MillisLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

Fd Accept(int listener, std::chrono::milliseconds timeout = kEventTimeout) {
  pollfd p{listener, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return Fd();
  return Fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

// Blocking send with a timeout on the peer side, so a stuck test fails instead of hanging.
bool PeerSend(int fd, const std::string& bytes) {
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  std::size_t done = 0;
  for (int i = 0; i < 10000 && done < bytes.size(); ++i) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return done == bytes.size();
}

// Reads exactly `want` bytes (or up to EOF) on the peer side within the deadline.
std::string PeerReceive(int fd, std::size_t want) {
  const auto deadline = Clock::now() + kEventTimeout;
  std::string got;
  while (got.size() < want) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, MillisLeft(deadline)) != 1) break;
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, std::min(sizeof buf, want - got.size()), 0);
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

// True when the peer sees end of stream (or a reset) within the deadline.
bool PeerSeesEnd(int fd) {
  const auto deadline = Clock::now() + kEventTimeout;
  for (int i = 0; i < 1000; ++i) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, MillisLeft(deadline)) != 1) return false;
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return true;
  }
  return false;
}

// True once everything the peer sent has been acknowledged, i.e. sits in the client's
// socket. Polled (the kernel gives no event for it), bounded by the deadline.
bool PeerSendAcknowledged(int fd) {
  const auto deadline = Clock::now() + kEventTimeout;
  while (Clock::now() < deadline) {
    int unacked = -1;
    if (::ioctl(fd, SIOCOUTQ, &unacked) != 0) return false;
    if (unacked == 0) return true;
    std::this_thread::yield();
  }
  return false;
}

std::string Pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

class Recorder : public TcpClientEvents {
 public:
  explicit Recorder(FakeView& view) : view_(view) {}

  void ClientSocketConnecting() override { Record("connecting"); }
  void ClientSocketConnect() override {
    Record("connect");
    if (onConnect) onConnect();
  }
  void ClientSocketDisconnect() override { Record("disconnect"); }
  void ClientSocketRead() override {
    Record("read");
    if (onRead) onRead();
  }
  void ClientSocketError(int& errorCode) override {
    Record("error");
    errorCodes.push_back(errorCode);
  }

  int Count(const std::string& name) const {
    int n = 0;
    for (const std::string& s : names) n += s == name ? 1 : 0;
    return n;
  }

  std::vector<std::string> names;
  std::vector<int> errorCodes;
  bool offViewThread = false;
  std::function<void()> onRead;
  std::function<void()> onConnect;

 private:
  void Record(const char* name) {
    if (!view_.OnViewThread()) offViewThread = true;
    names.emplace_back(name);
  }
  FakeView& view_;
};

class TcpClientThreaded : public ::testing::Test {
 protected:
  void SetUp() override {
    client_ = CreateTcpClient(view_, *loop_);
    client_->SetEvents(&rec_);
    listener_ = Listen();
    ASSERT_GE(listener_.get(), 0);
  }
  void TearDown() override {
    EXPECT_FALSE(rec_.offViewThread) << "a notification ran off the view thread";
    client_.reset();
  }

  void Target(std::uint16_t port, const std::string& address = "127.0.0.1") {
    client_->SetAddress(address);
    client_->SetPort(port);
  }

  bool PumpFor(const std::string& name, int count = 1) {
    return view_.PumpUntil([&] { return rec_.Count(name) >= count; }, kEventTimeout);
  }

  // Runs posted work for the quiet window; nothing is expected to arrive.
  void PumpQuietWindow() {
    view_.PumpUntil([] { return false; }, kQuietWindow);
  }

  // Waits for a condition that no posted work signals, pumping meanwhile.
  bool WaitFor(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + kEventTimeout;
    while (Clock::now() < deadline) {
      if (view_.PumpUntil(done, 5ms)) return true;
    }
    return done();
  }

  // Opens to the fixture's listener and returns the accepted peer once connected.
  Fd Connect() {
    Target(PortOf(listener_.get()));
    if (!client_->Open()) return Fd();
    Fd peer = Accept(listener_.get());
    if (!PumpFor("connect", rec_.Count("connect") + 1)) return Fd();
    return peer;
  }

  // Reads until `want` bytes came, waiting for the readable notification between reads.
  std::string ReceiveExactly(std::size_t want) {
    std::string got;
    const auto deadline = Clock::now() + kEventTimeout;
    for (int i = 0; i < 100000 && got.size() < want && Clock::now() < deadline; ++i) {
      char buf[4096];
      const int reads = rec_.Count("read");
      const int n = client_->ReceiveBuf(buf, sizeof buf);
      if (n > 0) {
        got.append(buf, static_cast<std::size_t>(n));
      } else if (n == 0) {
        break;
      } else {
        view_.PumpUntil([&] { return rec_.Count("read") > reads || rec_.Count("disconnect") > 0; },
                        std::chrono::milliseconds(MillisLeft(deadline)));
      }
    }
    return got;
  }

  FakeView view_;  // first: outlives the client and any work it posted
  std::unique_ptr<UpdateLoop> loop_ = CreateUpdateLoop();  // outlives the client
  Recorder rec_{view_};
  std::unique_ptr<TcpClient> client_;
  Fd listener_;
};

TEST_F(TcpClientThreaded, ConnectsAndExchangesBytesExactly) {
  Target(PortOf(listener_.get()));
  EXPECT_EQ(client_->LocalAddress(), "");
  ASSERT_TRUE(client_->Open());
  EXPECT_EQ(rec_.names, (std::vector<std::string>{"connecting"}));  // given synchronously
  EXPECT_TRUE(client_->Active());
  Fd peer = Accept(listener_.get());
  ASSERT_GE(peer.get(), 0);
  ASSERT_TRUE(PumpFor("connect"));
  EXPECT_EQ(rec_.names, (std::vector<std::string>{"connecting", "connect"}));
  EXPECT_EQ(client_->LocalAddress(), "127.0.0.1");

  char buf[16];
  EXPECT_EQ(client_->ReceiveBuf(buf, sizeof buf), -1);  // connected, nothing waiting

  const std::string out = Pattern(4096);  // every byte value, zeros included
  EXPECT_EQ(client_->SendBuf(out.data(), static_cast<int>(out.size())), 4096);
  EXPECT_EQ(client_->SendText("OK\r\n"), 4);
  EXPECT_EQ(PeerReceive(peer.get(), out.size() + 4), out + "OK\r\n");

  const std::string in = Pattern(3000).substr(1000);
  ASSERT_TRUE(PeerSend(peer.get(), in));
  ASSERT_TRUE(PumpFor("read"));
  EXPECT_EQ(ReceiveExactly(in.size()), in);
  EXPECT_EQ(client_->ReceiveBuf(buf, sizeof buf), -1);
  EXPECT_EQ(rec_.Count("error"), 0);
  EXPECT_EQ(rec_.Count("disconnect"), 0);
  EXPECT_TRUE(client_->Active());
}

TEST_F(TcpClientThreaded, ShortSendReportsExactlyTheBytesHandedOver) {
  Fd peer = Connect();
  ASSERT_GE(peer.get(), 0);
  // More than the socket buffers take while the peer is not reading: a short send.
  const std::string big = Pattern(16 * 1024 * 1024);
  const int n = client_->SendBuf(big.data(), static_cast<int>(big.size()));
  ASSERT_GT(n, 0);
  ASSERT_LE(n, static_cast<int>(big.size()));
  // The marker proves nothing beyond the reported count was sent.
  const std::string got = PeerReceive(peer.get(), static_cast<std::size_t>(n));
  ASSERT_EQ(got.size(), static_cast<std::size_t>(n));
  EXPECT_TRUE(got == big.substr(0, got.size()));
  EXPECT_EQ(client_->SendText("END"), 3);
  EXPECT_EQ(PeerReceive(peer.get(), 3), "END");
}

TEST_F(TcpClientThreaded, UnconnectedCallsTouchNothing) {
  char buf[8] = {};
  EXPECT_FALSE(client_->Active());
  EXPECT_EQ(client_->SendBuf("x", 1), -1);
  EXPECT_EQ(client_->SendText("x"), -1);
  EXPECT_EQ(client_->ReceiveBuf(buf, sizeof buf), 0);

  Fd peer = Connect();
  ASSERT_GE(peer.get(), 0);
  ASSERT_TRUE(PeerSend(peer.get(), "abc"));
  ASSERT_TRUE(PeerSendAcknowledged(peer.get()));
  EXPECT_EQ(client_->ReceiveBuf(nullptr, 8), 0);
  EXPECT_EQ(client_->ReceiveBuf(buf, 0), 0);
  EXPECT_EQ(client_->ReceiveBuf(buf, -5), 0);
  EXPECT_EQ(client_->ReceiveBuf(buf, sizeof buf), 3);  // the calls above consumed nothing
  EXPECT_EQ(std::string(buf, 3), "abc");
}

// The projector accepts and ends the connection before the view thread looks: the
// notifications must still tell the connection's whole history, in order, with the local
// address known when the connection is reported.
TEST_F(TcpClientThreaded, ConnectionEndedBeforeTheViewLooksIsStillReportedConnectedFirst) {
  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "close");
    rec_.names.clear();
    Target(PortOf(listener_.get()));
    std::string localAtConnect;
    ASSERT_TRUE(client_->Open());
    {
      Fd peer = Accept(listener_.get());
      ASSERT_GE(peer.get(), 0);
      if (reset) {
        const linger abortive{1, 0};
        ::setsockopt(peer.get(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
      }
    }
    // Nothing pumped yet: wait until the client itself has seen the end.
    const auto deadline = Clock::now() + kEventTimeout;
    while (client_->Active() && Clock::now() < deadline) view_.WaitForPending(5ms);
    ASSERT_FALSE(client_->Active());
    rec_.onConnect = [&] { localAtConnect = client_->LocalAddress(); };
    ASSERT_TRUE(PumpFor("disconnect"));
    std::vector<std::string> names = rec_.names;
    std::erase(names, "read");  // a readable note before the end may or may not be given
    const std::vector<std::string> tail = reset
                                              ? std::vector<std::string>{"connecting", "connect", "error", "disconnect"}
                                              : std::vector<std::string>{"connecting", "connect", "disconnect"};
    EXPECT_EQ(names, tail);
    EXPECT_EQ(localAtConnect, "127.0.0.1");
    rec_.onConnect = nullptr;
  }
}

TEST_F(TcpClientThreaded, FullBufferTakesNothingAndAFailedConnectionGivesMinusOne) {
  Fd peer = Connect();
  ASSERT_GE(peer.get(), 0);
  const std::string big = Pattern(16 * 1024 * 1024);
  int total = 0;
  int taken = 1;
  for (int i = 0; i < 64 && taken > 0; ++i) {
    taken = client_->SendBuf(big.data(), static_cast<int>(big.size()));
    ASSERT_GE(taken, 0);
    total += taken;
  }
  EXPECT_EQ(taken, 0) << "a full buffer takes nothing, and that is no failure";
  EXPECT_TRUE(client_->Active());
  EXPECT_GT(total, 0);
  {
    const linger abortive{1, 0};
    ::setsockopt(peer.get(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    Fd gone = std::move(peer);
  }
  int result = 0;
  const auto deadline = Clock::now() + kEventTimeout;
  while (result >= 0 && Clock::now() < deadline) {
    result = client_->SendBuf("x", 1);
    if (result >= 0) view_.WaitForPending(5ms);
  }
  EXPECT_EQ(result, -1);
}

TEST_F(TcpClientThreaded, RefusedConnectionGivesErrorWithoutDisconnect) {
  const Fd closed = BoundNotListening();
  const std::uint16_t port = PortOf(closed.get());
  ASSERT_NE(port, 0);
  Target(port);
  ASSERT_TRUE(client_->Open());
  ASSERT_TRUE(PumpFor("error"));
  EXPECT_EQ(rec_.names, (std::vector<std::string>{"connecting", "error"}));
  EXPECT_EQ(rec_.errorCodes, (std::vector<int>{ECONNREFUSED}));
  EXPECT_FALSE(client_->Active());
  EXPECT_EQ(client_->LocalAddress(), "");
  PumpQuietWindow();
  client_->Close();  // nothing is open any more
  PumpQuietWindow();
  EXPECT_EQ(rec_.names, (std::vector<std::string>{"connecting", "error"}));
}

TEST_F(TcpClientThreaded, MalformedAddressesAreRefusedWithoutNotification) {
  const char* const texts[] = {"192.168.0.300", "10-0-0-1", "1.2.3", "", "abc", "127.0.0.1 ", "::1"};
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    Target(PortOf(listener_.get()), text);
    EXPECT_FALSE(client_->Open());
    EXPECT_FALSE(client_->Active());
  }
  PumpQuietWindow();
  EXPECT_TRUE(rec_.names.empty());
}

TEST_F(TcpClientThreaded, MalformedAddressLeavesTheOpenConnectionAlone) {
  Fd peer = Connect();
  ASSERT_GE(peer.get(), 0);
  client_->SetAddress("10-0-0-1");
  EXPECT_FALSE(client_->Open());
  EXPECT_TRUE(client_->Active());
  EXPECT_EQ(client_->SendText("still"), 5);
  EXPECT_EQ(PeerReceive(peer.get(), 5), "still");
  EXPECT_EQ(rec_.names, (std::vector<std::string>{"connecting", "connect"}));
}

TEST_F(TcpClientThreaded, CloseOnViewThreadNotifiesOnceSynchronously) {
  Fd peer = Connect();
  ASSERT_GE(peer.get(), 0);
  client_->Close();
  EXPECT_EQ(rec_.names, (std::vector<std::string>{"connecting", "connect", "disconnect"}));
  EXPECT_FALSE(client_->Active());
  EXPECT_EQ(client_->LocalAddress(), "");
  client_->Close();
  PumpQuietWindow();
  EXPECT_EQ(rec_.Count("disconnect"), 1);
  EXPECT_TRUE(PeerSeesEnd(peer.get()));
}

TEST_F(TcpClientThreaded, CloseWithNothingOpenNotifiesNothing) {
  client_->Close();
  PumpQuietWindow();
  EXPECT_TRUE(rec_.names.empty());
}

TEST_F(TcpClientThreaded, CloseWhileConnectingNotifiesDisconnect) {
  // A full backlog leaves the attempt unanswered; Open must still return at once.
  Fd busy = Listen(0);
  ASSERT_GE(busy.get(), 0);
  const sockaddr_in addr = Loopback(PortOf(busy.get()));
  std::vector<Fd> fillers;
  for (int i = 0; i < 4; ++i) {
    Fd f(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    ::connect(f.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    fillers.push_back(std::move(f));
  }
  Target(PortOf(busy.get()));
  const auto start = Clock::now();
  ASSERT_TRUE(client_->Open());
  // A connect that waited would take the SYN's first resend, a second at least.
  EXPECT_LT(Clock::now() - start, 1000ms);
  EXPECT_TRUE(client_->Active());
  client_->Close();  // before pumping: a connect that did complete is dropped as stale
  EXPECT_FALSE(client_->Active());
  EXPECT_EQ(rec_.names, (std::vector<std::string>{"connecting", "disconnect"}));
  PumpQuietWindow();
  EXPECT_EQ(rec_.names, (std::vector<std::string>{"connecting", "disconnect"}));
}

TEST_F(TcpClientThreaded, CloseFromAnotherThreadPostsTheNotification) {
  Fd peer = Connect();
  ASSERT_GE(peer.get(), 0);
  std::thread([this] { client_->Close(); }).join();
  EXPECT_FALSE(client_->Active());
  EXPECT_EQ(rec_.Count("disconnect"), 0);  // queued for the view, not yet run
  ASSERT_TRUE(PumpFor("disconnect"));
  PumpQuietWindow();
  EXPECT_EQ(rec_.names, (std::vector<std::string>{"connecting", "connect", "disconnect"}));
  EXPECT_TRUE(PeerSeesEnd(peer.get()));
}

TEST_F(TcpClientThreaded, CloseOnViewThreadGivesAPendingPostedDisconnectOnce) {
  Fd peer = Connect();
  ASSERT_GE(peer.get(), 0);
  std::thread([this] { client_->Close(); }).join();
  client_->Close();  // the owed notification comes now, the queued one is dropped
  EXPECT_EQ(rec_.Count("disconnect"), 1);
  PumpQuietWindow();
  EXPECT_EQ(rec_.Count("disconnect"), 1);
}

TEST_F(TcpClientThreaded, PeerCloseKeepsUnreadDataReadable) {
  Fd peer = Connect();
  ASSERT_GE(peer.get(), 0);
  // Small reads per notification, so the peer's close arrives long before the last byte is read.
  std::string got;
  bool sawZero = false;
  rec_.onRead = [&] {
    char buf[1000];
    const int n = client_->ReceiveBuf(buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    if (n == 0) sawZero = true;
  };
  const std::string sent = Pattern(48 * 1024);
  ASSERT_TRUE(PeerSend(peer.get(), sent));
  peer.Reset();
  ASSERT_TRUE(PumpFor("disconnect"));
  EXPECT_EQ(got.size(), sent.size());
  EXPECT_TRUE(got == sent);
  EXPECT_EQ(rec_.names.back(), "disconnect");
  PumpQuietWindow();
  EXPECT_EQ(rec_.Count("disconnect"), 1);
  EXPECT_EQ(rec_.Count("error"), 0);
  EXPECT_FALSE(client_->Active());
  char buf[8];
  EXPECT_EQ(client_->ReceiveBuf(buf, sizeof buf), 0);
  (void)sawZero;  // either the last read or the I/O thread may end the connection
}

TEST_F(TcpClientThreaded, UnreadDataOutlivesThePeerCloseUntilRead) {
  Fd peer = Connect();
  ASSERT_GE(peer.get(), 0);
  ASSERT_TRUE(PeerSend(peer.get(), "xyz"));
  ASSERT_TRUE(PumpFor("read"));  // not read by the handler
  peer.Reset();
  PumpQuietWindow();
  EXPECT_EQ(rec_.Count("disconnect"), 0) << "closed with data unread";
  EXPECT_TRUE(client_->Active());
  char buf[16];
  ASSERT_EQ(client_->ReceiveBuf(buf, sizeof buf), 3);
  EXPECT_EQ(std::string(buf, 3), "xyz");
  // The next read sees EOF unless the re-armed I/O thread got there first: 0 either way.
  bool zero = false;
  ASSERT_TRUE(WaitFor([&] {
    zero = zero || client_->ReceiveBuf(buf, sizeof buf) == 0;
    return zero;
  }));
  ASSERT_TRUE(PumpFor("disconnect"));
  PumpQuietWindow();
  EXPECT_EQ(rec_.Count("disconnect"), 1);
  EXPECT_EQ(rec_.Count("error"), 0);
  EXPECT_FALSE(client_->Active());
}

TEST_F(TcpClientThreaded, ResetGivesErrorThenDisconnect) {
  Fd peer = Connect();
  ASSERT_GE(peer.get(), 0);
  const linger hard{1, 0};
  ASSERT_EQ(::setsockopt(peer.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
  peer.Reset();  // sends a reset
  ASSERT_TRUE(PumpFor("disconnect"));
  PumpQuietWindow();
  EXPECT_EQ(rec_.names, (std::vector<std::string>{"connecting", "connect", "error", "disconnect"}));
  EXPECT_EQ(rec_.errorCodes, (std::vector<int>{ECONNRESET}));
  EXPECT_FALSE(client_->Active());
}

TEST_F(TcpClientThreaded, SendingToAVanishedPeerDoesNotRaiseSigpipe) {
  Fd peer = Connect();
  ASSERT_GE(peer.get(), 0);
  ASSERT_TRUE(PeerSend(peer.get(), "x"));
  ASSERT_TRUE(PumpFor("read"));  // left unread: the connection stays open after the peer goes
  peer.Reset();
  // The first send is answered with a reset; a later one fails (EPIPE without MSG_NOSIGNAL
  // would kill the test program).
  bool failed = false;
  ASSERT_TRUE(WaitFor([&] {
    failed = failed || client_->SendText("ping") == -1;
    return failed;
  }));
  char buf[8];
  ASSERT_TRUE(WaitFor([&] { return client_->ReceiveBuf(buf, sizeof buf) == 0; }));
  ASSERT_TRUE(PumpFor("disconnect"));
  PumpQuietWindow();
  EXPECT_EQ(rec_.Count("disconnect"), 1);
}

TEST_F(TcpClientThreaded, ReadableIsNotRepostedUntilReceiveIsCalled) {
  Fd peer = Connect();
  ASSERT_GE(peer.get(), 0);
  ASSERT_TRUE(PeerSend(peer.get(), "a"));
  ASSERT_TRUE(PumpFor("read"));
  ASSERT_TRUE(PeerSend(peer.get(), "b"));
  ASSERT_TRUE(PeerSend(peer.get(), "c"));
  // Sync point: "b" and "c" are in the client's socket. A client that re-posted on new
  // data would do so within the quiet window.
  ASSERT_TRUE(PeerSendAcknowledged(peer.get()));
  PumpQuietWindow();
  EXPECT_EQ(rec_.Count("read"), 1);

  char buf[16];
  ASSERT_EQ(client_->ReceiveBuf(buf, 1), 1);  // re-arms; "bc" still waits
  EXPECT_EQ(buf[0], 'a');
  ASSERT_TRUE(PumpFor("read", 2));
  PumpQuietWindow();
  EXPECT_EQ(rec_.Count("read"), 2);  // disarmed again until the next read
  ASSERT_EQ(client_->ReceiveBuf(buf, sizeof buf), 2);
  EXPECT_EQ(std::string(buf, 2), "bc");
  EXPECT_EQ(client_->ReceiveBuf(buf, sizeof buf), -1);

  ASSERT_TRUE(PeerSend(peer.get(), "d"));
  ASSERT_TRUE(PumpFor("read", 3));
  ASSERT_EQ(client_->ReceiveBuf(buf, sizeof buf), 1);
  EXPECT_EQ(buf[0], 'd');
  EXPECT_EQ(rec_.Count("disconnect"), 0);
}

TEST_F(TcpClientThreaded, ReopenWhileConnectedEndsTheOldConnectionFirst) {
  Fd first = Connect();
  ASSERT_GE(first.get(), 0);
  // Data that would give the old connection a readable notification, queued but not run.
  ASSERT_TRUE(PeerSend(first.get(), "old"));
  ASSERT_TRUE(PeerSendAcknowledged(first.get()));
  ASSERT_TRUE(client_->Open());
  EXPECT_EQ(rec_.names, (std::vector<std::string>{"connecting", "connect", "disconnect", "connecting"}));
  EXPECT_TRUE(PeerSeesEnd(first.get()));
  Fd second = Accept(listener_.get());
  ASSERT_GE(second.get(), 0);
  ASSERT_TRUE(PumpFor("connect", 2));
  PumpQuietWindow();
  EXPECT_EQ(rec_.names, (std::vector<std::string>{"connecting", "connect", "disconnect", "connecting", "connect"}));
  ASSERT_TRUE(PeerSend(second.get(), "new"));
  ASSERT_TRUE(PumpFor("read"));
  EXPECT_EQ(ReceiveExactly(3), "new");
}

TEST_F(TcpClientThreaded, ReopenBeforeConnectIsDeliveredDropsTheStaleConnect) {
  Target(PortOf(listener_.get()));
  ASSERT_TRUE(client_->Open());
  Fd first = Accept(listener_.get());  // the handshake is done; its notification is queued or near
  ASSERT_GE(first.get(), 0);
  ASSERT_TRUE(client_->Open());
  EXPECT_EQ(rec_.names, (std::vector<std::string>{"connecting", "disconnect", "connecting"}));
  Fd second = Accept(listener_.get());
  ASSERT_GE(second.get(), 0);
  ASSERT_TRUE(PumpFor("connect"));
  PumpQuietWindow();
  EXPECT_EQ(rec_.names, (std::vector<std::string>{"connecting", "disconnect", "connecting", "connect"}));
  EXPECT_TRUE(PeerSeesEnd(first.get()));
}

TEST_F(TcpClientThreaded, DestroyedClientLeavesQueuedWorkHarmless) {
  Fd peer = Connect();
  ASSERT_GE(peer.get(), 0);
  ASSERT_TRUE(PeerSend(peer.get(), "late"));
  ASSERT_TRUE(PeerSendAcknowledged(peer.get()));
  std::thread([this] { client_->Close(); }).join();  // queues a disconnect
  const std::size_t before = rec_.names.size();
  client_.reset();
  PumpQuietWindow();  // runs whatever was queued for the destroyed client
  EXPECT_EQ(rec_.names.size(), before);
  EXPECT_TRUE(PeerSeesEnd(peer.get()));
}

TEST_F(TcpClientThreaded, WorkerReadsAndSendsWhileTheViewCloses) {
  // Several rounds, so that socket numbers are reused while a worker still calls in.
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    Fd peer = Connect();
    ASSERT_GE(peer.get(), 0);
    ASSERT_TRUE(PeerSend(peer.get(), Pattern(2000)));
    std::atomic<int> calls{0};
    std::atomic<bool> stop{false};
    std::thread worker([&] {
      char buf[256];
      const auto deadline = Clock::now() + kEventTimeout;
      for (int i = 0; i < 1000000 && !stop.load() && Clock::now() < deadline; ++i) {
        client_->ReceiveBuf(buf, sizeof buf);
        client_->SendBuf("ping", 4);
        client_->Active();
        client_->LocalAddress();
        calls.fetch_add(1);
      }
      client_->Close();  // a second closer; only one disconnect may result
    });
    const bool busy = WaitFor([&] { return calls.load() >= 200; });
    client_->Close();
    const bool after = WaitFor([&, at = calls.load()] { return calls.load() >= at + 200; });
    stop.store(true);
    worker.join();
    EXPECT_TRUE(busy);
    EXPECT_TRUE(after);
    ASSERT_TRUE(PumpFor("disconnect", round + 1));
    PumpQuietWindow();
    EXPECT_EQ(rec_.Count("disconnect"), round + 1);
    EXPECT_FALSE(client_->Active());
    EXPECT_TRUE(PeerSeesEnd(peer.get()));
  }
  EXPECT_EQ(rec_.Count("connect"), 5);
}

TEST_F(TcpClientThreaded, DestroyedAfterTheLoopStopped) {
  Fd peer = Connect();
  ASSERT_GE(peer.get(), 0);
  ASSERT_TRUE(PeerSend(peer.get(), "late"));
  ASSERT_TRUE(PumpFor("read"));
  loop_->Stop();  // the watch still pending never completes
  const std::size_t before = rec_.names.size();
  client_->Close();  // on the view's thread: told at once, as ever
  EXPECT_EQ(rec_.names.size(), before + 1);
  EXPECT_EQ(rec_.names.back(), "disconnect");
  client_.reset();
  PumpQuietWindow();
  EXPECT_EQ(rec_.names.size(), before + 1);
  EXPECT_TRUE(PeerSeesEnd(peer.get()));
}

// The connection and its timer are watched and counted on the loop: no thread of their own.
TEST_F(TcpClientThreaded, ClientAndTimerStartNoThreadBesideTheLoop) {
  client_.reset();
  const std::size_t withLoop = ThreadsOfProcess();
  client_ = CreateTcpClient(view_, *loop_);
  client_->SetEvents(&rec_);
  int fired = 0;
  ViewTimer timer(view_, *loop_, [&] { ++fired; }, 20);
  timer.SetEnabled(true);
  Fd peer = Connect();
  ASSERT_GE(peer.get(), 0);
  ASSERT_TRUE(view_.PumpUntil([&] { return fired >= 2; }, kEventTimeout));
  ASSERT_TRUE(PeerSend(peer.get(), "bytes"));
  ASSERT_TRUE(PumpFor("read"));
  EXPECT_EQ(ThreadsOfProcess(), withLoop);
}

}  // namespace
}  // namespace tessaly::testing
