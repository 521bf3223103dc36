// Outside text as the terminal and the logs show it: every control and every byte that
// is not UTF-8 written as \xNN, everything else as it was.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/escape_controls.h"
#include "support/param_print.h"

namespace tessaly::testing {
namespace {

using namespace std::string_literals;

struct EscapeCase {
  const char* name;
  std::string text;
  std::string shown;
};
TESSALY_PRINT_PARAM(EscapeCase, name)

class EscapeControlsCases : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeControlsCases, ShowsControlsAndOddBytesAsHex) {
  EXPECT_EQ(EscapeControls(GetParam().text), GetParam().shown);
}

const std::vector<EscapeCase> kEscapeCases{
    {"empty", "", ""},
    {"plain", "Main firmware : a.bin", "Main firmware : a.bin"},
    {"backslash_stays", R"(C:\fw\new\x1b.bin)", R"(C:\fw\new\x1b.bin)"},
    {"nul", "a\0b"s, R"(a\x00b)"},
    {"title_sequence", "\x1b]0;pwned\x07.bin", R"(\x1b]0;pwned\x07.bin)"},
    {"clear_screen", "\x1b[2J", R"(\x1b[2J)"},
    {"forged_line", "a.bin\nUpdated Main Firmware has succeeded.", R"(a.bin\x0aUpdated Main Firmware has succeeded.)"},
    {"tab_return_last_c0", "\t\r\x1f", R"(\x09\x0d\x1f)"},
    {"del", "a\x7f", R"(a\x7f)"},
#if defined(_WIN32)
    // The ANSI code page's letters and signs: a euro sign, e acute, u umlaut.
    {"ansi_code_page", "\x80 \xe9\xfc \x9b", "\x80 \xe9\xfc \x9b"},
#else
    {"c1_as_utf8", "\xc2\x80|\xc2\x9b|\xc2\x9f", R"(\x80|\x9b|\x9f)"},
    {"no_break_space_and_accents", "\xc2\xa0\xc3\xa9\xc3\xbc", "\xc2\xa0\xc3\xa9\xc3\xbc"},
    // Two CJK characters, A with macron (C4 80) and an emoji.
    {"multibyte", "\xe6\x97\xa5\xe6\x9c\xac \xc4\x80 \xf0\x9f\x98\x80",
     "\xe6\x97\xa5\xe6\x9c\xac \xc4\x80 \xf0\x9f\x98\x80"},
    {"raw_csi_byte", "\x9bK", R"(\x9bK)"},
    {"not_utf8", "\xff\xfe", R"(\xff\xfe)"},
    {"lone_continuation", "\x80", R"(\x80)"},
    {"cut_short_at_end", "a\xc3", R"(a\xc3)"},
    {"cut_short_before_ascii", "\xe6\x97-", R"(\xe6\x97-)"},
    {"overlong_slash", "\xc0\xaf", R"(\xc0\xaf)"},
    {"overlong_three_bytes", "\xe0\x80\x80", R"(\xe0\x80\x80)"},
    {"surrogate", "\xed\xa0\x80", R"(\xed\xa0\x80)"},
    {"beyond_unicode", "\xf4\x90\x80\x80", R"(\xf4\x90\x80\x80)"},
#endif
};

INSTANTIATE_TEST_SUITE_P(Cases, EscapeControlsCases, ::testing::ValuesIn(kEscapeCases),
                         [](const ::testing::TestParamInfo<EscapeCase>& p) { return std::string(p.param.name); });

// Every pair of bytes: one character from U+00A0 up stays as it is, one C1 control is
// \xNN of its code point; otherwise each byte is itself when it is printable ASCII and
// \xNN when not.
#if !defined(_WIN32)
TEST(EscapeControls, EveryPairOfBytes) {
  const auto alone = [](int c) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", c);
    return c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : std::string(hex);
  };
  int failures = 0;
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const std::string text{static_cast<char>(a), static_cast<char>(b)};
      const bool character = a >= 0xC2 && a <= 0xDF && (b & 0xC0) == 0x80;
      const bool c1 = character && a == 0xC2 && b < 0xA0;  // its code point is the second byte
      const std::string expected = c1 ? alone(b) : character ? text : alone(a) + alone(b);
      const std::string shown = EscapeControls(text);
      if (shown != expected && ++failures <= 5) ADD_FAILURE() << a << "," << b << ": " << shown;
    }
  }
  EXPECT_EQ(failures, 0);
}
#endif

}  // namespace
}  // namespace tessaly::testing
