#include "cli/terminal_front_end.h"

#include <asio/post.hpp>

namespace tessaly::cli {

namespace {
constexpr const char* kBlue = "\033[34m";
constexpr const char* kRed = "\033[31m";
constexpr const char* kReset = "\033[0m";
constexpr int kBarWidth = 40;
}  // namespace

TerminalFrontEnd::TerminalFrontEnd(asio::io_context& io, std::FILE* out, bool terminal)
    : io_(io), out_(out), terminal_(terminal) {}

void TerminalFrontEnd::ClearBar() {
  if (!barShown_) return;
  std::fputs("\r\033[K", out_);
  barShown_ = false;
}

void TerminalFrontEnd::DrawBar() {
  if (shownProgress_ < 0) return;
  const int filled = shownProgress_ * kBarWidth / 100;
  std::fprintf(out_, "\r[%s%s] %d%%", std::string(static_cast<std::size_t>(filled), '#').c_str(),
               std::string(static_cast<std::size_t>(kBarWidth - filled), ' ').c_str(), shownProgress_);
  barShown_ = true;
  std::fflush(out_);
}

void TerminalFrontEnd::ProgressShown(int percent) {
  if (percent == shownProgress_) return;
  shownProgress_ = percent;
  if (terminal_) {
    DrawBar();
  } else {
    std::fprintf(out_, "progress: %d%%\n", percent);
    std::fflush(out_);
  }
}

void TerminalFrontEnd::LogLine(const std::string& text, LogLevel level) {
  if (muted_) return;
  const bool error = level == LogLevel::Error;
  ClearBar();
  if (terminal_) {
    std::fprintf(out_, "%s%s%s\n", error ? kRed : kBlue, text.c_str(), kReset);
    DrawBar();
  } else {
    std::fprintf(out_, "%s%s\n", error ? "error: " : "", text.c_str());
  }
  std::fflush(out_);
}

void TerminalFrontEnd::Say(const std::string& text) {
  ClearBar();
  std::fprintf(out_, "%s\n", text.c_str());
  if (terminal_) DrawBar();
  std::fflush(out_);
}

Answer TerminalFrontEnd::Confirm(const std::string&) {
  const Answer a = nextAnswer_;
  nextAnswer_ = Answer::No;
  return a;
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

}  // namespace tessaly::cli
