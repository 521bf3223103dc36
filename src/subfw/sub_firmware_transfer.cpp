#include "subfw/sub_firmware_transfer.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

#include "subfw/sub_records.h"

namespace tessaly {

namespace {

constexpr std::size_t kReplyBufferSize = 48;
constexpr std::size_t kPacketBufferSize = 1024;
constexpr std::size_t kMaxReply = 1024;

// The stream as a chain of continuations on one loop timer: each wait is a timer start
// whose handler goes on, each polled read a poll at the timer's instants. Nothing blocks,
// so a Cancel ends it between any two steps.
class SubStage final : public RunningStage {
 public:
  using Next = std::function<void()>;
  using Got = std::function<void(int)>;

  SubStage(StageContext ctx, TcpClient& client, std::string imagePath, SubFwInfo info, std::function<void(bool)> done)
      : ctx_(std::move(ctx)),
        s_(ctx_.settings),
        client_(client),
        imagePath_(std::move(imagePath)),
        info_(info),
        done_(std::move(done)),
        timer_(ctx_.loop.CreateTimer()),
        file_(nullptr, &std::fclose) {}

  void Begin();
  void Cancel() override;

 private:
  bool Stopped() const { return ctx_.stopRequested && ctx_.stopRequested(); }
  // `ms` milliseconds on the loop, then `next`, unless the stop request is found on waking.
  void Wait(std::uint32_t ms, Next next);
  // Every byte goes out or the stream ends, as a lost byte would show only after burning:
  // a connection that takes nothing is asked again each interval, up to the stall budget.
  // `data` stays put until `next`.
  void Send(const std::uint8_t* data, std::size_t length, Next next);
  void SendSome();
  // Reads `length` payload bytes and sends them as one packet. Fails when the image gave
  // fewer bytes: it has changed since it was checked, and nothing stale may go out.
  void SendPacket(std::size_t length, Next next);
  // One polling read of up to `count` bytes after the first wait, then once each interval
  // up to `retries` more times: `got` has the bytes the connection gave, or 0.
  void Receive(std::uint8_t* buffer, std::size_t count, std::uint32_t retries, std::uint32_t intervalMs, Got got);
  void Poll();
  // With `whole`, gathers exactly `length` bytes (0 when a read gives nothing); otherwise
  // one short read. The length is capped at 1024.
  void ReadReply(std::uint8_t* buffer, std::size_t length, bool whole, Got got);
  void GatherMore();
  void ExpectAcknowledgement(std::size_t length, Next next);

  void NextBlock();
  void BlockPacket();
  void BlockAcknowledged();
  void LastBlock();
  void LastPacket();
  void Burn();
  void Closed(int got);

  void Fail();
  void Finish(bool sent);

  StageContext ctx_;
  const UpdaterSettings& s_;
  TcpClient& client_;
  const std::string imagePath_;
  const SubFwInfo info_;
  std::function<void(bool)> done_;
  std::unique_ptr<LoopTimer> timer_;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_;
  bool finished_ = false;

  std::uint32_t block_ = 0;
  std::uint32_t packetIndex_ = 0;
  std::uint32_t remainder_ = 0;
  std::uint8_t headers_[32] = {};
  std::array<std::uint8_t, 32> last_ = {};
  std::uint8_t reply_[kReplyBufferSize] = {};
  std::uint8_t packet_[kPacketBufferSize] = {};

  struct Sending {
    const std::uint8_t* data = nullptr;
    std::size_t length = 0;
    std::size_t sent = 0;
    std::uint32_t stalled = 0;
    Next next;
  } send_;
  struct Receiving {
    std::uint8_t* buffer = nullptr;
    std::size_t count = 0;
    std::uint32_t retries = 0;
    std::uint32_t intervalMs = 0;
    std::uint32_t tries = 0;
    Got got;
  } receive_;
  struct Gathering {
    std::uint8_t* buffer = nullptr;
    std::size_t length = 0;
    std::size_t total = 0;
    Got got;
  } gather_;
};

void SubStage::Wait(std::uint32_t ms, Next next) {
  timer_->Start(static_cast<std::uint64_t>(ms) * 1000u, [this, next = std::move(next)] {
    if (Stopped()) return Fail();
    next();
  });
}

void SubStage::Send(const std::uint8_t* data, std::size_t length, Next next) {
  send_ = Sending{data, length, 0, 0, std::move(next)};
  SendSome();
}

void SubStage::SendSome() {
  const std::uint32_t interval = std::max<std::uint32_t>(s_.shortReplyIntervalMs, 1);
  if (send_.length == 0) {
    // A write of nothing, as the projector expects.
    if (Stopped()) return Fail();
    const int n = client_.SendBuf(send_.data, 0);
    if (finished_) return;
    if (n < 0) return Fail();
  }
  while (send_.sent < send_.length) {
    if (Stopped()) return Fail();
    const int n = client_.SendBuf(send_.data + send_.sent, static_cast<int>(send_.length - send_.sent));
    if (finished_) return;
    if (n < 0) return Fail();
    if (n > 0) {
      send_.sent += static_cast<std::size_t>(n);
      send_.stalled = 0;
      continue;
    }
    if (Stopped() || send_.stalled >= s_.subSendStallMs) return Fail();
    send_.stalled += interval;
    return Wait(interval, [this] { SendSome(); });
  }
  Next next = std::move(send_.next);
  next();
}

void SubStage::SendPacket(std::size_t length, Next next) {
  if (length > 0 && std::fread(packet_, 1, length, file_.get()) != length) return Fail();
  Send(packet_, length, std::move(next));
}

void SubStage::Receive(std::uint8_t* buffer, std::size_t count, std::uint32_t retries, std::uint32_t intervalMs,
                       Got got) {
  receive_ = Receiving{buffer, count, retries, intervalMs, 0, std::move(got)};
  Wait(s_.replyFirstWaitMs, [this] { Poll(); });
}

void SubStage::Poll() {
  const int n = client_.ReceiveBuf(receive_.buffer, static_cast<int>(receive_.count));
  if (finished_) return;
  if (n == -1 && ++receive_.tries <= receive_.retries && !Stopped()) {
    return Wait(receive_.intervalMs, [this] { Poll(); });
  }
  Got got = std::move(receive_.got);
  got(n == -1 ? 0 : n);
}

void SubStage::ReadReply(std::uint8_t* buffer, std::size_t length, bool whole, Got got) {
  if (length >= kMaxReply) length = kMaxReply;
  if (!whole) return Receive(buffer, length, s_.shortReplyRetries, s_.shortReplyIntervalMs, std::move(got));
  gather_ = Gathering{buffer, length, 0, std::move(got)};
  GatherMore();
}

void SubStage::GatherMore() {
  Receive(gather_.buffer + gather_.total, gather_.length - gather_.total, s_.shortReplyRetries, s_.shortReplyIntervalMs,
          [this](int n) {
            if (n > 0) gather_.total += static_cast<std::size_t>(n);
            if (n > 0 && gather_.total < gather_.length) return GatherMore();
            Got got = std::move(gather_.got);
            got(n > 0 ? static_cast<int>(gather_.total) : 0);
          });
}

void SubStage::ExpectAcknowledgement(std::size_t length, Next next) {
  ReadReply(reply_, length, true, [this, length, next = std::move(next)](int got) {
    if (got < static_cast<int>(length)) return Fail();
    // The block acknowledgement is 48 bytes of which the first 16 are examined; the last
    // block's is 16 bytes, all examined.
    const std::size_t compared = std::min(length, kContinueRecord.size());
    if (std::memcmp(reply_, kContinueRecord.data(), compared) != 0) return Fail();
    next();
  });
}

void SubStage::Begin() {
  file_.reset(std::fopen(imagePath_.c_str(), "rb"));
  if (!file_) return Fail();
  // The image must still be as long as when it was checked: a shorter one would send
  // bytes that were never summed.
  if (std::fseek(file_.get(), 0, SEEK_END) != 0 ||
      std::ftell(file_.get()) != static_cast<long>(kSubHeaderSize) + static_cast<long>(info_.PayloadSize) ||
      std::fseek(file_.get(), kSubHeaderSize, SEEK_SET) != 0) {
    return Fail();
  }
  block_ = 0;
  NextBlock();
}

void SubStage::NextBlock() {
  if (block_ >= info_.BlockCount) return LastBlock();
  std::memcpy(headers_, kBlockAnnouncement.data(), 16);
  std::memcpy(headers_ + 16, kBlockHeader.data(), 16);
  Send(headers_, sizeof headers_, [this] {
    Wait(s_.subRecordWaitMs, [this] {
      packetIndex_ = 0;
      BlockPacket();
    });
  });
}

void SubStage::BlockPacket() {
  if (packetIndex_ >= kSubPacketsPerBlock) return ExpectAcknowledgement(48, [this] { BlockAcknowledged(); });
  SendPacket(kSubPacketSize, [this] {
    if (Stopped()) return Fail();
    ++packetIndex_;
    Wait(s_.subPacketWaitMs, [this] { BlockPacket(); });
  });
}

void SubStage::BlockAcknowledged() {
  std::memset(reply_, 0, sizeof reply_);
  if (ctx_.progress) ctx_.progress(SubBlockPercent(block_, info_.BlockCount));
  Send(kContinueRecord.data(), kContinueRecord.size(), [this] {
    Wait(s_.subRecordWaitMs, [this] {
      ++block_;
      NextBlock();
    });
  });
}

void SubStage::LastBlock() {
  remainder_ = info_.PayloadSize % kSubBlockSize;
  last_ = BuildLastRecords(remainder_, info_.Checksum);
  std::memset(reply_, 0, sizeof reply_);
  Send(last_.data(), last_.size(), [this] {
    Wait(s_.subRecordWaitMs, [this] {
      packetIndex_ = 0;
      LastPacket();
    });
  });
}

void SubStage::LastPacket() {
  if (packetIndex_ >= remainder_ / kSubPacketSize) {
    // The final packet may be empty: a write of nothing, as the projector expects none.
    return SendPacket(remainder_ % kSubPacketSize, [this] { ExpectAcknowledgement(16, [this] { Burn(); }); });
  }
  SendPacket(kSubPacketSize, [this] {
    if (Stopped()) return Fail();
    ++packetIndex_;
    Wait(s_.subPacketWaitMs, [this] { LastPacket(); });
  });
}

void SubStage::Burn() {
  ctx_.log.LogInfo("Burning...... Please waiting.....");
  if (ctx_.burning) ctx_.burning();
  Receive(reply_, 32, s_.burnReplyRetries, s_.burnReplyIntervalMs, [this](int got) {
    if (got != 32) return Fail();
    if (std::memcmp(reply_, kBurnReportHead.data(), 16) != 0) return Fail();
    if (GetBigEndian32(reply_ + 28) != info_.Checksum) return Fail();
    std::memset(reply_, 0, sizeof reply_);
    Send(kContinueRecord.data(), kContinueRecord.size(), [this] {
      Send(kCloseRecord.data(), kCloseRecord.size(),
           [this] { ReadReply(reply_, 48, false, [this](int closing) { Closed(closing); }); });
    });
  });
}

void SubStage::Closed(int got) {
  if (got <= 0 || reply_[0] != 's' || reply_[1] != 'd') return Fail();
  if (ctx_.progress) ctx_.progress(100);
  Finish(true);
}

void SubStage::Fail() {
  if (finished_) return;
  ctx_.log.LogError("Update Sub firmware failed");
  Finish(false);
}

void SubStage::Finish(bool sent) {
  finished_ = true;
  timer_->Cancel();
  file_.reset();
  // Posted, so that the owner may destroy the stage in it.
  ctx_.loop.Post([done = std::move(done_), sent] {
    if (done) done(sent);
  });
}

// A stop, seen at once: the pending wait or poll never ends, nothing more is written.
void SubStage::Cancel() { Fail(); }

}  // namespace

std::uint32_t SubBlockPercent(std::uint32_t i, std::uint32_t blockCount) {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(i) * 100u / (blockCount + blockCount / 10u));
}

std::unique_ptr<RunningStage> StartSubStage(StageContext ctx, TcpClient& client, std::string imagePath, SubFwInfo info,
                                            std::function<void(bool sent)> done) {
  auto stage = std::make_unique<SubStage>(std::move(ctx), client, std::move(imagePath), info, std::move(done));
  stage->Begin();
  return stage;
}

}  // namespace tessaly
