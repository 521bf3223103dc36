#pragma once
// The TFTP read the boot loader makes: DATA blocks of 512 bytes, one in flight.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaly {

constexpr std::size_t kTftpBlockSize = 512;
constexpr std::uint8_t kTftpRrq = 1;
constexpr std::uint8_t kTftpData = 3;
constexpr std::uint8_t kTftpAck = 4;
constexpr std::uint8_t kTftpError = 5;

// Block k (from 1) of the image as a DATA datagram in `packet` (room for 516 bytes).
// Only the low 16 bits of k go on the wire. Returns its length, 4 to 516.
std::size_t BuildDataBlock(const std::uint8_t* image, std::uint64_t length, std::uint8_t* packet, std::uint32_t k);

// Block k is the last: the first one that reaches past the end (empty when the length
// is a multiple of 512).
bool IsLastBlock(std::uint64_t length, std::uint32_t k);

// The progress value after the ACK of block k that was not the last: at most 99.
std::uint32_t TransferPercent(std::uint64_t length, std::uint32_t k);

// An ACK of block k: opcode 4 and the low 16 bits of k, high byte first.
bool IsAckOf(const std::uint8_t* packet, std::size_t length, std::uint32_t k);

bool IsReadRequest(const std::uint8_t* packet);

// ERROR datagrams: code 4 "Only RRQ is supported!" (27 bytes) on the server port, and
// code 5 "Unknown transfer ID" to a stranger on the data port.
std::vector<std::uint8_t> BuildError(std::uint16_t code, const char* message);

}  // namespace tessaly
