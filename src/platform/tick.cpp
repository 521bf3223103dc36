#include "platform/tick.h"

#include <chrono>

namespace tessaly {

std::uint32_t TickCount() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace tessaly
