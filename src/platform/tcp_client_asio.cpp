#include <asio/ip/address_v4.hpp>
#include <asio/ip/tcp.hpp>

#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/asio_loop.h"
#include "platform/tcp_client.h"

namespace tessaly {
namespace {

using asio::ip::tcp;

enum class Phase { Idle, Connecting, Connected };
enum class Note { Connecting, Connect, Disconnect, Read, Error };

struct Emission {
  Note note;
  int code = 0;
};

bool WouldBlock(const asio::error_code& ec) {
  return ec == asio::error::would_block || ec == asio::error::try_again || ec == asio::error::interrupted;
}

// All state of one client. Posted notifications and pending I/O handlers hold a
// reference, so work still queued after the client is destroyed finds a live (and
// silenced) object; the socket itself goes with the client, before the loop's
// io_context. The socket is touched only under mu_, from whichever thread.
class Core : public std::enable_shared_from_this<Core> {
 public:
  Core(TaskQueue& view, asio::io_context& io) : view_(view) { socket_.emplace(io); }

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
    tcp::endpoint peer;
    {
      std::lock_guard<std::mutex> lock(mu_);
      asio::error_code bad;
      const asio::ip::address_v4 address = asio::ip::make_address_v4(address_, bad);
      if (bad) return false;
      peer = tcp::endpoint(address, port_);
    }
    Close();
    std::uint64_t before;
    {
      std::lock_guard<std::mutex> lock(mu_);
      before = conn_;
    }
    Emit({Note::Connecting});

    std::lock_guard<std::mutex> lock(mu_);
    // A handler that closed or reopened during the connecting notification wins.
    if (conn_ != before || stop_) return true;
    ++conn_;
    local_.clear();
    asio::error_code ec;
    socket_->open(tcp::v4(), ec);
    // Non-blocking for the synchronous sends and receives of any thread.
    if (!ec) socket_->non_blocking(true, ec);
    if (ec) {
      // No socket stays open, so no disconnected notification follows.
      if (socket_->is_open()) CloseSocketLocked();
      PostLocked(IfCurrent(conn_, {Note::Error, ec.value()}));
      return true;
    }
    // Small request/response frames and paced packets: Nagle would only add latency.
    asio::error_code ignored;
    socket_->set_option(tcp::no_delay(true), ignored);
    ++sock_;
    phase_ = Phase::Connecting;
    socket_->async_connect(
        peer, [self = shared_from_this(), sock = sock_](const asio::error_code& e) { self->Connected(sock, e); });
    return true;
  }

  void Close() {
    const bool onView = view_.OnQueueThread();
    int now = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++conn_;  // drops anything still queued for the old connection
      local_.clear();
      const bool wasOpen = socket_->is_open();
      if (wasOpen) CloseSocketLocked();
      if (onView) {
        now = owedDisconnects_ + (wasOpen ? 1 : 0);
        owedDisconnects_ = 0;
      } else if (wasOpen) {
        ++owedDisconnects_;
        PostLocked(OwedDisconnect());
      }
    }
    for (int i = 0; i < now; ++i) Emit({Note::Disconnect});
  }

  bool Active() const {
    std::lock_guard<std::mutex> lock(mu_);
    return socket_ && socket_->is_open();
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
      asio::error_code ec;
      const std::size_t n = socket_->send(asio::buffer(bytes + sent, static_cast<std::size_t>(length - sent)), 0, ec);
      if (!ec && n > 0) {
        sent += static_cast<int>(n);
      } else if (ec == asio::error::interrupted && ++interrupts < 16) {
        continue;
      } else if (ec == asio::error::would_block || ec == asio::error::try_again) {
        break;  // the buffer is full: the caller waits and sends the rest
      } else {
        // A failure, which the watch reports too; what was taken before it counts.
        return sent > 0 ? sent : -1;
      }
    }
    return sent;
  }

  int ReceiveBuf(void* buffer, int length) {
    if (!buffer || length <= 0) return 0;
    const bool onView = view_.OnQueueThread();
    std::vector<Emission> now;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (phase_ != Phase::Connected) return 0;
      asio::error_code ec;
      const std::size_t n = socket_->receive(asio::buffer(buffer, static_cast<std::size_t>(length)), 0, ec);
      if (!readArmed_) {
        readArmed_ = true;  // like FD_READ: the next readable notification may come
        errorWatchSpent_ = false;
        WatchLocked();
      }
      if (!ec && n > 0) return static_cast<int>(n);
      if (WouldBlock(ec)) return -1;
      const int error = ec == asio::error::eof ? 0 : ec.value();
      // The peer closed (EOF) or the connection failed: it ends here.
      CloseSocketLocked();
      if (onView) {
        if (error != 0) now.push_back({Note::Error, error});
        const int count = 1 + owedDisconnects_;  // this one and any still queued
        owedDisconnects_ = 0;
        for (int i = 0; i < count; ++i) now.push_back({Note::Disconnect});
      } else {
        ++owedDisconnects_;
        PostLocked(error != 0 ? ErrorThenDisconnect(conn_, error) : OwedDisconnect());
      }
    }
    for (const Emission& e : now) Emit(e);
    return 0;
  }

  void Shutdown() {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    events_ = nullptr;  // queued notifications fall silent
    ++conn_;
    owedDisconnects_ = 0;
    if (socket_->is_open()) CloseSocketLocked();
  }

  // After Shutdown: the socket must not outlive the loop's io_context, and the handlers
  // still pending on the loop see stop_ and never reach for it.
  void ReleaseSocket() {
    std::lock_guard<std::mutex> lock(mu_);
    socket_.reset();
  }

 private:
  // Runs on the loop's thread when the attempt ends.
  void Connected(std::uint64_t sock, const asio::error_code& ec) {
    std::lock_guard<std::mutex> lock(mu_);
    if (sock != sock_ || stop_) return;  // closed or reopened since
    if (!ec) {
      phase_ = Phase::Connected;
      readArmed_ = true;
      local_ = LocalTextLocked();
      PostLocked(IfCurrent(conn_, {Note::Connect}));
      WatchLocked();
      return;
    }
    if (ec == asio::error::connection_reset || ec == asio::error::broken_pipe) {
      // Made, then reset before we looked (a refusal would say so): reported as made,
      // then as ended, as the projector saw it.
      phase_ = Phase::Connected;
      local_ = LocalTextLocked();
      PostLocked(IfCurrent(conn_, {Note::Connect}));
      EndLocked(ec.value());
      return;
    }
    // No connection was made: closed without a disconnected notification.
    CloseSocketLocked();
    PostLocked(IfCurrent(conn_, {Note::Error, ec.value()}));
  }

  // Armed: wait until readable. Disarmed: wait once for a failure only (a reset), since
  // unread data keeps the socket readable and the peer's plain close must not end the
  // connection before that data is read.
  void WatchLocked() {
    if (phase_ != Phase::Connected || stop_) return;
    if (readArmed_) {
      if (readWaiting_) return;
      readWaiting_ = true;
      socket_->async_wait(tcp::socket::wait_read, [self = shared_from_this(), sock = sock_](
                                                      const asio::error_code& ec) { self->Watched(sock, ec, false); });
    } else if (!errorWaiting_ && !errorWatchSpent_) {
      errorWaiting_ = true;
      socket_->async_wait(tcp::socket::wait_error, [self = shared_from_this(), sock = sock_](
                                                       const asio::error_code& ec) { self->Watched(sock, ec, true); });
    }
  }

  // Runs on the loop's thread.
  void Watched(std::uint64_t sock, const asio::error_code& ec, bool errorWait) {
    std::lock_guard<std::mutex> lock(mu_);
    if (sock != sock_ || stop_) return;  // closed or reopened since: another socket now
    (errorWait ? errorWaiting_ : readWaiting_) = false;
    // The error wait stays ready once the socket failed (or its peer left): re-arming it
    // before the next read would spin.
    if (errorWait) errorWatchSpent_ = true;
    if (ec == asio::error::operation_aborted || phase_ != Phase::Connected) return;
    char probe;
    asio::error_code peek;
    const std::size_t n = socket_->receive(asio::buffer(&probe, 1), tcp::socket::message_peek, peek);
    if (!peek && n > 0) {
      // Unread data keeps the connection alive until it is read, even after EOF.
      if (readArmed_) {
        readArmed_ = false;
        PostLocked(IfCurrent(conn_, {Note::Read}));
      }
      WatchLocked();
      return;
    }
    if (WouldBlock(peek)) {
      WatchLocked();  // nothing happened after all
      return;
    }
    // EOF with nothing unread, or a failure such as a reset.
    EndLocked(peek == asio::error::eof ? 0 : peek.value());
  }

  // The connection ended by the peer or the network: a disconnect is owed for it.
  void EndLocked(int error) {
    CloseSocketLocked();
    ++owedDisconnects_;
    PostLocked(error != 0 ? ErrorThenDisconnect(conn_, error) : OwedDisconnect());
  }

  // Taken when the connection is made: a projector that closes at once must not leave
  // the connected notification, delivered later, without the address.
  std::string LocalTextLocked() const {
    asio::error_code ec;
    const tcp::endpoint local = socket_->local_endpoint(ec);
    if (ec || !local.address().is_v4()) return "";
    return local.address().to_v4().to_string();
  }

  void CloseSocketLocked() {
    asio::error_code ignored;
    socket_->close(ignored);  // pending waits complete as aborted, for a stale socket
    phase_ = Phase::Idle;
    readArmed_ = false;
    readWaiting_ = false;
    errorWaiting_ = false;
    errorWatchSpent_ = false;
    ++sock_;
  }

  // Posted under mu_, so the view gets the notifications in the order of the changes.
  void PostLocked(std::function<void()> work) { view_.Post(std::move(work)); }

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

  mutable std::mutex mu_;
  std::optional<tcp::socket> socket_;
  TcpClientEvents* events_ = nullptr;
  std::string address_;
  std::uint16_t port_ = 0;
  Phase phase_ = Phase::Idle;
  std::uint64_t sock_ = 1;  // bumped on every open and close: I/O handlers of older sockets are stale
  // Bumped only when we open or close: what the projector does to a connection (its
  // close, a reset) keeps the notifications already queued for it, in order.
  std::uint64_t conn_ = 1;
  std::string local_;  // of the connection last made, until we open or close again
  bool readArmed_ = false;
  bool readWaiting_ = false;
  bool errorWaiting_ = false;
  bool errorWatchSpent_ = false;
  int owedDisconnects_ = 0;
  bool stop_ = false;
};

class AsioTcpClient final : public TcpClient {
 public:
  AsioTcpClient(TaskQueue& view, asio::io_context& io) : core_(std::make_shared<Core>(view, io)) {}
  // The loop may run on: its handlers still pending keep the core and find it silenced.
  ~AsioTcpClient() override {
    core_->Shutdown();  // quietly: the events object may already be gone
    core_->ReleaseSocket();
  }
  AsioTcpClient(const AsioTcpClient&) = delete;
  AsioTcpClient& operator=(const AsioTcpClient&) = delete;

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
};

}  // namespace

std::unique_ptr<TcpClient> CreateTcpClient(TaskQueue& view, UpdateLoop& loop) {
  asio::io_context* io = AsioContextOf(loop);
  if (!io) throw std::invalid_argument("CreateTcpClient: the loop has no io_context (not the system's loop)");
  return std::make_unique<AsioTcpClient>(view, *io);
}

}  // namespace tessaly
