#include "sim_report.h"

namespace tessaly::pjsim {

std::string_view StepName(Step step) {
  switch (step) {
    case Step::kSilent: return "silent (no greeting)";
    case Step::kAwaitPjreq: return "awaiting PJREQ";
    case Step::kAwaitCommand: return "awaiting command after PJACK";
    case Step::kAwaitSubCommand: return "awaiting Sub download-mode command";
    case Step::kAwaitSq: return "awaiting SQ";
    case Step::kAwaitSc: return "awaiting SC";
    case Step::kMainDownload: return "main download mode";
    case Step::kSubStream: return "sub stream";
  }
  return "?";
}

std::string ToHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (std::uint8_t b : bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return out;
}

std::string Violation::ToString() const {
  return "connection " + std::to_string(connection) + " [" + std::string(StepName(step)) +
         "]: " + text;
}

int Report::ended_connection_count() const {
  int n = 0;
  for (const ConnectionRecord& c : connections) n += c.ended ? 1 : 0;
  return n;
}

std::vector<std::string> Report::MessageNames() const {
  std::vector<std::string> out;
  for (const Message& m : messages) out.push_back(m.name);
  return out;
}

std::vector<std::string> Report::MessageNames(int connection) const {
  std::vector<std::string> out;
  for (const Message& m : messages) {
    if (m.connection == connection) out.push_back(m.name);
  }
  return out;
}

}  // namespace tessaly::pjsim
