#pragma once
// The Main firmware stage: wake the boot loader, answer BOOTP, serve the image by TFTP.

#include <cstdint>
#include <functional>
#include <string>

#include "bootloader/bootp.h"
#include "platform/datagram.h"
#include "update/update_session.h"

namespace tessaly {

enum MainResult : int {
  kMainServed = 0,
  kMainImageUnreadable = 1,
  kMainBootpSocket = 2,
  kMainTftpSocket = 3,  // also: no TFTP data port could be bound
  kMainMagicSocket = 4,
  kMainStopped = 6,     // stop request, or a time-out of the service loop
};

struct MainStageTarget {
  MacAddress mac{};
  std::uint32_t localAddress = 0;      // network order
  std::uint32_t projectorAddress = 0;  // network order
  std::string imagePath;
};

// Serves one Main image; returns a MainResult. `progress` may be empty.
int ServeMainFirmware(UpdateSession& session, DatagramNetwork& net, const MainStageTarget& target,
                      const std::function<void(std::uint32_t)>& progress);

// The whole stage as the Main worker runs it, on the update state's addresses and file.
int UpdateMainFirmware(UpdateSession& session, DatagramNetwork& net);

}  // namespace tessaly
