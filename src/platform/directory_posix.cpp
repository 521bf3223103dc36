#include <sys/stat.h>

#include <filesystem>

#include "platform/directory.h"

namespace tessaly {

std::vector<DirEntry> WorkingDirectoryLister::List(const std::string& extension) {
  std::vector<DirEntry> out;
  std::error_code ec;
  std::filesystem::directory_iterator it(".", ec);
  if (ec) return out;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::string name = it->path().filename().string();
    if (!EndsWithNoCase(name, extension)) continue;
    DirEntry e;
    e.name = name;
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) != 0) continue;  // vanished meanwhile
    if (S_ISLNK(st.st_mode)) {
      e.attributes |= file_attr::kReparsePoint;
    } else if (S_ISDIR(st.st_mode)) {
      e.attributes |= file_attr::kDirectory;
    } else if (!S_ISREG(st.st_mode)) {
      e.attributes |= file_attr::kOffline;  // fifo, socket, device: nothing to read an image from
    }
    if (!name.empty() && name[0] == '.') e.attributes |= file_attr::kHidden;
    e.lastWriteNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    out.push_back(std::move(e));
  }
  return out;
}

}  // namespace tessaly
