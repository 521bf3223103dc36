// The boot loader's pure parts: Magic check, BOOTP request and reply check, TFTP packets and
// the receiving side of a transfer. Expected bytes are written out here by hand.

#include "boot_protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly::pjsim::boot {
namespace {

Bytes Hex(std::initializer_list<int> v) {
  Bytes out;
  for (int b : v) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

Bytes Text(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

bool Contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

std::string All(const std::vector<std::string>& texts) {
  std::string out;
  for (const std::string& t : texts) out += "\n  " + t;
  return out;
}

constexpr MacAddress kAllOnes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr MacAddress kOther{0x00, 0x1B, 0x44, 0x11, 0x3A, 0xB7};

Bytes Magic(const MacAddress& mac) {
  Bytes out(6, 0xAA);
  for (int copy = 0; copy < 4; ++copy) out.insert(out.end(), mac.begin(), mac.end());
  return out;
}

// --- MAC text ----------------------------------------------------------------------------

TEST(PjsimBootProtocol, MacTextParsesWithAnySeparatorAndPrintsWithColons) {
  EXPECT_EQ(ParseMacAddress("FF:FF:FF:FF:FF:FF"), kAllOnes);
  EXPECT_EQ(ParseMacAddress("ff.ff.ff.ff.ff.ff"), kAllOnes);
  EXPECT_EQ(ParseMacAddress("00-1b-44-11-3A-B7"), kOther);
  EXPECT_EQ(MacAddressText(kOther), "00:1B:44:11:3A:B7");
  for (std::string_view bad : {"", "FF:FF:FF:FF:FF", "FF:FF:FF:FF:FF:FG", "FF:FF-FF:FF:FF:FF", "FFFFFFFFFFFF",
                               "FF:FF:FF:FF:FF:FF:", "F:FF:FF:FF:FF:FFF"}) {
    EXPECT_FALSE(ParseMacAddress(bad).has_value()) << bad;
  }
}

// --- Magic -------------------------------------------------------------------------------

TEST(PjsimBootProtocol, MagicWithOurMacFourTimesIsValid) {
  EXPECT_EQ(CheckMagic(Magic(kAllOnes), kAllOnes), std::nullopt);
  EXPECT_EQ(CheckMagic(Magic(kOther), kOther), std::nullopt);
}

TEST(PjsimBootProtocol, MagicProblemsNameTheByte) {
  Bytes shortOne = Magic(kAllOnes);
  shortOne.pop_back();
  ASSERT_TRUE(CheckMagic(shortOne, kAllOnes).has_value());
  EXPECT_TRUE(Contains(*CheckMagic(shortOne, kAllOnes), "29 bytes, expected 30"));

  Bytes longOne = Magic(kAllOnes);
  longOne.push_back(0);
  EXPECT_TRUE(Contains(CheckMagic(longOne, kAllOnes).value_or(""), "31 bytes"));

  Bytes marker = Magic(kAllOnes);
  marker[3] = 0xAB;
  EXPECT_TRUE(Contains(CheckMagic(marker, kAllOnes).value_or(""), "byte 3: AB, expected AA"));

  // The right MAC three times and another in the last copy.
  Bytes lastCopy = Magic(kAllOnes);
  lastCopy[29] = 0xFE;
  const std::string text = CheckMagic(lastCopy, kAllOnes).value_or("");
  EXPECT_TRUE(Contains(text, "byte 29: FE, expected FF")) << text;
  EXPECT_TRUE(Contains(text, "copy 4")) << text;

  // Another projector's wake-up.
  EXPECT_TRUE(Contains(CheckMagic(Magic(kOther), kAllOnes).value_or(""), "byte 6: 00, expected FF"));
}

// --- BOOTP -------------------------------------------------------------------------------

TEST(PjsimBootProtocol, RequestHasTheRfc951LayoutAndNothingElse) {
  const BootpPacket p = BuildBootpRequest(0x12345678, kOther, "stellaris");
  ASSERT_EQ(p.size(), 300u);
  Bytes want(300, 0);
  want[0] = 1;  // op BOOTREQUEST
  want[1] = 1;  // htype Ethernet
  want[2] = 6;  // hlen
  want[4] = 0x12;
  want[5] = 0x34;
  want[6] = 0x56;
  want[7] = 0x78;
  for (std::size_t i = 0; i < 6; ++i) want[28 + i] = kOther[i];
  const std::string sname = "stellaris";
  for (std::size_t i = 0; i < sname.size(); ++i) want[44 + i] = static_cast<std::uint8_t>(sname[i]);
  EXPECT_EQ(Bytes(p.begin(), p.end()), want);
  EXPECT_EQ(BootpXid(p), 0x12345678u);
}

TEST(PjsimBootProtocol, RequestCarriesAnotherServerNameWithItsNul) {
  const BootpPacket upper = BuildBootpRequest(1, kAllOnes, "STELLARIS");
  EXPECT_EQ(Bytes(upper.begin() + 44, upper.begin() + 54), Text(std::string("STELLARIS") + '\0'));
  const BootpPacket longer = BuildBootpRequest(1, kAllOnes, "stellaris2");
  EXPECT_EQ(Bytes(longer.begin() + 44, longer.begin() + 55), Text(std::string("stellaris2") + '\0'));
  // At most 63 characters: the field keeps its NUL.
  const BootpPacket tooLong = BuildBootpRequest(1, kAllOnes, std::string(80, 'x'));
  EXPECT_EQ(tooLong[44 + 62], 'x');
  EXPECT_EQ(tooLong[44 + 63], 0);
}

const Ipv4 kProjector{127, 0, 0, 2};
const Ipv4 kUpdater{127, 0, 0, 1};

// The request turned into the reply as an updater does it.
Bytes ReplyTo(const BootpPacket& request) {
  Bytes r(request.begin(), request.end());
  r[0] = 2;
  for (std::size_t i = 0; i < 4; ++i) {
    r[16 + i] = kProjector[i];
    r[20 + i] = kUpdater[i];
  }
  const std::string file = "firmware.bin";
  for (std::size_t i = 0; i < file.size(); ++i) r[108 + i] = static_cast<std::uint8_t>(file[i]);
  r[108 + file.size()] = 0;
  return r;
}

TEST(PjsimBootProtocol, ProperReplyHasNoProblemAndNamesTheServer) {
  const BootpPacket request = BuildBootpRequest(0xCAFEF00D, kAllOnes, "stellaris");
  const BootpReplyCheck c = CheckBootpReply(ReplyTo(request), request, kProjector, kUpdater);
  EXPECT_TRUE(c.ours);
  EXPECT_TRUE(c.usable);
  EXPECT_TRUE(c.problems.empty()) << All(c.problems);
  EXPECT_EQ(c.yiaddr, kProjector);
  EXPECT_EQ(c.siaddr, kUpdater);
}

TEST(PjsimBootProtocol, ReplyWithAnotherXidIsNotOurs) {
  const BootpPacket request = BuildBootpRequest(0xCAFEF00D, kAllOnes, "stellaris");
  Bytes reply = ReplyTo(request);
  reply[7] ^= 1;
  const BootpReplyCheck c = CheckBootpReply(reply, request, kProjector, kUpdater);
  EXPECT_FALSE(c.ours);
  EXPECT_FALSE(c.usable);
  EXPECT_TRUE(c.problems.empty());
  EXPECT_FALSE(CheckBootpReply(Hex({2, 1, 6, 0, 0xCA, 0xFE, 0xF0}), request, kProjector, kUpdater).ours);
}

struct ReplyFault {
  const char* label;
  std::size_t byte;
  std::uint8_t value;
  const char* expected_text;
};

class PjsimBootReplyFaults : public ::testing::TestWithParam<ReplyFault> {};

TEST_P(PjsimBootReplyFaults, EachWrongByteIsNamed) {
  const BootpPacket request = BuildBootpRequest(0x01020304, kAllOnes, "stellaris");
  Bytes reply = ReplyTo(request);
  reply[GetParam().byte] = GetParam().value;
  const BootpReplyCheck c = CheckBootpReply(reply, request, kProjector, kUpdater);
  EXPECT_TRUE(c.ours);
  ASSERT_EQ(c.problems.size(), 1u) << All(c.problems);
  EXPECT_TRUE(Contains(c.problems[0], GetParam().expected_text)) << c.problems[0];
}

INSTANTIATE_TEST_SUITE_P(
    Fields, PjsimBootReplyFaults,
    ::testing::Values(
        ReplyFault{"op", 0, 1, "byte 0 (op): 01, expected 02"},
        ReplyFault{"htype", 1, 6, "byte 1 (htype): 06, expected 01"},
        ReplyFault{"hlen", 2, 16, "byte 2 (hlen): 10, expected 06"}, ReplyFault{"hops", 3, 1, "byte 3 (hops)"},
        ReplyFault{"secs", 9, 4, "byte 9 (secs)"}, ReplyFault{"ciaddr", 12, 10, "byte 12 (ciaddr)"},
        ReplyFault{"yiaddr", 19, 9, "byte 19 (yiaddr): 127.0.0.9, expected the projector's address 127.0.0.2"},
        ReplyFault{"siaddr", 20, 10, "byte 20 (siaddr): 10.0.0.1, expected the updater's address 127.0.0.1"},
        ReplyFault{"giaddr", 27, 1, "byte 27 (giaddr)"},
        ReplyFault{"chaddr", 33, 0xFE, "byte 33 (chaddr): FE, expected FF"},
        ReplyFault{"chaddr padding", 40, 1, "byte 40 (chaddr)"},
        ReplyFault{"sname", 44, 'S', "byte 44 (sname): 53, expected 73"},
        ReplyFault{"sname end", 53, '2', "byte 53 (sname)"},
        ReplyFault{"file", 119, 'm', "byte 119 (file): file name \"firmware.bim\""},
        ReplyFault{"file nul", 120, 'x', "byte 120 (file)"},
        ReplyFault{"file rest", 200, 1, "byte 200 (file): 01 after the name's NUL"},
        ReplyFault{"vendor", 299, 1, "byte 299 (vendor area)"}),
    [](const ::testing::TestParamInfo<ReplyFault>& p) {
      std::string name = p.param.label;
      for (char& ch : name) {
        if (ch == ' ') ch = '_';
      }
      return name;
    });

TEST(PjsimBootProtocol, ShortReplyIsNamedAndStillUsable) {
  const BootpPacket request = BuildBootpRequest(7, kAllOnes, "stellaris");
  Bytes reply = ReplyTo(request);
  reply.resize(299);
  const BootpReplyCheck c = CheckBootpReply(reply, request, kProjector, kUpdater);
  ASSERT_EQ(c.problems.size(), 1u) << All(c.problems);
  EXPECT_TRUE(Contains(c.problems[0], "reply of 299 bytes, expected 300"));
  EXPECT_TRUE(c.usable);

  reply.resize(20);  // no siaddr: nothing to read from
  const BootpReplyCheck cut = CheckBootpReply(reply, request, kProjector, kUpdater);
  EXPECT_TRUE(cut.ours);
  EXPECT_FALSE(cut.usable);
}

TEST(PjsimBootProtocol, RequestEchoedAsReplyIsNotUsable) {
  const BootpPacket request = BuildBootpRequest(7, kAllOnes, "stellaris");
  const BootpReplyCheck c = CheckBootpReply(request, request, kProjector, kUpdater);
  EXPECT_TRUE(c.ours);
  EXPECT_FALSE(c.usable);
  EXPECT_GE(c.problems.size(), 3u);  // op, yiaddr, siaddr, file
}

// --- TFTP packets ------------------------------------------------------------------------

TEST(PjsimBootProtocol, ReadRequestAckAndErrorBytes) {
  EXPECT_EQ(BuildRrq("firmware.bin", "octet"),
            Hex({0, 1, 'f', 'i', 'r', 'm', 'w', 'a', 'r', 'e', '.', 'b', 'i', 'n', 0, 'o', 'c', 't', 'e', 't', 0}));
  const auto ack = BuildAck(0x1234);
  EXPECT_EQ(Bytes(ack.begin(), ack.end()), Hex({0, 4, 0x12, 0x34}));
  const auto wrap = BuildAck(0);
  EXPECT_EQ(Bytes(wrap.begin(), wrap.end()), Hex({0, 4, 0, 0}));
  EXPECT_EQ(BuildError(5, "Unknown transfer ID"),
            Concat(Hex({0, 5, 0, 5}), Text(std::string("Unknown transfer ID") + '\0')));
}

TEST(PjsimBootProtocol, ParseReadsOpcodeNumberAndPayload) {
  const Bytes data = Hex({0, 3, 0xFF, 0xFE, 9, 8, 7});
  const std::optional<TftpDatagram> d = ParseTftp(data);
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->opcode, 3);
  EXPECT_EQ(d->number, 0xFFFE);
  EXPECT_EQ(Bytes(d->payload.begin(), d->payload.end()), Hex({9, 8, 7}));
  EXPECT_FALSE(ParseTftp(Hex({0, 3, 0})).has_value());
}

// --- The receiving side ------------------------------------------------------------------

const Endpoint kServer{kUpdater, 69};
const Endpoint kDataPort{kUpdater, 33000};

Bytes Data(std::uint16_t block, const Bytes& payload) {
  Bytes out = Hex({0, 3, block >> 8, block & 0xFF});
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes Image(std::size_t size) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>((i * 7 + i / 512) & 0xFF);
  return out;
}

Bytes Slice(const Bytes& image, std::size_t block) {
  const std::size_t from = (block - 1) * 512;
  const std::size_t to = std::min(image.size(), from + 512);
  return Bytes(image.begin() + static_cast<std::ptrdiff_t>(from), image.begin() + static_cast<std::ptrdiff_t>(to));
}

TEST(PjsimBootProtocol, ReceiverTakesBlocksInOrderUntilAShortOne) {
  const Bytes image = Image(1100);
  TftpReceiver r(kServer, std::make_shared<const Bytes>(image));
  EXPECT_FALSE(r.started());
  for (std::size_t k = 1; k <= 3; ++k) {
    const TftpStep s = r.Take(Data(static_cast<std::uint16_t>(k), Slice(image, k)), kDataPort);
    EXPECT_EQ(s.kind, TftpStep::Kind::kBlock) << k;
    EXPECT_EQ(s.block, k);
    EXPECT_EQ(s.last, k == 3);
    EXPECT_TRUE(s.problems.empty()) << All(s.problems);
  }
  EXPECT_TRUE(r.complete());
  EXPECT_TRUE(r.intact());
  EXPECT_EQ(r.bytes(), 1100u);
  EXPECT_EQ(r.blocks(), 3u);
  EXPECT_EQ(r.peer(), kDataPort);
}

TEST(PjsimBootProtocol, ReceiverTakesAnEmptyLastBlock) {
  const Bytes image = Image(1024);
  TftpReceiver r(kServer, std::make_shared<const Bytes>(image));
  ASSERT_FALSE(r.Take(Data(1, Slice(image, 1)), kDataPort).last);
  ASSERT_FALSE(r.Take(Data(2, Slice(image, 2)), kDataPort).last);
  EXPECT_FALSE(r.complete());
  const TftpStep s = r.Take(Data(3, {}), kDataPort);
  EXPECT_EQ(s.kind, TftpStep::Kind::kBlock);
  EXPECT_TRUE(s.last);
  EXPECT_TRUE(r.intact());
  EXPECT_EQ(r.blocks(), 3u);
}

TEST(PjsimBootProtocol, ReceiverAcknowledgesADuplicateWithoutAppendingIt) {
  const Bytes image = Image(600);
  TftpReceiver r(kServer, std::make_shared<const Bytes>(image));
  ASSERT_EQ(r.Take(Data(1, Slice(image, 1)), kDataPort).kind, TftpStep::Kind::kBlock);
  const TftpStep again = r.Take(Data(1, Slice(image, 1)), kDataPort);
  EXPECT_EQ(again.kind, TftpStep::Kind::kDuplicate);
  EXPECT_EQ(again.block, 1);
  EXPECT_TRUE(again.problems.empty()) << All(again.problems);
  EXPECT_EQ(r.bytes(), 512u);
  ASSERT_EQ(r.Take(Data(2, Slice(image, 2)), kDataPort).kind, TftpStep::Kind::kBlock);
  // The last block again, after the end: still acknowledged.
  const TftpStep last = r.Take(Data(2, Slice(image, 2)), kDataPort);
  EXPECT_EQ(last.kind, TftpStep::Kind::kDuplicate);
  EXPECT_TRUE(last.last);
  EXPECT_TRUE(r.intact());
  EXPECT_EQ(r.bytes(), 600u);
}

TEST(PjsimBootProtocol, ResentBlockWithOtherBytesIsAProblem) {
  const Bytes image = Image(600);
  TftpReceiver r(kServer, std::make_shared<const Bytes>(image));
  ASSERT_EQ(r.Take(Data(1, Slice(image, 1)), kDataPort).kind, TftpStep::Kind::kBlock);
  Bytes changed = Slice(image, 1);
  changed[10] ^= 0xFF;
  const TftpStep s = r.Take(Data(1, changed), kDataPort);
  EXPECT_EQ(s.kind, TftpStep::Kind::kDuplicate);
  ASSERT_EQ(s.problems.size(), 1u);
  EXPECT_TRUE(Contains(s.problems[0], "DATA block 1 sent again differs from the first copy at its byte 10"))
      << s.problems[0];
}

TEST(PjsimBootProtocol, ReceiverRejectsWhatBreaksTheSequence) {
  const Bytes image = Image(2000);
  TftpReceiver r(kServer, nullptr);
  const TftpStep first = r.Take(Data(2, Slice(image, 2)), kDataPort);
  EXPECT_EQ(first.kind, TftpStep::Kind::kRejected);
  EXPECT_TRUE(Contains(All(first.problems), "first DATA is block 2, expected block 1"));
  EXPECT_FALSE(r.started());

  ASSERT_EQ(r.Take(Data(1, Slice(image, 1)), kDataPort).kind, TftpStep::Kind::kBlock);
  const TftpStep skip = r.Take(Data(3, Slice(image, 3)), kDataPort);
  EXPECT_EQ(skip.kind, TftpStep::Kind::kRejected);
  EXPECT_TRUE(Contains(All(skip.problems), "DATA block 3 out of sequence: block 1 was taken last, expected block 2"));

  const TftpStep big = r.Take(Data(2, Bytes(513, 1)), kDataPort);
  EXPECT_EQ(big.kind, TftpStep::Kind::kRejected);
  EXPECT_TRUE(Contains(All(big.problems), "carries 513 bytes, at most 512"));

  const TftpStep ack = r.Take(Hex({0, 4, 0, 1}), kDataPort);
  EXPECT_EQ(ack.kind, TftpStep::Kind::kRejected);
  EXPECT_FALSE(ack.data);
  EXPECT_TRUE(Contains(All(ack.problems), "opcode 4"));

  const TftpStep tiny = r.Take(Hex({0, 3}), kDataPort);
  EXPECT_EQ(tiny.kind, TftpStep::Kind::kRejected);
  EXPECT_TRUE(Contains(All(tiny.problems), "2-byte datagram"));
  EXPECT_EQ(r.blocks(), 1u);
  EXPECT_EQ(r.bytes(), 512u);
}

TEST(PjsimBootProtocol, DataFromAnotherPortIsStrayAndLeavesTheTransferAlone) {
  const Bytes image = Image(1000);
  TftpReceiver r(kServer, std::make_shared<const Bytes>(image));
  ASSERT_EQ(r.Take(Data(1, Slice(image, 1)), kDataPort).kind, TftpStep::Kind::kBlock);
  const Endpoint other{kUpdater, 33001};
  const TftpStep s = r.Take(Data(2, Slice(image, 2)), other);
  EXPECT_EQ(s.kind, TftpStep::Kind::kStray);
  EXPECT_TRUE(Contains(All(s.problems), "DATA block 2 from 127.0.0.1:33001, but the transfer is with 127.0.0.1:33000"));
  EXPECT_EQ(r.blocks(), 1u);
  EXPECT_EQ(r.Take(Data(2, Slice(image, 2)), kDataPort).kind, TftpStep::Kind::kBlock);
  EXPECT_TRUE(r.intact());
}

TEST(PjsimBootProtocol, FirstDataFromTheRequestPortOrAnotherHostIsAProblemButTaken) {
  const Bytes image = Image(10);
  TftpReceiver fromRequestPort(kServer, nullptr);
  const TftpStep a = fromRequestPort.Take(Data(1, image), kServer);
  EXPECT_EQ(a.kind, TftpStep::Kind::kBlock);
  EXPECT_TRUE(Contains(All(a.problems), "from the request port 69, expected a new transfer port"));

  TftpReceiver fromElsewhere(kServer, nullptr);
  const TftpStep b = fromElsewhere.Take(Data(1, image), Endpoint{Ipv4{127, 0, 0, 9}, 33000});
  EXPECT_EQ(b.kind, TftpStep::Kind::kBlock);
  EXPECT_TRUE(Contains(All(b.problems), "from 127.0.0.9:33000, but the read request went to 127.0.0.1:69"));
}

TEST(PjsimBootProtocol, ErrorFromTheServerEndsTheTransfer) {
  TftpReceiver r(kServer, nullptr);
  const TftpStep s = r.Take(Concat(Hex({0, 5, 0, 4}), Text(std::string("Only RRQ is supported!") + '\0')), kServer);
  EXPECT_EQ(s.kind, TftpStep::Kind::kServerError);
  EXPECT_TRUE(Contains(All(s.problems), "ERROR code 4 \"Only RRQ is supported!\""));
}

TEST(PjsimBootProtocol, ImageDifferencesAreNamedByByte) {
  const Bytes image = Image(1000);
  TftpReceiver r(kServer, std::make_shared<const Bytes>(image));
  ASSERT_TRUE(r.Take(Data(1, Slice(image, 1)), kDataPort).problems.empty());
  Bytes second = Slice(image, 2);
  second[188] ^= 0x01;  // image byte 700
  const TftpStep s = r.Take(Data(2, second), kDataPort);
  EXPECT_EQ(s.kind, TftpStep::Kind::kBlock);
  EXPECT_TRUE(s.last);
  ASSERT_EQ(s.problems.size(), 1u) << All(s.problems);
  EXPECT_TRUE(Contains(s.problems[0], "image byte 700 (block 2, byte 188 of its data)")) << s.problems[0];
  EXPECT_TRUE(r.complete());
  EXPECT_FALSE(r.intact());
  EXPECT_EQ(r.first_difference(), 700u);
}

TEST(PjsimBootProtocol, ImageOfAnotherSizeIsNotIntact) {
  const Bytes image = Image(1000);
  TftpReceiver shorter(kServer, std::make_shared<const Bytes>(image));
  ASSERT_TRUE(shorter.Take(Data(1, Slice(image, 1)), kDataPort).problems.empty());
  const TftpStep s = shorter.Take(Data(2, Bytes(image.begin() + 512, image.begin() + 900)), kDataPort);
  EXPECT_TRUE(Contains(All(s.problems), "image of 900 bytes received, the expected image has 1000"));
  EXPECT_FALSE(shorter.intact());

  TftpReceiver longer(kServer, std::make_shared<const Bytes>(Image(100)));
  const TftpStep l = longer.Take(Data(1, Image(101)), kDataPort);
  EXPECT_TRUE(
      Contains(All(l.problems), "image byte 100 (block 1) lies past the end of the expected image of 100 bytes"));
  EXPECT_FALSE(longer.intact());
}

TEST(PjsimBootProtocol, WithoutAnExpectedImageACompleteTransferIsIntact) {
  TftpReceiver r(kServer, nullptr);
  EXPECT_FALSE(r.compared());
  ASSERT_TRUE(r.Take(Data(1, Image(5)), kDataPort).last);
  EXPECT_TRUE(r.intact());
}

TEST(PjsimBootProtocol, BlockNumbersWrapFrom65535ToZero) {
  const Bytes full(512, 0x5A);
  TftpReceiver r(kServer, nullptr);
  for (std::uint32_t k = 1; k <= 65535; ++k) {
    const TftpStep s = r.Take(Data(static_cast<std::uint16_t>(k), full), kDataPort);
    ASSERT_EQ(s.kind, TftpStep::Kind::kBlock) << k;
  }
  EXPECT_EQ(r.last_block(), 65535);
  const TftpStep zero = r.Take(Data(0, full), kDataPort);
  EXPECT_EQ(zero.kind, TftpStep::Kind::kBlock);
  EXPECT_EQ(zero.block, 0);
  EXPECT_EQ(r.Take(Data(0, full), kDataPort).kind, TftpStep::Kind::kDuplicate);
  const TftpStep last = r.Take(Data(1, Bytes(100, 1)), kDataPort);
  EXPECT_EQ(last.kind, TftpStep::Kind::kBlock);
  EXPECT_TRUE(last.last);
  EXPECT_EQ(r.blocks(), 65537u);
  EXPECT_EQ(r.bytes(), 65536u * 512u + 100u);
}

}  // namespace
}  // namespace tessaly::pjsim::boot
