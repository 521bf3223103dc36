#pragma once
// What each read of the control connection is, restated from the frames' description
// rather than from the classifier, so that the two can be held against each other.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "control/frames.h"

namespace tessaly::fuzz {

inline ControlRead ReferenceClassify(const std::uint8_t* data, std::size_t length) {
  if (data == nullptr || length == 0) return ControlRead::Other;
  const std::string_view all(reinterpret_cast<const char*>(data), length);
  const std::string_view text = all.substr(0, all.find('\0'));  // as a C string
  if (text == "PJ_OK") return ControlRead::Greeting;
  if (text == "PJACK") return ControlRead::SessionAck;
  if (length == 6 && data[0] == 0x06 && all.substr(3, 2) == "UD") return ControlRead::UdAck;
  if (length == 26 && data[0] == 0x06 && all.substr(3, 2) == "MD") return ControlRead::ModelAnswer;
  if (all.substr(0, 2) == "sq") return ControlRead::SqReply;
  if (all.substr(0, 2) == "sc") return ControlRead::ScReply;
  return ControlRead::Other;
}

}  // namespace tessaly::fuzz
