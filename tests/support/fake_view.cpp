#include "support/fake_view.h"

#include <algorithm>

#include "app/control_design.h"

namespace tessaly::testing {

namespace {
constexpr std::uint32_t kWmClose = 16;
}

FakeView::FakeView() : viewThread_(std::this_thread::get_id()) {
  for (const ControlDesign& d : kControlDesign) {
    State& s = controls_[d.control];
    s.text = d.caption;
    s.visible = d.visible;
    s.enabled = d.enabled;
    s.top = d.top;
  }
}

void FakeView::SetCaption(const std::string& caption) {
  caption_ = caption;
  Record("caption " + caption);
}

void FakeView::RunTextChangeHandler(Control c) {
  if (!events_) return;
  if (c == Control::FileEdit) events_->FileEditChange();
  if (c == Control::FileEdit2) events_->FileEdit2Change();
}

void FakeView::SetText(Control c, const std::string& text) {
  Record(std::string("text ") + ControlName(c) + " " + text);
  if (c == Control::MsgEdit) {
    log_.clear();  // clearing the log control
  }
  const bool changed = S(c).text != text;
  S(c).text = text;
  if (changed) RunTextChangeHandler(c);
}

std::string FakeView::Text(Control c) const { return S(c).text; }

void FakeView::SetVisible(Control c, bool visible) {
  Record(std::string(visible ? "show " : "hide ") + ControlName(c));
  S(c).visible = visible;
}

void FakeView::SetEnabled(Control c, bool enabled) {
  Record(std::string(enabled ? "enable " : "disable ") + ControlName(c));
  S(c).enabled = enabled;
}

void FakeView::SetTop(Control c, int top) {
  Record(std::string("top ") + ControlName(c) + " " + std::to_string(top));
  S(c).top = top;
}

void FakeView::SetOuterHeight(int height) {
  Record("height " + std::to_string(height));
  outerHeight_ = height;
}

void FakeView::SetPosition(Control c, int position) {
  Record(std::string("position ") + ControlName(c) + " " + std::to_string(position));
  S(c).position = position;
}

void FakeView::ClearItems(Control c) {
  Record(std::string("clear ") + ControlName(c));
  S(c).items.clear();
  S(c).itemIndex = -1;
}

void FakeView::AddItem(Control c, const std::string& item) {
  Record(std::string("item ") + ControlName(c) + " " + item);
  S(c).items.push_back(item);
}

void FakeView::SetItemIndex(Control c, int index) {
  Record(std::string("select ") + ControlName(c) + " " + std::to_string(index));
  S(c).itemIndex = (index >= 0 && index < static_cast<int>(S(c).items.size())) ? index : -1;
}

int FakeView::ItemIndex(Control c) const { return S(c).itemIndex; }

bool FakeView::Checked(Control c) const { return S(c).checked; }

void FakeView::SetChecked(Control c, bool checked) {
  Record(std::string(checked ? "check " : "uncheck ") + ControlName(c));
  if (S(c).checked == checked) return;
  S(c).checked = checked;
  if (events_ && c == Control::UpfwBox) events_->UpfwBoxClick();
}

void FakeView::AppendLogLine(const std::string& text, LogColour colour) {
  if (std::this_thread::get_id() != viewThread_) {
    Record("LOG OFF THE VIEW THREAD");  // a fault the tests look for
  }
  log_.push_back({text, colour});
}

Answer FakeView::AskConfirm(const std::string& text) {
  questions_.push_back(text);
  if (whileAsked_) {
    std::function<void()> loop;
    loop.swap(whileAsked_);
    loop();
  }
  if (answers_.empty()) return Answer::Closed;
  Answer a = answers_.front();
  answers_.pop_front();
  return a;
}

void FakeView::ShowMessage(const std::string& text) { messages_.push_back(text); }

int FakeView::RunPasswordDialog(const std::function<bool(const std::string&)>& ok) {
  ++passwordDialogsShown_;
  std::vector<std::string> typed;
  if (!dialogs_.empty()) {
    typed = std::move(dialogs_.front());
    dialogs_.pop_front();
  }
  for (const std::string& t : typed) {
    if (ok(t)) return kModalOk;
  }
  return kModalCancel;
}

void FakeView::Post(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(postMutex_);
    queue_.push_back(std::move(work));
  }
  posted_.notify_all();
}

void FakeView::PostWindowMessage(std::uint32_t msg) {
  Post([this, msg] {
    if (msg == kWmClose) {
      TryClose();
    } else if (events_) {
      events_->WindowMessage(msg);
    }
  });
}

bool FakeView::OnViewThread() const { return std::this_thread::get_id() == viewThread_; }

void FakeView::ProcessEvents() { Pump(); }

int FakeView::Pump() {
  int ran = 0;
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard<std::mutex> lock(postMutex_);
      if (queue_.empty()) return ran;
      work = std::move(queue_.front());
      queue_.pop_front();
    }
    work();
    ++ran;
  }
}

bool FakeView::PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    Pump();
    if (done()) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    // Wake for posted work at once, and look again every few milliseconds for what
    // changes without a post (a worker ending, a simulator's report).
    const auto until = std::min(deadline, now + std::chrono::milliseconds(5));
    std::unique_lock<std::mutex> lock(postMutex_);
    posted_.wait_until(lock, until, [this] { return !queue_.empty(); });
  }
}

std::size_t FakeView::Pending() const {
  std::lock_guard<std::mutex> lock(postMutex_);
  return queue_.size();
}

bool FakeView::WaitForPending(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(postMutex_);
  return posted_.wait_for(lock, timeout, [this] { return !queue_.empty(); });
}

void FakeView::Click(Control c) {
  if (!Visible(c) && c != Control::SearchFwBtn && c != Control::ConnectBtn) return;
  if (!Enabled(c) || !events_) return;
  switch (c) {
    case Control::UpdateFwBtn: events_->UpdateFwBtnClick(); break;
    case Control::AbortBtn: events_->AbortBtnClick(); break;
    case Control::ExitItem: events_->ExitItemClick(); break;
    case Control::AdvanceModeItem: events_->AdvanceModeItemClick(); break;
    case Control::NormalModeItem: events_->NormalModeItemClick(); break;
    case Control::SearchFwBtn: events_->SearchFwBtnClick(); break;
    case Control::ConnectBtn: events_->ConnectBtnClick(); break;
    default: break;
  }
}

void FakeView::ToggleByOperator(Control c) {
  if (!Visible(c) || !Enabled(c)) return;
  SetChecked(c, !Checked(c));
}

bool FakeView::TryClose() {
  if (closed_ || !events_) return closed_;
  if (!events_->CloseQuery()) return false;
  events_->FormClose();
  closed_ = true;
  return true;
}

std::vector<std::string> FakeView::Items(Control c) const { return S(c).items; }
bool FakeView::Visible(Control c) const { return S(c).visible; }
bool FakeView::Enabled(Control c) const { return S(c).enabled; }
int FakeView::Top(Control c) const { return S(c).top; }
int FakeView::Position(Control c) const { return S(c).position; }

}  // namespace tessaly::testing
