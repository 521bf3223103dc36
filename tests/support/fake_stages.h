#pragma once
// Stage routines of the tests' own: a stage that runs `body` as it begins and reports its
// result on a later turn of the loop, as a real stage does; and a gated one whose end
// comes when the test opens it.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "app/update_sequence.h"

namespace tessaly::testing {

// Reports nothing more once cancelled or gone: a stand-in whose end was posted already.
class PostedStage final : public RunningStage {
 public:
  void Cancel() override {}
};

template <typename Result>
std::function<std::unique_ptr<RunningStage>(StageContext, std::function<void(Result)>)> StageGiving(
    std::function<Result()> body) {
  return [body = std::move(body)](StageContext context, std::function<void(Result)> done) {
    const Result result = body();
    context.loop.Post([done = std::move(done), result] { done(result); });
    return std::unique_ptr<RunningStage>(std::make_unique<PostedStage>());
  };
}

inline auto MainStageGiving(std::function<int()> body) { return StageGiving<int>(std::move(body)); }
inline auto SubStageGiving(std::function<bool()> body) { return StageGiving<bool>(std::move(body)); }

// A Main stage that stays under way, a Cancel included, until the test opens it.
struct GatedMainStage {
  std::mutex mutex;
  UpdateLoop* loop = nullptr;
  std::function<void(int)> done;
  bool open = false;
  int result = 0;
  std::atomic<int> runs{0};

  auto Routine() {
    return [this](StageContext context, std::function<void(int)> finished) {
      ++runs;
      std::lock_guard<std::mutex> lock(mutex);
      if (open) {
        context.loop.Post([finished = std::move(finished), r = result] { finished(r); });
      } else {
        loop = &context.loop;
        done = std::move(finished);
      }
      return std::unique_ptr<RunningStage>(std::make_unique<PostedStage>());
    };
  }
  void Open(int withResult) {
    std::lock_guard<std::mutex> lock(mutex);
    if (open) return;
    open = true;
    result = withResult;
    if (done) loop->Post([finished = std::move(done), withResult] { finished(withResult); });
    done = nullptr;
  }
};

}  // namespace tessaly::testing
