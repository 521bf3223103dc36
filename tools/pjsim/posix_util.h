#pragma once
// Small POSIX helpers shared by the simulator's socket threads.

#include <array>
#include <string>

namespace tessaly::pjsim {

// strerror text, safe to call from any thread.
std::string ErrorText(int err);

// Closes fd when open and marks it closed, so a second call does nothing.
void CloseFd(int& fd);

// A non-blocking, close-on-exec pipe; both ends -1 when it cannot be made (errno tells why).
bool OpenWakePipe(std::array<int, 2>& ends);

// Writes one byte to wake a poll() on the other end. A full pipe already wakes it, so a lost
// byte does no harm.
void PokeWakePipe(int write_fd);

}  // namespace tessaly::pjsim
