#include "support/manual_loop.h"

namespace tessaly::testing {

class ManualTimer final : public LoopTimer {
 public:
  explicit ManualTimer(ManualLoop& loop) : loop_(loop), alive_(loop.alive_) {}
  ~ManualTimer() override { Cancel(); }

  void Start(std::uint64_t us, std::function<void()> fired) override {
    Cancel();
    if (loop_.stopped_) return;
    id_ = loop_.nextId_++;
    due_ = loop_.nowUs_ + us;
    loop_.timers_.emplace(due_, ManualLoop::Entry{id_, std::move(fired)});
  }
  void Cancel() override {
    if (id_ == 0 || alive_.expired()) return;
    auto [first, last] = loop_.timers_.equal_range(due_);
    for (auto it = first; it != last; ++it) {
      if (it->second.id == id_) {
        loop_.timers_.erase(it);
        break;
      }
    }
    id_ = 0;
  }
  bool Pending() const override {
    if (id_ == 0 || alive_.expired()) return false;
    auto [first, last] = loop_.timers_.equal_range(due_);
    for (auto it = first; it != last; ++it) {
      if (it->second.id == id_) return true;
    }
    return false;
  }

 private:
  ManualLoop& loop_;
  std::weak_ptr<char> alive_;
  std::uint64_t id_ = 0;
  std::uint64_t due_ = 0;
};

ManualLoop::ManualLoop() : owner_(std::this_thread::get_id()) {}

ManualLoop::~ManualLoop() { Stop(); }

void ManualLoop::Post(std::function<void()> work) {
  std::lock_guard<std::mutex> lock(postedMutex_);
  if (!stopped_) posted_.push_back(std::move(work));
}

std::unique_ptr<LoopTimer> ManualLoop::CreateTimer() { return std::make_unique<ManualTimer>(*this); }

void ManualLoop::Stop() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard<std::mutex> lock(postedMutex_);
    stopped_ = true;
    dropped.swap(posted_);
  }
  timers_.clear();
}

bool ManualLoop::HasWork() const {
  std::lock_guard<std::mutex> lock(postedMutex_);
  return !posted_.empty() || !timers_.empty();
}

bool ManualLoop::RunOneDue() {
  std::function<void()> work;
  {
    std::lock_guard<std::mutex> lock(postedMutex_);
    if (!posted_.empty()) {
      work = std::move(posted_.front());
      posted_.pop_front();
    }
  }
  if (!work && !timers_.empty() && timers_.begin()->first <= nowUs_) {
    work = std::move(timers_.begin()->second.fired);
    timers_.erase(timers_.begin());
  }
  if (!work) return false;
  work();
  return true;
}

int ManualLoop::RunReady() {
  int ran = 0;
  while (RunOneDue()) ++ran;
  return ran;
}

void ManualLoop::Advance(std::uint64_t us) {
  const std::uint64_t end = nowUs_ + us;
  RunReady();
  while (!timers_.empty() && timers_.begin()->first <= end) {
    nowUs_ = std::max(nowUs_, timers_.begin()->first);
    RunReady();
  }
  nowUs_ = end;
  RunReady();
}

bool ManualLoop::RunUntil(const std::function<bool()>& done, std::uint64_t limitUs, int maxHandlers) {
  const std::uint64_t end = nowUs_ + limitUs;
  for (int ran = 0; ran < maxHandlers; ++ran) {
    if (done()) return true;
    if (RunOneDue()) continue;
    if (timers_.empty() || timers_.begin()->first > end) return done();
    nowUs_ = std::max(nowUs_, timers_.begin()->first);
  }
  return done();
}

}  // namespace tessaly::testing
