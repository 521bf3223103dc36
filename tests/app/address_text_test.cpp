#include <gtest/gtest.h>

#include "support/param_print.h"

#include "app/address_text.h"

namespace tessaly::testing {
namespace {

struct IpCase {
  const char* text;
  int count;
  std::array<std::uint8_t, 4> bytes;
};
TESSALY_PRINT_PARAM(IpCase, text)

class ParseIp : public ::testing::TestWithParam<IpCase> {};

TEST_P(ParseIp, SplitsAndKeepsLowBits) {
  std::array<std::uint8_t, 4> out{};
  EXPECT_EQ(ParseIpText(GetParam().text, out), GetParam().count) << GetParam().text;
  for (int i = 0; i < GetParam().count; ++i)
    EXPECT_EQ(out[static_cast<std::size_t>(i)], GetParam().bytes[static_cast<std::size_t>(i)]) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseIp,
    ::testing::Values(IpCase{"192.168.0.2", 4, {192, 168, 0, 2}}, IpCase{"10-0-0-1", 4, {10, 0, 0, 1}},
                      IpCase{"192.168.0", 3, {192, 168, 0, 0}}, IpCase{"192.168.0.2.7", 4, {192, 168, 0, 2}},
                      IpCase{"192.168.0.300", 4, {192, 168, 0, 44}}, IpCase{"..1...2:3-4..", 4, {1, 2, 3, 4}},
                      IpCase{" 1. 2. 3. 4", 4, {1, 2, 3, 4}}, IpCase{"1a.2b.3c.4d", 4, {1, 2, 3, 4}},
                      IpCase{"1.x.3.4", 1, {1, 0, 0, 0}}, IpCase{"", 0, {}}, IpCase{"...", 0, {}},
                      IpCase{"256.257.0.1", 4, {0, 1, 0, 1}}, IpCase{"1.2.3.4294967297", 4, {1, 2, 3, 1}},
                      IpCase{"1 2 3 4", 1, {1, 0, 0, 0}}, IpCase{"1,2,3,4", 1, {1, 0, 0, 0}}));

struct MacCase {
  const char* text;
  int count;
  std::array<std::uint8_t, 6> bytes;
};
TESSALY_PRINT_PARAM(MacCase, text)

class ParseMac : public ::testing::TestWithParam<MacCase> {};

TEST_P(ParseMac, SplitsHexAndKeepsLowBits) {
  std::array<std::uint8_t, 6> out{};
  EXPECT_EQ(ParseMacText(GetParam().text, out), GetParam().count) << GetParam().text;
  for (int i = 0; i < GetParam().count; ++i)
    EXPECT_EQ(out[static_cast<std::size_t>(i)], GetParam().bytes[static_cast<std::size_t>(i)]) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseMac,
    ::testing::Values(MacCase{"FF.FF.FF.FF.FF.FF", 6, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
                      MacCase{"00:1a:2B-3c.4D:5e", 6, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},
                      MacCase{"00-11-22-33-44", 5, {0x00, 0x11, 0x22, 0x33, 0x44, 0}},
                      MacCase{"00.11.GG.33.44.55", 2, {0x00, 0x11, 0, 0, 0, 0}},
                      MacCase{"1FF.0x1a.0X2b.3cq.4d.5e.66", 6, {0xFF, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}},
                      MacCase{"0xg.1.2.3.4.5", 6, {0x00, 0x01, 0x02, 0x03, 0x04, 0x05}}, MacCase{"", 0, {}}));

}  // namespace
}  // namespace tessaly::testing
