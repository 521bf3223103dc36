#include "update/update_session.h"

#include <algorithm>
#include <chrono>

#include "platform/tick.h"

namespace tessaly {

UpdateSession::UpdateSession(UpdateState& state, UiQueue& ui, MessageLog& log,
                             const UpdaterSettings& settings, TickSource tick)
    : state_(state), ui_(ui), log_(log), settings_(settings), tick_(tick ? std::move(tick) : TickSource(TickCount)) {}

std::uint32_t UpdateSession::ShownProgress(std::uint8_t selection, std::uint8_t stage, std::uint32_t percent) {
  if (selection == (MainFw | SubFw)) {
    if (stage == 1) return percent / 2;
    if (stage == 2) return percent / 2 + 50;
  }
  return percent;
}

void UpdateSession::ReportProgress(std::uint32_t percent) {
  const std::uint8_t stage = state_.UpdateStage.load();
  const std::uint8_t selection = state_.FirmwareSelection.load();
  if (percent == 100) {
    if (stage == 1) {
      state_.StagesSucceeded.fetch_or(MainFw);
      log_.LogInfo("Updated Main Firmware has succeeded.");
      if (selection != (MainFw | SubFw)) state_.UpdateInProgress.store(0);
    } else if (stage == 2) {
      state_.StagesSucceeded.fetch_or(SubFw);
      log_.LogInfo("Updated Sub Firmware has succeeded.");
      state_.UpdateInProgress.store(0);
    }
  }
  const std::uint32_t shown = ShownProgress(selection, stage, percent);
  ui_.Run([shown](View& view) {
    view.SetPosition(Control::UpdateProgBar, static_cast<int>(shown));
    view.SetText(Control::PercentText, Format("%d%%", static_cast<int>(shown)));
  });
}

void UpdateSession::RequestStop() {
  {
    std::lock_guard<std::mutex> lock(state_.stopMutex);
    state_.StopRequested.store(1);
  }
  state_.stopRaised.notify_all();
}

void UpdateSession::BeginSession() {
  generation_.fetch_add(1);
  state_.SessionRunning.store(1);
}

void UpdateSession::EndSession() {
  if (onEnd_) onEnd_();
  state_.SessionRunning.store(0);
  const std::uint32_t generation = generation_.load();
  ui_.Run([this, generation](View& view) {
    if (generation != generation_.load()) return;  // a newer session owns the controls
    view.SetEnabled(Control::UpdateFwBtn, workers_.Running() == 0);
    view.SetEnabled(Control::AbortBtn, false);
    view.SetEnabled(Control::IpAddrEdit, true);
    view.SetEnabled(Control::UpfwBox, true);
    view.SetEnabled(Control::AdapterBox, true);
  });
  state_.UpdateInProgress.store(0);
}

void UpdateSession::StartWorker(std::function<void()> body) {
  workers_.Start(std::move(body), [this] {
    // The last worker of an ended session gives "Update Firmware" back.
    ui_.Run([this](View& view) {
      if (state_.SessionRunning.load() == 0 && workers_.Running() == 0) view.SetEnabled(Control::UpdateFwBtn, true);
    });
  });
}

void UpdateSession::WaitWithMessages(std::uint32_t ms) {
  const std::uint32_t start = tick_();
  View* view = ui_.view();
  for (;;) {
    const bool onViewThread = view && view->OnViewThread();
    if (onViewThread) view->ProcessEvents();
    const std::uint32_t elapsed = tick_() - start;  // unsigned: a wrap of the counter does no harm
    if (elapsed >= ms) return;
    if (state_.StopRequested.load() != 0) return;
    // The view's thread comes back often to dispatch; a worker sleeps until the end or a stop.
    std::uint32_t slice = ms - elapsed;
    if (onViewThread) slice = std::min(slice, std::max<std::uint32_t>(settings_.waitSliceMs, 1));
    std::unique_lock<std::mutex> lock(state_.stopMutex);
    state_.stopRaised.wait_for(lock, std::chrono::milliseconds(slice),
                               [this] { return state_.StopRequested.load() != 0; });
  }
}

}  // namespace tessaly
