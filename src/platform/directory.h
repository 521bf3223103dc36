#pragma once
// Directory listing with a "*.ext" pattern, as the firmware search needs it.

#include <cstdint>
#include <string>
#include <vector>

namespace tessaly {

// Attribute bits in the Windows layout, so the search can apply its skip rules as written.
namespace file_attr {
constexpr std::uint32_t kHidden = 0x2;
constexpr std::uint32_t kDirectory = 0x10;
constexpr std::uint32_t kTemporary = 0x100;
constexpr std::uint32_t kSparseFile = 0x200;
constexpr std::uint32_t kReparsePoint = 0x400;
constexpr std::uint32_t kCompressed = 0x800;
constexpr std::uint32_t kOffline = 0x1000;
constexpr std::uint32_t kEncrypted = 0x4000;
}  // namespace file_attr

struct DirEntry {
  std::string name;
  std::uint32_t attributes = 0;
  std::int64_t lastWriteNs = 0;  // last-write time; only compared, never shown
};

// Whether `name` ends in `ext`, without regard to case.
bool EndsWithNoCase(const std::string& name, const std::string& ext);

class DirectoryLister {
 public:
  virtual ~DirectoryLister() = default;
  // Entries of the working directory whose name ends in `extension` (".bin"), in the
  // platform's listing order.
  virtual std::vector<DirEntry> List(const std::string& extension) = 0;
};

// Lists the process's working directory. Windows gives each entry's own attributes. On
// Linux anything that is not a regular file (folders, symbolic links, devices) is marked
// with a skip attribute, and names are matched without regard to case, as on the PCs the
// images come from.
class WorkingDirectoryLister final : public DirectoryLister {
 public:
  std::vector<DirEntry> List(const std::string& extension) override;
};

}  // namespace tessaly
