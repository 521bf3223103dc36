#include "platform/debug_output.h"

#include <cstdio>

#include "platform/escape_controls.h"

namespace tessaly {

void StderrDebugOutput::Write(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string line = EscapeControls(text);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

namespace {

class QuietDebugOutput final : public DebugOutput {
 public:
  void Write(const std::string&) override {}
};

}  // namespace

std::unique_ptr<DebugOutput> CreateSystemDebugOutput() { return std::make_unique<StderrDebugOutput>(); }

std::unique_ptr<DebugOutput> CreateDebuggerOnlyOutput() { return std::make_unique<QuietDebugOutput>(); }

}  // namespace tessaly
