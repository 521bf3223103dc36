#pragma once
// The io_context behind the system's update loop, for the platform's own sockets and
// timers. Only platform .cpp files include this: no other header exposes Asio.

#include <asio/io_context.hpp>

#include "platform/update_loop.h"

namespace tessaly {

// The loop's io_context; null for a loop that is not the system's (a test's clock).
asio::io_context* AsioContextOf(UpdateLoop& loop);

}  // namespace tessaly
