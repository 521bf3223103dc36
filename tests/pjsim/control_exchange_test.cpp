#include "control_exchange.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string_view>
#include <vector>

#include "pj_protocol.h"
#include "updater_bytes.h"

namespace tessaly::pjsim {
namespace {

using testing::Bytes;
using testing::Concat;
using testing::Hex;
using testing::kMdQuery;
using testing::kPjreq;
using testing::kSc;
using testing::kSq;
using testing::kUdEt;
using testing::kUdRe;
using testing::Text;

std::vector<ExchangeOutcome> Drain(ControlExchange& e) {
  std::vector<ExchangeOutcome> out;
  // Each outcome consumes at least one byte, so this ends.
  while (std::optional<ExchangeOutcome> o = e.Next()) out.push_back(std::move(*o));
  return out;
}

// Feeds a message that must be accepted, returning its reply.
std::optional<Reply> Accept(ControlExchange& e, const Bytes& message) {
  e.Feed(message);
  std::vector<ExchangeOutcome> out = Drain(e);
  EXPECT_EQ(out.size(), 1u);
  if (out.size() != 1) return std::nullopt;
  EXPECT_TRUE(out[0].valid) << out[0].name;
  EXPECT_TRUE(out[0].violations.empty()) << (out[0].violations.empty() ? "" : out[0].violations[0]);
  return out[0].reply;
}

bool Contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

TEST(PjsimExchange, MainRoadFedByteByByte) {
  ControlExchange e(true);
  EXPECT_EQ(e.step(), Step::kAwaitPjreq);
  std::vector<ExchangeOutcome> got;
  for (const Bytes& message : {kPjreq, kUdEt}) {
    for (std::size_t i = 0; i < message.size(); ++i) {
      e.Feed(std::span<const std::uint8_t>(&message[i], 1));
      std::vector<ExchangeOutcome> now = Drain(e);
      // Nothing is decided before the message's last byte.
      EXPECT_EQ(now.size(), i + 1 == message.size() ? 1u : 0u) << "byte " << i;
      for (ExchangeOutcome& o : now) got.push_back(std::move(o));
    }
  }
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].name, "PJREQ");
  EXPECT_EQ(got[0].reply, Reply::kPjack);
  EXPECT_EQ(got[1].name, "UD-ET");
  EXPECT_EQ(got[1].step, Step::kAwaitCommand);
  EXPECT_EQ(got[1].reply, Reply::kUdAck);
  EXPECT_TRUE(got[1].violations.empty());
  EXPECT_EQ(e.step(), Step::kMainDownload);
}

TEST(PjsimExchange, SubRoadInOneFeedIsTakenApartByLength) {
  ControlExchange e(true);
  const Bytes data = Hex({0x53, 0x41, 0x42, 0x01, 0x50, 0x21});  // the stream is not parsed
  e.Feed(Concat({kPjreq, kMdQuery, kUdRe, kSq, kSc, data}));
  const std::vector<ExchangeOutcome> out = Drain(e);
  ASSERT_EQ(out.size(), 6u);
  const std::vector<std::string> names = {"PJREQ", "MD?", "UD-RE", "SQ", "SC", "SUB-DATA"};
  const std::vector<std::optional<Reply>> replies = {Reply::kPjack, Reply::kModelAnswer, Reply::kUdAck,
                                                     Reply::kSq,    Reply::kSc,          std::nullopt};
  for (std::size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i].name, names[i]);
    EXPECT_EQ(out[i].reply, replies[i]) << names[i];
    EXPECT_TRUE(out[i].valid) << names[i];
    EXPECT_TRUE(out[i].violations.empty()) << names[i];
  }
  EXPECT_TRUE(out[5].sub_data);
  EXPECT_EQ(out[5].bytes, data);
  EXPECT_EQ(e.step(), Step::kSubStream);
  EXPECT_EQ(e.Finish(), std::nullopt);
}

TEST(PjsimExchange, WrongHeaderIsFramedByItsCodeAndNotAnswered) {
  ControlExchange e(true);
  Accept(e, kPjreq);
  e.Feed(Hex({0x3F, 0x89, 0x01, 0x55, 0x44, 0x45, 0x54, 0x0A}));
  std::vector<ExchangeOutcome> out = Drain(e);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].name, "UD-ET");
  EXPECT_EQ(out[0].bytes.size(), 8u);
  EXPECT_FALSE(out[0].valid);
  EXPECT_FALSE(out[0].reply.has_value());
  ASSERT_EQ(out[0].violations.size(), 1u);
  EXPECT_TRUE(Contains(out[0].violations[0], "header expected 21, got 3F")) << out[0].violations[0];
  EXPECT_EQ(e.step(), Step::kAwaitCommand);
  // The step did not move: the correct command is still answered.
  EXPECT_EQ(Accept(e, kUdEt), Reply::kUdAck);
}

TEST(PjsimExchange, WrongIdAndTerminatorAreBothNamed) {
  ControlExchange e(true);
  Accept(e, kPjreq);
  e.Feed(Hex({0x21, 0x89, 0x02, 0x55, 0x44, 0x45, 0x54, 0x0D}));
  std::vector<ExchangeOutcome> out = Drain(e);
  ASSERT_EQ(out.size(), 1u);
  ASSERT_EQ(out[0].violations.size(), 1u);
  const std::string& v = out[0].violations[0];
  EXPECT_TRUE(Contains(v, "malformed UD-ET frame")) << v;
  EXPECT_TRUE(Contains(v, "bytes 1-2 expected 89 01, got 89 02")) << v;
  EXPECT_TRUE(Contains(v, "terminator expected 0A, got 0D")) << v;
  EXPECT_FALSE(Contains(v, "header")) << v;
}

TEST(PjsimExchange, ModelQueryWithCommandHeaderIsSixBytes) {
  ControlExchange e(true);
  Accept(e, kPjreq);
  e.Feed(Concat({Hex({0x21, 0x89, 0x01, 0x4D, 0x44, 0x0A}), kMdQuery}));
  std::vector<ExchangeOutcome> out = Drain(e);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].name, "MD?");
  EXPECT_FALSE(out[0].valid);
  EXPECT_TRUE(Contains(out[0].violations.at(0), "header expected 3F, got 21"));
  EXPECT_EQ(out[1].reply, Reply::kModelAnswer);
}

TEST(PjsimExchange, StrayBytesFormOneUnknownRunThenTheNextMessageCounts) {
  ControlExchange e(true);
  e.Feed(Concat({kPjreq, Text("\r\n"), kUdEt}));
  std::vector<ExchangeOutcome> out = Drain(e);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].reply, Reply::kPjack);
  EXPECT_EQ(out[1].name, "UNKNOWN");
  EXPECT_EQ(out[1].bytes, Text("\r\n"));
  ASSERT_EQ(out[1].violations.size(), 1u);
  EXPECT_TRUE(Contains(out[1].violations[0], "2 unexpected byte(s) 0D 0A")) << out[1].violations[0];
  EXPECT_TRUE(Contains(out[1].violations[0], "after PJACK")) << out[1].violations[0];
  EXPECT_EQ(out[2].reply, Reply::kUdAck);
}

TEST(PjsimExchange, RecordDifferencesAreListedByByte) {
  ControlExchange e(true);
  Accept(e, kPjreq);
  Accept(e, kMdQuery);
  Accept(e, kUdRe);
  Bytes bad = kSq;
  bad[5] = 0x00;
  bad[15] = 0x01;
  e.Feed(bad);
  std::vector<ExchangeOutcome> out = Drain(e);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].name, "SQ");
  EXPECT_FALSE(out[0].reply.has_value());
  ASSERT_EQ(out[0].violations.size(), 1u);
  const std::string& v = out[0].violations[0];
  EXPECT_TRUE(Contains(v, "byte 5 expected FF, got 00")) << v;
  EXPECT_TRUE(Contains(v, "byte 15 expected 00, got 01")) << v;
  EXPECT_EQ(e.step(), Step::kAwaitSq);
}

TEST(PjsimExchange, OutOfOrderMessagesAreRefusedWithTheReason) {
  struct Case {
    std::vector<Bytes> before;
    Bytes offending;
    std::string_view reason;
  };
  const std::vector<Case> cases = {
      {{}, kUdEt, "UD-ET sent before PJACK"},
      {{}, kMdQuery, "MD? sent before PJACK"},
      {{}, Text("PJACK"), "unknown text \"PJACK\""},
      {{kPjreq}, kPjreq, "PJREQ repeated after PJACK"},
      {{kPjreq}, kUdRe, "before the model query was answered"},
      {{kPjreq}, kSq, "SQ record before the Sub download-mode command was acknowledged"},
      {{kPjreq, kMdQuery}, kMdQuery, "model query repeated"},
      {{kPjreq, kMdQuery}, kUdEt, "UD-ET (Main download-mode command) after the model query"},
      {{kPjreq, kMdQuery, kUdRe}, kSc, "SC record before the \"sq\" answer"},
      {{kPjreq, kMdQuery, kUdRe, kSq}, kSq, "SQ record repeated"},
      {{kPjreq, kUdEt}, kUdEt, "UD-ET after the Main download-mode acknowledgement"},
      {{kPjreq}, Hex({0x21, 0x89, 0x01, 0x50, 0x57, 0x4F, 0x4E, 0x0A}), "unknown frame code \"PW\""},
      {{kPjreq}, Hex({0x06, 0x89, 0x01, 0x55, 0x44, 0x0A}), "acknowledgement frame"},
  };
  for (const Case& c : cases) {
    ControlExchange e(true);
    for (const Bytes& b : c.before) Accept(e, b);
    const Step before = e.step();
    e.Feed(c.offending);
    std::vector<ExchangeOutcome> out = Drain(e);
    ASSERT_EQ(out.size(), 1u) << c.reason;
    EXPECT_FALSE(out[0].reply.has_value()) << c.reason;
    ASSERT_EQ(out[0].violations.size(), 1u) << c.reason;
    EXPECT_TRUE(Contains(out[0].violations[0], c.reason)) << out[0].violations[0];
    EXPECT_TRUE(Contains(out[0].violations[0], "; expected ")) << out[0].violations[0];
    EXPECT_EQ(e.step(), before) << c.reason;
  }
}

TEST(PjsimExchange, WithoutGreetingEveryMessageIsAViolation) {
  ControlExchange e(false);
  EXPECT_EQ(e.step(), Step::kSilent);
  e.Feed(kPjreq);
  std::vector<ExchangeOutcome> out = Drain(e);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_FALSE(out[0].reply.has_value());
  ASSERT_EQ(out[0].violations.size(), 1u);
  EXPECT_TRUE(Contains(out[0].violations[0], "no greeting was sent"));
}

TEST(PjsimExchange, FinishReportsAMessageCutShort) {
  {
    ControlExchange e(true);
    e.Feed(Text("PJR"));
    EXPECT_TRUE(Drain(e).empty());
    const std::optional<std::string> v = e.Finish();
    ASSERT_TRUE(v.has_value());
    EXPECT_TRUE(Contains(*v, "3 of 5 byte(s)")) << *v;
    EXPECT_TRUE(Contains(*v, "50 4A 52")) << *v;
  }
  {
    ControlExchange e(true);
    Accept(e, kPjreq);
    e.Feed(Hex({0x21, 0x89}));
    EXPECT_TRUE(Drain(e).empty());
    const std::optional<std::string> v = e.Finish();
    ASSERT_TRUE(v.has_value());
    EXPECT_TRUE(Contains(*v, "2 byte(s) of an unfinished frame")) << *v;
  }
  ControlExchange clean(true);
  Accept(clean, kPjreq);
  EXPECT_EQ(clean.Finish(), std::nullopt);
}

TEST(PjsimExchange, ModelAnswerPutsTheLastLetterOnByte24) {
  for (std::string_view code : {"QMA", "QMB", "QRN", "X", "ABCDEFGHIJKLMN"}) {
    const Bytes a = wire::ModelAnswer(code);
    ASSERT_EQ(a.size(), 26u) << code;
    EXPECT_EQ(Bytes(a.begin(), a.begin() + 6), Hex({0x06, 0x89, 0x01, 0x4D, 0x44, 0x0A})) << code;
    EXPECT_EQ(Bytes(a.begin() + 6, a.begin() + 11), Hex({0x21, 0x89, 0x01, 0x4D, 0x44})) << code;
    EXPECT_EQ(a[24], static_cast<std::uint8_t>(code.back())) << code;
    EXPECT_EQ(a[25], 0x0A) << code;
    // The whole code ends at byte 24.
    EXPECT_EQ(std::string(a.begin() + 25 - static_cast<std::ptrdiff_t>(code.size()), a.begin() + 25), code);
  }
}

}  // namespace
}  // namespace tessaly::pjsim
