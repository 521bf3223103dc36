#pragma once
// Reading the projector's address texts as the operator typed them.

#include <array>
#include <cstdint>
#include <string>

namespace tessaly {

// Both split at '.', '-' and ':' (runs count as one; none at the ends yields an empty
// part) and keep the low 8 bits of each number, without a range check. They stop at a
// part that holds no number, or when the output is full. Return the bytes stored.
int ParseIpText(const std::string& text, std::array<std::uint8_t, 4>& out);   // decimal parts
int ParseMacText(const std::string& text, std::array<std::uint8_t, 6>& out);  // hexadecimal parts

// True for four decimal numbers from 0 to 255 joined by dots: the only address text the
// control connection opens to (no name lookup, no other separators).
bool IsDottedIpv4(const std::string& text);

}  // namespace tessaly
