// The Sub firmware stream against a scripted projector behind an in-memory connection,
// on a loop whose clock the test drives: the shipped pace and budgets take no test time.

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <numeric>
#include <optional>

#include "subfw/sub_firmware_transfer.h"
#include "support/core_probe.h"
#include "subfw/sub_records.h"
#include "support/harness.h"
#include "support/manual_loop.h"
#include "support/param_print.h"
#include "support/temp_dir.h"

namespace tessaly::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Record(const SubRecord& r) { return Bytes(r.begin(), r.end()); }

// Takes the writes, answers as the video processor does, and plays faults. Each
// ReceiveBuf hands out at most one queued piece, so a reply queued in two pieces
// arrives in two reads.
class ScriptedProjector final : public TcpClient {
 public:
  explicit ScriptedProjector(std::uint32_t payloadSize) : payload_(payloadSize) {}

  void SetEvents(TcpClientEvents*) override {}
  void SetPort(std::uint16_t) override {}
  void SetAddress(const std::string&) override {}
  bool Open() override { return true; }
  void Close() override { open = false; }
  bool Active() const override { return open; }
  std::string LocalAddress() const override { return "127.0.0.1"; }
  int SendText(const std::string& t) override { return SendBuf(t.data(), static_cast<int>(t.size())); }

  int SendBuf(const void* data, int length) override {
    ++sendCalls;
    if (clock) sendTimes.push_back(clock->NowUs());
    if (!open || (failAtCall > 0 && sendCalls >= failAtCall)) return -1;
    if (alwaysFull || (fullEvery > 0 && sendCalls % fullEvery == 0)) return 0;
    const int taken = takeAtMost > 0 ? std::min(length, takeAtMost) : length;
    const auto* p = static_cast<const std::uint8_t*>(data);
    writes.emplace_back(p, p + taken);
    stream_.insert(stream_.end(), p, p + taken);
    React();
    if (onWrite) onWrite(writes.size());
    return taken;
  }
  int ReceiveBuf(void* buffer, int length) override {
    if (clock) readTimes.push_back(clock->NowUs());
    if (!open) return 0;
    if (replies_.empty()) return -1;
    Bytes& front = replies_.front();
    const std::size_t n = std::min(front.size(), static_cast<std::size_t>(length));
    std::memcpy(buffer, front.data(), n);
    front.erase(front.begin(), front.begin() + static_cast<long>(n));
    if (front.empty()) replies_.pop_front();
    return static_cast<int>(n);
  }

  // Faults.
  int badAckAtBlock = -1;
  bool splitAck = false;
  bool splitBurnReport = false;
  bool wrongChecksum = false;
  bool upperCaseClose = false;
  bool closeMidBlock = false;
  bool noisyBurnReport = false;
  bool noBurnReport = false;  // the burn never ends
  std::function<void(std::size_t)> onWrite;
  // The connection's side: what one send takes, when the buffer is full, when it fails.
  int takeAtMost = 0;  // 0: all of it
  int fullEvery = 0;   // every K-th send takes nothing
  bool alwaysFull = false;
  int failAtCall = 0;  // from the K-th send on, the connection has failed
  int sendCalls = 0;
  // The loop's clock at each send and each read, when set.
  const UpdateLoop* clock = nullptr;
  std::vector<std::uint64_t> sendTimes;
  std::vector<std::uint64_t> readTimes;

  bool open = true;
  std::vector<Bytes> writes;
  Bytes payloadSeen;
  std::uint32_t checksumSeen = 0;

 private:
  void Queue(Bytes b) { replies_.push_back(std::move(b)); }
  void React() {
    // Parse what has come so far: for each whole block 32 + 16368 bytes, then 16 of continue.
    for (;;) {
      const std::size_t wholeBlocks = payload_ / kSubBlockSize;
      if (block_ < wholeBlocks) {
        const std::size_t need = 32 + kSubBlockSize + (continuePending_ ? 16 : 0);
        if (continuePending_) {
          if (stream_.size() < 16) return;
          stream_.erase(stream_.begin(), stream_.begin() + 16);
          continuePending_ = false;
          continue;
        }
        if (closeMidBlock && stream_.size() >= 32 + 682 * 3) {
          open = false;
          return;
        }
        if (stream_.size() < need) return;
        payloadSeen.insert(payloadSeen.end(), stream_.begin() + 32, stream_.begin() + 32 + kSubBlockSize);
        stream_.erase(stream_.begin(), stream_.begin() + 32 + static_cast<long>(kSubBlockSize));
        Bytes ack = Record(kContinueRecord);
        ack.resize(48, 0x5A);
        if (static_cast<int>(block_) == badAckAtBlock) ack[5] ^= 1;
        if (splitAck) {
          Queue(Bytes(ack.begin(), ack.begin() + 16));
          Queue(Bytes(ack.begin() + 16, ack.end()));
        } else {
          Queue(ack);
        }
        ++block_;
        continuePending_ = true;
        continue;
      }
      if (continuePending_) {
        if (stream_.size() < 16) return;
        stream_.erase(stream_.begin(), stream_.begin() + 16);
        continuePending_ = false;
      }
      const std::size_t remainder = payload_ % kSubBlockSize;
      if (!lastDone_) {
        if (stream_.size() < 32 + remainder) return;
        payloadSeen.insert(payloadSeen.end(), stream_.begin() + 32,
                           stream_.begin() + 32 + static_cast<long>(remainder));
        stream_.erase(stream_.begin(), stream_.begin() + 32 + static_cast<long>(remainder));
        lastDone_ = true;
        checksumSeen = std::accumulate(payloadSeen.begin(), payloadSeen.end(), 0u);
        Queue(Record(kContinueRecord));
        if (noBurnReport) continue;
        Bytes report = Record(kBurnReportHead);
        report.resize(32, noisyBurnReport ? 0xC3 : 0);
        PutBigEndian32(&report[28], checksumSeen + (wrongChecksum ? 1 : 0));
        if (splitBurnReport) {
          Queue(Bytes(report.begin(), report.begin() + 16));
          Queue(Bytes(report.begin() + 16, report.end()));
        } else {
          Queue(report);
        }
        continue;
      }
      if (!closed_ && stream_.size() >= 32) {
        closed_ = true;
        Queue(upperCaseClose ? Bytes{'S', 'D', 0, 0} : Bytes{'s', 'd', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2});
      }
      return;
    }
  }

  std::uint32_t payload_;
  Bytes stream_;
  std::deque<Bytes> replies_;
  std::size_t block_ = 0;
  bool continuePending_ = false;
  bool lastDone_ = false;
  bool closed_ = false;
};

UpdaterSettings FastSettings() {
  UpdaterSettings s;
  s.subRecordWaitMs = 0;
  s.subPacketWaitMs = 0;
  s.replyFirstWaitMs = 0;
  s.shortReplyIntervalMs = 1;
  s.burnReplyRetries = 20;
  s.burnReplyIntervalMs = 1;
  return s;
}

struct SubRun {
  explicit SubRun(std::uint32_t payloadSize, UpdaterSettings settings = {}) : h(settings), projector(payloadSize) {
    payload.resize(payloadSize);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 13 + (i >> 9));
    Probe(h.updater).state().SubFwFile = dir.WriteSubImage("s.brec2", 0x0A, payload);
    EXPECT_TRUE(VerifySubFirmware(Probe(h.updater).state().SubFwFile, info));
    Probe(h.updater).state().UpdateStage.store(2);
    Probe(h.updater).state().FirmwareSelection.store(SubFw);
    Probe(h.updater).state().UpdateInProgress.store(1);
    h.view.SetEnabled(Control::UpdateFwBtn, false);
  }
  // Starts the stage on the test's loop, wired to the session as the core wires it: a
  // failure raises the stop request and ends the session.
  void Start(ScriptedProjector& client) {
    client.clock = &loop;
    StageContext ctx{
        .log = Probe(h.updater).log(),
        .settings = Probe(h.updater).settings(),
        .loop = loop,
        .progress = [this](std::uint32_t percent) { Probe(h.updater).session().ReportProgress(percent); },
        .firmwareBeingWritten = [] {},
        .stopRequested = [this] { return Probe(h.updater).state().StopRequested.load() != 0; },
        .burning = nullptr,
    };
    startUs = loop.NowUs();
    stage = StartSubStage(ctx, client, Probe(h.updater).state().SubFwFile, info, [this](bool sent) {
      ++reports;
      result = sent;
      endUs = loop.NowUs();
      if (!keepStage) stage.reset();
      if (!sent) {
        Probe(h.updater).session().RequestStop();
        Probe(h.updater).session().EndSession();
      }
    });
  }
  // Runs the stage to its end: one report, and nothing left on the loop after it.
  bool Run(ScriptedProjector& client) {
    Start(client);
    EXPECT_TRUE(loop.RunUntil([&] { return result.has_value(); }));
    EXPECT_TRUE(loop.RunUntilIdle());
    EXPECT_EQ(reports, 1);
    return result.value_or(false);
  }
  bool Run() { return Run(projector); }
  std::vector<std::size_t> WriteSizes() const {
    std::vector<std::size_t> sizes;
    for (const Bytes& w : projector.writes) sizes.push_back(w.size());
    return sizes;
  }
  void ExpectFailed() {
    const std::vector<std::string> lines = h.LogTexts();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Update Sub firmware failed");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Update Sub firmware failed"), 1);
    EXPECT_EQ(Probe(h.updater).state().StopRequested.load(), 1u);
    EXPECT_TRUE(h.view.Enabled(Control::UpdateFwBtn));
    EXPECT_EQ(Probe(h.updater).state().UpdateInProgress.load(), 0);
  }
  TempDir dir;
  Harness h;
  Bytes payload;
  SubFwInfo info;
  ScriptedProjector projector;
  ManualLoop loop;
  std::unique_ptr<RunningStage> stage;
  std::optional<bool> result;
  int reports = 0;
  bool keepStage = false;  // the owner lets the stage go in its report
  std::uint64_t startUs = 0;
  std::uint64_t endUs = 0;
};

TEST(SubRecords, LastAnnouncementAndHeader) {
  struct Case {
    std::uint32_t r;
    std::uint8_t h16, l16, h, l;
  };
  for (Case c :
       {Case{0, 0x00, 0x10, 0x00, 0x00}, Case{1000, 0x03, 0xF8, 0x03, 0xE8}, Case{16367, 0x3F, 0xFF, 0x3F, 0xEF}}) {
    const auto r = BuildLastRecords(c.r, 0x11223344u);
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 16),
              (Bytes{0x53, 0x41, 0x42, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, c.h16, c.l16, 0, 0, 0, 0}))
        << c.r;
    EXPECT_EQ(Bytes(r.begin() + 16, r.end()),
              (Bytes{0x54, 0x42, 0xFF, 0x01, 0, 0, 0xFF, 0xFF, 0, 0, c.h, c.l, 0x11, 0x22, 0x33, 0x44}))
        << c.r;
  }
  EXPECT_EQ(Record(kBlockAnnouncement),
            (Bytes{0x53, 0x41, 0x42, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0x40, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Record(kBlockHeader), (Bytes{0x54, 0x42, 0xFF, 0x01, 0, 0, 0, 0, 0, 0, 0x3F, 0xF0, 0, 0, 0, 0}));
  EXPECT_EQ(Record(kContinueRecord), (Bytes{0x73, 0x61, 0x42, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Record(kCloseRecord), (Bytes{0x53, 0x44, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}));
}

std::vector<std::size_t> Plan(std::uint32_t payload) {
  std::vector<std::size_t> plan;
  for (std::uint32_t b = 0; b < payload / 16368; ++b) {
    plan.push_back(32);
    for (int p = 0; p < 24; ++p) plan.push_back(682);
    plan.push_back(16);  // continue
  }
  plan.push_back(32);
  const std::uint32_t r = payload % 16368;
  for (std::uint32_t p = 0; p < r / 682; ++p) plan.push_back(682);
  plan.push_back(r % 682);
  plan.push_back(16);  // continue
  plan.push_back(16);  // close
  return plan;
}

struct PlanCase {
  std::uint32_t payload;
  std::size_t writes;
};
TESSALY_PRINT_PARAM(PlanCase, payload)

class SubPacketPlan : public ::testing::TestWithParam<PlanCase> {};

TEST_P(SubPacketPlan, WritesInOrderAndThePayloadIntact) {
  SubRun run(GetParam().payload);
  ASSERT_TRUE(run.Run());
  EXPECT_EQ(run.WriteSizes(), Plan(GetParam().payload));
  EXPECT_EQ(run.WriteSizes().size(), GetParam().writes);
  EXPECT_EQ(run.projector.payloadSeen, run.payload);
  EXPECT_EQ(run.h.LogTexts(),
            (std::vector<std::string>{"Burning...... Please waiting.....", "Updated Sub Firmware has succeeded."}));
  EXPECT_EQ(Probe(run.h.updater).state().StopRequested.load(), 0u);
  EXPECT_EQ(run.h.view.Text(Control::PercentText), "100%");
  // The last header carries the checksum the image was verified with.
  const auto last = BuildLastRecords(GetParam().payload % 16368, run.info.Checksum);
  const std::size_t at = (GetParam().payload / 16368) * 26;
  EXPECT_EQ(run.projector.writes[at], Bytes(last.begin(), last.end()));
}

INSTANTIATE_TEST_SUITE_P(Payloads, SubPacketPlan,
                         ::testing::Values(PlanCase{0, 4}, PlanCase{1000, 5}, PlanCase{16368, 30}, PlanCase{16369, 30},
                                           PlanCase{2 * 16368 + 5, 56}));

TEST(SubProgress, Values) {
  EXPECT_EQ(SubBlockPercent(0, 1), 0u);
  std::vector<std::uint32_t> ten;
  for (std::uint32_t i = 0; i < 10; ++i) ten.push_back(SubBlockPercent(i, 10));
  EXPECT_EQ(ten, (std::vector<std::uint32_t>{0, 9, 18, 27, 36, 45, 54, 63, 72, 81}));
  EXPECT_EQ(SubBlockPercent(99, 100), 90u);
}

TEST(SubProgress, ReportedOnTheBar) {
  SubRun run(10 * 16368 + 3);
  std::vector<std::string> shown;
  ASSERT_TRUE(run.Run());
  for (const std::string& c : run.h.view.calls()) {
    if (c.rfind("text PercentText", 0) == 0) shown.push_back(c.substr(17));
  }
  EXPECT_EQ(shown,
            (std::vector<std::string>{"0%", "9%", "18%", "27%", "36%", "45%", "54%", "63%", "72%", "81%", "100%"}));
}

struct FaultCase {
  const char* name;
  void (*apply)(ScriptedProjector&);
  bool succeeds;
};
TESSALY_PRINT_PARAM(FaultCase, name)

class SubFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SubFaults, EndAsTheProjectorAnswers) {
  SubRun run(3 * 16368 + 100);
  GetParam().apply(run.projector);
  EXPECT_EQ(run.Run(), GetParam().succeeds);
  if (GetParam().succeeds) {
    EXPECT_EQ(run.h.LogTexts().back(), "Updated Sub Firmware has succeeded.");
  } else {
    run.ExpectFailed();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SubFaults,
    ::testing::Values(
        FaultCase{"ack_in_two_pieces", [](ScriptedProjector& p) { p.splitAck = true; }, true},
        FaultCase{"burn_report_bytes_16_to_27_free", [](ScriptedProjector& p) { p.noisyBurnReport = true; }, true},
        FaultCase{"wrong_ack", [](ScriptedProjector& p) { p.badAckAtBlock = 1; }, false},
        FaultCase{"burn_report_in_two_pieces", [](ScriptedProjector& p) { p.splitBurnReport = true; }, false},
        FaultCase{"wrong_checksum", [](ScriptedProjector& p) { p.wrongChecksum = true; }, false},
        FaultCase{"close_reply_upper_case", [](ScriptedProjector& p) { p.upperCaseClose = true; }, false},
        FaultCase{"connection_closed_mid_block", [](ScriptedProjector& p) { p.closeMidBlock = true; }, false}));

TEST(SubFaultDetail, WrongAckStopsAfterThatBlockAndSendsNoBlockTwice) {
  SubRun run(4 * 16368);
  run.projector.badAckAtBlock = 1;
  EXPECT_FALSE(run.Run());
  // Block 0 and block 1 went out (2 × 26 writes minus the continue after block 1).
  EXPECT_EQ(run.projector.writes.size(), 26u + 25u);
  EXPECT_EQ(run.projector.payloadSeen, Bytes(run.payload.begin(), run.payload.begin() + 2 * 16368));
}

TEST(SubFaultDetail, ImageShorterThanVerifiedSendsNothing) {
  SubRun run(20000);
  run.dir.WriteSubImage("s.brec2", 0x0A, Bytes(19000, 1));  // changed after the check
  EXPECT_FALSE(run.Run());
  EXPECT_TRUE(run.projector.writes.empty());
  run.ExpectFailed();
}

TEST(SubFaultDetail, ImageGoneSendsNothing) {
  SubRun run(20000);
  std::filesystem::remove(Probe(run.h.updater).state().SubFwFile);
  EXPECT_FALSE(run.Run());
  EXPECT_TRUE(run.projector.writes.empty());
  run.ExpectFailed();
}

TEST(SubFaultDetail, StopRequestEndsAfterTheCurrentPacket) {
  SubRun run(3 * 16368);
  run.projector.onWrite = [&](std::size_t n) {
    if (n == 10) Probe(run.h.updater).session().RequestStop();  // during the 9th packet of block 0
  };
  EXPECT_FALSE(run.Run());
  EXPECT_EQ(run.projector.writes.size(), 10u);
  run.ExpectFailed();
}

TEST(SubFaultDetail, SilentProjectorFailsAfterTheShortBudget) {
  SubRun run(16368);
  // This projector waits for a second whole block, so the last block's acknowledgement never comes.
  ScriptedProjector silent(2 * 16368);
  EXPECT_FALSE(run.Run(silent));
  EXPECT_EQ(silent.writes.size(), 28u);  // block, continue, last records, empty packet: nothing after
  // After the empty packet: a look once the first wait is over, then one each interval
  // up to the retries, and the end with the last.
  const UpdaterSettings& s = Probe(run.h.updater).settings();
  std::vector<std::uint64_t> want;
  for (std::uint32_t i = 0; i <= s.shortReplyRetries; ++i) {
    want.push_back(silent.sendTimes.back() + (s.replyFirstWaitMs + i * s.shortReplyIntervalMs) * 1000ull);
  }
  const std::vector<std::uint64_t> looks(silent.readTimes.end() - static_cast<long>(want.size()),
                                         silent.readTimes.end());
  EXPECT_EQ(looks, want);
  EXPECT_EQ(run.endUs, want.back());
  const std::vector<std::string> lines = run.h.LogTexts();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Burning...... Please waiting....."), 0);
  run.ExpectFailed();
}

// A connection that takes each write in pieces, and now and then nothing at all, still
// gets every byte in order: the burn report's checksum proves the payload arrived whole.
TEST(SubSends, PiecesAndFullBuffersLoseNoByte) {
  SubRun run(2 * 16368 + 1500);
  run.projector.takeAtMost = 300;
  run.projector.fullEvery = 3;
  EXPECT_TRUE(run.Run());
  EXPECT_EQ(run.projector.payloadSeen, run.payload);
  EXPECT_EQ(run.h.LogTexts().back(), "Updated Sub Firmware has succeeded.");
}

struct SendFailureCase {
  const char* name;
  void (*apply)(ScriptedProjector&);
  int calls;  // sends made in all, the failed ones included
};
TESSALY_PRINT_PARAM(SendFailureCase, name)

class SubSendFailure : public ::testing::TestWithParam<SendFailureCase> {};

TEST_P(SubSendFailure, EndsTheStageAtOnce) {
  UpdaterSettings s = FastSettings();
  s.subSendStallMs = 40;
  SubRun run(3 * 16368, s);
  GetParam().apply(run.projector);
  EXPECT_FALSE(run.Run());
  EXPECT_EQ(run.projector.sendCalls, GetParam().calls) << "nothing is sent after the failure";
  run.ExpectFailed();
}

INSTANTIATE_TEST_SUITE_P(Cases, SubSendFailure,
                         ::testing::Values(
                             // The 5th send is the 4th packet of block 0.
                             SendFailureCase{"connection_failed", [](ScriptedProjector& p) { p.failAtCall = 5; }, 5},
                             // The headers of block 0 wait 40 ms in steps of 1 ms for room that never comes.
                             SendFailureCase{"never_takes_a_byte", [](ScriptedProjector& p) { p.alwaysFull = true; },
                                             41}),
                         [](const ::testing::TestParamInfo<SendFailureCase>& p) { return std::string(p.param.name); });

// The writes and the looks for replies at the shipped pace, on the loop's clock: the
// headers, 10 ms, then a packet every 62 ms; 62 ms after the last packet the 30 ms first
// wait of each read; 10 ms after each record.
TEST(SubPace, WritesAndLooksAtTheShippedInstants) {
  SubRun run(16368 + 700);
  ASSERT_TRUE(run.Run());
  const std::uint64_t ms = 1000;
  const std::uint64_t t0 = run.startUs;
  std::vector<std::uint64_t> writes{t0};  // the block's headers
  for (std::uint64_t p = 0; p < 24; ++p) writes.push_back(t0 + (10 + 62 * p) * ms);
  const std::uint64_t ack = t0 + (10 + 62 * 24 + 30) * ms;
  writes.push_back(ack);                               // continue
  writes.push_back(ack + 10 * ms);                     // the last records
  writes.push_back(ack + 20 * ms);                     // 682 bytes
  writes.push_back(ack + 82 * ms);                     // the last 18
  const std::uint64_t lastAck = ack + (82 + 30) * ms;  // the last block's acknowledgement
  const std::uint64_t burnReport = lastAck + 30 * ms;  // the burn report, there at once
  writes.push_back(burnReport);                        // continue
  writes.push_back(burnReport);                        // close
  EXPECT_EQ(run.projector.sendTimes, writes);
  EXPECT_EQ(run.projector.readTimes, (std::vector<std::uint64_t>{ack, lastAck, burnReport, burnReport + 30 * ms}));
  EXPECT_EQ(run.endUs, burnReport + 30 * ms);
  EXPECT_EQ(run.h.LogTexts().back(), "Updated Sub Firmware has succeeded.");
}

// A burn that never ends is looked for 30 ms after the last acknowledgement, then every
// 100 ms, 1000 more times: about 100 s of the loop's clock, microseconds of the test's.
TEST(SubPace, BurnReportAwaitedOneHundredSeconds) {
  SubRun run(1000);
  run.projector.noBurnReport = true;
  EXPECT_FALSE(run.Run());
  const std::vector<std::string> lines = run.h.LogTexts();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Burning...... Please waiting.....");
  // Reads: the last block's acknowledgement, then the burn report's 1001 looks.
  ASSERT_EQ(run.projector.readTimes.size(), 1u + 1001u);
  const std::uint64_t acknowledged = run.projector.readTimes[0];
  for (std::size_t i = 0; i <= 1000; ++i) {
    ASSERT_EQ(run.projector.readTimes[1 + i], acknowledged + (30 + 100 * i) * 1000ull) << i;
  }
  EXPECT_EQ(run.endUs, acknowledged + (30 + 100'000) * 1000ull);
  EXPECT_EQ(run.projector.writes.size(), 3u);  // nothing after the time-out
  run.ExpectFailed();
}

// An Abort cancels the stage during the 62 ms after a packet: it ends there and then,
// with the one line, and nothing more goes out.
TEST(SubCancel, DuringThePacketPacingEndsAtOnceWithNoWriteAfter) {
  SubRun run(3 * 16368);
  run.Start(run.projector);
  ASSERT_TRUE(run.loop.RunUntil([&] { return run.projector.writes.size() == 10; }));
  const std::uint64_t cancelledAt = run.loop.NowUs();
  EXPECT_EQ(run.loop.PendingTimers(), 1u);  // the wait after the 9th packet
  Probe(run.h.updater).session().RequestStop();   // as an Abort does, just before the cancel
  run.stage->Cancel();
  EXPECT_EQ(run.loop.PendingTimers(), 0u);
  EXPECT_FALSE(run.result.has_value());  // reported on the loop, not inside Cancel
  run.loop.RunReady();
  ASSERT_EQ(run.result, std::optional<bool>(false));
  EXPECT_EQ(run.endUs, cancelledAt);
  EXPECT_TRUE(run.loop.RunUntilIdle());
  EXPECT_EQ(run.reports, 1);
  EXPECT_EQ(run.projector.sendCalls, 10);
  EXPECT_EQ(run.projector.writes.size(), 10u);
  run.ExpectFailed();
}

// A stop request alone is seen when the wait it came in ends: the stage fails there
// without writing the next packet.
TEST(SubCancel, StopRequestDuringAWaitEndsOnWakingWithNoWriteAfter) {
  SubRun run(3 * 16368);
  run.Start(run.projector);
  ASSERT_TRUE(run.loop.RunUntil([&] { return run.projector.writes.size() == 10; }));
  const std::uint64_t lastWrite = run.projector.sendTimes.back();
  Probe(run.h.updater).state().StopRequested.store(1);
  ASSERT_TRUE(run.loop.RunUntil([&] { return run.result.has_value(); }));
  EXPECT_FALSE(*run.result);
  EXPECT_EQ(run.endUs, lastWrite + 62 * 1000ull);
  EXPECT_EQ(run.projector.sendCalls, 10);
  EXPECT_EQ(run.reports, 1);
  run.ExpectFailed();
}

// A Cancel after the end changes nothing: the report came once, and no failure is said.
TEST(SubCancel, AfterTheEndDoesNothing) {
  SubRun run(1000);
  run.keepStage = true;
  EXPECT_TRUE(run.Run());
  ASSERT_NE(run.stage, nullptr);
  run.stage->Cancel();
  EXPECT_TRUE(run.loop.RunUntilIdle());
  EXPECT_EQ(run.reports, 1);
  EXPECT_EQ(run.h.LogTexts(),
            (std::vector<std::string>{"Burning...... Please waiting.....", "Updated Sub Firmware has succeeded."}));
}

}  // namespace
}  // namespace tessaly::testing
