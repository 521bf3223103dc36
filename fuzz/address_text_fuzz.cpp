// The projector's address texts as typed: any text, as IPv4 and as MAC address.

#include <array>
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/address_text.h"
#include "fuzz_support.h"

namespace tessaly::fuzz {
namespace {

bool IsSeparator(char c) { return c == '.' || c == '-' || c == ':'; }

// The same rules written the slow way: the value is kept modulo 256 throughout, which
// is what keeping the low 8 bits of a wrapping 32-bit number amounts to.
template <std::size_t N>
int Reference(std::string_view text, std::array<std::uint8_t, N>& out, unsigned base) {
  int stored = 0;
  std::size_t i = 0;
  while (stored < static_cast<int>(N)) {
    while (i < text.size() && IsSeparator(text[i])) ++i;
    if (i == text.size()) break;
    const std::size_t end = [&] {
      std::size_t e = i;
      while (e < text.size() && !IsSeparator(text[e])) ++e;
      return e;
    }();
    std::string_view field = text.substr(i, end - i);
    i = end;
    std::size_t j = 0;
    while (j < field.size() && std::isspace(static_cast<unsigned char>(field[j]))) ++j;
    bool negative = false;
    if (j < field.size() && (field[j] == '+' || field[j] == '-')) negative = field[j++] == '-';
    auto digit = [&](char c) -> int {
      const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      const std::string_view digits = std::string_view("0123456789abcdef").substr(0, base);
      const std::size_t at = digits.find(lower);
      return at == std::string_view::npos ? -1 : static_cast<int>(at);
    };
    if (base == 16 && field.substr(j, 2).size() == 2 && field[j] == '0' &&
        (field[j + 1] == 'x' || field[j + 1] == 'X') && j + 2 < field.size() && digit(field[j + 2]) >= 0) {
      j += 2;
    }
    unsigned value = 0;
    bool any = false;
    for (; j < field.size() && digit(field[j]) >= 0; ++j) {
      value = (value * base + static_cast<unsigned>(digit(field[j]))) % 256u;
      any = true;
    }
    if (!any) break;
    if (negative) value = (256u - value) % 256u;
    out[static_cast<std::size_t>(stored++)] = static_cast<std::uint8_t>(value);
  }
  return stored;
}

template <std::size_t N, typename Parse>
void CheckOne(const std::string& text, Parse parse, unsigned base) {
  std::array<std::uint8_t, N> got;
  got.fill(0xA5);
  const int n = parse(text, got);
  FUZZ_CHECK(n >= 0 && n <= static_cast<int>(N));
  for (std::size_t i = static_cast<std::size_t>(n); i < N; ++i) FUZZ_CHECK(got[i] == 0xA5);  // untouched

  std::array<std::uint8_t, N> want;
  want.fill(0xA5);
  FUZZ_CHECK(Reference(text, want, base) == n);
  FUZZ_CHECK(want == got);

  // What was read, written back in the plain form, reads the same.
  std::string plain;
  for (int i = 0; i < n; ++i) {
    char field[8];
    std::snprintf(field, sizeof field, base == 10 ? "%u" : "%02X",
                  static_cast<unsigned>(got[static_cast<std::size_t>(i)]));
    if (i > 0) plain += base == 10 ? "." : "-";
    plain += field;
  }
  std::array<std::uint8_t, N> again;
  again.fill(0x5A);
  FUZZ_CHECK(parse(plain, again) == n);
  for (int i = 0; i < n; ++i) FUZZ_CHECK(again[static_cast<std::size_t>(i)] == got[static_cast<std::size_t>(i)]);
}

}  // namespace
}  // namespace tessaly::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessaly;
  const std::string text(reinterpret_cast<const char*>(data), size);
  fuzz::CheckOne<4>(
      text, [](const std::string& t, std::array<std::uint8_t, 4>& o) { return ParseIpText(t, o); }, 10);
  fuzz::CheckOne<6>(
      text, [](const std::string& t, std::array<std::uint8_t, 6>& o) { return ParseMacText(t, o); }, 16);
  return 0;
}
