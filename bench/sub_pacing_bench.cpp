// Sub firmware pacing: streams a Sub image of 8 whole blocks and a short block from the
// real command-line updater to the simulator and prints the wall time against the paced
// minimum and the updater's CPU time. A benchmark, not a test: run it by hand.
//
//   tessaly-sub-pacing-bench [--runs N]
//
// The control port is the fixed 20554 on 127.0.0.1: nothing else may hold it meanwhile.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWholeBlocks = 8;
constexpr int kShortBlock = 1000;
// 10 ms after the headers, 24 packets with 62 ms after each, 30 ms before the first look
// for the acknowledgement, 10 ms after the continue record.
constexpr double kPacedBlockMs = 10 + 24 * 62 + 30 + 10;
// The short block: headers, one full packet with its wait, the last packet, the first look.
constexpr double kPacedShortMs = 10 + (kShortBlock / 682) * 62 + 30;

struct Child {
  pid_t pid = -1;
  int out = -1;
};

Child Spawn(std::vector<std::string> args, const std::string& cwd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Child c;
  if (::posix_spawn(&c.pid, args[0].c_str(), &actions, nullptr, argv.data(), environ) != 0) c.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  c.out = fds[0];
  return c;
}

// Reads lines until `wanted` appears or `timeoutMs` passes; the time it appeared.
bool WaitLine(int fd, std::string& pending, const std::string& wanted, int timeoutMs, Clock::time_point* at,
              std::vector<std::pair<Clock::time_point, std::string>>* seen = nullptr) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      if (seen) seen->emplace_back(Clock::now(), line);
      if (line.find(wanted) != std::string::npos) {
        if (at) *at = Clock::now();
        return true;
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    pending.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  if (argc == 3 && std::string(argv[1]) == "--runs") runs = std::max(1, std::atoi(argv[2]));
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("tessaly-pacing-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::vector<unsigned char> image(32 + kWholeBlocks * 16368 + kShortBlock);
  image[9] = 0x0A;
  for (std::size_t i = 32; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 7);
  std::ofstream(dir / "bench.brec2", std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));

  std::printf("Sub stream of %d whole blocks and %d bytes; paced minimum %.0f ms\n", kWholeBlocks, kShortBlock,
              kWholeBlocks * kPacedBlockMs + kPacedShortMs);
  std::printf("run  stream ms  over paced  updater CPU s  CPU of one core\n");
  int failures = 0;
  for (int run = 1; run <= runs; ++run) {
    Child sim = Spawn({TESSALY_PJSIM_PATH, "--listen", "127.0.0.1", "--port", "20554", "--burn-ms", "200",
                       "--sub-image", (dir / "bench.brec2").string()},
                      dir.string());
    std::string simOut;
    if (sim.pid < 0 || !WaitLine(sim.out, simOut, "listening", 5000, nullptr)) {
      std::fprintf(stderr, "the simulator did not start (is port 20554 free?)\n");
      return 2;
    }
    Child cli = Spawn({TESSALY_UPDATE_PATH, "--projector", "127.0.0.1", "--sub", "bench.brec2"}, dir.string());
    std::string out;
    Clock::time_point started{}, burning{};
    const bool ok = WaitLine(cli.out, out, "Startup Sub firmware update process...", 10000, &started) &&
                    WaitLine(cli.out, out, "Burning...... Please waiting.....", 60000, &burning);
    const auto streamStart = started;
    std::vector<std::pair<Clock::time_point, std::string>> rest;
    WaitLine(cli.out, out, "\x01never", 20000, nullptr, &rest);  // the rest, up to the exit
    int status = 0;
    rusage usage{};
    ::wait4(cli.pid, &status, 0, &usage);
    ::kill(sim.pid, SIGTERM);
    ::waitpid(sim.pid, nullptr, 0);
    ::close(cli.out);
    ::close(sim.out);
    if (!ok || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "run %d: the update did not succeed (exit %d)\n", run,
                   WIFEXITED(status) ? WEXITSTATUS(status) : -1);
      ++failures;
      continue;
    }
    const double streamMs = std::chrono::duration<double, std::milli>(burning - streamStart).count();
    const double paced = kWholeBlocks * kPacedBlockMs + kPacedShortMs;
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("%3d  %9.0f  %+9.2f%%  %13.3f  %14.2f%%\n", run, streamMs, (streamMs / paced - 1) * 100, cpu,
                cpu * 1000 / streamMs * 100);
  }
  std::filesystem::remove_all(dir);
  std::printf(
      "goals: within 3%% of the paced minimum; under 2%% of one core (the CPU column counts the\n"
      "updater's whole run, start-up included, against the stream's time)\n");
  return failures ? 1 : 0;
}
