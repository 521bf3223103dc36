#pragma once
// The Sub firmware image (*.brec2): a 32-byte header, then the payload that is sent.

#include <cstdint>
#include <string>

#include "session/sub_fw_info.h"

namespace tessaly {

constexpr std::uint32_t kSubHeaderSize = 32;
constexpr std::uint32_t kSubModelOffset = 9;
constexpr std::uint32_t kSubBlockSize = 16368;  // 24 packets of 682 bytes

// Model kind from the image's header byte 9.
std::uint8_t ModelKindOfImageByte(std::uint8_t code);

// Reads the image once and fills `info`: model kind, payload size (file size - 32),
// whole 16368-byte blocks and the 32-bit byte sum of the payload. A file that cannot be
// read, or is shorter than its header, leaves the model unknown and the payload empty
// and returns false; the update refuses such a file before it gets here.
bool VerifySubFirmware(const std::string& path, SubFwInfo& info);

// The size of a file, or -1 when it cannot be opened for reading.
std::int64_t ReadableFileSize(const std::string& path);

}  // namespace tessaly
