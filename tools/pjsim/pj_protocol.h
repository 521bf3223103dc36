#pragma once
// The projector's own copy of the control-service bytes. Deliberately independent of the
// updater's sources, so that an encoding mistake there shows up here as a violation.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tessaly::pjsim::wire {

inline constexpr std::string_view kGreeting = "PJ_OK";
inline constexpr std::string_view kGreetingExtra = "\r\n";  // the "greeting with extra bytes" fault
inline constexpr std::string_view kRequest = "PJREQ";
inline constexpr std::string_view kRequestAck = "PJACK";
inline constexpr std::size_t kTextLength = 5;

inline constexpr std::uint8_t kHeaderCommand = 0x21;  // '!'
inline constexpr std::uint8_t kHeaderQuery = 0x3F;    // '?'
inline constexpr std::uint8_t kHeaderAck = 0x06;
inline constexpr std::uint8_t kFrameId0 = 0x89;
inline constexpr std::uint8_t kFrameId1 = 0x01;
inline constexpr std::uint8_t kTerminator = 0x0A;

inline constexpr std::size_t kCommandLength = 8;  // header, 89 01, code, data, terminator
inline constexpr std::size_t kQueryLength = 6;    // header, 89 01, code, terminator
inline constexpr std::size_t kAckLength = 6;
inline constexpr std::size_t kRecordLength = 16;
inline constexpr std::size_t kCodeOffset = 3;
inline constexpr std::size_t kDataOffset = 5;

using Command = std::array<std::uint8_t, kCommandLength>;
using Query = std::array<std::uint8_t, kQueryLength>;
using Record = std::array<std::uint8_t, kRecordLength>;

// From the updater.
inline constexpr Command kMainCommand{0x21, 0x89, 0x01, 'U', 'D', 'E', 'T', 0x0A};
inline constexpr Command kSubCommand{0x21, 0x89, 0x01, 'U', 'D', 'R', 'E', 0x0A};
inline constexpr Query kModelQuery{0x3F, 0x89, 0x01, 'M', 'D', 0x0A};
inline constexpr Record kSqRecord{'S',  'Q',  0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
                                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
inline constexpr Record kScRecord{'S',  'C',  0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
                                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

// From the projector.
inline constexpr Query kDownloadAck{0x06, 0x89, 0x01, 'U', 'D', 0x0A};
inline constexpr Query kModelAck{0x06, 0x89, 0x01, 'M', 'D', 0x0A};
inline constexpr Record kSqReply{'s',  'q',  0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
inline constexpr Record kScReply{'s',  'c',  0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

// The model answer: acknowledgement (6) plus model reply (20), written together.
inline constexpr std::size_t kModelAnswerLength = 26;
inline constexpr std::size_t kModelAckLength = 6;
inline constexpr std::size_t kModelLetterIndex = 24;  // the one byte the updater classifies
inline constexpr std::size_t kModelFieldLength = 14;  // reply bytes 5..18

// 26 bytes; the code is right-aligned in the field so its last character is byte 24.
std::vector<std::uint8_t> ModelAnswer(std::string_view modelCode);

}  // namespace tessaly::pjsim::wire
