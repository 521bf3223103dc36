#pragma once
// A stage's context from an update session, as the update hands it to a stage: the
// session's log and settings, progress to the session unless the test takes it,
// "firmware being written" and the stop request on the update state.

#include <cstdint>
#include <functional>

#include "session/stage_context.h"
#include "session/update_session.h"

namespace tessaly::testing {

inline StageContext SessionStageContext(UpdateSession& session, UpdateLoop& loop,
                                        std::function<void(std::uint32_t)> progress = nullptr) {
  if (!progress) progress = [&session](std::uint32_t percent) { session.ReportProgress(percent); };
  UpdateState& state = session.state();
  return StageContext{session.log(),
                      session.settings(),
                      loop,
                      std::move(progress),
                      [&state] { state.UpdateInProgress.store(1); },
                      [&state] { return state.StopRequested.load() != 0; },
                      nullptr};
}

}  // namespace tessaly::testing
