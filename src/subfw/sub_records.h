#pragma once
// The 16-byte records of the Sub firmware stream. Lengths and the checksum are 32-bit
// big-endian numbers in bytes 8..11 and 12..15.

#include <array>
#include <cstdint>

namespace tessaly {

using SubRecord = std::array<std::uint8_t, 16>;

constexpr std::uint32_t kSubPacketSize = 682;
constexpr std::uint32_t kSubPacketsPerBlock = 24;

// "SAB" with length 0x4000: the block header and 16368 payload bytes follow.
constexpr SubRecord kBlockAnnouncement{0x53, 0x41, 0x42, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0x40, 0x00, 0, 0, 0, 0};
// "TB" with length 0x3FF0.
constexpr SubRecord kBlockHeader{0x54, 0x42, 0xFF, 0x01, 0, 0, 0, 0, 0, 0, 0x3F, 0xF0, 0, 0, 0, 0};
// "saB": what the projector acknowledges a block with, and what the updater sends to go on.
constexpr SubRecord kContinueRecord{0x73, 0x61, 0x42, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0};
// "SD": the end of the exchange.
constexpr SubRecord kCloseRecord{0x53, 0x44, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0};
// The first 16 bytes of the burn report: "SAB" with length 16.
constexpr SubRecord kBurnReportHead{0x53, 0x41, 0x42, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0x10, 0, 0, 0, 0};

// The last announcement (length R + 16) and the last header (length R, the checksum),
// as the one 32-byte write they travel in. R is below 16368.
std::array<std::uint8_t, 32> BuildLastRecords(std::uint32_t remainder, std::uint32_t checksum);

void PutBigEndian32(std::uint8_t* at, std::uint32_t value);
std::uint32_t GetBigEndian32(const std::uint8_t* at);

}  // namespace tessaly
