#pragma once

#include <cstdint>

namespace tessaly {

// Milliseconds since an arbitrary start, wrapping at 2^32 like GetTickCount.
std::uint32_t TickCount();

}  // namespace tessaly
