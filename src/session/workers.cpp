#include "session/workers.h"

namespace tessaly {

void Workers::Start(std::function<void()> body, std::function<void()> finished) {
  ReapFinished();
  auto worker = std::make_unique<Worker>();
  Worker* w = worker.get();
  std::lock_guard<std::mutex> lock(mutex_);
  workers_.push_back(std::move(worker));
  w->thread = std::thread([w, body = std::move(body), finished = std::move(finished)] {
    body();
    w->done.store(true);
    if (finished) finished();
  });
}

void Workers::ReapFinished() {
  std::list<std::unique_ptr<Worker>> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      if ((*it)->done.load()) {
        finished.push_back(std::move(*it));
        it = workers_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& w : finished) w->thread.join();
}

void Workers::JoinAll() {
  std::list<std::unique_ptr<Worker>> all;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    all.swap(workers_);
  }
  for (auto& w : all) {
    if (w->thread.joinable()) w->thread.join();
  }
}

int Workers::Running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const auto& w : workers_) n += w->done.load() ? 0 : 1;
  return n;
}

}  // namespace tessaly
