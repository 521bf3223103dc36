#pragma once
// The boot loader's own copy of the Magic, BOOTP (RFC 951) and TFTP (RFC 1350) bytes, and
// the checks of what the updater sends. No sockets and no threads, so every check can be
// driven datagram by datagram. Independent of the updater's sources on purpose: an encoding
// mistake there must show up here as a violation.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim_options.h"

namespace tessaly::pjsim::boot {

using Bytes = std::vector<std::uint8_t>;
using Ipv4 = std::array<std::uint8_t, 4>;  // first part first, as on the wire

std::optional<Ipv4> ParseIpv4(std::string_view text);
std::string Ipv4Text(const Ipv4& address);

struct Endpoint {
  Ipv4 address{};
  std::uint16_t port = 0;
  bool operator==(const Endpoint&) const = default;
  std::string Text() const;  // "a.b.c.d:port"
};

// --- Magic packet ------------------------------------------------------------------------

inline constexpr std::size_t kMagicLength = 30;
inline constexpr std::uint8_t kMagicMarker = 0xAA;
inline constexpr std::size_t kMagicMarkerLength = 6;
inline constexpr std::size_t kMagicMacCopies = 4;

// Nothing when the packet wakes a boot loader with this MAC, otherwise what is wrong,
// naming the first wrong byte.
std::optional<std::string> CheckMagic(std::span<const std::uint8_t> packet, const MacAddress& mac);

// --- BOOTP -------------------------------------------------------------------------------

inline constexpr std::size_t kBootpLength = 300;
inline constexpr std::size_t kOpOffset = 0;
inline constexpr std::size_t kHtypeOffset = 1;
inline constexpr std::size_t kHlenOffset = 2;
inline constexpr std::size_t kHopsOffset = 3;
inline constexpr std::size_t kXidOffset = 4;
inline constexpr std::size_t kSecsOffset = 8;
inline constexpr std::size_t kUnusedOffset = 10;
inline constexpr std::size_t kCiaddrOffset = 12;
inline constexpr std::size_t kYiaddrOffset = 16;
inline constexpr std::size_t kSiaddrOffset = 20;
inline constexpr std::size_t kGiaddrOffset = 24;
inline constexpr std::size_t kChaddrOffset = 28;
inline constexpr std::size_t kChaddrLength = 16;
inline constexpr std::size_t kSnameOffset = 44;
inline constexpr std::size_t kSnameLength = 64;
inline constexpr std::size_t kFileOffset = 108;
inline constexpr std::size_t kFileLength = 128;
inline constexpr std::size_t kVendOffset = 236;

inline constexpr std::uint8_t kBootRequest = 1;
inline constexpr std::uint8_t kBootReply = 2;
inline constexpr std::uint8_t kHtypeEthernet = 1;
inline constexpr std::uint8_t kHlenEthernet = 6;

inline constexpr std::string_view kServerName = "stellaris";
inline constexpr std::string_view kBootFile = "firmware.bin";

using BootpPacket = std::array<std::uint8_t, kBootpLength>;

// op 1, htype 1, hlen 6, the xid, chaddr, sname and a NUL; every other byte 0.
BootpPacket BuildBootpRequest(std::uint32_t xid, const MacAddress& chaddr, std::string_view sname);
// Nothing when the datagram is too short to carry one.
std::optional<std::uint32_t> BootpXid(std::span<const std::uint8_t> packet);

struct BootpReplyCheck {
  bool ours = false;    // carries our xid: to be checked and counted; otherwise ignored
  bool usable = false;  // ours, op 2, and names a server to fetch the image from
  Ipv4 yiaddr{};
  Ipv4 siaddr{};
  std::vector<std::string> problems;  // each names the first wrong byte of a field
};

// The reply must be the request turned round: op 2, yiaddr the projector's address, siaddr
// the updater's, file "firmware.bin" and a NUL; every other byte as in the request.
BootpReplyCheck CheckBootpReply(std::span<const std::uint8_t> reply, const BootpPacket& request,
                                const Ipv4& own_address, const Ipv4& server_address);

// --- TFTP --------------------------------------------------------------------------------

inline constexpr std::uint16_t kOpRrq = 1;
inline constexpr std::uint16_t kOpWrq = 2;
inline constexpr std::uint16_t kOpData = 3;
inline constexpr std::uint16_t kOpAck = 4;
inline constexpr std::uint16_t kOpError = 5;
inline constexpr std::size_t kTftpHeaderLength = 4;
inline constexpr std::size_t kBlockSize = 512;
inline constexpr std::uint16_t kErrorUnknownTid = 5;
inline constexpr std::string_view kOctetMode = "octet";

Bytes BuildRrq(std::string_view file, std::string_view mode);
std::array<std::uint8_t, kTftpHeaderLength> BuildAck(std::uint16_t block);
Bytes BuildError(std::uint16_t code, std::string_view message);

struct TftpDatagram {
  std::uint16_t opcode = 0;
  std::uint16_t number = 0;               // block (DATA, ACK) or error code (ERROR)
  std::span<const std::uint8_t> payload;  // DATA bytes; ERROR message bytes
};
// Nothing for fewer than 4 bytes. The payload points into `bytes`.
std::optional<TftpDatagram> ParseTftp(std::span<const std::uint8_t> bytes);

// What one datagram on the TFTP socket means for the transfer.
struct TftpStep {
  enum class Kind {
    kBlock,        // the next block, appended to the image
    kDuplicate,    // the block taken last, again: the server resent it
    kRejected,     // not taken: out of sequence, malformed, not DATA
    kStray,        // from another transfer identifier: answer ERROR 5, carry on
    kServerError,  // ERROR from the server: the transfer is over
  };
  Kind kind = Kind::kRejected;
  bool data = false;        // a DATA datagram, taken or not
  std::uint16_t block = 0;  // kBlock, kDuplicate: the number to acknowledge
  bool last = false;        // kBlock, kDuplicate: the last block (shorter than 512 bytes)
  std::vector<std::string> problems;
};

// The receiving side of one read transfer: sequence, transfer identifier and image checks.
class TftpReceiver {
 public:
  // `server`: where the read request went. `expected` may be null: then nothing is compared.
  TftpReceiver(Endpoint server, std::shared_ptr<const Bytes> expected);

  TftpStep Take(std::span<const std::uint8_t> datagram, const Endpoint& source);

  bool started() const { return peer_.has_value(); }
  bool complete() const { return complete_; }
  const std::optional<Endpoint>& peer() const { return peer_; }
  std::size_t blocks() const { return blocks_; }
  std::size_t bytes() const { return bytes_; }
  std::uint16_t last_block() const { return last_block_; }
  bool compared() const { return expected_ != nullptr; }
  // Complete and, when compared, equal byte for byte.
  bool intact() const;
  std::optional<std::size_t> first_difference() const { return first_difference_; }

 private:
  TftpStep TakeData(const TftpDatagram& d, const Endpoint& source);
  void Append(std::span<const std::uint8_t> payload, std::uint16_t block, std::vector<std::string>& problems);

  const Endpoint server_;
  const std::shared_ptr<const Bytes> expected_;
  std::optional<Endpoint> peer_;  // the server's transfer identifier, from DATA block 1
  std::uint16_t last_block_ = 0;
  std::size_t blocks_ = 0;
  std::size_t bytes_ = 0;
  bool complete_ = false;
  Bytes last_payload_;
  std::optional<std::size_t> first_difference_;
};

}  // namespace tessaly::pjsim::boot
