#include "session/message_log.h"

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

void MessageLog::Write(LogLevel level, const std::string& text) {
  debug_.Write(text);
  {
    std::lock_guard<std::mutex> lock(sinkMutex_);
    if (sink_) sink_(level, text);
  }
  ui_.Run([text, level](UpdateEvents& events) { events.LogLine(text, level); });
}

}  // namespace tessaly
