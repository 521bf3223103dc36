#pragma once
// The command line's front end: its thread is an Asio event loop, and the update's
// events become lines (coloured on a terminal, "error: " otherwise), with the progress
// as a live bar or as "progress: N%" lines; with --json each event is also an object on
// the JSON stream. In a run of several projectors each line carries the unit's prefix.

#include <asio/io_context.hpp>

#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "cli/json_events.h"
#include "platform/debug_output.h"
#include "platform/task_queue.h"
#include "session/update_events.h"

namespace tessaly::cli {

class TerminalFrontEnd final : public TaskQueue, public UpdateEvents {
 public:
  TerminalFrontEnd(asio::io_context& io, std::FILE* out, bool terminal, JsonEvents* json = nullptr);

  // A new unit's update: its number (0 for the run's own lines) and line prefix; what the
  // last one showed, answered and reported is forgotten.
  void BeginUnit(int unit, std::string prefix);

  // Who hears the core's questions: the run, which answers by a second Ctrl-C.
  void SetOnQuestion(std::function<void(Question, const std::string&)> onQuestion) {
    onQuestion_ = std::move(onQuestion);
  }
  // Log lines written while muted are dropped.
  void SetMuted(bool muted) { muted_ = muted; }
  // Writes a line of the command line's own (not a log line); a newline in it is shown as
  // \x0a like any control, so a question of several lines comes through Ask.
  void Say(const std::string& text);
  // The abort question, asked by the first Ctrl-C while firmware is being written, and
  // its lapse when no second one came in time.
  void Ask(const std::string& question, const std::string& howToAnswer);
  void QuestionLapsed();
  // The operator's answer, for the JSON stream.
  void Answered(Answer a);
  // Set once the update has ended, with how.
  const std::optional<UpdateOutcome>& outcome() const { return outcome_; }
  bool busy() const { return busy_; }
  // The stages' own reports of their ends.
  const std::optional<bool>& mainResult() const { return mainResult_; }
  const std::optional<bool>& subResult() const { return subResult_; }

  // Lines for the record only, such as another host's read request that the Main stage
  // ignored: on standard error with the unit's prefix, not in the JSON stream. Any
  // thread; they are written on the front end's.
  DebugOutput& notes() { return notes_; }

  void Post(std::function<void()> work) override;
  bool OnQueueThread() const override { return std::this_thread::get_id() == thread_; }
  void ProcessEvents() override { RunPosted(); }

  void LogLine(const std::string& text, LogLevel level) override;
  void ProgressShown(int percent) override;
  void SessionBegan() override;
  void SessionEnded() override;
  void StageResult(FirmwareStage stage, bool succeeded) override;
  void QuestionAsked(Question which, const std::string& text) override;
  void UpdateEnded(UpdateOutcome outcome) override;

 private:
  class Notes final : public DebugOutput {
   public:
    explicit Notes(TerminalFrontEnd& front) : front_(front) {}
    void Write(const std::string& text) override {
      front_.Post([this, text] { front_.Note(text); });
    }

   private:
    TerminalFrontEnd& front_;
  };

  void Note(const std::string& text);
  void ClearBar();
  void DrawBar();
  void RunPosted();

  asio::io_context& io_;
  std::FILE* out_;
  bool terminal_;
  JsonEvents* json_;
  int unit_ = 0;
  std::string prefix_;
  std::thread::id thread_ = std::this_thread::get_id();
  std::function<void(Question, const std::string&)> onQuestion_;
  int shownProgress_ = 0;  // the bar starts at 0, as the window's does: only changes are shown
  bool muted_ = false;
  bool barShown_ = false;
  bool busy_ = false;
  std::optional<UpdateOutcome> outcome_;
  std::optional<bool> mainResult_;
  std::optional<bool> subResult_;
  Notes notes_{*this};

  // Posted work waits in a queue of our own, so that the loop's thread can also run it
  // from inside a handler (ProcessEvents) without re-entering the event loop.
  std::mutex postMutex_;
  std::deque<std::function<void()>> posted_;
};

}  // namespace tessaly::cli
