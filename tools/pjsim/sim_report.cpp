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

std::string_view BootPhaseName(BootPhase phase) {
  switch (phase) {
    case BootPhase::kOff: return "off";
    case BootPhase::kAwaitMagic: return "awaiting the Magic packet";
    case BootPhase::kBootp: return "awaiting the BOOTP reply";
    case BootPhase::kTftp: return "receiving the image by TFTP";
    case BootPhase::kRestarting: return "restarting";
    case BootPhase::kRestarted: return "restarted";
    case BootPhase::kSilent: return "silent (fault)";
    case BootPhase::kGaveUp: return "gave up";
    case BootPhase::kStopped: return "stopped";
    case BootPhase::kFailed: return "failed to start";
  }
  return "?";
}

std::string_view SubPhaseName(SubPhase phase) {
  switch (phase) {
    case SubPhase::kOff: return "off";
    case SubPhase::kBlocks: return "receiving blocks";
    case SubPhase::kBurning: return "burning";
    case SubPhase::kClosing: return "burn report sent, awaiting the close";
    case SubPhase::kClosed: return "closed";
    case SubPhase::kLost: return "lost";
    case SubPhase::kCutShort: return "cut short by the projector (fault)";
    case SubPhase::kEnded: return "ended before the close";
    case SubPhase::kStopped: return "stopped";
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
  return "connection " + std::to_string(connection) + " [" + std::string(StepName(step)) + "]: " + text;
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

void ReportStore::Change(const std::function<void(Report&)>& change) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    change(report_);
  }
  changed_.notify_all();
}

Report ReportStore::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return report_;
}

void ReportStore::Read(const std::function<void(const Report&)>& read) const {
  std::lock_guard<std::mutex> lock(mutex_);
  read(report_);
}

bool ReportStore::WaitFor(const std::function<bool(const Report&)>& condition,
                          std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return condition(report_); });
}

}  // namespace tessaly::pjsim
