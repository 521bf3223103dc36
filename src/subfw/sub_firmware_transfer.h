#pragma once
// Streaming the Sub firmware over the control connection.

#include "platform/tcp_client.h"
#include "subfw/sub_firmware_file.h"
#include "update/update_session.h"

namespace tessaly {

// True when the projector took every block, reported the right checksum and closed.
bool SendSubFirmware(UpdateSession& session, TcpClient& client, const SubFwInfo& info);

}  // namespace tessaly
