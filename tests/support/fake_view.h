#pragma once
// A recording view for the logic's tests. It keeps every control's state as the
// toolkit would, records each call as a line, and plays scripted answers. The thread
// that creates it is the view's thread; Post queues work that Pump runs there.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/view.h"

namespace tessaly::testing {

struct LogLine {
  std::string text;
  LogColour colour;
  bool operator==(const LogLine&) const = default;
};

class FakeView final : public View {
 public:
  FakeView();

  void SetEvents(ViewEvents* events) { events_ = events; }

  void SetCaption(const std::string& caption) override;
  void SetText(Control c, const std::string& text) override;
  std::string Text(Control c) const override;
  void SetVisible(Control c, bool visible) override;
  void SetEnabled(Control c, bool enabled) override;
  void SetTop(Control c, int top) override;
  void SetOuterHeight(int height) override;
  void SetPosition(Control c, int position) override;
  void ClearItems(Control c) override;
  void AddItem(Control c, const std::string& item) override;
  void SetItemIndex(Control c, int index) override;
  int ItemIndex(Control c) const override;
  bool Checked(Control c) const override;
  void SetChecked(Control c, bool checked) override;
  void AppendLogLine(const std::string& text, LogColour colour) override;
  Answer AskConfirm(const std::string& text) override;
  void ShowMessage(const std::string& text) override;
  int RunPasswordDialog(const std::function<bool(const std::string&)>& ok) override;
  void Post(std::function<void()> work) override;
  void PostWindowMessage(std::uint32_t msg) override;
  bool OnViewThread() const override;
  void ProcessEvents() override;

  // The operator.
  void Click(Control c);             // a button or menu item (only when visible and enabled)
  void ToggleByOperator(Control c);  // the check box
  bool TryClose();                   // title-bar close: true when the window closed

  // Scripted answers.
  void QueueAnswer(Answer a) { answers_.push_back(a); }
  // Runs while the next question is open, as a box's own loop does; cleared once run.
  void WhileAsked(std::function<void()> loop) { whileAsked_ = std::move(loop); }
  // One dialog: the texts typed before each OK press, then Cancel unless it closed.
  void QueuePasswordDialog(std::vector<std::string> typed) { dialogs_.push_back(std::move(typed)); }

  // Runs posted work until `done` holds or `timeout` passes. Returns `done()`.
  bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  int Pump();  // runs what is queued now; returns how many items ran
  std::size_t Pending() const;
  // Waits, without running anything, until some work is queued. Returns false on timeout.
  bool WaitForPending(std::chrono::milliseconds timeout);

  // What happened.
  const std::vector<std::string>& calls() const { return calls_; }
  const std::vector<LogLine>& logLines() const { return log_; }
  std::vector<std::string> Items(Control c) const;
  bool Visible(Control c) const;
  bool Enabled(Control c) const;
  int Top(Control c) const;
  int OuterHeight() const { return outerHeight_; }
  int Position(Control c) const;
  std::string Caption() const { return caption_; }
  const std::vector<std::string>& questions() const { return questions_; }
  const std::vector<std::string>& messages() const { return messages_; }
  bool closed() const { return closed_; }
  int passwordDialogsShown() const { return passwordDialogsShown_; }

 private:
  struct State {
    std::string text;
    bool visible = true;
    bool enabled = true;
    bool checked = false;
    int top = 0;
    int position = 0;
    int itemIndex = -1;
    std::vector<std::string> items;
  };
  State& S(Control c) { return controls_[c]; }
  const State& S(Control c) const { return controls_.at(c); }
  void Record(std::string line) { calls_.push_back(std::move(line)); }
  void RunTextChangeHandler(Control c);

  std::thread::id viewThread_;
  ViewEvents* events_ = nullptr;
  std::map<Control, State> controls_;
  std::string caption_;
  int outerHeight_ = 0;
  std::vector<std::string> calls_;
  std::vector<LogLine> log_;
  std::deque<Answer> answers_;
  std::function<void()> whileAsked_;
  std::deque<std::vector<std::string>> dialogs_;
  std::vector<std::string> questions_;
  std::vector<std::string> messages_;
  bool closed_ = false;
  int passwordDialogsShown_ = 0;

  mutable std::mutex postMutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> queue_;
};

}  // namespace tessaly::testing
