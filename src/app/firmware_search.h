#pragma once
// Finds the newest *.bin and *.brec2 of the working folder.

#include <string>

#include "platform/directory.h"

namespace tessaly {

constexpr int kMainFirmwareKind = 1;
constexpr int kSubFirmwareKind = 2;

// Entries with any of these attributes are never taken as firmware.
constexpr std::uint32_t kSkippedAttributes = file_attr::kEncrypted | file_attr::kTemporary |
                                             file_attr::kDirectory | file_attr::kSparseFile |
                                             file_attr::kReparsePoint | file_attr::kCompressed |
                                             file_attr::kOffline;

// Stores the newest accepted entry's name in `target` (ties: the one listed last) and
// returns true; returns false and leaves `target` alone when nothing is accepted or the
// kind is neither 1 nor 2.
bool FindNewestFirmware(DirectoryLister& dir, int kind, std::string& target);

}  // namespace tessaly
