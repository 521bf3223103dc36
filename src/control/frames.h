#pragma once
// The bytes of the projector's control service: handshake texts, command frames and the
// records that open the Sub firmware exchange.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tessaly {

constexpr std::uint16_t kPjControlPort = 20554;

constexpr std::string_view kGreeting = "PJ_OK";
constexpr std::string_view kSessionRequest = "PJREQ";
constexpr std::string_view kSessionAck = "PJACK";

using Frame8 = std::array<std::uint8_t, 8>;
using Frame6 = std::array<std::uint8_t, 6>;
using Record16 = std::array<std::uint8_t, 16>;

// '!' 89 01 "UD" "ET" LF: the main controller into download mode.
constexpr Frame8 kMainDownloadCommand{0x21, 0x89, 0x01, 0x55, 0x44, 0x45, 0x54, 0x0A};
// '?' 89 01 "MD" LF: which model are you.
constexpr Frame6 kModelQuery{0x3F, 0x89, 0x01, 0x4D, 0x44, 0x0A};
// '!' 89 01 "UD" "RE" LF: the video processor into download mode.
constexpr Frame8 kSubDownloadCommand{0x21, 0x89, 0x01, 0x55, 0x44, 0x52, 0x45, 0x0A};

constexpr Record16 kSqRecord{0x53, 0x51, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr Record16 kScRecord{0x53, 0x43, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0};

constexpr std::uint8_t kAckHeader = 0x06;
constexpr std::size_t kUdAckLength = 6;
constexpr std::size_t kModelAnswerLength = 26;
constexpr std::size_t kModelLetterOffset = 24;  // last letter of the three-letter model code

// The most one read notification takes from the connection.
constexpr std::size_t kControlReadMax = 1023;

enum class ControlRead {
  Greeting,     // exactly "PJ_OK"
  SessionAck,   // exactly "PJACK"
  UdAck,        // 6 bytes: 06 .. .. 'U' 'D' ..
  ModelAnswer,  // 26 bytes: 06 .. .. 'M' 'D' ..., model letter at 24
  SqReply,      // begins "sq"
  ScReply,      // begins "sc"
  Other,
};

// Classifies one read by its content alone. As text, the bytes end at the first NUL.
ControlRead ClassifyControlRead(const std::uint8_t* data, std::size_t length);

}  // namespace tessaly
