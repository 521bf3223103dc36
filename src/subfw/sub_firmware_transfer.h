#pragma once
// Streaming the Sub firmware over the control connection: blocks of 24 packets of 682
// bytes, each acknowledged, then the short last block, the burn and its checksum report.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/tcp_client.h"
#include "session/stage_context.h"
#include "subfw/sub_firmware_file.h"

namespace tessaly {

// Starts streaming the image at `imagePath` (as `info` describes it) on the loop, from
// the loop's thread. `done(true)` when the projector took every block, reported the right
// checksum after burning and answered the close record. Every failure, a stop and a
// Cancel included, logs the one line "Update Sub firmware failed" and gives `done(false)`;
// the caller ends the session. `done` comes exactly once, posted on the loop.
std::unique_ptr<RunningStage> StartSubStage(StageContext ctx, TcpClient& client, std::string imagePath, SubFwInfo info,
                                            std::function<void(bool sent)> done);

// The Sub stage's percentage after whole block i.
std::uint32_t SubBlockPercent(std::uint32_t i, std::uint32_t blockCount);

}  // namespace tessaly
