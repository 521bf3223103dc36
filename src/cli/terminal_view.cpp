#include "cli/terminal_view.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <fcntl.h>
#include <unistd.h>

#include "platform/control_design.h"

namespace tessaly::cli {

namespace {
constexpr std::uint32_t kWmClose = 16;
constexpr const char* kBlue = "\033[34m";
constexpr const char* kRed = "\033[31m";
constexpr const char* kReset = "\033[0m";
}  // namespace

TerminalView::TerminalView(std::FILE* out, bool terminal) : out_(out), terminal_(terminal) {
  for (const ControlDesign& d : kControlDesign) {
    State& s = controls_[d.control];
    s.text = d.caption;
    s.visible = d.visible;
    s.enabled = d.enabled;
  }
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) == 0) {
    wakeNotifier_ = std::make_unique<QSocketNotifier>(wake_[0], QSocketNotifier::Read);
    QObject::connect(wakeNotifier_.get(), &QSocketNotifier::activated, this, [this] { RunPosted(); });
  }
}

TerminalView::~TerminalView() {
  wakeNotifier_.reset();
  for (int& fd : wake_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

void TerminalView::SetText(Control c, const std::string& text) {
  const bool changed = controls_[c].text != text;
  controls_[c].text = text;
  if (!changed || !events_) return;
  if (c == Control::FileEdit) events_->FileEditChange();
  if (c == Control::FileEdit2) events_->FileEdit2Change();
}

std::string TerminalView::Text(Control c) const {
  auto it = controls_.find(c);
  return it == controls_.end() ? std::string() : it->second.text;
}

void TerminalView::SetEnabled(Control c, bool enabled) { controls_[c].enabled = enabled; }

bool TerminalView::Enabled(Control c) const {
  auto it = controls_.find(c);
  return it != controls_.end() && it->second.enabled;
}

void TerminalView::ClearItems(Control c) {
  controls_[c].items.clear();
  controls_[c].itemIndex = -1;
}

void TerminalView::SetItemIndex(Control c, int index) {
  State& s = controls_[c];
  s.itemIndex = (index >= 0 && index < static_cast<int>(s.items.size())) ? index : -1;
}

int TerminalView::ItemIndex(Control c) const {
  auto it = controls_.find(c);
  return it == controls_.end() ? -1 : it->second.itemIndex;
}

std::vector<std::string> TerminalView::Items(Control c) const {
  auto it = controls_.find(c);
  return it == controls_.end() ? std::vector<std::string>{} : it->second.items;
}

bool TerminalView::Checked(Control c) const {
  auto it = controls_.find(c);
  return it != controls_.end() && it->second.checked;
}

void TerminalView::SetChecked(Control c, bool checked) {
  if (controls_[c].checked == checked) return;
  controls_[c].checked = checked;
  if (events_ && c == Control::UpfwBox) events_->UpfwBoxClick();
}

void TerminalView::ClearBar() {
  if (!barShown_) return;
  std::fputs("\r\033[K", out_);
  barShown_ = false;
}

void TerminalView::DrawBar() {
  if (shownProgress_ < 0) return;
  constexpr int kWidth = 40;
  const int filled = shownProgress_ * kWidth / 100;
  std::fprintf(out_, "\r[%s%s] %d%%", std::string(static_cast<std::size_t>(filled), '#').c_str(),
               std::string(static_cast<std::size_t>(kWidth - filled), ' ').c_str(), shownProgress_);
  barShown_ = true;
  std::fflush(out_);
}

void TerminalView::SetPosition(Control c, int position) {
  controls_[c].position = position;
  if (c != Control::UpdateProgBar || position == shownProgress_) return;
  shownProgress_ = position;
  if (terminal_) {
    DrawBar();
  } else {
    std::fprintf(out_, "progress: %d%%\n", position);
    std::fflush(out_);
  }
}

void TerminalView::AppendLogLine(const std::string& text, LogColour colour) {
  if (muted_) return;
  ClearBar();
  if (terminal_) {
    std::fprintf(out_, "%s%s%s\n", colour == LogColour::Red ? kRed : kBlue, text.c_str(), kReset);
  } else {
    std::fprintf(out_, "%s%s\n", colour == LogColour::Red ? "error: " : "", text.c_str());
  }
  if (terminal_) DrawBar();
  std::fflush(out_);
}

void TerminalView::Say(const std::string& text) {
  ClearBar();
  std::fprintf(out_, "%s\n", text.c_str());
  if (terminal_) DrawBar();
  std::fflush(out_);
}

Answer TerminalView::AskConfirm(const std::string&) {
  const Answer a = nextAnswer_;
  nextAnswer_ = Answer::No;
  return a;
}

void TerminalView::ShowMessage(const std::string& text) { Say(text); }

void TerminalView::Post(std::function<void()> work) {
  if (!wakeNotifier_) {
    QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(postMutex_);
    posted_.push_back(std::move(work));
  }
  // A full pipe already holds a wake-up, so a failed write loses nothing.
  const char c = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_[1], &c, 1);
}

void TerminalView::RunPosted() {
  char buffer[64];
  while (::read(wake_[0], buffer, sizeof buffer) > 0) {
  }
  // One at a time, in order: a piece of work may post more, or run the event loop.
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard<std::mutex> lock(postMutex_);
      if (posted_.empty()) return;
      work = std::move(posted_.front());
      posted_.pop_front();
    }
    work();
  }
}

void TerminalView::PostWindowMessage(std::uint32_t msg) {
  Post([this, msg] {
    if (msg == kWmClose) {
      QCoreApplication::quit();
    } else if (events_) {
      events_->WindowMessage(msg);
    }
  });
}

bool TerminalView::OnViewThread() const { return QThread::currentThread() == thread(); }

void TerminalView::ProcessEvents() { QCoreApplication::processEvents(); }

}  // namespace tessaly::cli
