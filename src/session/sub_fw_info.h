#pragma once
// The facts of the Sub firmware image that the update shares: the control session checks
// its model against the projector's, the Sub stage sends its payload.

#include <cstdint>

namespace tessaly {

// Model family of an image or of the projector; they match only when equal and known.
constexpr std::uint8_t kModelQMA = 0;
constexpr std::uint8_t kModelQMB = 1;
constexpr std::uint8_t kModelUnknown = 2;

struct SubFwInfo {
  std::uint8_t ModelKind = kModelUnknown;
  std::uint32_t PayloadSize = 0;
  std::uint32_t BlockCount = 0;
  std::uint32_t Checksum = 0;
  bool operator==(const SubFwInfo&) const = default;
};

}  // namespace tessaly
