#pragma once
// The updater's side of the control connection, written out here rather than taken from the
// simulator's tables, so a wrong byte there shows up as a failing test.

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace tessaly::pjsim::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Text(std::string_view s) { return Bytes(s.begin(), s.end()); }
inline Bytes Hex(std::initializer_list<int> v) {
  Bytes out;
  for (int b : v) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}
inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// What the updater sends.
inline const Bytes kPjreq = Text("PJREQ");
inline const Bytes kUdEt = Hex({0x21, 0x89, 0x01, 0x55, 0x44, 0x45, 0x54, 0x0A});
inline const Bytes kUdRe = Hex({0x21, 0x89, 0x01, 0x55, 0x44, 0x52, 0x45, 0x0A});
inline const Bytes kMdQuery = Hex({0x3F, 0x89, 0x01, 0x4D, 0x44, 0x0A});
inline const Bytes kSq = Hex({0x53, 0x51, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0});
inline const Bytes kSc = Hex({0x53, 0x43, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0});
// What a projector answers.
inline const Bytes kGreeting = Text("PJ_OK");
inline const Bytes kPjack = Text("PJACK");
inline const Bytes kUdAck = Hex({0x06, 0x89, 0x01, 0x55, 0x44, 0x0A});
inline const Bytes kMdAck = Hex({0x06, 0x89, 0x01, 0x4D, 0x44, 0x0A});

}  // namespace tessaly::pjsim::testing
