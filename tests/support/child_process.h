#pragma once
// Runs one of our programs as a child process with its standard output on a pipe, so a
// test reads its lines as they come, signals it and waits for its exit, all bounded.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace tessaly::testing {

class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
               const std::vector<std::string>& extraEnv = {}) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    // A variable given here replaces the parent's: getenv would find the parent's first.
    std::vector<std::string> env;
    const auto named = [](const std::string& e) { return e.substr(0, e.find('=') + 1); };
    for (char** e = environ; *e; ++e) {
      const std::string inherited = *e;
      const bool replaced = std::any_of(extraEnv.begin(), extraEnv.end(),
                                        [&](const std::string& x) { return named(x) == named(inherited); });
      if (!replaced) env.push_back(inherited);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    fd_ = out[0];
  }
  ~ChildProcess() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) ::close(fd_);
  }
  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Reads lines until one equals `line` (true) or the time is up or the output ends.
  bool WaitForLine(const std::string& line, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      for (; scanned_ < lines_.size(); ++scanned_) {
        if (lines_[scanned_] == line) {
          ++scanned_;
          return true;
        }
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return false;
    }
  }
  // Reads lines until each of `wanted` has come, in any order (true), or the time is up or
  // the output ends.
  bool WaitForEachLine(std::vector<std::string> wanted, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      for (; scanned_ < lines_.size() && !wanted.empty(); ++scanned_) {
        std::erase(wanted, lines_[scanned_]);
      }
      if (wanted.empty()) return true;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return false;
    }
  }
  // Waits for the exit, reading the rest of the output. The status, or nullopt on time-out.
  std::optional<int> WaitExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!eof_) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      ReadSome(static_cast<int>(left.count()));
    }
    for (;;) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
      }
      if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
      ::poll(nullptr, 0, 10);
    }
  }
  void Signal(int sig) { ::kill(pid_, sig); }
  const std::vector<std::string>& lines() const { return lines_; }
  std::string Output() const {
    std::string all;
    for (const std::string& l : lines_) all += l + "\n";
    return all + partial_;
  }

 private:
  bool ReadSome(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) {
      eof_ = true;
      return false;
    }
    partial_.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t nl; (nl = partial_.find('\n')) != std::string::npos;) {
      lines_.push_back(partial_.substr(0, nl));
      partial_.erase(0, nl + 1);
    }
    return true;
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  bool eof_ = false;
  std::optional<int> status_;
  std::vector<std::string> lines_;
  std::size_t scanned_ = 0;
  std::string partial_;
};

}  // namespace tessaly::testing
