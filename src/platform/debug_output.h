#pragma once
// The debugger output: one line per call. On Linux it is standard error; on Windows the
// system's debugger output.

#include <memory>
#include <mutex>
#include <string>

namespace tessaly {

class DebugOutput {
 public:
  virtual ~DebugOutput() = default;
  virtual void Write(const std::string& text) = 0;
};

// Controls in the text are shown as \xNN, never sent to the terminal.
class StderrDebugOutput final : public DebugOutput {
 public:
  void Write(const std::string& text) override;

 private:
  std::mutex mutex_;
};

// The window's debugger output.
std::unique_ptr<DebugOutput> CreateSystemDebugOutput();

// For a program whose log lines are on standard output already: nothing on Linux, where
// the debugger output would be standard error again; the debugger output on Windows.
std::unique_ptr<DebugOutput> CreateDebuggerOnlyOutput();

}  // namespace tessaly
