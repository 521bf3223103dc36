#include "boot_loader.h"

#include "posix_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace tessaly::pjsim {
namespace {

using namespace std::chrono_literals;
using boot::Endpoint;
using boot::Ipv4;

// Larger than any TFTP or BOOTP datagram, so an oversized one is seen as such.
constexpr std::size_t kReceiveSize = 2048;
// Progress lines during a long transfer: one per this many blocks (64 KiB).
constexpr std::size_t kProgressBlocks = 128;
// poll() takes an int: long waits are cut into pieces.
constexpr std::chrono::milliseconds kLongestPoll{60000};

sockaddr_in SocketAddress(const Ipv4& address, std::uint16_t port) {
  sockaddr_in out{};
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  std::memcpy(&out.sin_addr.s_addr, address.data(), address.size());
  return out;
}

Endpoint EndpointOf(const sockaddr_in& address) {
  Endpoint out;
  std::memcpy(out.address.data(), &address.sin_addr.s_addr, out.address.size());
  out.port = ntohs(address.sin_port);
  return out;
}

// "a.b.c.d:port" or "a.b.c.d" to the address.
std::optional<Ipv4> AddressOf(const std::string& text) { return boot::ParseIpv4(text.substr(0, text.find(':'))); }

// A UDP socket bound to address:port; -1 with `error` on failure.
int OpenUdp(const Ipv4& address, std::uint16_t port, bool broadcast, std::uint16_t& bound, std::string& error) {
  const std::string where = boot::Ipv4Text(address) + ":" + std::to_string(port);
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = "cannot create a UDP socket: " + ErrorText(errno);
    return -1;
  }
  // No SO_REUSEADDR: UDP has no TIME_WAIT, and a port someone else holds must show.
  const int one = 1;
  if (broadcast && ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) {
    error = "cannot allow broadcasts on " + where + ": " + ErrorText(errno);
    CloseFd(fd);
    return -1;
  }
  const sockaddr_in at = SocketAddress(address, port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
    error = "cannot bind " + where + ": " + ErrorText(errno);
    CloseFd(fd);
    return -1;
  }
  sockaddr_in got{};
  socklen_t length = sizeof got;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&got), &length) != 0) {
    error = "cannot read the port bound on " + where + ": " + ErrorText(errno);
    CloseFd(fd);
    return -1;
  }
  bound = ntohs(got.sin_port);
  return fd;
}

std::string XidText(std::uint32_t xid) {
  const std::array<std::uint8_t, 4> bytes{static_cast<std::uint8_t>(xid >> 24), static_cast<std::uint8_t>(xid >> 16),
                                          static_cast<std::uint8_t>(xid >> 8), static_cast<std::uint8_t>(xid)};
  std::string hex = ToHex(bytes);
  hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
  return hex;
}

std::string Ms(std::chrono::milliseconds d) { return std::to_string(d.count()) + " ms"; }

}  // namespace

struct BootLoader::Datagram {
  boot::Bytes bytes;
  Endpoint source;
};

BootLoader::BootLoader(SimOptions options, std::shared_ptr<ReportStore> store,
                       std::shared_ptr<BootLoaderObserver> observer)
    : options_(std::move(options)),
      store_(store ? std::move(store) : std::make_shared<ReportStore>()),
      observer_(observer ? std::move(observer) : std::make_shared<BootLoaderObserver>()),
      random_(std::random_device{}()) {}

BootLoader::~BootLoader() { Stop(); }

bool BootLoader::Fail(std::string error) {
  error_ = error;
  CloseFd(magic_fd_);
  CloseFd(bootp_fd_);
  CloseFd(tftp_fd_);
  CloseFd(wake_read_fd_);
  CloseFd(wake_write_fd_);
  magic_port_.store(0);
  bootp_port_.store(0);
  tftp_port_.store(0);
  store_->Change([&](Report& r) {
    r.boot_loader.phase = BootPhase::kFailed;
    r.boot_loader.error = error;
    r.boot_loader.verdict = "boot loader could not start: " + error;
    CloseAwake(r, BootPhase::kFailed);
  });
  return false;
}

bool BootLoader::Start(const BootContext& context) {
  std::string failure;
  {
    std::lock_guard<std::mutex> lock(lifecycle_mutex_);
    if (StartLocked(context)) return true;
    failure = error_;
  }
  // Outside the lock: the observer may ask for error().
  if (failure != "already started") observer_->OnBootEvent("could not start: " + failure);
  return false;
}

bool BootLoader::StartLocked(const BootContext& context) {
  if (started_) {
    error_ = "already started";
    return false;
  }
  started_ = true;
  connection_ = context.connection;
  // A fresh run in the shared report; the previous run's numbers go.
  store_->Change([&](Report& r) {
    BootLoaderReport fresh;
    fresh.run = r.boot_loader.run + 1;
    fresh.connection = context.connection;
    fresh.phase = BootPhase::kAwaitMagic;
    r.boot_loader = fresh;
    run_ = fresh.run;
  });

  if (std::string problem = ValidateOptions(options_); !problem.empty()) return Fail(problem);
  std::optional<Ipv4> own = boot::ParseIpv4(options_.listen_address);
  if (!own) return Fail("listen address \"" + options_.listen_address + "\" is not a dotted IPv4 address");
  if (*own == Ipv4{}) {
    // Listening everywhere: the projector is the address the updater reached.
    own = AddressOf(context.own_address);
    if (!own || *own == Ipv4{}) {
      return Fail("the boot loader needs the projector's own address: listen on it, not on 0.0.0.0");
    }
  }
  own_ = *own;
  broadcast_ = Endpoint{*boot::ParseIpv4(options_.broadcast_address), options_.bootp_server_port};
  if (!options_.tftp_server.empty()) {
    server_hint_ = boot::ParseIpv4(options_.tftp_server);
  } else if (std::optional<Ipv4> peer = AddressOf(context.updater_address)) {
    server_hint_ = peer;
  }
  if (options_.skip_bootp && !server_hint_) {
    return Fail("without BOOTP the read request needs a server: give --tftp-server or start from a control connection");
  }
  SimOptions loaded = options_;
  if (std::string problem = LoadExpectedImage(loaded); !problem.empty()) return Fail(problem);
  expected_ = loaded.expected_image;
  acks_to_drop_ = options_.drop_acks;

  const Ipv4 receive_on = *boot::ParseIpv4(options_.broadcast_bind_address);
  std::string error;
  std::uint16_t port = 0;
  if ((magic_fd_ = OpenUdp(receive_on, options_.magic_port, false, port, error)) < 0)
    return Fail("Magic socket: " + error);
  magic_port_.store(port);
  if ((bootp_fd_ = OpenUdp(receive_on, options_.bootp_client_port, true, port, error)) < 0) {
    return Fail("BOOTP socket: " + error);
  }
  bootp_port_.store(port);
  // Packet info names the source address, and with it the interface a broadcast leaves by.
  const int one = 1;
  ::setsockopt(bootp_fd_, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
  if ((tftp_fd_ = OpenUdp(own_, 0, false, port, error)) < 0) return Fail("TFTP socket: " + error);
  tftp_port_.store(port);
  std::array<int, 2> wake{-1, -1};
  if (!OpenWakePipe(wake)) return Fail("cannot create the stop pipe: " + ErrorText(errno));
  wake_read_fd_ = wake[0];
  wake_write_fd_ = wake[1];
  store_->Change([&](Report& r) {
    r.boot_loader.magic_port = magic_port_.load();
    r.boot_loader.bootp_client_port = bootp_port_.load();
    r.boot_loader.tftp_client_port = tftp_port_.load();
    // Awake from here: its sockets hear the Magic packet from now on.
    r.boot_awake.push_back(AwakeInterval{run_, std::chrono::steady_clock::now(), std::nullopt, BootPhase::kOff});
  });

  running_.store(true);
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    running_.store(false);
    return Fail(std::string("cannot start the boot loader thread: ") + e.what());
  }
  error_.clear();
  return true;
}

std::string BootLoader::error() const {
  std::lock_guard<std::mutex> lock(lifecycle_mutex_);
  return error_;
}

void BootLoader::Stop() {
  std::lock_guard<std::mutex> lock(lifecycle_mutex_);
  if (!started_ || stopped_) return;
  stopped_ = true;
  // Never drained: it wakes every wait from now on.
  PokeWakePipe(wake_write_fd_);
  if (thread_.joinable()) thread_.join();
  running_.store(false);
  CloseFd(magic_fd_);
  CloseFd(bootp_fd_);
  CloseFd(tftp_fd_);
  CloseFd(wake_read_fd_);
  CloseFd(wake_write_fd_);
}

BootLoaderReport BootLoader::report() const {
  BootLoaderReport out;
  store_->Read([&](const Report& r) { out = r.boot_loader; });
  return out;
}

bool BootLoader::WaitFor(const std::function<bool(const Report&)>& condition, std::chrono::milliseconds timeout) const {
  return store_->WaitFor(condition, timeout);
}

// --- The thread --------------------------------------------------------------------------

void BootLoader::Run() {
  const std::string mac = MacAddressText(options_.mac);
  Event("started for MAC " + mac + " at " + boot::Ipv4Text(own_) + "; Magic on port " +
        std::to_string(magic_port_.load()) + ", BOOTP from port " + std::to_string(bootp_port_.load()) +
        ", TFTP from port " + std::to_string(tftp_port_.load()));
  if (options_.start_without_magic) deadline_ = Clock::now() + *options_.start_without_magic;

  // Ends when the run is over or on Stop(); every pass handles a datagram or a deadline.
  while (!over_) {
    int timeout = -1;
    if (const std::optional<Clock::time_point> at = NextDeadline()) {
      const auto left = std::clamp(std::chrono::ceil<std::chrono::milliseconds>(*at - Clock::now()), 0ms, kLongestPoll);
      timeout = static_cast<int>(left.count());
    }
    std::array<pollfd, 4> fds{{{wake_read_fd_, POLLIN, 0},
                               {magic_fd_, POLLIN, 0},
                               {bootp_fd_, POLLIN, 0},
                               {receiver_ ? tftp_fd_ : -1, POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), timeout) < 0) {
      if (errno == EINTR) continue;
      Finish(BootPhase::kGaveUp, "waiting failed: " + ErrorText(errno));
      break;
    }
    if (fds[0].revents != 0) {
      std::string where(BootPhaseName(phase_));
      Finish(BootPhase::kStopped, "stopped while " + where + Progress());
      break;
    }
    if (fds[1].revents != 0) OnMagic();
    if (fds[2].revents != 0 && !over_) OnBootp();
    if (fds[3].revents != 0 && !over_) OnTftp();
    if (!over_) OnDeadline(Clock::now());
  }
  running_.store(false);
}

std::optional<BootLoader::Datagram> BootLoader::Receive(int fd) {
  Datagram d;
  d.bytes.resize(kReceiveSize);
  sockaddr_in from{};
  socklen_t length = sizeof from;
  const ssize_t n = ::recvfrom(fd, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
  if (n < 0) return std::nullopt;  // EAGAIN after a spurious wake-up, or an ICMP error
  d.bytes.resize(static_cast<std::size_t>(n));
  d.source = EndpointOf(from);
  return d;
}

bool BootLoader::SendTo(int fd, std::span<const std::uint8_t> bytes, const Endpoint& to, bool from_own_address) {
  sockaddr_in target = SocketAddress(to.address, to.port);
  iovec io{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
  msghdr message{};
  message.msg_name = &target;
  message.msg_namelen = sizeof target;
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(in_pktinfo))> control{};
  if (from_own_address) {
    // The socket listens on a wildcard or broadcast address: the source must be ours.
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = IPPROTO_IP;
    header->cmsg_type = IP_PKTINFO;
    header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_addr source{};
    std::memcpy(&source.s_addr, own_.data(), own_.size());
    // Interface index 0 (routing decides, by the source), then the source address.
    const in_pktinfo info{0, source, in_addr{}};
    std::memcpy(CMSG_DATA(header), &info, sizeof info);
  }
  const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
  if (n == static_cast<ssize_t>(bytes.size())) return true;
  Event("sending " + std::to_string(bytes.size()) + " bytes to " + to.Text() +
        " failed: " + (n < 0 ? ErrorText(errno) : "cut short"));
  return false;
}

std::optional<BootLoader::Clock::time_point> BootLoader::NextDeadline() const {
  if (phase_ == BootPhase::kRestarting) return restart_end_;
  return deadline_;
}

void BootLoader::OnMagic() {
  const std::optional<Datagram> d = Receive(magic_fd_);
  if (!d) return;
  const std::optional<std::string> problem = boot::CheckMagic(d->bytes, options_.mac);
  ChangeBoot([&](BootLoaderReport& b) {
    ++b.magic_packets;
    if (!problem) ++b.magic_packets_valid;
  });
  Event("Magic packet from " + d->source.Text() + (problem ? " (invalid)" : ""));
  if (problem) {
    Violate(*problem + ", from " + d->source.Text());
    return;
  }
  if (phase_ == BootPhase::kAwaitMagic) BeginExchange();
}

void BootLoader::OnBootp() {
  const std::optional<Datagram> d = Receive(bootp_fd_);
  if (!d) return;
  const Ipv4 server = server_hint_.value_or(d->source.address);
  boot::BootpReplyCheck check;
  if (requests_sent_ > 0) check = boot::CheckBootpReply(d->bytes, request_, own_, server);
  if (!check.ours) {
    ChangeBoot([](BootLoaderReport& b) { ++b.bootp_replies_ignored; });
    const std::optional<std::uint32_t> xid = boot::BootpXid(d->bytes);
    Event("BOOTP datagram of " + std::to_string(d->bytes.size()) + " bytes from " + d->source.Text() + " ignored: " +
          (requests_sent_ == 0 ? std::string("no request sent yet")
           : xid               ? "xid " + XidText(*xid) + " is not ours"
                               : std::string("too short for an xid")));
    return;
  }
  ChangeBoot([&](BootLoaderReport& b) {
    ++b.bootp_replies;
    if (check.problems.empty()) ++b.bootp_replies_valid;
  });
  std::string line = "BOOTP reply from " + d->source.Text() + ": yiaddr " + boot::Ipv4Text(check.yiaddr) + ", siaddr " +
                     boot::Ipv4Text(check.siaddr);
  if (!check.problems.empty()) line += " (" + std::to_string(check.problems.size()) + " problem(s))";
  if (phase_ != BootPhase::kBootp) line += ", late: already past BOOTP";
  Event(line);
  for (std::string& p : check.problems) Violate("BOOTP reply: " + std::move(p));
  if (phase_ != BootPhase::kBootp) return;
  if (!check.usable) {
    Event("BOOTP reply names no server to read the image from: asking again");
    return;
  }
  StartTftp(check.siaddr);
}

void BootLoader::OnTftp() {
  const std::optional<Datagram> d = Receive(tftp_fd_);
  if (!d) return;
  const boot::TftpStep step = receiver_->Take(d->bytes, d->source);
  const bool silent = phase_ == BootPhase::kSilent;
  for (const std::string& p : step.problems) Violate("TFTP: " + p);
  if (step.data) ChangeBoot([](BootLoaderReport& b) { ++b.data_datagrams; });

  switch (step.kind) {
    case boot::TftpStep::Kind::kStray:
      Event("datagram from " + d->source.Text() + " outside the transfer" +
            (silent ? ", left unanswered" : ": ERROR 5 sent back"));
      if (!silent) SendTo(tftp_fd_, boot::BuildError(boot::kErrorUnknownTid, "Unknown transfer ID"), d->source, false);
      return;
    case boot::TftpStep::Kind::kServerError:
      Finish(BootPhase::kGaveUp, "the updater ended the transfer with an ERROR" + Progress());
      return;
    case boot::TftpStep::Kind::kRejected:
      Event("datagram of " + std::to_string(d->bytes.size()) + " bytes from " + d->source.Text() + " not taken");
      return;
    case boot::TftpStep::Kind::kBlock: {
      const std::size_t blocks = receiver_->blocks();
      ChangeBoot([&](BootLoaderReport& b) {
        b.tftp_blocks = blocks;
        b.bytes_received = receiver_->bytes();
        b.transfer_started = true;
        b.server_data_port = receiver_->peer()->port;
      });
      if (blocks == 1) {
        Event("DATA block 1 from " + d->source.Text() + ": the transfer runs with that port");
      } else if (step.last) {
        Event("last DATA block " + std::to_string(step.block) + " (" + std::to_string(d->bytes.size() - 4) +
              " bytes): " + std::to_string(receiver_->bytes()) + " bytes in " + std::to_string(blocks) + " blocks");
      } else if (blocks % kProgressBlocks == 0) {
        Event("DATA block " + std::to_string(step.block) + ", " + std::to_string(receiver_->bytes()) + " bytes so far");
      }
      break;
    }
    case boot::TftpStep::Kind::kDuplicate:
      ChangeBoot([](BootLoaderReport& b) { ++b.resends_seen; });
      Event("DATA block " + std::to_string(step.block) + " again: the updater resent it");
      break;
  }
  OnTakenData(step);
}

void BootLoader::OnTakenData(const boot::TftpStep& step) {
  if (phase_ == BootPhase::kSilent) return;
  if (phase_ == BootPhase::kRestarting) {
    // Dallying: the updater may not have the last ACK yet.
    if (Clock::now() < dally_end_) SendAck(step.block);
    return;
  }
  timeouts_in_row_ = 0;
  deadline_ = Clock::now() + options_.tftp_timeout;
  if (step.kind == boot::TftpStep::Kind::kBlock && options_.stop_at_block != 0 &&
      receiver_->blocks() >= options_.stop_at_block) {
    phase_ = BootPhase::kSilent;
    deadline_.reset();
    const std::string verdict = "went silent after block " + std::to_string(step.block) + " (fault: stop at block " +
                                std::to_string(options_.stop_at_block) + ")" + Progress();
    store_->Change([&](Report& r) {
      r.boot_loader.phase = BootPhase::kSilent;
      r.boot_loader.verdict = verdict;
      CloseAwake(r, BootPhase::kSilent);
    });
    Event(verdict);
    return;
  }
  if (acks_to_drop_ > 0) {
    --acks_to_drop_;
    ack_withheld_ = true;
    ChangeBoot([](BootLoaderReport& b) { ++b.acks_withheld; });
    Event("ACK of block " + std::to_string(step.block) + " withheld (fault)");
    return;
  }
  SendAck(step.block);
  if (step.last) BeginRestart();
}

void BootLoader::OnDeadline(Clock::time_point now) {
  if (phase_ == BootPhase::kRestarting) {
    if (now >= restart_end_) {
      std::string verdict = ImageVerdict();
      // As in Finish(): whoever sees the restart in the report sees running() false too.
      running_.store(false);
      ChangeBoot([](BootLoaderReport& b) { b.restarted = true; });
      Event("restart over after " + Ms(options_.restart_delay) + ": the control service answers again");
      Finish(BootPhase::kRestarted, std::move(verdict));
    }
    return;
  }
  if (!deadline_ || now < *deadline_) return;
  switch (phase_) {
    case BootPhase::kAwaitMagic:
      Event("no Magic packet within " + Ms(*options_.start_without_magic) + ": starting without it");
      BeginExchange();
      return;
    case BootPhase::kBootp:
      if (requests_sent_ >= options_.bootp_tries) {
        Finish(BootPhase::kGaveUp, "no BOOTP reply after " + std::to_string(requests_sent_) + " request(s)");
      } else {
        SendBootpRequest();
      }
      return;
    case BootPhase::kTftp: {
      ++timeouts_in_row_;
      ChangeBoot([](BootLoaderReport& b) { ++b.timeouts; });
      const std::string waited = "no DATA for " + Ms(options_.tftp_timeout);
      if (timeouts_in_row_ >= options_.tftp_tries) {
        Finish(BootPhase::kGaveUp, waited + " " + std::to_string(timeouts_in_row_) + " time(s) in a row" + Progress());
        return;
      }
      deadline_ = now + options_.tftp_timeout;
      if (!receiver_->started()) {
        Event(waited + ": read request again");
        SendRrq();
      } else if (!ack_withheld_ && last_ack_) {
        Event(waited + ": ACK of block " + std::to_string(*last_ack_) + " again");
        SendAck(*last_ack_);
      } else {
        Event(waited + " after a withheld ACK: still waiting for the updater to resend");
      }
      return;
    }
    default: deadline_.reset(); return;
  }
}

void BootLoader::BeginExchange() {
  deadline_.reset();
  if (options_.skip_bootp) {
    Event("no BOOTP (fault): read request straight to " + boot::Ipv4Text(*server_hint_));
    StartTftp(*server_hint_);
    return;
  }
  phase_ = BootPhase::kBootp;
  ChangeBoot([](BootLoaderReport& b) { b.phase = BootPhase::kBootp; });
  SendBootpRequest();
}

void BootLoader::SendBootpRequest() {
  if (requests_sent_ == 0) {
    const std::uint32_t xid = static_cast<std::uint32_t>(random_());
    request_ = boot::BuildBootpRequest(xid, options_.bootp_mac.value_or(options_.mac), options_.bootp_sname);
    ChangeBoot([&](BootLoaderReport& b) { b.bootp_xid = xid; });
  }
  deadline_ = Clock::now() + options_.bootp_retry;
  ++requests_sent_;
  if (!SendTo(bootp_fd_, request_, broadcast_, true)) return;
  ChangeBoot([](BootLoaderReport& b) { ++b.bootp_requests_sent; });
  Event("BOOTP request " + std::to_string(requests_sent_) + " sent to " + broadcast_.Text() + ", xid " +
        XidText(*boot::BootpXid(request_)) + ", chaddr " + MacAddressText(options_.bootp_mac.value_or(options_.mac)) +
        ", sname \"" + options_.bootp_sname + "\"");
}

void BootLoader::StartTftp(const Ipv4& server) {
  server_ = server;
  receiver_.emplace(Endpoint{server, options_.tftp_port}, expected_);
  phase_ = BootPhase::kTftp;
  timeouts_in_row_ = 0;
  ChangeBoot([&](BootLoaderReport& b) {
    b.phase = BootPhase::kTftp;
    b.server_address = boot::Ipv4Text(server);
  });
  deadline_ = Clock::now() + options_.tftp_timeout;
  SendRrq();
}

void BootLoader::SendRrq() {
  const Endpoint to{server_, options_.tftp_port};
  if (!SendTo(tftp_fd_, boot::BuildRrq(boot::kBootFile, boot::kOctetMode), to, false)) return;
  ChangeBoot([](BootLoaderReport& b) { ++b.tftp_requests_sent; });
  Event("read request for \"firmware.bin\" (octet) sent to " + to.Text());
}

void BootLoader::SendAck(std::uint16_t block) {
  const std::array<std::uint8_t, boot::kTftpHeaderLength> ack = boot::BuildAck(block);
  const Endpoint to = *receiver_->peer();
  int sent = 0;
  for (int copy = 0; copy < (options_.duplicate_acks ? 2 : 1); ++copy) sent += SendTo(tftp_fd_, ack, to, false) ? 1 : 0;
  last_ack_ = block;
  ack_withheld_ = false;
  ChangeBoot([&](BootLoaderReport& b) { b.acks_sent += sent; });
}

void BootLoader::BeginRestart() {
  const Clock::time_point now = Clock::now();
  phase_ = BootPhase::kRestarting;
  deadline_.reset();
  restart_end_ = now + options_.restart_delay;
  // Dally until the restart: the last ACK may be lost, and the updater resends the last
  // block only after a second of silence, later than one TFTP time-out.
  dally_end_ = std::max(restart_end_, now + options_.tftp_timeout);
  const std::string verdict = ImageVerdict();
  // The image is taken: from here on the boot loader only burns it and restarts, and no
  // broadcast reaches it any more.
  store_->Change([&](Report& r) { CloseAwake(r, BootPhase::kRestarting); });
  ChangeBoot([&](BootLoaderReport& b) {
    b.phase = BootPhase::kRestarting;
    b.image_complete = true;
    b.image_compared = receiver_->compared();
    b.image_intact = receiver_->intact();
    b.restart_began = true;
    b.restart_began_at = now;
    b.verdict = verdict;
  });
  Event(verdict);
  Event("last block acknowledged: restarting, the control service is down for " + Ms(options_.restart_delay));
  observer_->OnRestart(options_.restart_delay);
}

std::string BootLoader::ImageVerdict() const {
  const std::string size =
      std::to_string(receiver_->bytes()) + " bytes in " + std::to_string(receiver_->blocks()) + " blocks";
  if (!receiver_->compared()) return "Main image received: " + size + " (not compared: no expected image given)";
  if (receiver_->intact()) return "Main image received intact: " + size + ", equal to the expected image";
  std::string out = "Main image received but NOT intact: " + size;
  if (const std::optional<std::size_t> at = receiver_->first_difference()) {
    out += ", first difference at byte " + std::to_string(*at);
  }
  if (receiver_->bytes() != expected_->size()) out += ", expected " + std::to_string(expected_->size()) + " bytes";
  return out;
}

std::string BootLoader::Progress() const {
  if (!receiver_ || !receiver_->started()) return "";
  return "; " + std::to_string(receiver_->bytes()) + " bytes in " + std::to_string(receiver_->blocks()) +
         " blocks received";
}

void BootLoader::Finish(BootPhase phase, std::string verdict) {
  // A silent or restarting run keeps the verdict it has; a stop only says where it stood.
  const bool keep_verdict =
      phase == BootPhase::kStopped && (phase_ == BootPhase::kSilent || phase_ == BootPhase::kRestarting);
  phase_ = phase;
  over_ = true;
  deadline_.reset();
  // Before the report says so: whoever sees the end there sees running() false too.
  running_.store(false);
  store_->Change([&](Report& r) {
    r.boot_loader.phase = phase;
    if (!keep_verdict) r.boot_loader.verdict = verdict;
    CloseAwake(r, phase);
  });
  Event((keep_verdict ? "stopped: " : "verdict: ") + verdict);
}

void BootLoader::Event(const std::string& text) { observer_->OnBootEvent(text); }

void BootLoader::Violate(std::string text) {
  Violation v{connection_, Step::kMainDownload, "boot loader: " + std::move(text)};
  store_->Change([&](Report& r) {
    r.violations.push_back(v);
    ++r.boot_loader.violations;
  });
  observer_->OnBootViolation(v);
}

void BootLoader::CloseAwake(Report& r, BootPhase end) const {
  // A silent run is over already when it is stopped: its interval keeps its end.
  for (AwakeInterval& a : r.boot_awake) {
    if (a.run == run_ && !a.to) {
      a.to = std::chrono::steady_clock::now();
      a.end = end;
    }
  }
}

void BootLoader::ChangeBoot(const std::function<void(BootLoaderReport&)>& change) {
  store_->Change([&](Report& r) { change(r.boot_loader); });
}

}  // namespace tessaly::pjsim
