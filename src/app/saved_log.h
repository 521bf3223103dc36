#pragma once
// The saved log: every update, from its acceptance to its end, leaves a file with its
// lines (each stamped with the time and its level), the program's version, the firmware
// files with their sizes and SHA-256 digests, the projector's address and model, and the
// outcome. The newest ones are kept. A log that cannot be written is said once on
// standard error and changes nothing else: files are written on a thread of their own.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/debug_output.h"
#include "session/update_events.h"

namespace tessaly {

// Linux: $XDG_STATE_HOME/tessaly/logs (by default ~/.local/state/tessaly/logs);
// Windows: %LOCALAPPDATA%\Tessaly\logs.
std::string DefaultSavedLogFolder();

// The thread that writes the files of any number of saved logs, in the order their work
// came: the units of a fleet share one.
class SavedLogWriter {
 public:
  SavedLogWriter();
  // Runs what is queued, then ends the thread.
  ~SavedLogWriter();
  SavedLogWriter(const SavedLogWriter&) = delete;
  SavedLogWriter& operator=(const SavedLogWriter&) = delete;
  void Run(std::function<void()> work);

 private:
  void Loop();
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> work_;
  bool stop_ = false;
  std::thread thread_;
};

struct SavedLogOptions {
  std::string folder = DefaultSavedLogFolder();
  std::size_t keep = 100;  // the newest logs of ours kept in the folder; older ones go
  // The clock the names and stamps are read from; empty: the system's. Tests fix it to
  // know a log's name before it is created.
  std::function<std::chrono::system_clock::time_point()> clock;
  // Where a log that cannot be written is said; none: standard error. It must outlive
  // the log, and may be written from the log's own thread.
  DebugOutput* warnings = nullptr;
  // The thread that writes the files; none: one of the log's own.
  std::shared_ptr<SavedLogWriter> writer;
};

// What the head of one update's log names.
struct SavedLogStart {
  std::string projectorAddress;
  // ("Main firmware", path) and ("Sub firmware", path), as the update named them.
  std::vector<std::pair<std::string, std::string>> files;
};

// Whether `name` is one of our log files: "update-YYYYMMDD-HHMMSS-mmm-ADDRESS.log". Only
// these are ever deleted.
bool IsSavedLogName(const std::string& name);

class SavedLog {
 public:
  using Clock = std::chrono::system_clock;

  explicit SavedLog(SavedLogOptions options);
  // Writes what is queued first.
  ~SavedLog();
  SavedLog(const SavedLog&) = delete;
  SavedLog& operator=(const SavedLog&) = delete;

  // The front end's thread: an update was accepted. Names and creates its file; the
  // lines held since the front end's last turn come first. An update still open ends
  // as cut short.
  void Begin(const SavedLogStart& start);
  // Any thread: a line as it is written. Without an open log a line of the front end's
  // thread (`mayHold`) is held for the next Begin: the update's own lines may come just
  // before it accepts. True when this is the first line held: the caller then arranges
  // ForgetHeld on the front end's next turn.
  bool Line(LogLevel level, const std::string& text, bool mayHold);
  void ForgetHeld();
  // Any thread: the projector's model kind as the control exchange learned it.
  void Model(std::uint8_t kind);
  // The front end's thread: the update ended with `outcome`. Nothing without an open log.
  void End(const std::string& outcome);
  bool IsOpen() const;
  // The file of the latest update; empty when it could not be created or none began.
  std::string LastPath() const;
  // Waits until everything queued so far is in the files.
  void Flush();

 private:
  struct Stamped {
    Clock::time_point time;
    LogLevel level = LogLevel::Info;
    std::string text;
  };
  // The writing thread's work, in order.
  struct Job {
    enum Kind { Head, Line, Tail };
    explicit Job(Kind k) : kind(k) {}
    Kind kind;
    std::FILE* file = nullptr;  // Head: the new file
    std::string path;
    SavedLogStart start;
    Stamped line;
    std::string model, outcome;
  };
  Clock::time_point Now() const { return options_.clock ? options_.clock() : Clock::now(); }
  // Has the writer drain the queue unless it is about to; under the lock.
  void Wake();
  void Drain();
  void Write(const Job& job);
  void Put(const std::string& text);  // the writing thread's file
  void Prune();

  SavedLogOptions options_;
  StderrDebugOutput stderr_;
  DebugOutput& warnings_;

  mutable std::mutex mutex_;
  std::condition_variable idle_;
  std::deque<Job> jobs_;
  bool writing_ = false;  // a job is being written
  bool draining_ = false;  // the writer has our Drain queued or running
  bool open_ = false;
  std::vector<Stamped> held_;
  std::uint8_t model_ = 0xFF;  // not learned in this update
  std::string lastPath_;

  // The writing thread's own.
  std::FILE* file_ = nullptr;
  std::string filePath_;

  std::shared_ptr<SavedLogWriter> writer_;
};

}  // namespace tessaly
