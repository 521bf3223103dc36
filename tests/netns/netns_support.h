#pragma once
// Helpers for tests that run in a private network namespace (see run_in_netns.sh).

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace tessaly::testing {

inline bool InPrivateNamespace() {
  const char* v = std::getenv("TESSALY_IN_NETNS");
  return v && std::string(v) == "1";
}

#define TESSALY_REQUIRE_NETNS()                                                            \
  do {                                                                                     \
    if (!InPrivateNamespace()) GTEST_SKIP() << "runs only in a private network namespace"; \
  } while (0)

inline bool Sh(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// One datagram in ten lost each way on the link "ua": the Magic packet, BOOTP and every
// TFTP block and ACK. The kernel here has no netem; the packet filter's numbers do the
// same for these datagrams. Incoming losses are random; outgoing ones fall on every tenth
// datagram, so that every run loses some (a run of some fifty datagrams escapes random
// loss once in a few hundred).
inline const std::vector<std::string>& TenPercentLossCommands() {
  static const std::vector<std::string> commands{
      "nft add table inet loss", "nft add chain inet loss in '{ type filter hook input priority 0; }'",
      "nft add chain inet loss out '{ type filter hook output priority 0; }'",
      "nft add rule inet loss in iifname ua meta l4proto udp numgen random mod 10 0 counter drop",
      "nft add rule inet loss out oifname ua meta l4proto udp numgen inc mod 10 9 counter drop"};
  return commands;
}

// A second network namespace, held by a sleeping process of our own, for the far ends
// of test links. Sockets made inside Run() belong to it and keep working from any thread.
class FarNamespace {
 public:
  FarNamespace() {
    char* argv[] = {const_cast<char*>("unshare"), const_cast<char*>("--net"), const_cast<char*>("sleep"),
                    const_cast<char*>("600"), nullptr};
    if (::posix_spawnp(&pid_, "unshare", nullptr, nullptr, argv, environ) != 0) {
      pid_ = -1;
      return;
    }
    // Bounded wait until the process has its own namespace.
    struct stat mine {};
    ::stat("/proc/self/ns/net", &mine);
    const std::string path = "/proc/" + std::to_string(pid_) + "/ns/net";
    for (int i = 0; i < 500 && !ok_; ++i) {
      struct stat theirs {};
      if (::stat(path.c_str(), &theirs) == 0 && theirs.st_ino != mine.st_ino) {
        ok_ = true;  // unshare has made the namespace; exec of sleep keeps it
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
  }
  ~FarNamespace() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool ok() const { return ok_; }
  pid_t pid() const { return pid_; }
  // A veth pair from this namespace to the far one, both ends addressed and up.
  bool Link(const std::string& nearName, const std::string& nearCidr, const std::string& farName,
            const std::string& farCidr) {
    const std::string pid = std::to_string(pid_);
    const std::string in = "nsenter --net=/proc/" + pid + "/ns/net ";
    for (const std::string& cmd :
         {"ip link add " + nearName + " type veth peer name " + farName, "ip link set " + farName + " netns " + pid,
          "ip addr add " + nearCidr + " dev " + nearName, "ip link set " + nearName + " up",
          in + "ip addr add " + farCidr + " dev " + farName, in + "ip link set " + farName + " up",
          in + "ip link set lo up"}) {
      if (!Sh(cmd)) {
        ADD_FAILURE() << cmd;
        return false;
      }
    }
    return true;
  }

  // Runs `work` on a thread that has entered the namespace.
  void Run(const std::function<void()>& work) {
    std::thread t([&] {
      const int fd = ::open(("/proc/" + std::to_string(pid_) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0) work();
      if (fd >= 0) ::close(fd);
    });
    t.join();
  }

 private:
  pid_t pid_ = -1;
  bool ok_ = false;
};

// One Ethernet segment: a Linux bridge here (the updater's side) and `count` far namespaces,
// each joined to it by a veth pair, all up. Every broadcast sent here reaches every far end.
// Addresses: `prefix`.1/24 on the bridge, `prefix`.2, .3, ... in the far namespaces.
class BridgedSegment {
 public:
  explicit BridgedSegment(int count, std::string prefix = "10.75.0", std::string bridge = "lab0")
      : prefix_(std::move(prefix)), bridge_(std::move(bridge)) {
    for (const std::string& cmd : {"ip link add " + bridge_ + " type bridge", "ip addr add " + near_address() + "/24 dev " + bridge_,
                                   "ip link set " + bridge_ + " up"}) {
      if (!Sh(cmd)) {
        ADD_FAILURE() << cmd;
        return;
      }
    }
    made_ = true;
    for (int i = 0; i < count; ++i) {
      far_.push_back(std::make_unique<FarNamespace>());
      FarNamespace& far = *far_.back();
      if (!far.ok()) {
        ADD_FAILURE() << "far namespace " << i;
        return;
      }
      const std::string n = std::to_string(i);
      const std::string nearEnd = bridge_ + "v" + n, farEnd = bridge_ + "p" + n;
      const std::string in = "nsenter --net=/proc/" + std::to_string(far.pid()) + "/ns/net ";
      for (const std::string& cmd :
           {"ip link add " + nearEnd + " type veth peer name " + farEnd,
            "ip link set " + farEnd + " netns " + std::to_string(far.pid()), "ip link set " + nearEnd + " master " + bridge_,
            "ip link set " + nearEnd + " up", in + "ip addr add " + address(i) + "/24 dev " + farEnd,
            in + "ip link set " + farEnd + " up", in + "ip link set lo up"}) {
        if (!Sh(cmd)) {
          ADD_FAILURE() << cmd;
          return;
        }
      }
    }
    ok_ = true;
  }
  // The far namespaces go with their processes, and the veth pairs with them.
  ~BridgedSegment() {
    far_.clear();
    if (made_) Sh("ip link del " + bridge_);
  }
  BridgedSegment(const BridgedSegment&) = delete;
  BridgedSegment& operator=(const BridgedSegment&) = delete;

  bool ok() const { return ok_; }
  int size() const { return static_cast<int>(far_.size()); }
  FarNamespace& far(int i) { return *far_.at(static_cast<std::size_t>(i)); }
  std::string near_address() const { return prefix_ + ".1"; }
  std::string address(int i) const { return prefix_ + "." + std::to_string(i + 2); }

 private:
  const std::string prefix_, bridge_;
  std::vector<std::unique_ptr<FarNamespace>> far_;
  bool made_ = false;
  bool ok_ = false;
};

// A BOOTP request as the boot loader sends it, for the MAC FF.FF.FF.FF.FF.FF; `xidByte`
// marks it in the reply.
inline std::vector<std::uint8_t> BootRequest(std::uint8_t xidByte) {
  std::vector<std::uint8_t> p(300, 0);
  p[0] = 1, p[1] = 1, p[2] = 6;
  p[4] = xidByte;
  std::memset(&p[28], 0xFF, 6);
  std::memcpy(&p[44], "stellaris", 9);
  return p;
}

// A UDP socket for the projector's side of a test, optionally tied to one interface.
class UdpPeer {
 public:
  UdpPeer(const char* bindAddress, std::uint16_t port, const char* device = nullptr) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (device) ::setsockopt(fd_, SOL_SOCKET, SO_BINDTODEVICE, device, static_cast<socklen_t>(std::strlen(device)));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ::inet_addr(bindAddress);
    a.sin_port = htons(port);
    ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~UdpPeer() { ::close(fd_); }
  bool ok() const { return ok_; }
  bool SendTo(const std::vector<std::uint8_t>& data, const char* address, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ::inet_addr(address);
    a.sin_port = htons(port);
    return ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
           static_cast<ssize_t>(data.size());
  }
  // One datagram within `timeoutMs`, or an empty vector.
  std::vector<std::uint8_t> Receive(int timeoutMs, sockaddr_in* from = nullptr) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return {};
    std::vector<std::uint8_t> buffer(2048);
    sockaddr_in sender{};
    socklen_t len = sizeof sender;
    const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&sender), &len);
    if (n < 0) return {};
    if (from) *from = sender;
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

}  // namespace tessaly::testing
