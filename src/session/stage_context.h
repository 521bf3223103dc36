#pragma once
// What a stage gets from the update that runs it, and no more: the log, the progress,
// "firmware being written", the settings, the loop with its clock and timers, and whether
// the operator asked to stop. A stage runs on the loop's thread only.

#include <cstdint>
#include <functional>

#include "platform/update_loop.h"
#include "session/message_log.h"
#include "session/settings.h"

namespace tessaly {

// How a stage ended; its own lines say why.
enum class StageEnd { Succeeded, Failed, Stopped };

struct StageContext {
  MessageLog& log;
  const UpdaterSettings& settings;
  UpdateLoop& loop;
  // The stage's percentage, 100 meaning it succeeded.
  std::function<void(std::uint32_t percent)> progress;
  // Firmware is being written into the projector from here on (an Abort must ask first).
  std::function<void()> firmwareBeingWritten;
  // The operator's stop request, raised on any thread before the stage is cancelled.
  std::function<bool()> stopRequested;
  // Everything is sent and the projector burns it; the stage waits for its report.
  std::function<void()> burning;
};

// A stage under way on the loop. Cancel ends it at once: nothing more goes on the wire,
// and its end is reported as for a stop. The stage reports its end exactly once, in a
// handler of its own on the loop, so the owner may destroy it there.
class RunningStage {
 public:
  virtual ~RunningStage() = default;
  virtual void Cancel() = 0;
};

}  // namespace tessaly
