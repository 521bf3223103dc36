// tessaly-serve-image: serves one file through the Main firmware stage's TFTP service,
// as the manual path does, for one read request; then exits. Used by tftp_bench.sh.

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "app/message_log.h"
#include "bootloader/main_firmware.h"
#include "platform/datagram.h"
#include "platform/debug_output.h"
#include "platform/view.h"
#include "update/settings.h"
#include "update/ui_queue.h"
#include "update/update_session.h"
#include "update/update_state.h"

namespace {

// No window here: the log lines reach stderr through the debug output alone.
class NullView final : public tessaly::View {
 public:
  void SetCaption(const std::string&) override {}
  void SetText(tessaly::Control, const std::string&) override {}
  std::string Text(tessaly::Control) const override { return {}; }
  void SetVisible(tessaly::Control, bool) override {}
  void SetEnabled(tessaly::Control, bool) override {}
  void SetTop(tessaly::Control, int) override {}
  void SetOuterHeight(int) override {}
  void SetPosition(tessaly::Control, int) override {}
  void ClearItems(tessaly::Control) override {}
  void AddItem(tessaly::Control, const std::string&) override {}
  void SetItemIndex(tessaly::Control, int) override {}
  int ItemIndex(tessaly::Control) const override { return -1; }
  bool Checked(tessaly::Control) const override { return false; }
  void SetChecked(tessaly::Control, bool) override {}
  void AppendLogLine(const std::string&, tessaly::LogColour) override {}
  tessaly::Answer AskConfirm(const std::string&) override { return tessaly::Answer::No; }
  void ShowMessage(const std::string&) override {}
  int RunPasswordDialog(const std::function<bool(const std::string&)>&) override { return tessaly::kModalCancel; }
  // One thread only, so the work may run at once.
  void Post(std::function<void()> work) override { work(); }
  void PostWindowMessage(std::uint32_t) override {}
  bool OnViewThread() const override { return true; }
  void ProcessEvents() override {}
};

void Usage() {
  std::fprintf(stderr, "usage: tessaly-serve-image --local IPV4 --file PATH [--port-tftp PORT]\n");
}

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

  tessaly::UpdateState state;
  NullView view;
  tessaly::UiQueue ui(&view);
  tessaly::StderrDebugOutput debug;
  tessaly::MessageLog log(ui, debug);
  tessaly::UpdaterSettings settings;
  settings.tftpServerPort = static_cast<std::uint16_t>(tftpPort);
  // The magic packet goes to the local address: nothing leaves this host.
  settings.broadcastAddress = parsed.s_addr;
  tessaly::UpdateSession session(state, ui, log, settings);

  tessaly::MainStageTarget target;
  target.mac = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  target.localAddress = parsed.s_addr;
  target.projectorAddress = 0;
  target.imagePath = file;

  const auto net = tessaly::CreateSystemDatagramNetwork();
  const int result = tessaly::ServeMainFirmware(session, *net, target, nullptr);
  if (result != tessaly::kMainServed) std::fprintf(stderr, "tessaly-serve-image: result %d\n", result);
  return result;
}
