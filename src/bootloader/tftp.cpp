#include "bootloader/tftp.h"

#include <cstring>

namespace tessaly {

std::size_t BuildDataBlock(const std::uint8_t* image, std::uint64_t length, std::uint8_t* packet, std::uint32_t k) {
  packet[0] = 0;
  packet[1] = kTftpData;
  packet[2] = static_cast<std::uint8_t>((k >> 8) & 0xFF);
  packet[3] = static_cast<std::uint8_t>(k & 0xFF);
  const std::uint64_t start = kTftpBlockSize * (static_cast<std::uint64_t>(k) - 1);
  std::size_t size = 0;
  if (start < length)
    size = static_cast<std::size_t>(length - start < kTftpBlockSize ? length - start : kTftpBlockSize);
  if (size > 0) std::memcpy(packet + 4, image + start, size);
  return size + 4;
}

bool IsLastBlock(std::uint64_t length, std::uint32_t k) {
  return kTftpBlockSize * static_cast<std::uint64_t>(k) > length;
}

std::uint32_t TransferPercent(std::uint64_t length, std::uint32_t k) {
  const std::uint64_t percent = 100 * kTftpBlockSize * static_cast<std::uint64_t>(k) / length;
  // 100 is the projector holding the whole image: with a length that is a multiple of 512
  // the empty last block is still to come.
  return static_cast<std::uint32_t>(percent < 99 ? percent : 99);
}

bool IsAckOf(const std::uint8_t* packet, std::size_t length, std::uint32_t k) {
  return length >= 4 && packet[0] == 0 && packet[1] == kTftpAck && packet[2] == ((k >> 8) & 0xFF) &&
         packet[3] == (k & 0xFF);
}

bool IsReadRequest(const std::uint8_t* packet) { return packet[0] == 0 && packet[1] == kTftpRrq; }

std::vector<std::uint8_t> BuildError(std::uint16_t code, const char* message) {
  const std::size_t length = std::strlen(message) + 1;  // the text and its NUL
  std::vector<std::uint8_t> d(4 + length);
  d[1] = kTftpError;
  d[2] = static_cast<std::uint8_t>(code >> 8);
  d[3] = static_cast<std::uint8_t>(code & 0xFF);
  std::memcpy(d.data() + 4, message, length);
  return d;
}

}  // namespace tessaly
