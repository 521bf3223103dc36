#pragma once
// The boot loader's BOOTP request and the reply that sends it to "firmware.bin".

#include <array>
#include <cstddef>
#include <cstdint>

namespace tessaly {

constexpr std::size_t kBootpMessageSize = 300;
constexpr std::size_t kBootpOp = 0;
constexpr std::size_t kBootpHtype = 1;
constexpr std::size_t kBootpHlen = 2;
constexpr std::size_t kBootpYiaddr = 16;
constexpr std::size_t kBootpSiaddr = 20;
constexpr std::size_t kBootpChaddr = 28;
constexpr std::size_t kBootpSname = 44;
constexpr std::size_t kBootpFile = 108;
constexpr const char* kBootServerName = "stellaris";  // what the boot loader asks for
constexpr const char* kBootFileName = "firmware.bin";

using MacAddress = std::array<std::uint8_t, 6>;

// The request is one the updater answers: op 1, Ethernet, hlen 6, chaddr beginning with
// `mac`, sname "stellaris" (any case) ended by its NUL. `packet` holds at least 300
// bytes; bytes past the received length are zero.
bool IsBootRequestFor(const std::uint8_t* packet, const MacAddress& mac);

// Turns the request into the reply in place: op 2, yiaddr the projector, siaddr this PC,
// file "firmware.bin" and its NUL. Every other byte stays as the request had it.
void MakeBootReply(std::uint8_t* packet, std::uint32_t projectorAddress, std::uint32_t localAddress);

// The 30-byte wake-up packet: 0xAA six times, then the MAC four times.
std::array<std::uint8_t, 30> BuildMagicPacket(const MacAddress& mac);

}  // namespace tessaly
