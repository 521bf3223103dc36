#include "bootloader/bootp.h"

#include <cctype>
#include <cstring>

namespace tessaly {

bool IsBootRequestFor(const std::uint8_t* packet, const MacAddress& mac) {
  if (packet[kBootpOp] != 1 || packet[kBootpHtype] != 1 || packet[kBootpHlen] != 6) return false;
  if (std::memcmp(packet + kBootpChaddr, mac.data(), mac.size()) != 0) return false;
  const std::size_t nameLength = std::strlen(kBootServerName);
  for (std::size_t i = 0; i < nameLength; ++i) {
    if (std::tolower(packet[kBootpSname + i]) != kBootServerName[i]) return false;
  }
  return packet[kBootpSname + nameLength] == 0;
}

void MakeBootReply(std::uint8_t* packet, std::uint32_t projectorAddress, std::uint32_t localAddress) {
  packet[kBootpOp] = 2;
  std::memcpy(packet + kBootpYiaddr, &projectorAddress, 4);  // both already in network order
  std::memcpy(packet + kBootpSiaddr, &localAddress, 4);
  std::memcpy(packet + kBootpFile, kBootFileName, std::strlen(kBootFileName) + 1);
}

std::array<std::uint8_t, 30> BuildMagicPacket(const MacAddress& mac) {
  std::array<std::uint8_t, 30> packet{};
  std::memset(packet.data(), 0xAA, 6);
  for (std::size_t i = 0; i < 4; ++i) std::memcpy(packet.data() + 6 + 6 * i, mac.data(), 6);
  return packet;
}

}  // namespace tessaly
