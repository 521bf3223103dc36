// tessaly-pjsim: a projector's control service, boot loader and Sub firmware receiver for
// dry runs and training.

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "projector_sim.h"

namespace {

using namespace tessaly::pjsim;

constexpr std::size_t kShownSubBytes = 32;

// One flushed line per event, so a script reading the pipe sees each at once.
class PrintingHooks final : public ControlHooks, public BootLoaderObserver {
 public:
  void Line(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::cout << text << std::endl;
  }

  void OnConnectionAccepted(const ConnectionRecord& c) override { Line(Prefix(c.index) + "accepted from " + c.peer); }
  void OnMessage(const Message& m) override {
    std::string text = Prefix(m.connection) + "received " + m.name;
    if (!m.valid) text += " (invalid)";
    // Stream pieces and whole blocks: the start is enough to recognise them.
    if (m.bytes.size() > kShownSubBytes) {
      text += ", " + std::to_string(m.bytes.size()) +
              " bytes: " + ToHex(std::span<const std::uint8_t>(m.bytes).first(kShownSubBytes)) + " ...";
    } else {
      text += ": " + m.Hex();
    }
    Line(text);
  }
  void OnViolation(const Violation& v) override { Line("violation: " + v.ToString()); }
  void OnConnectionEnded(const ConnectionRecord& c) override {
    Line(Prefix(c.index) + "ended at step \"" + std::string(StepName(c.last_step)) + "\": " + c.end_reason);
  }
  void OnMainDownloadMode(Channel& channel) override {
    Line(Prefix(channel.connection()) + "main download mode entered");
  }
  void OnSubStream(Channel& channel) override { Line(Prefix(channel.connection()) + "sub stream reached"); }

  void OnBootEvent(const std::string& text) override { Line("boot loader: " + text); }
  void OnBootViolation(const Violation& v) override { Line("violation: " + v.ToString()); }

 private:
  static std::string Prefix(int connection) { return "connection " + std::to_string(connection) + ": "; }
  std::mutex mutex_;
};

std::string BootLoaderSetup(const SimOptions& o) {
  std::string out = "boot loader: MAC " + MacAddressText(o.mac) + ", Magic on " + o.broadcast_bind_address + ":" +
                    std::to_string(o.magic_port) + ", BOOTP " + std::to_string(o.bootp_client_port) + " -> " +
                    o.broadcast_address + ":" + std::to_string(o.bootp_server_port) + ", TFTP to port " +
                    std::to_string(o.tftp_port) + ", restart delay " + std::to_string(o.restart_delay.count()) + " ms";
  if (o.expected_image) out += ", expected image " + std::to_string(o.expected_image->size()) + " bytes";
  std::vector<std::string> faults;
  if (o.drop_acks > 0) faults.push_back("drop " + std::to_string(o.drop_acks) + " ACK(s)");
  if (o.duplicate_acks) faults.push_back("duplicate ACKs");
  if (o.stop_at_block > 0) faults.push_back("stop at block " + std::to_string(o.stop_at_block));
  if (o.bootp_mac) faults.push_back("chaddr " + MacAddressText(*o.bootp_mac));
  if (o.bootp_sname != "stellaris") faults.push_back("sname \"" + o.bootp_sname + "\"");
  if (o.skip_bootp) faults.push_back("no BOOTP");
  for (std::size_t i = 0; i < faults.size(); ++i) out += (i == 0 ? "; faults: " : ", ") + faults[i];
  return out;
}

std::string SubReceiverSetup(const SimOptions& o) {
  std::string out = "sub receiver: burn " + std::to_string(o.burn_time.count()) + " ms";
  if (o.sub_expected_image) {
    out +=
        ", expected Sub image " + std::to_string(o.sub_expected_image->size()) + " bytes (payload " +
        std::to_string(o.sub_expected_image->size() - std::min(o.sub_expected_image->size(), kSubImageHeaderLength)) +
        ")";
  }
  std::vector<std::string> faults;
  if (o.sub_bad_ack_at > 0) faults.push_back("wrong acknowledgement for block " + std::to_string(o.sub_bad_ack_at));
  if (o.sub_split_ack) faults.push_back("split acknowledgements");
  if (o.sub_split_burn_report) faults.push_back("split burn report");
  if (o.sub_wrong_checksum) faults.push_back("wrong checksum");
  if (o.sub_close_upper) faults.push_back("\"SD\" closing reply");
  if (o.sub_close_mid_block > 0) faults.push_back("close in block " + std::to_string(o.sub_close_mid_block));
  for (std::size_t i = 0; i < faults.size(); ++i) out += (i == 0 ? "; faults: " : ", ") + faults[i];
  return out;
}

std::string Hex32(std::uint32_t v) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(v));
  return text;
}

std::vector<std::string> SubReceiverSummary(const SubReceiverReport& s) {
  std::vector<std::string> out;
  std::string line = "sub receiver: " + std::string(SubPhaseName(s.phase)) + " (" + s.where + "), " +
                     std::to_string(s.blocks) + " block(s) (" + std::to_string(s.whole_blocks) + " whole" +
                     (s.last_block_received ? ", last " + std::to_string(s.last_block_bytes) + " bytes" : "") + "), " +
                     std::to_string(s.payload_bytes) + " payload bytes, checksum claimed " +
                     (s.checksum_claimed ? Hex32(*s.checksum_claimed) : std::string("(none)")) + ", computed " +
                     Hex32(s.checksum_computed);
  if (s.checksum_reported) line += ", reported " + Hex32(*s.checksum_reported);
  line += ", " + std::to_string(s.acks_sent) + " acknowledgement(s), burn report " +
          (s.burn_report_sent ? "sent" : "not sent") + ", close " + (s.close_reply_sent ? "answered" : "not answered");
  if (s.bytes_after_close > 0) line += ", " + std::to_string(s.bytes_after_close) + " byte(s) after the close";
  out.push_back(line);
  if (!s.block_records.empty()) {
    // Pacing, for diagnosis only: the time from one block's end to the next one's.
    std::string pacing = "sub pacing (ms from the previous block's end):";
    for (const SubBlockRecord& b : s.block_records) {
      pacing += " " + std::to_string(b.index) + ":" + std::to_string(b.since_previous.count());
    }
    if (s.early_bytes > 0) pacing += "; " + std::to_string(s.early_bytes) + " byte(s) came before an answer was sent";
    out.push_back(pacing);
  }
  out.push_back("sub image: " + s.verdict);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view program = argc > 0 ? argv[0] : "tessaly-pjsim";
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  CommandLine commandLine = ParseCommandLine(args);
  if (commandLine.action == CommandLine::Action::kHelp) {
    std::cout << UsageText(program);
    return 0;
  }
  if (commandLine.action == CommandLine::Action::kError) {
    std::cerr << program << ": " << commandLine.error << "\n" << UsageText(program);
    return 2;
  }
  // Read once now: a wrong path shows at start, not when the updater is half-way.
  if (std::string problem = LoadExpectedImage(commandLine.options); !problem.empty()) {
    std::cerr << program << ": " << problem << "\n";
    return 2;
  }
  if (std::string problem = LoadSubImage(commandLine.options); !problem.empty()) {
    std::cerr << program << ": " << problem << "\n";
    return 2;
  }

  // Blocked before any thread starts, so only sigwait() below ever sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  auto hooks = std::make_shared<PrintingHooks>();
  ProjectorSim sim(commandLine.options, hooks, hooks,
                   [hooks](const std::string& text) { hooks->Line("sub receiver: " + text); });
  if (!sim.Start()) {
    std::cerr << program << ": " << sim.error() << "\n";
    return 2;
  }
  const SimOptions& o = commandLine.options;
  hooks->Line("listening on " + o.listen_address + ":" + std::to_string(sim.port()) + ", model " + o.model_code +
              (o.close_at != CloseAt::kNever ? ", close at " + std::string(CloseAtName(o.close_at)) : "") +
              (o.close_with_reset ? ", closes with a reset" : "") +
              (o.repeat_ud_ack ? ", Main download-mode acknowledgement twice" : ""));
  hooks->Line(BootLoaderSetup(o));
  hooks->Line(SubReceiverSetup(o));

  int received = 0;
  sigwait(&stopSignals, &received);
  sim.Stop();

  const Report report = sim.Snapshot();
  for (const std::string& line : TimelineLines(report)) hooks->Line(line);
  const BootLoaderReport& b = report.boot_loader;
  if (b.run > 0) {
    hooks->Line("boot loader: " + std::to_string(b.magic_packets) + " Magic packet(s) (" +
                std::to_string(b.magic_packets_valid) + " valid), " + std::to_string(b.bootp_requests_sent) +
                " BOOTP request(s), " + std::to_string(b.bootp_replies) + " reply(ies) (" +
                std::to_string(b.bootp_replies_valid) + " valid), " + std::to_string(b.tftp_blocks) + " block(s), " +
                std::to_string(b.resends_seen) + " resend(s) seen, " + std::to_string(b.bytes_received) +
                " bytes, image intact: " + (b.image_intact ? "yes" : "no"));
    hooks->Line("main image: " + (b.verdict.empty() ? std::string(BootPhaseName(b.phase)) : b.verdict));
  }
  const SubReceiverReport& s = report.sub;
  if (s.run > 0) {
    for (const std::string& line : SubReceiverSummary(s)) hooks->Line(line);
  }
  if (!b.error.empty()) {
    hooks->Line("verdict: the boot loader could not start: " + b.error);
    return 2;
  }
  const bool image_bad = b.transfer_started && !b.image_intact;
  const bool sub_image_bad = s.run > 0 && !s.intact;
  if (report.violations.empty() && !image_bad && !sub_image_bad) {
    hooks->Line("verdict: OK");
    return 0;
  }
  std::string verdict = "verdict: " + std::to_string(report.violations.size()) + " violation(s)";
  if (image_bad) verdict += ", Main image not received intact";
  if (sub_image_bad) verdict += ", Sub image not received intact";
  hooks->Line(verdict);
  for (const Violation& v : report.violations) hooks->Line("  " + v.ToString());
  return 1;
}
