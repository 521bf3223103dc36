// tessaly-serve-image: serves one file through the Main firmware stage's TFTP service,
// as the manual path does, for one read request; then exits. Used by tftp_bench.sh.

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>

#include "bootloader/main_firmware.h"
#include "platform/datagram.h"
#include "platform/debug_output.h"
#include "platform/update_loop.h"
#include "session/message_log.h"
#include "session/settings.h"
#include "session/stage_context.h"
#include "session/ui_queue.h"

namespace {

// No window here: the log lines reach stderr through the debug output alone. Lines
// posted for the front end run at once, on the loop's thread; events go nowhere.
class NullFrontEnd final : public tessaly::TaskQueue, public tessaly::UpdateEvents {
 public:
  void Post(std::function<void()> work) override { work(); }
  bool OnQueueThread() const override { return true; }
  void ProcessEvents() override {}
  void LogLine(const std::string&, tessaly::LogLevel) override {}
  void ProgressShown(int) override {}
  void SessionBegan() override {}
  void SessionEnded() override {}
  void StageResult(tessaly::FirmwareStage, bool) override {}
  void QuestionAsked(tessaly::Question, const std::string&) override {}
  void UpdateEnded(tessaly::UpdateOutcome) override {}
};

void Usage() { std::fprintf(stderr, "usage: tessaly-serve-image --local IPV4 --file PATH [--port-tftp PORT]\n"); }

}  // namespace

int main(int argc, char** argv) {
  std::string local;
  std::string file;
  long tftpPort = 69;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) {
      Usage();
      return 64;
    }
    if (arg == "--local") {
      local = argv[++i];
    } else if (arg == "--file") {
      file = argv[++i];
    } else if (arg == "--port-tftp") {
      char* end = nullptr;
      tftpPort = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || tftpPort < 1 || tftpPort > 65535) {
        Usage();
        return 64;
      }
    } else {
      Usage();
      return 64;
    }
  }
  in_addr parsed{};
  if (local.empty() || file.empty() || ::inet_pton(AF_INET, local.c_str(), &parsed) != 1) {
    Usage();
    return 64;
  }

  NullFrontEnd frontEnd;
  tessaly::UiQueue ui;
  ui.Attach(frontEnd, frontEnd);
  tessaly::StderrDebugOutput debug;
  tessaly::MessageLog log(ui, debug);
  tessaly::UpdaterSettings settings;
  settings.tftpServerPort = static_cast<std::uint16_t>(tftpPort);
  // The magic packet goes to the local address: nothing leaves this host.
  settings.broadcastAddress = parsed.s_addr;

  tessaly::MainStageTarget target;
  target.mac = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  target.localAddress = parsed.s_addr;
  // Only the projector's read request is served: here the client on this host.
  target.projectorAddress = parsed.s_addr;
  target.imagePath = file;

  // The stage on an update loop of its own, as the manual path runs it; this thread waits
  // for its end. Nothing stops it early.
  const auto loop = tessaly::CreateUpdateLoop();
  auto net = tessaly::CreateSystemDatagramNetwork(*loop);
  std::unique_ptr<tessaly::RunningStage> stage;
  std::promise<int> ended;
  std::future<int> ending = ended.get_future();
  loop->Post([&] {
    tessaly::StageContext ctx{log, settings, *loop, nullptr, nullptr, [] { return false; }, nullptr};
    stage = tessaly::StartMainStage(ctx, *net, target, {}, [&ended](int result) { ended.set_value(result); });
  });
  const int result = ending.get();
  loop->Stop();
  stage.reset();
  net.reset();
  if (result != tessaly::kMainServed) std::fprintf(stderr, "tessaly-serve-image: result %d\n", result);
  return result;
}
