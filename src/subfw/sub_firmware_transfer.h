#pragma once
// Streaming the Sub firmware over the control connection: blocks of 24 packets of 682
// bytes, each acknowledged, then the short last block, the burn and its checksum report.

#include <cstddef>
#include <cstdint>

#include "platform/tcp_client.h"
#include "session/update_session.h"
#include "subfw/sub_firmware_file.h"

namespace tessaly {

// True when the projector took every block, reported the right checksum after burning
// and answered the close record. Every failure gives the one line "Update Sub firmware
// failed", raises the stop request and ends the session.
bool SendSubFirmware(UpdateSession& session, TcpClient& client, const SubFwInfo& info);

// One polling read of up to `count` bytes: the bytes the connection gave, or 0.
int ReceiveWithRetry(UpdateSession& session, TcpClient& client, std::uint8_t* buffer, std::size_t count,
                     std::uint32_t retries, std::uint32_t intervalMs);

// With `whole`, gathers exactly `length` bytes (0 when a read gives nothing); otherwise
// one short read. The length is capped at 1024.
int ReadReply(UpdateSession& session, TcpClient& client, std::uint8_t* buffer, std::size_t length, bool whole);

// The Sub stage's percentage after whole block i.
std::uint32_t SubBlockPercent(std::uint32_t i, std::uint32_t blockCount);

}  // namespace tessaly
