#include <windows.h>

#include <cstdio>

#include "platform/debug_output.h"
#include "platform/escape_controls.h"

namespace tessaly {

void StderrDebugOutput::Write(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::fprintf(stderr, "%s\n", EscapeControls(text).c_str());
  std::fflush(stderr);
}

namespace {

// The system's debugger output: a debugger or a viewer shows each call as one line.
class SystemDebugOutput final : public DebugOutput {
 public:
  void Write(const std::string& text) override { ::OutputDebugStringA(text.c_str()); }
};

}  // namespace

std::unique_ptr<DebugOutput> CreateSystemDebugOutput() { return std::make_unique<SystemDebugOutput>(); }

// The command line's lines are on standard output already; the debugger sees them too, as
// it sees the window's.
std::unique_ptr<DebugOutput> CreateDebuggerOnlyOutput() { return std::make_unique<SystemDebugOutput>(); }

}  // namespace tessaly
