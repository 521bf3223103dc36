#include "platform/escape_controls.h"

#include <cstdint>

namespace tessaly {

namespace {

void AppendEscaped(std::string& out, std::uint32_t value) {
  static const char kDigits[] = "0123456789abcdef";
  out += "\\x";
  out += kDigits[(value >> 4) & 15];
  out += kDigits[value & 15];
}

// The length of the valid UTF-8 sequence of at least two bytes at `at`, and its code
// point; 0 when the byte there starts none (overlong forms and surrogates included).
std::size_t Utf8Sequence(std::string_view text, std::size_t at, std::uint32_t& code) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(at);
  std::size_t length = 0;
  std::uint32_t least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    least = 0x80;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    least = 0x800;
    code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    least = 0x10000;
    code = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3Fu);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

}  // namespace

std::string EscapeControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const auto c = static_cast<std::uint8_t>(text[at]);
    if (c < 0x80) {
      if (c < 0x20 || c == 0x7F) {
        AppendEscaped(out, c);
      } else {
        out += static_cast<char>(c);
      }
      ++at;
      continue;
    }
#if defined(_WIN32)
    // Text here is in the ANSI code page, as the console is set to: bytes from 0x80 on are
    // its letters and signs (0x80 is the euro sign in Western Europe's), never controls.
    out += static_cast<char>(c);
    ++at;
    continue;
#endif
    std::uint32_t code = 0;
    const std::size_t length = Utf8Sequence(text, at, code);
    if (length == 0) {
      // A raw byte such as 0x9B would be a CSI to a terminal that reads 8-bit controls.
      AppendEscaped(out, c);
      ++at;
    } else if (code <= 0x9F) {
      AppendEscaped(out, code);
      at += length;
    } else {
      out.append(text.substr(at, length));
      at += length;
    }
  }
  return out;
}

}  // namespace tessaly
