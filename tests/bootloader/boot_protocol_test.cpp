#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>

#include "bootloader/bootp.h"
#include "bootloader/tftp.h"
#include "support/param_print.h"

namespace tessaly::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
const MacAddress kFF{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

Bytes Request(const MacAddress& mac = kFF, const char* sname = "stellaris") {
  Bytes p(300, 0);
  p[0] = 1;
  p[1] = 1;
  p[2] = 6;
  p[3] = 2;                                            // hops
  p[4] = 0xDE, p[5] = 0xAD, p[6] = 0xBE, p[7] = 0xEF;  // xid
  std::memcpy(&p[28], mac.data(), 6);
  p[34] = 0x77;  // rest of chaddr
  std::memcpy(&p[44], sname, std::strlen(sname));
  p[236] = 0x63;  // vendor area
  return p;
}

struct BootpCase {
  const char* name;
  Bytes packet;
  bool accepted;
};
TESSALY_PRINT_PARAM(BootpCase, name)

Bytes With(Bytes p, std::size_t at, std::uint8_t v) {
  p[at] = v;
  return p;
}

class BootRequest : public ::testing::TestWithParam<BootpCase> {};

TEST_P(BootRequest, Acceptance) { EXPECT_EQ(IsBootRequestFor(GetParam().packet.data(), kFF), GetParam().accepted); }

INSTANTIATE_TEST_SUITE_P(Table, BootRequest,
                         ::testing::Values(BootpCase{"standard", Request(), true},
                                           BootpCase{"op_reply", With(Request(), 0, 2), false},
                                           BootpCase{"htype_not_ethernet", With(Request(), 1, 6), false},
                                           BootpCase{"hlen_not_6", With(Request(), 2, 8), false},
                                           BootpCase{"other_mac", Request({0, 1, 2, 3, 4, 5}), false},
                                           BootpCase{"mac_last_byte_differs", With(Request(), 33, 0xFE), false},
                                           BootpCase{"rest_of_chaddr_free", With(Request(), 35, 0x12), true},
                                           BootpCase{"sname_capitals", Request(kFF, "STELLARIS"), true},
                                           BootpCase{"sname_mixed_case", Request(kFF, "StElLaRiS"), true},
                                           BootpCase{"sname_further_character", Request(kFF, "stellaris2"), false},
                                           BootpCase{"sname_shorter", Request(kFF, "stellari"), false},
                                           BootpCase{"sname_other", Request(kFF, "firmware"), false}));

TEST(BootReply, BuiltInPlace) {
  Bytes p = Request();
  p[108 + 20] = 0x55;  // file bytes after the new NUL stay
  const Bytes before = p;
  const std::uint32_t pj = ::inet_addr("192.168.0.2");
  const std::uint32_t pc = ::inet_addr("192.168.0.10");
  MakeBootReply(p.data(), pj, pc);
  EXPECT_EQ(p[0], 2);
  EXPECT_EQ(Bytes(p.begin() + 16, p.begin() + 20), (Bytes{192, 168, 0, 2}));
  EXPECT_EQ(Bytes(p.begin() + 20, p.begin() + 24), (Bytes{192, 168, 0, 10}));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&p[108])), "firmware.bin");
  EXPECT_EQ(p[120], 0);
  for (std::size_t i = 0; i < 300; ++i) {
    const bool changed = i == 0 || (i >= 16 && i < 24) || (i >= 108 && i < 121);
    if (!changed) {
      EXPECT_EQ(p[i], before[i]) << "byte " << i;  // xid, sname, chaddr, vendor area echoed
    }
  }
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&p[44])), "stellaris");
}

TEST(MagicPacket, Layout) {
  const MacAddress mac{1, 2, 3, 4, 5, 6};
  const auto m = BuildMagicPacket(mac);
  EXPECT_EQ(Bytes(m.begin(), m.begin() + 6), Bytes(6, 0xAA));
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(Bytes(m.begin() + 6 + 6 * i, m.begin() + 12 + 6 * i), (Bytes{1, 2, 3, 4, 5, 6}));
}

TEST(DataBlock, SizesAndNumbers) {
  Bytes image(1024 + 300);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 7);
  std::uint8_t packet[700];
  struct Case {
    std::uint64_t length;
    std::uint32_t k;
    std::size_t bytes;
  };
  for (Case c : {Case{0, 1, 0}, Case{1, 1, 1}, Case{511, 1, 511}, Case{512, 1, 512}, Case{512, 2, 0},
                 Case{1324, 3, 300}, Case{1000, 2, 488}}) {
    std::memset(packet, 0xEE, sizeof packet);
    ASSERT_EQ(BuildDataBlock(image.data(), c.length, packet, c.k), c.bytes + 4) << c.length << "/" << c.k;
    EXPECT_EQ(packet[0], 0);
    EXPECT_EQ(packet[1], 3);
    EXPECT_EQ(packet[2], (c.k >> 8) & 0xFF);
    EXPECT_EQ(packet[3], c.k & 0xFF);
    EXPECT_EQ(0, std::memcmp(packet + 4, image.data() + 512 * (c.k - 1), c.bytes));
    EXPECT_EQ(packet[4 + c.bytes], 0xEE) << "nothing written past the block";
  }
  // Only the low 16 bits of the block number travel: block 65536 is block number 0.
  const std::uint64_t big = 65537ull * 512;
  Bytes huge(static_cast<std::size_t>(big), 9);
  EXPECT_EQ(BuildDataBlock(huge.data(), big, packet, 65535), 516u);
  EXPECT_EQ(packet[2], 0xFF);
  EXPECT_EQ(packet[3], 0xFF);
  EXPECT_EQ(BuildDataBlock(huge.data(), big, packet, 65536), 516u);
  EXPECT_EQ(packet[2], 0);
  EXPECT_EQ(packet[3], 0);
  const std::uint8_t ack0[] = {0, 4, 0, 0};
  EXPECT_TRUE(IsAckOf(ack0, 4, 65536));
  EXPECT_FALSE(IsAckOf(ack0, 4, 65535));
  EXPECT_FALSE(IsAckOf(ack0, 3, 65536));  // a short datagram is no ACK
}

TEST(TransferProgress, Values) {
  EXPECT_EQ(TransferPercent(1000, 1), 51u);
  EXPECT_TRUE(IsLastBlock(1000, 2));
  EXPECT_EQ(TransferPercent(1024, 1), 50u);
  EXPECT_FALSE(IsLastBlock(1024, 2));
  EXPECT_EQ(TransferPercent(1024, 2), 99u);  // the empty last block is still to come
  EXPECT_TRUE(IsLastBlock(1024, 3));
  for (std::uint64_t l = 1; l < 512; ++l) EXPECT_TRUE(IsLastBlock(l, 1)) << l;
}

TEST(TftpError, OnlyRrqDatagram) {
  const Bytes e = BuildError(4, "Only RRQ is supported!");
  ASSERT_EQ(e.size(), 27u);
  EXPECT_EQ(Bytes(e.begin(), e.begin() + 4), (Bytes{0, 5, 0, 4}));
  EXPECT_EQ(std::string(e.begin() + 4, e.end() - 1), "Only RRQ is supported!");
  EXPECT_EQ(e.back(), 0);
}

}  // namespace
}  // namespace tessaly::testing
