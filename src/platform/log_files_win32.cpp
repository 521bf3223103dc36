#include <cstdlib>

#include "platform/log_files.h"

namespace tessaly {

std::string UserLogFolder() {
  // The same code page as the narrow file calls that open the log.
  const char* local = std::getenv("LOCALAPPDATA");
  if (!local || !*local) return {};
  return std::string(local) + "\\Tessaly\\logs";
}

bool LocalTime(std::time_t t, std::tm& out) { return ::localtime_s(&out, &t) == 0; }

}  // namespace tessaly
