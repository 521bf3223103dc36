#include "platform/debug_output.h"

#include <cstdio>

namespace tessaly {

void StderrDebugOutput::Write(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string line = text;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace tessaly
