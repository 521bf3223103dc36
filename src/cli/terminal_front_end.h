#pragma once
// The command line's front end: its thread is an Asio event loop, and the update's
// events become lines on standard output (coloured on a terminal, "error: " otherwise),
// with the progress as a live bar or as "progress: N%" lines.

#include <asio/io_context.hpp>

#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/task_queue.h"
#include "session/update_events.h"

namespace tessaly::cli {

class TerminalFrontEnd final : public TaskQueue, public UpdateEvents {
 public:
  TerminalFrontEnd(asio::io_context& io, std::FILE* out, bool terminal);

  // The answer to the next question (the command line asks by a second Ctrl-C).
  void SetNextAnswer(Answer a) { nextAnswer_ = a; }
  // Log lines written while muted are dropped.
  void SetMuted(bool muted) { muted_ = muted; }
  // Writes a line of the command line's own (not a log line).
  void Say(const std::string& text);
  // Set once the update has ended, with how.
  const std::optional<UpdateOutcome>& outcome() const { return outcome_; }
  bool busy() const { return busy_; }

  void Post(std::function<void()> work) override;
  bool OnQueueThread() const override { return std::this_thread::get_id() == thread_; }
  void ProcessEvents() override { RunPosted(); }

  void LogLine(const std::string& text, LogLevel level) override;
  void ProgressShown(int percent) override;
  void SessionBegan() override { busy_ = true; }
  void SessionEnded() override { busy_ = false; }
  void StageResult(FirmwareStage, bool) override {}
  Answer Confirm(const std::string& question) override;
  void UpdateEnded(UpdateOutcome outcome) override;

 private:
  void ClearBar();
  void DrawBar();
  void RunPosted();

  asio::io_context& io_;
  std::FILE* out_;
  bool terminal_;
  std::thread::id thread_ = std::this_thread::get_id();
  Answer nextAnswer_ = Answer::No;
  int shownProgress_ = 0;  // the bar starts at 0, as the window's does: only changes are shown
  bool muted_ = false;
  bool barShown_ = false;
  bool busy_ = false;
  std::optional<UpdateOutcome> outcome_;

  // Posted work waits in a queue of our own, so that the loop's thread can also run it
  // from inside a handler (ProcessEvents) without re-entering the event loop.
  std::mutex postMutex_;
  std::deque<std::function<void()>> posted_;
};

}  // namespace tessaly::cli
