#pragma once
// The projector's side of the control exchange as a pure state machine: bytes in,
// classified messages, violations and the answer to give out. No sockets, no threads,
// so the checking can be driven byte by byte.
//
// TCP is a stream: messages are cut by their protocol length (5 for text, 8 for commands,
// 6 for the query, 16 for records), never by read boundaries. A message that breaks the
// protocol is recorded and not answered; the step stays where it was.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim_report.h"

namespace tessaly::pjsim {

enum class Reply { kPjack, kUdAck, kModelAnswer, kSq, kSc };
std::string_view ReplyName(Reply reply);

struct ExchangeOutcome {
  Step step = Step::kAwaitPjreq;  // the step at which the bytes arrived
  bool sub_data = false;          // raw bytes of the Sub firmware stream, not a message
  std::string name;               // as in Message::name
  std::vector<std::uint8_t> bytes;
  bool valid = true;
  std::vector<std::string> violations;
  std::optional<Reply> reply;  // what the projector answers; the step has already moved on
};

class ControlExchange {
 public:
  explicit ControlExchange(bool greeted);

  void Feed(std::span<const std::uint8_t> bytes);
  // The next complete message, or nothing until more bytes arrive.
  std::optional<ExchangeOutcome> Next();
  // At the end of the connection: a violation text when a message was cut short.
  std::optional<std::string> Finish();

  Step step() const { return step_; }
  std::size_t buffered() const { return buffer_.size() - read_; }

 private:
  std::span<const std::uint8_t> Pending() const;
  std::vector<std::uint8_t> Take(std::size_t n);
  std::optional<std::size_t> LengthOfNext() const;
  void Classify(ExchangeOutcome& outcome) const;
  void Advance(ExchangeOutcome& outcome);

  Step step_;
  std::vector<std::uint8_t> buffer_;
  std::size_t read_ = 0;
};

}  // namespace tessaly::pjsim
