#pragma once
// A folder of the test's own, removed afterwards, with helpers to write image files.

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tessaly::testing {

// Bytes that differ from one place to the next, so a misplaced byte cannot go unseen.
inline std::vector<std::uint8_t> Pattern(std::size_t n, unsigned seed = 1) {
  std::vector<std::uint8_t> b(n);
  std::uint32_t x = seed;
  for (auto& v : b) {
    x = x * 1664525u + 1013904223u;
    v = static_cast<std::uint8_t>(x >> 24);
  }
  return b;
}

class TempDir {
 public:
  TempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("tessaly-") + std::to_string(::getpid()) + "-" +
                       (info ? std::string(info->test_suite_name()) + "-" + info->name() : "x");
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    path_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    const std::string p = File(name);
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return p;
  }
  // A Sub image: 32-byte header with the model code at byte 9, then the payload.
  std::string WriteSubImage(const std::string& name, std::uint8_t model,
                            const std::vector<std::uint8_t>& payload) const {
    std::vector<std::uint8_t> bytes(32 + payload.size(), 0);
    bytes[9] = model;
    std::copy(payload.begin(), payload.end(), bytes.begin() + 32);
    return Write(name, bytes);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace tessaly::testing
