#pragma once
// The update's worker threads. During an update nobody waits for them; at program exit
// they are stopped and joined before the window and the shared texts go away.

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace tessaly {

class Workers {
 public:
  Workers() = default;
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;
  ~Workers() { JoinAll(); }

  // Starts `body` on a new thread at once; `finished`, when given, runs on that thread
  // after the thread no longer counts as running.
  void Start(std::function<void()> body, std::function<void()> finished = nullptr);
  // Joins every thread; the caller has raised the stop request first.
  void JoinAll();
  // Threads started and not yet finished.
  int Running() const;

 private:
  struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void ReapFinished();

  mutable std::mutex mutex_;
  std::list<std::unique_ptr<Worker>> workers_;
};

}  // namespace tessaly
