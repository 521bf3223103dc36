#include "sim_options.h"

#include <array>

namespace tessaly::pjsim {
namespace {

struct CloseAtEntry {
  CloseAt value;
  std::string_view name;
};

constexpr std::array<CloseAtEntry, 8> kCloseAtEntries{{
    {CloseAt::kNever, "never"},
    {CloseAt::kAfterAccept, "accept"},
    {CloseAt::kAfterGreeting, "greeting"},
    {CloseAt::kAfterPjack, "pjack"},
    {CloseAt::kAfterUdAck, "ud-ack"},
    {CloseAt::kAfterModelAnswer, "model-answer"},
    {CloseAt::kAfterSq, "sq"},
    {CloseAt::kAfterSc, "sc"},
}};

constexpr std::chrono::milliseconds kMaxDelay{60000};

}  // namespace

std::string_view CloseAtName(CloseAt closeAt) {
  for (const CloseAtEntry& e : kCloseAtEntries) {
    if (e.value == closeAt) return e.name;
  }
  return "?";
}

std::optional<CloseAt> ParseCloseAt(std::string_view name) {
  for (const CloseAtEntry& e : kCloseAtEntries) {
    if (e.name == name) return e.value;
  }
  return std::nullopt;
}

std::string CloseAtNames() {
  std::string out;
  for (const CloseAtEntry& e : kCloseAtEntries) {
    if (!out.empty()) out += '|';
    out += e.name;
  }
  return out;
}

std::string ValidateOptions(const SimOptions& options) {
  const std::string& code = options.model_code;
  if (code.empty() || code.size() > kMaxModelCodeLength) {
    return "model code must have 1 to " + std::to_string(kMaxModelCodeLength) + " characters";
  }
  for (char c : code) {
    if (c < 0x21 || c > 0x7E) return "model code must be printable ASCII without spaces";
  }
  if (options.answer_delay.count() < 0 || options.answer_delay > kMaxDelay) {
    return "answer delay must be 0 to " + std::to_string(kMaxDelay.count()) + " ms";
  }
  if (options.split_gap.count() < 0 || options.split_gap > kMaxDelay) {
    return "split gap must be 0 to " + std::to_string(kMaxDelay.count()) + " ms";
  }
  return {};
}

}  // namespace tessaly::pjsim
