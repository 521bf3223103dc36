#pragma once
// How one simulator run behaves: where it listens, which model it claims, and the faults
// it plays so that the updater's error paths can be exercised.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

using MacAddress = std::array<std::uint8_t, 6>;

// "AA:BB:CC:DD:EE:FF"; '-' and '.' separate as well (the updater writes "FF.FF.FF.FF.FF.FF").
std::optional<MacAddress> ParseMacAddress(std::string_view text);
std::string MacAddressText(const MacAddress& mac);

struct SimOptions {
  std::string listen_address = "127.0.0.1";  // dotted IPv4
  std::uint16_t port = 20554;                // 0 picks a free port; see ControlService::port()
  std::string model_code = "QMA";            // its last character lands on byte 24 of the model answer

  bool no_greeting = false;                  // accept and stay silent
  bool greeting_extra = false;               // "PJ_OK\r\n" in one write
  bool split_model_answer = false;           // acknowledgement and model reply as two writes
  std::chrono::milliseconds split_gap{100};  // between the two writes; long enough to be two reads
  CloseAt close_at = CloseAt::kNever;
  // Every close the projector makes itself (close_at, a hook's Close(), the restart) ends
  // in a reset instead of a FIN, as a controller that drops power or reboots would.
  bool close_with_reset = false;
  // The Main download-mode acknowledgement goes out twice, split_gap apart, before the
  // restart into the boot loader.
  bool repeat_ud_ack = false;
  // A reply nobody asked for, split_gap before the answer to the first command after
  // PJACK (the Main download-mode command or the model query): an "sc" record or a "UD"
  // acknowledgement, out of turn.
  enum class Unasked { kNone, kSc, kUdAck };
  Unasked unasked_reply = Unasked::kNone;
  std::chrono::milliseconds answer_delay{0};  // before every write, the greeting included

  // --- The boot loader, started by the Main download-mode command. ---
  // The projector's MAC: the Magic packet must name it, and the BOOTP request carries it.
  // All 0xFF by default, as the updater's MAC text is "FF.FF.FF.FF.FF.FF".
  MacAddress mac{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  std::uint16_t magic_port = 9;          // received; 0 picks a free port
  std::uint16_t bootp_server_port = 67;  // where the request goes
  std::uint16_t bootp_client_port = 68;  // the request's source, the reply's target; 0: free
  std::uint16_t tftp_port = 69;          // where the read request goes
  // Where the BOOTP request goes. On loopback tests a unicast address stands in for it.
  std::string broadcast_address = "255.255.255.255";
  // What the Magic and BOOTP-reply sockets bind to. 255.255.255.255 takes broadcasts only,
  // so an updater on the same host can bind the same ports on its own address.
  std::string broadcast_bind_address = "0.0.0.0";
  // Without a Magic packet, start this long after entering the boot loader; unset: wait.
  std::optional<std::chrono::milliseconds> start_without_magic;
  std::chrono::milliseconds bootp_retry{1000};
  int bootp_tries = 10;  // requests sent before giving up
  std::chrono::milliseconds tftp_timeout{1000};
  int tftp_tries = 5;  // time-outs in a row before giving up; all but the last resend
  // The Main image the updater is expected to serve; the bytes win over the path.
  std::shared_ptr<const std::vector<std::uint8_t>> expected_image;
  std::string expected_image_path;
  std::chrono::milliseconds restart_delay{2000};

  // Boot-loader faults.
  std::optional<MacAddress> bootp_mac;  // another chaddr in the request
  std::string bootp_sname = "stellaris";
  bool skip_bootp = false;  // read request straight away, to tftp_server
  std::string tftp_server;  // empty: the control connection's peer
  int drop_acks = 0;        // DATA datagrams whose ACK is withheld, from the first
  bool duplicate_acks = false;
  std::size_t stop_at_block = 0;  // 0: never; else silent from the K-th block on

  // --- The video processor's Sub firmware receiver, on the control connection after "sc". ---
  std::chrono::milliseconds burn_time{3000};  // last block acknowledged -> burn report
  // The Sub image the updater is expected to stream, the whole file: its bytes from 32 on
  // are compared with the payload. The bytes win over the path.
  std::shared_ptr<const std::vector<std::uint8_t>> sub_expected_image;
  std::string sub_image_path;
  // Short of the updater's read budget for an acknowledgement (about 230 ms), so the two
  // pieces are still taken as one answer.
  std::chrono::milliseconds sub_ack_split_gap{50};
  // Longer than the updater's polling interval for the burn report (100 ms), so its one
  // read sees only the first piece.
  std::chrono::milliseconds sub_burn_report_split_gap{300};

  // Sub receiver faults. Blocks count from 1; the last, short block counts too.
  std::size_t sub_bad_ack_at = 0;       // 0: never; else block K's acknowledgement has a wrong byte
  bool sub_split_ack = false;           // 48-byte acknowledgements as 16 + 32 bytes
  bool sub_split_burn_report = false;   // the burn report as 16 + 16 bytes
  bool sub_wrong_checksum = false;      // the burn report carries the checksum plus one
  bool sub_close_upper = false;         // answer the close record with "SD"
  std::size_t sub_close_mid_block = 0;  // 0: never; else drop the connection in block K
};

inline constexpr std::size_t kMaxModelCodeLength = 14;
inline constexpr std::size_t kMaxServerNameLength = 63;  // the BOOTP sname field keeps a NUL
inline constexpr std::size_t kSubImageHeaderLength = 32;

// Reads expected_image_path into expected_image unless the bytes are there already.
// Empty when done, otherwise the reason.
std::string LoadExpectedImage(SimOptions& options);
// Reads sub_image_path into sub_expected_image unless the bytes are there already; a file
// shorter than the 32-byte image header is refused. Empty when done, otherwise the reason.
std::string LoadSubImage(SimOptions& options);

// Empty when the options can be used, otherwise the reason.
std::string ValidateOptions(const SimOptions& options);

}  // namespace tessaly::pjsim
