#include "cli/cli_run.h"

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <csignal>
#include <optional>

#include "app/adapter_list.h"
#include "app/address_text.h"
#include "app/firmware_search.h"
#include "app/profile_keys.h"
#include "app/saved_log.h"
#include "app/update_core.h"
#include "app/update_sequence.h"
#include "cli/fleet.h"
#include "cli/json_events.h"
#include "cli/terminal_front_end.h"
#include "platform/adapters.h"
#include "platform/debug_output.h"
#include "platform/directory.h"
#include "platform/user_profile.h"
#include "session/message_log.h"
#include "session/ui_queue.h"
#include "subfw/sub_firmware_file.h"

namespace tessaly::cli {

namespace {

constexpr int kExitRefused = 2;
constexpr auto kQuestionLapse = std::chrono::seconds(5);
constexpr const char* kHowToAnswer = "Press Ctrl-C again within 5 seconds to abort; otherwise the update goes on.";

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

// One run: the projectors one after the other, each a whole update with a core of its
// own, on one event loop whose signal set lives as long as the run, so that a Ctrl-C
// between two units is never the default action.
class Run {
 public:
  Run(const CliOptions& options, std::FILE* out, bool terminal)
      : options_(options),
        signals_(io_, SIGINT, SIGTERM),
        lapse_(io_),
        json_(options.json ? std::optional<JsonEvents>(out) : std::nullopt),
        // With --json the readable lines go to standard error, plain.
        front_(io_, options.json ? stderr : out, options.json ? false : terminal, json_ ? &*json_ : nullptr),
        profile_(OpenUserProfile()),
        debug_(CreateDebuggerOnlyOutput()) {
    front_.SetOnQuestion([this](Question, const std::string& text) { OnQuestion(text); });
    WaitForSignal();
  }

  int Execute();

 private:
  // Lines of the run's own, before any unit starts, through a log like an update's.
  struct RunLog {
    RunLog(TerminalFrontEnd& front, DebugOutput& debug) : log(ui, debug) { ui.Attach(front, front); }
    ~RunLog() { ui.Detach(); }
    UiQueue ui;
    MessageLog log;
  };

  bool CheckFleet(const std::vector<std::string>& addresses, MessageLog& log) const;
  UnitResult RunUnit(int unit, const std::string& address);
  // Runs what the loop holds now: posted work of a unit that has ended, and signals that
  // came between two units.
  void Flush() {
    io_.restart();
    io_.poll();
  }
  int Refuse();

  void WaitForSignal() {
    signals_.async_wait([this](const asio::error_code& error, int) {
      if (error) return;
      OnSignal();
      WaitForSignal();
    });
  }
  void OnSignal();
  void OnQuestion(const std::string& text);
  // The operator's Yes: the second Ctrl-C, or --yes.
  void AnswerYes();

  const CliOptions& options_;
  asio::io_context io_;
  asio::signal_set signals_;
  asio::steady_timer lapse_;
  std::optional<JsonEvents> json_;
  TerminalFrontEnd front_;
  std::unique_ptr<Profile> profile_;
  std::unique_ptr<DebugOutput> debug_;
  WorkingDirectoryLister directory_;

  bool fleet_ = false;
  int units_ = 1;
  std::string mainFile_;  // the files every unit sends
  std::string subFile_;
  bool logFiles_ = false;       // each unit names its files first, as with --main / --sub
  UpdateCore* core_ = nullptr;  // the unit's, while it runs
  bool stopRun_ = false;        // an abort: the units not yet started are skipped
  bool asked_ = false;
};

// Ctrl-C and SIGTERM are the Abort button. While firmware is being written the core asks
// first, and a second one within 5 s is the Yes; --yes answers at once.
void Run::OnSignal() {
  if (!core_ || !front_.busy()) {
    // Before a unit, between two, or while one is finishing: the rest of the run is off.
    stopRun_ = true;
    return;
  }
  if (asked_) {
    AnswerYes();
    return;
  }
  core_->Abort();
  // Not asked (nothing was being written), or answered at once: the update is aborted.
  if (!asked_) stopRun_ = true;
}

void Run::OnQuestion(const std::string& text) {
  if (options_.yes) {
    front_.Answered(Answer::Yes);
    core_->AnswerQuestion(Answer::Yes);
    return;
  }
  front_.Ask(text, kHowToAnswer);
  asked_ = true;
  lapse_.expires_after(kQuestionLapse);
  lapse_.async_wait([this](const asio::error_code& error) {
    if (error || !asked_) return;
    asked_ = false;
    front_.QuestionLapsed();
    if (core_) core_->AnswerQuestion(Answer::No);
  });
}

void Run::AnswerYes() {
  asked_ = false;
  lapse_.cancel();
  stopRun_ = true;
  front_.Answered(Answer::Yes);
  core_->AnswerQuestion(Answer::Yes);
}

// Several units are checked whole before the first one starts: a bad address or file
// found at the third projector would leave the run half done.
bool Run::CheckFleet(const std::vector<std::string>& addresses, MessageLog& log) const {
  bool ok = true;
  for (const std::string& address : addresses) {
    std::array<std::uint8_t, 4> bytes{};
    if (!CheckProjectorAddress(address, log, bytes)) ok = false;
  }
  if (options_.manual) {
    log.LogError("--manual serves one projector only");
    ok = false;
  }
  if (!ok) return false;
  SubFwInfo info;
  return CheckUpdateFiles(mainFile_, subFile_, log, info);
}

int Run::Refuse() {
  if (json_) json_->Summary({}, kExitRefused);
  return kExitRefused;
}

int Run::Execute() {
  front_.BeginUnit(0, "");
  std::vector<std::string> addresses;
  {
    RunLog run(front_, *debug_);
    std::string error;
    if (!CollectProjectors(options_.projectors, addresses, error)) {
      run.log.LogError("%s", error.c_str());
      return Refuse();
    }
    if (addresses.empty()) {
      addresses.push_back(GetProfileString(*profile_, kProfileSection, kProfileIpKey, kDefaultIpAddress, 128));
    }
    units_ = static_cast<int>(addresses.size());
    fleet_ = units_ > 1;

    // The same start as the window's: the firmware search, or exactly the files named.
    if (options_.main || options_.sub) {
      mainFile_ = options_.main.value_or("");
      subFile_ = options_.sub.value_or("");
      logFiles_ = true;
    } else if (!SearchFirmware(directory_, run.log, mainFile_, subFile_, nullptr)) {
      return Refuse();  // nothing to update
    } else {
      logFiles_ = fleet_;  // each unit's lines then name what it sends
    }
    if (fleet_ && !CheckFleet(addresses, run.log)) return Refuse();
  }
  Flush();

  std::vector<UnitResult> results;
  std::string stoppedBecause;
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    if (stopRun_) {
      UnitResult skipped;
      skipped.address = addresses[i];
      skipped.mainSelected = !mainFile_.empty();
      skipped.subSelected = !subFile_.empty();
      results.push_back(skipped);
      continue;
    }
    results.push_back(RunUnit(static_cast<int>(i + 1), addresses[i]));
    if (fleet_ && !stopRun_ && results.back().mainResult == false) {
      // Its Main stage ran, so the projector was switched: its boot loader may still be
      // waiting, and every boot loader takes the same broadcasts. The next unit's Magic
      // packet and BOOTP reply would reach it too.
      stopRun_ = true;
      stoppedBecause = BootLoaderAwakeReason(addresses[i]);
    }
  }
  front_.BeginUnit(0, "");
  const int status = FleetExitStatus(results);
  if (fleet_) {
    for (const std::string& line : SummaryLines(results)) front_.Say(line);
    if (!stoppedBecause.empty()) front_.Say(stoppedBecause);
  }
  if (json_) json_->Summary(results, status, stoppedBecause);
  return status;
}

UnitResult Run::RunUnit(int unit, const std::string& address) {
  UnitResult result;
  result.address = address;
  result.mainSelected = !mainFile_.empty();
  result.subSelected = !subFile_.empty();
  const auto began = std::chrono::steady_clock::now();

  front_.BeginUnit(unit, fleet_ ? UnitPrefix(address) : "");
  asked_ = false;
  if (json_) json_->UnitStart(unit, units_, address, mainFile_, subFile_);
  {
    UpdateCore core(*profile_, *debug_);
    core.log().SetAsideOutput(front_.notes());
    core.Attach(front_, front_);
    core.EnableSavedLog(SavedLogOptions{});
    struct Shutdown {
      UpdateCore& core;
      ~Shutdown() { core.Shutdown(); }
    } shutdown{core};

    UpdateRequest request;
    request.projectorAddress = address;
    request.macAddress = kDefaultMacText;
    request.mainFile = mainFile_;
    request.subFile = subFile_;
    if (logFiles_) {
      if (!mainFile_.empty()) core.log().LogInfo("Main firmware : %s", mainFile_.c_str());
      if (!subFile_.empty()) core.log().LogInfo("Sub firmware : %s", subFile_.c_str());
    }
    if (options_.manual) {
      request.manual = true;
      request.adapterIndex = AdapterIndexOf(*options_.manual, *debug_);  // none: the update says which check failed
      request.adapterAddress = *options_.manual;
    }

    core_ = &core;
    if (core.Start(request)) {
      io_.restart();
      io_.run();
      const std::optional<UpdateOutcome>& outcome = front_.outcome();
      result.outcome = !outcome                               ? UnitOutcome::Failed
                       : *outcome == UpdateOutcome::Succeeded ? UnitOutcome::Succeeded
                       : *outcome == UpdateOutcome::Aborted   ? UnitOutcome::Aborted
                                                              : UnitOutcome::Failed;
    } else {
      result.outcome = UnitOutcome::Refused;  // the lines said why
    }
    core_ = nullptr;
    lapse_.cancel();
    core.Shutdown();
    Flush();
    result.logPath = core.LastSavedLogPath();
  }
  result.mainResult = front_.mainResult();
  result.subResult = front_.subResult();
  result.taken = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
  if (!result.logPath.empty()) front_.Say("Log: " + result.logPath);
  if (json_) json_->UnitEnd(unit, result);
  return result;
}

}  // namespace

int RunUpdate(const CliOptions& options, std::FILE* out, bool terminal) {
  Run run(options, out, terminal);
  return run.Execute();
}

}  // namespace tessaly::cli
