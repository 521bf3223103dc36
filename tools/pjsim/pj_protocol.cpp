#include "pj_protocol.h"

namespace tessaly::pjsim::wire {

std::vector<std::uint8_t> ModelAnswer(std::string_view modelCode) {
  std::vector<std::uint8_t> out;
  out.reserve(kModelAck.size() + 5 + kModelFieldLength + 1);
  out.assign(kModelAck.begin(), kModelAck.end());
  for (std::uint8_t b : {kHeaderCommand, kFrameId0, kFrameId1, std::uint8_t{'M'}, std::uint8_t{'D'}}) out.push_back(b);
  // Keep the tail: the last character is the one the updater reads.
  if (modelCode.size() > kModelFieldLength) modelCode.remove_prefix(modelCode.size() - kModelFieldLength);
  out.insert(out.end(), kModelFieldLength - modelCode.size(), static_cast<std::uint8_t>(' '));
  for (char c : modelCode) out.push_back(static_cast<std::uint8_t>(c));
  out.push_back(kTerminator);
  return out;
}

}  // namespace tessaly::pjsim::wire
