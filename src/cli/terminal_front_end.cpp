#include "cli/terminal_front_end.h"

#include <asio/post.hpp>

#include <sstream>

#include "platform/escape_controls.h"

namespace tessaly::cli {

namespace {
constexpr const char* kBlue = "\033[34m";
constexpr const char* kRed = "\033[31m";
constexpr const char* kReset = "\033[0m";
constexpr int kBarWidth = 40;
}  // namespace

TerminalFrontEnd::TerminalFrontEnd(asio::io_context& io, std::FILE* out, bool terminal, JsonEvents* json)
    : io_(io), out_(out), terminal_(terminal), json_(json) {}

void TerminalFrontEnd::BeginUnit(int unit, std::string prefix) {
  ClearBar();
  unit_ = unit;
  prefix_ = EscapeControls(prefix);
  shownProgress_ = 0;
  muted_ = false;
  busy_ = false;
  outcome_.reset();
  mainResult_.reset();
  subResult_.reset();
}

void TerminalFrontEnd::ClearBar() {
  if (!barShown_) return;
  std::fputs("\r\033[K", out_);
  barShown_ = false;
}

void TerminalFrontEnd::DrawBar() {
  if (shownProgress_ < 0) return;
  const int filled = shownProgress_ * kBarWidth / 100;
  std::fprintf(out_, "\r%s[%s%s] %d%%", prefix_.c_str(), std::string(static_cast<std::size_t>(filled), '#').c_str(),
               std::string(static_cast<std::size_t>(kBarWidth - filled), ' ').c_str(), shownProgress_);
  barShown_ = true;
  std::fflush(out_);
}

void TerminalFrontEnd::ProgressShown(int percent) {
  if (percent == shownProgress_) return;
  shownProgress_ = percent;
  if (json_) json_->Progress(unit_, percent);
  if (terminal_) {
    DrawBar();
  } else {
    std::fprintf(out_, "%sprogress: %d%%\n", prefix_.c_str(), percent);
    std::fflush(out_);
  }
}

void TerminalFrontEnd::LogLine(const std::string& text, LogLevel level) {
  if (muted_) return;
  if (json_) json_->Log(unit_, text, level);  // JSON escapes on its own
  const bool error = level == LogLevel::Error;
  // File names and the projector's replies: shown, never obeyed, and never a line of their own.
  const std::string shown = EscapeControls(text);
  ClearBar();
  if (terminal_) {
    std::fprintf(out_, "%s%s%s%s\n", prefix_.c_str(), error ? kRed : kBlue, shown.c_str(), kReset);
    DrawBar();
  } else {
    std::fprintf(out_, "%s%s%s\n", prefix_.c_str(), error ? "error: " : "", shown.c_str());
  }
  std::fflush(out_);
}

void TerminalFrontEnd::Say(const std::string& text) {
  ClearBar();
  std::fprintf(out_, "%s%s\n", prefix_.c_str(), EscapeControls(text).c_str());
  if (terminal_) DrawBar();
  std::fflush(out_);
}

void TerminalFrontEnd::Ask(const std::string& question, const std::string& howToAnswer) {
  if (json_) json_->Question(unit_, question);
  std::istringstream lines(question);
  for (std::string line; std::getline(lines, line);) Say(line);
  Say(howToAnswer);
}

void TerminalFrontEnd::QuestionLapsed() {
  if (json_) json_->Answered(unit_, Answer::No, true);
}

void TerminalFrontEnd::SessionBegan() {
  busy_ = true;
  if (json_) json_->Session(unit_, true);
}

void TerminalFrontEnd::SessionEnded() {
  busy_ = false;
  if (json_) json_->Session(unit_, false);
}

void TerminalFrontEnd::StageResult(FirmwareStage stage, bool succeeded) {
  (stage == FirmwareStage::Main ? mainResult_ : subResult_) = succeeded;
  if (json_) json_->Stage(unit_, stage, succeeded);
}

void TerminalFrontEnd::QuestionAsked(Question which, const std::string& text) {
  if (onQuestion_) onQuestion_(which, text);
}

void TerminalFrontEnd::Answered(Answer a) {
  if (json_) json_->Answered(unit_, a, false);
}

void TerminalFrontEnd::UpdateEnded(UpdateOutcome outcome) {
  outcome_ = outcome;
  ClearBar();
  if (terminal_ && shownProgress_ >= 0) {
    DrawBar();
    std::fputs("\n", out_);
    barShown_ = false;
    std::fflush(out_);
  }
  io_.stop();
}

void TerminalFrontEnd::Post(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(postMutex_);
    posted_.push_back(std::move(work));
  }
  asio::post(io_, [this] { RunPosted(); });
}

void TerminalFrontEnd::RunPosted() {
  // One at a time, in order: a piece of work may post more.
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

void TerminalFrontEnd::Note(const std::string& text) {
  ClearBar();
  std::fflush(out_);
  std::fprintf(stderr, "%s%s\n", prefix_.c_str(), EscapeControls(text).c_str());
  std::fflush(stderr);
  if (terminal_) DrawBar();
}

}  // namespace tessaly::cli
