#include "app/update_core.h"

#include <chrono>
#include <cstring>
#include <future>

#include "subfw/sub_firmware_transfer.h"

namespace tessaly {

class UpdateCore::Listeners final : public UpdateEvents {
 public:
  Listeners(UpdateCore& core, UpdateEvents& frontEnd) : core_(core), frontEnd_(frontEnd) {}

  void LogLine(const std::string& text, LogLevel level) override { frontEnd_.LogLine(text, level); }
  void ProgressShown(int percent) override { frontEnd_.ProgressShown(percent); }
  void SessionBegan() override {
    core_.UpdateBegan();
    frontEnd_.SessionBegan();
  }
  void SessionEnded() override { frontEnd_.SessionEnded(); }
  void StageResult(FirmwareStage stage, bool succeeded) override { frontEnd_.StageResult(stage, succeeded); }
  void QuestionAsked(Question which, const std::string& text) override { frontEnd_.QuestionAsked(which, text); }
  void UpdateEnded(UpdateOutcome outcome) override {
    core_.UpdateEnded(outcome);
    frontEnd_.UpdateEnded(outcome);
  }
  void ModelLearned(std::uint8_t modelKind) override {
    if (core_.savedLog_) core_.savedLog_->Model(modelKind);
    frontEnd_.ModelLearned(modelKind);
  }
  void FirmwareBeingWritten(bool writing) override {
    core_.keepAwake_->Writing(writing);
    frontEnd_.FirmwareBeingWritten(writing);
  }
  void StepBegan(UpdateStep step) override { frontEnd_.StepBegan(step); }

 private:
  UpdateCore& core_;
  UpdateEvents& frontEnd_;
};

UpdateCore::UpdateCore(Profile& profile, DebugOutput& debug, UpdaterSettings settings, StageRoutines stages)
    : UpdateCore(profile, debug, CreateUpdateLoop(), nullptr, settings, std::move(stages)) {}

UpdateCore::UpdateCore(Profile& profile, DebugOutput& debug, UpdateLoop& sharedLoop, UpdaterSettings settings,
                       StageRoutines stages)
    : UpdateCore(profile, debug, nullptr, &sharedLoop, settings, std::move(stages)) {}

UpdateCore::UpdateCore(Profile& profile, DebugOutput& debug, std::unique_ptr<UpdateLoop> ownLoop,
                       UpdateLoop* sharedLoop, UpdaterSettings settings, StageRoutines stages)
    : settings_(settings),
      ownLoop_(std::move(ownLoop)),
      loop_(ownLoop_ ? ownLoop_.get() : sharedLoop),
      log_(ui_, debug),
      session_(state_, ui_, log_, settings_),
      profile_(profile),
      stages_(std::move(stages)),
      network_(CreateSystemDatagramNetwork(*loop_)),
      firewall_(CreateSystemFirewallCheck()) {
  if (!stages_.UpdateMainFirmware) {
    stages_.UpdateMainFirmware = [this](StageContext context, std::function<void(StageEnd)> done) {
      MainPorts ports;
      {
        std::lock_guard<std::mutex> lock(preparedMutex_);
        ports = std::move(prepared_);
      }
      MainStageTarget target;
      target.mac = state_.PjMacAddr;
      target.localAddress = state_.PcIpAddr.load();
      std::memcpy(&target.projectorAddress, state_.PjIpAddr.data(), 4);
      target.imagePath = state_.MainFwFile;
      return StartMainStage(std::move(context), *network_, std::move(target), std::move(ports),
                            [done = std::move(done)](int result) {
                              done(result == kMainServed   ? StageEnd::Succeeded
                                   : result == kMainStopped ? StageEnd::Stopped
                                                            : StageEnd::Failed);
                            });
    };
    stages_.PrepareMainFirmware = [this] {
      MainPorts ports;
      if (OpenMainPorts(log_, settings_, *network_, state_.PcIpAddr.load(), ports) != kMainServed) {
        log_.LogError("Update Main firmware failed");
        return false;
      }
      std::lock_guard<std::mutex> lock(preparedMutex_);
      prepared_ = std::move(ports);
      return true;
    };
  }
  if (!stages_.SendSubFirmware) {
    stages_.SendSubFirmware = [this](StageContext context, std::function<void(StageEnd)> done) {
      return StartSubStage(std::move(context), *client_, state_.SubFwFile, subInfo_,
                           [this, done = std::move(done)](bool sent) {
                             if (sent) {
                               done(StageEnd::Succeeded);
                               return;
                             }
                             const bool stopped = state_.StopRequested.load() != 0;
                             // A failed stream leaves the projector mid-write: the update stops here.
                             session_.RequestStop();
                             session_.EndSession();
                             done(stopped ? StageEnd::Stopped : StageEnd::Failed);
                           });
    };
  }
  keepAwake_ = std::make_unique<KeepAwake>(*loop_, CreateSystemSleepInhibitor(*loop_),
                                           [this](const std::string& line) { warnings_->Write(line); });
}

UpdateCore::~UpdateCore() { Shutdown(); }

void UpdateCore::Attach(TaskQueue& queue, UpdateEvents& events) {
  listeners_ = std::make_unique<Listeners>(*this, events);
  ui_.Attach(queue, *listeners_);
  // The control connection lives on the loop: its notifications and its timer come there.
  client_ = CreateTcpClient(*loop_, *loop_);
  // The ports are bound first: binding is what brings up Windows' own question about the
  // program, which an administrator may answer while this update says what is wrong.
  auto prepare = [this] {
    if (stages_.PrepareMainFirmware && !stages_.PrepareMainFirmware()) return false;
    return FirewallLetsBootLoaderIn();
  };
  ControlSession::Stages stages{[this] { sequence_->StartMainStage(); }, [this] { sequence_->StartSubStage(); },
                                prepare};
  control_ = std::make_unique<ControlSession>(session_, *loop_, *client_, subInfo_, stages);
  sequence_ = std::make_unique<UpdateSequence>(session_, *loop_, profile_, *control_, subInfo_, stages_,
                                               [this] { return FirewallLetsBootLoaderIn(); });
  sequence_->SetSubStageGate(subGate_);
  session_.SetStageQueue(*loop_);
  session_.SetOnStop([this] {
    if (loop_->OnQueueThread()) {
      sequence_->CancelOnLoop();
    } else {
      loop_->Post([this] { sequence_->CancelOnLoop(); });
    }
  });
  session_.SetOnEnd([this] {
    control_->CloseConnection();
    ReleasePreparedPorts();
  });
}

bool UpdateCore::Start(const UpdateRequest& request) { return !shutDown_ && sequence_ && sequence_->Start(request); }

void UpdateCore::Abort() {
  if (shutDown_ || !sequence_) return;
  if (FirmwareBeingWritten()) {
    Ask(Question::Abort);
    return;
  }
  loop_->Post([this] { sequence_->AbortOnLoop(); });
}

void UpdateCore::AskBeforeClosing() {
  if (!shutDown_ && sequence_) Ask(Question::Close);
}

void UpdateCore::Ask(Question which) {
  if (question_) return;  // one at a time: the open one stands
  question_ = which;
  session_.QuestionOpened();
  listeners_->QuestionAsked(which, which == Question::Abort ? kAbortQuestion : kCloseQuestion);
}

void UpdateCore::AnswerQuestion(Answer answer) {
  if (!question_ || !sequence_) return;
  const Question which = *question_;
  question_.reset();
  // Only Yes acts: a question put away unanswered is no consent.
  if (answer == Answer::Yes) {
    if (which == Question::Abort) {
      loop_->Post([this] { sequence_->AbortOnLoop(); });
    } else {
      session_.RequestStop();
    }
  }
  // Stages held by the question begin after what the answer posted.
  session_.QuestionClosed();
}

std::vector<PortRange> UpdateCore::BootLoaderPorts(const UpdaterSettings& settings) {
  return {PortRange{settings.bootpServerPort, settings.bootpServerPort},
          PortRange{settings.tftpServerPort, settings.tftpServerPort},
          PortRange{settings.dataPortFirst,
                    static_cast<std::uint16_t>(settings.dataPortFirst + settings.dataPortCount - 1)}};
}

// A boot loader whose requests never arrive would wait for nothing: the projector is
// left as it is. An answer that cannot be had lets the update go on.
bool UpdateCore::FirewallLetsBootLoaderIn() {
  const std::vector<PortRange> ports = BootLoaderPorts(settings_);
  if (!firewall_ || firewall_->InboundUdp(state_.PcIpAddr.load(), ports) != FirewallAnswer::Blocked) return true;
  log_.LogError("Windows Defender Firewall blocks inbound UDP %s to \"%s\"", DescribePorts(ports).c_str(),
                firewall_->ProgramPath().c_str());
  log_.LogError("Please install the updater with its installer, or allow this program in Windows Defender Firewall");
  log_.LogError("Update Main firmware failed");
  return false;
}

void UpdateCore::ReleasePreparedPorts() {
  MainPorts ports;
  std::lock_guard<std::mutex> lock(preparedMutex_);
  std::swap(ports, prepared_);
}

// The stages end through their own reports, which the saved log still hears; bounded, as
// a stage's end takes a turn or two of the loop once it is cancelled.
void UpdateCore::EndStages() {
  if (!sequence_) return;
  std::promise<void> over;
  std::future<void> ended = over.get_future();
  int turns = 0;
  std::function<void()> look = [&] {
    if (session_.StagesRunning() == 0 || ++turns > 1000) {
      over.set_value();
      return;
    }
    loop_->Post(look);
  };
  loop_->Post([&] {
    sequence_->CancelOnLoop();
    loop_->Post(look);
  });
  ended.wait_for(std::chrono::seconds(2));
}

void UpdateCore::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  question_.reset();
  session_.RequestStop();
  EndStages();
  // Nothing is written any more. The hold is released on the loop, so before it stops.
  keepAwake_->Stop();
  if (ownLoop_) {
    // No handler runs after this: what was made on the loop may go (before the loop itself).
    ownLoop_->Stop();
    // The connection and its timer post to the front end from the loop's handlers, which
    // hold them: they are silenced and go before the front end does.
    if (control_) control_->CloseConnection();
  } else if (control_) {
    // A shared loop runs on: the connection is closed and silenced there. The objects on
    // it stay until the core goes, after the loop has stopped.
    auto closed = std::make_shared<std::promise<void>>();
    loop_->Post([this, closed] {
      control_->CloseConnection();
      session_.SetOnEnd(nullptr);
      closed->set_value();
    });
    closed->get_future().wait_for(std::chrono::seconds(2));
  }
  ReleasePreparedPorts();
  if (ownLoop_) session_.SetOnEnd(nullptr);
  if (savedLog_) {
    // The stages' last lines are in; the end the front end would have heard is not.
    savedLog_->End("closed: the program ended before the update did");
    savedLog_->Flush();
  }
  if (ownLoop_) {
    sequence_.reset();
    control_.reset();
    client_.reset();
  }
  ui_.Detach();
}

void UpdateCore::EnableSavedLog(SavedLogOptions options) {
  savedLog_ = std::make_unique<SavedLog>(std::move(options));
  log_.SetSink([this](LogLevel level, const std::string& text) { SaveLine(level, text); });
}

std::string UpdateCore::LastSavedLogPath() const { return savedLog_ ? savedLog_->LastPath() : std::string(); }

void UpdateCore::SaveLine(LogLevel level, const std::string& text) {
  TaskQueue* frontEnd = ui_.target();
  const bool onFrontEnd = frontEnd && frontEnd->OnQueueThread();
  // The manual path says what it waits for just before the session begins: a line of the
  // front end's belongs to an update accepted in the same turn of its loop.
  if (savedLog_->Line(level, text, onFrontEnd)) {
    ui_.Later([this] {
      if (savedLog_) savedLog_->ForgetHeld();
    });
  }
}

void UpdateCore::UpdateBegan() {
  if (!savedLog_) return;
  SavedLogStart start;
  start.projectorAddress = state_.PjIpText;
  const std::uint8_t selection = state_.FirmwareSelection.load();
  if (selection & MainFw) start.files.emplace_back("Main firmware", state_.MainFwFile);
  if (selection & SubFw) start.files.emplace_back("Sub firmware", state_.SubFwFile);
  savedLog_->Begin(start);
}

void UpdateCore::UpdateEnded(UpdateOutcome outcome) {
  // A stage may end without clearing UpdateInProgress: the update is over all the same.
  keepAwake_->UpdateOver();
  if (!savedLog_) return;
  switch (outcome) {
    case UpdateOutcome::Succeeded: savedLog_->End("succeeded"); break;
    case UpdateOutcome::Failed: savedLog_->End("failed"); break;
    case UpdateOutcome::Aborted: savedLog_->End("aborted by the operator"); break;
  }
}

}  // namespace tessaly
