#pragma once
// The video processor's end of the Sub firmware stream, without sockets or threads: the
// bytes go in as the socket delivered them, and out come the answers to send (with the
// waits between them), the messages and violations for the report, and the verdict.
// Its own copy of the record bytes, independent of the updater's sources on purpose: an
// encoding mistake there must show up here as a violation.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim_report.h"

namespace tessaly::pjsim::sub {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

inline constexpr std::size_t kRecordLength = 16;
using Record = std::array<std::uint8_t, kRecordLength>;

inline constexpr std::size_t kImageHeaderLength = 32;  // never sent, never summed
inline constexpr std::size_t kPacketLength = 682;
inline constexpr std::size_t kPacketsPerBlock = 24;
inline constexpr std::size_t kBlockPayload = kPacketLength * kPacketsPerBlock;  // 16368
inline constexpr std::uint32_t kBlockAnnounced = 0x4000;                        // header and payload of a whole block
inline constexpr std::size_t kLengthOffset = 8;
inline constexpr std::size_t kChecksumOffset = 12;
inline constexpr std::size_t kKindOffset = 6;  // header bytes 6..7: 00 00 whole, FF FF last
inline constexpr std::size_t kBlockAckLength = 48;
inline constexpr std::size_t kBurnReportLength = 32;

// From the updater.
inline constexpr Record kBlockAnnouncement{0x53, 0x41, 0x42, 0x01, 0xFF, 0xFF, 0xFF, 0xFF,
                                           0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00};
inline constexpr Record kBlockHeader{0x54, 0x42, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x00,
                                     0x00, 0x00, 0x3F, 0xF0, 0x00, 0x00, 0x00, 0x00};
inline constexpr Record kContinueRecord{0x73, 0x61, 0x42, 0x01, 0xFF, 0xFF, 0xFF, 0xFF,
                                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
inline constexpr Record kCloseRecord{0x53, 0x44, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
                                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
// From the projector. The acknowledgement is the continue record's twin.
inline constexpr Record kAckRecord = kContinueRecord;
inline constexpr Record kBurnReportHead{0x53, 0x41, 0x42, 0x01, 0xFF, 0xFF, 0xFF, 0xFF,
                                        0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00};
inline constexpr Record kCloseReplyRecord{0x73, 0x64, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
                                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
inline constexpr Record kCloseReplyUpperRecord{0x53, 0x44, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
                                               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

// The last block's records for R payload bytes (R < 16368) and the payload's checksum.
Record LastAnnouncement(std::size_t r);
Record LastHeader(std::size_t r, std::uint32_t checksum);
// Sum of the bytes as unsigned values, wrapping at 2^32.
std::uint32_t ByteSum(std::span<const std::uint8_t> bytes, std::uint32_t start = 0);
std::uint32_t ReadBigEndian32(std::span<const std::uint8_t, 4> bytes);
void WriteBigEndian32(std::uint32_t value, std::span<std::uint8_t, 4> out);

// How the video processor behaves: its timing and the faults it plays.
struct Config {
  // The whole image file; the payload is compared with its bytes from 32 on. May be null.
  std::shared_ptr<const Bytes> expected_image;
  std::chrono::milliseconds burn_time{3000};
  std::chrono::milliseconds ack_split_gap{50};           // short of the updater's read budget
  std::chrono::milliseconds burn_report_split_gap{300};  // longer than its polling interval
  std::size_t bad_ack_at = 0;                            // 0: never; else block K's acknowledgement has a wrong byte
  bool split_ack = false;                                // 48-byte acknowledgements as 16 + 32 bytes
  bool split_burn_report = false;                        // as 16 + 16 bytes
  bool wrong_checksum = false;                           // the burn report carries the checksum plus one
  bool close_upper = false;                              // "SD" instead of "sd"
  std::size_t close_mid_block = 0;                       // 0: never; else close once half of block K arrived
};

// What the projector does next, in order.
struct Action {
  enum class Kind { kSend, kWait, kClose };
  // What a send completes, to be passed to StreamMachine::Sent once it went out.
  enum class Mark { kNone, kAck, kLastAck, kBurnReport, kCloseReply };
  Kind kind = Kind::kSend;
  Bytes bytes;                            // kSend: one write
  std::chrono::milliseconds duration{0};  // kWait
  Mark mark = Mark::kNone;
  std::string what;  // for the log: "block 1 acknowledgement"
};

// A report message: one record, or one block's payload.
struct Note {
  std::string name;  // SAB, TB, SUB-PACKETS(block k, n bytes), saB, SD, EXTRA, SUB-DATA, RECORD
  Bytes bytes;
  bool valid = true;
};

struct Output {
  std::vector<Note> messages;
  std::vector<std::string> violations;
  std::vector<Action> actions;
};

// One Sub firmware exchange, from the first byte after "sc" to the end of the connection.
class StreamMachine {
 public:
  // `start`: when "sc" went out; the first block's pacing counts from there.
  StreamMachine(Config config, Clock::time_point start);

  // One piece of the stream, as read; `now` is when it was read.
  Output Feed(std::span<const std::uint8_t> bytes, Clock::time_point now);
  // The connection has ended: whatever was half-way is reported.
  Output End();
  // An answer has gone out (counted in the report only then).
  void Sent(Action::Mark mark);
  // The simulator stopped while the exchange was going on.
  void Stopped();

  const SubReceiverReport& report() const { return report_; }

 private:
  enum class State {
    kAnnouncement,   // a block's announcement due
    kHeader,         // its header due
    kPayload,        // its payload flowing
    kContinue,       // whole block acknowledged: continue record due
    kFinalContinue,  // burn report sent: continue record due
    kClose,          // close record due
    kDone,           // close answered: nothing more may come
    kLost,           // lengths unusable: bytes are recorded, not parsed
    kOver,           // cut by the projector, ended or stopped: nothing is taken
  };
  enum class BlockKind { kUnknown, kWhole, kLast };

  void TakeRecordBytes(std::span<const std::uint8_t> bytes, std::size_t& i, Output& out, Clock::time_point now);
  void HandleRecord(const Record& record, Output& out, Clock::time_point now);
  void HandleAnnouncement(const Record& record, Output& out, Clock::time_point now);
  void HandleHeader(const Record& record, Output& out, Clock::time_point now);
  void HandleContinue(const Record& record, Output& out, Clock::time_point now);
  void HandleClose(const Record& record, Output& out);
  void TakePayload(std::span<const std::uint8_t> bytes);
  bool CutIfDue(Output& out);
  void FinishBlock(Output& out, Clock::time_point now);
  void AnswerWholeBlock(Output& out);
  void AnswerLastBlock(Output& out);
  void ReportBlockDifferences(Output& out);
  void Lose(Output& out, std::string why);
  void Violate(Output& out, std::string text);
  void PayloadFault(Output& out, std::string text);
  Note BlockNote(bool valid) const;
  std::string Where() const;
  void Refresh();
  void Freeze(SubPhase phase);

  const Config config_;
  std::span<const std::uint8_t> expected_;  // the payload to compare with, when given

  State state_ = State::kAnnouncement;
  Record record_{};
  std::size_t record_fill_ = 0;

  // The current block.
  std::size_t block_index_ = 0;  // 1-based, counted at its announcement (or lone header)
  std::optional<BlockKind> announced_kind_;
  std::uint32_t announced_length_ = 0;
  BlockKind block_kind_ = BlockKind::kUnknown;
  std::size_t block_size_ = 0;
  std::size_t block_received_ = 0;
  std::uint32_t block_sum_ = 0;
  Bytes block_bytes_;
  std::size_t block_differences_ = 0;
  std::optional<std::size_t> block_first_difference_;  // payload offset
  Clock::time_point previous_end_;

  bool extra_reported_ = false;
  SubReceiverReport report_;
};

}  // namespace tessaly::pjsim::sub
