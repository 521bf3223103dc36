#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/log_files.h"

namespace tessaly {

std::string UserLogFolder() {
  // The same code page as the narrow file calls that open the log.
  const char* local = std::getenv("LOCALAPPDATA");
  if (!local || !*local) return {};
  return std::string(local) + "\\Tessaly\\logs";
}

// The narrow call, as the folder's name is in the ANSI code page (UserLogFolder); not fopen's
// "x", which older C runtimes ignore.
std::FILE* CreateNewFile(const std::string& path, int& error) {
  const int fd = ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_TEXT | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  std::FILE* file = ::_fdopen(fd, "w");
  if (!file) {
    error = errno;
    ::_close(fd);
  }
  return file;
}

bool LocalTime(std::time_t t, std::tm& out) { return ::localtime_s(&out, &t) == 0; }

}  // namespace tessaly
