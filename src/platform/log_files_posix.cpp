#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/log_files.h"

namespace tessaly {

namespace {

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  // No HOME (a service, sudo -i): the account's own.
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir) {
    return found->pw_dir;
  }
  return {};
}

}  // namespace

std::string UserLogFolder() {
  // A relative XDG_STATE_HOME counts as unset, as for every XDG folder.
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && state[0] == '/') return std::string(state) + "/tessaly/logs";
  const std::string home = HomeFolder();
  if (home.empty()) return {};
  return home + "/.local/state/tessaly/logs";
}

std::FILE* CreateNewFile(const std::string& path, int& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "w");
  if (!file) {
    error = errno;
    ::close(fd);
  }
  return file;
}

bool LocalTime(std::time_t t, std::tm& out) { return ::localtime_r(&t, &out) != nullptr; }

}  // namespace tessaly
