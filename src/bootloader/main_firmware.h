#pragma once
// The Main firmware stage: wake the boot loader, answer BOOTP, serve the image by TFTP.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "bootloader/bootp.h"
#include "platform/datagram.h"
#include "session/message_log.h"
#include "session/settings.h"
#include "session/stage_context.h"

namespace tessaly {

enum MainResult : int {
  kMainServed = 0,
  kMainImageUnreadable = 1,
  kMainBootpSocket = 2,
  kMainTftpSocket = 3,  // also: no TFTP data port could be bound
  kMainMagicSocket = 4,
  kMainStopped = 6,  // stop request or Cancel, or a time-out of the service loop
};

// The three service ports of the stage, bound on the local address. The update binds them
// before the projector is switched into download mode: a port that cannot be had must
// fail the update while the projector can still be left as it is.
struct MainPorts {
  std::unique_ptr<DatagramSocket> bootp, tftp, magic;
  bool Bound() const { return bootp && tftp && magic; }
};

// Binds BOOTP, TFTP and Magic on `localAddress` (network order). On failure logs the port
// with the address and the system's reason, releases what was bound and returns the
// MainResult of the port that failed.
int OpenMainPorts(MessageLog& log, const UpdaterSettings& settings, DatagramNetwork& net, std::uint32_t localAddress,
                  MainPorts& ports);

struct MainStageTarget {
  MacAddress mac{};
  std::uint32_t localAddress = 0;      // network order
  std::uint32_t projectorAddress = 0;  // network order
  std::string imagePath;
};

// The whole Main stage on `ctx.loop`, from its thread: starts the socket library, reports
// progress 0, serves the image (on the ports of `prepared` when they are bound there,
// binding its own otherwise), says "Update Main firmware failed" on any end but
// kMainServed, and cleans the socket library up. `done` gets the MainResult, or -1 when
// the socket library could not be started, exactly once, in a handler of its own on the
// loop. Destroying the stage before that ends it without `done`. `net` outlives the stage.
std::unique_ptr<RunningStage> StartMainStage(StageContext ctx, DatagramNetwork& net, MainStageTarget target,
                                             MainPorts prepared, std::function<void(int result)> done);

}  // namespace tessaly
