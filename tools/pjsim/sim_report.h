#pragma once
// What the simulator saw: every message the updater sent, every protocol violation, and
// how far each connection got. Tests assert on it; the executable prints it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly::pjsim {

// Where a connection's exchange stands, seen from the projector.
enum class Step {
  kSilent,           // accepted without a greeting; nothing is due from the updater
  kAwaitPjreq,       // greeting sent
  kAwaitCommand,     // PJACK sent: Main download-mode command or model query due
  kAwaitSubCommand,  // model answered: Sub download-mode command due
  kAwaitSq,          // Sub command acknowledged
  kAwaitSc,          // "sq" sent
  kMainDownload,     // Main command acknowledged; the boot loader takes over
  kSubStream,        // "sc" sent; the Sub firmware stream flows
};

std::string_view StepName(Step step);

// "21 89 01 55 44 45 54 0A"
std::string ToHex(std::span<const std::uint8_t> bytes);

struct Message {
  int connection = 0;  // 1 for the first accepted connection
  Step step = Step::kAwaitPjreq;  // the step at which it arrived
  // PJREQ, UD-ET, UD-RE, MD?, SQ, SC, SUB-DATA; for what the protocol does not know:
  // TEXT, FRAME, ACK, RECORD, UNKNOWN.
  std::string name;
  std::vector<std::uint8_t> bytes;
  bool valid = true;  // false when any byte differs from the protocol's
  std::string Hex() const { return ToHex(bytes); }
};

struct Violation {
  int connection = 0;
  Step step = Step::kAwaitPjreq;
  std::string text;  // what came, what was expected
  std::string ToString() const;
};

struct ConnectionRecord {
  int index = 0;
  std::string peer;  // "127.0.0.1:40512"
  Step last_step = Step::kAwaitPjreq;
  bool ended = false;
  std::string end_reason;  // "closed by the updater", "closed after pjack (fault)", ...
};

struct Report {
  std::vector<Message> messages;  // in order of arrival, all connections
  std::vector<Violation> violations;
  std::vector<ConnectionRecord> connections;  // in order of acceptance
  bool main_download_mode_entered = false;
  bool sub_stream_reached = false;
  std::size_t sub_stream_bytes = 0;

  int connection_count() const { return static_cast<int>(connections.size()); }
  int ended_connection_count() const;
  std::vector<std::string> MessageNames() const;
  std::vector<std::string> MessageNames(int connection) const;
};

}  // namespace tessaly::pjsim
