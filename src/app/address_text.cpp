#include "app/address_text.h"

#include <arpa/inet.h>

#include <cctype>
#include <string_view>
#include <vector>

namespace tessaly {

namespace {

bool IsSeparator(char c) { return c == '.' || c == '-' || c == ':'; }

std::vector<std::string_view> SplitParts(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsSeparator(text[i])) ++i;
    const std::size_t start = i;
    while (i < text.size() && !IsSeparator(text[i])) ++i;
    if (i > start) parts.push_back(text.substr(start, i - start));
  }
  return parts;
}

int DigitValue(char c, int base) {
  int v = -1;
  if (c >= '0' && c <= '9')
    v = c - '0';
  else if (c >= 'a' && c <= 'f')
    v = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F')
    v = c - 'A' + 10;
  return v < base ? v : -1;
}

// Leading white space skipped, an optional sign, digits; what follows is ignored. Only
// the low 8 bits are kept, so the running value may wrap freely.
bool ReadNumber(std::string_view part, int base, std::uint8_t& out) {
  std::size_t i = 0;
  while (i < part.size() && std::isspace(static_cast<unsigned char>(part[i]))) ++i;
  bool negative = false;
  if (i < part.size() && (part[i] == '+' || part[i] == '-')) negative = part[i++] == '-';
  if (base == 16 && i + 1 < part.size() && part[i] == '0' && (part[i + 1] == 'x' || part[i + 1] == 'X') &&
      i + 2 < part.size() && DigitValue(part[i + 2], 16) >= 0) {
    i += 2;
  }
  std::uint32_t value = 0;
  bool any = false;
  for (; i < part.size() && DigitValue(part[i], base) >= 0; ++i) {
    value = value * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(DigitValue(part[i], base));
    any = true;
  }
  if (!any) return false;
  if (negative) value = 0u - value;
  out = static_cast<std::uint8_t>(value & 0xFFu);
  return true;
}

template <std::size_t N>
int Parse(const std::string& text, std::array<std::uint8_t, N>& out, int base) {
  int stored = 0;
  for (std::string_view part : SplitParts(text)) {
    if (stored == static_cast<int>(N)) break;
    std::uint8_t byte = 0;
    if (!ReadNumber(part, base, byte)) break;
    out[static_cast<std::size_t>(stored++)] = byte;
  }
  return stored;
}

}  // namespace

int ParseIpText(const std::string& text, std::array<std::uint8_t, 4>& out) { return Parse(text, out, 10); }

int ParseMacText(const std::string& text, std::array<std::uint8_t, 6>& out) { return Parse(text, out, 16); }

bool IsDottedIpv4(const std::string& text) {
  in_addr address{};
  return ::inet_pton(AF_INET, text.c_str(), &address) == 1;
}

}  // namespace tessaly
