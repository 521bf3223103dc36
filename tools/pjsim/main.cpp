// tessaly-pjsim: a projector's control service for dry runs and training.

#include <pthread.h>
#include <signal.h>

#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "control_service.h"

namespace {

using namespace tessaly::pjsim;

constexpr std::size_t kShownSubBytes = 32;

// One flushed line per event, so a script reading the pipe sees each at once.
class PrintingHooks final : public ControlHooks {
 public:
  void Line(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::cout << text << std::endl;
  }

  void OnConnectionAccepted(const ConnectionRecord& c) override {
    Line(Prefix(c.index) + "accepted from " + c.peer);
  }
  void OnMessage(const Message& m) override {
    std::string text = Prefix(m.connection) + "received " + m.name;
    if (!m.valid) text += " (invalid)";
    if (m.name == "SUB-DATA" && m.bytes.size() > kShownSubBytes) {
      text += ", " + std::to_string(m.bytes.size()) + " bytes: " +
              ToHex(std::span<const std::uint8_t>(m.bytes).first(kShownSubBytes)) + " ...";
    } else {
      text += ": " + m.Hex();
    }
    Line(text);
  }
  void OnViolation(const Violation& v) override { Line("violation: " + v.ToString()); }
  void OnConnectionEnded(const ConnectionRecord& c) override {
    Line(Prefix(c.index) + "ended at step \"" + std::string(StepName(c.last_step)) + "\": " + c.end_reason);
  }
  void OnMainDownloadMode(Channel& channel) override {
    Line(Prefix(channel.connection()) + "main download mode entered");
  }
  void OnSubStream(Channel& channel) override {
    Line(Prefix(channel.connection()) + "sub stream reached");
  }

 private:
  static std::string Prefix(int connection) { return "connection " + std::to_string(connection) + ": "; }
  std::mutex mutex_;
};

}  // namespace

int main(int argc, char** argv) {
  const std::string_view program = argc > 0 ? argv[0] : "tessaly-pjsim";
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  const CommandLine commandLine = ParseCommandLine(args);
  if (commandLine.action == CommandLine::Action::kHelp) {
    std::cout << UsageText(program);
    return 0;
  }
  if (commandLine.action == CommandLine::Action::kError) {
    std::cerr << program << ": " << commandLine.error << "\n" << UsageText(program);
    return 2;
  }

  // Blocked before any thread starts, so only sigwait() below ever sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  auto hooks = std::make_shared<PrintingHooks>();
  ControlService service(commandLine.options, hooks);
  if (!service.Start()) {
    std::cerr << program << ": " << service.error() << "\n";
    return 2;
  }
  const SimOptions& o = commandLine.options;
  hooks->Line("listening on " + o.listen_address + ":" + std::to_string(service.port()) + ", model " +
              o.model_code + (o.close_at != CloseAt::kNever ? ", close at " + std::string(CloseAtName(o.close_at)) : ""));

  int received = 0;
  sigwait(&stopSignals, &received);
  service.Stop();

  const Report report = service.Snapshot();
  if (report.violations.empty()) {
    hooks->Line("verdict: OK");
    return 0;
  }
  hooks->Line("verdict: " + std::to_string(report.violations.size()) + " violation(s)");
  for (const Violation& v : report.violations) hooks->Line("  " + v.ToString());
  return 1;
}
