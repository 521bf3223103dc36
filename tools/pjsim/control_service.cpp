#include "control_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>

#include "control_exchange.h"
#include "pj_protocol.h"
#include "posix_util.h"

namespace tessaly::pjsim {
namespace {

using namespace std::chrono_literals;

constexpr int kBacklog = 8;
constexpr std::size_t kReadSize = 4096;
constexpr int kMaxSendCalls = 1000;
constexpr int kMaxPollRestarts = 1000;
// A peer that stops reading must not hang the service thread.
constexpr timeval kSendTimeout{2, 0};
// Back-off when accept fails for want of resources, instead of spinning.
constexpr std::chrono::milliseconds kAcceptBackoff{100};

std::string LocalText(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

std::string PeerText(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

bool SendAll(int fd, std::span<const std::uint8_t> bytes, std::string& error) {
  std::size_t sent = 0;
  for (int call = 0; sent < bytes.size(); ++call) {
    if (call >= kMaxSendCalls) {
      error = "send made no progress";
      return false;
    }
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = ErrorText(errno);
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

CloseAt CloseAtFor(Reply reply) {
  switch (reply) {
    case Reply::kPjack: return CloseAt::kAfterPjack;
    case Reply::kUdAck: return CloseAt::kAfterUdAck;
    case Reply::kModelAnswer: return CloseAt::kAfterModelAnswer;
    case Reply::kSq: return CloseAt::kAfterSq;
    case Reply::kSc: return CloseAt::kAfterSc;
  }
  return CloseAt::kNever;
}

std::string FaultClose(CloseAt closeAt) { return "closed after " + std::string(CloseAtName(closeAt)) + " (fault)"; }

}  // namespace

// One accepted connection, served on the service thread until either side ends it.
class ControlService::Session final : public Channel {
 public:
  Session(ControlService& service, int fd, int index, std::string peer)
      : service_(service),
        options_(service.options_),
        fd_(fd),
        index_(index),
        peer_(std::move(peer)),
        local_(LocalText(fd)),
        step_(options_.no_greeting ? Step::kSilent : Step::kAwaitPjreq) {}
  ~Session() override {
    if (!ended_) End("ended");
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void Run();

  int connection() const override { return index_; }
  const std::string& peer() const override { return peer_; }
  std::string local() const override { return local_; }
  bool Send(std::span<const std::uint8_t> bytes) override {
    std::string error;
    return fd_ >= 0 && SendAll(fd_, bytes, error);
  }
  void Close() override { close_requested_ = true; }
  void RecordMessage(std::string name, std::span<const std::uint8_t> bytes, bool valid) override {
    service_.RecordMessage(Message{index_, step_, std::move(name), {bytes.begin(), bytes.end()}, valid});
  }
  void RecordViolation(std::string text) override {
    service_.RecordViolation(Violation{index_, step_, std::move(text)});
  }

 private:
  bool Handle(const ExchangeOutcome& outcome, Step now);
  bool Answer(Reply reply, bool main_command);
  bool Wait(std::chrono::milliseconds duration);
  bool Put(std::span<const std::uint8_t> bytes);
  bool Write(std::span<const std::uint8_t> bytes) { return Wait(options_.answer_delay) && Put(bytes); }
  void ReportCutShort(ControlExchange& exchange);
  bool EndIfAsked();
  // A close the projector makes itself; the only kind close_with_reset turns into a reset.
  void Drop(std::string reason) { End(std::move(reason), options_.close_with_reset); }
  void End(std::string reason, bool reset = false);

  bool unasked_sent_ = false;

  ControlService& service_;
  const SimOptions& options_;
  int fd_;
  const int index_;
  const std::string peer_;
  const std::string local_;
  Step step_;
  bool close_requested_ = false;
  bool ended_ = false;
};

void ControlService::Session::Run() {
  if (options_.close_at == CloseAt::kAfterAccept) return Drop(FaultClose(CloseAt::kAfterAccept));
  if (!options_.no_greeting) {
    std::string greeting(wire::kGreeting);
    if (options_.greeting_extra) greeting += wire::kGreetingExtra;
    if (!Write(AsBytes(greeting))) return;
    if (options_.close_at == CloseAt::kAfterGreeting) return Drop(FaultClose(CloseAt::kAfterGreeting));
  }

  ControlExchange exchange(!options_.no_greeting);
  std::array<std::uint8_t, kReadSize> buffer{};
  // Ends on the peer's close, an error, a fault close or Stop().
  for (;;) {
    std::array<pollfd, 3> fds{
        {{fd_, POLLIN, 0}, {service_.wake_read_fd_, POLLIN, 0}, {service_.restart_read_fd_, POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return End("poll failed: " + ErrorText(errno));
    }
    if (fds[1].revents != 0) return End("stopped");
    // Left readable for the accept loop, which drains it.
    if (fds[2].revents != 0) return Drop("projector restarted");
    if (fds[0].revents == 0) continue;

    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (n < 0) {
      const int err = errno;
      if (err == EINTR || err == EAGAIN) continue;
      ReportCutShort(exchange);
      return End("receive failed: " + ErrorText(err));
    }
    if (n == 0) {
      ReportCutShort(exchange);
      return End("closed by the updater");
    }
    exchange.Feed(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)));
    while (std::optional<ExchangeOutcome> outcome = exchange.Next()) {
      if (!Handle(*outcome, exchange.step())) return;
    }
  }
}

bool ControlService::Session::Handle(const ExchangeOutcome& outcome, Step now) {
  if (outcome.sub_data) {
    service_.hooks_->OnSubStreamData(outcome.bytes, *this);
    // Counted after the hook, so a waiter on the count also sees what the hook recorded.
    service_.AddSubStreamBytes(outcome.bytes.size());
    return !EndIfAsked();
  }

  service_.RecordMessage(Message{index_, outcome.step, outcome.name, outcome.bytes, outcome.valid});
  for (const std::string& text : outcome.violations) {
    service_.RecordViolation(Violation{index_, outcome.step, text});
  }
  step_ = now;
  service_.SetStep(index_, now);
  if (!outcome.reply) return !EndIfAsked();

  const Reply reply = *outcome.reply;
  const bool main_command = reply == Reply::kUdAck && outcome.step == Step::kAwaitCommand;
  // Answered in full before the hook: the boot loader it starts must follow the last copy.
  if (!Answer(reply, main_command)) return false;
  if (main_command) {
    service_.MarkMainDownloadMode();
    service_.hooks_->OnMainDownloadMode(*this);
  }
  if (reply == Reply::kSc) {
    service_.MarkSubStream();
    service_.hooks_->OnSubStream(*this);
  }
  if (options_.close_at == CloseAtFor(reply)) {
    Drop(FaultClose(options_.close_at));
    return false;
  }
  return !EndIfAsked();
}

bool ControlService::Session::Answer(Reply reply, bool main_command) {
  if ((main_command || reply == Reply::kModelAnswer) && !unasked_sent_ &&
      options_.unasked_reply != SimOptions::Unasked::kNone) {
    // The updater has read PJACK (it answered it): the unasked reply is a read of its own.
    unasked_sent_ = true;
    const bool sc = options_.unasked_reply == SimOptions::Unasked::kSc;
    if (!Put(sc ? std::span<const std::uint8_t>(wire::kScReply) : std::span<const std::uint8_t>(wire::kDownloadAck)) ||
        !Wait(options_.split_gap)) {
      return false;
    }
  }
  switch (reply) {
    case Reply::kPjack: return Write(AsBytes(wire::kRequestAck));
    case Reply::kUdAck:
      if (main_command && options_.repeat_ud_ack) {
        return Write(wire::kDownloadAck) && Wait(options_.split_gap) && Put(wire::kDownloadAck);
      }
      return Write(wire::kDownloadAck);
    case Reply::kSq: return Write(wire::kSqReply);
    case Reply::kSc: return Write(wire::kScReply);
    case Reply::kModelAnswer: {
      const std::vector<std::uint8_t> answer = wire::ModelAnswer(options_.model_code);
      if (!options_.split_model_answer) return Write(answer);
      const std::span<const std::uint8_t> all(answer);
      return Write(all.first(wire::kModelAckLength)) && Wait(options_.split_gap) &&
             Put(all.subspan(wire::kModelAckLength));
    }
  }
  return false;
}

bool ControlService::Session::Wait(std::chrono::milliseconds duration) {
  if (service_.Pause(duration)) return true;
  End("stopped");
  return false;
}

bool ControlService::Session::Put(std::span<const std::uint8_t> bytes) {
  std::string error;
  if (SendAll(fd_, bytes, error)) return true;
  End("send failed: " + error);
  return false;
}

void ControlService::Session::ReportCutShort(ControlExchange& exchange) {
  while (std::optional<ExchangeOutcome> outcome = exchange.Next()) {
    if (!Handle(*outcome, exchange.step())) return;
  }
  if (std::optional<std::string> text = exchange.Finish()) RecordViolation(std::move(*text));
}

bool ControlService::Session::EndIfAsked() {
  if (!close_requested_) return false;
  Drop("closed by the projector");
  return true;
}

void ControlService::Session::End(std::string reason, bool reset) {
  if (ended_) return;
  ended_ = true;
  if (fd_ >= 0) {
    if (reset) {
      // A zero linger makes close() send RST and drop whatever is still unsent.
      const linger hard{1, 0};
      ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    } else {
      ::shutdown(fd_, SHUT_WR);  // FIN after whatever is still queued
    }
    CloseFd(fd_);
  }
  service_.EndConnection(index_, step_, std::move(reason));
}

// ---------------------------------------------------------------------------------------

ControlService::ControlService(SimOptions options, std::shared_ptr<ControlHooks> hooks,
                               std::shared_ptr<ReportStore> store)
    : options_(std::move(options)),
      hooks_(hooks ? std::move(hooks) : std::make_shared<ControlHooks>()),
      store_(store ? std::move(store) : std::make_shared<ReportStore>()) {}

ControlService::~ControlService() {
  Stop();
  CloseFd(restart_read_fd_);
  int write_fd = restart_write_fd_.exchange(-1);
  CloseFd(write_fd);
}

bool ControlService::Start() {
  std::lock_guard<std::mutex> lock(lifecycle_mutex_);
  if (started_) {
    error_ = "already started";
    return false;
  }
  if (std::string problem = ValidateOptions(options_); !problem.empty()) {
    error_ = problem;
    return false;
  }
  const std::string where = options_.listen_address + ":" + std::to_string(options_.port);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  if (::inet_pton(AF_INET, options_.listen_address.c_str(), &address.sin_addr) != 1) {
    error_ = "listen address \"" + options_.listen_address + "\" is not a dotted IPv4 address";
    return false;
  }

  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error_ = "cannot create a socket: " + ErrorText(errno);
    return false;
  }
  // A restart on the fixed port must not wait for old connections in TIME_WAIT.
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error_ = "cannot bind " + where + ": " + ErrorText(errno);
    CloseFd(fd);
    return false;
  }
  if (::listen(fd, kBacklog) != 0) {
    error_ = "cannot listen on " + where + ": " + ErrorText(errno);
    CloseFd(fd);
    return false;
  }
  sockaddr_in bound{};
  socklen_t boundLength = sizeof bound;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLength) != 0) {
    error_ = "cannot read the bound port: " + ErrorText(errno);
    CloseFd(fd);
    return false;
  }
  std::array<int, 2> wake{-1, -1};
  if (!OpenWakePipe(wake)) {
    error_ = "cannot create the stop pipe: " + ErrorText(errno);
    CloseFd(fd);
    return false;
  }
  std::array<int, 2> restart{-1, -1};
  if (!OpenWakePipe(restart)) {
    error_ = "cannot create the restart pipe: " + ErrorText(errno);
    CloseFd(fd);
    CloseFd(wake[0]);
    CloseFd(wake[1]);
    return false;
  }
  restart_read_fd_ = restart[0];
  restart_write_fd_.store(restart[1]);

  listen_fd_ = fd;
  wake_read_fd_ = wake[0];
  wake_write_fd_ = wake[1];
  port_.store(ntohs(bound.sin_port));
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    error_ = std::string("cannot start the service thread: ") + e.what();
    CloseFd(listen_fd_);
    CloseFd(wake_read_fd_);
    CloseFd(wake_write_fd_);
    port_.store(0);
    return false;
  }
  started_ = true;
  running_.store(true);
  error_.clear();
  return true;
}

std::string ControlService::error() const {
  std::lock_guard<std::mutex> lock(lifecycle_mutex_);
  return error_;
}

void ControlService::Stop() {
  std::lock_guard<std::mutex> lock(lifecycle_mutex_);
  if (!started_ || stopped_) return;
  stopped_ = true;
  stopping_.store(true);
  running_.store(false);
  // The pipe is never drained: it stays readable and wakes every wait from now on.
  PokeWakePipe(wake_write_fd_);
  if (thread_.joinable()) thread_.join();
  CloseFd(listen_fd_);
  CloseFd(wake_read_fd_);
  CloseFd(wake_write_fd_);
}

bool ControlService::Restart(std::chrono::milliseconds delay) {
  if (!running_.load()) return false;
  const auto until = std::chrono::steady_clock::now() + std::max(delay, std::chrono::milliseconds(0));
  resume_at_.store(until.time_since_epoch().count());
  const int fd = restart_write_fd_.load();
  if (fd < 0) return false;
  PokeWakePipe(fd);
  return true;
}

void ControlService::DrainRestartPipe() {
  std::array<std::uint8_t, 64> bytes{};
  // The pipe is non-blocking and holds at most what Restart() wrote: a few reads empty it.
  for (int i = 0; i < 1000; ++i) {
    if (::read(restart_read_fd_, bytes.data(), bytes.size()) <= 0) return;
  }
}

std::chrono::milliseconds ControlService::RestartTimeLeft() const {
  const std::int64_t until = resume_at_.load();
  if (until == 0) return std::chrono::milliseconds(0);
  const auto left = std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(until)) -
                    std::chrono::steady_clock::now();
  return std::max(std::chrono::ceil<std::chrono::milliseconds>(left), std::chrono::milliseconds(0));
}

void ControlService::Run() {
  while (!stopping()) {
    DrainRestartPipe();
    // Restarting: connections wait in the backlog until the projector is back.
    if (const std::chrono::milliseconds left = RestartTimeLeft(); left.count() > 0) {
      if (!Pause(left)) return;
      continue;
    }
    std::array<pollfd, 3> fds{{{listen_fd_, POLLIN, 0}, {wake_read_fd_, POLLIN, 0}, {restart_read_fd_, POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      if (!Pause(kAcceptBackoff)) return;
      continue;
    }
    if (fds[1].revents != 0) return;
    if (fds[2].revents != 0) continue;
    if (fds[0].revents == 0) continue;

    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    const int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
    if (fd < 0) {
      const int err = errno;
      if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNABORTED) continue;
      if (!Pause(kAcceptBackoff)) return;
      continue;
    }
    const int one = 1;
    // Each answer leaves as its own segment, so a split answer really is two reads.
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &kSendTimeout, sizeof kSendTimeout);
    const std::string peerText = PeerText(peer);
    Session session(*this, fd, AddConnection(peerText), peerText);
    session.Run();
  }
}

bool ControlService::Pause(std::chrono::milliseconds duration) const {
  if (stopping()) return false;
  if (duration.count() <= 0) return true;
  const auto deadline = std::chrono::steady_clock::now() + duration;
  for (int restart = 0; restart < kMaxPollRestarts; ++restart) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= 0ms) break;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    pollfd wake{wake_read_fd_, POLLIN, 0};
    const int r = ::poll(&wake, 1, static_cast<int>(ms));
    if (r > 0) return false;
    if (r < 0 && errno != EINTR) break;
  }
  return !stopping();
}

template <typename Change>
void ControlService::ChangeReport(Change change) {
  store_->Change(change);
}

int ControlService::AddConnection(const std::string& peer) {
  ConnectionRecord record;
  record.peer = peer;
  record.last_step = options_.no_greeting ? Step::kSilent : Step::kAwaitPjreq;
  ChangeReport([&](Report& r) {
    record.index = r.connection_count() + 1;
    r.connections.push_back(record);
  });
  hooks_->OnConnectionAccepted(record);
  return record.index;
}

void ControlService::SetStep(int connection, Step step) {
  ChangeReport([&](Report& r) { r.connections.at(static_cast<std::size_t>(connection - 1)).last_step = step; });
}

void ControlService::EndConnection(int connection, Step step, std::string reason) {
  const auto index = static_cast<std::size_t>(connection - 1);
  ConnectionRecord record;
  store_->Read([&](const Report& r) { record = r.connections.at(index); });
  record.last_step = step;
  record.ended = true;
  record.end_reason = std::move(reason);
  // The hooks first: whoever waits for the end then also finds what they made of it (the
  // Sub receiver's verdict). Only this thread writes connection records.
  hooks_->OnConnectionEnded(record);
  ChangeReport([&](Report& r) { r.connections.at(index) = record; });
}

void ControlService::RecordMessage(Message message) {
  ChangeReport([&](Report& r) { r.messages.push_back(message); });
  hooks_->OnMessage(message);
}

void ControlService::RecordViolation(Violation violation) {
  ChangeReport([&](Report& r) { r.violations.push_back(violation); });
  hooks_->OnViolation(violation);
}

void ControlService::MarkMainDownloadMode() {
  ChangeReport([](Report& r) { r.main_download_mode_entered = true; });
}

void ControlService::MarkSubStream() {
  ChangeReport([](Report& r) { r.sub_stream_reached = true; });
}

void ControlService::AddSubStreamBytes(std::size_t n) {
  ChangeReport([&](Report& r) { r.sub_stream_bytes += n; });
}

Report ControlService::Snapshot() const { return store_->Snapshot(); }

std::vector<Message> ControlService::messages() const {
  std::vector<Message> out;
  store_->Read([&](const Report& r) { out = r.messages; });
  return out;
}

std::vector<Violation> ControlService::violations() const {
  std::vector<Violation> out;
  store_->Read([&](const Report& r) { out = r.violations; });
  return out;
}

bool ControlService::main_download_mode_entered() const {
  bool out = false;
  store_->Read([&](const Report& r) { out = r.main_download_mode_entered; });
  return out;
}

bool ControlService::sub_stream_reached() const {
  bool out = false;
  store_->Read([&](const Report& r) { out = r.sub_stream_reached; });
  return out;
}

int ControlService::connection_count() const {
  int out = 0;
  store_->Read([&](const Report& r) { out = r.connection_count(); });
  return out;
}

bool ControlService::WaitFor(const std::function<bool(const Report&)>& condition,
                             std::chrono::milliseconds timeout) const {
  return store_->WaitFor(condition, timeout);
}

}  // namespace tessaly::pjsim
