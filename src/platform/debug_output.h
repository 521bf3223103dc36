#pragma once
// The debugger output: one line per call. On this platform it is standard error.

#include <mutex>
#include <string>
#include <vector>

namespace tessaly {

class DebugOutput {
 public:
  virtual ~DebugOutput() = default;
  virtual void Write(const std::string& text) = 0;
};

class StderrDebugOutput final : public DebugOutput {
 public:
  void Write(const std::string& text) override;

 private:
  std::mutex mutex_;
};

}  // namespace tessaly
