#pragma once
// Finds the newest *.bin and *.brec2 of the working folder.

#include <functional>
#include <string>

#include "platform/directory.h"
#include "session/message_log.h"

namespace tessaly {

constexpr int kMainFirmwareKind = 1;
constexpr int kSubFirmwareKind = 2;

// Entries with any of these attributes are never taken as firmware.
constexpr std::uint32_t kSkippedAttributes = file_attr::kEncrypted | file_attr::kTemporary | file_attr::kDirectory |
                                             file_attr::kSparseFile | file_attr::kReparsePoint |
                                             file_attr::kCompressed | file_attr::kOffline;

// Stores the newest accepted entry's name in `target` (ties: the one listed last) and
// returns true; returns false and leaves `target` alone when nothing is accepted or the
// kind is neither 1 nor 2.
bool FindNewestFirmware(DirectoryLister& dir, int kind, std::string& target);

// The search at start-up: the newest Main and then Sub firmware into the two names, each
// shown through `show` (with its kind) and named in the log, then what to do next or
// that nothing was found. True when anything was found.
bool SearchFirmware(DirectoryLister& dir, MessageLog& log, std::string& mainFile, std::string& subFile,
                    const std::function<void(int kind)>& show);

}  // namespace tessaly
