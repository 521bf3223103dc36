#include "session/update_session.h"

namespace tessaly {

UpdateSession::UpdateSession(UpdateState& state, UiQueue& ui, MessageLog& log, const UpdaterSettings& settings)
    : state_(state), ui_(ui), log_(log), settings_(settings) {
  // Whoever sets or clears it, the front end and the core's listeners hear the change.
  state_.UpdateInProgress.SetOnChange([this] {
    const bool writing = state_.UpdateInProgress.load() != 0;
    ui_.Run([writing](UpdateEvents& events) { events.FirmwareBeingWritten(writing); });
  });
}

std::uint32_t UpdateSession::ShownProgress(std::uint8_t selection, std::uint8_t stage, std::uint32_t percent) {
  if (selection == (MainFw | SubFw)) {
    if (stage == 1) return percent / 2;
    if (stage == 2) return percent / 2 + 50;
  }
  return percent;
}

void UpdateSession::ReportProgress(std::uint32_t percent) {
  const std::uint8_t stage = state_.UpdateStage.load();
  const std::uint8_t selection = state_.FirmwareSelection.load();
  if (percent == 100 && (stage == 1 || stage == 2)) {
    const std::uint8_t bit = stage == 1 ? MainFw : SubFw;
    const bool first = (state_.StagesSucceeded.fetch_or(bit) & bit) == 0;
    if (stage == 1) {
      if (selection != (MainFw | SubFw)) state_.UpdateInProgress.store(0);
    } else {
      state_.UpdateInProgress.store(0);
    }
    if (first) {
      // Said once a stage, however often its last report repeats.
      log_.LogInfo(stage == 1 ? "Updated Main Firmware has succeeded." : "Updated Sub Firmware has succeeded.");
      const auto which = static_cast<FirmwareStage>(stage);
      ui_.Run([which](UpdateEvents& events) { events.StageResult(which, true); });
    }
  }
  const int shown = static_cast<int>(ShownProgress(selection, stage, percent));
  if (shown_.exchange(shown) == shown) return;
  ui_.Run([shown](UpdateEvents& events) { events.ProgressShown(shown); });
}

void UpdateSession::ReportStageFailed(FirmwareStage stage) {
  // A stage that fails has not succeeded, whatever it reported before.
  state_.StagesSucceeded.fetch_and(static_cast<std::uint8_t>(~static_cast<std::uint8_t>(stage)));
  ui_.Run([stage](UpdateEvents& events) { events.StageResult(stage, false); });
}

void UpdateSession::QuestionOpened() {
  std::lock_guard<std::mutex> lock(questionMutex_);
  questionOpen_ = true;
}

void UpdateSession::QuestionClosed() {
  std::vector<std::function<void()>> held;
  {
    std::lock_guard<std::mutex> lock(questionMutex_);
    questionOpen_ = false;
    held.swap(heldStages_);
  }
  for (auto& begin : held) {
    if (stageQueue_) {
      stageQueue_->Post(std::move(begin));
    } else {
      ui_.Later(std::move(begin));
    }
  }
}

void UpdateSession::BeginStageWhenAnswered(std::function<void()> begin) {
  {
    std::lock_guard<std::mutex> lock(questionMutex_);
    if (questionOpen_) {
      heldStages_.push_back(std::move(begin));
      return;
    }
  }
  begin();
}

void UpdateSession::RequestStop() {
  state_.StopRequested.store(1);
  if (onStop_) onStop_();
}

void UpdateSession::BeginSession() {
  generation_.fetch_add(1);
  shown_.store(-1);  // the bar keeps the last update's value until the first report
  aborted_.store(false);
  endReported_ = false;
  {
    std::lock_guard<std::mutex> lock(questionMutex_);
    heldStages_.clear();  // an ended session's stages begin nothing
  }
  state_.SessionRunning.store(1);
  ui_.Run([](UpdateEvents& events) { events.SessionBegan(); });
}

void UpdateSession::EndSession() {
  if (onEnd_) onEnd_();
  state_.SessionRunning.store(0);
  const std::uint32_t generation = generation_.load();
  ui_.Run([this, generation](UpdateEvents& events) {
    if (generation != generation_.load()) return;  // a newer session owns the front end
    events.SessionEnded();
    ReportEndIfOver();
  });
  state_.UpdateInProgress.store(0);
}

void UpdateSession::StageOver() {
  stagesRunning_.fetch_sub(1);
  ui_.Run([this](UpdateEvents&) { ReportEndIfOver(); });
}

void UpdateSession::ReportEndIfOver() {
  if (endReported_ || state_.SessionRunning.load() != 0 || stagesRunning_.load() != 0) return;
  endReported_ = true;
  const UpdateOutcome outcome = Outcome();
  ui_.Run([outcome](UpdateEvents& events) { events.UpdateEnded(outcome); });
}

UpdateOutcome UpdateSession::Outcome() const {
  if (aborted_.load()) return UpdateOutcome::Aborted;
  const std::uint8_t selection = state_.FirmwareSelection.load();
  const bool allDone = selection != 0 && (state_.StagesSucceeded.load() & selection) == selection;
  return allDone && state_.StopRequested.load() == 0 ? UpdateOutcome::Succeeded : UpdateOutcome::Failed;
}

}  // namespace tessaly
