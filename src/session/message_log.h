#pragma once
// The message log: blue information lines, red error lines, each also on the
// debugger output. Safe to call from any thread; lines keep the order of the calls.

#include <cstdarg>
#include <functional>
#include <mutex>
#include <string>

#include "platform/debug_output.h"
#include "session/ui_queue.h"

namespace tessaly {

#if defined(__GNUC__)
#define TESSALY_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define TESSALY_PRINTF(fmt, args)
#endif

// printf rules, no length limit.
std::string FormatV(const char* format, va_list args);
std::string Format(const char* format, ...) TESSALY_PRINTF(1, 2);

class MessageLog {
 public:
  MessageLog(UiQueue& ui, DebugOutput& debug) : ui_(ui), debug_(debug) {}

  void LogInfo(const char* format, ...) TESSALY_PRINTF(2, 3);
  void LogError(const char* format, ...) TESSALY_PRINTF(2, 3);
  void Write(LogLevel level, const std::string& text);

  // Also hands every line to `sink` as it is written, on the writing thread, one line at
  // a time: the saved log. Set before the first update.
  void SetSink(std::function<void(LogLevel, const std::string&)> sink);

 private:
  UiQueue& ui_;
  DebugOutput& debug_;
  std::mutex sinkMutex_;
  std::function<void(LogLevel, const std::string&)> sink_;
};

}  // namespace tessaly
