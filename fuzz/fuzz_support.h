#pragma once
// What the harnesses share: a reader over the fuzz input, the invariant check, a
// session with no view, and temporary files that live as long as the process.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/debug_output.h"
#include "platform/tcp_client.h"
#include "session/message_log.h"
#include "session/settings.h"
#include "session/ui_queue.h"
#include "session/update_session.h"
#include "session/update_state.h"

// A broken invariant is a finding like any crash: say which, then stop hard so that
// libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                                 \
  do {                                                                                   \
    if (!(cond)) {                                                                       \
      std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::fflush(stderr);                                                               \
      __builtin_trap();                                                                  \
    }                                                                                    \
  } while (0)

namespace tessaly::fuzz {

using Bytes = std::vector<std::uint8_t>;

// Reads the input front to back, so that seeds can be written by hand. Past the end
// every read gives zeros or nothing.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Empty() const { return at_ >= size_; }
  std::size_t Left() const { return size_ - at_; }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint16_t U16() {  // high byte first
    const std::uint16_t high = Byte();
    return static_cast<std::uint16_t>(high << 8 | Byte());
  }
  std::uint32_t U32() {
    const std::uint32_t high = U16();
    return high << 16 | U16();
  }
  Bytes Take(std::size_t n) {
    if (n > Left()) n = Left();
    Bytes out(data_ + at_, data_ + at_ + n);
    at_ += n;
    return out;
  }
  Bytes Rest() { return Take(Left()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

class NullDebugOutput final : public DebugOutput {
 public:
  void Write(const std::string&) override {}
};

// UpdateSession and what it refers to, with no view attached: log lines and control
// updates go nowhere, so nothing piles up over millions of runs.
struct QuietSession {
  explicit QuietSession(const UpdaterSettings& s) : settings(s), log(ui, debug), session(state, ui, log, settings) {}
  UpdaterSettings settings;
  UpdateState state;
  UiQueue ui;  // not attached: lines and events go nowhere
  NullDebugOutput debug;
  MessageLog log;
  UpdateSession session;
};

// A file in the temporary folder named after this process; removed at exit. Its
// name is fixed, so a harness rewrites the same file on every run.
class ProcessFile {
 public:
  explicit ProcessFile(const std::string& tag)
      : path_((std::filesystem::temp_directory_path() / ("tessaly-fuzz-" + std::to_string(::getpid()) + "-" + tag))
                  .string()) {}
  ~ProcessFile() {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  ProcessFile(const ProcessFile&) = delete;
  ProcessFile& operator=(const ProcessFile&) = delete;

  const std::string& path() const { return path_; }
  void Write(const std::uint8_t* data, std::size_t size) const {
    std::ofstream f(path_, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    f.close();
    FUZZ_CHECK(f.good());
  }
  void Write(const Bytes& b) const { Write(b.data(), b.size()); }

 private:
  std::string path_;
};

// The same bytes as the tests' images: every byte differs from its neighbours.
inline Bytes Pattern(std::size_t n, std::uint32_t seed) {
  Bytes b(n);
  std::uint32_t x = seed;
  for (auto& v : b) {
    x = x * 1664525u + 1013904223u;
    v = static_cast<std::uint8_t>(x >> 24);
  }
  return b;
}

// A connection that is always open and goes nowhere: the harnesses script what it sends
// and what reads give.
class ScriptedConnectionBase : public TcpClient {
 public:
  void SetEvents(TcpClientEvents*) override {}
  void SetPort(std::uint16_t) override {}
  void SetAddress(const std::string&) override {}
  bool Open() override { return true; }
  void Close() override {}
  bool Active() const override { return true; }
  std::string LocalAddress() const override { return "127.0.0.1"; }
  int SendText(const std::string& text) override { return SendBuf(text.data(), static_cast<int>(text.size())); }
};

}  // namespace tessaly::fuzz
