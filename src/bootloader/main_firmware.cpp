#include "bootloader/main_firmware.h"

namespace tessaly {

int UpdateMainFirmware(UpdateSession& session) {
  // The boot-loader service (Magic packet, BOOTP, TFTP) is not in this build yet: say so
  // plainly and fail, so that no update is ever reported as done when it was not.
  session.log().LogError("The Main firmware transfer is not available in this version");
  session.log().LogError("Update Main firmware failed");
  return -1;
}

}  // namespace tessaly
