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

bool SearchFirmware(DirectoryLister& dir, MessageLog& log, std::string& mainFile, std::string& subFile,
                    const std::function<void(int kind)>& show) {
  bool found = false;
  if (FindNewestFirmware(dir, kMainFirmwareKind, mainFile)) {
    if (show) show(kMainFirmwareKind);
    log.LogInfo("Main firmware : %s", mainFile.c_str());
    found = true;
  }
  if (FindNewestFirmware(dir, kSubFirmwareKind, subFile)) {
    if (show) show(kSubFirmwareKind);
    log.LogInfo("Sub firmware : %s", subFile.c_str());
    found = true;
  }
  if (found) {
    log.LogInfo("Press \"Update Firmware\" button to startup...");
  } else {
    log.LogError("Not found any firmware file");
  }
  return found;
}

}  // namespace tessaly
