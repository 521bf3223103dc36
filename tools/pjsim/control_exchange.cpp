#include "control_exchange.h"

#include <algorithm>

#include "pj_protocol.h"

namespace tessaly::pjsim {
namespace {

using Bytes = std::span<const std::uint8_t>;

// A run of bytes that starts no known message is reported as one piece, up to this size.
constexpr std::size_t kMaxJunk = 256;
constexpr std::size_t kMaxListedDifferences = 4;

// Bytes that can begin a message from the updater; anything else is out of step.
bool IsMessageStart(std::uint8_t b) {
  return b == 'P' || b == 'S' || b == wire::kHeaderCommand || b == wire::kHeaderQuery || b == wire::kHeaderAck;
}

bool Equal(Bytes a, std::string_view text) {
  return a.size() == text.size() && std::equal(a.begin(), a.end(), text.begin(), [](std::uint8_t x, char y) {
           return x == static_cast<std::uint8_t>(y);
         });
}

std::string Hex(std::uint8_t b) { return ToHex(Bytes(&b, 1)); }

// "PJ\x0D" style, for texts and codes that may hold anything.
std::string Quoted(Bytes bytes) {
  std::string out = "\"";
  for (std::uint8_t b : bytes) {
    if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
      out += static_cast<char>(b);
    } else {
      out += "\\x" + Hex(b);
    }
  }
  return out + "\"";
}

std::string Expectation(Step step) {
  switch (step) {
    case Step::kSilent: return "nothing, no greeting was sent";
    case Step::kAwaitPjreq: return "\"PJREQ\" after the greeting";
    case Step::kAwaitCommand:
      return "the Main download-mode command (" + ToHex(wire::kMainCommand) + ") or the model query (" +
             ToHex(wire::kModelQuery) + ") after PJACK";
    case Step::kAwaitSubCommand:
      return "the Sub download-mode command (" + ToHex(wire::kSubCommand) + ") after the model answer";
    case Step::kAwaitSq:
      return "the SQ record (" + ToHex(wire::kSqRecord) + ") after the Sub download-mode acknowledgement";
    case Step::kAwaitSc: return "the SC record (" + ToHex(wire::kScRecord) + ") after \"sq\"";
    case Step::kMainDownload: return "nothing after the Main download-mode acknowledgement";
    case Step::kSubStream: return "Sub firmware data";
  }
  return "?";
}

// Field-by-field comparison of a frame whose code and data are already known to match.
std::vector<std::string> FrameDifferences(Bytes got, Bytes want) {
  std::vector<std::string> out;
  if (got[0] != want[0]) out.push_back("header expected " + Hex(want[0]) + ", got " + Hex(got[0]));
  if (got[1] != want[1] || got[2] != want[2]) {
    out.push_back("bytes 1-2 expected " + ToHex(want.subspan(1, 2)) + ", got " + ToHex(got.subspan(1, 2)));
  }
  const std::size_t last = got.size() - 1;
  if (got[last] != want[last]) {
    out.push_back("terminator expected " + Hex(want[last]) + ", got " + Hex(got[last]));
  }
  return out;
}

std::vector<std::string> RecordDifferences(Bytes got, Bytes want) {
  std::vector<std::string> out;
  std::size_t more = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i] == want[i]) continue;
    if (out.size() < kMaxListedDifferences) {
      out.push_back("byte " + std::to_string(i) + " expected " + Hex(want[i]) + ", got " + Hex(got[i]));
    } else {
      ++more;
    }
  }
  if (more > 0) out.push_back("and " + std::to_string(more) + " more byte(s)");
  return out;
}

std::string Join(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& p : parts) {
    if (!out.empty()) out += ", ";
    out += p;
  }
  return out;
}

bool IsRecord(const std::string& name) { return name == "SQ" || name == "SC"; }

}  // namespace

std::string_view ReplyName(Reply reply) {
  switch (reply) {
    case Reply::kPjack: return "PJACK";
    case Reply::kUdAck: return "UD acknowledgement";
    case Reply::kModelAnswer: return "model answer";
    case Reply::kSq: return "sq";
    case Reply::kSc: return "sc";
  }
  return "?";
}

ControlExchange::ControlExchange(bool greeted) : step_(greeted ? Step::kAwaitPjreq : Step::kSilent) {}

void ControlExchange::Feed(std::span<const std::uint8_t> bytes) {
  // Drop what was consumed before it grows; keeps Take() cheap.
  if (read_ > 0 && read_ * 2 >= buffer_.size()) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(read_));
    read_ = 0;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::span<const std::uint8_t> ControlExchange::Pending() const { return Bytes(buffer_).subspan(read_); }

std::vector<std::uint8_t> ControlExchange::Take(std::size_t n) {
  Bytes p = Pending().first(n);
  std::vector<std::uint8_t> out(p.begin(), p.end());
  read_ += n;
  if (read_ == buffer_.size()) {
    buffer_.clear();
    read_ = 0;
  }
  return out;
}

std::optional<std::size_t> ControlExchange::LengthOfNext() const {
  Bytes p = Pending();
  const std::uint8_t first = p[0];
  if (first == 'P') return wire::kTextLength;
  if (first == 'S') return wire::kRecordLength;
  if (first == wire::kHeaderAck) return wire::kAckLength;
  // Commands and queries are framed by their code, so a wrong header still cuts right.
  if (p.size() < wire::kCodeOffset + 2) return std::nullopt;
  const std::uint8_t c0 = p[wire::kCodeOffset];
  const std::uint8_t c1 = p[wire::kCodeOffset + 1];
  if (c0 == 'U' && c1 == 'D') return wire::kCommandLength;
  if (c0 == 'M' && c1 == 'D') return wire::kQueryLength;
  return first == wire::kHeaderCommand ? wire::kCommandLength : wire::kQueryLength;
}

std::optional<ExchangeOutcome> ControlExchange::Next() {
  if (buffered() == 0) return std::nullopt;
  ExchangeOutcome out;
  out.step = step_;

  if (step_ == Step::kSubStream) {
    out.sub_data = true;
    out.name = "SUB-DATA";
    out.bytes = Take(buffered());
    return out;
  }

  Bytes p = Pending();
  if (!IsMessageStart(p[0])) {
    std::size_t n = 1;
    while (n < p.size() && n < kMaxJunk && !IsMessageStart(p[n])) ++n;
    out.name = "UNKNOWN";
    out.valid = false;
    out.bytes = Take(n);
    out.violations.push_back(std::to_string(n) + " unexpected byte(s) " + ToHex(out.bytes) + "; expected " +
                             Expectation(step_));
    return out;
  }

  const std::optional<std::size_t> length = LengthOfNext();
  if (!length || p.size() < *length) return std::nullopt;
  out.bytes = Take(*length);
  Classify(out);
  if (out.valid) Advance(out);
  return out;
}

void ControlExchange::Classify(ExchangeOutcome& out) const {
  const Bytes b(out.bytes);
  auto fail = [&](std::string text) {
    out.valid = false;
    out.violations.push_back(std::move(text) + "; expected " + Expectation(out.step));
  };

  if (b.size() == wire::kTextLength && b[0] == 'P') {
    if (Equal(b, wire::kRequest)) {
      out.name = "PJREQ";
    } else {
      out.name = "TEXT";
      fail("unknown text " + Quoted(b) + " (" + ToHex(b) + ")");
    }
    return;
  }

  if (b.size() == wire::kRecordLength) {
    const Bytes code = b.first(2);
    Bytes want;
    if (Equal(code, "SQ")) {
      out.name = "SQ";
      want = wire::kSqRecord;
    } else if (Equal(code, "SC")) {
      out.name = "SC";
      want = wire::kScRecord;
    } else {
      out.name = "RECORD";
      fail("unknown record " + Quoted(code) + " (" + ToHex(b) + ")");
      return;
    }
    std::vector<std::string> diffs = RecordDifferences(b, want);
    if (!diffs.empty()) fail("malformed " + out.name + " record (" + ToHex(b) + "): " + Join(diffs));
    return;
  }

  if (b[0] == wire::kHeaderAck) {
    out.name = "ACK";
    fail("acknowledgement frame (" + ToHex(b) + ") sent by the updater");
    return;
  }

  const Bytes code = b.subspan(wire::kCodeOffset, 2);
  Bytes want;
  if (b.size() == wire::kCommandLength && Equal(code, "UD")) {
    const Bytes data = b.subspan(wire::kDataOffset, 2);
    if (Equal(data, "ET")) {
      out.name = "UD-ET";
      want = wire::kMainCommand;
    } else if (Equal(data, "RE")) {
      out.name = "UD-RE";
      want = wire::kSubCommand;
    } else {
      out.name = "FRAME";
      fail("unknown download-mode data " + Quoted(data) + " in frame (" + ToHex(b) + ")");
      return;
    }
  } else if (b.size() == wire::kQueryLength && Equal(code, "MD")) {
    out.name = "MD?";
    want = wire::kModelQuery;
  } else {
    out.name = "FRAME";
    fail("unknown frame code " + Quoted(code) + " (" + ToHex(b) + ")");
    return;
  }
  std::vector<std::string> diffs = FrameDifferences(b, want);
  if (!diffs.empty()) fail("malformed " + out.name + " frame (" + ToHex(b) + "): " + Join(diffs));
}

void ControlExchange::Advance(ExchangeOutcome& out) {
  const std::string& name = out.name;
  auto answer = [&](Reply reply, Step next) {
    out.reply = reply;
    step_ = next;
  };
  auto refuse = [&](std::string why) {
    out.violations.push_back(std::move(why) + "; expected " + Expectation(out.step));
  };

  switch (step_) {
    case Step::kSilent: refuse(name + " received although no greeting was sent"); return;
    case Step::kAwaitPjreq:
      if (name == "PJREQ") return answer(Reply::kPjack, Step::kAwaitCommand);
      refuse(name + " sent before PJACK");
      return;
    case Step::kAwaitCommand:
      if (name == "UD-ET") return answer(Reply::kUdAck, Step::kMainDownload);
      if (name == "MD?") return answer(Reply::kModelAnswer, Step::kAwaitSubCommand);
      if (name == "PJREQ") return refuse("PJREQ repeated after PJACK");
      if (name == "UD-RE") return refuse("UD-RE (Sub download-mode command) before the model query was answered");
      refuse(name + " record before the Sub download-mode command was acknowledged");
      return;
    case Step::kAwaitSubCommand:
      if (name == "UD-RE") return answer(Reply::kUdAck, Step::kAwaitSq);
      if (name == "MD?") return refuse("model query repeated after it was answered");
      if (name == "UD-ET") return refuse("UD-ET (Main download-mode command) after the model query");
      if (name == "PJREQ") return refuse("PJREQ repeated after PJACK");
      refuse(name + " record before the Sub download-mode command was acknowledged");
      return;
    case Step::kAwaitSq:
      if (name == "SQ") return answer(Reply::kSq, Step::kAwaitSc);
      if (name == "SC") return refuse("SC record before the \"sq\" answer");
      refuse(name + (IsRecord(name) ? " record" : "") + " out of order");
      return;
    case Step::kAwaitSc:
      if (name == "SC") return answer(Reply::kSc, Step::kSubStream);
      if (name == "SQ") return refuse("SQ record repeated after \"sq\"");
      refuse(name + " out of order");
      return;
    case Step::kMainDownload: refuse(name + " after the Main download-mode acknowledgement"); return;
    case Step::kSubStream: return;  // not reached: the stream is passed on raw
  }
}

std::optional<std::string> ControlExchange::Finish() {
  if (step_ == Step::kSubStream || buffered() == 0) return std::nullopt;
  const std::optional<std::size_t> length = LengthOfNext();
  const std::size_t have = buffered();
  const std::string hex = ToHex(Take(have));
  if (length) {
    return "connection closed after " + std::to_string(have) + " of " + std::to_string(*length) +
           " byte(s) of a message (" + hex + "); expected " + Expectation(step_);
  }
  return "connection closed after " + std::to_string(have) + " byte(s) of an unfinished frame (" + hex +
         "); expected " + Expectation(step_);
}

}  // namespace tessaly::pjsim
