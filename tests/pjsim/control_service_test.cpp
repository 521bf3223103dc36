// The simulator driven over 127.0.0.1 by a hand-written updater: plain blocking sockets,
// every read bounded by a deadline.

#include "control_service.h"
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
#include <initializer_list>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaly::pjsim {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::Clock;
using testing::Concat;
using testing::Hex;
using testing::kBudget;
using testing::kGreeting;
using testing::kMdAck;
using testing::kMdQuery;
using testing::kPjack;
using testing::kPjreq;
using testing::kSc;
using testing::kSilence;
using testing::kSq;
using testing::kUdAck;
using testing::kUdEt;
using testing::kUdRe;
using testing::TestClient;
using testing::Text;

bool Contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

std::unique_ptr<ControlService> StartSim(SimOptions options = {}, std::shared_ptr<ControlHooks> hooks = nullptr) {
  options.listen_address = "127.0.0.1";
  options.port = 0;
  auto sim = std::make_unique<ControlService>(options, std::move(hooks));
  EXPECT_TRUE(sim->Start()) << sim->error();
  EXPECT_NE(sim->port(), 0);
  return sim;
}

// Greeting, then PJREQ answered by PJACK.
void Handshake(TestClient& c) {
  ASSERT_TRUE(c.connected());
  ASSERT_EQ(c.ReadExactly(5), kGreeting);
  ASSERT_TRUE(c.Send(kPjreq));
  ASSERT_EQ(c.ReadExactly(5), kPjack);
}

// Model query answered in one read; returns the answer.
Bytes AskModel(TestClient& c) {
  EXPECT_TRUE(c.Send(kMdQuery));
  TestClient::Read r = c.ReadOnce(kBudget, 64);
  EXPECT_EQ(r.kind, TestClient::Kind::kData);
  return r.bytes;
}

// The Sub road up to the "sq" reply: handshake, model, Sub download mode, "SQ".
void ReachSqReply(TestClient& sub, Bytes& sq) {
  ASSERT_NO_FATAL_FAILURE(Handshake(sub));
  ASSERT_EQ(AskModel(sub).size(), 26u);
  ASSERT_TRUE(sub.Send(kUdRe));
  ASSERT_EQ(sub.ReadExactly(6), kUdAck);
  ASSERT_TRUE(sub.Send(kSq));
  sq = sub.ReadExactly(16);
  ASSERT_EQ(sq.size(), 16u);
}

bool HasViolations(const Report& r, std::size_t n) { return r.violations.size() >= n; }

std::string Describe(const Report& r) {
  std::string out;
  for (const Violation& v : r.violations) out += "\n  " + v.ToString();
  return out;
}

// --- Main road --------------------------------------------------------------------------

TEST(PjsimMainRoadThreaded, HandshakeAndMainCommandEnterMainDownloadMode) {
  auto sim = StartSim();
  TestClient c(sim->port());
  ASSERT_NO_FATAL_FAILURE(Handshake(c));
  ASSERT_TRUE(c.Send(kUdEt));
  EXPECT_EQ(c.ReadExactly(6), kUdAck);

  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return r.main_download_mode_entered; }, kBudget));
  const Report r = sim->Snapshot();
  EXPECT_EQ(r.MessageNames(), (std::vector<std::string>{"PJREQ", "UD-ET"}));
  EXPECT_EQ(r.messages.at(0).Hex(), "50 4A 52 45 51");
  EXPECT_EQ(r.messages.at(1).Hex(), "21 89 01 55 44 45 54 0A");
  EXPECT_TRUE(r.violations.empty()) << Describe(r);
  EXPECT_FALSE(r.sub_stream_reached);
  EXPECT_EQ(r.connection_count(), 1);
  EXPECT_EQ(r.connections.at(0).last_step, Step::kMainDownload);

  // The connection stays open until the updater closes it.
  EXPECT_TRUE(c.SilentFor());
  EXPECT_EQ(sim->Snapshot().ended_connection_count(), 0);
  c.Close();
  ASSERT_TRUE(sim->WaitFor([](const Report& rep) { return rep.ended_connection_count() == 1; }, kBudget));
  EXPECT_EQ(sim->Snapshot().connections.at(0).end_reason, "closed by the updater");
  EXPECT_TRUE(sim->violations().empty());
}

TEST(PjsimMainRoadThreaded, NextConnectionIsGreetedForTheSubRoad) {
  auto sim = StartSim();
  {
    TestClient main(sim->port());
    ASSERT_NO_FATAL_FAILURE(Handshake(main));
    ASSERT_TRUE(main.Send(kUdEt));
    ASSERT_EQ(main.ReadExactly(6), kUdAck);
  }
  TestClient sub(sim->port());
  ASSERT_NO_FATAL_FAILURE(Handshake(sub));
  EXPECT_EQ(AskModel(sub).size(), 26u);

  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return r.messages.size() == 4; }, kBudget));
  const Report r = sim->Snapshot();
  EXPECT_EQ(r.connection_count(), 2);
  EXPECT_EQ(r.MessageNames(1), (std::vector<std::string>{"PJREQ", "UD-ET"}));
  EXPECT_EQ(r.MessageNames(2), (std::vector<std::string>{"PJREQ", "MD?"}));
  EXPECT_TRUE(r.connections.at(0).ended);
  EXPECT_FALSE(r.connections.at(1).ended);
  EXPECT_TRUE(r.violations.empty()) << Describe(r);
}

// --- Sub road ---------------------------------------------------------------------------

struct ModelCase {
  const char* code;
  char last_letter;
};

void PrintTo(const ModelCase& c, std::ostream* os) { *os << c.code; }

class PjsimSubRoadThreaded : public ::testing::TestWithParam<ModelCase> {};

TEST_P(PjsimSubRoadThreaded, ModelAnswerAndRecordsOpenTheSubStream) {
  SimOptions o;
  o.model_code = GetParam().code;
  auto sim = StartSim(o);
  TestClient c(sim->port());
  ASSERT_NO_FATAL_FAILURE(Handshake(c));

  const Bytes answer = AskModel(c);
  ASSERT_EQ(answer.size(), 26u) << "the model answer must come in one read";
  EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 6), kMdAck);
  EXPECT_EQ(answer[24], static_cast<std::uint8_t>(GetParam().last_letter));
  EXPECT_EQ(answer[25], 0x0A);

  ASSERT_TRUE(c.Send(kUdRe));
  EXPECT_EQ(c.ReadExactly(6), kUdAck);
  ASSERT_TRUE(c.Send(kSq));
  const Bytes sq = c.ReadExactly(16);
  ASSERT_EQ(sq.size(), 16u);
  EXPECT_EQ(sq[0], 's');
  EXPECT_EQ(sq[1], 'q');
  ASSERT_TRUE(c.Send(kSc));
  const Bytes sc = c.ReadExactly(16);
  ASSERT_EQ(sc.size(), 16u);
  EXPECT_EQ(sc[0], 's');
  EXPECT_EQ(sc[1], 'c');

  // From here on the bytes are the Sub firmware stream: recorded, not checked.
  const Bytes block = Hex({0x53, 0x41, 0x42, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0x40, 0,    0, 0, 0, 0,
                           0x54, 0x42, 0xFF, 0x01, 0,    0,    0,    0,    0, 0, 0x3F, 0xF0, 0, 0, 0, 0});
  ASSERT_TRUE(c.Send(block));
  ASSERT_TRUE(sim->WaitFor([&](const Report& r) { return r.sub_stream_bytes == block.size(); }, kBudget));

  const Report r = sim->Snapshot();
  EXPECT_TRUE(r.sub_stream_reached);
  EXPECT_FALSE(r.main_download_mode_entered);
  EXPECT_TRUE(r.violations.empty()) << Describe(r);
  const std::vector<std::string> names = r.MessageNames();
  ASSERT_GE(names.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 5),
            (std::vector<std::string>{"PJREQ", "MD?", "UD-RE", "SQ", "SC"}));
  Bytes streamed;
  for (std::size_t i = 5; i < r.messages.size(); ++i) {
    EXPECT_EQ(r.messages[i].name, "SUB-DATA");
    EXPECT_EQ(r.messages[i].step, Step::kSubStream);
    streamed.insert(streamed.end(), r.messages[i].bytes.begin(), r.messages[i].bytes.end());
  }
  EXPECT_EQ(streamed, block);
  // Still reading until the updater closes.
  EXPECT_TRUE(c.SilentFor(100ms));
  EXPECT_FALSE(sim->Snapshot().connections.at(0).ended);
}

std::string ModelCaseName(const ::testing::TestParamInfo<ModelCase>& p) { return p.param.code; }

INSTANTIATE_TEST_SUITE_P(Models, PjsimSubRoadThreaded,
                         ::testing::Values(ModelCase{"QMA", 'A'}, ModelCase{"QMB", 'B'}, ModelCase{"QRN", 'N'}),
                         ModelCaseName);

// --- Fault options ----------------------------------------------------------------------

TEST(PjsimFaultsThreaded, NoGreetingAcceptsAndStaysSilent) {
  SimOptions o;
  o.no_greeting = true;
  auto sim = StartSim(o);
  TestClient c(sim->port());
  ASSERT_TRUE(c.connected());
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return r.connection_count() == 1; }, kBudget));
  EXPECT_TRUE(c.SilentFor());
  // An updater that speaks anyway is told off, and still gets no answer.
  ASSERT_TRUE(c.Send(kPjreq));
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return HasViolations(r, 1); }, kBudget));
  EXPECT_TRUE(c.SilentFor());
  const Report r = sim->Snapshot();
  EXPECT_EQ(r.connections.at(0).last_step, Step::kSilent);
  EXPECT_TRUE(Contains(r.violations.at(0).text, "no greeting was sent")) << Describe(r);
}

TEST(PjsimFaultsThreaded, GreetingWithExtraBytesComesInOneRead) {
  SimOptions o;
  o.greeting_extra = true;
  auto sim = StartSim(o);
  TestClient c(sim->port());
  const TestClient::Read r = c.ReadOnce(kBudget);
  ASSERT_EQ(r.kind, TestClient::Kind::kData);
  EXPECT_EQ(r.bytes, Text("PJ_OK\r\n"));
  // The rest of the exchange is unchanged.
  ASSERT_TRUE(c.Send(kPjreq));
  EXPECT_EQ(c.ReadExactly(5), kPjack);
}

TEST(PjsimFaultsThreaded, SplitModelAnswerArrivesAsSixThenTwentyBytes) {
  SimOptions o;
  o.split_model_answer = true;
  o.model_code = "QMB";
  auto sim = StartSim(o);
  TestClient c(sim->port());
  ASSERT_NO_FATAL_FAILURE(Handshake(c));
  ASSERT_TRUE(c.Send(kMdQuery));
  const TestClient::Read first = c.ReadOnce(kBudget, 64);
  ASSERT_EQ(first.kind, TestClient::Kind::kData);
  EXPECT_EQ(first.bytes, kMdAck);
  const TestClient::Read second = c.ReadOnce(kBudget, 64);
  ASSERT_EQ(second.kind, TestClient::Kind::kData);
  ASSERT_EQ(second.bytes.size(), 20u);
  EXPECT_EQ(second.bytes[18], 'B');  // byte 24 of the whole answer
  EXPECT_EQ(second.bytes[19], 0x0A);
}

TEST(PjsimFaultsThreaded, OtherModelCodeEndsOnByte24) {
  SimOptions o;
  o.model_code = "QXZ";
  auto sim = StartSim(o);
  TestClient c(sim->port());
  ASSERT_NO_FATAL_FAILURE(Handshake(c));
  const Bytes answer = AskModel(c);
  ASSERT_EQ(answer.size(), 26u);
  EXPECT_EQ(std::string(answer.begin() + 22, answer.begin() + 25), "QXZ");
}

TEST(PjsimFaultsThreaded, AnswerDelayHoldsEveryAnswer) {
  SimOptions o;
  o.answer_delay = 200ms;
  auto sim = StartSim(o);
  const auto connected = Clock::now();
  TestClient c(sim->port());
  ASSERT_EQ(c.ReadExactly(5), kGreeting);
  EXPECT_GE(Clock::now() - connected, 200ms);
  const auto asked = Clock::now();
  ASSERT_TRUE(c.Send(kPjreq));
  // Not yet there half-way through the delay.
  EXPECT_EQ(c.ReadOnce(100ms).kind, TestClient::Kind::kTimeout);
  ASSERT_EQ(c.ReadExactly(5), kPjack);
  EXPECT_GE(Clock::now() - asked, 200ms);
}

// --- Closing at each step ---------------------------------------------------------------

struct CloseCase {
  CloseAt at;
  bool sub_road;
  const char* label;
};

void PrintTo(const CloseCase& c, std::ostream* os) { *os << (c.sub_road ? "Sub road, " : "Main road, ") << c.label; }

class PjsimCloseAtThreaded : public ::testing::TestWithParam<CloseCase> {};

TEST_P(PjsimCloseAtThreaded, ConnectionEndsRightAfterTheStep) {
  const CloseCase& param = GetParam();
  SimOptions o;
  o.close_at = param.at;
  auto sim = StartSim(o);
  TestClient c(sim->port());
  ASSERT_TRUE(c.connected());

  struct Stage {
    CloseAt after;
    Bytes send;
    std::size_t answer_size;
    Bytes answer_starts;
  };
  std::vector<Stage> road = {{CloseAt::kAfterGreeting, {}, 5, kGreeting}, {CloseAt::kAfterPjack, kPjreq, 5, kPjack}};
  if (param.sub_road) {
    road.push_back({CloseAt::kAfterModelAnswer, kMdQuery, 26, kMdAck});
    road.push_back({CloseAt::kAfterUdAck, kUdRe, 6, kUdAck});
    road.push_back({CloseAt::kAfterSq, kSq, 16, Text("sq")});
    road.push_back({CloseAt::kAfterSc, kSc, 16, Text("sc")});
  } else {
    road.push_back({CloseAt::kAfterUdAck, kUdEt, 6, kUdAck});
  }

  bool closed = false;
  if (param.at == CloseAt::kAfterAccept) {
    EXPECT_TRUE(c.ClosedWithin()) << "no greeting, just the close";
    closed = true;
  }
  for (const Stage& s : road) {
    if (closed) break;
    if (!s.send.empty()) {
      ASSERT_TRUE(c.Send(s.send));
    }
    const Bytes got = c.ReadExactly(s.answer_size);
    ASSERT_EQ(got.size(), s.answer_size) << "answer before the close point " << param.label;
    EXPECT_TRUE(std::equal(s.answer_starts.begin(), s.answer_starts.end(), got.begin()));
    if (s.after == param.at) {
      EXPECT_TRUE(c.ClosedWithin()) << param.label;
      closed = true;
    }
  }
  ASSERT_TRUE(closed) << param.label;

  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return r.ended_connection_count() == 1; }, kBudget));
  Report r = sim->Snapshot();
  EXPECT_EQ(r.connections.at(0).end_reason, "closed after " + std::string(param.label) + " (fault)");
  EXPECT_TRUE(r.violations.empty()) << Describe(r);

  // The fault applies to every connection, and the service keeps accepting.
  TestClient next(sim->port());
  if (param.at == CloseAt::kAfterAccept) {
    EXPECT_TRUE(next.ClosedWithin());
  } else {
    EXPECT_EQ(next.ReadExactly(5), kGreeting);
  }
  EXPECT_TRUE(sim->WaitFor([](const Report& rep) { return rep.connection_count() == 2; }, kBudget));
}

std::string CloseCaseName(const ::testing::TestParamInfo<CloseCase>& p) {
  std::string name = std::string(p.param.sub_road ? "Sub_" : "Main_") + p.param.label;
  for (char& ch : name) {
    if (ch == '-') ch = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Steps, PjsimCloseAtThreaded,
                         ::testing::Values(CloseCase{CloseAt::kAfterAccept, false, "accept"},
                                           CloseCase{CloseAt::kAfterGreeting, false, "greeting"},
                                           CloseCase{CloseAt::kAfterPjack, false, "pjack"},
                                           CloseCase{CloseAt::kAfterUdAck, false, "ud-ack"},
                                           CloseCase{CloseAt::kAfterModelAnswer, true, "model-answer"},
                                           CloseCase{CloseAt::kAfterUdAck, true, "ud-ack"},
                                           CloseCase{CloseAt::kAfterSq, true, "sq"},
                                           CloseCase{CloseAt::kAfterSc, true, "sc"}),
                         CloseCaseName);

// --- Projector-side closes as resets -----------------------------------------------------

// Closes the connection from inside the Main download-mode hook, as a controller that
// reboots at once would.
class ClosingHooks final : public ControlHooks {
 public:
  void OnMainDownloadMode(Channel& channel) override { channel.Close(); }
};

struct ResetCase {
  const char* label;
  CloseAt at;
  bool reset;
  bool repeat_ud_ack;
  bool hook_closes;
  // What the client sends (may be empty) and the answer it must read, in turn.
  std::vector<std::pair<Bytes, Bytes>> exchange;
  const char* end_reason;
};

void PrintTo(const ResetCase& c, std::ostream* os) { *os << c.label; }

class PjsimCloseWithResetThreaded : public ::testing::TestWithParam<ResetCase> {};

TEST_P(PjsimCloseWithResetThreaded, ProjectorCloseEndsAsAResetOnlyWhenAsked) {
  const ResetCase& param = GetParam();
  SimOptions o;
  o.close_at = param.at;
  o.close_with_reset = param.reset;
  o.repeat_ud_ack = param.repeat_ud_ack;
  auto sim = StartSim(o, param.hook_closes ? std::make_shared<ClosingHooks>() : nullptr);
  TestClient c(sim->port());
  ASSERT_TRUE(c.connected());
  for (const auto& [send, answer] : param.exchange) {
    if (!send.empty()) {
      ASSERT_TRUE(c.Send(send));
    }
    ASSERT_EQ(c.ReadExactly(answer.size()), answer) << "the answer must still arrive before the close";
  }

  const TestClient::Read end = c.ReadOnce(kBudget);
  ASSERT_EQ(end.kind, TestClient::Kind::kClosed);
  EXPECT_TRUE(end.bytes.empty());
  if (param.reset) {
    EXPECT_EQ(end.error, ECONNRESET) << "a reset, not an orderly close";
  } else {
    EXPECT_EQ(end.error, 0) << "an orderly close, not a reset";
  }
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return r.ended_connection_count() == 1; }, kBudget));
  const Report r = sim->Snapshot();
  EXPECT_EQ(r.connections.at(0).end_reason, param.end_reason);
  EXPECT_TRUE(r.violations.empty()) << Describe(r);
}

std::string ResetCaseName(const ::testing::TestParamInfo<ResetCase>& p) {
  std::string name = p.param.label;
  for (char& ch : name) {
    if (ch == '-' || ch == ' ') ch = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(
    Closes, PjsimCloseWithResetThreaded,
    ::testing::Values(ResetCase{"accept", CloseAt::kAfterAccept, true, false, false, {}, "closed after accept (fault)"},
                      ResetCase{"pjack",
                                CloseAt::kAfterPjack,
                                true,
                                false,
                                false,
                                {{{}, kGreeting}, {kPjreq, kPjack}},
                                "closed after pjack (fault)"},
                      ResetCase{"ud-ack",
                                CloseAt::kAfterUdAck,
                                true,
                                false,
                                false,
                                {{{}, kGreeting}, {kPjreq, kPjack}, {kUdEt, kUdAck}},
                                "closed after ud-ack (fault)"},
                      ResetCase{"ud-ack repeated",
                                CloseAt::kAfterUdAck,
                                true,
                                true,
                                false,
                                {{{}, kGreeting}, {kPjreq, kPjack}, {kUdEt, kUdAck}, {{}, kUdAck}},
                                "closed after ud-ack (fault)"},
                      ResetCase{"hook close",
                                CloseAt::kNever,
                                true,
                                false,
                                true,
                                {{{}, kGreeting}, {kPjreq, kPjack}, {kUdEt, kUdAck}},
                                "closed by the projector"},
                      ResetCase{"ud-ack orderly",
                                CloseAt::kAfterUdAck,
                                false,
                                false,
                                false,
                                {{{}, kGreeting}, {kPjreq, kPjack}, {kUdEt, kUdAck}},
                                "closed after ud-ack (fault)"}),
    ResetCaseName);

// --- Repeated Main acknowledgement --------------------------------------------------------

// Stands in for the boot loader: what it sends shows when, in the stream, it was started.
class MarkingHooks final : public ControlHooks {
 public:
  static inline const Bytes kMark = Text("BOOT");
  void OnMainDownloadMode(Channel& channel) override {
    calls_.fetch_add(1);
    channel.Send(kMark);
  }
  int calls() const { return calls_.load(); }

 private:
  std::atomic<int> calls_{0};
};

TEST(PjsimRepeatUdAckThreaded, MainAcknowledgementComesTwiceInTwoReadsBeforeTheBootLoader) {
  SimOptions o;
  o.repeat_ud_ack = true;
  auto hooks = std::make_shared<MarkingHooks>();
  auto sim = StartSim(o, hooks);
  {
    TestClient c(sim->port());
    ASSERT_NO_FATAL_FAILURE(Handshake(c));
    ASSERT_TRUE(c.Send(kUdEt));
    const TestClient::Read first = c.ReadOnce(kBudget, 64);
    ASSERT_EQ(first.kind, TestClient::Kind::kData);
    EXPECT_EQ(first.bytes, kUdAck) << "the first copy alone, as its own read";
    EXPECT_EQ(c.ReadExactly(kUdAck.size()), kUdAck);
    // The hook, which starts the boot loader, runs once and only after the second copy.
    EXPECT_EQ(c.ReadExactly(MarkingHooks::kMark.size()), MarkingHooks::kMark);
    EXPECT_TRUE(c.SilentFor());
    EXPECT_EQ(hooks->calls(), 1);
  }

  // The Sub road's acknowledgement stays single: "sq" follows it directly.
  TestClient sub(sim->port());
  Bytes sq;
  ASSERT_NO_FATAL_FAILURE(ReachSqReply(sub, sq));
  EXPECT_EQ(Bytes(sq.begin(), sq.begin() + 2), Text("sq"));

  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return r.messages.size() == 6; }, kBudget));
  const Report r = sim->Snapshot();
  EXPECT_EQ(r.MessageNames(1), (std::vector<std::string>{"PJREQ", "UD-ET"}));
  EXPECT_EQ(r.MessageNames(2), (std::vector<std::string>{"PJREQ", "MD?", "UD-RE", "SQ"}));
  EXPECT_TRUE(r.violations.empty()) << Describe(r);
  EXPECT_EQ(hooks->calls(), 1);
}

// --- Violations -------------------------------------------------------------------------

TEST(PjsimViolationsThreaded, MalformedFrameIsRecordedAndNotAnswered) {
  auto sim = StartSim();
  TestClient c(sim->port());
  ASSERT_NO_FATAL_FAILURE(Handshake(c));
  ASSERT_TRUE(c.Send(Hex({0x21, 0x89, 0x02, 0x55, 0x44, 0x45, 0x54, 0x0D})));
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return HasViolations(r, 1); }, kBudget));
  EXPECT_TRUE(c.SilentFor());

  Report r = sim->Snapshot();
  ASSERT_EQ(r.violations.size(), 1u) << Describe(r);
  const Violation& v = r.violations[0];
  EXPECT_EQ(v.connection, 1);
  EXPECT_EQ(v.step, Step::kAwaitCommand);
  EXPECT_TRUE(Contains(v.text, "malformed UD-ET frame (21 89 02 55 44 45 54 0D)")) << v.text;
  EXPECT_TRUE(Contains(v.text, "bytes 1-2 expected 89 01, got 89 02")) << v.text;
  EXPECT_TRUE(Contains(v.text, "terminator expected 0A, got 0D")) << v.text;
  EXPECT_FALSE(r.main_download_mode_entered);

  // The step has not moved: a correct command is still accepted.
  ASSERT_TRUE(c.Send(kUdEt));
  EXPECT_EQ(c.ReadExactly(6), kUdAck);
  ASSERT_TRUE(sim->WaitFor([](const Report& rep) { return rep.main_download_mode_entered; }, kBudget));
  r = sim->Snapshot();
  ASSERT_EQ(r.MessageNames(), (std::vector<std::string>{"PJREQ", "UD-ET", "UD-ET"}));
  EXPECT_FALSE(r.messages[1].valid);
  EXPECT_TRUE(r.messages[2].valid);
  EXPECT_EQ(r.violations.size(), 1u);
}

TEST(PjsimViolationsThreaded, WrongRecordByteIsRecordedAndNotAnswered) {
  auto sim = StartSim();
  TestClient c(sim->port());
  ASSERT_NO_FATAL_FAILURE(Handshake(c));
  ASSERT_EQ(AskModel(c).size(), 26u);
  ASSERT_TRUE(c.Send(kUdRe));
  ASSERT_EQ(c.ReadExactly(6), kUdAck);
  Bytes bad = kSq;
  bad[4] = 0x00;
  ASSERT_TRUE(c.Send(bad));
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return HasViolations(r, 1); }, kBudget));
  EXPECT_TRUE(c.SilentFor());
  const Report r = sim->Snapshot();
  ASSERT_EQ(r.violations.size(), 1u) << Describe(r);
  EXPECT_EQ(r.violations[0].step, Step::kAwaitSq);
  EXPECT_TRUE(Contains(r.violations[0].text, "malformed SQ record")) << r.violations[0].text;
  EXPECT_TRUE(Contains(r.violations[0].text, "byte 4 expected FF, got 00")) << r.violations[0].text;

  ASSERT_TRUE(c.Send(kSq));
  const Bytes sq = c.ReadExactly(16);
  ASSERT_EQ(sq.size(), 16u);
  EXPECT_EQ(sq[1], 'q');
}

TEST(PjsimViolationsThreaded, FrameBeforePjackIsRecordedAndNotAnswered) {
  auto sim = StartSim();
  TestClient c(sim->port());
  ASSERT_EQ(c.ReadExactly(5), kGreeting);
  ASSERT_TRUE(c.Send(kUdEt));
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return HasViolations(r, 1); }, kBudget));
  EXPECT_TRUE(c.SilentFor());
  const Report r = sim->Snapshot();
  EXPECT_EQ(r.violations.at(0).step, Step::kAwaitPjreq);
  EXPECT_TRUE(Contains(r.violations.at(0).text, "UD-ET sent before PJACK")) << Describe(r);
  EXPECT_TRUE(Contains(r.violations.at(0).text, "expected \"PJREQ\" after the greeting")) << Describe(r);
  EXPECT_FALSE(r.main_download_mode_entered);
}

TEST(PjsimViolationsThreaded, TextOtherThanPjreqIsRecorded) {
  auto sim = StartSim();
  TestClient c(sim->port());
  ASSERT_EQ(c.ReadExactly(5), kGreeting);
  ASSERT_TRUE(c.Send(Text("PJACK")));
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return HasViolations(r, 1); }, kBudget));
  EXPECT_TRUE(c.SilentFor());
  const Report r = sim->Snapshot();
  EXPECT_EQ(r.MessageNames(), (std::vector<std::string>{"TEXT"}));
  EXPECT_TRUE(Contains(r.violations.at(0).text, "unknown text \"PJACK\"")) << Describe(r);
}

TEST(PjsimViolationsThreaded, SubCommandBeforeModelQueryIsRecorded) {
  auto sim = StartSim();
  TestClient c(sim->port());
  ASSERT_NO_FATAL_FAILURE(Handshake(c));
  ASSERT_TRUE(c.Send(kUdRe));
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return HasViolations(r, 1); }, kBudget));
  EXPECT_TRUE(c.SilentFor());
  const Report r = sim->Snapshot();
  EXPECT_TRUE(Contains(r.violations.at(0).text, "before the model query was answered")) << Describe(r);
}

TEST(PjsimViolationsThreaded, UnknownFrameIsRecorded) {
  auto sim = StartSim();
  TestClient c(sim->port());
  ASSERT_NO_FATAL_FAILURE(Handshake(c));
  ASSERT_TRUE(c.Send(Hex({0x21, 0x89, 0x01, 0x50, 0x57, 0x4F, 0x4E, 0x0A})));
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return HasViolations(r, 1); }, kBudget));
  const Report r = sim->Snapshot();
  EXPECT_EQ(r.messages.back().name, "FRAME");
  EXPECT_TRUE(Contains(r.violations.at(0).text, "unknown frame code \"PW\"")) << Describe(r);
}

TEST(PjsimViolationsThreaded, ExtraBytesAfterAMessageAreRecorded) {
  auto sim = StartSim();
  TestClient c(sim->port());
  ASSERT_EQ(c.ReadExactly(5), kGreeting);
  ASSERT_TRUE(c.Send(Text("PJREQ\r\n")));
  EXPECT_EQ(c.ReadExactly(5), kPjack);
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return HasViolations(r, 1); }, kBudget));
  const Report r = sim->Snapshot();
  EXPECT_EQ(r.MessageNames(), (std::vector<std::string>{"PJREQ", "UNKNOWN"}));
  EXPECT_TRUE(Contains(r.violations.at(0).text, "2 unexpected byte(s) 0D 0A")) << Describe(r);
}

TEST(PjsimViolationsThreaded, BytesAfterTheMainAcknowledgementAreRecorded) {
  auto sim = StartSim();
  TestClient c(sim->port());
  ASSERT_NO_FATAL_FAILURE(Handshake(c));
  ASSERT_TRUE(c.Send(kUdEt));
  ASSERT_EQ(c.ReadExactly(6), kUdAck);
  ASSERT_TRUE(c.Send(kMdQuery));
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return HasViolations(r, 1); }, kBudget));
  EXPECT_TRUE(c.SilentFor());
  const Report r = sim->Snapshot();
  EXPECT_EQ(r.violations.at(0).step, Step::kMainDownload);
  EXPECT_TRUE(Contains(r.violations.at(0).text, "MD? after the Main download-mode acknowledgement")) << Describe(r);
}

TEST(PjsimViolationsThreaded, MessageCutShortByTheCloseIsRecorded) {
  auto sim = StartSim();
  TestClient c(sim->port());
  ASSERT_NO_FATAL_FAILURE(Handshake(c));
  ASSERT_TRUE(c.Send(Hex({0x21, 0x89, 0x01, 0x55, 0x44, 0x45})));
  c.Close();
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return r.ended_connection_count() == 1; }, kBudget));
  const Report r = sim->Snapshot();
  ASSERT_EQ(r.violations.size(), 1u) << Describe(r);
  EXPECT_TRUE(Contains(r.violations[0].text, "closed after 6 of 8 byte(s)")) << r.violations[0].text;
  EXPECT_EQ(r.connections.at(0).end_reason, "closed by the updater");
}

// --- Stream reassembly ------------------------------------------------------------------

TEST(PjsimReassemblyThreaded, MessagesWrittenByteByByteAreReassembled) {
  auto sim = StartSim();
  TestClient c(sim->port());
  ASSERT_EQ(c.ReadExactly(5), kGreeting);
  ASSERT_TRUE(c.SendByteByByte(kPjreq));
  ASSERT_EQ(c.ReadExactly(5), kPjack);
  ASSERT_TRUE(c.SendByteByByte(kMdQuery));
  ASSERT_EQ(c.ReadExactly(26).size(), 26u);
  ASSERT_TRUE(c.SendByteByByte(kUdRe));
  ASSERT_EQ(c.ReadExactly(6), kUdAck);
  ASSERT_TRUE(c.SendByteByByte(kSq));
  ASSERT_EQ(c.ReadExactly(16).size(), 16u);
  ASSERT_TRUE(c.SendByteByByte(kSc));
  const Bytes sc = c.ReadExactly(16);
  ASSERT_EQ(sc.size(), 16u);
  EXPECT_EQ(sc[1], 'c');
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return r.sub_stream_reached; }, kBudget));
  const Report r = sim->Snapshot();
  EXPECT_EQ(r.MessageNames(), (std::vector<std::string>{"PJREQ", "MD?", "UD-RE", "SQ", "SC"}));
  EXPECT_TRUE(r.violations.empty()) << Describe(r);
}

TEST(PjsimReassemblyThreaded, MessagesMergedInOneWriteAreTakenApart) {
  auto sim = StartSim();
  TestClient c(sim->port());
  ASSERT_EQ(c.ReadExactly(5), kGreeting);
  ASSERT_TRUE(c.Send(Concat({kPjreq, kMdQuery})));
  const Bytes answers = c.ReadExactly(5 + 26);
  ASSERT_EQ(answers.size(), 31u);
  EXPECT_EQ(Bytes(answers.begin(), answers.begin() + 5), kPjack);
  ASSERT_TRUE(c.Send(Concat({kUdRe, kSq})));
  const Bytes more = c.ReadExactly(6 + 16);
  ASSERT_EQ(more.size(), 22u);
  EXPECT_EQ(Bytes(more.begin(), more.begin() + 6), kUdAck);
  EXPECT_EQ(more[6], 's');
  EXPECT_EQ(more[7], 'q');
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return r.messages.size() == 4; }, kBudget));
  const Report r = sim->Snapshot();
  EXPECT_EQ(r.MessageNames(), (std::vector<std::string>{"PJREQ", "MD?", "UD-RE", "SQ"}));
  EXPECT_TRUE(r.violations.empty()) << Describe(r);
}

// --- Lifecycle --------------------------------------------------------------------------

TEST(PjsimLifecycleThreaded, StopWithAClientConnectedReturnsPromptly) {
  auto sim = StartSim();
  TestClient c(sim->port());
  ASSERT_EQ(c.ReadExactly(5), kGreeting);
  const auto before = Clock::now();
  sim->Stop();
  EXPECT_LT(Clock::now() - before, 1000ms);
  EXPECT_FALSE(sim->running());
  EXPECT_TRUE(c.ClosedWithin());
  const Report r = sim->Snapshot();
  EXPECT_EQ(r.connections.at(0).end_reason, "stopped");
  sim->Stop();  // again: nothing happens
}

TEST(PjsimLifecycleThreaded, StopDuringAnAnswerDelayReturnsPromptly) {
  SimOptions o;
  o.answer_delay = 30000ms;
  auto sim = StartSim(o);
  TestClient c(sim->port());
  ASSERT_TRUE(sim->WaitFor([](const Report& r) { return r.connection_count() == 1; }, kBudget));
  const auto before = Clock::now();
  sim->Stop();
  EXPECT_LT(Clock::now() - before, 1000ms);
  EXPECT_TRUE(c.ClosedWithin());
}

TEST(PjsimLifecycleThreaded, StartFailsOnAPortAlreadyBound) {
  const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::uint16_t taken = ntohs(address.sin_port);

  SimOptions o;
  o.port = taken;
  ControlService sim(o);
  EXPECT_FALSE(sim.Start());
  EXPECT_TRUE(Contains(sim.error(), "cannot bind 127.0.0.1:" + std::to_string(taken))) << sim.error();
  EXPECT_EQ(sim.port(), 0);
  EXPECT_FALSE(sim.running());
  sim.Stop();
  ::close(holder);
}

TEST(PjsimLifecycleThreaded, StartRefusesBadOptionsAndASecondStart) {
  SimOptions badModel;
  badModel.model_code = "";
  ControlService a(badModel);
  EXPECT_FALSE(a.Start());
  EXPECT_TRUE(Contains(a.error(), "model code")) << a.error();

  SimOptions badAddress;
  badAddress.listen_address = "localhost";
  badAddress.port = 0;
  ControlService b(badAddress);
  EXPECT_FALSE(b.Start());
  EXPECT_TRUE(Contains(b.error(), "not a dotted IPv4 address")) << b.error();

  auto sim = StartSim();
  EXPECT_FALSE(sim->Start());
  EXPECT_EQ(sim->error(), "already started");
  EXPECT_TRUE(sim->running());
}

// --- Extension points -------------------------------------------------------------------

// Stands in for the later boot-loader and Sub firmware receiver parts.
class RecordingHooks final : public ControlHooks {
 public:
  void OnMainDownloadMode(Channel& channel) override {
    Note("main " + std::to_string(channel.connection()));
    channel.Close();  // the projector restarts into its boot loader
  }
  void OnSubStream(Channel& channel) override { Note("sub " + std::to_string(channel.connection())); }
  void OnSubStreamData(std::span<const std::uint8_t> bytes, Channel& channel) override {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    // A 32-byte announcement and header, then the receiver answers on the connection.
    if (pending_.size() >= 32) {
      channel.RecordMessage("BLOCK-HEADER", std::span<const std::uint8_t>(pending_).first(32), true);
      pending_.erase(pending_.begin(), pending_.begin() + 32);
      channel.Send(Hex({0x73, 0x61, 0x42, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}));
    }
  }
  std::vector<std::string> notes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return notes_;
  }

 private:
  void Note(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    notes_.push_back(std::move(text));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> notes_;
  Bytes pending_;  // service thread only
};

TEST(PjsimHooksThreaded, BootLoaderAndSubReceiverPlugIn) {
  auto hooks = std::make_shared<RecordingHooks>();
  auto sim = StartSim({}, hooks);
  {
    TestClient main(sim->port());
    ASSERT_NO_FATAL_FAILURE(Handshake(main));
    ASSERT_TRUE(main.Send(kUdEt));
    EXPECT_EQ(main.ReadExactly(6), kUdAck);
    EXPECT_TRUE(main.ClosedWithin());
  }
  TestClient sub(sim->port());
  Bytes sq;
  ASSERT_NO_FATAL_FAILURE(ReachSqReply(sub, sq));
  ASSERT_TRUE(sub.Send(kSc));
  ASSERT_EQ(sub.ReadExactly(16).size(), 16u);
  // Sent in two pieces: the receiver sees the stream, not the writes.
  const Bytes header = Hex({0x53, 0x41, 0x42, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0x40, 0,    0, 0, 0, 0,
                            0x54, 0x42, 0xFF, 0x01, 0,    0,    0,    0,    0, 0, 0x3F, 0xF0, 0, 0, 0, 0});
  ASSERT_TRUE(sub.Send(Bytes(header.begin(), header.begin() + 10)));
  ASSERT_TRUE(sub.Send(Bytes(header.begin() + 10, header.end())));
  const Bytes ack = sub.ReadExactly(16);
  ASSERT_EQ(ack.size(), 16u);
  EXPECT_EQ(ack[0], 's');
  EXPECT_EQ(ack[1], 'a');
  EXPECT_EQ(ack[2], 'B');

  // The ack goes out from inside the hook; the count follows the hook.
  ASSERT_TRUE(sim->WaitFor([&](const Report& rep) { return rep.sub_stream_bytes == header.size(); }, kBudget));
  EXPECT_EQ(hooks->notes(), (std::vector<std::string>{"main 1", "sub 2"}));
  const Report r = sim->Snapshot();
  EXPECT_EQ(r.connections.at(0).end_reason, "closed by the projector");
  ASSERT_FALSE(r.messages.empty());
  EXPECT_EQ(r.messages.back().name, "BLOCK-HEADER");
  EXPECT_EQ(r.messages.back().bytes, header);
  EXPECT_TRUE(r.violations.empty()) << Describe(r);
}

}  // namespace
}  // namespace tessaly::pjsim
