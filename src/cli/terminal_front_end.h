#pragma once
// The command line's front end: its thread is an Asio event loop. Each unit of a run hears
// its update's events through a UnitFrontEnd of its own, and they become lines (coloured
// on a terminal, "error: " otherwise), with the progress as a live bar or as
// "progress: N%" lines; with --json each event is also an object on the JSON stream. In a
// run of several projectors each line carries the unit's prefix, and on a terminal a live
// board shows every unit, with every line written above it.

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/json_events.h"
#include "cli/live_view.h"
#include "platform/debug_output.h"
#include "platform/task_queue.h"
#include "session/update_events.h"

namespace tessaly::cli {

class TerminalFrontEnd final : public TaskQueue {
 public:
  // `err`: where notes go (standard error; a test's file).
  TerminalFrontEnd(asio::io_context& io, std::FILE* out, bool terminal, JsonEvents* json = nullptr,
                   std::FILE* err = stderr);
  ~TerminalFrontEnd() override;

  bool terminal() const { return terminal_; }
  JsonEvents* json() const { return json_; }

  // A fleet on a terminal: the live board of these units, below every line from here on.
  // EndBoard leaves it on screen as it last stood.
  void ShowBoard(std::vector<std::string> addresses);
  void EndBoard();
  bool boardShown() const { return board_ != nullptr; }

  // A line of the command line's own (not a log line); a newline in it is shown as \x0a
  // like any control, so a question of several lines comes through Ask.
  void Say(const std::string& prefix, const std::string& text);
  // The abort question, asked by the first Ctrl-C while firmware is being written, and
  // its lapse when no second one came in time; `unit` 0 asks for the whole run.
  void Ask(int unit, const std::string& question, const std::string& howToAnswer);
  void QuestionLapsed(int unit);
  // The operator's answer, for the JSON stream.
  void Answered(int unit, Answer a);

  // What the units' front ends write through. `unit` counts from 1.
  void Line(const std::string& prefix, const std::string& text, LogLevel level);
  void Progress(int unit, const std::string& prefix, int percent);
  void Stage(int unit, UnitStage stage);
  // Lines for the record only, on standard error.
  void Note(const std::string& prefix, const std::string& text);
  // The unit's update has ended: a single bar is left on its own line.
  void BarOver();

  void Post(std::function<void()> work) override;
  bool OnQueueThread() const override { return std::this_thread::get_id() == thread_; }
  void ProcessEvents() override { RunPosted(); }

 private:
  void Write(std::FILE* stream, const std::string& line);
  void ClearBar();
  void DrawBar();
  void RunPosted();
  void Tick();

  asio::io_context& io_;
  std::FILE* out_;
  bool terminal_;
  JsonEvents* json_;
  std::FILE* err_;
  std::thread::id thread_ = std::this_thread::get_id();
  // One unit on a terminal: a single bar under the lines.
  std::string barPrefix_;
  int barPercent_ = -1;  // none drawn yet
  bool barShown_ = false;
  std::unique_ptr<LiveView> board_;
  std::unique_ptr<asio::steady_timer> tick_;

  // Posted work waits in a queue of our own, so that the loop's thread can also run it
  // from inside a handler (ProcessEvents) without re-entering the event loop.
  std::mutex postMutex_;
  std::deque<std::function<void()>> posted_;
};

// One unit's events, as its update's core gives them.
class UnitFrontEnd final : public UpdateEvents {
 public:
  struct Hooks {
    std::function<void(int unit, const std::string& text)> question;
    std::function<void(int unit, UpdateStep step)> step;
    std::function<void(int unit)> ended;
  };
  // `unit` 0 is the run's own lines, before any unit starts.
  UnitFrontEnd(TerminalFrontEnd& front, int unit, std::string prefix, Hooks hooks = {});

  int unit() const { return unit_; }
  const std::string& prefix() const { return prefix_; }
  // Set once the update has ended, with how.
  const std::optional<UpdateOutcome>& outcome() const { return outcome_; }
  // Between SessionBegan and SessionEnded.
  bool busy() const { return busy_; }
  // The stages' own reports of their ends.
  const std::optional<bool>& mainResult() const { return mainResult_; }
  const std::optional<bool>& subResult() const { return subResult_; }

  // Lines for the record only, such as another host's read request that the Main stage
  // ignored, and the core's warnings: on standard error with the unit's prefix, not in
  // the JSON stream. Any thread; they are written on the front end's.
  DebugOutput& notes() { return notes_; }

  void LogLine(const std::string& text, LogLevel level) override;
  void ProgressShown(int percent) override;
  void SessionBegan() override;
  void SessionEnded() override;
  void StageResult(FirmwareStage stage, bool succeeded) override;
  void QuestionAsked(Question which, const std::string& text) override;
  void UpdateEnded(UpdateOutcome outcome) override;
  void StepBegan(UpdateStep step) override;

 private:
  class Notes final : public DebugOutput {
   public:
    explicit Notes(UnitFrontEnd& unit) : unit_(unit) {}
    void Write(const std::string& text) override {
      unit_.front_.Post([this, text] { unit_.front_.Note(unit_.prefix_, text); });
    }

   private:
    UnitFrontEnd& unit_;
  };

  TerminalFrontEnd& front_;
  int unit_;
  std::string prefix_;
  Hooks hooks_;
  int shownProgress_ = 0;  // the bar starts at 0, as the window's does: only changes are shown
  bool busy_ = false;
  std::optional<UpdateOutcome> outcome_;
  std::optional<bool> mainResult_;
  std::optional<bool> subResult_;
  Notes notes_{*this};
};

}  // namespace tessaly::cli
