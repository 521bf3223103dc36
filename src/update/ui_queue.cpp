#include "update/ui_queue.h"

#include <utility>

namespace tessaly {

struct UiQueue::Shared {
  std::mutex mutex;
  std::deque<std::function<void(View&)>> work;
  bool drainPosted = false;
  bool draining = false;
  bool detached = false;
  View* view = nullptr;
};

UiQueue::UiQueue(View* view) : view_(view), shared_(std::make_shared<Shared>()) { shared_->view = view; }

UiQueue::~UiQueue() { Detach(); }

void UiQueue::AttachView(View* view) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  view_ = view;
  shared_->view = view;
  shared_->detached = (view == nullptr);
}

void UiQueue::Detach() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->detached = true;
  shared_->view = nullptr;
  shared_->work.clear();
}

void UiQueue::Run(std::function<void(View&)> work) {
  View* view = nullptr;
  bool post = false;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->detached || !shared_->view) return;
    view = shared_->view;
    shared_->work.push_back(std::move(work));
    if (!view->OnViewThread() && !shared_->drainPosted) {
      shared_->drainPosted = true;
      post = true;
    }
  }
  if (post) {
    std::weak_ptr<Shared> weak = shared_;
    view->Post([weak] {
      if (auto s = weak.lock()) {
        {
          std::lock_guard<std::mutex> lock(s->mutex);
          s->drainPosted = false;
        }
        Drain(*s);
      }
    });
  } else if (view->OnViewThread()) {
    Drain(*shared_);
  }
}

void UiQueue::Drain(Shared& s) {
  std::unique_lock<std::mutex> lock(s.mutex);
  if (s.draining) return;  // an outer drain on this thread picks the work up
  s.draining = true;
  while (!s.work.empty() && !s.detached && s.view) {
    auto work = std::move(s.work.front());
    s.work.pop_front();
    View* view = s.view;
    lock.unlock();
    work(*view);
    lock.lock();
  }
  s.draining = false;
}

}  // namespace tessaly
