#pragma once
// The real update logic, the real TCP client and the simulator on loopback, with the
// stage routines replaced by recorders where a test stops at the start of a worker.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/updater.h"
#include "control_service.h"
#include "support/fake_stages.h"
#include "support/fake_view.h"
#include "support/fakes.h"
#include "support/temp_dir.h"

namespace tessaly::testing {

using namespace std::chrono_literals;

struct StageRecorder {
  std::atomic<int> mainRuns{0};
  std::atomic<int> subRuns{0};
  std::atomic<bool> mainOnViewThread{false};
  StageEnd mainResult = StageEnd::Succeeded;
  StageEnd subResult = StageEnd::Succeeded;
};

struct SimHarness {
  // `adjust` may replace the recorders with stage routines of the test's own.
  explicit SimHarness(pjsim::SimOptions simOptions = {}, UpdaterSettings settings = ShortSettings(),
                      std::uint16_t otherPort = 0, bool recordStages = true,
                      const std::function<void(StageRoutines&)>& adjust = nullptr)
      : sim(Prepare(simOptions)) {
    started = sim.Start();
    settings.controlPort = otherPort ? otherPort : sim.port();
    StageRoutines stages;
    if (recordStages) {
      stages.UpdateMainFirmware = MainStageGiving([this] {
        stagesSeen.mainOnViewThread = view.OnViewThread();
        ++stagesSeen.mainRuns;
        return stagesSeen.mainResult;
      });
      stages.SendSubFirmware = SubStageGiving([this] {
        ++stagesSeen.subRuns;
        return stagesSeen.subResult;
      });
    }
    if (adjust) adjust(stages);
    updater = std::make_unique<Updater>(FormPlatform{profile, directory, adapters, debug}, settings, stages);
    view.SetEvents(&updater->events());
    updater->AttachView(view);
    updater->Start();
    view.SetText(Control::IpAddrEdit, "127.0.0.1");
  }
  ~SimHarness() {
    updater->Shutdown();
    sim.Stop();
  }

  // Waits long enough for a connect time-out test, yet short; the real values run once.
  static UpdaterSettings ShortSettings() {
    UpdaterSettings s;
    s.connectTimeoutMs = 700;
    s.switchTimeoutMs = 500;
    s.restartWaitMs = 200;
    return s;
  }
  static pjsim::SimOptions Prepare(pjsim::SimOptions o) {
    o.listen_address = "127.0.0.1";
    o.port = 0;
    return o;
  }

  void NameMain(std::size_t size = 1000) {
    view.SetText(Control::FileEdit, dir.Write("main.bin", std::vector<std::uint8_t>(size, 0x42)));
  }
  void NameSub(std::uint8_t model, std::size_t payload = 100) {
    view.SetText(Control::FileEdit2, dir.WriteSubImage("sub.brec2", model, std::vector<std::uint8_t>(payload, 3)));
  }
  void Press() { view.Click(Control::UpdateFwBtn); }

  std::vector<std::string> LogTexts() const {
    std::vector<std::string> out;
    for (const LogLine& l : view.logLines()) out.push_back(l.text);
    return out;
  }
  // Log lines after the start-up lines of the firmware search.
  std::vector<std::string> UpdateLines() const {
    std::vector<std::string> out = LogTexts();
    out.erase(out.begin(), out.begin() + static_cast<long>(std::min(out.size(), startupLines)));
    return out;
  }
  bool Idle() const { return view.Enabled(Control::UpdateFwBtn) && !view.Enabled(Control::AbortBtn); }
  bool LogHas(const std::string& text) const {
    for (const LogLine& l : view.logLines()) {
      if (l.text == text) return true;
    }
    return false;
  }
  bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
    return view.PumpUntil(done, timeout);
  }
  void MarkStart() { startupLines = view.logLines().size(); }

  TempDir dir;
  pjsim::ControlService sim;
  bool started = false;
  MemoryProfile profile;
  ListedDirectory directory;
  ListedAdapters adapters;
  RecordingDebugOutput debug;
  FakeView view;
  StageRecorder stagesSeen;
  std::unique_ptr<Updater> updater;
  std::size_t startupLines = 0;
};

// A loopback listener whose accept queue is full: further connection attempts get no
// answer at all, like a projector that is off the network.
class SilentListener {
 public:
  SilentListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 0);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    // Fill the queue: these are completed but never accepted.
    for (int i = 0; i < 4; ++i) {
      int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
      fillers_.push_back(c);
    }
  }
  ~SilentListener() {
    for (int c : fillers_) ::close(c);
    ::close(fd_);
  }
  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::vector<int> fillers_;
};

// A port on loopback where nothing listens: connections are refused at once. The socket
// stays bound, without listening, so no other test can take the port meanwhile.
class ClosedPort {
 public:
  ClosedPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      port_ = ntohs(a.sin_port);
    }
  }
  ~ClosedPort() {
    if (fd_ >= 0) ::close(fd_);
  }
  ClosedPort(const ClosedPort&) = delete;
  ClosedPort& operator=(const ClosedPort&) = delete;
  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace tessaly::testing
