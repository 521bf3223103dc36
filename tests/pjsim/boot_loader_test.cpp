// The boot loader driven by a small updater written here from RFC 951 and RFC 1350: it wakes
// the boot loader, answers BOOTP and serves an image by TFTP over plain POSIX sockets, and
// records what it saw from its side. All traffic stays on 127.0.0.0/8, with a unicast
// address in place of the broadcast one; the one test with the real ports and the real
// broadcast runs in a network namespace of its own, in a child process.

#include "boot_loader.h"
#include "projector_sim.h"
#include "test_client.h"
#include "updater_bytes.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace tessaly::pjsim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// Generous, for the sanitizer builds; waits end as soon as the event comes.
constexpr std::chrono::milliseconds kBudget = 10000ms;
// How long "nothing arrives" is watched.
constexpr std::chrono::milliseconds kSilence = 300ms;
// The test's updater resends a block after this long without its ACK. Tests that count
// resends wait it out; an ACK that a loaded machine delays must still come well within it.
constexpr std::chrono::milliseconds kResendAfter = 500ms;

const std::string kUpdaterAddress = "127.0.0.1";
const std::string kProjectorAddress = "127.0.0.2";
constexpr MacAddress kDefaultMac{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

bool Contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

std::string Describe(const Report& r) {
  std::string out =
      "\n  boot loader: " + std::string(BootPhaseName(r.boot_loader.phase)) + ", " + r.boot_loader.verdict;
  for (const Violation& v : r.violations) out += "\n  " + v.ToString();
  return out;
}

bool AnyViolation(const Report& r, std::string_view part) {
  return std::any_of(r.violations.begin(), r.violations.end(),
                     [&](const Violation& v) { return Contains(v.text, part); });
}

Bytes MakeImage(std::size_t size, std::uint32_t seed) {
  Bytes out(size);
  std::mt19937 random(seed);
  for (std::uint8_t& b : out) b = static_cast<std::uint8_t>(random() & 0xFF);
  return out;
}

in_addr Address(const std::string& text) {
  in_addr a{};
  ::inet_pton(AF_INET, text.c_str(), &a);
  return a;
}

std::string AddressText(in_addr a) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

std::uint16_t Get16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]); }

// --- A UDP socket for the test's updater -------------------------------------------------

struct Datagram {
  Bytes bytes;
  std::string from_address;
  std::uint16_t from_port = 0;
  std::string to_address;  // where it was sent: shows a broadcast as such
};

class Udp {
 public:
  Udp() = default;
  Udp(const std::string& address, std::uint16_t port, bool broadcast = false) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) return;
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
    if (broadcast) ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr = Address(address);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
      Close();
      return;
    }
    socklen_t length = sizeof at;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &length);
    port_ = ntohs(at.sin_port);
  }
  ~Udp() { Close(); }
  Udp(Udp&& other) noexcept : fd_(std::exchange(other.fd_, -1)), port_(other.port_) {}
  Udp& operator=(Udp&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
      port_ = other.port_;
    }
    return *this;
  }

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  std::uint16_t port() const { return port_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // `source`, when given, picks the source address (and so the interface of a broadcast).
  bool SendTo(const Bytes& bytes, const std::string& address, std::uint16_t port,
              const std::string& source = "") const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr = Address(address);
    iovec io{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    msghdr m{};
    m.msg_name = &to;
    m.msg_namelen = sizeof to;
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(in_pktinfo))> control{};
    if (!source.empty()) {
      m.msg_control = control.data();
      m.msg_controllen = control.size();
      cmsghdr* c = CMSG_FIRSTHDR(&m);
      c->cmsg_level = IPPROTO_IP;
      c->cmsg_type = IP_PKTINFO;
      c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
      // Any interface, then the source address.
      const in_pktinfo info{0, Address(source), in_addr{}};
      std::memcpy(CMSG_DATA(c), &info, sizeof info);
    }
    return ::sendmsg(fd_, &m, MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }

  // One datagram if one is queued.
  std::optional<Datagram> ReceiveNow() const {
    Datagram d;
    d.bytes.resize(2048);
    sockaddr_in from{};
    iovec io{d.bytes.data(), d.bytes.size()};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(in_pktinfo))> control{};
    msghdr m{};
    m.msg_name = &from;
    m.msg_namelen = sizeof from;
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    m.msg_control = control.data();
    m.msg_controllen = control.size();
    const ssize_t n = ::recvmsg(fd_, &m, 0);
    if (n < 0) return std::nullopt;
    d.bytes.resize(static_cast<std::size_t>(n));
    d.from_address = AddressText(from.sin_addr);
    d.from_port = ntohs(from.sin_port);
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
        in_pktinfo info{};
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        d.to_address = AddressText(info.ipi_addr);
      }
    }
    return d;
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// --- The test's updater ------------------------------------------------------------------

struct UpdaterSetup {
  std::string address = kUpdaterAddress;  // its own: siaddr, and where TFTP is served
  std::string bootp_bind = kUpdaterAddress;
  std::uint16_t bootp_port = 0;  // 0: any free one
  std::uint16_t tftp_port = 0;
  std::string projector_address = kProjectorAddress;  // yiaddr
  MacAddress mac = kDefaultMac;
  Bytes image;

  bool send_magic = true;
  std::string magic_target = kUpdaterAddress;  // stands in for the broadcast address
  std::uint16_t magic_port = 0;                // 0: set by AimMagicAt once the boot loader has bound one
  std::string magic_bind = kUpdaterAddress;
  std::uint16_t magic_bind_port = 0;
  std::chrono::milliseconds magic_interval{100};
  std::string reply_target = kUpdaterAddress;  // the reply goes here, to the request's port
  bool broadcast_source = false;               // pick the source address of the broadcasts
  bool draw_data_port = false;                 // 32768..40959, as the updater does

  bool answer_bootp = true;
  std::chrono::milliseconds resend_after{2000};

  // Faults for the boot loader to find.
  std::optional<std::string> reply_yiaddr;
  std::string reply_file = "firmware.bin";
  std::optional<std::size_t> stray_data_at;  // one copy of this block from another port first
  std::optional<std::size_t> corrupt_byte;   // this image byte goes out flipped
};

struct UpdaterLog {
  int magic_sent = 0;
  std::vector<Datagram> bootp_requests;
  int bootp_replies_sent = 0;
  std::vector<Datagram> rrqs;
  std::optional<std::size_t> bootp_requests_before_rrq;
  std::vector<std::uint16_t> acks;  // every ACK on the data port, as it came
  int other_on_data_port = 0;       // anything but a 4-byte ACK
  std::size_t data_sent = 0;
  std::vector<std::size_t> resent;  // the block (counted from 1) of each resend
  std::size_t accepted = 0;         // blocks acknowledged in turn
  bool done = false;                // the last block acknowledged
  Clock::time_point done_at{};
  std::uint16_t data_port = 0;
  std::vector<Datagram> stray_received;
  std::vector<Datagram> errors_from_server_port;  // what came back to port 69 other than RRQ
};

// The server side of the Main firmware stage, on its own thread.
class TestUpdater {
 public:
  explicit TestUpdater(UpdaterSetup setup) : s_(std::move(setup)), magic_port_(s_.magic_port) {}
  ~TestUpdater() { Stop(); }

  // Binds the BOOTP and TFTP ports; the thread starts with Serve().
  bool Open() {
    bootp_ = Udp(s_.bootp_bind, s_.bootp_port, true);
    tftp_ = Udp(s_.address, s_.tftp_port);
    magic_ = Udp(s_.magic_bind, s_.magic_bind_port, true);
    if (::pipe2(wake_.data(), O_CLOEXEC | O_NONBLOCK) != 0) return false;
    return bootp_.ok() && tftp_.ok() && magic_.ok();
  }
  std::uint16_t bootp_port() const { return bootp_.port(); }
  std::uint16_t tftp_port() const { return tftp_.port(); }
  // The boot loader's Magic port, known only once it is bound; before Serve().
  void AimMagicAt(std::uint16_t port) { magic_port_ = port; }

  void Serve() {
    thread_ = std::thread([this] { Run(); });
  }
  void Stop() {
    if (wake_[1] >= 0) {
      const std::uint8_t b = 1;
      [[maybe_unused]] const ssize_t n = ::write(wake_[1], &b, 1);
    }
    if (thread_.joinable()) thread_.join();
    for (int& fd : wake_) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
  }

  UpdaterLog log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }
  bool WaitFor(const std::function<bool(const UpdaterLog&)>& condition, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return condition(log_); });
  }

 private:
  template <typename F>
  void Note(F change) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      change(log_);
    }
    changed_.notify_all();
  }

  void Run() {
    // Ends on Stop(), or at the latest after two minutes.
    const auto end = Clock::now() + 120s;
    auto next_magic = Clock::now();
    for (int pass = 0; pass < 10000000 && Clock::now() < end; ++pass) {
      const auto now = Clock::now();
      auto wake_at = now + 50ms;
      if (s_.send_magic && !magic_stopped_) wake_at = std::min(wake_at, next_magic);
      if (data_.ok() && !done_) wake_at = std::min(wake_at, last_data_ + s_.resend_after);
      const int timeout = static_cast<int>(
          std::max<std::int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(wake_at - now).count()));
      std::array<pollfd, 5> fds{{{wake_[0], POLLIN, 0},
                                 {bootp_.fd(), POLLIN, 0},
                                 {tftp_.fd(), POLLIN, 0},
                                 {data_.fd(), POLLIN, 0},
                                 {stray_.fd(), POLLIN, 0}}};
      if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return;
      if (fds[0].revents != 0) return;
      if (fds[1].revents != 0) OnBootp();
      if (fds[2].revents != 0) OnTftp();
      if (fds[3].revents != 0) OnAck();
      if (fds[4].revents != 0) {
        if (std::optional<Datagram> d = stray_.ReceiveNow())
          Note([&](UpdaterLog& l) { l.stray_received.push_back(*d); });
      }
      const auto after = Clock::now();
      if (s_.send_magic && !magic_stopped_ && after >= next_magic) {
        Bytes magic(6, 0xAA);
        for (int i = 0; i < 4; ++i) magic.insert(magic.end(), s_.mac.begin(), s_.mac.end());
        magic_.SendTo(magic, s_.magic_target, magic_port_, s_.broadcast_source ? s_.address : "");
        Note([](UpdaterLog& l) { ++l.magic_sent; });
        next_magic = after + s_.magic_interval;
      }
      if (data_.ok() && !done_ && after >= last_data_ + s_.resend_after) {
        SendBlock(n_);
        Note([&](UpdaterLog& l) { l.resent.push_back(n_); });
      }
    }
  }

  void OnBootp() {
    std::optional<Datagram> d = bootp_.ReceiveNow();
    if (!d) return;
    Note([&](UpdaterLog& l) { l.bootp_requests.push_back(*d); });
    const Bytes& q = d->bytes;
    // What RFC 951 asks of a request, plus this projector's MAC and server name.
    if (q.size() < 236 || q[0] != 1 || q[1] != 1 || q[2] != 6) return;
    if (!std::equal(s_.mac.begin(), s_.mac.end(), q.begin() + 28)) return;
    const std::string sname = "stellaris";
    for (std::size_t i = 0; i < sname.size(); ++i) {
      if (std::tolower(q[44 + i]) != sname[i]) return;
    }
    if (q[44 + sname.size()] != 0 || !s_.answer_bootp) return;

    Bytes r = q;
    r.resize(300, 0);
    r[0] = 2;
    const in_addr yi = Address(s_.reply_yiaddr.value_or(s_.projector_address));
    const in_addr si = Address(s_.address);
    std::memcpy(&r[16], &yi, 4);
    std::memcpy(&r[20], &si, 4);
    for (std::size_t i = 0; i < s_.reply_file.size(); ++i) r[108 + i] = static_cast<std::uint8_t>(s_.reply_file[i]);
    r[108 + s_.reply_file.size()] = 0;
    bootp_.SendTo(r, s_.reply_target, d->from_port, s_.broadcast_source ? s_.address : "");
    magic_stopped_ = true;
    Note([](UpdaterLog& l) { ++l.bootp_replies_sent; });
  }

  void OnTftp() {
    std::optional<Datagram> d = tftp_.ReceiveNow();
    if (!d) return;
    if (d->bytes.size() < 2 || Get16(d->bytes, 0) != 1) {
      Bytes error{0, 5, 0, 4};
      const std::string text = "Only RRQ is supported!";
      error.insert(error.end(), text.begin(), text.end());
      error.push_back(0);
      tftp_.SendTo(error, d->from_address, d->from_port);
      Note([&](UpdaterLog& l) { l.errors_from_server_port.push_back(*d); });
      return;
    }
    magic_stopped_ = true;
    peer_address_ = d->from_address;
    peer_port_ = d->from_port;
    data_ = OpenDataPort();
    n_ = 1;
    Note([&](UpdaterLog& l) {
      l.rrqs.push_back(*d);
      if (!l.bootp_requests_before_rrq) l.bootp_requests_before_rrq = l.bootp_requests.size();
      l.data_port = data_.port();
    });
    SendBlock(1);
  }

  Udp OpenDataPort() {
    if (s_.draw_data_port) {
      std::mt19937 random(std::random_device{}());
      for (int attempt = 0; attempt < 64; ++attempt) {
        Udp u(s_.address, static_cast<std::uint16_t>(32768 + random() % 8192));
        if (u.ok()) return u;
      }
    }
    return Udp(s_.address, 0);
  }

  Bytes Block(std::size_t k) const {
    const std::size_t from = std::min(s_.image.size(), (k - 1) * 512);
    const std::size_t to = std::min(s_.image.size(), from + 512);
    Bytes out{0, 3, static_cast<std::uint8_t>((k >> 8) & 0xFF), static_cast<std::uint8_t>(k & 0xFF)};
    out.insert(out.end(), s_.image.begin() + static_cast<std::ptrdiff_t>(from),
               s_.image.begin() + static_cast<std::ptrdiff_t>(to));
    if (s_.corrupt_byte && *s_.corrupt_byte >= from && *s_.corrupt_byte < to) out[4 + *s_.corrupt_byte - from] ^= 0x10;
    return out;
  }

  void SendBlock(std::size_t k) {
    const Bytes block = Block(k);
    if (s_.stray_data_at && *s_.stray_data_at == k && !stray_.ok()) {
      stray_ = Udp(s_.address, 0);
      stray_.SendTo(block, peer_address_, peer_port_);
    }
    data_.SendTo(block, peer_address_, peer_port_);
    last_data_ = Clock::now();
    Note([](UpdaterLog& l) { ++l.data_sent; });
  }

  void OnAck() {
    std::optional<Datagram> d = data_.ReceiveNow();
    if (!d) return;
    if (d->bytes.size() != 4 || Get16(d->bytes, 0) != 4) {
      Note([](UpdaterLog& l) { ++l.other_on_data_port; });
      return;
    }
    const std::uint16_t block = Get16(d->bytes, 2);
    const bool accepted = !done_ && block == static_cast<std::uint16_t>(n_ & 0xFFFF);
    const bool last = accepted && n_ * 512 > s_.image.size();
    if (last) done_ = true;
    Note([&](UpdaterLog& l) {
      l.acks.push_back(block);
      if (accepted) ++l.accepted;
      if (last) {
        l.done = true;
        l.done_at = Clock::now();
      }
    });
    if (accepted && !last) SendBlock(++n_);
  }

  const UpdaterSetup s_;
  std::uint16_t magic_port_ = 0;  // set before the thread starts, read-only afterwards
  Udp bootp_, tftp_, magic_, data_, stray_;
  std::array<int, 2> wake_{-1, -1};
  std::thread thread_;
  // The thread's own.
  bool magic_stopped_ = false;
  bool done_ = false;
  std::size_t n_ = 0;
  std::string peer_address_;
  std::uint16_t peer_port_ = 0;
  Clock::time_point last_data_{};

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  UpdaterLog log_;
};

// --- Wiring on loopback ------------------------------------------------------------------

// The boot loader on 127.0.0.2 with ports of its own choosing; the updater on 127.0.0.1,
// "broadcasting" to 127.0.0.1.
struct Rig {
  std::unique_ptr<TestUpdater> updater;
  std::unique_ptr<BootLoader> boot;
  SimOptions options;

  BootLoaderReport report() const { return boot->report(); }
  Report Snapshot() const { return boot->report_store()->Snapshot(); }
  bool WaitBoot(const std::function<bool(const BootLoaderReport&)>& condition,
                std::chrono::milliseconds timeout = kBudget) const {
    return boot->WaitFor([&](const Report& r) { return condition(r.boot_loader); }, timeout);
  }
  bool WaitUpdater(const std::function<bool(const UpdaterLog&)>& condition,
                   std::chrono::milliseconds timeout = kBudget) const {
    return updater->WaitFor(condition, timeout);
  }
};

SimOptions LoopbackOptions() {
  SimOptions o;
  o.listen_address = kProjectorAddress;
  o.port = 0;
  o.broadcast_address = kUpdaterAddress;
  // Bound on 0.0.0.0: port 0 lets the boot loader take ports that are free and keep them.
  o.magic_port = 0;
  o.bootp_client_port = 0;
  o.tftp_server = kUpdaterAddress;
  o.restart_delay = 0ms;
  o.bootp_retry = 500ms;
  // Well beyond a stall of a loaded sanitizer run, which would otherwise bring a resent
  // ACK the test does not expect; the tests of the time-out set their own.
  o.tftp_timeout = 5000ms;
  return o;
}

// `tune` adjusts the boot loader's options once the updater's ports are known. The boot
// loader binds port 0 and keeps what it gets, so no other test can take the port between
// choosing and binding; the updater aims its Magic packets there before it starts.
std::unique_ptr<Rig> StartRig(UpdaterSetup setup, const std::function<void(SimOptions&)>& tune = nullptr) {
  auto rig = std::make_unique<Rig>();
  if (setup.image.empty()) setup.image = MakeImage(1000, 1);
  rig->options = LoopbackOptions();
  rig->options.expected_image = std::make_shared<const Bytes>(setup.image);
  rig->updater = std::make_unique<TestUpdater>(setup);
  EXPECT_TRUE(rig->updater->Open()) << "the test's updater cannot bind its ports";
  rig->options.bootp_server_port = rig->updater->bootp_port();
  rig->options.tftp_port = rig->updater->tftp_port();
  if (tune) tune(rig->options);
  rig->boot = std::make_unique<BootLoader>(rig->options);
  EXPECT_TRUE(rig->boot->Start()) << rig->boot->error();
  rig->updater->AimMagicAt(rig->boot->magic_port());
  rig->updater->Serve();
  return rig;
}

bool Done(const UpdaterLog& l) { return l.done; }
bool Restarted(const BootLoaderReport& b) { return b.phase == BootPhase::kRestarted; }

// A request as the boot loader must send it, written out from RFC 951.
void ExpectRequestLayout(const Bytes& q, const MacAddress& chaddr, const std::string& sname) {
  ASSERT_EQ(q.size(), 300u);
  EXPECT_EQ(q[0], 1);  // BOOTREQUEST
  EXPECT_EQ(q[1], 1);  // Ethernet
  EXPECT_EQ(q[2], 6);
  EXPECT_EQ(q[3], 0);  // hops
  for (std::size_t i = 8; i < 28; ++i) EXPECT_EQ(q[i], 0) << "byte " << i;
  EXPECT_TRUE(std::equal(chaddr.begin(), chaddr.end(), q.begin() + 28));
  for (std::size_t i = 34; i < 44; ++i) EXPECT_EQ(q[i], 0) << "byte " << i;
  EXPECT_EQ(std::string(q.begin() + 44, q.begin() + 44 + static_cast<std::ptrdiff_t>(sname.size())), sname);
  for (std::size_t i = 44 + sname.size(); i < 300; ++i) EXPECT_EQ(q[i], 0) << "byte " << i;
}

const Bytes kRrq = [] {
  const std::string text = std::string("\0\1firmware.bin\0octet\0", 21);
  return Bytes(text.begin(), text.end());
}();

// --- Whole transfers ---------------------------------------------------------------------

class PjsimBootTransferThreaded : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PjsimBootTransferThreaded, WholeImageArrivesIntact) {
  const std::size_t size = GetParam();
  UpdaterSetup setup;
  setup.image = MakeImage(size, static_cast<std::uint32_t>(size));
  auto rig = StartRig(setup);
  ASSERT_TRUE(rig->WaitUpdater(Done)) << Describe(rig->Snapshot());
  ASSERT_TRUE(rig->WaitBoot(Restarted)) << Describe(rig->Snapshot());

  const std::size_t blocks = size / 512 + 1;  // a multiple of 512 ends with an empty block
  const UpdaterLog log = rig->updater->log();
  ASSERT_FALSE(log.bootp_requests.empty());
  const Datagram& request = log.bootp_requests.front();
  ExpectRequestLayout(request.bytes, kDefaultMac, std::string("stellaris") + '\0');
  EXPECT_EQ(request.from_address, kProjectorAddress);
  EXPECT_EQ(request.from_port, rig->boot->bootp_client_port());
  ASSERT_EQ(log.rrqs.size(), 1u);
  EXPECT_EQ(log.rrqs[0].bytes, kRrq);
  EXPECT_EQ(log.rrqs[0].from_address, kProjectorAddress);
  EXPECT_EQ(log.rrqs[0].from_port, rig->boot->tftp_client_port());
  // Each block acknowledged once, in order, and nothing resent.
  std::vector<std::uint16_t> want;
  for (std::size_t k = 1; k <= blocks; ++k) want.push_back(static_cast<std::uint16_t>(k));
  EXPECT_EQ(log.acks, want);
  EXPECT_TRUE(log.resent.empty());
  EXPECT_EQ(log.other_on_data_port, 0);

  const Report r = rig->Snapshot();
  const BootLoaderReport& b = r.boot_loader;
  EXPECT_TRUE(r.violations.empty()) << Describe(r);
  EXPECT_GE(b.magic_packets_valid, 1);
  EXPECT_EQ(b.magic_packets, b.magic_packets_valid);
  EXPECT_EQ(b.bootp_requests_sent, static_cast<int>(log.bootp_requests.size()));
  EXPECT_GE(b.bootp_replies_valid, 1);
  EXPECT_EQ(b.bootp_replies, b.bootp_replies_valid);
  EXPECT_EQ(b.bootp_xid, Get16(request.bytes, 4) * 65536u + Get16(request.bytes, 6));
  EXPECT_EQ(b.server_address, kUpdaterAddress);
  EXPECT_EQ(b.server_data_port, log.data_port);
  EXPECT_NE(b.magic_port, 0);
  EXPECT_EQ(b.magic_port, rig->boot->magic_port());
  EXPECT_NE(b.bootp_client_port, 0);
  EXPECT_EQ(b.bootp_client_port, rig->boot->bootp_client_port());
  EXPECT_EQ(b.tftp_client_port, rig->boot->tftp_client_port());
  EXPECT_EQ(b.tftp_requests_sent, 1);
  EXPECT_EQ(b.tftp_blocks, blocks);
  EXPECT_EQ(b.acks_sent, static_cast<int>(blocks));
  EXPECT_EQ(b.resends_seen, 0);
  EXPECT_EQ(b.bytes_received, size);
  EXPECT_TRUE(b.transfer_started);
  EXPECT_TRUE(b.image_complete);
  EXPECT_TRUE(b.image_compared);
  EXPECT_TRUE(b.image_intact);
  EXPECT_TRUE(b.restarted);
  EXPECT_TRUE(Contains(b.verdict, "Main image received intact: " + std::to_string(size) + " bytes in " +
                                      std::to_string(blocks) + " blocks"))
      << b.verdict;
  EXPECT_FALSE(rig->boot->running());
}

INSTANTIATE_TEST_SUITE_P(Sizes, PjsimBootTransferThreaded, ::testing::Values(1, 511, 512, 1000, 1024),
                         [](const ::testing::TestParamInfo<std::size_t>& p) { return std::to_string(p.param); });

TEST(PjsimBootWrapThreaded, BlockNumbersWrapAfter65535) {
  UpdaterSetup setup;
  setup.image = MakeImage(65536u * 512u + 100u, 7);
  auto rig = StartRig(setup);
  ASSERT_TRUE(rig->WaitUpdater(Done, 120s)) << Describe(rig->Snapshot());
  ASSERT_TRUE(rig->WaitBoot(Restarted)) << Describe(rig->Snapshot());

  const UpdaterLog log = rig->updater->log();
  ASSERT_EQ(log.acks.size(), 65537u);
  EXPECT_EQ(log.acks[65533], 65534);
  EXPECT_EQ(log.acks[65534], 65535);
  EXPECT_EQ(log.acks[65535], 0);
  EXPECT_EQ(log.acks[65536], 1);
  const Report r = rig->Snapshot();
  EXPECT_TRUE(r.violations.empty()) << Describe(r);
  EXPECT_EQ(r.boot_loader.tftp_blocks, 65537u);
  EXPECT_EQ(r.boot_loader.bytes_received, 65536u * 512u + 100u);
  EXPECT_TRUE(r.boot_loader.image_intact);
}

// --- Waking and BOOTP --------------------------------------------------------------------

TEST(PjsimBootWakeThreaded, MalformedMagicIsAViolationAndWakesNothing) {
  UpdaterSetup setup;
  setup.send_magic = false;
  auto rig = StartRig(setup);
  Udp sender(kUpdaterAddress, 0);
  Bytes magic(6, 0xAA);
  for (int i = 0; i < 4; ++i) magic.insert(magic.end(), kDefaultMac.begin(), kDefaultMac.end());
  Bytes shortMagic(magic.begin(), magic.end() - 1);
  Bytes otherMac = magic;
  otherMac[20] = 0x12;
  ASSERT_TRUE(sender.SendTo(shortMagic, kUpdaterAddress, rig->boot->magic_port()));
  ASSERT_TRUE(sender.SendTo(otherMac, kUpdaterAddress, rig->boot->magic_port()));
  ASSERT_TRUE(rig->WaitBoot([](const BootLoaderReport& b) { return b.magic_packets == 2; }));
  // No BOOTP request follows a wrong wake-up.
  EXPECT_FALSE(rig->WaitUpdater([](const UpdaterLog& l) { return !l.bootp_requests.empty(); }, kSilence));
  Report r = rig->Snapshot();
  EXPECT_EQ(r.boot_loader.magic_packets_valid, 0);
  EXPECT_EQ(r.boot_loader.bootp_requests_sent, 0);
  EXPECT_EQ(r.boot_loader.violations, 2);
  EXPECT_TRUE(AnyViolation(r, "Magic packet of 29 bytes, expected 30")) << Describe(r);
  EXPECT_TRUE(AnyViolation(r, "Magic packet byte 20: 12, expected FF")) << Describe(r);
  EXPECT_EQ(r.violations.at(0).step, Step::kMainDownload);

  ASSERT_TRUE(sender.SendTo(magic, kUpdaterAddress, rig->boot->magic_port()));
  ASSERT_TRUE(rig->WaitUpdater(Done)) << Describe(rig->Snapshot());
  r = rig->Snapshot();
  EXPECT_EQ(r.boot_loader.magic_packets_valid, 1);
  EXPECT_EQ(r.violations.size(), 2u) << Describe(r);
}

TEST(PjsimBootWakeThreaded, StartsWithoutMagicAfterTheDelay) {
  UpdaterSetup setup;
  setup.send_magic = false;
  const auto begin = Clock::now();
  auto rig = StartRig(setup, [](SimOptions& o) { o.start_without_magic = 200ms; });
  ASSERT_TRUE(rig->WaitUpdater([](const UpdaterLog& l) { return !l.bootp_requests.empty(); }));
  EXPECT_GE(Clock::now() - begin, 200ms);
  ASSERT_TRUE(rig->WaitUpdater(Done)) << Describe(rig->Snapshot());
  ASSERT_TRUE(rig->WaitBoot(Restarted));
  EXPECT_EQ(rig->report().magic_packets, 0);
  EXPECT_TRUE(rig->report().image_intact);
}

TEST(PjsimBootWakeThreaded, UnansweredRequestIsRetriedWithTheSameXidThenGivenUp) {
  UpdaterSetup setup;
  setup.answer_bootp = false;
  auto rig = StartRig(setup, [](SimOptions& o) {
    o.bootp_retry = 100ms;
    o.bootp_tries = 3;
  });
  ASSERT_TRUE(rig->WaitBoot([](const BootLoaderReport& b) { return b.phase == BootPhase::kGaveUp; }))
      << Describe(rig->Snapshot());
  const UpdaterLog log = rig->updater->log();
  ASSERT_EQ(log.bootp_requests.size(), 3u);
  for (const Datagram& d : log.bootp_requests) EXPECT_EQ(d.bytes, log.bootp_requests[0].bytes);
  const BootLoaderReport b = rig->report();
  EXPECT_EQ(b.bootp_requests_sent, 3);
  EXPECT_EQ(b.verdict, "no BOOTP reply after 3 request(s)");
  EXPECT_FALSE(b.transfer_started);
  EXPECT_TRUE(log.rrqs.empty());
}

TEST(PjsimBootWakeThreaded, ReplyWithAnotherXidIsIgnored) {
  UpdaterSetup setup;
  setup.answer_bootp = false;
  auto rig = StartRig(setup);
  ASSERT_TRUE(rig->WaitUpdater([](const UpdaterLog& l) { return !l.bootp_requests.empty(); }));
  const Datagram request = rig->updater->log().bootp_requests.front();

  Bytes reply = request.bytes;
  reply[0] = 2;
  const in_addr yi = Address(kProjectorAddress);
  const in_addr si = Address(kUpdaterAddress);
  std::memcpy(&reply[16], &yi, 4);
  std::memcpy(&reply[20], &si, 4);
  const std::string file = "firmware.bin";
  std::memcpy(&reply[108], file.c_str(), file.size() + 1);
  Bytes stranger = reply;
  stranger[7] ^= 0x5A;
  Udp server(kUpdaterAddress, 0);
  ASSERT_TRUE(server.SendTo(stranger, kUpdaterAddress, request.from_port));
  ASSERT_TRUE(rig->WaitBoot([](const BootLoaderReport& b) { return b.bootp_replies_ignored == 1; }));
  EXPECT_EQ(rig->report().bootp_replies, 0);
  EXPECT_EQ(rig->report().phase, BootPhase::kBootp);

  ASSERT_TRUE(server.SendTo(reply, kUpdaterAddress, request.from_port));
  ASSERT_TRUE(rig->WaitUpdater([](const UpdaterLog& l) { return !l.rrqs.empty(); }));
  const Report r = rig->Snapshot();
  EXPECT_EQ(r.boot_loader.bootp_replies, 1);
  EXPECT_EQ(r.boot_loader.bootp_replies_valid, 1);
  EXPECT_TRUE(r.violations.empty()) << Describe(r);
}

TEST(PjsimBootViolationsThreaded, ReplyWithAWrongYiaddrIsNamed) {
  UpdaterSetup setup;
  setup.reply_yiaddr = "127.0.0.9";
  auto rig = StartRig(setup);
  ASSERT_TRUE(rig->WaitUpdater(Done)) << Describe(rig->Snapshot());
  ASSERT_TRUE(rig->WaitBoot(Restarted));
  const Report r = rig->Snapshot();
  EXPECT_TRUE(AnyViolation(r, "BOOTP reply: byte 19 (yiaddr): 127.0.0.9, expected the projector's address 127.0.0.2"))
      << Describe(r);
  EXPECT_EQ(r.boot_loader.violations, 1) << Describe(r);
  EXPECT_EQ(r.boot_loader.bootp_replies, 1);
  EXPECT_EQ(r.boot_loader.bootp_replies_valid, 0);
  // The image itself still came through.
  EXPECT_TRUE(r.boot_loader.image_intact);
}

TEST(PjsimBootViolationsThreaded, ReplyWithAWrongFileNameIsNamed) {
  UpdaterSetup setup;
  setup.reply_file = "firmware.bim";
  auto rig = StartRig(setup);
  ASSERT_TRUE(rig->WaitUpdater(Done)) << Describe(rig->Snapshot());
  const Report r = rig->Snapshot();
  EXPECT_TRUE(AnyViolation(r, "byte 119 (file): file name \"firmware.bim\", expected \"firmware.bin\" and a NUL"))
      << Describe(r);
  EXPECT_EQ(r.boot_loader.bootp_replies_valid, 0);
  // The read request names the file the boot loader wants, whatever the reply said.
  ASSERT_EQ(rig->updater->log().rrqs.size(), 1u);
  EXPECT_EQ(rig->updater->log().rrqs[0].bytes, kRrq);
}

// --- TFTP checks -------------------------------------------------------------------------

TEST(PjsimBootViolationsThreaded, DataFromAnotherPortMidTransferIsAViolationAndGetsError5) {
  UpdaterSetup setup;
  setup.image = MakeImage(2000, 3);
  setup.stray_data_at = 2;
  auto rig = StartRig(setup);
  ASSERT_TRUE(rig->WaitUpdater(Done)) << Describe(rig->Snapshot());
  ASSERT_TRUE(rig->WaitUpdater([](const UpdaterLog& l) { return !l.stray_received.empty(); }));
  const UpdaterLog log = rig->updater->log();
  const Bytes& error = log.stray_received[0].bytes;
  ASSERT_GE(error.size(), 5u);
  EXPECT_EQ(Get16(error, 0), 5);  // ERROR
  EXPECT_EQ(Get16(error, 2), 5);  // unknown transfer ID
  EXPECT_EQ(error.back(), 0);
  EXPECT_EQ(log.acks, (std::vector<std::uint16_t>{1, 2, 3, 4}));

  ASSERT_TRUE(rig->WaitBoot(Restarted));
  const Report r = rig->Snapshot();
  EXPECT_EQ(r.boot_loader.violations, 1) << Describe(r);
  EXPECT_TRUE(AnyViolation(r, "TFTP: DATA block 2 from 127.0.0.1:")) << Describe(r);
  EXPECT_TRUE(AnyViolation(r, "but the transfer is with 127.0.0.1:" + std::to_string(log.data_port))) << Describe(r);
  EXPECT_TRUE(r.boot_loader.image_intact);
}

TEST(PjsimBootViolationsThreaded, CorruptedByteLeavesTheImageNotIntact) {
  UpdaterSetup setup;
  setup.image = MakeImage(1500, 4);
  setup.corrupt_byte = 700;
  auto rig = StartRig(setup);
  ASSERT_TRUE(rig->WaitUpdater(Done)) << Describe(rig->Snapshot());
  ASSERT_TRUE(rig->WaitBoot(Restarted));
  const Report r = rig->Snapshot();
  EXPECT_TRUE(AnyViolation(r, "TFTP: image byte 700 (block 2, byte 188 of its data)")) << Describe(r);
  EXPECT_TRUE(r.boot_loader.image_complete);
  EXPECT_TRUE(r.boot_loader.image_compared);
  EXPECT_FALSE(r.boot_loader.image_intact);
  EXPECT_EQ(r.boot_loader.bytes_received, 1500u);
  EXPECT_TRUE(Contains(r.boot_loader.verdict, "NOT intact")) << r.boot_loader.verdict;
  EXPECT_TRUE(Contains(r.boot_loader.verdict, "first difference at byte 700")) << r.boot_loader.verdict;
}

// --- Fault options, seen from the updater's side -----------------------------------------

TEST(PjsimBootFaultsThreaded, DropAcksMakesTheUpdaterResend) {
  UpdaterSetup setup;
  setup.image = MakeImage(1200, 5);
  setup.resend_after = kResendAfter;
  auto rig = StartRig(setup, [](SimOptions& o) { o.drop_acks = 2; });
  ASSERT_TRUE(rig->WaitUpdater(Done)) << Describe(rig->Snapshot());
  const UpdaterLog log = rig->updater->log();
  // Block 1 went out three times before its ACK came; then each block once.
  EXPECT_EQ(log.resent, (std::vector<std::size_t>{1, 1}));
  EXPECT_EQ(log.acks, (std::vector<std::uint16_t>{1, 2, 3}));
  EXPECT_EQ(log.data_sent, 5u);

  ASSERT_TRUE(rig->WaitBoot(Restarted));
  const Report r = rig->Snapshot();
  EXPECT_TRUE(r.violations.empty()) << Describe(r);
  EXPECT_EQ(r.boot_loader.acks_withheld, 2);
  EXPECT_EQ(r.boot_loader.resends_seen, 2);
  EXPECT_EQ(r.boot_loader.data_datagrams, 5);
  EXPECT_EQ(r.boot_loader.tftp_blocks, 3u);
  EXPECT_TRUE(r.boot_loader.image_intact);
}

TEST(PjsimBootFaultsThreaded, DropAcksOfTheLastBlockWaitsForItsResend) {
  UpdaterSetup setup;
  setup.image = MakeImage(100, 6);
  setup.resend_after = kResendAfter;
  auto rig = StartRig(setup, [](SimOptions& o) { o.drop_acks = 1; });
  ASSERT_TRUE(rig->WaitUpdater(Done)) << Describe(rig->Snapshot());
  EXPECT_EQ(rig->updater->log().resent, (std::vector<std::size_t>{1}));
  ASSERT_TRUE(rig->WaitBoot(Restarted));
  EXPECT_TRUE(rig->report().image_intact);
}

TEST(PjsimBootFaultsThreaded, DuplicateAcksComeTwiceWithoutAResend) {
  UpdaterSetup setup;
  setup.image = MakeImage(1100, 8);
  auto rig = StartRig(setup, [](SimOptions& o) { o.duplicate_acks = true; });
  ASSERT_TRUE(rig->WaitUpdater(Done)) << Describe(rig->Snapshot());
  // The last ACK's copy may trail the end of the transfer.
  ASSERT_TRUE(rig->WaitUpdater([](const UpdaterLog& l) { return l.acks.size() == 6; }));
  const UpdaterLog log = rig->updater->log();
  EXPECT_EQ(log.acks, (std::vector<std::uint16_t>{1, 1, 2, 2, 3, 3}));
  EXPECT_TRUE(log.resent.empty());
  EXPECT_EQ(log.data_sent, 3u);
  ASSERT_TRUE(rig->WaitBoot(Restarted));
  EXPECT_EQ(rig->report().acks_sent, 6);
  EXPECT_TRUE(rig->Snapshot().violations.empty()) << Describe(rig->Snapshot());
}

TEST(PjsimBootFaultsThreaded, StopAtBlockGoesSilent) {
  UpdaterSetup setup;
  setup.image = MakeImage(5 * 512 + 7, 9);
  setup.resend_after = kResendAfter;
  auto rig = StartRig(setup, [](SimOptions& o) { o.stop_at_block = 2; });
  // The updater gets ACK 1, then resends block 2 into the silence.
  ASSERT_TRUE(rig->WaitUpdater([](const UpdaterLog& l) { return l.resent.size() >= 2; })) << Describe(rig->Snapshot());
  const UpdaterLog log = rig->updater->log();
  EXPECT_EQ(log.acks, (std::vector<std::uint16_t>{1}));
  EXPECT_FALSE(log.done);
  for (std::size_t k : log.resent) EXPECT_EQ(k, 2u);

  ASSERT_TRUE(rig->WaitBoot([](const BootLoaderReport& b) { return b.resends_seen >= 2; }));
  const BootLoaderReport b = rig->report();
  EXPECT_EQ(b.phase, BootPhase::kSilent);
  EXPECT_EQ(b.tftp_blocks, 2u);
  EXPECT_EQ(b.acks_sent, 1);
  EXPECT_TRUE(b.transfer_started);
  EXPECT_FALSE(b.image_intact);
  EXPECT_FALSE(b.restart_began);
  EXPECT_TRUE(Contains(b.verdict, "went silent after block 2 (fault: stop at block 2)")) << b.verdict;
  EXPECT_TRUE(rig->boot->running());
}

// The timeline's awake interval ends where the run went silent; the stop later keeps it.
TEST(PjsimBootFaultsThreaded, SilenceEndsTheAwakeIntervalAndTheStopKeepsIt) {
  UpdaterSetup setup;
  setup.image = MakeImage(5 * 512 + 7, 10);
  setup.resend_after = kResendAfter;
  const Clock::time_point before = Clock::now();
  auto rig = StartRig(setup, [](SimOptions& o) { o.stop_at_block = 2; });
  ASSERT_TRUE(rig->WaitBoot([](const BootLoaderReport& b) { return b.phase == BootPhase::kSilent; }));
  Report r = rig->Snapshot();
  ASSERT_EQ(r.boot_awake.size(), 1u);
  const AwakeInterval awake = r.boot_awake[0];
  EXPECT_EQ(awake.run, r.boot_loader.run);
  EXPECT_EQ(awake.end, BootPhase::kSilent);
  ASSERT_TRUE(awake.to.has_value());
  EXPECT_LE(before, awake.from);
  EXPECT_LE(awake.from, *awake.to);
  EXPECT_LE(*awake.to, Clock::now());

  rig->boot->Stop();
  r = rig->Snapshot();
  EXPECT_EQ(r.boot_loader.phase, BootPhase::kStopped);
  ASSERT_EQ(r.boot_awake.size(), 1u);
  EXPECT_EQ(r.boot_awake[0].end, BootPhase::kSilent);
  EXPECT_EQ(r.boot_awake[0].to, awake.to);
  const std::vector<std::string> lines = TimelineLines(r);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "timeline: boot loader awake run 1 from " + MonoText(awake.from) + " to " + MonoText(*awake.to) +
                          " (silent (fault))");
}

TEST(PjsimBootFaultsThreaded, OtherMacInTheRequestIsIgnoredByTheUpdater) {
  const MacAddress other{0x00, 0x1B, 0x44, 0x11, 0x3A, 0xB7};
  UpdaterSetup setup;
  auto rig = StartRig(setup, [&](SimOptions& o) {
    o.bootp_mac = other;
    o.bootp_retry = 100ms;
    o.bootp_tries = 2;
  });
  ASSERT_TRUE(rig->WaitBoot([](const BootLoaderReport& b) { return b.phase == BootPhase::kGaveUp; }));
  const UpdaterLog log = rig->updater->log();
  ASSERT_EQ(log.bootp_requests.size(), 2u);
  ExpectRequestLayout(log.bootp_requests[0].bytes, other, std::string("stellaris") + '\0');
  EXPECT_EQ(log.bootp_replies_sent, 0);
  EXPECT_TRUE(log.rrqs.empty());
  // The Magic still named the projector's own MAC, and woke it.
  EXPECT_GE(rig->report().magic_packets_valid, 1);
}

TEST(PjsimBootFaultsThreaded, OtherServerNameIsIgnoredByTheUpdater) {
  UpdaterSetup setup;
  auto rig = StartRig(setup, [](SimOptions& o) {
    o.bootp_sname = "stellaris2";
    o.bootp_retry = 100ms;
    o.bootp_tries = 2;
  });
  ASSERT_TRUE(rig->WaitBoot([](const BootLoaderReport& b) { return b.phase == BootPhase::kGaveUp; }));
  const UpdaterLog log = rig->updater->log();
  ASSERT_EQ(log.bootp_requests.size(), 2u);
  ExpectRequestLayout(log.bootp_requests[0].bytes, kDefaultMac, std::string("stellaris2") + '\0');
  EXPECT_EQ(log.bootp_replies_sent, 0);
}

TEST(PjsimBootFaultsThreaded, UpperCaseServerNameIsAnsweredAndEchoed) {
  UpdaterSetup setup;
  auto rig = StartRig(setup, [](SimOptions& o) { o.bootp_sname = "STELLARIS"; });
  ASSERT_TRUE(rig->WaitUpdater(Done)) << Describe(rig->Snapshot());
  ASSERT_TRUE(rig->WaitBoot(Restarted));
  const UpdaterLog log = rig->updater->log();
  ExpectRequestLayout(log.bootp_requests.at(0).bytes, kDefaultMac, std::string("STELLARIS") + '\0');
  const Report r = rig->Snapshot();
  EXPECT_TRUE(r.violations.empty()) << Describe(r);
  EXPECT_TRUE(r.boot_loader.image_intact);
}

TEST(PjsimBootFaultsThreaded, SkipBootpSendsTheReadRequestStraightAway) {
  UpdaterSetup setup;
  auto rig = StartRig(setup, [](SimOptions& o) { o.skip_bootp = true; });
  ASSERT_TRUE(rig->WaitUpdater(Done)) << Describe(rig->Snapshot());
  const UpdaterLog log = rig->updater->log();
  ASSERT_TRUE(log.bootp_requests_before_rrq.has_value());
  EXPECT_EQ(*log.bootp_requests_before_rrq, 0u);
  EXPECT_TRUE(log.bootp_requests.empty());
  ASSERT_EQ(log.rrqs.size(), 1u);
  EXPECT_EQ(log.rrqs[0].bytes, kRrq);
  ASSERT_TRUE(rig->WaitBoot(Restarted));
  const BootLoaderReport b = rig->report();
  EXPECT_EQ(b.bootp_requests_sent, 0);
  EXPECT_EQ(b.server_address, kUpdaterAddress);
  EXPECT_TRUE(b.image_intact);
}

TEST(PjsimBootFaultsThreaded, SilentServerIsGivenUpAfterTheTries) {
  // BOOTP is answered, but the read request goes to a port that never answers.
  Udp deaf(kUpdaterAddress, 0);
  ASSERT_TRUE(deaf.ok());
  UpdaterSetup setup;
  auto rig = StartRig(setup, [&](SimOptions& o) {
    o.tftp_port = deaf.port();
    o.tftp_timeout = 100ms;
    o.tftp_tries = 3;
  });
  ASSERT_TRUE(rig->WaitBoot([](const BootLoaderReport& b) { return b.phase == BootPhase::kGaveUp; }))
      << Describe(rig->Snapshot());
  const BootLoaderReport b = rig->report();
  EXPECT_EQ(b.tftp_requests_sent, 3);
  EXPECT_EQ(b.timeouts, 3);
  EXPECT_TRUE(Contains(b.verdict, "no DATA for 100 ms 3 time(s) in a row")) << b.verdict;
  EXPECT_FALSE(b.transfer_started);
  // The first request and a resend after each time-out but the last.
  int requests = 0;
  for (int i = 0; i < 10; ++i) {
    const std::optional<Datagram> d = deaf.ReceiveNow();
    if (!d) break;
    EXPECT_EQ(d->bytes, kRrq);
    ++requests;
  }
  EXPECT_EQ(requests, 3);
}

// --- Lifecycle ---------------------------------------------------------------------------

TEST(PjsimBootLifecycleThreaded, StopWhileWaitingForMagicIsPromptAndSaysWhere) {
  BootLoader boot(LoopbackOptions());
  ASSERT_TRUE(boot.Start()) << boot.error();
  EXPECT_TRUE(boot.running());
  EXPECT_NE(boot.magic_port(), 0);
  EXPECT_NE(boot.bootp_client_port(), 0);
  EXPECT_EQ(boot.report().magic_port, boot.magic_port());
  const auto before = Clock::now();
  boot.Stop();
  EXPECT_LT(Clock::now() - before, 1000ms);
  EXPECT_FALSE(boot.running());
  const BootLoaderReport b = boot.report();
  EXPECT_EQ(b.phase, BootPhase::kStopped);
  EXPECT_EQ(b.verdict, "stopped while awaiting the Magic packet");
  boot.Stop();  // again: nothing happens
  EXPECT_FALSE(boot.Start());
  EXPECT_EQ(boot.error(), "already started");
}

TEST(PjsimBootLifecycleThreaded, StopDuringTheTransferSaysHowFarItGot) {
  Udp quiet(kUpdaterAddress, 0);
  ASSERT_TRUE(quiet.ok());
  UpdaterSetup setup;
  auto rig = StartRig(setup, [&](SimOptions& o) {
    o.tftp_port = quiet.port();
    o.tftp_timeout = 30000ms;
  });
  ASSERT_TRUE(rig->WaitBoot([](const BootLoaderReport& b) { return b.tftp_requests_sent == 1; }));
  // Block 1 from a port of the test's, then nothing more.
  Udp server(kUpdaterAddress, 0);
  Bytes block{0, 3, 0, 1};
  block.resize(4 + 512, 0x42);
  ASSERT_TRUE(server.SendTo(block, kProjectorAddress, rig->boot->tftp_client_port()));
  ASSERT_TRUE(rig->WaitBoot([](const BootLoaderReport& b) { return b.tftp_blocks == 1; }));
  const auto before = Clock::now();
  rig->boot->Stop();
  EXPECT_LT(Clock::now() - before, 1000ms);
  const BootLoaderReport b = rig->report();
  EXPECT_EQ(b.phase, BootPhase::kStopped);
  EXPECT_EQ(b.verdict, "stopped while receiving the image by TFTP; 512 bytes in 1 blocks received");
  EXPECT_TRUE(b.transfer_started);
  EXPECT_FALSE(b.image_intact);
}

TEST(PjsimBootLifecycleThreaded, StopDuringALongRestartIsPrompt) {
  UpdaterSetup setup;
  auto rig = StartRig(setup, [](SimOptions& o) { o.restart_delay = 30000ms; });
  ASSERT_TRUE(rig->WaitBoot([](const BootLoaderReport& b) { return b.restart_began; })) << Describe(rig->Snapshot());
  const auto before = Clock::now();
  rig->boot->Stop();
  EXPECT_LT(Clock::now() - before, 1000ms);
  const BootLoaderReport b = rig->report();
  EXPECT_EQ(b.phase, BootPhase::kStopped);
  EXPECT_FALSE(b.restarted);
  EXPECT_TRUE(b.image_intact);
  EXPECT_TRUE(Contains(b.verdict, "Main image received intact")) << b.verdict;
}

TEST(PjsimBootLifecycleThreaded, StartFailsOnAPortHeldElsewhere) {
  Udp holder("0.0.0.0", 0);
  ASSERT_TRUE(holder.ok());
  SimOptions o = LoopbackOptions();
  o.magic_port = holder.port();
  o.bootp_client_port = 0;
  BootLoader boot(o);
  EXPECT_FALSE(boot.Start());
  EXPECT_TRUE(Contains(boot.error(), "Magic socket: cannot bind 0.0.0.0:" + std::to_string(holder.port())))
      << boot.error();
  EXPECT_FALSE(boot.running());
  const BootLoaderReport b = boot.report();
  EXPECT_EQ(b.phase, BootPhase::kFailed);
  EXPECT_EQ(b.error, boot.error());
}

TEST(PjsimBootLifecycleThreaded, StartRefusesWhatItCannotWorkWith) {
  SimOptions noServer = LoopbackOptions();
  noServer.magic_port = 0;
  noServer.bootp_client_port = 0;
  noServer.tftp_server.clear();
  noServer.skip_bootp = true;
  BootLoader a(noServer);
  EXPECT_FALSE(a.Start());
  EXPECT_TRUE(Contains(a.error(), "without BOOTP the read request needs a server")) << a.error();

  SimOptions everywhere = LoopbackOptions();
  everywhere.magic_port = 0;
  everywhere.bootp_client_port = 0;
  everywhere.listen_address = "0.0.0.0";
  BootLoader b(everywhere);
  EXPECT_FALSE(b.Start());
  EXPECT_TRUE(Contains(b.error(), "needs the projector's own address")) << b.error();

  SimOptions noImage = LoopbackOptions();
  noImage.magic_port = 0;
  noImage.bootp_client_port = 0;
  noImage.expected_image_path = "/nonexistent/firmware.bin";
  BootLoader c(noImage);
  EXPECT_FALSE(c.Start());
  EXPECT_TRUE(Contains(c.error(), "cannot open the image file")) << c.error();
}

// --- The whole projector: control service, boot loader, restart -------------------------

// The control connection from the updater's address to the projector's.
class Control : public testing::TestClient {
 public:
  explicit Control(std::uint16_t port) : TestClient(port, kProjectorAddress, kUpdaterAddress) {}
  // Exactly n bytes, or fewer when the time runs out or the connection ends.
  Bytes Read(std::size_t n, std::chrono::milliseconds budget = kBudget) { return ReadExactly(n, budget); }
  // True when the projector ends the connection within the budget.
  bool Closed(std::chrono::milliseconds budget = kBudget) { return ClosedWithin(budget); }
};

using testing::kUdAck;
using testing::kUdEt;
using testing::Text;

// Greeting, handshake and the Main download-mode command, as the updater sends them.
void SendMainCommand(Control& main) {
  ASSERT_TRUE(main.connected());
  ASSERT_EQ(main.Read(5), Text("PJ_OK"));
  ASSERT_TRUE(main.Send(Text("PJREQ")));
  ASSERT_EQ(main.Read(5), Text("PJACK"));
  ASSERT_TRUE(main.Send(kUdEt));
}

// Waits for the boot loader the Main command started to bind its ports, then points the
// updater's Magic packets at it.
void AimAtTheBootLoader(const ProjectorSim& sim, TestUpdater& updater) {
  ASSERT_TRUE(
      sim.WaitFor([](const Report& r) { return r.boot_loader.run == 1 && r.boot_loader.magic_port != 0; }, kBudget))
      << Describe(sim.Snapshot());
  updater.AimMagicAt(sim.Snapshot().boot_loader.magic_port);
}

TEST(PjsimProjectorThreaded, MainStageThenRestartThenAFreshControlService) {
  constexpr std::chrono::milliseconds kRestart = 800ms;
  UpdaterSetup setup;
  setup.image = MakeImage(3000, 11);
  TestUpdater updater(setup);
  ASSERT_TRUE(updater.Open());

  SimOptions o = LoopbackOptions();
  o.tftp_server.clear();  // the control connection's peer, 127.0.0.1
  o.bootp_server_port = updater.bootp_port();
  o.tftp_port = updater.tftp_port();
  o.restart_delay = kRestart;
  o.expected_image = std::make_shared<const Bytes>(setup.image);
  ProjectorSim sim(o);
  ASSERT_TRUE(sim.Start()) << sim.error();

  Control main(sim.port());
  ASSERT_NO_FATAL_FAILURE(SendMainCommand(main));
  ASSERT_EQ(main.Read(6), kUdAck);
  ASSERT_NO_FATAL_FAILURE(AimAtTheBootLoader(sim, updater));
  updater.Serve();

  ASSERT_TRUE(updater.WaitFor(Done, kBudget)) << Describe(sim.Snapshot());
  ASSERT_TRUE(sim.WaitFor([](const Report& r) { return r.boot_loader.restart_began; }, kBudget));
  // The restart ends the old control connection.
  EXPECT_TRUE(main.Closed());

  // A connection during the restart waits in the backlog, ungreeted.
  Control sub(sim.port());
  ASSERT_TRUE(sub.connected());
  const Clock::time_point began = sim.Snapshot().boot_loader.restart_began_at;
  const auto quiet = std::chrono::ceil<std::chrono::milliseconds>(began + kRestart - 100ms - Clock::now());
  if (quiet > 0ms) {
    EXPECT_TRUE(sub.Read(1, quiet).empty()) << "greeted during the restart";
  }
  ASSERT_EQ(sub.Read(5), Text("PJ_OK"));
  EXPECT_GE(Clock::now() - began, kRestart);
  // A fresh control service: the handshake from the start.
  ASSERT_TRUE(sub.Send(Text("PJREQ")));
  ASSERT_EQ(sub.Read(5), Text("PJACK"));

  ASSERT_TRUE(
      sim.WaitFor([](const Report& r) { return r.connection_count() == 2 && r.boot_loader.restarted; }, kBudget));
  const Report r = sim.Snapshot();
  EXPECT_TRUE(r.violations.empty()) << Describe(r);
  EXPECT_EQ(r.boot_loader.connection, 1);
  EXPECT_EQ(r.boot_loader.server_address, kUpdaterAddress);
  EXPECT_TRUE(r.boot_loader.image_intact);
  EXPECT_EQ(r.connections.at(0).end_reason, "projector restarted");
  EXPECT_EQ(r.connections.at(1).last_step, Step::kAwaitCommand);
  EXPECT_FALSE(sim.boot_loader_running());
  updater.Stop();
  sim.Stop();
}

TEST(PjsimProjectorThreaded, RepeatedAcknowledgementStartsOneBootLoaderAndTheRestartResets) {
  UpdaterSetup setup;
  setup.image = MakeImage(1500, 12);
  TestUpdater updater(setup);
  ASSERT_TRUE(updater.Open());

  SimOptions o = LoopbackOptions();
  o.tftp_server.clear();
  o.bootp_server_port = updater.bootp_port();
  o.tftp_port = updater.tftp_port();
  o.expected_image = std::make_shared<const Bytes>(setup.image);
  o.close_with_reset = true;
  o.repeat_ud_ack = true;
  o.split_gap = 1000ms;  // wide enough to look at the boot loader between the two copies
  ProjectorSim sim(o);
  ASSERT_TRUE(sim.Start()) << sim.error();

  Control main(sim.port());
  ASSERT_NO_FATAL_FAILURE(SendMainCommand(main));
  const testing::TestClient::Read first = main.ReadOnce(kBudget, 64);
  ASSERT_EQ(first.kind, testing::TestClient::Kind::kData);
  EXPECT_EQ(first.bytes, kUdAck);
  EXPECT_EQ(sim.Snapshot().boot_loader.run, 0) << "the boot loader started before the second acknowledgement";
  ASSERT_EQ(main.Read(6), kUdAck);
  ASSERT_NO_FATAL_FAILURE(AimAtTheBootLoader(sim, updater));
  updater.Serve();

  ASSERT_TRUE(updater.WaitFor(Done, kBudget)) << Describe(sim.Snapshot());
  // The restart drops the control connection with a reset, nothing sent before it.
  const testing::TestClient::Read end = main.ReadOnce(kBudget);
  EXPECT_EQ(end.kind, testing::TestClient::Kind::kClosed);
  EXPECT_TRUE(end.bytes.empty());
  EXPECT_EQ(end.error, ECONNRESET);

  ASSERT_TRUE(sim.WaitFor([](const Report& r) { return r.boot_loader.restarted; }, kBudget));
  Control next(sim.port());
  ASSERT_EQ(next.Read(5), Text("PJ_OK"));
  ASSERT_TRUE(sim.WaitFor([](const Report& r) { return r.connection_count() == 2; }, kBudget));
  const Report r = sim.Snapshot();
  EXPECT_TRUE(r.violations.empty()) << Describe(r);
  EXPECT_EQ(r.boot_loader.run, 1);
  EXPECT_TRUE(r.boot_loader.image_intact);
  EXPECT_EQ(r.connections.at(0).end_reason, "projector restarted");
  updater.Stop();
  sim.Stop();
}

TEST(PjsimProjectorThreaded, StopWithTheBootLoaderWaitingIsPrompt) {
  ProjectorSim sim(LoopbackOptions());
  ASSERT_TRUE(sim.Start()) << sim.error();
  Control c(sim.port());
  ASSERT_EQ(c.Read(5), Text("PJ_OK"));
  ASSERT_TRUE(c.Send(Text("PJREQ")));
  ASSERT_EQ(c.Read(5), Text("PJACK"));
  ASSERT_TRUE(c.Send(kUdEt));
  ASSERT_EQ(c.Read(6), kUdAck);
  ASSERT_TRUE(sim.WaitFor([](const Report& r) { return r.boot_loader.phase == BootPhase::kAwaitMagic; }, kBudget));
  EXPECT_TRUE(sim.boot_loader_running());
  const auto before = Clock::now();
  sim.Stop();
  EXPECT_LT(Clock::now() - before, 1000ms);
  EXPECT_EQ(sim.Snapshot().boot_loader.phase, BootPhase::kStopped);
}

// --- The real ports and the real broadcast, in a namespace of its own --------------------

bool BringLoopbackUp(std::string& error) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (ok) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    ok = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  if (!ok) error = std::string("cannot bring lo up: ") + std::strerror(errno);
  ::close(fd);
  return ok;
}

// In the child: the whole exchange, then "key value" lines for the parent.
std::string RunInNamespace(bool bindBroadcast) {
  std::ostringstream out;
  if (::unshare(CLONE_NEWNET) != 0)
    return std::string("skip unshare(CLONE_NEWNET) failed: ") + std::strerror(errno) + "\n";
  std::string error;
  if (!BringLoopbackUp(error)) return "skip " + error + "\n";

  UpdaterSetup setup;
  setup.image = MakeImage(2 * 512 + 300, 21);
  setup.bootp_bind = "0.0.0.0";  // a socket on a unicast address hears no limited broadcast
  setup.bootp_port = 67;
  setup.tftp_port = 69;
  setup.magic_target = "255.255.255.255";
  setup.magic_port = 9;
  // Bound to port 9 as the updater's Magic socket is, unless the boot loader holds 0.0.0.0:9.
  setup.magic_bind = bindBroadcast ? kUpdaterAddress : "0.0.0.0";
  setup.magic_bind_port = bindBroadcast ? 9 : 0;
  setup.reply_target = "255.255.255.255";
  setup.broadcast_source = true;
  setup.draw_data_port = true;
  TestUpdater updater(setup);
  if (!updater.Open()) return std::string("fail the test's updater cannot bind ports 9, 67 and 69\n");

  SimOptions o;
  o.listen_address = kProjectorAddress;
  o.broadcast_bind_address = bindBroadcast ? "255.255.255.255" : "0.0.0.0";
  o.tftp_server = kUpdaterAddress;
  o.restart_delay = 0ms;
  o.expected_image = std::make_shared<const Bytes>(setup.image);
  BootLoader boot(o);
  if (!boot.Start()) return "fail boot loader: " + boot.error() + "\n";
  updater.Serve();
  const bool done = updater.WaitFor(Done, kBudget);
  const bool restarted = boot.WaitFor([](const Report& r) { return r.boot_loader.restarted; }, kBudget);
  updater.Stop();
  boot.Stop();

  const UpdaterLog log = updater.log();
  const Report r = boot.report_store()->Snapshot();
  out << "done " << done << "\nrestarted " << restarted << "\nintact " << r.boot_loader.image_intact << "\nbytes "
      << r.boot_loader.bytes_received << "\nviolations " << r.violations.size() << "\nmagic_valid "
      << r.boot_loader.magic_packets_valid << "\nreplies_valid " << r.boot_loader.bootp_replies_valid << "\nrequests "
      << log.bootp_requests.size() << "\ndata_port " << log.data_port << "\n";
  if (!log.bootp_requests.empty()) {
    const Datagram& q = log.bootp_requests.front();
    out << "request_to " << q.to_address << "\nrequest_from " << q.from_address << ":" << q.from_port << "\n";
  }
  if (!log.rrqs.empty()) out << "rrq_to_port " << o.tftp_port << "\nrrq_from " << log.rrqs[0].from_address << "\n";
  for (const Violation& v : r.violations) out << "violation " << v.text << "\n";
  return out.str();
}

class PjsimBootNamespaceThreaded : public ::testing::TestWithParam<bool> {};

TEST_P(PjsimBootNamespaceThreaded, RealPortsAndRealBroadcast) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private network namespace and ports 9, 67, 68, 69";
  std::array<int, 2> pipe{-1, -1};
  ASSERT_EQ(::pipe2(pipe.data(), O_CLOEXEC), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0) << std::strerror(errno);
  if (child == 0) {
    // The child alone enters the new namespace; the test process keeps its own.
    ::close(pipe[0]);
    const std::string result = RunInNamespace(GetParam());
    std::size_t written = 0;
    for (int i = 0; i < 100 && written < result.size(); ++i) {
      const ssize_t n = ::write(pipe[1], result.data() + written, result.size() - written);
      if (n <= 0) break;
      written += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(pipe[1]);
  std::string text;
  const auto deadline = Clock::now() + 60s;
  bool ended = false;
  for (int pass = 0; pass < 10000 && !ended; ++pass) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= 0ms) break;
    pollfd p{pipe[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    std::array<char, 512> buffer{};
    const ssize_t n = ::read(pipe[0], buffer.data(), buffer.size());
    if (n <= 0) {
      ended = true;
    } else {
      text.append(buffer.data(), static_cast<std::size_t>(n));
    }
  }
  ::close(pipe[0]);
  if (!ended) ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(ended) << "the child did not finish within 60 s";
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
  if (text.rfind("skip ", 0) == 0) GTEST_SKIP() << text.substr(5);
  ASSERT_FALSE(text.rfind("fail ", 0) == 0) << text;

  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  std::string line;
  for (int i = 0; i < 1000 && std::getline(lines, line); ++i) {
    const std::size_t space = line.find(' ');
    if (space != std::string::npos && line.substr(0, space) != "violation")
      values[line.substr(0, space)] = line.substr(space + 1);
  }
  EXPECT_EQ(values["done"], "1") << text;
  EXPECT_EQ(values["restarted"], "1") << text;
  EXPECT_EQ(values["intact"], "1") << text;
  EXPECT_EQ(values["bytes"], "1324") << text;
  EXPECT_EQ(values["violations"], "0") << text;
  EXPECT_NE(values["magic_valid"], "0") << text;
  EXPECT_NE(values["replies_valid"], "0") << text;
  // The request really was a limited broadcast from port 68, to port 67.
  EXPECT_EQ(values["request_to"], "255.255.255.255") << text;
  EXPECT_EQ(values["request_from"], kProjectorAddress + ":68") << text;
  EXPECT_EQ(values["rrq_to_port"], "69") << text;
  EXPECT_EQ(values["rrq_from"], kProjectorAddress) << text;
  const int dataPort = std::atoi(values["data_port"].c_str());
  EXPECT_GE(dataPort, 32768) << text;
  EXPECT_LE(dataPort, 40959) << text;
}

INSTANTIATE_TEST_SUITE_P(Bind, PjsimBootNamespaceThreaded, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? std::string("BroadcastAddress") : std::string("Wildcard");
                         });

}  // namespace
}  // namespace tessaly::pjsim
