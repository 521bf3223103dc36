#pragma once
// The message log: blue information lines, red error lines, each also on the
// debugger output. Safe to call from any thread; lines keep the order of the calls.

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
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
  // Lines queued for the front end and not yet shown, at most: beyond it a line goes only
  // to the debugger output and the saved log, and the front end is told how many it missed.
  static constexpr std::uint32_t kMaxQueuedLines = 4096;

  MessageLog(UiQueue& ui, DebugOutput& debug);

  void LogInfo(const char* format, ...) TESSALY_PRINTF(2, 3);
  void LogError(const char* format, ...) TESSALY_PRINTF(2, 3);
  void Write(LogLevel level, const std::string& text);
  // A line for the record, not for the front end's log: the aside output and the saved
  // log. For what other hosts did, which changed nothing.
  void Aside(LogLevel level, const std::string& text);
  // Where aside lines go besides the saved log; the debugger output unless set. Set
  // before the first update.
  void SetAsideOutput(DebugOutput& output) { aside_ = &output; }

  // Also hands every line to `sink` as it is written, on the writing thread, one line at
  // a time: the saved log. Set before the first update.
  void SetSink(std::function<void(LogLevel, const std::string&)> sink);

 private:
  struct Backlog;
  void Save(LogLevel level, const std::string& text);

  UiQueue& ui_;
  DebugOutput& debug_;
  DebugOutput* aside_;
  std::shared_ptr<Backlog> backlog_;
  std::mutex sinkMutex_;
  std::function<void(LogLevel, const std::string&)> sink_;
};

}  // namespace tessaly
