#include "boot_protocol.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "sim_report.h"

namespace tessaly::pjsim::boot {
namespace {

std::string HexByte(std::uint8_t b) { return ToHex(std::span<const std::uint8_t>(&b, 1)); }

std::uint16_t Read16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

void Put16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 8);
  at[1] = static_cast<std::uint8_t>(value & 0xFF);
}

// Printable text for a field that may hold anything, up to its first NUL.
std::string Quoted(std::span<const std::uint8_t> bytes) {
  std::string out = "\"";
  for (std::uint8_t b : bytes) {
    if (b == 0) break;
    if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
      out += static_cast<char>(b);
    } else {
      out += "\\x" + HexByte(b);
    }
  }
  return out + "\"";
}

std::optional<std::size_t> FirstDifference(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return i;
  }
  if (a.size() != b.size()) return n;
  return std::nullopt;
}

struct Field {
  std::size_t offset;
  std::size_t length;
  const char* name;
};

// The fields that the updater must leave as the request had them.
constexpr std::array<Field, 11> kEchoedFields{{
    {kHtypeOffset, 1, "htype"},
    {kHlenOffset, 1, "hlen"},
    {kHopsOffset, 1, "hops"},
    {kXidOffset, 4, "xid"},
    {kSecsOffset, 2, "secs"},
    {kUnusedOffset, 2, "unused"},
    {kCiaddrOffset, 4, "ciaddr"},
    {kGiaddrOffset, 4, "giaddr"},
    {kChaddrOffset, kChaddrLength, "chaddr"},
    {kSnameOffset, kSnameLength, "sname"},
    {kVendOffset, kBootpLength - kVendOffset, "vendor area"},
}};

Ipv4 AddressAt(std::span<const std::uint8_t> bytes, std::size_t at) {
  return Ipv4{bytes[at], bytes[at + 1], bytes[at + 2], bytes[at + 3]};
}

}  // namespace

std::optional<Ipv4> ParseIpv4(std::string_view text) {
  const std::string s(text);
  in_addr address{};
  if (::inet_pton(AF_INET, s.c_str(), &address) != 1) return std::nullopt;
  Ipv4 out{};
  std::memcpy(out.data(), &address.s_addr, out.size());
  return out;
}

std::string Ipv4Text(const Ipv4& address) {
  return std::to_string(address[0]) + "." + std::to_string(address[1]) + "." + std::to_string(address[2]) + "." +
         std::to_string(address[3]);
}

std::string Endpoint::Text() const { return Ipv4Text(address) + ":" + std::to_string(port); }

// --- Magic -------------------------------------------------------------------------------

std::optional<std::string> CheckMagic(std::span<const std::uint8_t> packet, const MacAddress& mac) {
  if (packet.size() != kMagicLength) {
    return "Magic packet of " + std::to_string(packet.size()) + " bytes, expected " + std::to_string(kMagicLength) +
           " (0xAA x6, then the MAC " + MacAddressText(mac) + " x4)";
  }
  for (std::size_t i = 0; i < kMagicMarkerLength; ++i) {
    if (packet[i] != kMagicMarker) {
      return "Magic packet byte " + std::to_string(i) + ": " + HexByte(packet[i]) + ", expected AA";
    }
  }
  for (std::size_t copy = 0; copy < kMagicMacCopies; ++copy) {
    for (std::size_t i = 0; i < mac.size(); ++i) {
      const std::size_t at = kMagicMarkerLength + copy * mac.size() + i;
      if (packet[at] != mac[i]) {
        return "Magic packet byte " + std::to_string(at) + ": " + HexByte(packet[at]) + ", expected " +
               HexByte(mac[i]) + " (MAC " + MacAddressText(mac) + ", copy " + std::to_string(copy + 1) + ")";
      }
    }
  }
  return std::nullopt;
}

// --- BOOTP -------------------------------------------------------------------------------

BootpPacket BuildBootpRequest(std::uint32_t xid, const MacAddress& chaddr, std::string_view sname) {
  BootpPacket p{};
  p[kOpOffset] = kBootRequest;
  p[kHtypeOffset] = kHtypeEthernet;
  p[kHlenOffset] = kHlenEthernet;
  for (std::size_t i = 0; i < 4; ++i) p[kXidOffset + i] = static_cast<std::uint8_t>(xid >> (24 - 8 * i));
  std::copy(chaddr.begin(), chaddr.end(), p.begin() + kChaddrOffset);
  sname = sname.substr(0, kSnameLength - 1);  // the NUL must fit
  for (std::size_t i = 0; i < sname.size(); ++i) p[kSnameOffset + i] = static_cast<std::uint8_t>(sname[i]);
  return p;
}

std::optional<std::uint32_t> BootpXid(std::span<const std::uint8_t> packet) {
  if (packet.size() < kXidOffset + 4) return std::nullopt;
  std::uint32_t xid = 0;
  for (std::size_t i = 0; i < 4; ++i) xid = (xid << 8) | packet[kXidOffset + i];
  return xid;
}

BootpReplyCheck CheckBootpReply(std::span<const std::uint8_t> reply, const BootpPacket& request,
                                const Ipv4& own_address, const Ipv4& server_address) {
  BootpReplyCheck out;
  const std::optional<std::uint32_t> xid = BootpXid(reply);
  if (!xid || *xid != *BootpXid(request)) return out;
  out.ours = true;
  auto problem = [&](std::size_t byte, std::string_view field, std::string text) {
    out.problems.push_back("byte " + std::to_string(byte) + " (" + std::string(field) + "): " + std::move(text));
  };

  if (reply.size() != kBootpLength) {
    out.problems.push_back("reply of " + std::to_string(reply.size()) + " bytes, expected " +
                           std::to_string(kBootpLength));
  }
  const std::span<const std::uint8_t> asked(request);
  if (reply[kOpOffset] != kBootReply) {
    problem(kOpOffset, "op", HexByte(reply[kOpOffset]) + ", expected 02 (BOOTREPLY)");
  }
  for (const Field& f : kEchoedFields) {
    if (reply.size() < f.offset + f.length) continue;  // the length problem covers it
    const auto got = reply.subspan(f.offset, f.length);
    const auto want = asked.subspan(f.offset, f.length);
    if (const std::optional<std::size_t> i = FirstDifference(got, want)) {
      std::string text = HexByte(got[*i]) + ", expected " + HexByte(want[*i]) + " as in the request";
      if (f.offset == kSnameOffset) text += " (sname " + Quoted(got) + ", sent " + Quoted(want) + ")";
      problem(f.offset + *i, f.name, std::move(text));
    }
  }
  if (reply.size() >= kYiaddrOffset + 4) {
    out.yiaddr = AddressAt(reply, kYiaddrOffset);
    if (const std::optional<std::size_t> i = FirstDifference(out.yiaddr, own_address)) {
      problem(kYiaddrOffset + *i, "yiaddr",
              Ipv4Text(out.yiaddr) + ", expected the projector's address " + Ipv4Text(own_address));
    }
  }
  if (reply.size() >= kSiaddrOffset + 4) {
    out.siaddr = AddressAt(reply, kSiaddrOffset);
    if (const std::optional<std::size_t> i = FirstDifference(out.siaddr, server_address)) {
      problem(kSiaddrOffset + *i, "siaddr",
              Ipv4Text(out.siaddr) + ", expected the updater's address " + Ipv4Text(server_address));
    }
  }
  if (reply.size() >= kFileOffset + kFileLength) {
    const auto file = reply.subspan(kFileOffset, kFileLength);
    Bytes want(kBootFile.begin(), kBootFile.end());
    want.push_back(0);
    if (const std::optional<std::size_t> i = FirstDifference(file.first(want.size()), want)) {
      problem(kFileOffset + *i, "file", "file name " + Quoted(file) + ", expected \"firmware.bin\" and a NUL");
    }
    // After the name's NUL the updater leaves the request's bytes alone.
    const auto rest = file.subspan(want.size());
    const auto asked_rest = asked.subspan(kFileOffset + want.size(), kFileLength - want.size());
    if (const std::optional<std::size_t> i = FirstDifference(rest, asked_rest)) {
      const std::size_t at = kFileOffset + want.size() + *i;
      problem(at, "file",
              HexByte(reply[at]) + " after the name's NUL, expected " + HexByte(asked[at]) + " as in the request");
    }
  }
  const bool zero_server = out.siaddr == Ipv4{};
  out.usable = reply[kOpOffset] == kBootReply && reply.size() >= kSiaddrOffset + 4 && !zero_server;
  return out;
}

// --- TFTP --------------------------------------------------------------------------------

Bytes BuildRrq(std::string_view file, std::string_view mode) {
  Bytes out{0, static_cast<std::uint8_t>(kOpRrq)};
  out.insert(out.end(), file.begin(), file.end());
  out.push_back(0);
  out.insert(out.end(), mode.begin(), mode.end());
  out.push_back(0);
  return out;
}

std::array<std::uint8_t, kTftpHeaderLength> BuildAck(std::uint16_t block) {
  std::array<std::uint8_t, kTftpHeaderLength> out{};
  Put16(out.data(), kOpAck);
  Put16(out.data() + 2, block);
  return out;
}

Bytes BuildError(std::uint16_t code, std::string_view message) {
  Bytes out(kTftpHeaderLength);
  Put16(out.data(), kOpError);
  Put16(out.data() + 2, code);
  out.insert(out.end(), message.begin(), message.end());
  out.push_back(0);
  return out;
}

std::optional<TftpDatagram> ParseTftp(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kTftpHeaderLength) return std::nullopt;
  TftpDatagram d;
  d.opcode = Read16(bytes, 0);
  d.number = Read16(bytes, 2);
  d.payload = bytes.subspan(kTftpHeaderLength);
  return d;
}

TftpReceiver::TftpReceiver(Endpoint server, std::shared_ptr<const Bytes> expected)
    : server_(server), expected_(std::move(expected)) {}

bool TftpReceiver::intact() const {
  if (!complete_) return false;
  if (!expected_) return true;
  return !first_difference_ && bytes_ == expected_->size();
}

TftpStep TftpReceiver::Take(std::span<const std::uint8_t> datagram, const Endpoint& source) {
  TftpStep step;
  const std::optional<TftpDatagram> d = ParseTftp(datagram);
  const bool from_peer = peer_ && source == *peer_;
  if (peer_ && !from_peer) {
    // RFC 1350: answer the stranger with ERROR 5 and leave the transfer as it is.
    step.kind = TftpStep::Kind::kStray;
    step.data = d && d->opcode == kOpData;
    std::string what =
        d ? (d->opcode == kOpData ? "DATA block " + std::to_string(d->number) : "opcode " + std::to_string(d->opcode))
          : std::to_string(datagram.size()) + "-byte datagram";
    step.problems.push_back(what + " from " + source.Text() + ", but the transfer is with " + peer_->Text());
    return step;
  }
  if (!d) {
    step.problems.push_back(std::to_string(datagram.size()) + "-byte datagram from " + source.Text() +
                            " is no TFTP packet");
    return step;
  }
  if (d->opcode == kOpError) {
    step.kind = TftpStep::Kind::kServerError;
    step.problems.push_back("ERROR code " + std::to_string(d->number) + " " + Quoted(d->payload) + " from " +
                            source.Text() + (started() ? " after block " + std::to_string(blocks_) : "") +
                            ": the transfer is over");
    return step;
  }
  if (d->opcode != kOpData) {
    step.problems.push_back("opcode " + std::to_string(d->opcode) + " from " + source.Text() + ", expected DATA (3)");
    return step;
  }
  step.data = true;
  return TakeData(*d, source);
}

TftpStep TftpReceiver::TakeData(const TftpDatagram& d, const Endpoint& source) {
  TftpStep step;
  step.data = true;
  const std::size_t size = d.payload.size();
  const std::string name = "DATA block " + std::to_string(d.number);
  if (size > kBlockSize) {
    step.problems.push_back(name + " carries " + std::to_string(size) + " bytes, at most " +
                            std::to_string(kBlockSize));
    return step;
  }
  if (!started()) {
    if (d.number != 1) {
      step.problems.push_back("first DATA is block " + std::to_string(d.number) + ", expected block 1");
      return step;
    }
    if (source.address != server_.address) {
      step.problems.push_back(name + " from " + source.Text() + ", but the read request went to " + server_.Text());
    }
    if (source.port == server_.port) {
      step.problems.push_back(name + " from the request port " + std::to_string(server_.port) +
                              ", expected a new transfer port");
    }
    peer_ = source;
  } else if (complete_) {
    if (d.number == last_block_) {
      step.kind = TftpStep::Kind::kDuplicate;
    } else {
      step.problems.push_back(name + " after the last block " + std::to_string(last_block_));
      return step;
    }
  } else if (d.number == static_cast<std::uint16_t>(last_block_ + 1)) {
    step.kind = TftpStep::Kind::kBlock;
  } else if (d.number == last_block_) {
    step.kind = TftpStep::Kind::kDuplicate;
  } else {
    step.problems.push_back(name + " out of sequence: block " + std::to_string(last_block_) +
                            " was taken last, expected block " +
                            std::to_string(static_cast<std::uint16_t>(last_block_ + 1)));
    return step;
  }

  if (step.kind == TftpStep::Kind::kDuplicate) {
    if (const std::optional<std::size_t> i = FirstDifference(d.payload, last_payload_)) {
      step.problems.push_back(name + " sent again differs from the first copy at its byte " + std::to_string(*i) +
                              " (" + std::to_string(size) + " bytes now, " + std::to_string(last_payload_.size()) +
                              " before)");
    }
    step.block = d.number;
    step.last = complete_;
    return step;
  }

  step.kind = TftpStep::Kind::kBlock;
  step.block = d.number;
  last_block_ = d.number;
  ++blocks_;
  Append(d.payload, d.number, step.problems);
  last_payload_.assign(d.payload.begin(), d.payload.end());
  if (size < kBlockSize) {
    complete_ = true;
    step.last = true;
    if (expected_ && bytes_ != expected_->size()) {
      step.problems.push_back("image of " + std::to_string(bytes_) + " bytes received, the expected image has " +
                              std::to_string(expected_->size()));
    }
  }
  return step;
}

void TftpReceiver::Append(std::span<const std::uint8_t> payload, std::uint16_t block,
                          std::vector<std::string>& problems) {
  const std::size_t offset = bytes_;
  bytes_ += payload.size();
  if (!expected_ || first_difference_) return;
  const Bytes& want = *expected_;
  for (std::size_t i = 0; i < payload.size(); ++i) {
    const std::size_t at = offset + i;
    if (at >= want.size()) {
      first_difference_ = at;
      problems.push_back("image byte " + std::to_string(at) + " (block " + std::to_string(block) +
                         ") lies past the end of the expected image of " + std::to_string(want.size()) + " bytes");
      return;
    }
    if (payload[i] != want[at]) {
      first_difference_ = at;
      problems.push_back("image byte " + std::to_string(at) + " (block " + std::to_string(block) + ", byte " +
                         std::to_string(i) + " of its data) is " + HexByte(payload[i]) + ", expected " +
                         HexByte(want[at]));
      return;
    }
  }
}

}  // namespace tessaly::pjsim::boot
