#include "cli/cli_run.h"

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <chrono>
#include <csignal>
#include <sstream>

#include "app/adapter_list.h"
#include "app/firmware_search.h"
#include "app/profile_keys.h"
#include "app/update_core.h"
#include "cli/terminal_front_end.h"
#include "platform/adapters.h"
#include "platform/debug_output.h"
#include "platform/directory.h"
#include "platform/user_profile.h"

namespace tessaly::cli {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitRefused = 2;
constexpr auto kQuestionLapse = std::chrono::seconds(5);

// Ctrl-C and SIGTERM are the Abort button. While firmware is being written the first one
// asks, and a second one within 5 s is the Yes; --yes answers at once.
class AbortBySignal {
 public:
  AbortBySignal(asio::io_context& io, TerminalFrontEnd& front, UpdateCore& core, const CliOptions& options)
      : signals_(io, SIGINT, SIGTERM), front_(front), core_(core), yes_(options.yes) {
    Wait();
  }

 private:
  void Wait() {
    signals_.async_wait([this](const asio::error_code& error, int) {
      if (error) return;
      OnSignal();
      Wait();
    });
  }

  void OnSignal() {
    if (!front_.busy()) return;
    const bool writing = core_.state().UpdateInProgress.load() != 0;
    const auto now = std::chrono::steady_clock::now();
    if (!writing || yes_ || (asked_ && now - askedAt_ < kQuestionLapse)) {
      front_.SetNextAnswer(Answer::Yes);
      core_.sequence().Abort();
      return;
    }
    std::istringstream lines(kAbortQuestion);
    for (std::string line; std::getline(lines, line);) front_.Say(line);
    front_.Say("Press Ctrl-C again within 5 seconds to abort; otherwise the update goes on.");
    asked_ = true;
    askedAt_ = now;
  }

  asio::signal_set signals_;
  TerminalFrontEnd& front_;
  UpdateCore& core_;
  bool yes_;
  bool asked_ = false;
  std::chrono::steady_clock::time_point askedAt_{};
};

// The manual path's adapter: the index of `address` among the PC's adapters, -1 if none.
int AdapterIndexOf(const std::string& address, DebugOutput& debug) {
  SystemAdapterSource source;
  AdapterAddressTable table;
  const int count = ListAdapters(
      source, [](const std::string&) {}, table, debug);
  for (int i = 0; i < count; ++i) {
    if (table[static_cast<std::size_t>(i)] == address) return i;
  }
  return -1;
}

}  // namespace

int RunUpdate(const CliOptions& options, std::FILE* out, bool terminal) {
  asio::io_context io;
  TerminalFrontEnd front(io, out, terminal);
  const std::unique_ptr<Profile> userProfile = OpenUserProfile();
  Profile& profile = *userProfile;
  WorkingDirectoryLister directory;
  const std::unique_ptr<DebugOutput> debugOutput = CreateDebuggerOnlyOutput();
  DebugOutput& debug = *debugOutput;
  UpdateCore core(profile, debug);
  core.Attach(front, front);
  struct Shutdown {
    UpdateCore& core;
    ~Shutdown() { core.Shutdown(); }
  } shutdown{core};

  // The same start as the window's: the remembered address and the firmware search,
  // or exactly the files named.
  UpdateRequest request;
  request.projectorAddress = options.projector
                                 ? *options.projector
                                 : GetProfileString(profile, kProfileSection, kProfileIpKey, kDefaultIpAddress, 128);
  request.macAddress = kDefaultMacText;
  if (options.main || options.sub) {
    request.mainFile = options.main.value_or("");
    request.subFile = options.sub.value_or("");
    if (options.main) core.log().LogInfo("Main firmware : %s", options.main->c_str());
    if (options.sub) core.log().LogInfo("Sub firmware : %s", options.sub->c_str());
  } else if (!SearchFirmware(directory, core.log(), request.mainFile, request.subFile, nullptr)) {
    return kExitRefused;  // nothing to update
  }
  if (options.manual) {
    request.manual = true;
    request.adapterIndex = AdapterIndexOf(*options.manual, debug);  // none: the update says which check failed
    request.adapterAddress = *options.manual;
  }

  AbortBySignal abortBySignal(io, front, core, options);
  if (!core.sequence().Start(request)) return kExitRefused;  // the lines said why
  io.run();
  return front.outcome() == UpdateOutcome::Succeeded ? kExitOk : kExitFailed;
}

}  // namespace tessaly::cli
