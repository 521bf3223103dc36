// The Sub image check, VerifySubFirmware, on any file: the input is the file.

#include <cstdint>

#include "fuzz_support.h"
#include "subfw/sub_firmware_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessaly;
  static const fuzz::ProcessFile file("sub.brec2");
  static const bool missingRefused = [] {
    SubFwInfo info{kModelQMB, 1, 2, 3};
    return !VerifySubFirmware(file.path() + ".missing", info) && info == SubFwInfo{};
  }();
  FUZZ_CHECK(missingRefused);
  file.Write(data, size);

  FUZZ_CHECK(ReadableFileSize(file.path()) == static_cast<std::int64_t>(size));

  SubFwInfo info;
  info.ModelKind = 0x77;  // whatever was there before must not survive
  info.PayloadSize = 0xDEADBEEF;
  const bool ok = VerifySubFirmware(file.path(), info);
  if (size < kSubHeaderSize) {
    FUZZ_CHECK(!ok);
    FUZZ_CHECK(info == SubFwInfo{});
    return 0;
  }
  FUZZ_CHECK(ok);
  const std::uint32_t payload = static_cast<std::uint32_t>(size - kSubHeaderSize);
  std::uint32_t sum = 0;
  for (std::size_t i = kSubHeaderSize; i < size; ++i) sum += data[i];
  const std::uint8_t code = data[kSubModelOffset];
  const std::uint8_t model = code == 0x0A ? kModelQMA : code == 0x0B ? kModelQMB : kModelUnknown;
  FUZZ_CHECK(info.ModelKind == model);
  FUZZ_CHECK(info.PayloadSize == payload);
  FUZZ_CHECK(info.BlockCount == payload / kSubBlockSize);
  FUZZ_CHECK(static_cast<std::uint64_t>(info.BlockCount) * kSubBlockSize <= info.PayloadSize);
  FUZZ_CHECK(info.Checksum == sum);
  return 0;
}
