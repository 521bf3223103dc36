// SHA-256 by the system's implementation, against the standard's own test vectors, fed
// whole and in uneven pieces.

#include <gtest/gtest.h>

#include <string>

#include "platform/sha256.h"
#include "support/param_print.h"

namespace tessaly::testing {
namespace {

std::string Hex(const Sha256Digest& d) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : d) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

// The input is UNIT written REPEAT times, made in the test itself: every test program
// registers these cases at start, and a million-byte copy there would slow each one.
struct DigestCase {
  const char* name;
  const char* unit;
  std::size_t repeat;
  std::size_t piece;  // bytes per Update call
  const char* digest;
  std::string Input() const {
    std::string input;
    for (std::size_t i = 0; i < repeat; ++i) input += unit;
    return input;
  }
};
TESSALY_PRINT_PARAM(DigestCase, name)

class Sha256Vectors : public ::testing::TestWithParam<DigestCase> {};

TEST_P(Sha256Vectors, MatchTheStandard) {
  const DigestCase& c = GetParam();
  const std::string input = c.Input();
  Sha256 sha;
  ASSERT_TRUE(sha.ok());
  for (std::size_t at = 0; at < input.size(); at += c.piece) {
    ASSERT_TRUE(sha.Update(input.data() + at, std::min(c.piece, input.size() - at)));
  }
  Sha256Digest digest{};
  ASSERT_TRUE(sha.Final(digest));
  EXPECT_EQ(Hex(digest), c.digest);
  EXPECT_FALSE(sha.Update("x", 1)) << "a finished digest takes nothing more";
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, Sha256Vectors,
    ::testing::Values(DigestCase{"empty", "", 1, 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
                      DigestCase{"abc", "abc", 1, 3, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
                      DigestCase{"two_blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1, 5,
                                 "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
                      DigestCase{"million_a_uneven", "a", 1000000, 997,
                                 "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}),
    [](const ::testing::TestParamInfo<DigestCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace tessaly::testing
