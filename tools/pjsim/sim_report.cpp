#include "sim_report.h"

#include <cstdio>

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

std::string MonoText(MonoTime at) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%09lld", static_cast<long long>(ns / 1000000000),
                static_cast<long long>(ns % 1000000000));
  return text;
}

std::string_view HeardKindName(HeardDatagram::Kind kind) {
  return kind == HeardDatagram::Kind::kMagic ? "Magic packet" : "BOOTP reply";
}

std::vector<std::string> TimelineLines(const Report& report) {
  const auto until = [](const std::optional<MonoTime>& to) { return to ? MonoText(*to) : std::string("open"); };
  std::vector<std::string> out;
  for (const AwakeInterval& a : report.boot_awake) {
    out.push_back("timeline: boot loader awake run " + std::to_string(a.run) + " from " + MonoText(a.from) + " to " +
                  until(a.to) + " (" + std::string(BootPhaseName(a.end)) + ")");
  }
  for (const SubInterval& s : report.sub_received) {
    out.push_back("timeline: sub firmware received run " + std::to_string(s.run) + " connection " +
                  std::to_string(s.connection) + " from " + MonoText(s.from) + " to " + until(s.to) + " (" +
                  std::string(SubPhaseName(s.end)) + ")");
  }
  for (const HeardDatagram& h : report.heard) {
    out.push_back("timeline: heard " + std::string(HeardKindName(h.kind)) + " at " + MonoText(h.at) + " from " +
                  h.source + ", " + std::to_string(h.bytes) + " bytes");
  }
  if (!report.listener_error.empty()) out.push_back("timeline: listener not listening: " + report.listener_error);
  return out;
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
