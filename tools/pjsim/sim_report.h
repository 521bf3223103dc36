#pragma once
// What the simulator saw: every message the updater sent, every protocol violation, and
// how far each connection got. Tests assert on it; the executable prints it.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
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
  int connection = 0;             // 1 for the first accepted connection
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

// Where the boot loader's run stands.
enum class BootPhase {
  kOff,         // not started
  kAwaitMagic,  // listening for the Magic packet
  kBootp,       // BOOTP request sent, awaiting the reply
  kTftp,        // read request sent, receiving the image
  kRestarting,  // last block acknowledged; the control service is down
  kRestarted,   // the control service answers again: the run is over
  kSilent,      // went silent on purpose (stop-at-block fault)
  kGaveUp,      // no answer after the retries, or the server ended the transfer
  kStopped,     // Stop() came first
  kFailed,      // could not start (sockets, options)
};

std::string_view BootPhaseName(BootPhase phase);

// The boot loader's side of the Main firmware stage: what it saw of the updater's Magic,
// BOOTP and TFTP traffic. Its violations are in Report::violations (step kMainDownload).
struct BootLoaderReport {
  int run = 0;         // 1 for the first boot-loader run, counted on every start
  int connection = 0;  // the control connection whose Main command started it; 0 if none
  BootPhase phase = BootPhase::kOff;
  std::string error;  // why the boot loader could not start
  // The ports bound (the chosen ones when the options asked for 0).
  std::uint16_t magic_port = 0;
  std::uint16_t bootp_client_port = 0;
  std::uint16_t tftp_client_port = 0;

  int magic_packets = 0;        // every datagram on the Magic port
  int magic_packets_valid = 0;  // 30 bytes, 0xAA x6, our MAC x4

  int bootp_requests_sent = 0;
  std::uint32_t bootp_xid = 0;
  int bootp_replies = 0;  // with our xid, valid or not
  int bootp_replies_valid = 0;
  int bootp_replies_ignored = 0;  // other xid or too short to carry one
  std::string server_address;     // where the read request went

  int tftp_requests_sent = 0;          // read requests, resends included
  int data_datagrams = 0;              // DATA datagrams from the server, taken or not
  std::size_t tftp_blocks = 0;         // blocks appended to the image
  int resends_seen = 0;                // the previous block again
  int acks_sent = 0;                   // datagrams, duplicates included
  int acks_withheld = 0;               // drop-acks fault
  int timeouts = 0;                    // TFTP waits that ran out
  std::uint16_t server_data_port = 0;  // the transfer identifier of the server

  bool transfer_started = false;  // DATA block 1 taken
  bool image_complete = false;    // a block shorter than 512 bytes taken
  bool image_compared = false;    // an expected image was given
  bool image_intact = false;      // complete and, when compared, equal byte for byte
  std::size_t bytes_received = 0;

  bool restart_began = false;
  std::chrono::steady_clock::time_point restart_began_at{};
  bool restarted = false;
  std::string verdict;  // the Main image verdict, "" while the run goes on

  int violations = 0;  // how many of Report::violations are the boot loader's
};

// Where the Sub firmware exchange stands, seen from the video processor.
enum class SubPhase {
  kOff,       // no Sub stream yet
  kBlocks,    // receiving blocks
  kBurning,   // last block acknowledged, burn report not sent yet
  kClosing,   // burn report sent: continue and close records due
  kClosed,    // close record answered: the exchange is complete
  kLost,      // the lengths make no sense: the stream is no longer followed
  kCutShort,  // the projector closed the connection in a block (fault)
  kEnded,     // the connection ended before the close record
  kStopped,   // the simulator stopped first
};

std::string_view SubPhaseName(SubPhase phase);

// One block whose payload has been taken, whole or cut short.
struct SubBlockRecord {
  std::size_t index = 0;           // 1 for the first block
  bool last = false;               // the last, short block
  std::size_t expected_bytes = 0;  // what its header announced (the length followed)
  std::size_t bytes = 0;           // what arrived
  std::uint32_t sum = 0;           // byte sum of this block alone
  // From the end of the previous block's payload (for the first: from "sc") to the end of
  // this one. Pacing only; never a violation.
  std::chrono::milliseconds since_previous{0};
  bool intact = false;  // complete and, when compared, equal to the image
};

// The video processor's side of the Sub firmware stage: what it saw of the stream after
// "sc". Its violations are in Report::violations (step kSubStream).
struct SubReceiverReport {
  int run = 0;         // counted on every Sub stream, the latest wins
  int connection = 0;  // the control connection that carried it
  SubPhase phase = SubPhase::kOff;

  std::size_t blocks = 0;        // blocks whose payload is complete, the last included
  std::size_t whole_blocks = 0;  // of those, whole blocks of 16368 bytes
  bool last_block_received = false;
  std::size_t last_block_bytes = 0;
  std::size_t payload_bytes = 0;                   // every payload byte taken
  std::optional<std::uint32_t> checksum_claimed;   // the last header's
  std::uint32_t checksum_computed = 0;             // byte sum of the payload taken
  std::optional<std::uint32_t> checksum_reported;  // what the burn report carried

  bool image_compared = false;  // an expected Sub image was given
  std::size_t image_payload_bytes = 0;
  std::size_t differing_bytes = 0;              // beyond the image's end included
  std::optional<std::size_t> first_difference;  // payload offset

  int acks_sent = 0;  // 48-byte block acknowledgements
  bool last_ack_sent = false;
  bool burn_report_sent = false;
  int continue_records = 0;  // "saB" taken, valid or not
  bool close_received = false;
  bool close_reply_sent = false;
  std::size_t bytes_after_close = 0;
  // Bytes that came in the same read as the end of a block, behind it: sent before the
  // updater could have seen the answer. A diagnostic, not a violation.
  std::size_t early_bytes = 0;

  std::vector<SubBlockRecord> block_records;
  // Checksum, content and image-size faults, and a stream that could not be followed:
  // each spoils the image. Faults in the records' other bytes do not.
  int payload_faults = 0;
  bool intact = false;  // last block taken, and no payload fault
  std::string where;    // where the stream stands, or stood when it ended
  std::string verdict;  // one line
  int violations = 0;   // how many of Report::violations are the Sub receiver's
};

// The projector's timeline. Its times are steady_clock's, which on Linux is CLOCK_MONOTONIC:
// one clock for every network namespace of the machine, so several simulators' timelines
// (and a test's own steady_clock) can be laid side by side.
using MonoTime = std::chrono::steady_clock::time_point;

// "12345.678901234": seconds of CLOCK_MONOTONIC, nanoseconds after the point.
std::string MonoText(MonoTime at);

// A boot-loader run: from its start (listening for the Magic packet) until it acknowledged
// the last block (restarting: it only burns and restarts then, deaf to broadcasts) or the
// run is over otherwise (silent, gave up, stopped, failed).
struct AwakeInterval {
  int run = 0;  // BootLoaderReport::run
  MonoTime from{};
  std::optional<MonoTime> to;  // empty while awake
  BootPhase end = BootPhase::kOff;
};

// A Sub firmware stream: from its first byte to its last, when the exchange completed, or to
// the end of its connection (or the simulator's stop) when not.
struct SubInterval {
  int run = 0;  // SubReceiverReport::run
  int connection = 0;
  MonoTime from{};
  std::optional<MonoTime> to;  // empty while the stream goes on
  SubPhase end = SubPhase::kOff;
};

// A datagram that reached the projector on the Magic port or the BOOTP client port, heard
// by the passive listener whether or not a boot loader was awake.
struct HeardDatagram {
  enum class Kind { kMagic, kBootpReply };
  Kind kind = Kind::kMagic;
  MonoTime at{};
  std::string source;  // "10.75.0.1:40000"
  std::size_t bytes = 0;
};

std::string_view HeardKindName(HeardDatagram::Kind kind);

struct Report {
  std::vector<Message> messages;  // in order of arrival, all connections
  std::vector<Violation> violations;
  std::vector<ConnectionRecord> connections;  // in order of acceptance
  bool main_download_mode_entered = false;
  bool sub_stream_reached = false;
  std::size_t sub_stream_bytes = 0;
  BootLoaderReport boot_loader;  // the latest run
  SubReceiverReport sub;         // the latest Sub firmware exchange

  // The timeline, each in order of its start.
  std::vector<AwakeInterval> boot_awake;
  std::vector<SubInterval> sub_received;
  std::vector<HeardDatagram> heard;
  // Why the passive listener hears nothing ("" when it listens, or has no fixed port to
  // listen on).
  std::string listener_error;

  int connection_count() const { return static_cast<int>(connections.size()); }
  int ended_connection_count() const;
  std::vector<std::string> MessageNames() const;
  std::vector<std::string> MessageNames(int connection) const;
};

// The timeline as tessaly-pjsim prints it at exit: the boot loader's runs, then the Sub
// streams, then the datagrams heard, each in order of time:
//   timeline: boot loader awake run R from T to T (PHASE)
//   timeline: sub firmware received run R connection C from T to T (PHASE)
//   timeline: heard Magic packet at T from A.B.C.D:P, N bytes
//   timeline: heard BOOTP reply at T from A.B.C.D:P, N bytes
//   timeline: listener not listening: REASON
// T is MonoText(); an interval still open shows "to open". PHASE is BootPhaseName() or
// SubPhaseName() of how it ended.
std::vector<std::string> TimelineLines(const Report& report);

// One report shared by the control service and the boot loader, so that a single wait can
// cover both (for example "image received and the next connection greeted").
class ReportStore {
 public:
  // Runs `change` with the report locked, then wakes the waiters. `change` must not call
  // back into the store.
  void Change(const std::function<void(Report&)>& change);
  Report Snapshot() const;
  // Runs `read` with the report locked; for views smaller than a whole copy.
  void Read(const std::function<void(const Report&)>& read) const;
  // Waits until `condition` holds, at most `timeout`. The condition runs with the report
  // locked and must not call back into the store.
  bool WaitFor(const std::function<bool(const Report&)>& condition, std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Report report_;
};

}  // namespace tessaly::pjsim
