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

inline StageRoutine StageGiving(std::function<StageEnd()> body) {
  return [body = std::move(body)](StageContext context, std::function<void(StageEnd)> done) {
    const StageEnd result = body();
    context.loop.Post([done = std::move(done), result] { done(result); });
    return std::unique_ptr<RunningStage>(std::make_unique<PostedStage>());
  };
}

inline StageRoutine MainStageGiving(std::function<StageEnd()> body) { return StageGiving(std::move(body)); }
inline StageRoutine SubStageGiving(std::function<StageEnd()> body) { return StageGiving(std::move(body)); }

// A Main stage that stays under way, a Cancel included, until the test opens it.
struct GatedMainStage {
  std::mutex mutex;
  UpdateLoop* loop = nullptr;
  std::function<void(StageEnd)> done;
  bool open = false;
  StageEnd result = StageEnd::Succeeded;
  std::atomic<int> runs{0};

  auto Routine() {
    return [this](StageContext context, std::function<void(StageEnd)> finished) {
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
  void Open(StageEnd withResult) {
    std::lock_guard<std::mutex> lock(mutex);
    if (open) return;
    open = true;
    result = withResult;
    if (done) loop->Post([finished = std::move(done), withResult] { finished(withResult); });
    done = nullptr;
  }
};

// A stage that says firmware is being written and goes on until it is cancelled.
class WritingStage {
 public:
  StageRoutine Routine() {
    return [this](StageContext context, std::function<void(StageEnd)> done) -> std::unique_ptr<RunningStage> {
      context.firmwareBeingWritten();
      ++runs;
      return std::make_unique<Writing>(*this, context.loop, std::move(done));
    };
  }

  std::atomic<int> runs{0};
  std::atomic<int> cancels{0};

 private:
  class Writing final : public RunningStage {
   public:
    Writing(WritingStage& owner, UpdateLoop& loop, std::function<void(StageEnd)> done)
        : owner_(owner), loop_(loop), done_(std::move(done)) {}
    void Cancel() override {
      if (!done_) return;
      ++owner_.cancels;
      loop_.Post([done = std::move(done_)] { done(StageEnd::Stopped); });
      done_ = nullptr;
    }

   private:
    WritingStage& owner_;
    UpdateLoop& loop_;
    std::function<void(StageEnd)> done_;
  };
};

}  // namespace tessaly::testing
