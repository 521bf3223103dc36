#include "subfw/sub_records.h"

#include <algorithm>

namespace tessaly {

void PutBigEndian32(std::uint8_t* at, std::uint32_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 24);
  at[1] = static_cast<std::uint8_t>(value >> 16);
  at[2] = static_cast<std::uint8_t>(value >> 8);
  at[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t GetBigEndian32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) << 24 | static_cast<std::uint32_t>(at[1]) << 16 |
         static_cast<std::uint32_t>(at[2]) << 8 | at[3];
}

std::array<std::uint8_t, 32> BuildLastRecords(std::uint32_t remainder, std::uint32_t checksum) {
  std::array<std::uint8_t, 32> out{};
  std::copy(kBlockAnnouncement.begin(), kBlockAnnouncement.end(), out.begin());
  std::copy(kBlockHeader.begin(), kBlockHeader.end(), out.begin() + 16);
  PutBigEndian32(&out[8], remainder + 16);
  out[16 + 6] = 0xFF;  // the last header has FF FF where a block header has 00 00
  out[16 + 7] = 0xFF;
  PutBigEndian32(&out[16 + 8], remainder);
  PutBigEndian32(&out[16 + 12], checksum);
  return out;
}

}  // namespace tessaly
