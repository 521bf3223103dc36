#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/tcp_client.h"

namespace tessaly {
namespace {

#ifdef POLLRDHUP
constexpr short kPeerShutdown = POLLRDHUP;
#else
constexpr short kPeerShutdown = 0;  // hang-ups still show as POLLHUP
#endif

enum class Phase { Idle, Connecting, Connected };
using Posts = std::vector<std::function<void()>>;
enum class Note { Connecting, Connect, Disconnect, Read, Error };

struct Emission {
  Note note;
  int code = 0;
};

// All state of one client. Posted notifications hold a reference, so work still queued
// on the view after the client is destroyed finds a live (and silenced) object.
class Core : public std::enable_shared_from_this<Core> {
 public:
  explicit Core(TaskQueue& view) : view_(view) {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
      throw std::system_error(errno, std::generic_category(), "tcp client wake-up pipe");
    }
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
  }

  ~Core() {
    if (fd_ >= 0) ::close(fd_);
    ::close(wakeRead_);
    ::close(wakeWrite_);
  }

  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  void SetEvents(TcpClientEvents* events) {
    std::lock_guard<std::mutex> lock(mu_);
    events_ = events;
  }
  void SetPort(std::uint16_t port) {
    std::lock_guard<std::mutex> lock(mu_);
    port_ = port;
  }
  void SetAddress(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    address_ = text;
  }

  bool Open() {
    sockaddr_in peer{};
    {
      std::lock_guard<std::mutex> lock(mu_);
      peer.sin_family = AF_INET;
      peer.sin_port = htons(port_);
      if (::inet_pton(AF_INET, address_.c_str(), &peer.sin_addr) != 1) return false;
    }
    Close();
    std::uint64_t before;
    {
      std::lock_guard<std::mutex> lock(mu_);
      before = gen_;
    }
    Emit({Note::Connecting});

    Posts posts;
    std::unique_lock<std::mutex> lock(mu_);
    // A handler that closed or reopened during the connecting notification wins.
    if (gen_ != before || stop_) return true;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int err = fd < 0 ? errno : 0;
    if (fd >= 0) {
      // Small request/response frames and paced packets: Nagle would only add latency.
      const int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0 &&
          errno != EINPROGRESS) {
        err = errno;
        ::close(fd);
      }
    }
    ++gen_;
    ++conn_;
    local_.clear();
    if (err != 0) {
      // No socket stays open, so no disconnected notification follows.
      posts.push_back(IfCurrent(conn_, {Note::Error, err}));
    } else {
      fd_ = fd;
      phase_ = Phase::Connecting;
      WakeLocked();
    }
    lock.unlock();
    PostAll(posts);
    return true;
  }

  void Close() {
    const bool onView = view_.OnQueueThread();
    int now = 0;
    bool post = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++gen_;
      ++conn_;  // drops anything still queued for the old connection
      local_.clear();
      const bool wasOpen = fd_ >= 0;
      if (wasOpen) CloseFdLocked();
      if (onView) {
        now = owedDisconnects_ + (wasOpen ? 1 : 0);
        owedDisconnects_ = 0;
      } else if (wasOpen) {
        ++owedDisconnects_;
        post = true;
      }
    }
    if (post) view_.Post(OwedDisconnect());
    for (int i = 0; i < now; ++i) Emit({Note::Disconnect});
  }

  bool Active() const {
    std::lock_guard<std::mutex> lock(mu_);
    return fd_ >= 0;
  }

  std::string LocalAddress() const {
    std::lock_guard<std::mutex> lock(mu_);
    return local_;
  }

  int SendBuf(const void* data, int length) {
    if (!data || length < 0) return -1;
    std::lock_guard<std::mutex> lock(mu_);
    if (phase_ != Phase::Connected) return -1;
    const char* bytes = static_cast<const char*>(data);
    int sent = 0;
    int interrupts = 0;
    while (sent < length) {
      const ssize_t n = ::send(fd_, bytes + sent, static_cast<std::size_t>(length - sent),
                               MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        sent += static_cast<int>(n);
      } else if (n < 0 && errno == EINTR && ++interrupts < 16) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        break;  // the buffer is full: the caller waits and sends the rest
      } else {
        // A failure, which the I/O thread reports too; what was taken before it counts.
        return sent > 0 ? sent : -1;
      }
    }
    return sent;
  }

  int ReceiveBuf(void* buffer, int length) {
    if (!buffer || length <= 0) return 0;
    const bool onView = view_.OnQueueThread();
    std::vector<Emission> now;
    int error = 0;
    bool post = false;
    std::uint64_t tag = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (phase_ != Phase::Connected) return 0;
      const ssize_t n = ::recv(fd_, buffer, static_cast<std::size_t>(length), MSG_DONTWAIT);
      const int recvErrno = errno;
      if (!readArmed_) {
        readArmed_ = true;  // like FD_READ: the next readable notification may come
        WakeLocked();
      }
      if (n > 0) return static_cast<int>(n);
      if (n < 0) {
        if (recvErrno == EAGAIN || recvErrno == EWOULDBLOCK || recvErrno == EINTR) return -1;
        error = recvErrno;
      }
      // The peer closed (EOF) or the connection failed: it ends here.
      CloseFdLocked();
      tag = conn_;
      if (onView) {
        if (error != 0) now.push_back({Note::Error, error});
        const int count = 1 + owedDisconnects_;  // this one and any still queued
        owedDisconnects_ = 0;
        for (int i = 0; i < count; ++i) now.push_back({Note::Disconnect});
      } else {
        ++owedDisconnects_;
        post = true;
      }
    }
    if (post) view_.Post(error != 0 ? ErrorThenDisconnect(tag, error) : OwedDisconnect());
    EmitAll(now);
    return 0;
  }

  // Runs on the I/O thread until Shutdown.
  void Run() {
    for (;;) {
      pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {-1, 0, 0}};
      std::uint64_t gen;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (stop_) return;
        if (fd_ >= 0) {
          if (phase_ == Phase::Connecting) {
            fds[1] = {fd_, POLLOUT, 0};
          } else if (readArmed_) {
            fds[1] = {fd_, static_cast<short>(POLLIN | kPeerShutdown), 0};
          } else if (!peerShut_) {
            // Disarmed: only watch for the peer going away while nothing is unread.
            fds[1] = {fd_, kPeerShutdown, 0};
          }
          // Disarmed with the peer gone and data unread: left out, or poll would spin.
        }
        gen = gen_;
      }
      if (::poll(fds, 2, -1) < 0) continue;  // EINTR
      if (fds[0].revents != 0) DrainWake();
      if (fds[1].fd >= 0 && fds[1].revents != 0) Handle(gen, fds[1].revents);
    }
  }

  void Shutdown() {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    events_ = nullptr;  // queued notifications fall silent
    ++gen_;
    ++conn_;
    owedDisconnects_ = 0;
    if (fd_ >= 0) CloseFdLocked();
    WakeLocked();
  }

 private:
  void Handle(std::uint64_t gen, short revents) {
    Posts posts;
    Examine(gen, revents, posts);
    PostAll(posts);
  }

  void Examine(std::uint64_t gen, short revents, Posts& posts) {
    std::lock_guard<std::mutex> lock(mu_);
    {
      // Closed or reopened while polling: the number may now name another socket.
      if (gen != gen_ || fd_ < 0) return;
      if (phase_ == Phase::Connecting) {
        HandleConnectingLocked(revents, posts);
        return;
      }
      char probe;
      const ssize_t n = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
      const int peekErrno = errno;
      if (n > 0) {
        // Unread data keeps the connection alive until it is read, even after EOF.
        if (revents & (kPeerShutdown | POLLHUP | POLLERR)) peerShut_ = true;
        if (readArmed_) {
          readArmed_ = false;
          posts.push_back(IfCurrent(conn_, {Note::Read}));
        }
        return;
      }
      int error = 0;
      if (n < 0) {
        if (peekErrno == EAGAIN || peekErrno == EWOULDBLOCK || peekErrno == EINTR) {
          if (!(revents & (POLLERR | POLLHUP))) return;  // nothing happened after all
          socklen_t size = sizeof error;
          if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
          if (error == 0 && !(revents & POLLHUP)) return;
        } else {
          error = peekErrno;
        }
      }
      // EOF with nothing unread, or a failure such as a reset.
      CloseFdLocked();
      ++owedDisconnects_;
      posts.push_back(error != 0 ? ErrorThenDisconnect(conn_, error) : OwedDisconnect());
    }
  }

  void HandleConnectingLocked(short revents, Posts& posts) {
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    if (error == 0 && (revents & POLLOUT)) {
      phase_ = Phase::Connected;
      readArmed_ = true;
      local_ = LocalTextLocked();
      posts.push_back(IfCurrent(conn_, {Note::Connect}));
      return;
    }
    if (error == ECONNRESET || error == EPIPE) {
      // Made, then reset before we looked (a refusal would say ECONNREFUSED): reported as
      // made, then as ended, as the projector saw it.
      phase_ = Phase::Connected;
      local_ = LocalTextLocked();
      posts.push_back(IfCurrent(conn_, {Note::Connect}));
      CloseFdLocked();
      ++owedDisconnects_;
      posts.push_back(ErrorThenDisconnect(conn_, error));
      return;
    }
    if (error == 0) error = ECONNABORTED;
    // No connection was made: closed without a disconnected notification.
    CloseFdLocked();
    posts.push_back(IfCurrent(conn_, {Note::Error, error}));
  }

  // Taken when the connection is made: a projector that closes at once must not leave
  // the connected notification, delivered later, without the address.
  std::string LocalTextLocked() const {
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size) != 0) return "";
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text)) return "";
    return text;
  }

  void CloseFdLocked() {
    ::close(fd_);
    fd_ = -1;
    phase_ = Phase::Idle;
    readArmed_ = false;
    peerShut_ = false;
    ++gen_;
    WakeLocked();  // the I/O thread must stop polling the old number
  }

  void WakeLocked() {
    const char byte = 1;
    // A full pipe already guarantees a wake-up.
    [[maybe_unused]] const ssize_t n = ::write(wakeWrite_, &byte, 1);
  }

  void DrainWake() {
    char buf[64];
    for (int i = 0; i < 16 && ::read(wakeRead_, buf, sizeof buf) == static_cast<ssize_t>(sizeof buf); ++i) {
    }
  }

  // Work for the view is built under mu_ and posted after it is released.
  void PostAll(Posts& posts) {
    for (auto& work : posts) view_.Post(std::move(work));
  }

  std::function<void()> IfCurrent(std::uint64_t conn, Emission e) {
    return [self = shared_from_this(), conn, e] {
      TcpClientEvents* events;
      {
        std::lock_guard<std::mutex> lock(self->mu_);
        if (conn != self->conn_) return;  // stale: closed or reopened by us since
        events = self->events_;
      }
      EmitTo(events, e);
    };
  }

  std::function<void()> OwedDisconnect() {
    return [self = shared_from_this()] { self->DeliverOwedDisconnect(); };
  }

  std::function<void()> ErrorThenDisconnect(std::uint64_t conn, int error) {
    return [self = shared_from_this(), conn, error] {
      TcpClientEvents* events;
      bool current;
      {
        std::lock_guard<std::mutex> lock(self->mu_);
        current = conn == self->conn_;
        events = self->events_;
      }
      if (current) EmitTo(events, {Note::Error, error});
      self->DeliverOwedDisconnect();
    };
  }

  // A disconnect owed for a socket closed off the view thread. Open, Close or an EOF read
  // on the view thread give owed ones at once, so a new connection never precedes them.
  void DeliverOwedDisconnect() {
    TcpClientEvents* events;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (owedDisconnects_ == 0) return;
      --owedDisconnects_;
      events = events_;
    }
    EmitTo(events, {Note::Disconnect});
  }

  void Emit(Emission e) {
    TcpClientEvents* events;
    {
      std::lock_guard<std::mutex> lock(mu_);
      events = events_;
    }
    EmitTo(events, e);
  }

  void EmitAll(const std::vector<Emission>& list) {
    for (const Emission& e : list) Emit(e);
  }

  static void EmitTo(TcpClientEvents* events, Emission e) {
    if (!events) return;
    switch (e.note) {
      case Note::Connecting: events->ClientSocketConnecting(); break;
      case Note::Connect: events->ClientSocketConnect(); break;
      case Note::Disconnect: events->ClientSocketDisconnect(); break;
      case Note::Read: events->ClientSocketRead(); break;
      case Note::Error: {
        int code = e.code;
        events->ClientSocketError(code);  // a code left non-zero needs nothing more
        break;
      }
    }
  }

  TaskQueue& view_;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;

  mutable std::mutex mu_;
  TcpClientEvents* events_ = nullptr;
  std::string address_;
  std::uint16_t port_ = 0;
  int fd_ = -1;
  Phase phase_ = Phase::Idle;
  std::uint64_t gen_ = 1;  // bumped on every open and close: the I/O thread's socket changed
  // Bumped only when we open or close: what the projector does to a connection (its
  // close, a reset) keeps the notifications already queued for it, in order.
  std::uint64_t conn_ = 1;
  std::string local_;  // of the connection last made, until we open or close again
  bool readArmed_ = false;
  bool peerShut_ = false;
  int owedDisconnects_ = 0;
  bool stop_ = false;
};

class PosixTcpClient final : public TcpClient {
 public:
  explicit PosixTcpClient(TaskQueue& view) : core_(std::make_shared<Core>(view)) {
    io_ = std::thread([core = core_] { core->Run(); });
  }
  ~PosixTcpClient() override {
    core_->Shutdown();  // quietly: the events object may already be gone
    io_.join();
  }
  PosixTcpClient(const PosixTcpClient&) = delete;
  PosixTcpClient& operator=(const PosixTcpClient&) = delete;

  void SetEvents(TcpClientEvents* events) override { core_->SetEvents(events); }
  void SetPort(std::uint16_t port) override { core_->SetPort(port); }
  void SetAddress(const std::string& dottedIpv4) override { core_->SetAddress(dottedIpv4); }
  bool Open() override { return core_->Open(); }
  void Close() override { core_->Close(); }
  bool Active() const override { return core_->Active(); }
  std::string LocalAddress() const override { return core_->LocalAddress(); }
  int SendBuf(const void* data, int length) override { return core_->SendBuf(data, length); }
  int SendText(const std::string& text) override {
    const int length = text.size() > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(text.size());
    return core_->SendBuf(text.data(), length);
  }
  int ReceiveBuf(void* buffer, int length) override { return core_->ReceiveBuf(buffer, length); }

 private:
  std::shared_ptr<Core> core_;
  std::thread io_;
};

}  // namespace

std::unique_ptr<TcpClient> CreateTcpClient(TaskQueue& view) { return std::make_unique<PosixTcpClient>(view); }

}  // namespace tessaly
