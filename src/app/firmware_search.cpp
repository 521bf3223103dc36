#include "app/firmware_search.h"

namespace tessaly {

bool FindNewestFirmware(DirectoryLister& dir, int kind, std::string& target) {
  const char* extension = nullptr;
  if (kind == kMainFirmwareKind) {
    extension = ".bin";
  } else if (kind == kSubFirmwareKind) {
    extension = ".brec2";
  } else {
    return false;
  }
  bool found = false;
  std::int64_t newest = 0;
  for (const DirEntry& e : dir.List(extension)) {
    if (e.attributes & kSkippedAttributes) continue;
    if (!found || newest <= e.lastWriteNs) {
      newest = e.lastWriteNs;
      target = e.name;
      found = true;
    }
  }
  return found;
}

}  // namespace tessaly
