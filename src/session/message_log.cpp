#include "session/message_log.h"

#include <atomic>
#include <cstdio>
#include <vector>

namespace tessaly {

std::string FormatV(const char* format, va_list args) {
  if (!format) return {};
  va_list probe;
  va_copy(probe, args);
  int needed = std::vsnprintf(nullptr, 0, format, probe);
  va_end(probe);
  if (needed <= 0) return {};
  std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
  std::vsnprintf(buffer.data(), buffer.size(), format, args);
  return std::string(buffer.data(), static_cast<std::size_t>(needed));
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string s = FormatV(format, args);
  va_end(args);
  return s;
}

struct MessageLog::Backlog {
  std::atomic<std::uint32_t> queued{0};
  std::atomic<std::uint32_t> missed{0};
};

namespace {

std::string MissedLine(std::uint32_t missed) {
  return Format("%u lines came faster than they could be shown; the saved log has them", static_cast<unsigned>(missed));
}

}  // namespace

MessageLog::MessageLog(UiQueue& ui, DebugOutput& debug)
    : ui_(ui), debug_(debug), aside_(&debug), backlog_(std::make_shared<Backlog>()) {}

void MessageLog::LogInfo(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  Write(LogLevel::Info, text);
}

void MessageLog::LogError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  Write(LogLevel::Error, text);
}

void MessageLog::SetSink(std::function<void(LogLevel, const std::string&)> sink) {
  std::lock_guard<std::mutex> lock(sinkMutex_);
  sink_ = std::move(sink);
}

void MessageLog::Save(LogLevel level, const std::string& text) {
  std::lock_guard<std::mutex> lock(sinkMutex_);
  if (sink_) sink_(level, text);
}

void MessageLog::Write(LogLevel level, const std::string& text) {
  debug_.Write(text);
  Save(level, text);
  if (backlog_->queued.fetch_add(1) >= kMaxQueuedLines) {
    backlog_->queued.fetch_sub(1);
    backlog_->missed.fetch_add(1);
    return;
  }
  // Run or dropped with the queue, the line leaves the count.
  struct Queued {
    explicit Queued(std::shared_ptr<Backlog> b) : backlog(std::move(b)) {}
    ~Queued() { backlog->queued.fetch_sub(1); }
    std::shared_ptr<Backlog> backlog;
  };
  auto queued = std::make_shared<Queued>(backlog_);
  // Said where they were missed: before the next line that is shown, or after the last.
  const std::uint32_t missedBefore = backlog_->missed.exchange(0);
  ui_.Run([text, level, queued, missedBefore](UpdateEvents& events) {
    if (missedBefore) events.LogLine(MissedLine(missedBefore), LogLevel::Error);
    events.LogLine(text, level);
    if (queued->backlog->queued.load() == 1) {
      if (const std::uint32_t missed = queued->backlog->missed.exchange(0)) {
        events.LogLine(MissedLine(missed), LogLevel::Error);
      }
    }
  });
}

void MessageLog::Aside(LogLevel level, const std::string& text) {
  aside_->Write(text);
  Save(level, text);
}

}  // namespace tessaly
