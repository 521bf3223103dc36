#include "support/fakes.h"

#include <algorithm>
#include <cctype>

namespace tessaly::testing {

std::optional<std::string> MemoryProfile::Read(const std::string& section, const std::string& key) {
  auto it = values.find({section, key});
  if (it == values.end()) return std::nullopt;
  return it->second;
}

bool MemoryProfile::Write(const std::string& section, const std::string& key, const std::string& value) {
  values[{section, key}] = value;
  ++writes;
  return true;
}

std::vector<DirEntry> ListedDirectory::List(const std::string& extension) {
  std::vector<DirEntry> out;
  for (const DirEntry& e : entries) {
    if (e.name.size() < extension.size()) continue;
    std::string tail = e.name.substr(e.name.size() - extension.size());
    std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return std::tolower(c); });
    if (tail == extension) out.push_back(e);
  }
  return out;
}

void RecordingDebugOutput::Write(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back(text);
}

std::vector<std::string> RecordingDebugOutput::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

}  // namespace tessaly::testing
