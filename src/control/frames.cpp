#include "control/frames.h"

#include <cstring>

namespace tessaly {

namespace {

bool TextEquals(const std::uint8_t* data, std::size_t length, std::string_view text) {
  // Compared as a C string: the text ends at the first NUL or at the end of the read.
  const void* nul = std::memchr(data, 0, length);
  const std::size_t textLength = nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - data) : length;
  return textLength == text.size() && std::memcmp(data, text.data(), text.size()) == 0;
}

}  // namespace

ControlRead ClassifyControlRead(const std::uint8_t* data, std::size_t length) {
  if (!data || length == 0) return ControlRead::Other;
  if (TextEquals(data, length, kGreeting)) return ControlRead::Greeting;
  if (TextEquals(data, length, kSessionAck)) return ControlRead::SessionAck;
  // Only the bytes that tell the frames apart are examined; the projector's others vary.
  if (length == kUdAckLength && data[0] == kAckHeader && data[3] == 'U' && data[4] == 'D') return ControlRead::UdAck;
  if (length == kModelAnswerLength && data[0] == kAckHeader && data[3] == 'M' && data[4] == 'D') {
    return ControlRead::ModelAnswer;
  }
  if (length >= 2 && data[0] == 's' && data[1] == 'q') return ControlRead::SqReply;
  if (length >= 2 && data[0] == 's' && data[1] == 'c') return ControlRead::ScReply;
  return ControlRead::Other;
}

}  // namespace tessaly
