// The Sub firmware receiver: the state machine fed piece by piece, the receiver on the
// control service's hooks, and the whole simulator driven over 127.0.0.1 by a hand-written
// updater. The updater's side is written out here from the protocol, independently of the
// simulator's tables.

#include "sub_receiver.h"
#include "sub_protocol.h"
#include "test_client.h"
#include "updater_bytes.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "command_line.h"
#include "projector_sim.h"

namespace tessaly::pjsim {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::Clock;
using testing::Concat;
using testing::Hex;
using testing::kBudget;
using testing::kGreeting;
using testing::kMdQuery;
using testing::kPjack;
using testing::kPjreq;
using testing::kSc;
using testing::kSq;
using testing::kUdAck;
using testing::kUdRe;
using testing::TestClient;

constexpr std::size_t kBlock = 16368;

bool Contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

// What the updater sends.
const Bytes kAnnouncement = Hex({0x53, 0x41, 0x42, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0x40, 0, 0, 0, 0, 0});
const Bytes kHeader = Hex({0x54, 0x42, 0xFF, 0x01, 0, 0, 0, 0, 0, 0, 0x3F, 0xF0, 0, 0, 0, 0});
const Bytes kContinue = Hex({0x73, 0x61, 0x42, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0});
const Bytes kClose = Hex({0x53, 0x44, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0});
// What the projector answers.
const Bytes kAckHead = kContinue;
const Bytes kBurnHead = Hex({0x53, 0x41, 0x42, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0x10, 0, 0, 0, 0});

std::uint32_t Sum(const Bytes& bytes) {
  std::uint32_t s = 0;
  for (std::uint8_t b : bytes) s += b;
  return s;
}

Bytes LastAnnouncement(std::size_t r) {
  const std::size_t n = r + 16;
  return Hex({0x53, 0x41, 0x42, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, static_cast<int>(n >> 8),
              static_cast<int>(n & 0xFF), 0, 0, 0, 0});
}

Bytes LastHeader(std::size_t r, std::uint32_t c) {
  return Hex({0x54, 0x42, 0xFF, 0x01, 0, 0, 0xFF, 0xFF, 0, 0, static_cast<int>(r >> 8), static_cast<int>(r & 0xFF),
              static_cast<int>(c >> 24), static_cast<int>((c >> 16) & 0xFF), static_cast<int>((c >> 8) & 0xFF),
              static_cast<int>(c & 0xFF)});
}

// A payload with no period that lines up with packets or blocks.
Bytes Payload(std::size_t n, unsigned seed = 1) {
  Bytes out(n);
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (std::size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<std::uint8_t>(x >> 16);
  }
  return out;
}

// The image file: 32 header bytes (model byte 9 = QMA) and the payload.
std::shared_ptr<const Bytes> ImageOf(const Bytes& payload) {
  Bytes image(32, 0x11);
  image[9] = 0x0A;
  image.insert(image.end(), payload.begin(), payload.end());
  return std::make_shared<const Bytes>(std::move(image));
}

// The updater's whole stream, in order, with the points where it waits for an answer.
struct Stream {
  Bytes bytes;
  std::vector<std::size_t> answer_points;  // offsets at which the projector owes an answer
};

Stream BuildStream(const Bytes& payload) {
  Stream s;
  const std::size_t whole = payload.size() / kBlock;
  const std::size_t r = payload.size() % kBlock;
  auto at = [&](std::size_t from, std::size_t n) {
    return Bytes(payload.begin() + static_cast<std::ptrdiff_t>(from),
                 payload.begin() + static_cast<std::ptrdiff_t>(from + n));
  };
  for (std::size_t i = 0; i < whole; ++i) {
    s.bytes = Concat({s.bytes, kAnnouncement, kHeader, at(i * kBlock, kBlock)});
    s.answer_points.push_back(s.bytes.size());
    s.bytes = Concat({s.bytes, kContinue});
  }
  s.bytes = Concat({s.bytes, LastAnnouncement(r), LastHeader(r, Sum(payload)), at(whole * kBlock, r)});
  s.answer_points.push_back(s.bytes.size());
  s.bytes = Concat({s.bytes, kContinue, kClose});
  s.answer_points.push_back(s.bytes.size());
  return s;
}

// Runs the machine's answers as the receiver would, without sockets or waiting.
struct Projector {
  explicit Projector(sub::Config config, Clock::time_point start = Clock::now()) : machine(std::move(config), start) {}

  void Feed(const Bytes& bytes, std::size_t piece, Clock::time_point now = Clock::now()) {
    const std::size_t step = piece == 0 ? std::max<std::size_t>(bytes.size(), 1) : piece;
    for (std::size_t i = 0; i < bytes.size(); i += step) {
      const std::size_t n = std::min(step, bytes.size() - i);
      Take(machine.Feed(std::span<const std::uint8_t>(bytes).subspan(i, n), now));
    }
  }
  void End() { Take(machine.End()); }

  void Take(const sub::Output& out) {
    messages.insert(messages.end(), out.messages.begin(), out.messages.end());
    violations.insert(violations.end(), out.violations.begin(), out.violations.end());
    for (const sub::Action& a : out.actions) {
      actions.push_back(a);
      if (a.kind == sub::Action::Kind::kSend) {
        sends.push_back(a.bytes);
        machine.Sent(a.mark);
      }
    }
  }

  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const sub::Note& n : messages) out.push_back(n.name);
    return out;
  }
  std::string Violations() const {
    std::string out;
    for (const std::string& v : violations) out += "\n  " + v;
    return out;
  }
  bool HasViolation(std::string_view part) const {
    return std::any_of(violations.begin(), violations.end(), [&](const std::string& v) { return Contains(v, part); });
  }
  const SubReceiverReport& report() const { return machine.report(); }

  sub::StreamMachine machine;
  std::vector<sub::Note> messages;
  std::vector<std::string> violations;
  std::vector<sub::Action> actions;
  std::vector<Bytes> sends;
};

sub::Config Quick(std::shared_ptr<const Bytes> image = nullptr) {
  sub::Config c;
  c.expected_image = std::move(image);
  c.burn_time = 20ms;
  return c;
}

// --- A correct stream, cut into pieces of every size -----------------------------------

struct StreamCase {
  std::size_t payload;
  std::size_t piece;  // 0: all at once
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.payload << " bytes in pieces of " << c.piece; }

class SubStreamPieces : public ::testing::TestWithParam<StreamCase> {};

TEST_P(SubStreamPieces, CorrectStreamIsAnsweredAndIntact) {
  const Bytes payload = Payload(GetParam().payload);
  const Stream stream = BuildStream(payload);
  Projector p(Quick(ImageOf(payload)));
  p.Feed(stream.bytes, GetParam().piece);

  EXPECT_TRUE(p.violations.empty()) << p.Violations();
  const std::size_t whole = payload.size() / kBlock;
  ASSERT_EQ(p.sends.size(), whole + 3);
  for (std::size_t i = 0; i < whole; ++i) {
    ASSERT_EQ(p.sends[i].size(), 48u);
    EXPECT_EQ(Bytes(p.sends[i].begin(), p.sends[i].begin() + 16), kAckHead) << "block " << i + 1;
  }
  EXPECT_EQ(p.sends[whole], kAckHead);
  const Bytes& burn = p.sends[whole + 1];
  ASSERT_EQ(burn.size(), 32u);
  EXPECT_EQ(Bytes(burn.begin(), burn.begin() + 16), kBurnHead);
  const std::uint32_t sum = Sum(payload);
  EXPECT_EQ(Bytes(burn.begin() + 28, burn.end()),
            Hex({static_cast<int>(sum >> 24), static_cast<int>((sum >> 16) & 0xFF), static_cast<int>((sum >> 8) & 0xFF),
                 static_cast<int>(sum & 0xFF)}));
  const Bytes& closing = p.sends[whole + 2];
  ASSERT_GE(closing.size(), 2u);
  EXPECT_EQ(closing[0], 's');
  EXPECT_EQ(closing[1], 'd');

  const SubReceiverReport& r = p.report();
  EXPECT_TRUE(r.intact) << r.verdict;
  EXPECT_EQ(r.phase, SubPhase::kClosed);
  EXPECT_EQ(r.payload_bytes, payload.size());
  EXPECT_EQ(r.blocks, whole + 1);
  EXPECT_EQ(r.whole_blocks, whole);
  EXPECT_EQ(r.last_block_bytes, payload.size() % kBlock);
  ASSERT_TRUE(r.checksum_claimed.has_value());
  EXPECT_EQ(*r.checksum_claimed, sum);
  EXPECT_EQ(r.checksum_computed, sum);
  EXPECT_EQ(r.checksum_reported, std::optional<std::uint32_t>(sum));
  EXPECT_EQ(r.acks_sent, static_cast<int>(whole));
  EXPECT_TRUE(r.last_ack_sent);
  EXPECT_TRUE(r.burn_report_sent);
  EXPECT_EQ(r.continue_records, static_cast<int>(whole + 1));
  EXPECT_TRUE(r.close_received);
  EXPECT_TRUE(r.close_reply_sent);
  EXPECT_EQ(r.differing_bytes, 0u);
  EXPECT_TRUE(Contains(r.verdict, "received intact")) << r.verdict;

  // One message per record and per block, in stream order.
  std::vector<std::string> want;
  for (std::size_t i = 0; i < whole; ++i) {
    want.insert(want.end(), {"SAB", "TB", "SUB-PACKETS(block " + std::to_string(i + 1) + ", 16368 bytes)", "saB"});
  }
  want.insert(want.end(), {"SAB", "TB",
                           "SUB-PACKETS(block " + std::to_string(whole + 1) + ", " +
                               std::to_string(payload.size() % kBlock) + " bytes)",
                           "saB", "SD"});
  EXPECT_EQ(p.names(), want);
  Bytes taken;
  for (const sub::Note& n : p.messages) {
    EXPECT_TRUE(n.valid) << n.name;
    if (n.name.starts_with("SUB-PACKETS")) taken.insert(taken.end(), n.bytes.begin(), n.bytes.end());
  }
  EXPECT_EQ(taken, payload);
}

std::vector<StreamCase> AllStreamCases() {
  std::vector<StreamCase> out;
  for (std::size_t payload : {std::size_t{0}, std::size_t{1000}, kBlock, kBlock + 1, 2 * kBlock + 5}) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{682}, std::size_t{0}}) {
      out.push_back({payload, piece});
    }
  }
  return out;
}

std::string StreamCaseName(const ::testing::TestParamInfo<StreamCase>& p) {
  return "Payload" + std::to_string(p.param.payload) + "_" +
         (p.param.piece == 0 ? std::string("AllAtOnce") : "Pieces" + std::to_string(p.param.piece));
}

INSTANTIATE_TEST_SUITE_P(Sizes, SubStreamPieces, ::testing::ValuesIn(AllStreamCases()), StreamCaseName);

TEST(SubStream, AnswersOwedOnlyAtTheirPoints) {
  // Fed up to each answer point and no further: exactly one more answer is due each time.
  const Bytes payload = Payload(2 * kBlock + 5);
  const Stream stream = BuildStream(payload);
  Projector p(Quick());
  std::size_t from = 0;
  const std::vector<std::size_t> sends_after{1, 2, 4, 5};  // ack, ack, last ack + burn report, sd
  for (std::size_t k = 0; k < stream.answer_points.size(); ++k) {
    const std::size_t to = stream.answer_points[k];
    p.Feed(Bytes(stream.bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 stream.bytes.begin() + static_cast<std::ptrdiff_t>(to - 1)),
           0);
    EXPECT_EQ(p.sends.size(), k == 0 ? 0u : sends_after[k - 1]) << "one byte before answer point " << k;
    p.Feed(Bytes{stream.bytes[to - 1]}, 0);
    EXPECT_EQ(p.sends.size(), sends_after[k]) << "at answer point " << k;
    from = to;
  }
  EXPECT_TRUE(p.violations.empty()) << p.Violations();
  EXPECT_EQ(p.report().early_bytes, 0u);
}

TEST(SubStream, BurnWaitsTheConfiguredTimeBetweenLastAckAndReport) {
  sub::Config c = Quick();
  c.burn_time = 1234ms;
  Projector p(c);
  p.Feed(BuildStream(Payload(1000)).bytes, 0);
  std::vector<sub::Action::Kind> kinds;
  for (const sub::Action& a : p.actions) kinds.push_back(a.kind);
  using K = sub::Action::Kind;
  EXPECT_EQ(kinds, (std::vector<K>{K::kSend, K::kWait, K::kSend, K::kSend}));
  EXPECT_EQ(p.actions.at(1).duration, 1234ms);
}

TEST(SubStream, PacingIsRecordedBetweenBlockEnds) {
  const Clock::time_point t0 = Clock::now();
  const Bytes payload = Payload(2 * kBlock + 5);
  Projector p(Quick(), t0);
  const Bytes block = Concat({kAnnouncement, kHeader});
  p.Feed(Concat({block, Bytes(payload.begin(), payload.begin() + kBlock)}), 0, t0 + 1538ms);
  p.Feed(Concat({kContinue, block, Bytes(payload.begin() + kBlock, payload.begin() + 2 * kBlock)}), 0, t0 + 3100ms);
  p.Feed(Concat({kContinue, LastAnnouncement(5), LastHeader(5, Sum(payload)),
                 Bytes(payload.begin() + 2 * kBlock, payload.end())}),
         0, t0 + 3200ms);
  const SubReceiverReport& r = p.report();
  ASSERT_EQ(r.block_records.size(), 3u);
  EXPECT_EQ(r.block_records[0].since_previous, 1538ms);
  EXPECT_EQ(r.block_records[1].since_previous, 1562ms);
  EXPECT_EQ(r.block_records[2].since_previous, 100ms);
  EXPECT_TRUE(r.block_records[2].last);
  EXPECT_EQ(r.block_records[2].bytes, 5u);
  EXPECT_TRUE(p.violations.empty()) << p.Violations();
}

TEST(SubStream, BytesBehindABlockInTheSameReadAreCountedAsEarly) {
  const Bytes payload = Payload(kBlock + 3);
  Projector p(Quick());
  p.Feed(BuildStream(payload).bytes, 0);
  // Everything after block 1's payload came before its acknowledgement could be seen.
  EXPECT_EQ(p.report().early_bytes, 16u + 32u + 3u + 16u + 16u);
  EXPECT_TRUE(p.violations.empty()) << p.Violations();
  EXPECT_TRUE(p.report().intact);
}

// --- Wrong input --------------------------------------------------------------------------

// The correct stream for 16368 + 1000 bytes with one byte changed.
struct Mutation {
  const char* name;
  std::size_t offset;  // into the stream
  std::uint8_t value;
  const char* violation;  // part of the expected violation text
  bool spoils_image;
};

void PrintTo(const Mutation& m, std::ostream* os) { *os << m.name; }

constexpr std::size_t kR = 1000;
constexpr std::size_t kLastStart = 32 + kBlock + 16;  // where the last announcement begins

class SubStreamWrongByte : public ::testing::TestWithParam<Mutation> {};

TEST_P(SubStreamWrongByte, IsAViolation) {
  const Bytes payload = Payload(kBlock + kR);
  Bytes stream = BuildStream(payload).bytes;
  const Mutation& m = GetParam();
  ASSERT_NE(stream.at(m.offset), m.value);
  stream[m.offset] = m.value;
  Projector p(Quick());
  p.Feed(stream, 7);
  ASSERT_EQ(p.violations.size(), 1u) << p.Violations();
  EXPECT_TRUE(Contains(p.violations[0], m.violation)) << p.violations[0];
  EXPECT_EQ(p.report().intact, !m.spoils_image) << p.report().verdict;
  // Followed to the end all the same.
  EXPECT_EQ(p.report().phase, SubPhase::kClosed);
  EXPECT_EQ(p.sends.size(), 4u);
  EXPECT_EQ(p.report().violations, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Records, SubStreamWrongByte,
    ::testing::Values(
        Mutation{"Announcement", 3, 0x02, "block 1's announcement (SAB): byte 3 is 02 (expected 01)", false},
        Mutation{"AnnouncementTail", 15, 0x01, "block 1's announcement (SAB): byte 15 is 01 (expected 00)", false},
        Mutation{"Header", 16 + 2, 0xFE, "block 1's header (TB): byte 2 is FE (expected FF)", false},
        Mutation{"HeaderChecksumField", 16 + 13, 0x01, "block 1's header (TB): byte 13 is 01 (expected 00)", false},
        Mutation{"Continue", 32 + kBlock + 7, 0xFE,
                 "continue record (saB) after block 1's acknowledgement: byte 7 is FE (expected FF)", false},
        Mutation{"LastAnnouncement", kLastStart + 4, 0x00, "block 2's announcement (SAB): byte 4 is 00 (expected FF)",
                 false},
        Mutation{"LastHeader", kLastStart + 16 + 5, 0x01, "block 2's header (TB): byte 5 is 01 (expected 00)", false},
        Mutation{"LastHeaderChecksum", kLastStart + 16 + 15, 0x00, "the last header claims checksum", true},
        Mutation{"LastHeaderLength", kLastStart + 16 + 11, 0xE9,
                 "block 2's header (TB) announces 1001 payload bytes, its announcement 1016 - 16 = 1000", false},
        Mutation{"FinalContinue", kLastStart + 32 + kR + 2, 0x43,
                 "continue record (saB) after the burn report: byte 2 is 43 (expected 42)", false},
        Mutation{"Close", kLastStart + 32 + kR + 16 + 5, 0x01, "the close record (SD): byte 5 is 01 (expected FF)",
                 false}),
    [](const ::testing::TestParamInfo<Mutation>& p) { return std::string(p.param.name); });

TEST(SubStream, PayloadByteDifferentFromTheImage) {
  const Bytes payload = Payload(kBlock + kR);
  Bytes sent = payload;
  sent[kBlock + 10] ^= 0x01;
  // The updater's checksum matches what it sent: only the image comparison sees it.
  Stream stream = BuildStream(sent);
  Projector p(Quick(ImageOf(payload)));
  p.Feed(stream.bytes, 682);
  ASSERT_EQ(p.violations.size(), 1u) << p.Violations();
  EXPECT_TRUE(Contains(p.violations[0],
                       "block 2's payload differs from the Sub image in 1 byte(s); the first is "
                       "payload byte 16378 (byte 10 of the block)"))
      << p.violations[0];
  const SubReceiverReport& r = p.report();
  EXPECT_FALSE(r.intact);
  EXPECT_EQ(r.first_difference, std::optional<std::size_t>(kBlock + 10));
  EXPECT_EQ(r.differing_bytes, 1u);
  EXPECT_TRUE(Contains(r.verdict, "not received intact")) << r.verdict;
  // The block with the wrong byte is marked, the other is not.
  const auto packets = std::count_if(p.messages.begin(), p.messages.end(),
                                     [](const sub::Note& n) { return n.name.starts_with("SUB-PACKETS") && !n.valid; });
  EXPECT_EQ(packets, 1);
  // The projector cannot tell: it still reports the checksum of what it got.
  EXPECT_EQ(r.checksum_reported, std::optional<std::uint32_t>(Sum(sent)));
}

TEST(SubStream, PayloadLongerThanTheImage) {
  const Bytes payload = Payload(kBlock + kR);
  Projector p(Quick(ImageOf(Bytes(payload.begin(), payload.end() - 1))));
  p.Feed(BuildStream(payload).bytes, 0);
  EXPECT_TRUE(p.HasViolation("beyond the image's payload of 17367 bytes")) << p.Violations();
  EXPECT_TRUE(p.HasViolation("the payload has 17368 bytes, the Sub image's 17367")) << p.Violations();
  EXPECT_FALSE(p.report().intact);
}

TEST(SubStream, PayloadShorterThanTheImage) {
  const Bytes payload = Payload(kR);
  Bytes image_payload = payload;
  image_payload.push_back(7);
  Projector p(Quick(ImageOf(image_payload)));
  p.Feed(BuildStream(payload).bytes, 0);
  ASSERT_EQ(p.violations.size(), 1u) << p.Violations();
  EXPECT_TRUE(Contains(p.violations[0], "the payload has 1000 bytes, the Sub image's 1001")) << p.violations[0];
  EXPECT_FALSE(p.report().intact);
}

TEST(SubStream, MissingContinueBetweenBlocks) {
  const Bytes payload = Payload(2 * kBlock + 5);
  Bytes stream = BuildStream(payload).bytes;
  // Drop the continue record after block 1.
  const auto at = stream.begin() + static_cast<std::ptrdiff_t>(32 + kBlock);
  stream.erase(at, at + 16);
  Projector p(Quick(ImageOf(payload)));
  p.Feed(stream, 7);
  ASSERT_EQ(p.violations.size(), 1u) << p.Violations();
  EXPECT_TRUE(Contains(p.violations[0],
                       "the continue record (saB) is missing after block 1's acknowledgement: block "
                       "2's announcement came instead"))
      << p.violations[0];
  // Still followed: the image itself is whole.
  EXPECT_TRUE(p.report().intact) << p.report().verdict;
  EXPECT_EQ(p.report().phase, SubPhase::kClosed);
}

TEST(SubStream, MissingContinueBeforeTheClose) {
  Bytes stream = BuildStream(Payload(kR)).bytes;
  stream.erase(stream.end() - 32, stream.end() - 16);
  Projector p(Quick());
  p.Feed(stream, 1);
  ASSERT_EQ(p.violations.size(), 1u) << p.Violations();
  EXPECT_TRUE(Contains(p.violations[0], "missing after the burn report: the close record came instead"));
  EXPECT_TRUE(p.report().close_reply_sent);
}

TEST(SubStream, BytesAfterTheClose) {
  Projector p(Quick());
  p.Feed(Concat({BuildStream(Payload(kR)).bytes, Hex({0xAA, 0xBB, 0xCC})}), 0);
  p.Feed(Hex({0xDD}), 0);
  ASSERT_EQ(p.violations.size(), 1u) << p.Violations();
  EXPECT_EQ(p.violations[0], "3 byte(s) after the close record: AA BB CC");
  EXPECT_EQ(p.report().bytes_after_close, 4u);
  EXPECT_TRUE(p.report().intact);
}

TEST(SubStream, SecondContinueWhereAnAnnouncementIsDue) {
  const Bytes payload = Payload(kBlock + 1);
  Bytes stream = BuildStream(payload).bytes;
  stream.insert(stream.begin() + static_cast<std::ptrdiff_t>(32 + kBlock), kContinue.begin(), kContinue.end());
  Projector p(Quick());
  p.Feed(stream, 0);
  ASSERT_EQ(p.violations.size(), 1u) << p.Violations();
  EXPECT_TRUE(Contains(p.violations[0], "an extra continue record (saB) where block 2's announcement was due"));
  EXPECT_TRUE(p.report().intact);
}

TEST(SubStream, HeaderWithoutAnnouncement) {
  const Bytes payload = Payload(kR);
  Bytes stream = BuildStream(payload).bytes;
  stream.erase(stream.begin(), stream.begin() + 16);
  Projector p(Quick());
  p.Feed(stream, 0);
  ASSERT_EQ(p.violations.size(), 1u) << p.Violations();
  EXPECT_TRUE(Contains(p.violations[0], "block 1's header (TB) came without its announcement (SAB)"));
  // The last header alone still gives the length.
  EXPECT_TRUE(p.report().intact) << p.report().verdict;
}

TEST(SubStream, WholeAnnouncementWithLastHeader) {
  const Bytes payload = Payload(kBlock);
  Bytes stream = BuildStream(payload).bytes;
  stream[16 + 6] = 0xFF;
  stream[16 + 7] = 0xFF;
  Projector p(Quick());
  p.Feed(stream, 0);
  ASSERT_EQ(p.violations.size(), 1u) << p.Violations();
  EXPECT_TRUE(Contains(p.violations[0],
                       "block 1's header (TB) is the last block's (bytes 6..7 FF FF) after an "
                       "announcement of a whole block"))
      << p.violations[0];
}

TEST(SubStream, WholeHeaderWithWrongLength) {
  Bytes stream = BuildStream(Payload(kBlock)).bytes;
  stream[16 + 11] = 0xF1;
  Projector p(Quick());
  p.Feed(stream, 0);
  ASSERT_EQ(p.violations.size(), 1u) << p.Violations();
  EXPECT_TRUE(
      Contains(p.violations[0], "block 1's header (TB) announces 16369 payload bytes, a whole block has 16368"));
  // The whole block's length is fixed: the stream is followed by it.
  EXPECT_TRUE(p.report().intact);
}

TEST(SubStream, UnusableAnnouncementLengthLosesTheStream) {
  Bytes stream = BuildStream(Payload(kR)).bytes;
  stream[9] = 0x01;       // 0x0103F8: no block has that
  stream[16 + 6] = 0x12;  // and the header cannot say either
  Projector p(Quick());
  p.Feed(stream, 0);
  EXPECT_TRUE(p.HasViolation("announces 66552 bytes: neither a whole block (16384) nor a last block (16 to 16383)"))
      << p.Violations();
  EXPECT_TRUE(p.HasViolation("the rest of the stream is not followed")) << p.Violations();
  EXPECT_EQ(p.report().phase, SubPhase::kLost);
  EXPECT_FALSE(p.report().intact);
  EXPECT_TRUE(p.sends.empty());
  ASSERT_FALSE(p.messages.empty());
  EXPECT_EQ(p.messages.back().name, "SUB-DATA");
}

TEST(SubStream, UnusableAnnouncementLengthFollowsTheHeader) {
  Bytes stream = BuildStream(Payload(kR)).bytes;
  stream[9] = 0x01;
  Projector p(Quick());
  p.Feed(stream, 0);
  ASSERT_EQ(p.violations.size(), 1u) << p.Violations();
  EXPECT_TRUE(Contains(p.violations[0], "neither a whole block"));
  EXPECT_TRUE(p.report().intact) << p.report().verdict;
}

TEST(SubStream, CloseBeforeTheLastBlock) {
  Projector p(Quick());
  p.Feed(Concat({kAnnouncement, kHeader, Payload(kBlock), kContinue, kClose}), 0);
  ASSERT_EQ(p.violations.size(), 1u) << p.Violations();
  EXPECT_TRUE(Contains(p.violations[0], "the close record (SD) came where block 2's announcement was due"));
  EXPECT_FALSE(p.report().intact);
  EXPECT_EQ(p.sends.size(), 1u);
}

TEST(SubStream, ConnectionEndingInAPayloadIsNotIntact) {
  const Bytes payload = Payload(2 * kBlock + 5);
  const Bytes stream = BuildStream(payload).bytes;
  Projector p(Quick());
  p.Feed(Bytes(stream.begin(), stream.begin() + 32 + kBlock + 16 + 32 + 682 * 3), 682);
  p.End();
  const SubReceiverReport& r = p.report();
  EXPECT_EQ(r.phase, SubPhase::kEnded);
  EXPECT_FALSE(r.intact);
  EXPECT_EQ(r.where, "in block 2's payload after 2046 of 16368 bytes");
  EXPECT_TRUE(Contains(r.verdict, "no last block (in block 2's payload after 2046 of 16368 bytes)")) << r.verdict;
  // An updater may stop after any packet: that alone breaks no rule.
  EXPECT_TRUE(p.violations.empty()) << p.Violations();
  EXPECT_EQ(p.messages.back().name, "SUB-PACKETS(block 2, 2046 bytes)");
  EXPECT_FALSE(p.messages.back().valid);
}

TEST(SubStream, ConnectionEndingInARecordIsAViolation) {
  Projector p(Quick());
  p.Feed(Bytes(kAnnouncement.begin(), kAnnouncement.begin() + 5), 0);
  p.End();
  ASSERT_EQ(p.violations.size(), 1u);
  EXPECT_EQ(p.violations[0],
            "the connection ended awaiting block 1's announcement, with 5 of its 16 bytes: 53 41 42 01 FF");
}

TEST(SubStream, ConnectionEndingDuringTheBurn) {
  Projector p(Quick());
  const Bytes stream = BuildStream(Payload(kR)).bytes;
  // The burn report has not gone out: feed the machine without running its answers.
  const sub::Output out = p.machine.Feed(Bytes(stream.begin(), stream.end() - 32), Clock::now());
  EXPECT_EQ(p.report().phase, SubPhase::kBurning);
  EXPECT_TRUE(out.violations.empty());
  p.End();
  EXPECT_EQ(p.report().phase, SubPhase::kEnded);
  EXPECT_EQ(p.report().where, "burning, before the burn report");
  // The image itself arrived whole.
  EXPECT_TRUE(p.report().intact);
}

// --- Faults the projector plays -------------------------------------------------------

TEST(SubFaults, BadAckAtBlock) {
  sub::Config c = Quick();
  c.bad_ack_at = 2;
  Projector p(c);
  p.Feed(BuildStream(Payload(3 * kBlock)).bytes, 0);
  ASSERT_GE(p.sends.size(), 3u);
  EXPECT_EQ(Bytes(p.sends[0].begin(), p.sends[0].begin() + 16), kAckHead);
  Bytes wrong = kAckHead;
  wrong[1] = 0x41;
  ASSERT_EQ(p.sends[1].size(), 48u);
  EXPECT_EQ(Bytes(p.sends[1].begin(), p.sends[1].begin() + 16), wrong);
  EXPECT_EQ(Bytes(p.sends[2].begin(), p.sends[2].begin() + 16), kAckHead);
}

TEST(SubFaults, SplitAckIs16ThenAGapThen32) {
  sub::Config c = Quick();
  c.split_ack = true;
  Projector p(c);
  p.Feed(Concat({kAnnouncement, kHeader, Payload(kBlock)}), 0);
  ASSERT_EQ(p.actions.size(), 3u);
  EXPECT_EQ(p.actions[0].bytes, kAckHead);
  EXPECT_EQ(p.actions[1].kind, sub::Action::Kind::kWait);
  EXPECT_EQ(p.actions[1].duration, 50ms);
  EXPECT_EQ(p.actions[2].bytes.size(), 32u);
  EXPECT_EQ(p.report().acks_sent, 1);
}

TEST(SubFaults, SplitBurnReportIs16ThenAGapThen16) {
  sub::Config c = Quick();
  c.split_burn_report = true;
  Projector p(c);
  p.Feed(BuildStream(Payload(kR)).bytes, 0);
  // last ack, burn, report head, gap, report tail, sd
  ASSERT_EQ(p.actions.size(), 6u);
  EXPECT_EQ(p.actions[2].bytes, kBurnHead);
  EXPECT_EQ(p.actions[3].kind, sub::Action::Kind::kWait);
  EXPECT_EQ(p.actions[3].duration, 300ms);
  EXPECT_EQ(p.actions[4].bytes.size(), 16u);
  EXPECT_TRUE(p.report().burn_report_sent);
}

TEST(SubFaults, WrongChecksumInTheBurnReport) {
  sub::Config c = Quick();
  c.wrong_checksum = true;
  Projector p(c);
  const Bytes payload = Payload(kR);
  p.Feed(BuildStream(payload).bytes, 0);
  ASSERT_EQ(p.sends.size(), 3u);
  const std::uint32_t plus = Sum(payload) + 1;
  EXPECT_EQ(Bytes(p.sends[1].begin() + 28, p.sends[1].end()),
            Hex({static_cast<int>(plus >> 24), static_cast<int>((plus >> 16) & 0xFF),
                 static_cast<int>((plus >> 8) & 0xFF), static_cast<int>(plus & 0xFF)}));
  EXPECT_EQ(p.report().checksum_reported, std::optional<std::uint32_t>(plus));
  EXPECT_TRUE(p.report().intact);
}

TEST(SubFaults, CloseUpper) {
  sub::Config c = Quick();
  c.close_upper = true;
  Projector p(c);
  p.Feed(BuildStream(Payload(0)).bytes, 0);
  ASSERT_EQ(p.sends.size(), 3u);
  EXPECT_EQ(p.sends[2][0], 'S');
  EXPECT_EQ(p.sends[2][1], 'D');
}

TEST(SubFaults, CloseMidBlockAfterHalfItsPayload) {
  sub::Config c = Quick();
  c.close_mid_block = 2;
  Projector p(c);
  p.Feed(BuildStream(Payload(2 * kBlock + 5)).bytes, 682);
  ASSERT_FALSE(p.actions.empty());
  EXPECT_EQ(p.actions.back().kind, sub::Action::Kind::kClose);
  // Block 1 acknowledged, block 2 never.
  EXPECT_EQ(p.sends.size(), 1u);
  const SubReceiverReport& r = p.report();
  EXPECT_EQ(r.phase, SubPhase::kCutShort);
  EXPECT_EQ(r.where, "in block 2's payload after 8184 of 16368 bytes");
  EXPECT_EQ(r.payload_bytes, kBlock + kBlock / 2);
  EXPECT_FALSE(r.intact);
  EXPECT_TRUE(p.violations.empty()) << p.Violations();
  p.End();  // the close ends the connection: nothing more is reported
  EXPECT_TRUE(p.violations.empty()) << p.Violations();
  EXPECT_EQ(p.report().phase, SubPhase::kCutShort);
}

TEST(SubFaults, CloseMidEmptyLastBlockComesRightAfterItsHeader) {
  sub::Config c = Quick();
  c.close_mid_block = 2;
  Projector p(c);
  p.Feed(BuildStream(Payload(kBlock)).bytes, 0);
  EXPECT_EQ(p.report().phase, SubPhase::kCutShort);
  EXPECT_EQ(p.sends.size(), 1u);
  EXPECT_FALSE(p.report().last_ack_sent);
}

// --- The receiver on the hooks, with a Channel of our own -------------------------------

class FakeChannel final : public Channel {
 public:
  int connection() const override { return 3; }
  const std::string& peer() const override { return peer_; }
  bool Send(std::span<const std::uint8_t> bytes) override {
    sends.emplace_back(bytes.begin(), bytes.end());
    return true;
  }
  void Close() override { closed = true; }
  void RecordMessage(std::string name, std::span<const std::uint8_t> bytes, bool valid) override {
    (void)bytes;
    messages.push_back(name + (valid ? "" : " (invalid)"));
  }
  void RecordViolation(std::string text) override { violations.push_back(std::move(text)); }

  std::vector<Bytes> sends;
  std::vector<std::string> messages;
  std::vector<std::string> violations;
  bool closed = false;

 private:
  std::string peer_ = "127.0.0.1:50000";
};

ConnectionRecord Ended(int index, std::string reason) {
  ConnectionRecord c;
  c.index = index;
  c.ended = true;
  c.end_reason = std::move(reason);
  return c;
}

TEST(SubReceiverHooks, AnswersThroughTheChannelAndPublishes) {
  const Bytes payload = Payload(kBlock + 5);
  std::vector<std::string> events;
  SubReceiver receiver(Quick(ImageOf(payload)), nullptr, nullptr, [&](const std::string& e) { events.push_back(e); });
  FakeChannel channel;
  receiver.OnSubStream(channel);
  EXPECT_EQ(receiver.report().run, 1);
  EXPECT_EQ(receiver.report().phase, SubPhase::kBlocks);
  const Bytes stream = BuildStream(payload).bytes;
  for (std::size_t i = 0; i < stream.size(); i += 4096) {
    const std::size_t n = std::min<std::size_t>(4096, stream.size() - i);
    receiver.OnSubStreamData(std::span<const std::uint8_t>(stream).subspan(i, n), channel);
  }
  ASSERT_EQ(channel.sends.size(), 4u);
  EXPECT_EQ(channel.sends[0].size(), 48u);
  EXPECT_EQ(channel.sends[1], kAckHead);
  EXPECT_EQ(channel.sends[2].size(), 32u);
  EXPECT_EQ(channel.sends[3][1], 'd');
  EXPECT_TRUE(channel.violations.empty());
  EXPECT_EQ(channel.messages.size(), 9u);

  receiver.OnConnectionEnded(Ended(3, "closed by the updater"));
  const SubReceiverReport r = receiver.report();
  EXPECT_EQ(r.connection, 3);
  EXPECT_EQ(r.phase, SubPhase::kClosed);
  EXPECT_TRUE(r.intact) << r.verdict;
  EXPECT_TRUE(
      std::any_of(events.begin(), events.end(), [](const std::string& e) { return Contains(e, "burning for 20 ms"); }));
  EXPECT_TRUE(receiver.report_store()->Snapshot().violations.empty());
}

TEST(SubReceiverHooks, EndMidRecordGoesStraightToTheReport) {
  auto store = std::make_shared<ReportStore>();
  SubReceiver receiver(Quick(), store);
  FakeChannel channel;
  receiver.OnSubStream(channel);
  receiver.OnSubStreamData(std::span<const std::uint8_t>(kAnnouncement).first(9), channel);
  receiver.OnConnectionEnded(Ended(3, "closed by the updater"));
  const Report r = store->Snapshot();
  ASSERT_EQ(r.violations.size(), 1u);
  EXPECT_EQ(r.violations[0].connection, 3);
  EXPECT_EQ(r.violations[0].step, Step::kSubStream);
  EXPECT_TRUE(Contains(r.violations[0].text, "with 9 of its 16 bytes"));
  EXPECT_EQ(receiver.report().phase, SubPhase::kEnded);
}

TEST(SubReceiverHooks, StopBeforeTheBurnSkipsTheWait) {
  sub::Config c = Quick();
  c.burn_time = 60000ms;
  SubReceiver receiver(c);
  FakeChannel channel;
  receiver.OnSubStream(channel);
  receiver.Stop();
  const Bytes stream = BuildStream(Payload(kR)).bytes;
  const Clock::time_point begin = Clock::now();
  receiver.OnSubStreamData(stream, channel);
  EXPECT_LT(Clock::now() - begin, kBudget);
  ASSERT_EQ(channel.sends.size(), 1u);  // the last ack, and no burn report
  EXPECT_EQ(receiver.report().phase, SubPhase::kStopped);
  EXPECT_FALSE(receiver.report().burn_report_sent);
}

TEST(SubReceiverHooksThreaded, StopEndsTheBurnAtOnce) {
  sub::Config c = Quick();
  c.burn_time = 60000ms;
  SubReceiver receiver(c);
  FakeChannel channel;
  receiver.OnSubStream(channel);
  const Bytes stream = BuildStream(Payload(kR)).bytes;
  std::atomic<bool> returned{false};
  std::thread service([&] {
    receiver.OnSubStreamData(stream, channel);
    returned.store(true);
  });
  const bool burning = receiver.WaitFor(
      [](const Report& r) { return r.sub.phase == SubPhase::kBurning && r.sub.last_ack_sent; }, kBudget);
  EXPECT_TRUE(burning);
  EXPECT_FALSE(returned.load());
  const Clock::time_point asked = Clock::now();
  receiver.Stop();
  service.join();
  EXPECT_LT(Clock::now() - asked, kBudget);
  EXPECT_EQ(receiver.report().phase, SubPhase::kStopped);
  EXPECT_FALSE(receiver.report().burn_report_sent);
}

TEST(SubReceiverHooks, CloseMidBlockClosesTheChannel) {
  sub::Config c = Quick();
  c.close_mid_block = 1;
  SubReceiver receiver(c);
  FakeChannel channel;
  receiver.OnSubStream(channel);
  receiver.OnSubStreamData(Concat({kAnnouncement, kHeader, Payload(kBlock)}), channel);
  EXPECT_TRUE(channel.closed);
  EXPECT_TRUE(channel.sends.empty());
  receiver.OnConnectionEnded(Ended(3, "closed by the projector"));
  EXPECT_EQ(receiver.report().phase, SubPhase::kCutShort);
  EXPECT_TRUE(channel.violations.empty());
}

// --- Options ---------------------------------------------------------------------------

CommandLine Parse(std::vector<std::string_view> args) { return ParseCommandLine(args); }

TEST(SubReceiverOptions, Defaults) {
  const CommandLine c = Parse({});
  ASSERT_EQ(c.action, CommandLine::Action::kRun) << c.error;
  const SimOptions& o = c.options;
  EXPECT_EQ(o.burn_time, 3000ms);
  EXPECT_EQ(o.sub_ack_split_gap, 50ms);
  EXPECT_EQ(o.sub_burn_report_split_gap, 300ms);
  EXPECT_TRUE(o.sub_image_path.empty());
  EXPECT_EQ(o.sub_bad_ack_at, 0u);
  EXPECT_FALSE(o.sub_split_ack);
  EXPECT_FALSE(o.sub_split_burn_report);
  EXPECT_FALSE(o.sub_wrong_checksum);
  EXPECT_FALSE(o.sub_close_upper);
  EXPECT_EQ(o.sub_close_mid_block, 0u);
}

TEST(SubReceiverOptions, EveryOptionIsTaken) {
  const CommandLine c =
      Parse({"--burn-ms", "120", "--sub-image=/tmp/x.brec2", "--sub-bad-ack-at", "3", "--sub-split-ack",
             "--sub-split-burn-report", "--sub-wrong-checksum", "--sub-close-upper", "--sub-close-mid-block=2",
             "--sub-ack-gap-ms", "70", "--sub-burn-report-gap-ms=400"});
  ASSERT_EQ(c.action, CommandLine::Action::kRun) << c.error;
  const SimOptions& o = c.options;
  EXPECT_EQ(o.burn_time, 120ms);
  EXPECT_EQ(o.sub_image_path, "/tmp/x.brec2");
  EXPECT_EQ(o.sub_bad_ack_at, 3u);
  EXPECT_TRUE(o.sub_split_ack);
  EXPECT_TRUE(o.sub_split_burn_report);
  EXPECT_TRUE(o.sub_wrong_checksum);
  EXPECT_TRUE(o.sub_close_upper);
  EXPECT_EQ(o.sub_close_mid_block, 2u);
  EXPECT_EQ(o.sub_ack_split_gap, 70ms);
  EXPECT_EQ(o.sub_burn_report_split_gap, 400ms);

  const sub::Config k = SubConfigFrom(o);
  EXPECT_EQ(k.burn_time, 120ms);
  EXPECT_EQ(k.bad_ack_at, 3u);
  EXPECT_TRUE(k.split_ack && k.split_burn_report && k.wrong_checksum && k.close_upper);
  EXPECT_EQ(k.close_mid_block, 2u);
  EXPECT_EQ(k.ack_split_gap, 70ms);
  EXPECT_EQ(k.burn_report_split_gap, 400ms);
}

TEST(SubReceiverOptions, BadValuesAreRefusedWithTheReason) {
  struct Case {
    std::vector<std::string_view> args;
    const char* reason;
  };
  const std::vector<Case> cases{
      {{"--burn-ms", "-1"}, "--burn-ms must be a number from 0 to 600000"},
      {{"--burn-ms", "600001"}, "--burn-ms must be a number from 0 to 600000"},
      {{"--burn-ms"}, "--burn-ms needs a value"},
      {{"--sub-bad-ack-at", "0"}, "--sub-bad-ack-at must be a block number"},
      {{"--sub-close-mid-block", "x"}, "--sub-close-mid-block must be a block number"},
      {{"--sub-ack-gap-ms", "60001"}, "--sub-ack-gap-ms must be a number from 0 to 60000"},
      {{"--sub-image="}, "--sub-image needs a file name"},
      {{"--sub-split-ack=1"}, "--sub-split-ack takes no value"},
  };
  for (const Case& k : cases) {
    const CommandLine c = Parse(k.args);
    EXPECT_EQ(c.action, CommandLine::Action::kError) << k.reason;
    EXPECT_TRUE(Contains(c.error, k.reason)) << c.error;
  }
}

TEST(SubReceiverOptions, UsageNamesEveryOption) {
  const std::string usage = UsageText("tessaly-pjsim");
  for (const char* name : {"--burn-ms", "--sub-image", "--sub-bad-ack-at", "--sub-split-ack", "--sub-split-burn-report",
                           "--sub-wrong-checksum", "--sub-close-upper", "--sub-close-mid-block", "--sub-ack-gap-ms",
                           "--sub-burn-report-gap-ms"}) {
    EXPECT_TRUE(Contains(usage, name)) << name;
  }
}

std::string WriteFile(const std::string& name, const Bytes& bytes) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return out ? path : std::string();
}

TEST(SubReceiverOptions, SubImageIsReadWhole) {
  const Bytes payload = Payload(100);
  const std::string path = WriteFile("sub_receiver_test_image.brec2", *ImageOf(payload));
  ASSERT_FALSE(path.empty());
  SimOptions o;
  o.sub_image_path = path;
  EXPECT_EQ(LoadSubImage(o), "");
  ASSERT_TRUE(o.sub_expected_image);
  EXPECT_EQ(*o.sub_expected_image, *ImageOf(payload));
  ::unlink(path.c_str());
}

TEST(SubReceiverOptions, SubImageShorterThanItsHeaderIsRefused) {
  const std::string path = WriteFile("sub_receiver_test_short.brec2", Bytes(31, 0));
  ASSERT_FALSE(path.empty());
  SimOptions o;
  o.sub_image_path = path;
  EXPECT_TRUE(Contains(LoadSubImage(o), "has 31 bytes, fewer than its 32-byte header"));
  ::unlink(path.c_str());

  o = SimOptions{};
  o.sub_image_path = ::testing::TempDir() + "sub_receiver_test_missing.brec2";
  EXPECT_TRUE(Contains(LoadSubImage(o), "cannot open the Sub image file"));
  o.listen_address = "127.0.0.1";
  o.port = 0;
  ProjectorSim sim(o);
  EXPECT_FALSE(sim.Start());
  EXPECT_TRUE(Contains(sim.error(), "cannot open the Sub image file")) << sim.error();
}

// --- The whole simulator over 127.0.0.1 -------------------------------------------------

constexpr std::size_t kPacket = 682;

// As the updater sends a block's payload: one write per packet, the last one maybe short.
bool SendPackets(TestClient& c, const Bytes& payload) {
  for (std::size_t i = 0; i < payload.size(); i += kPacket) {
    const std::size_t n = std::min(kPacket, payload.size() - i);
    const Bytes packet(payload.begin() + static_cast<std::ptrdiff_t>(i),
                       payload.begin() + static_cast<std::ptrdiff_t>(i + n));
    if (!c.Send(packet)) return false;
  }
  return true;
}

SimOptions SocketOptions() {
  SimOptions o;
  o.listen_address = "127.0.0.1";
  o.port = 0;
  o.burn_time = 100ms;
  return o;
}

std::unique_ptr<ProjectorSim> StartProjector(const SimOptions& o) {
  auto sim = std::make_unique<ProjectorSim>(o);
  EXPECT_TRUE(sim->Start()) << sim->error();
  EXPECT_NE(sim->port(), 0);
  return sim;
}

// Handshake, model query, Sub download-mode command, SQ and SC: from here on the stream.
void OpenSubStream(TestClient& c) {
  ASSERT_TRUE(c.connected());
  ASSERT_EQ(c.ReadExactly(5), kGreeting);
  ASSERT_TRUE(c.Send(kPjreq));
  ASSERT_EQ(c.ReadExactly(5), kPjack);
  ASSERT_TRUE(c.Send(kMdQuery));
  ASSERT_EQ(c.ReadExactly(26).size(), 26u);
  ASSERT_TRUE(c.Send(kUdRe));
  ASSERT_EQ(c.ReadExactly(6), kUdAck);
  ASSERT_TRUE(c.Send(kSq));
  const Bytes sq = c.ReadExactly(16);
  ASSERT_EQ(sq.size(), 16u);
  ASSERT_EQ(sq[0], 's');
  ASSERT_EQ(sq[1], 'q');
  ASSERT_TRUE(c.Send(kSc));
  const Bytes sc = c.ReadExactly(16);
  ASSERT_EQ(sc.size(), 16u);
  ASSERT_EQ(sc[0], 's');
  ASSERT_EQ(sc[1], 'c');
}

Bytes Slice(const Bytes& b, std::size_t from, std::size_t n) {
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + n));
}

// The whole blocks, each with its 48-byte acknowledgement read whole and checked, and its
// continue record.
void SendWholeBlocks(TestClient& c, const Bytes& payload, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    ASSERT_TRUE(c.Send(Concat({kAnnouncement, kHeader})));
    ASSERT_TRUE(SendPackets(c, Slice(payload, i * kBlock, kBlock)));
    const Bytes ack = c.ReadExactly(48);
    ASSERT_EQ(ack.size(), 48u) << "block " << i + 1;
    ASSERT_EQ(Slice(ack, 0, 16), kAckHead) << "block " << i + 1;
    ASSERT_TRUE(c.Send(kContinue));
  }
}

// The last block's records and packets.
void SendLastBlock(TestClient& c, const Bytes& payload) {
  const std::size_t r = payload.size() % kBlock;
  ASSERT_TRUE(c.Send(Concat({LastAnnouncement(r), LastHeader(r, Sum(payload))})));
  ASSERT_TRUE(SendPackets(c, Slice(payload, payload.size() - r, r)));
}

std::string Describe(const Report& r) {
  std::string out = "\n  " + r.sub.verdict + " [" + std::string(SubPhaseName(r.sub.phase)) + ", " + r.sub.where + "]";
  for (const Violation& v : r.violations) out += "\n  " + v.ToString();
  return out;
}

Bytes Be32(std::uint32_t v) {
  return Hex({static_cast<int>(v >> 24), static_cast<int>((v >> 16) & 0xFF), static_cast<int>((v >> 8) & 0xFF),
              static_cast<int>(v & 0xFF)});
}

TEST(SubReceiverSocketThreaded, CorrectImageIsReceivedIntactAndClosedWithSd) {
  const Bytes payload = Payload(2 * kBlock + 5);
  SimOptions o = SocketOptions();
  o.burn_time = 200ms;
  o.sub_expected_image = ImageOf(payload);
  auto sim = StartProjector(o);
  TestClient c(sim->port());
  ASSERT_NO_FATAL_FAILURE(OpenSubStream(c));
  ASSERT_NO_FATAL_FAILURE(SendWholeBlocks(c, payload, 2));
  ASSERT_NO_FATAL_FAILURE(SendLastBlock(c, payload));
  EXPECT_EQ(c.ReadExactly(16), kAckHead);
  const Clock::time_point acked = Clock::now();

  // The burn report must come in one read, as the updater takes it.
  const TestClient::Read burn = c.ReadOnce(kBudget, 64);
  ASSERT_EQ(burn.kind, TestClient::Kind::kData);
  EXPECT_GE(Clock::now() - acked, 150ms) << "the burn takes its time";
  ASSERT_EQ(burn.bytes.size(), 32u);
  EXPECT_EQ(Slice(burn.bytes, 0, 16), kBurnHead);
  EXPECT_EQ(Slice(burn.bytes, 28, 4), Be32(Sum(payload)));

  ASSERT_TRUE(c.Send(Concat({kContinue, kClose})));
  const TestClient::Read closing = c.ReadOnce(kBudget, 48);
  ASSERT_EQ(closing.kind, TestClient::Kind::kData);
  ASSERT_GE(closing.bytes.size(), 2u);
  EXPECT_EQ(closing.bytes[0], 's');
  EXPECT_EQ(closing.bytes[1], 'd');

  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return r.sub.close_reply_sent; }, kBudget));
  c.Close();
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return r.ended_connection_count() == 1; }, kBudget));
  const Report r = sim->Snapshot();
  EXPECT_TRUE(r.violations.empty()) << Describe(r);
  EXPECT_EQ(r.sub.run, 1);
  EXPECT_EQ(r.sub.connection, 1);
  EXPECT_EQ(r.sub.phase, SubPhase::kClosed);
  EXPECT_TRUE(r.sub.intact) << Describe(r);
  EXPECT_TRUE(r.sub.image_compared);
  EXPECT_EQ(r.sub.payload_bytes, payload.size());
  EXPECT_EQ(r.sub.blocks, 3u);
  EXPECT_EQ(r.sub.checksum_claimed, std::optional<std::uint32_t>(Sum(payload)));
  EXPECT_EQ(r.sub.checksum_computed, Sum(payload));
  EXPECT_EQ(r.sub.block_records.size(), 3u);
  EXPECT_TRUE(r.sub_stream_reached);
  EXPECT_EQ(r.sub_stream_bytes, payload.size() + 3 * 32 + 2 * 16 + 32);
  const std::vector<std::string> want{"PJREQ", "MD?", "UD-RE", "SQ",
                                      "SC",    "SAB", "TB",    "SUB-PACKETS(block 1, 16368 bytes)",
                                      "saB",   "SAB", "TB",    "SUB-PACKETS(block 2, 16368 bytes)",
                                      "saB",   "SAB", "TB",    "SUB-PACKETS(block 3, 5 bytes)",
                                      "saB",   "SD"};
  EXPECT_EQ(r.MessageNames(1), want);
  for (const Message& m : r.messages) {
    EXPECT_TRUE(m.valid) << m.name;
  }
}

TEST(SubReceiverSocketThreaded, ViolationsCarryTheConnectionAndStep) {
  const Bytes payload = Payload(kR);
  auto sim = StartProjector(SocketOptions());
  TestClient c(sim->port());
  ASSERT_NO_FATAL_FAILURE(OpenSubStream(c));
  ASSERT_NO_FATAL_FAILURE(SendLastBlock(c, payload));
  EXPECT_EQ(c.ReadExactly(16), kAckHead);
  EXPECT_EQ(c.ReadExactly(32).size(), 32u);
  Bytes close = kClose;
  close[2] = 0x01;
  ASSERT_TRUE(c.Send(Concat({kContinue, close, Hex({0xEE})})));
  const Bytes closing = c.ReadExactly(16);
  ASSERT_EQ(closing.size(), 16u);
  EXPECT_EQ(closing[1], 'd');
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return r.violations.size() >= 2; }, kBudget));
  const Report r = sim->Snapshot();
  ASSERT_EQ(r.violations.size(), 2u) << Describe(r);
  EXPECT_EQ(r.violations[0].connection, 1);
  EXPECT_EQ(r.violations[0].step, Step::kSubStream);
  EXPECT_TRUE(Contains(r.violations[0].text, "the close record (SD): byte 2 is 01 (expected 00)"));
  EXPECT_EQ(r.violations[1].text, "1 byte(s) after the close record: EE");
  // The image is whole all the same.
  EXPECT_TRUE(r.sub.intact) << Describe(r);
}

TEST(SubReceiverSocketThreaded, SplitAckArrivesAs16Then32) {
  const Bytes payload = Payload(kBlock + 1);
  SimOptions o = SocketOptions();
  o.sub_split_ack = true;
  o.sub_ack_split_gap = 150ms;  // well apart, yet inside the updater's budget
  auto sim = StartProjector(o);
  TestClient c(sim->port());
  ASSERT_NO_FATAL_FAILURE(OpenSubStream(c));
  ASSERT_TRUE(c.Send(Concat({kAnnouncement, kHeader})));
  ASSERT_TRUE(SendPackets(c, Slice(payload, 0, kBlock)));
  const TestClient::Read first = c.ReadOnce(kBudget, 48);
  const Clock::time_point first_at = Clock::now();
  ASSERT_EQ(first.kind, TestClient::Kind::kData);
  EXPECT_EQ(first.bytes, kAckHead);
  const TestClient::Read second = c.ReadOnce(kBudget, 48);
  ASSERT_EQ(second.kind, TestClient::Kind::kData);
  EXPECT_EQ(second.bytes.size(), 32u);
  EXPECT_GE(Clock::now() - first_at, 100ms);
  // The rest of the exchange goes on as usual.
  ASSERT_TRUE(c.Send(kContinue));
  ASSERT_NO_FATAL_FAILURE(SendLastBlock(c, payload));
  EXPECT_EQ(c.ReadExactly(16), kAckHead);
  EXPECT_EQ(c.ReadExactly(32).size(), 32u);
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return r.sub.burn_report_sent; }, kBudget));
  EXPECT_EQ(sim->Snapshot().sub.acks_sent, 1);
  EXPECT_TRUE(sim->Snapshot().violations.empty()) << Describe(sim->Snapshot());
}

TEST(SubReceiverSocketThreaded, SplitBurnReportArrivesAs16Then16) {
  const Bytes payload = Payload(kR);
  SimOptions o = SocketOptions();
  o.sub_split_burn_report = true;
  auto sim = StartProjector(o);
  TestClient c(sim->port());
  ASSERT_NO_FATAL_FAILURE(OpenSubStream(c));
  ASSERT_NO_FATAL_FAILURE(SendLastBlock(c, payload));
  EXPECT_EQ(c.ReadExactly(16), kAckHead);
  const TestClient::Read first = c.ReadOnce(kBudget, 64);
  const Clock::time_point first_at = Clock::now();
  ASSERT_EQ(first.kind, TestClient::Kind::kData);
  EXPECT_EQ(first.bytes, kBurnHead);
  const TestClient::Read second = c.ReadOnce(kBudget, 64);
  ASSERT_EQ(second.kind, TestClient::Kind::kData);
  ASSERT_EQ(second.bytes.size(), 16u);
  EXPECT_EQ(Slice(second.bytes, 12, 4), Be32(Sum(payload)));
  EXPECT_GE(Clock::now() - first_at, 200ms);
}

TEST(SubReceiverSocketThreaded, WrongChecksumInTheBurnReport) {
  const Bytes payload = Payload(kBlock + kR);
  SimOptions o = SocketOptions();
  o.sub_wrong_checksum = true;
  auto sim = StartProjector(o);
  TestClient c(sim->port());
  ASSERT_NO_FATAL_FAILURE(OpenSubStream(c));
  ASSERT_NO_FATAL_FAILURE(SendWholeBlocks(c, payload, 1));
  ASSERT_NO_FATAL_FAILURE(SendLastBlock(c, payload));
  EXPECT_EQ(c.ReadExactly(16), kAckHead);
  const TestClient::Read burn = c.ReadOnce(kBudget, 64);
  ASSERT_EQ(burn.bytes.size(), 32u);
  EXPECT_EQ(Slice(burn.bytes, 0, 16), kBurnHead);
  EXPECT_EQ(Slice(burn.bytes, 28, 4), Be32(Sum(payload) + 1));
  // An updater that notices gives up without the close: the image itself arrived whole.
  c.Close();
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return r.ended_connection_count() == 1; }, kBudget));
  const Report r = sim->Snapshot();
  EXPECT_TRUE(r.sub.intact) << Describe(r);
  EXPECT_EQ(r.sub.phase, SubPhase::kEnded);
  EXPECT_EQ(r.sub.where, "awaiting the continue record after the burn report");
  EXPECT_TRUE(r.violations.empty()) << Describe(r);
}

TEST(SubReceiverSocketThreaded, CloseUpperAnswersSD) {
  const Bytes payload = Payload(0);
  SimOptions o = SocketOptions();
  o.sub_close_upper = true;
  auto sim = StartProjector(o);
  TestClient c(sim->port());
  ASSERT_NO_FATAL_FAILURE(OpenSubStream(c));
  ASSERT_NO_FATAL_FAILURE(SendLastBlock(c, payload));
  EXPECT_EQ(c.ReadExactly(16), kAckHead);
  const Bytes burn = c.ReadExactly(32);
  ASSERT_EQ(burn.size(), 32u);
  EXPECT_EQ(Slice(burn, 28, 4), Be32(0));
  ASSERT_TRUE(c.Send(Concat({kContinue, kClose})));
  const TestClient::Read closing = c.ReadOnce(kBudget, 48);
  ASSERT_GE(closing.bytes.size(), 2u);
  EXPECT_EQ(closing.bytes[0], 'S');
  EXPECT_EQ(closing.bytes[1], 'D');
}

TEST(SubReceiverSocketThreaded, BadAckForOneBlock) {
  const Bytes payload = Payload(2 * kBlock);
  SimOptions o = SocketOptions();
  o.sub_bad_ack_at = 2;
  auto sim = StartProjector(o);
  TestClient c(sim->port());
  ASSERT_NO_FATAL_FAILURE(OpenSubStream(c));
  ASSERT_NO_FATAL_FAILURE(SendWholeBlocks(c, payload, 1));
  ASSERT_TRUE(c.Send(Concat({kAnnouncement, kHeader})));
  ASSERT_TRUE(SendPackets(c, Slice(payload, kBlock, kBlock)));
  const Bytes ack = c.ReadExactly(48);
  ASSERT_EQ(ack.size(), 48u);
  Bytes wrong = kAckHead;
  wrong[1] = 'A';
  EXPECT_EQ(Slice(ack, 0, 16), wrong);
}

TEST(SubReceiverSocketThreaded, CloseMidBlockEndsTheConnection) {
  const Bytes payload = Payload(2 * kBlock + 5);
  SimOptions o = SocketOptions();
  o.sub_close_mid_block = 2;
  auto sim = StartProjector(o);
  TestClient c(sim->port());
  ASSERT_NO_FATAL_FAILURE(OpenSubStream(c));
  ASSERT_NO_FATAL_FAILURE(SendWholeBlocks(c, payload, 1));
  ASSERT_TRUE(c.Send(Concat({kAnnouncement, kHeader})));
  // Once the projector is gone, writes may fail: only the close matters.
  SendPackets(c, Slice(payload, kBlock, kBlock));
  EXPECT_TRUE(c.ClosedAfterAnyBytes());
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return r.ended_connection_count() == 1; }, kBudget));
  const Report r = sim->Snapshot();
  EXPECT_EQ(r.connections.at(0).end_reason, "closed by the projector");
  EXPECT_EQ(r.sub.phase, SubPhase::kCutShort);
  EXPECT_EQ(r.sub.where, "in block 2's payload after 8184 of 16368 bytes");
  EXPECT_FALSE(r.sub.intact);
  EXPECT_EQ(r.sub.acks_sent, 1);
  EXPECT_TRUE(r.violations.empty()) << Describe(r);
}

TEST(SubReceiverSocketThreaded, UpdaterStoppingMidBlockLeavesNoImage) {
  const Bytes payload = Payload(kBlock + kR);
  auto sim = StartProjector(SocketOptions());
  TestClient c(sim->port());
  ASSERT_NO_FATAL_FAILURE(OpenSubStream(c));
  ASSERT_TRUE(c.Send(Concat({kAnnouncement, kHeader})));
  ASSERT_TRUE(SendPackets(c, Slice(payload, 0, 3 * kPacket)));
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return r.sub.payload_bytes == 3 * kPacket; }, kBudget));
  c.Close();
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return r.sub.phase == SubPhase::kEnded; }, kBudget));
  const Report r = sim->Snapshot();
  EXPECT_FALSE(r.sub.intact);
  EXPECT_TRUE(Contains(r.sub.verdict, "no last block (in block 1's payload after 2046 of 16368 bytes)"))
      << r.sub.verdict;
  EXPECT_TRUE(r.violations.empty()) << Describe(r);
  EXPECT_EQ(r.messages.back().name, "SUB-PACKETS(block 1, 2046 bytes)");
}

TEST(SubReceiverSocketThreaded, StopDuringTheBurnIsPrompt) {
  const Bytes payload = Payload(kR);
  SimOptions o = SocketOptions();
  o.burn_time = 60000ms;
  auto sim = StartProjector(o);
  TestClient c(sim->port());
  ASSERT_NO_FATAL_FAILURE(OpenSubStream(c));
  ASSERT_NO_FATAL_FAILURE(SendLastBlock(c, payload));
  EXPECT_EQ(c.ReadExactly(16), kAckHead);
  ASSERT_TRUE(
      sim->WaitFor([](const Report& r) { return r.sub.phase == SubPhase::kBurning && r.sub.last_ack_sent; }, kBudget));
  const Clock::time_point asked = Clock::now();
  sim->Stop();
  EXPECT_LT(Clock::now() - asked, kBudget);
  EXPECT_TRUE(c.ClosedAfterAnyBytes());
  const Report r = sim->Snapshot();
  EXPECT_EQ(r.sub.phase, SubPhase::kStopped);
  EXPECT_FALSE(r.sub.burn_report_sent);
  EXPECT_TRUE(r.violations.empty()) << Describe(r);
}

TEST(SubReceiverSocketThreaded, ObserverSeesTheReceiversFindings) {
  // What main prints comes through these: messages on the channel, events as lines.
  struct Seen final : ControlHooks {
    void OnMessage(const Message& m) override {
      std::lock_guard<std::mutex> lock(mutex);
      names.push_back(m.name);
    }
    std::mutex mutex;
    std::vector<std::string> names;
  };
  auto seen = std::make_shared<Seen>();
  auto events = std::make_shared<std::vector<std::string>>();
  auto events_mutex = std::make_shared<std::mutex>();
  SimOptions o = SocketOptions();
  ProjectorSim sim(o, seen, nullptr, [events, events_mutex](const std::string& e) {
    std::lock_guard<std::mutex> lock(*events_mutex);
    events->push_back(e);
  });
  ASSERT_TRUE(sim.Start()) << sim.error();
  TestClient c(sim.port());
  ASSERT_NO_FATAL_FAILURE(OpenSubStream(c));
  ASSERT_NO_FATAL_FAILURE(SendLastBlock(c, Payload(3)));
  EXPECT_EQ(c.ReadExactly(16), kAckHead);
  EXPECT_EQ(c.ReadExactly(32).size(), 32u);
  ASSERT_TRUE(sim.WaitFor([](const Report& r) { return r.sub.burn_report_sent; }, kBudget));
  sim.Stop();
  {
    std::lock_guard<std::mutex> lock(seen->mutex);
    EXPECT_EQ(std::count(seen->names.begin(), seen->names.end(), "SUB-DATA"), 0);
    EXPECT_EQ(std::count(seen->names.begin(), seen->names.end(), "SUB-PACKETS(block 1, 3 bytes)"), 1);
  }
  std::lock_guard<std::mutex> lock(*events_mutex);
  EXPECT_TRUE(std::any_of(events->begin(), events->end(),
                          [](const std::string& e) { return Contains(e, "sent burn report (32 bytes)"); }));
}

}  // namespace
}  // namespace tessaly::pjsim
