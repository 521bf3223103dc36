#include "sub_protocol.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "sim_report.h"

namespace tessaly::pjsim::sub {
namespace {

constexpr std::size_t kShownBytes = 32;  // of stray bytes, in violation texts
constexpr std::size_t kLastAnnouncedMin = kRecordLength;
constexpr std::size_t kBurnReportHalf = kBurnReportLength / 2;
// The flipped bit of the wrong acknowledgement: "sAB" instead of "saB".
constexpr std::size_t kBadAckByte = 1;
constexpr std::uint8_t kBadAckFlip = 0x20;

using Mask = std::array<bool, kRecordLength>;

constexpr Mask kAllBytes{true, true, true, true, true, true, true, true,
                         true, true, true, true, true, true, true, true};

Mask Without(Mask mask, std::size_t from, std::size_t count) {
  for (std::size_t i = from; i < from + count && i < mask.size(); ++i) mask[i] = false;
  return mask;
}

std::string Hex2(std::uint8_t b) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(b));
  return text;
}

std::string Hex32(std::uint32_t v) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(v));
  return text;
}

std::string N(std::size_t n) { return std::to_string(n); }

// Empty when every checked byte is as expected; otherwise names each wrong one.
std::string Differences(const Record& got, const Record& want, const Mask& checked) {
  std::string out;
  for (std::size_t i = 0; i < kRecordLength; ++i) {
    if (!checked[i] || got[i] == want[i]) continue;
    if (!out.empty()) out += ", ";
    out += "byte " + N(i) + " is " + Hex2(got[i]) + " (expected " + Hex2(want[i]) + ")";
  }
  if (out.empty()) return out;
  return out + " in " + ToHex(got);
}

bool StartsWith(const Record& record, char a, char b) {
  return record[0] == static_cast<std::uint8_t>(a) && record[1] == static_cast<std::uint8_t>(b);
}

std::span<std::uint8_t, 4> Field(Bytes& bytes, std::size_t offset) {
  return std::span<std::uint8_t, 4>(bytes.data() + offset, 4);
}

std::uint32_t FieldOf(const Record& record, std::size_t offset) {
  return ReadBigEndian32(std::span<const std::uint8_t, 4>(record.data() + offset, 4));
}

Bytes ToBytes(std::span<const std::uint8_t> bytes) { return Bytes(bytes.begin(), bytes.end()); }

std::string Shown(std::span<const std::uint8_t> bytes) {
  if (bytes.size() <= kShownBytes) return ToHex(bytes);
  return ToHex(bytes.first(kShownBytes)) + " ...";
}

}  // namespace

std::uint32_t ReadBigEndian32(std::span<const std::uint8_t, 4> bytes) {
  return (static_cast<std::uint32_t>(bytes[0]) << 24) | (static_cast<std::uint32_t>(bytes[1]) << 16) |
         (static_cast<std::uint32_t>(bytes[2]) << 8) | static_cast<std::uint32_t>(bytes[3]);
}

void WriteBigEndian32(std::uint32_t value, std::span<std::uint8_t, 4> out) {
  out[0] = static_cast<std::uint8_t>(value >> 24);
  out[1] = static_cast<std::uint8_t>(value >> 16);
  out[2] = static_cast<std::uint8_t>(value >> 8);
  out[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t ByteSum(std::span<const std::uint8_t> bytes, std::uint32_t start) {
  std::uint32_t sum = start;
  for (std::uint8_t b : bytes) sum += b;  // unsigned: wraps at 2^32
  return sum;
}

Record LastAnnouncement(std::size_t r) {
  Record out = kBlockAnnouncement;
  WriteBigEndian32(static_cast<std::uint32_t>(r + kRecordLength),
                   std::span<std::uint8_t, 4>(out.data() + kLengthOffset, 4));
  return out;
}

Record LastHeader(std::size_t r, std::uint32_t checksum) {
  Record out = kBlockHeader;
  out[kKindOffset] = 0xFF;
  out[kKindOffset + 1] = 0xFF;
  WriteBigEndian32(static_cast<std::uint32_t>(r), std::span<std::uint8_t, 4>(out.data() + kLengthOffset, 4));
  WriteBigEndian32(checksum, std::span<std::uint8_t, 4>(out.data() + kChecksumOffset, 4));
  return out;
}

StreamMachine::StreamMachine(Config config, Clock::time_point start)
    : config_(std::move(config)), previous_end_(start) {
  if (config_.expected_image) {
    const Bytes& image = *config_.expected_image;
    const std::size_t skip = std::min(image.size(), kImageHeaderLength);
    expected_ = std::span<const std::uint8_t>(image).subspan(skip);
    report_.image_compared = true;
    report_.image_payload_bytes = expected_.size();
  }
  report_.phase = SubPhase::kBlocks;
  Refresh();
}

Output StreamMachine::Feed(std::span<const std::uint8_t> bytes, Clock::time_point now) {
  Output out;
  bool answered = false;
  std::size_t i = 0;
  // Each pass takes at least one byte or moves to a state that takes the rest.
  while (i < bytes.size()) {
    const std::size_t actions_before = out.actions.size();
    switch (state_) {
      case State::kOver: i = bytes.size(); break;
      case State::kLost:
        out.messages.push_back(Note{"SUB-DATA", ToBytes(bytes.subspan(i)), false});
        i = bytes.size();
        break;
      case State::kDone: {
        const std::span<const std::uint8_t> rest = bytes.subspan(i);
        report_.bytes_after_close += rest.size();
        out.messages.push_back(Note{"EXTRA", ToBytes(rest), false});
        // Once: an updater that keeps talking must not flood the report.
        if (!extra_reported_) {
          extra_reported_ = true;
          Violate(out, N(rest.size()) + " byte(s) after the close record: " + Shown(rest));
        }
        i = bytes.size();
        break;
      }
      case State::kPayload: {
        std::size_t take = std::min(block_size_ - block_received_, bytes.size() - i);
        // Stop exactly at the cut point, so the close comes after half the block.
        if (config_.close_mid_block != 0 && config_.close_mid_block == block_index_) {
          take = std::min(take, block_size_ / 2 - std::min(block_size_ / 2, block_received_));
        }
        TakePayload(bytes.subspan(i, take));
        i += take;
        if (CutIfDue(out)) break;
        if (block_received_ == block_size_) FinishBlock(out, now);
        break;
      }
      default: TakeRecordBytes(bytes, i, out, now); break;
    }
    const bool answer = out.actions.size() > actions_before && out.actions.back().kind != Action::Kind::kClose;
    if (answer && !answered && state_ != State::kDone) {
      answered = true;
      report_.early_bytes += bytes.size() - i;
    }
  }
  Refresh();
  return out;
}

void StreamMachine::TakeRecordBytes(std::span<const std::uint8_t> bytes, std::size_t& i, Output& out,
                                    Clock::time_point now) {
  const std::size_t take = std::min(kRecordLength - record_fill_, bytes.size() - i);
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(i), take,
              record_.begin() + static_cast<std::ptrdiff_t>(record_fill_));
  record_fill_ += take;
  i += take;
  if (record_fill_ < kRecordLength) return;
  record_fill_ = 0;
  HandleRecord(record_, out, now);
}

void StreamMachine::HandleRecord(const Record& record, Output& out, Clock::time_point now) {
  switch (state_) {
    case State::kAnnouncement: {
      const std::string due = "where block " + N(block_index_ + 1) + "'s announcement was due";
      if (StartsWith(record, 's', 'a')) {
        ++report_.continue_records;
        out.messages.push_back(Note{"saB", ToBytes(record), false});
        Violate(out, "an extra continue record (saB) " + due + ": " + ToHex(record));
      } else if (StartsWith(record, 'S', 'D')) {
        out.messages.push_back(Note{"SD", ToBytes(record), false});
        Violate(out, "the close record (SD) came " + due + ": the stream ends without its last block");
        report_.close_received = true;
        state_ = State::kDone;
      } else if (StartsWith(record, 'T', 'B')) {
        ++block_index_;
        announced_kind_.reset();
        Violate(out, "block " + N(block_index_) + "'s header (TB) came without its announcement (SAB)");
        HandleHeader(record, out, now);
      } else {
        HandleAnnouncement(record, out, now);
      }
      return;
    }
    case State::kHeader: return HandleHeader(record, out, now);
    case State::kContinue:
    case State::kFinalContinue: return HandleContinue(record, out, now);
    case State::kClose: return HandleClose(record, out);
    default: return;
  }
}

void StreamMachine::HandleAnnouncement(const Record& record, Output& out, Clock::time_point now) {
  (void)now;
  ++block_index_;
  const std::string what = "block " + N(block_index_) + "'s announcement (SAB)";
  const std::string wrong = Differences(record, kBlockAnnouncement, Without(kAllBytes, kLengthOffset, 4));
  const std::uint32_t length = FieldOf(record, kLengthOffset);
  std::optional<BlockKind> kind;
  if (length == kBlockAnnounced) {
    kind = BlockKind::kWhole;
  } else if (length >= kLastAnnouncedMin && length < kBlockAnnounced) {
    kind = BlockKind::kLast;
  }
  out.messages.push_back(Note{"SAB", ToBytes(record), wrong.empty() && kind.has_value()});
  if (!wrong.empty()) Violate(out, what + ": " + wrong);
  if (!kind) {
    Violate(out, what + " announces " + N(length) + " bytes: neither a whole block (" + N(kBlockAnnounced) +
                     ") nor a last block (" + N(kLastAnnouncedMin) + " to " + N(kBlockAnnounced - 1) + ")");
  }
  announced_kind_ = kind;
  announced_length_ = length;
  state_ = State::kHeader;
}

void StreamMachine::HandleHeader(const Record& record, Output& out, Clock::time_point now) {
  const std::string what = "block " + N(block_index_) + "'s header (TB)";
  BlockKind header_kind = BlockKind::kUnknown;
  if (record[kKindOffset] == 0x00 && record[kKindOffset + 1] == 0x00) header_kind = BlockKind::kWhole;
  if (record[kKindOffset] == 0xFF && record[kKindOffset + 1] == 0xFF) header_kind = BlockKind::kLast;
  const std::uint32_t length = FieldOf(record, kLengthOffset);
  const std::uint32_t checksum = FieldOf(record, kChecksumOffset);

  // The announcement tells the kind; the header only when the announcement could not.
  const BlockKind kind = announced_kind_ ? *announced_kind_ : header_kind;
  if (kind == BlockKind::kUnknown) {
    out.messages.push_back(Note{"TB", ToBytes(record), false});
    Lose(out, what + " (bytes 6..7 " + Hex2(record[kKindOffset]) + " " + Hex2(record[kKindOffset + 1]) +
                  ") does not tell a whole block from the last one either");
    return;
  }
  std::size_t size = kBlockPayload;
  if (kind == BlockKind::kLast) {
    if (announced_kind_) {
      size = announced_length_ - kRecordLength;
    } else if (length < kBlockPayload) {
      size = length;
    } else {
      out.messages.push_back(Note{"TB", ToBytes(record), false});
      Lose(out, what + " announces " + N(length) + " payload bytes, more than a last block holds (" +
                    N(kBlockPayload - 1) + ")");
      return;
    }
  }

  bool valid = true;
  Mask checked = Without(kAllBytes, kLengthOffset, 4);
  if (header_kind != kind) {
    valid = false;
    checked = Without(checked, kKindOffset, 2);
    const char* announced = kind == BlockKind::kWhole ? "a whole block" : "the last block";
    const std::string got = header_kind == BlockKind::kWhole  ? "a whole block's"
                            : header_kind == BlockKind::kLast ? "the last block's"
                                                              : "neither kind's";
    Violate(out, what + " is " + got + " (bytes 6..7 " + Hex2(record[kKindOffset]) + " " +
                     Hex2(record[kKindOffset + 1]) + ") after an announcement of " + announced);
  }
  Record want = kBlockHeader;
  if (kind == BlockKind::kLast) {
    want = LastHeader(size, checksum);  // the checksum is checked against the payload later
    checked = Without(checked, kChecksumOffset, 4);
  }
  if (std::string wrong = Differences(record, want, checked); !wrong.empty()) {
    valid = false;
    Violate(out, what + ": " + wrong);
  }
  if (length != size) {
    valid = false;
    if (kind == BlockKind::kWhole) {
      Violate(out, what + " announces " + N(length) + " payload bytes, a whole block has " + N(kBlockPayload));
    } else {
      Violate(out, what + " announces " + N(length) + " payload bytes, its announcement " + N(announced_length_) +
                       " - 16 = " + N(size));
    }
  }
  out.messages.push_back(Note{"TB", ToBytes(record), valid});
  if (kind == BlockKind::kLast) report_.checksum_claimed = checksum;

  block_kind_ = kind;
  block_size_ = size;
  block_received_ = 0;
  block_sum_ = 0;
  block_bytes_.clear();
  block_bytes_.reserve(size);
  block_differences_ = 0;
  block_first_difference_.reset();
  state_ = State::kPayload;
  if (CutIfDue(out)) return;
  if (block_size_ == 0) FinishBlock(out, now);
}

void StreamMachine::HandleContinue(const Record& record, Output& out, Clock::time_point now) {
  const bool final = state_ == State::kFinalContinue;
  const std::string after = final ? "after the burn report" : "after block " + N(block_index_) + "'s acknowledgement";
  if (!final && StartsWith(record, 'S', 'A')) {
    Violate(out, "the continue record (saB) is missing " + after + ": block " + N(block_index_ + 1) +
                     "'s announcement came instead");
    state_ = State::kAnnouncement;
    return HandleAnnouncement(record, out, now);
  }
  if (final && StartsWith(record, 'S', 'D')) {
    Violate(out, "the continue record (saB) is missing " + after + ": the close record came instead");
    state_ = State::kClose;
    return HandleClose(record, out);
  }
  ++report_.continue_records;
  const std::string wrong = Differences(record, kContinueRecord, kAllBytes);
  out.messages.push_back(Note{"saB", ToBytes(record), wrong.empty()});
  if (!wrong.empty()) Violate(out, "the continue record (saB) " + after + ": " + wrong);
  state_ = final ? State::kClose : State::kAnnouncement;
}

void StreamMachine::HandleClose(const Record& record, Output& out) {
  if (StartsWith(record, 's', 'a')) {
    ++report_.continue_records;
    out.messages.push_back(Note{"saB", ToBytes(record), false});
    Violate(out, "an extra continue record (saB) where the close record (SD) was due: " + ToHex(record));
    return;
  }
  if (!StartsWith(record, 'S', 'D')) {
    out.messages.push_back(Note{"RECORD", ToBytes(record), false});
    Violate(out, "where the close record (SD) was due came " + ToHex(record));
    return;
  }
  const std::string wrong = Differences(record, kCloseRecord, kAllBytes);
  out.messages.push_back(Note{"SD", ToBytes(record), wrong.empty()});
  if (!wrong.empty()) Violate(out, "the close record (SD): " + wrong);
  report_.close_received = true;
  const Record& reply = config_.close_upper ? kCloseReplyUpperRecord : kCloseReplyRecord;
  out.actions.push_back(Action{Action::Kind::kSend,
                               ToBytes(reply),
                               {},
                               Action::Mark::kCloseReply,
                               config_.close_upper ? "closing reply \"SD\" (fault)" : "closing reply \"sd\""});
  state_ = State::kDone;
}

void StreamMachine::TakePayload(std::span<const std::uint8_t> bytes) {
  const bool compare = config_.expected_image != nullptr;
  for (std::uint8_t b : bytes) {
    const std::size_t offset = report_.payload_bytes++;
    if (compare && (offset >= expected_.size() || expected_[offset] != b)) {
      ++block_differences_;
      ++report_.differing_bytes;
      if (!block_first_difference_) block_first_difference_ = offset;
      if (!report_.first_difference) report_.first_difference = offset;
    }
  }
  block_sum_ = ByteSum(bytes, block_sum_);
  report_.checksum_computed = ByteSum(bytes, report_.checksum_computed);
  block_bytes_.insert(block_bytes_.end(), bytes.begin(), bytes.end());
  block_received_ += bytes.size();
}

bool StreamMachine::CutIfDue(Output& out) {
  if (config_.close_mid_block == 0 || config_.close_mid_block != block_index_ || state_ != State::kPayload ||
      block_received_ < block_size_ / 2) {
    return false;
  }
  out.messages.push_back(BlockNote(block_differences_ == 0));
  ReportBlockDifferences(out);
  report_.block_records.push_back(SubBlockRecord{
      block_index_, block_kind_ == BlockKind::kLast, block_size_, block_received_, block_sum_, {}, false});
  out.actions.push_back(
      Action{Action::Kind::kClose, {}, {}, Action::Mark::kNone, "close in block " + N(block_index_) + " (fault)"});
  Freeze(SubPhase::kCutShort);
  return true;
}

void StreamMachine::FinishBlock(Output& out, Clock::time_point now) {
  const bool last = block_kind_ == BlockKind::kLast;
  const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(now - previous_end_);
  previous_end_ = now;
  out.messages.push_back(BlockNote(block_differences_ == 0));
  ReportBlockDifferences(out);
  report_.block_records.push_back(
      SubBlockRecord{block_index_, last, block_size_, block_received_, block_sum_, since, block_differences_ == 0});
  ++report_.blocks;
  if (!last) {
    ++report_.whole_blocks;
    AnswerWholeBlock(out);
    state_ = State::kContinue;
    return;
  }

  report_.last_block_received = true;
  report_.last_block_bytes = block_received_;
  if (report_.checksum_claimed && *report_.checksum_claimed != report_.checksum_computed) {
    PayloadFault(out, "the last header claims checksum " + Hex32(*report_.checksum_claimed) + ", the " +
                          N(report_.payload_bytes) + " payload bytes received sum to " +
                          Hex32(report_.checksum_computed));
  }
  if (report_.image_compared && report_.payload_bytes != expected_.size()) {
    PayloadFault(out, "the payload has " + N(report_.payload_bytes) + " bytes, the Sub image's " + N(expected_.size()));
  }
  AnswerLastBlock(out);
  report_.phase = SubPhase::kBurning;
  state_ = State::kFinalContinue;
}

void StreamMachine::AnswerWholeBlock(Output& out) {
  Bytes ack(kBlockAckLength, 0);
  std::copy(kAckRecord.begin(), kAckRecord.end(), ack.begin());
  // Bytes 16..47 are ours: what the projector took, for whoever reads a capture.
  WriteBigEndian32(static_cast<std::uint32_t>(block_index_), Field(ack, 16));
  WriteBigEndian32(static_cast<std::uint32_t>(block_received_), Field(ack, 20));
  WriteBigEndian32(block_sum_, Field(ack, 24));
  WriteBigEndian32(static_cast<std::uint32_t>(report_.payload_bytes), Field(ack, 28));
  std::string what = "block " + N(block_index_) + " acknowledgement";
  if (config_.bad_ack_at == block_index_) {
    ack[kBadAckByte] ^= kBadAckFlip;
    what += " with a wrong byte (fault)";
  }
  if (!config_.split_ack) {
    out.actions.push_back(Action{Action::Kind::kSend, std::move(ack), {}, Action::Mark::kAck, what});
    return;
  }
  const auto split = ack.begin() + static_cast<std::ptrdiff_t>(kRecordLength);
  out.actions.push_back(Action{
      Action::Kind::kSend, Bytes(ack.begin(), split), {}, Action::Mark::kNone, what + ", first 16 bytes (fault)"});
  out.actions.push_back(Action{Action::Kind::kWait, {}, config_.ack_split_gap, Action::Mark::kNone, "split gap"});
  out.actions.push_back(
      Action{Action::Kind::kSend, Bytes(split, ack.end()), {}, Action::Mark::kAck, what + ", last 32 bytes (fault)"});
}

void StreamMachine::AnswerLastBlock(Output& out) {
  Bytes ack(kAckRecord.begin(), kAckRecord.end());
  std::string what = "last block acknowledgement";
  if (config_.bad_ack_at == block_index_) {
    ack[kBadAckByte] ^= kBadAckFlip;
    what += " with a wrong byte (fault)";
  }
  out.actions.push_back(Action{Action::Kind::kSend, std::move(ack), {}, Action::Mark::kLastAck, what});
  out.actions.push_back(Action{Action::Kind::kWait, {}, config_.burn_time, Action::Mark::kNone, "burning"});

  Bytes report(kBurnReportLength, 0);
  std::copy(kBurnReportHead.begin(), kBurnReportHead.end(), report.begin());
  WriteBigEndian32(static_cast<std::uint32_t>(report_.payload_bytes), Field(report, 16));
  WriteBigEndian32(static_cast<std::uint32_t>(report_.blocks), Field(report, 20));
  std::uint32_t checksum = report_.checksum_computed;
  what = "burn report";
  if (config_.wrong_checksum) {
    ++checksum;
    what += " with the checksum plus one (fault)";
  }
  WriteBigEndian32(checksum, Field(report, 28));
  report_.checksum_reported = checksum;
  if (!config_.split_burn_report) {
    out.actions.push_back(Action{Action::Kind::kSend, std::move(report), {}, Action::Mark::kBurnReport, what});
    return;
  }
  const auto split = report.begin() + static_cast<std::ptrdiff_t>(kBurnReportHalf);
  out.actions.push_back(Action{
      Action::Kind::kSend, Bytes(report.begin(), split), {}, Action::Mark::kNone, what + ", first 16 bytes (fault)"});
  out.actions.push_back(
      Action{Action::Kind::kWait, {}, config_.burn_report_split_gap, Action::Mark::kNone, "split gap"});
  out.actions.push_back(Action{Action::Kind::kSend,
                               Bytes(split, report.end()),
                               {},
                               Action::Mark::kBurnReport,
                               what + ", last 16 bytes (fault)"});
}

void StreamMachine::ReportBlockDifferences(Output& out) {
  if (block_differences_ == 0 || !block_first_difference_) return;
  const std::size_t first = *block_first_difference_;
  const std::size_t block_start = report_.payload_bytes - block_received_;
  const std::uint8_t got = block_bytes_.at(first - block_start);
  std::string text = "block " + N(block_index_) + "'s payload differs from the Sub image in " + N(block_differences_) +
                     " byte(s); the first is payload byte " + N(first) + " (byte " + N(first - block_start) +
                     " of the block): " + Hex2(got);
  if (first < expected_.size()) {
    text += ", the image has " + Hex2(expected_[first]);
  } else {
    text += ", beyond the image's payload of " + N(expected_.size()) + " bytes";
  }
  PayloadFault(out, std::move(text));
}

void StreamMachine::Sent(Action::Mark mark) {
  switch (mark) {
    case Action::Mark::kNone: break;
    case Action::Mark::kAck: ++report_.acks_sent; break;
    case Action::Mark::kLastAck: report_.last_ack_sent = true; break;
    case Action::Mark::kBurnReport:
      report_.burn_report_sent = true;
      if (report_.phase == SubPhase::kBurning) report_.phase = SubPhase::kClosing;
      break;
    case Action::Mark::kCloseReply:
      report_.close_reply_sent = true;
      if (report_.phase == SubPhase::kBurning || report_.phase == SubPhase::kClosing) {
        report_.phase = SubPhase::kClosed;
      }
      break;
  }
  Refresh();
}

Output StreamMachine::End() {
  Output out;
  if (state_ == State::kOver) return out;
  if (record_fill_ > 0 && state_ != State::kPayload) {
    const std::span<const std::uint8_t> part(record_.data(), record_fill_);
    Violate(out, "the connection ended " + Where() + ", with " + N(record_fill_) + " of its 16 bytes: " + ToHex(part));
  }
  if (state_ == State::kPayload) {
    out.messages.push_back(BlockNote(false));
    ReportBlockDifferences(out);
    report_.block_records.push_back(SubBlockRecord{
        block_index_, block_kind_ == BlockKind::kLast, block_size_, block_received_, block_sum_, {}, false});
  }
  const bool finished = state_ == State::kDone && report_.close_reply_sent;
  const bool lost = state_ == State::kLost;
  Freeze(finished ? SubPhase::kClosed : lost ? SubPhase::kLost : SubPhase::kEnded);
  return out;
}

void StreamMachine::Stopped() {
  switch (report_.phase) {
    case SubPhase::kClosed:
    case SubPhase::kLost:
    case SubPhase::kCutShort:
    case SubPhase::kEnded:
    case SubPhase::kStopped: return;
    default: Freeze(SubPhase::kStopped);
  }
}

void StreamMachine::Freeze(SubPhase phase) {
  report_.where = Where();
  report_.phase = phase;
  state_ = State::kOver;
  Refresh();
}

void StreamMachine::Lose(Output& out, std::string why) {
  PayloadFault(out, std::move(why) + "; the rest of the stream is not followed");
  report_.phase = SubPhase::kLost;
  state_ = State::kLost;
}

void StreamMachine::Violate(Output& out, std::string text) {
  ++report_.violations;
  out.violations.push_back(std::move(text));
}

void StreamMachine::PayloadFault(Output& out, std::string text) {
  ++report_.payload_faults;
  Violate(out, std::move(text));
}

Note StreamMachine::BlockNote(bool valid) const {
  return Note{"SUB-PACKETS(block " + N(block_index_) + ", " + N(block_received_) + " bytes)", block_bytes_,
              valid && block_received_ == block_size_};
}

std::string StreamMachine::Where() const {
  const std::string k = N(block_index_);
  std::string at;
  switch (state_) {
    case State::kAnnouncement: at = "awaiting block " + N(block_index_ + 1) + "'s announcement"; break;
    case State::kHeader: at = "awaiting block " + k + "'s header"; break;
    case State::kPayload:
      at = "in block " + k + "'s payload after " + N(block_received_) + " of " + N(block_size_) + " bytes";
      break;
    case State::kContinue: at = "awaiting the continue record after block " + k; break;
    case State::kFinalContinue:
      at = report_.burn_report_sent ? "awaiting the continue record after the burn report"
                                    : "burning, before the burn report";
      break;
    case State::kClose: at = "awaiting the close record"; break;
    case State::kDone: at = report_.close_reply_sent ? "after the close" : "after the close record, unanswered"; break;
    case State::kLost: at = "lost in block " + k; break;
    case State::kOver: at = report_.where; break;
  }
  return at;
}

void StreamMachine::Refresh() {
  if (state_ != State::kOver) report_.where = Where();
  report_.intact = report_.last_block_received && report_.payload_faults == 0;
  const SubReceiverReport& r = report_;
  if (r.intact) {
    report_.verdict = "Sub image received intact: " + N(r.payload_bytes) + " payload bytes in " + N(r.blocks) +
                      " block(s), checksum " + Hex32(r.checksum_computed) +
                      (r.image_compared ? ", equal to the Sub image" : "");
    return;
  }
  std::string why;
  const auto add = [&why](const std::string& part) { why += (why.empty() ? "" : "; ") + part; };
  if (!r.last_block_received) add("no last block (" + r.where + ")");
  if (r.checksum_claimed && r.last_block_received && *r.checksum_claimed != r.checksum_computed) {
    add("checksum claimed " + Hex32(*r.checksum_claimed) + ", computed " + Hex32(r.checksum_computed));
  }
  if (r.differing_bytes > 0 && r.first_difference) {
    add(N(r.differing_bytes) + " byte(s) differ from the Sub image, the first at payload byte " +
        N(*r.first_difference));
  }
  if (r.image_compared && r.last_block_received && r.payload_bytes != r.image_payload_bytes) {
    add(N(r.payload_bytes) + " payload bytes, the Sub image has " + N(r.image_payload_bytes));
  }
  if (r.phase == SubPhase::kLost) add("the stream could not be followed");
  if (why.empty()) add("payload faults, see the violations");
  report_.verdict = "Sub image not received intact after " + N(r.payload_bytes) + " payload bytes in " + N(r.blocks) +
                    " block(s): " + why;
}

}  // namespace tessaly::pjsim::sub
