// The BOOTP and TFTP helpers on any datagram, called the way the Main stage calls them.
//
// Input: six bytes of the MAC the updater serves, a 16-bit block number, then the
// datagram. The datagram also serves as an image for BuildDataBlock.

#include <algorithm>
#include <cctype>
#include <cstring>

#include "bootloader/bootp.h"
#include "bootloader/tftp.h"
#include "fuzz_support.h"

namespace tessaly::fuzz {
namespace {

// The service's receive buffer: a datagram lands at its start, the rest is zero, and
// longer datagrams never get here.
constexpr std::size_t kReceiveBuffer = 700;

bool ReferenceBootRequest(const std::uint8_t* p, const MacAddress& mac) {
  if (p[0] != 1 || p[1] != 1 || p[2] != 6) return false;
  if (!std::equal(mac.begin(), mac.end(), p + 28)) return false;
  const char* name = "stellaris";
  for (std::size_t i = 0; i < 9; ++i) {
    if (std::tolower(p[44 + i]) != name[i]) return false;
  }
  return p[53] == 0;
}

}  // namespace
}  // namespace tessaly::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessaly;
  using fuzz::Bytes;
  fuzz::ByteReader in(data, size);
  MacAddress mac{};
  for (auto& b : mac) b = in.Byte();
  const std::uint16_t number = in.U16();
  const Bytes datagram = in.Rest();

  if (datagram.size() <= fuzz::kReceiveBuffer) {
    // A heap block of exactly the buffer's size: a look past it is caught.
    Bytes buffer(fuzz::kReceiveBuffer, 0);
    std::copy(datagram.begin(), datagram.end(), buffer.begin());

    const bool request = IsBootRequestFor(buffer.data(), mac);
    FUZZ_CHECK(request == fuzz::ReferenceBootRequest(buffer.data(), mac));
    FUZZ_CHECK(IsReadRequest(buffer.data()) == (buffer[0] == 0 && buffer[1] == kTftpRrq));

    // The reply changes op, yiaddr, siaddr and the file name, nothing else, and all of
    // it within the 300 bytes that are sent.
    const std::uint32_t projector = 0x0200000Au;
    const std::uint32_t local = 0x0500000Au;
    Bytes reply = buffer;
    MakeBootReply(reply.data(), projector, local);
    for (std::size_t i = 0; i < reply.size(); ++i) {
      const bool changed = i == kBootpOp || (i >= kBootpYiaddr && i < kBootpSiaddr + 4) ||
                           (i >= kBootpFile && i < kBootpFile + std::strlen(kBootFileName) + 1);
      if (!changed) FUZZ_CHECK(reply[i] == buffer[i]);
    }
    FUZZ_CHECK(reply[kBootpOp] == 2);
    FUZZ_CHECK(std::memcmp(&reply[kBootpYiaddr], &projector, 4) == 0);
    FUZZ_CHECK(std::memcmp(&reply[kBootpSiaddr], &local, 4) == 0);
    FUZZ_CHECK(std::strcmp(reinterpret_cast<const char*>(&reply[kBootpFile]), kBootFileName) == 0);
    FUZZ_CHECK(kBootpFile + std::strlen(kBootFileName) + 1 <= kBootpMessageSize);
  }

  // ACKs are checked on the received length alone: an exact-size copy.
  {
    const Bytes exact = datagram;
    for (std::uint32_t k : {static_cast<std::uint32_t>(number), static_cast<std::uint32_t>(number) + 0x10000u}) {
      const bool ack = IsAckOf(exact.data(), exact.size(), k);
      const bool want = exact.size() >= 4 && exact[0] == 0 && exact[1] == kTftpAck && exact[2] == (number >> 8) &&
                        exact[3] == (number & 0xFF);
      FUZZ_CHECK(ack == want);
    }
  }

  // The datagram as an image: block `number` holds its bytes and none beyond.
  if (!datagram.empty()) {
    const std::uint32_t k = number == 0 ? 1 : number;
    std::uint8_t packet[4 + kTftpBlockSize + 16];
    std::memset(packet, 0xEE, sizeof packet);
    const std::size_t length = BuildDataBlock(datagram.data(), datagram.size(), packet, k);
    const std::uint64_t start = kTftpBlockSize * (static_cast<std::uint64_t>(k) - 1);
    const std::size_t want =
        start >= datagram.size()
            ? 0
            : static_cast<std::size_t>(std::min<std::uint64_t>(kTftpBlockSize, datagram.size() - start));
    FUZZ_CHECK(length == 4 + want);
    FUZZ_CHECK(packet[0] == 0 && packet[1] == kTftpData && packet[2] == ((k >> 8) & 0xFF) && packet[3] == (k & 0xFF));
    if (want > 0) FUZZ_CHECK(std::memcmp(packet + 4, datagram.data() + start, want) == 0);
    for (std::size_t i = length; i < sizeof packet; ++i) FUZZ_CHECK(packet[i] == 0xEE);
    FUZZ_CHECK(IsLastBlock(datagram.size(), k) == (want < kTftpBlockSize));
    if (!IsLastBlock(datagram.size(), k)) FUZZ_CHECK(TransferPercent(datagram.size(), k) <= 99);
  }
  return 0;
}
