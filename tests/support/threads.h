#pragma once
// How many threads a process of this machine runs now (Linux: its /proc task folder).

#include <cstddef>
#include <filesystem>
#include <iterator>
#include <string>

namespace tessaly::testing {

inline std::size_t ThreadsOfProcess(const std::string& pid = "self") {
  const std::filesystem::path tasks = "/proc/" + pid + "/task";
  return static_cast<std::size_t>(
      std::distance(std::filesystem::directory_iterator(tasks), std::filesystem::directory_iterator()));
}

}  // namespace tessaly::testing
