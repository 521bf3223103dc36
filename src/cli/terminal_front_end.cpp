#include "cli/terminal_front_end.h"

#include <asio/post.hpp>

#include <chrono>
#include <sstream>

#include "platform/escape_controls.h"

namespace tessaly::cli {

namespace {
constexpr const char* kBlue = "\033[34m";
constexpr const char* kRed = "\033[31m";
constexpr const char* kReset = "\033[0m";
constexpr int kBarWidth = 40;

std::uint64_t SteadyMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

UnitStage StageOf(UpdateStep step) {
  switch (step) {
    case UpdateStep::Main: return UnitStage::Main;
    case UpdateStep::Restarting: return UnitStage::Restarting;
    case UpdateStep::Sub: return UnitStage::Sub;
    case UpdateStep::Burning: return UnitStage::Burning;
  }
  return UnitStage::Waiting;
}
}  // namespace

TerminalFrontEnd::TerminalFrontEnd(asio::io_context& io, std::FILE* out, bool terminal, JsonEvents* json,
                                   std::FILE* err)
    : io_(io), out_(out), terminal_(terminal), json_(json), err_(err) {}

TerminalFrontEnd::~TerminalFrontEnd() = default;

void TerminalFrontEnd::ShowBoard(std::vector<std::string> addresses) {
  ClearBar();
  for (std::string& a : addresses) a = EscapeControls(a);
  board_ = std::make_unique<LiveView>(out_, err_, std::move(addresses), SteadyMs);
  tick_ = std::make_unique<asio::steady_timer>(io_);
  Tick();
}

void TerminalFrontEnd::Tick() {
  tick_->expires_after(std::chrono::milliseconds(250));
  tick_->async_wait([this](const asio::error_code& error) {
    if (error || !board_) return;
    board_->Tick();
    Tick();
  });
}

void TerminalFrontEnd::EndBoard() {
  if (!board_) return;
  tick_->cancel();
  board_->Finish();
  board_.reset();
}

void TerminalFrontEnd::ClearBar() {
  if (!barShown_) return;
  std::fputs("\r\033[K", out_);
  barShown_ = false;
}

void TerminalFrontEnd::DrawBar() {
  if (barPercent_ < 0) return;
  const int filled = barPercent_ * kBarWidth / 100;
  std::fprintf(out_, "\r%s[%s%s] %d%%", barPrefix_.c_str(), std::string(static_cast<std::size_t>(filled), '#').c_str(),
               std::string(static_cast<std::size_t>(kBarWidth - filled), ' ').c_str(), barPercent_);
  barShown_ = true;
  std::fflush(out_);
}

void TerminalFrontEnd::BarOver() {
  if (!barShown_) return;
  // The last value stays on its own line; the next line starts below it.
  std::fputs("\n", out_);
  barShown_ = false;
  barPercent_ = -1;
  std::fflush(out_);
}

// Every whole line goes through here: above the board, or with the bar taken away and
// drawn again below it, so that no line lands inside either.
void TerminalFrontEnd::Write(std::FILE* stream, const std::string& line) {
  if (board_) {
    board_->Above(stream, line);
    return;
  }
  const bool bar = barShown_;
  ClearBar();
  std::fflush(out_);
  std::fprintf(stream, "%s\n", line.c_str());
  std::fflush(stream);
  if (bar) DrawBar();
}

void TerminalFrontEnd::Line(const std::string& prefix, const std::string& text, LogLevel level) {
  const bool error = level == LogLevel::Error;
  // File names and the projector's replies: shown, never obeyed, and never a line of their own.
  const std::string shown = EscapeControls(text);
  if (terminal_) {
    Write(out_, prefix + (error ? kRed : kBlue) + shown + kReset);
  } else {
    Write(out_, prefix + (error ? "error: " : "") + shown);
  }
}

void TerminalFrontEnd::Progress(int unit, const std::string& prefix, int percent) {
  if (board_) {
    board_->SetProgress(static_cast<std::size_t>(unit - 1), percent);
  } else if (terminal_) {
    barPrefix_ = prefix;
    barPercent_ = percent;
    DrawBar();
  } else {
    Write(out_, prefix + "progress: " + std::to_string(percent) + "%");
  }
}

void TerminalFrontEnd::Stage(int unit, UnitStage stage) {
  if (board_ && unit > 0) board_->SetStage(static_cast<std::size_t>(unit - 1), stage);
}

void TerminalFrontEnd::Say(const std::string& prefix, const std::string& text) {
  Write(out_, prefix + EscapeControls(text));
}

void TerminalFrontEnd::Note(const std::string& prefix, const std::string& text) {
  Write(err_, prefix + EscapeControls(text));
}

void TerminalFrontEnd::Ask(int unit, const std::string& question, const std::string& howToAnswer) {
  if (json_) json_->Question(unit, question);
  std::istringstream lines(question);
  for (std::string line; std::getline(lines, line);) Say("", line);
  Say("", howToAnswer);
}

void TerminalFrontEnd::QuestionLapsed(int unit) {
  if (json_) json_->Answered(unit, Answer::No, true);
}

void TerminalFrontEnd::Answered(int unit, Answer a) {
  if (json_) json_->Answered(unit, a, false);
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

UnitFrontEnd::UnitFrontEnd(TerminalFrontEnd& front, int unit, std::string prefix, Hooks hooks)
    : front_(front), unit_(unit), prefix_(EscapeControls(prefix)), hooks_(std::move(hooks)) {}

void UnitFrontEnd::LogLine(const std::string& text, LogLevel level) {
  if (front_.json()) front_.json()->Log(unit_, text, level);  // JSON escapes on its own
  front_.Line(prefix_, text, level);
}

void UnitFrontEnd::ProgressShown(int percent) {
  if (percent == shownProgress_) return;
  shownProgress_ = percent;
  if (front_.json()) front_.json()->Progress(unit_, percent);
  front_.Progress(unit_, prefix_, percent);
}

void UnitFrontEnd::SessionBegan() {
  busy_ = true;
  if (front_.json()) front_.json()->Session(unit_, true);
}

void UnitFrontEnd::SessionEnded() {
  busy_ = false;
  if (front_.json()) front_.json()->Session(unit_, false);
}

void UnitFrontEnd::StageResult(FirmwareStage stage, bool succeeded) {
  (stage == FirmwareStage::Main ? mainResult_ : subResult_) = succeeded;
  if (front_.json()) front_.json()->Stage(unit_, stage, succeeded);
}

void UnitFrontEnd::QuestionAsked(Question, const std::string& text) {
  if (hooks_.question) hooks_.question(unit_, text);
}

void UnitFrontEnd::StepBegan(UpdateStep step) {
  front_.Stage(unit_, StageOf(step));
  if (hooks_.step) hooks_.step(unit_, step);
}

void UnitFrontEnd::UpdateEnded(UpdateOutcome outcome) {
  outcome_ = outcome;
  front_.Stage(unit_, outcome == UpdateOutcome::Succeeded ? UnitStage::Done : UnitStage::Failed);
  front_.BarOver();
  if (hooks_.ended) hooks_.ended(unit_);
}

}  // namespace tessaly::cli
