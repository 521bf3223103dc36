#include "pj_protocol.h"

namespace tessaly::pjsim::wire {

std::vector<std::uint8_t> ModelAnswer(std::string_view modelCode) {
  std::vector<std::uint8_t> out(kModelAck.begin(), kModelAck.end());
  out.insert(out.end(), {kHeaderCommand, kFrameId0, kFrameId1, 'M', 'D'});
  // Keep the tail: the last character is the one the updater reads.
  if (modelCode.size() > kModelFieldLength) modelCode.remove_prefix(modelCode.size() - kModelFieldLength);
  out.insert(out.end(), kModelFieldLength - modelCode.size(), static_cast<std::uint8_t>(' '));
  for (char c : modelCode) out.push_back(static_cast<std::uint8_t>(c));
  out.push_back(kTerminator);
  return out;
}

}  // namespace tessaly::pjsim::wire
