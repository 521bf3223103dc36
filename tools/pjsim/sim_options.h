#pragma once
// How one simulator run behaves: where it listens, which model it claims, and the faults
// it plays so that the updater's error paths can be exercised.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessaly::pjsim {

// The projector drops the connection right after it has sent the named message.
// kAfterUdAck covers both download-mode acknowledgements (Main and Sub road).
enum class CloseAt {
  kNever,
  kAfterAccept,
  kAfterGreeting,
  kAfterPjack,
  kAfterUdAck,
  kAfterModelAnswer,
  kAfterSq,
  kAfterSc,
};

// Command-line names: never, accept, greeting, pjack, ud-ack, model-answer, sq, sc.
std::string_view CloseAtName(CloseAt closeAt);
std::optional<CloseAt> ParseCloseAt(std::string_view name);
// All names, separated by '|', for usage texts.
std::string CloseAtNames();

struct SimOptions {
  std::string listen_address = "127.0.0.1";  // dotted IPv4
  std::uint16_t port = 20554;                // 0 picks a free port; see ControlService::port()
  std::string model_code = "QMA";            // its last character lands on byte 24 of the model answer

  bool no_greeting = false;         // accept and stay silent
  bool greeting_extra = false;      // "PJ_OK\r\n" in one write
  bool split_model_answer = false;  // acknowledgement and model reply as two writes
  std::chrono::milliseconds split_gap{100};  // between the two writes; long enough to be two reads
  CloseAt close_at = CloseAt::kNever;
  std::chrono::milliseconds answer_delay{0};  // before every write, the greeting included
};

inline constexpr std::size_t kMaxModelCodeLength = 14;

// Empty when the options can be used, otherwise the reason.
std::string ValidateOptions(const SimOptions& options);

}  // namespace tessaly::pjsim
