#pragma once
// The Main firmware stage: wake the boot loader, answer BOOTP, serve the image by TFTP.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "bootloader/bootp.h"
#include "platform/datagram.h"
#include "session/update_session.h"

namespace tessaly {

enum MainResult : int {
  kMainServed = 0,
  kMainImageUnreadable = 1,
  kMainBootpSocket = 2,
  kMainTftpSocket = 3,  // also: no TFTP data port could be bound
  kMainMagicSocket = 4,
  kMainStopped = 6,  // stop request, or a time-out of the service loop
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
int OpenMainPorts(UpdateSession& session, DatagramNetwork& net, std::uint32_t localAddress, MainPorts& ports);

struct MainStageTarget {
  MacAddress mac{};
  std::uint32_t localAddress = 0;      // network order
  std::uint32_t projectorAddress = 0;  // network order
  std::string imagePath;
};

// Serves one Main image; returns a MainResult. `progress` may be empty. Takes the ports
// from `prepared` when they are bound there, and binds its own otherwise.
int ServeMainFirmware(UpdateSession& session, DatagramNetwork& net, const MainStageTarget& target,
                      const std::function<void(std::uint32_t)>& progress, MainPorts* prepared = nullptr);

// The whole stage as the Main worker runs it, on the update state's addresses and file.
int UpdateMainFirmware(UpdateSession& session, DatagramNetwork& net, MainPorts* prepared = nullptr);

}  // namespace tessaly
