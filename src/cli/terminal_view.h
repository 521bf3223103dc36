#pragma once
// The command line's view: the window's controls kept as plain state, log lines on
// standard output (coloured on a terminal, "error: " otherwise) and the progress as a
// live bar or as "progress: N%" lines. Runs on a QCoreApplication event loop.

#include <QObject>
#include <QSocketNotifier>

#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/view.h"

namespace tessaly::cli {

class TerminalView final : public QObject, public View {
 public:
  TerminalView(std::FILE* out, bool terminal);
  ~TerminalView() override;
  TerminalView(const TerminalView&) = delete;
  TerminalView& operator=(const TerminalView&) = delete;

  void SetEvents(ViewEvents* events) { events_ = events; }
  // The answer to the next confirmation (the command line asks by a second Ctrl-C).
  void SetNextAnswer(Answer a) { nextAnswer_ = a; }
  // Log lines written while muted are dropped.
  void SetMuted(bool muted) { muted_ = muted; }

  void SetCaption(const std::string&) override {}
  void SetText(Control c, const std::string& text) override;
  std::string Text(Control c) const override;
  void SetVisible(Control c, bool visible) override { controls_[c].visible = visible; }
  void SetEnabled(Control c, bool enabled) override;
  void SetTop(Control, int) override {}
  void SetOuterHeight(int) override {}
  void SetPosition(Control c, int position) override;
  void ClearItems(Control c) override;
  void AddItem(Control c, const std::string& item) override { controls_[c].items.push_back(item); }
  void SetItemIndex(Control c, int index) override;
  int ItemIndex(Control c) const override;
  bool Checked(Control c) const override;
  void SetChecked(Control c, bool checked) override;
  void AppendLogLine(const std::string& text, LogColour colour) override;
  Answer AskConfirm(const std::string& text) override;
  void ShowMessage(const std::string& text) override;
  int RunPasswordDialog(const std::function<bool(const std::string&)>&) override { return kModalCancel; }
  void Post(std::function<void()> work) override;
  void PostWindowMessage(std::uint32_t msg) override;
  bool OnViewThread() const override;
  void ProcessEvents() override;

  bool Enabled(Control c) const;
  std::vector<std::string> Items(Control c) const;
  // Writes a line of the command line's own (not a log line).
  void Say(const std::string& text);

 private:
  struct State {
    std::string text;
    bool visible = true;
    bool enabled = true;
    bool checked = false;
    int position = 0;
    int itemIndex = -1;
    std::vector<std::string> items;
  };
  void ClearBar();
  void DrawBar();
  void RunPosted();

  std::FILE* out_;
  bool terminal_;
  ViewEvents* events_ = nullptr;
  std::map<Control, State> controls_;
  Answer nextAnswer_ = Answer::No;
  int shownProgress_ = 0;  // the bar's design position: only changes are shown
  bool muted_ = false;
  bool barShown_ = false;

  // Work posted from other threads: a queue of our own and a pipe that wakes the event
  // loop, so that every hand-over between threads goes through locks the thread
  // sanitizer sees (Qt's own queue is not built with it).
  std::mutex postMutex_;
  std::deque<std::function<void()>> posted_;
  int wake_[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> wakeNotifier_;
};

}  // namespace tessaly::cli
