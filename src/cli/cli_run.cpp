#include "cli/cli_run.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
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
#include "platform/update_loop.h"
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

// One run: its units, each a whole update with a core of its own, all on one update loop.
// The front end's thread is an event loop whose signal set lives as long as the run, so
// that a Ctrl-C between two units is never the default action.
//
// The units' Main stages go one at a time, in order: every boot loader answers the same
// broadcasts. Once none is left, their Sub stages run side by side, at most --parallel at
// once; a unit's reconnection for its Sub stage waits at the gate until then. With
// --parallel 1 each unit is whole before the next starts.
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
    WaitForSignal();
  }
  ~Run() {
    // The units' cores go only once the loop they share has stopped.
    if (loop_) loop_->Stop();
    units_.clear();
  }

  int Execute();

 private:
  struct Unit {
    int number = 0;
    std::string address;
    enum class Phase { Pending, Running, Ended } phase = Phase::Pending;
    bool inMain = false;      // started with a Main stage that is not over yet
    bool holdsPlace = false;  // one of the --parallel places for Sub stages
    bool abortSent = false;   // an Abort, or a Yes to its question, went to its core
    std::function<void()> waiting;  // its Sub stage, held at the gate
    std::chrono::steady_clock::time_point began;
    std::unique_ptr<UnitFrontEnd> events;
    std::unique_ptr<UpdateCore> core;
    UnitResult result;
  };

  // Lines of the run's own, before any unit starts, through a log like an update's.
  struct RunLog {
    RunLog(TerminalFrontEnd& front, DebugOutput& debug) : events(front, 0, ""), log(ui, debug) {
      ui.Attach(front, events);
    }
    ~RunLog() { ui.Detach(); }
    UnitFrontEnd events;
    UiQueue ui;
    MessageLog log;
  };

  bool CheckFleet(const std::vector<std::string>& addresses, MessageLog& log) const;
  // Runs what the loop holds now: the run's own lines.
  void Flush() {
    io_.restart();
    io_.poll();
  }
  int Refuse();

  // Starts what may start now, lets held Sub stages begin where they may, and ends the
  // run once every unit is over.
  void Schedule();
  bool StartUnit(Unit& u);
  bool MainPhaseOver() const;
  void OnSubWanted(int number, std::function<void()> begin);
  void OnStep(int number, UpdateStep step);
  void OnEnded(int number);
  void FinishUnit(Unit& u);
  Unit& UnitOf(int number) { return *units_[static_cast<std::size_t>(number - 1)]; }
  bool AnyRunning() const;

  void WaitForSignal() {
    signals_.async_wait([this](const asio::error_code& error, int) {
      if (error) return;
      OnSignal();
      WaitForSignal();
    });
  }
  void OnSignal();
  void OnQuestion(int number, const std::string& text);
  // The operator's Yes: the second Ctrl-C, or --yes.
  void AnswerYes();
  void AbortEveryRunningUnit();
  // Whose question it is in JSON: the one projector's, or the whole fleet's (0, the run).
  int QuestionUnit() const { return fleet_ ? 0 : 1; }

  const CliOptions& options_;
  asio::io_context io_;
  asio::signal_set signals_;
  asio::steady_timer lapse_;
  std::optional<JsonEvents> json_;
  TerminalFrontEnd front_;
  std::unique_ptr<Profile> profile_;
  std::unique_ptr<DebugOutput> debug_;
  WorkingDirectoryLister directory_;
  std::unique_ptr<UpdateLoop> loop_;
  std::shared_ptr<SavedLogWriter> logWriter_;

  bool fleet_ = false;
  bool oneByOne_ = false;  // --parallel 1: each unit whole before the next
  std::string mainFile_;   // the files every unit sends
  std::string subFile_;
  bool logFiles_ = false;  // each unit names its files first, as with --main / --sub
  std::vector<std::unique_ptr<Unit>> units_;
  bool stopRun_ = false;     // an abort: the units not yet started are skipped
  bool mainStopped_ = false;  // a Main stage failed after its switch: no Main stage more
  std::string stoppedBecause_;
  // The question of the run: the units that asked it, waiting for the answer.
  bool asked_ = false;
  bool confirmed_ = false;  // Yes was said: a unit that asks now is answered at once
  std::vector<int> asking_;
};

// A unit whose session has ended is only finishing: an Abort has nothing left to stop.
bool Run::AnyRunning() const {
  for (const auto& u : units_) {
    if (u->phase == Unit::Phase::Running && u->events->busy()) return true;
  }
  return false;
}

// Ctrl-C and SIGTERM are the Abort button. While firmware is being written the cores ask
// first, once for the whole run, and a second one within 5 s is the Yes; --yes answers
// at once.
void Run::OnSignal() {
  if (!AnyRunning()) {
    // Before a unit, or while the last one is finishing: the rest of the run is off.
    stopRun_ = true;
    Schedule();
    return;
  }
  if (asked_) {
    AnswerYes();
    return;
  }
  auto writing = [](const Unit& u) {
    return u.phase == Unit::Phase::Running && u.events->busy() && !u.abortSent && u.core->FirmwareBeingWritten();
  };
  bool any = false;
  for (const auto& u : units_) any = any || writing(*u);
  if (!any) {
    AbortEveryRunningUnit();
    return;
  }
  // Those writing ask; the others go on unless the answer is Yes.
  for (const auto& u : units_) {
    if (writing(*u)) u->core->Abort();
  }
}

void Run::AbortEveryRunningUnit() {
  stopRun_ = true;
  confirmed_ = true;
  for (const auto& u : units_) {
    if (u->phase != Unit::Phase::Running || !u->events->busy() || u->abortSent) continue;
    // A unit that is writing by now asks, and is answered Yes at once.
    u->abortSent = true;
    u->core->Abort();
  }
  Schedule();
}

void Run::OnQuestion(int number, const std::string& text) {
  Unit& u = UnitOf(number);
  if (options_.yes || confirmed_) {
    const bool first = !confirmed_;
    if (first) front_.Answered(QuestionUnit(), Answer::Yes);
    u.abortSent = true;
    u.core->AnswerQuestion(Answer::Yes);
    if (first) AbortEveryRunningUnit();
    return;
  }
  asking_.push_back(number);
  if (asked_) return;  // one question for the run
  asked_ = true;
  front_.Ask(QuestionUnit(), text, kHowToAnswer);
  lapse_.expires_after(kQuestionLapse);
  lapse_.async_wait([this](const asio::error_code& error) {
    if (error || !asked_) return;
    asked_ = false;
    front_.QuestionLapsed(QuestionUnit());
    std::vector<int> asking;
    asking.swap(asking_);
    for (int n : asking) UnitOf(n).core->AnswerQuestion(Answer::No);
  });
}

void Run::AnswerYes() {
  asked_ = false;
  lapse_.cancel();
  front_.Answered(QuestionUnit(), Answer::Yes);
  confirmed_ = true;
  std::vector<int> asking;
  asking.swap(asking_);
  for (int n : asking) {
    UnitOf(n).abortSent = true;
    UnitOf(n).core->AnswerQuestion(Answer::Yes);
  }
  AbortEveryRunningUnit();
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
    fleet_ = addresses.size() > 1;

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

  oneByOne_ = !fleet_ || options_.parallel == 1;
  loop_ = CreateUpdateLoop();
  logWriter_ = std::make_shared<SavedLogWriter>();
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    auto u = std::make_unique<Unit>();
    u->number = static_cast<int>(i + 1);
    u->address = addresses[i];
    u->result.address = addresses[i];
    u->result.mainSelected = !mainFile_.empty();
    u->result.subSelected = !subFile_.empty();
    units_.push_back(std::move(u));
  }
  if (fleet_ && front_.terminal()) front_.ShowBoard(addresses);
  Schedule();
  bool started = false;
  for (const auto& u : units_) started = started || u->phase == Unit::Phase::Running;
  if (started) {
    io_.restart();
    io_.run();
  }

  front_.EndBoard();
  std::vector<UnitResult> results;
  for (const auto& u : units_) results.push_back(u->result);
  const int status = FleetExitStatus(results);
  if (fleet_) {
    for (const std::string& line : SummaryLines(results)) front_.Say("", line);
    if (!stoppedBecause_.empty()) front_.Say("", stoppedBecause_);
  }
  if (json_) json_->Summary(results, status, stoppedBecause_);
  return status;
}

bool Run::MainPhaseOver() const {
  if (mainFile_.empty()) return true;
  for (const auto& u : units_) {
    if (u->inMain) return false;
    if (u->phase == Unit::Phase::Pending && !stopRun_ && !mainStopped_) return false;
  }
  return true;
}

void Run::Schedule() {
  for (;;) {
    Unit* next = nullptr;
    int running = 0;
    int places = 0;
    bool inMain = false;
    for (const auto& u : units_) {
      if (u->phase == Unit::Phase::Running) ++running;
      if (u->holdsPlace) ++places;
      if (u->inMain) inMain = true;
      if (!next && u->phase == Unit::Phase::Pending) next = u.get();
    }
    if (!next) break;
    if (stopRun_ || (mainStopped_ && !mainFile_.empty())) {
      // Skipped: never started, so it has no lines and no log.
      next->phase = Unit::Phase::Ended;
      front_.Stage(next->number, UnitStage::Skipped);
      continue;
    }
    bool may = false;
    if (oneByOne_) {
      may = running == 0;
    } else if (!mainFile_.empty()) {
      may = !inMain;  // one Main stage at a time
    } else {
      may = places < options_.parallel;  // a Sub-only unit is all Sub stage
    }
    if (!may) break;
    StartUnit(*next);
  }

  // Held Sub stages begin once no Main stage is left, in the units' order.
  if (oneByOne_ || MainPhaseOver()) {
    int places = 0;
    for (const auto& u : units_) places += u->holdsPlace ? 1 : 0;
    for (const auto& u : units_) {
      if (!u->waiting) continue;
      if (!oneByOne_ && places >= options_.parallel) break;
      u->holdsPlace = true;
      ++places;
      loop_->Post(std::move(u->waiting));
      u->waiting = nullptr;
    }
  }
  bool over = true;
  for (const auto& u : units_) {
    if (u->phase != Unit::Phase::Ended) over = false;
  }
  if (over) io_.stop();
}

bool Run::StartUnit(Unit& u) {
  u.phase = Unit::Phase::Running;
  u.began = std::chrono::steady_clock::now();
  const int number = u.number;
  const std::string prefix = fleet_ ? UnitPrefix(u.address) : "";
  UnitFrontEnd::Hooks hooks;
  hooks.question = [this](int n, const std::string& text) { OnQuestion(n, text); };
  hooks.step = [this](int n, UpdateStep step) { OnStep(n, step); };
  hooks.ended = [this](int n) { OnEnded(n); };
  u.events = std::make_unique<UnitFrontEnd>(front_, number, prefix, std::move(hooks));
  if (json_) json_->UnitStart(number, static_cast<int>(units_.size()), u.address, mainFile_, subFile_);

  u.core = std::make_unique<UpdateCore>(*profile_, *debug_, *loop_);
  UpdateCore& core = *u.core;
  core.log().SetAsideOutput(u.events->notes());
  core.SetWarnings(u.events->notes());
  core.SetSubStageGate([this, number](std::function<void()> begin) {
    // On the loop: the decision is the front end's.
    front_.Post([this, number, begin = std::move(begin)]() mutable { OnSubWanted(number, std::move(begin)); });
  });
  core.Attach(front_, *u.events);
  SavedLogOptions logOptions;
  logOptions.warnings = &u.events->notes();
  logOptions.writer = logWriter_;
  core.EnableSavedLog(std::move(logOptions));

  UpdateRequest request;
  request.projectorAddress = u.address;
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
  if (!core.Start(request)) {
    u.result.outcome = UnitOutcome::Refused;  // the lines said why
    FinishUnit(u);
    return false;
  }
  u.inMain = !mainFile_.empty();
  // A Sub-only unit is in its Sub stage from the start.
  if (mainFile_.empty()) u.holdsPlace = true;
  return true;
}

void Run::OnSubWanted(int number, std::function<void()> begin) {
  Unit& u = UnitOf(number);
  if (u.phase != Unit::Phase::Running) return;  // it has ended meanwhile
  u.waiting = std::move(begin);
  Schedule();
}

void Run::OnStep(int number, UpdateStep step) {
  Unit& u = UnitOf(number);
  if (step == UpdateStep::Restarting && u.inMain) {
    // Its Main stage's sockets are closed: the next boot loader may be woken.
    u.inMain = false;
    Schedule();
  }
}

void Run::OnEnded(int number) {
  // After the event has been delivered: the core is shut down from a turn of its own.
  asio::post(io_, [this, number] {
    Unit& u = UnitOf(number);
    if (u.phase != Unit::Phase::Running) return;
    const std::optional<UpdateOutcome>& outcome = u.events->outcome();
    u.result.outcome = !outcome                               ? UnitOutcome::Failed
                       : *outcome == UpdateOutcome::Succeeded ? UnitOutcome::Succeeded
                       : *outcome == UpdateOutcome::Aborted   ? UnitOutcome::Aborted
                                                              : UnitOutcome::Failed;
    FinishUnit(u);
    Schedule();
  });
}

void Run::FinishUnit(Unit& u) {
  u.phase = Unit::Phase::Ended;
  u.inMain = false;
  u.holdsPlace = false;
  u.waiting = nullptr;
  u.core->Shutdown();
  u.result.logPath = u.core->LastSavedLogPath();
  u.result.mainResult = u.events->mainResult();
  u.result.subResult = u.events->subResult();
  u.result.taken =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - u.began);
  if (!u.result.logPath.empty()) front_.Say(u.events->prefix(), "Log: " + u.result.logPath);
  if (json_) json_->UnitEnd(u.number, u.result);
  if (fleet_ && !stopRun_ && !mainStopped_ && u.result.mainResult == false) {
    // Its Main stage ran, so the projector was switched: its boot loader may still be
    // waiting, and every boot loader takes the same broadcasts. The next unit's Magic
    // packet and BOOTP reply would reach it too.
    mainStopped_ = true;
    stoppedBecause_ = BootLoaderAwakeReason(u.address);
  }
}

}  // namespace

int RunUpdate(const CliOptions& options, std::FILE* out, bool terminal) {
  Run run(options, out, terminal);
  return run.Execute();
}

}  // namespace tessaly::cli
