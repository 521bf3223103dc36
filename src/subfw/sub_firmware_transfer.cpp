#include "subfw/sub_firmware_transfer.h"

namespace tessaly {

bool SendSubFirmware(UpdateSession& session, TcpClient& /*client*/, const SubFwInfo& /*info*/) {
  // The Sub transfer is not in this build yet: fail the way a failed transfer does.
  session.log().LogError("The Sub firmware transfer is not available in this version");
  session.log().LogError("Update Sub firmware failed");
  session.RequestStop();
  session.EndSession();
  return false;
}

}  // namespace tessaly
