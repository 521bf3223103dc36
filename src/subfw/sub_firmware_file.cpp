#include "subfw/sub_firmware_file.h"

#include <cstdio>
#include <memory>
#include <vector>

namespace tessaly {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::int64_t SizeOf(std::FILE* f) {
  if (std::fseek(f, 0, SEEK_END) != 0) return -1;
  const long size = std::ftell(f);
  if (size < 0) return -1;
  return size;
}

}  // namespace

std::uint8_t ModelKindOfImageByte(std::uint8_t code) {
  if (code == 0x0A) return kModelQMA;
  if (code == 0x0B) return kModelQMB;
  return kModelUnknown;
}

std::int64_t ReadableFileSize(const std::string& path) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return -1;
  return SizeOf(f.get());
}

bool VerifySubFirmware(const std::string& path, SubFwInfo& info) {
  info = SubFwInfo{};
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  const std::int64_t size = SizeOf(f.get());
  if (size < kSubHeaderSize || size - kSubHeaderSize > UINT32_MAX) return false;
  const auto payload = static_cast<std::uint32_t>(size - kSubHeaderSize);

  // Large reads: a 64 MiB image is summed in well under a second.
  if (std::fseek(f.get(), kSubHeaderSize, SEEK_SET) != 0) return false;
  std::vector<unsigned char> buffer(1u << 20);
  std::uint32_t sum = 0;
  std::uint32_t left = payload;
  while (left > 0) {
    const std::size_t want = left < buffer.size() ? left : buffer.size();
    const std::size_t got = std::fread(buffer.data(), 1, want, f.get());
    if (got == 0) return false;  // shrank or failed while being read
    for (std::size_t i = 0; i < got; ++i) sum += buffer[i];
    left -= static_cast<std::uint32_t>(got);
  }

  unsigned char header[kSubHeaderSize];
  if (std::fseek(f.get(), 0, SEEK_SET) != 0 || std::fread(header, 1, kSubHeaderSize, f.get()) != kSubHeaderSize) {
    return false;
  }
  info.ModelKind = ModelKindOfImageByte(header[kSubModelOffset]);
  info.PayloadSize = payload;
  info.BlockCount = payload / kSubBlockSize;
  info.Checksum = sum;
  return true;
}

}  // namespace tessaly
