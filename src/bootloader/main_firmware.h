#pragma once
// The Main firmware stage: wake the boot loader, answer BOOTP, serve the image by TFTP.

#include "update/update_session.h"

namespace tessaly {

// The whole stage as the Main worker runs it; 0 when the image was served.
int UpdateMainFirmware(UpdateSession& session);

}  // namespace tessaly
