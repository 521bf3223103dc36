#include "posix_util.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace tessaly::pjsim {

std::string ErrorText(int err) {
  char buffer[128];
  return strerror_r(err, buffer, sizeof buffer);  // GNU variant: thread-safe, returns the text
}

void CloseFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

bool OpenWakePipe(std::array<int, 2>& ends) {
  ends = {-1, -1};
  if (::pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK) == 0) return true;
  ends = {-1, -1};
  return false;
}

void PokeWakePipe(int write_fd) {
  if (write_fd < 0) return;
  const std::uint8_t byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(write_fd, &byte, 1);
}

}  // namespace tessaly::pjsim
