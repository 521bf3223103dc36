#include "control_hooks.h"

namespace tessaly::pjsim {

void ControlHooks::OnSubStreamData(std::span<const std::uint8_t> bytes, Channel& channel) {
  channel.RecordMessage("SUB-DATA", bytes, true);
}

}  // namespace tessaly::pjsim
