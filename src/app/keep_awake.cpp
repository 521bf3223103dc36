#include "app/keep_awake.h"

#include <future>
#include <utility>

namespace tessaly {

KeepAwake::KeepAwake(UpdateLoop& loop, std::unique_ptr<SleepInhibitor> inhibitor,
                     std::function<void(const std::string&)> warn)
    : loop_(loop), inhibitor_(std::move(inhibitor)), warn_(std::move(warn)) {
  // A change posted to the loop may run after this object is gone: it is told to no one.
  writing_.SetOnChange([&loop, this, alive = std::weak_ptr<char>(alive_)] {
    if (alive.expired()) return;
    loop.Post([this] { Follow(); });
  });
}

KeepAwake::~KeepAwake() {
  stop_.store(true);
  alive_.reset();
  // The loop no longer runs (or this is its thread): its work may be done here.
  if (!stopped_) ReleaseNow();
}

void KeepAwake::UpdateOver() {
  overAt_.store(writing_.changes());
  loop_.Post([this] { Follow(); });
}

void KeepAwake::Stop() {
  if (stop_.exchange(true)) return;
  if (loop_.OnQueueThread()) {
    ReleaseNow();
    return;
  }
  std::promise<void> released;
  std::future<void> done = released.get_future();
  loop_.Post([this, &released] {
    ReleaseNow();
    released.set_value();
  });
  done.wait();
}

// Runs on the loop after every change of the flag and of what else it looks at.
void KeepAwake::Follow() {
  if (stopped_) return;
  // The count first: a change after it posts another look.
  const std::uint64_t seen = writing_.changes();
  const bool over = overAt_.load() == seen;
  const bool want = !stop_.load() && !over && writing_.load() != 0;
  if (want && hold_ == Hold::Released && failedAt_ != seen) {
    askedAt_ = seen;
    if (!inhibitor_) {
      Taken(false, "");
      return;
    }
    hold_ = Hold::Asked;
    inhibitor_->Take([this](bool held, const std::string& why) { Taken(held, why); });
  } else if (!want && hold_ != Hold::Released) {
    inhibitor_->Release();  // a Take still asked for is dropped
    hold_ = Hold::Released;
  }
}

void KeepAwake::Taken(bool held, const std::string& why) {
  if (held) {
    hold_ = Hold::Held;
  } else {
    hold_ = Hold::Released;
    failedAt_ = askedAt_;
    if (!warned_ && warn_) {
      warn_("The PC may go to sleep while firmware is written: " + why);
      warned_ = true;
    }
  }
  // The flag may have changed while the hold was asked for.
  if (askedAt_ != writing_.changes() || stop_.load()) Follow();
}

void KeepAwake::ReleaseNow() {
  stopped_ = true;
  if (inhibitor_) inhibitor_->Release();
  hold_ = Hold::Released;
}

}  // namespace tessaly
