#pragma once
// The operations every stage shares: progress, stop request, end of a session, waiting.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "session/message_log.h"
#include "session/settings.h"
#include "session/ui_queue.h"
#include "session/update_state.h"

namespace tessaly {

class UpdateSession {
 public:
  UpdateSession(UpdateState& state, UiQueue& ui, MessageLog& log, const UpdaterSettings& settings);

  // What every end of a session releases: the control connection, ports bound ahead of
  // the Main stage. Set once they exist.
  void SetOnEnd(std::function<void()> release) { onEnd_ = std::move(release); }

  // An update was accepted: the window is in its update state until EndSession.
  // View's thread.
  void BeginSession();
  // A stage (or the restart wait) begins on the loop: "Update Firmware" comes back only
  // when the session has ended and no stage runs any more, so that a new update never
  // meets the ports, the connection or the late end of an old stage. Any thread.
  void StageBegan() { stagesRunning_.fetch_add(1); }
  // Its end has been handled. Any thread.
  void StageOver();
  int StagesRunning() const { return stagesRunning_.load(); }
  // What a stop request cancels at once: the stages and waits under way on the loop.
  // Set before the first update; called on the thread that raises the stop.
  void SetOnStop(std::function<void()> cancel) { onStop_ = std::move(cancel); }

  // The stage's percentage, 100 meaning the stage succeeded. Any thread.
  void ReportProgress(std::uint32_t percent);
  // A stage ended without success; its lines are logged. Any thread.
  void ReportStageFailed(FirmwareStage stage);
  // A question is open on the front end (the window's box, or the command line's question
  // that a second Ctrl-C answers): no stage begins until it is closed. Front end's thread.
  void QuestionOpened();
  void QuestionClosed();
  // Runs `begin` now when no question is open; otherwise once it is closed, posted to the
  // stage queue after whatever the answer posted there (an Abort). `begin` looks at the
  // stop request itself. The loop's thread.
  void BeginStageWhenAnswered(std::function<void()> begin);
  // Where held stages begin: the update loop. Set before the first update.
  void SetStageQueue(TaskQueue& queue) { stageQueue_ = &queue; }
  // The operator aborted this update: its end is an abort, not a failure.
  void MarkAborted() { aborted_.store(true); }
  // Any thread. Cancels what runs on the loop.
  void RequestStop();
  // Closes the connection and restores the idle controls. Any thread; idempotent.
  void EndSession();

  // The value the bar shows for a stage percentage.
  static std::uint32_t ShownProgress(std::uint8_t selection, std::uint8_t stage, std::uint32_t percent);

  UpdateState& state() { return state_; }
  MessageLog& log() { return log_; }
  UiQueue& ui() { return ui_; }
  const UpdaterSettings& settings() const { return settings_; }

 private:
  UpdateState& state_;
  UiQueue& ui_;
  MessageLog& log_;
  const UpdaterSettings& settings_;
  // Front end's thread: once the session has ended and no stage is left, says so once.
  void ReportEndIfOver();
  UpdateOutcome Outcome() const;

  std::function<void()> onEnd_;
  std::function<void()> onStop_;
  // Counts the sessions begun: work queued for the controls by a session's end is
  // dropped once a newer session has begun.
  std::atomic<std::uint32_t> generation_{0};
  std::atomic<int> shown_{-1};  // the bar's value: a report that leaves it alone posts nothing
  std::atomic<bool> aborted_{false};
  bool endReported_ = false;  // front end's thread only
  TaskQueue* stageQueue_ = nullptr;
  // Opened and closed on the front end's thread, looked at on the loop's.
  std::mutex questionMutex_;
  bool questionOpen_ = false;
  std::vector<std::function<void()>> heldStages_;
  std::atomic<int> stagesRunning_{0};
};

}  // namespace tessaly
