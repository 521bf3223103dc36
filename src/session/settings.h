#pragma once
// The program's fixed values. The shipped programs always use these defaults;
// tests hand in shorter waits.

#include <cstdint>

namespace tessaly {

struct UpdaterSettings {
  // The projector restarts after the Main firmware before it answers again.
  std::uint32_t restartWaitMs = 7000;

  // The control connection.
  std::uint16_t controlPort = 20554;
  std::uint32_t connectTimeoutMs = 5000;  // from the attempt to the connection
  std::uint32_t switchTimeoutMs = 3000;   // from the connection to download mode

  // The boot loader's services.
  std::uint16_t bootpServerPort = 67;
  std::uint16_t tftpServerPort = 69;
  std::uint16_t magicPort = 9;
  std::uint32_t broadcastAddress = 0xFFFFFFFFu;  // 255.255.255.255 in either byte order
  // The service loop's times are counted in cycles of selectWaitUs on a steady clock,
  // from the last datagram that was accepted: noise from other hosts moves none of them.
  std::uint32_t selectWaitUs = 500000;   // one cycle: the Magic packet's pace, the longest wait
  std::uint32_t resendIdleCycles = 2;    // a silent peer gets its block again
  std::uint32_t answeredIdleLimit = 10;  // quiet cycles in a row once BOOTP is answered
  std::uint32_t idleLimit = 130;         // cycles without the transfer moving on (resends do not count)
  std::uint32_t bootpReplyGapUs = 250000;  // at most one BOOTP reply broadcast in this time
  std::uint32_t strangersLogged = 16;      // other hosts' read requests are said once each, up to this many
  std::uint16_t dataPortFirst = 32768;
  std::uint16_t dataPortCount = 8192;
  std::uint32_t dataPortTries = 64;

  // The Sub firmware stream is paced, not flow-controlled: the projector's receiver
  // needs these gaps between writes.
  std::uint32_t subRecordWaitMs = 10;   // after each header pair and each continue record
  std::uint32_t subPacketWaitMs = 62;   // after each 682-byte packet
  std::uint32_t replyFirstWaitMs = 30;  // before the first look for a reply
  std::uint32_t shortReplyRetries = 10;
  std::uint32_t shortReplyIntervalMs = 20;
  std::uint32_t burnReplyRetries = 1000;  // about 100 s for the projector to burn the image
  std::uint32_t burnReplyIntervalMs = 100;
  // A packet the connection takes in pieces: how long it may take no byte at all before
  // the transfer fails. Looked at again every shortReplyIntervalMs.
  std::uint32_t subSendStallMs = 5000;
};

}  // namespace tessaly
