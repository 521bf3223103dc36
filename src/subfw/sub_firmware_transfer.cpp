#include "subfw/sub_firmware_transfer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "subfw/sub_records.h"

namespace tessaly {

namespace {

constexpr std::size_t kReplyBufferSize = 48;
constexpr std::size_t kPacketBufferSize = 1024;
constexpr std::size_t kMaxReply = 1024;

class SubTransfer {
 public:
  SubTransfer(UpdateSession& session, TcpClient& client, const SubFwInfo& info)
      : session_(session), client_(client), info_(info), s_(session.settings()), file_(nullptr, &std::fclose) {}

  bool Run();

 private:
  bool Stopped() const { return session_.state().StopRequested.load() != 0; }
  // False when the connection failed, or took nothing for too long: every byte goes out
  // or the transfer ends, as a lost byte would show only after burning.
  bool Send(const std::uint8_t* data, std::size_t length);
  // Reads `length` payload bytes and sends them as one packet. False when the image
  // gave fewer bytes: it has changed since it was checked, and nothing stale may go out.
  bool SendPacket(std::size_t length);
  bool Fail();
  bool ExpectAcknowledgement(std::size_t length);

  UpdateSession& session_;
  TcpClient& client_;
  const SubFwInfo& info_;
  const UpdaterSettings& s_;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_;
  std::uint8_t reply_[kReplyBufferSize] = {};
  std::uint8_t packet_[kPacketBufferSize] = {};
};

bool SubTransfer::Send(const std::uint8_t* data, std::size_t length) {
  if (length == 0) return client_.SendBuf(data, 0) >= 0;  // a write of nothing, as the projector expects
  const std::uint32_t interval = std::max<std::uint32_t>(s_.shortReplyIntervalMs, 1);
  std::size_t sent = 0;
  std::uint32_t stalled = 0;
  while (sent < length) {
    const int n = client_.SendBuf(data + sent, static_cast<int>(length - sent));
    if (n < 0) return false;
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      stalled = 0;
      continue;
    }
    if (Stopped() || stalled >= s_.subSendStallMs) return false;
    session_.WaitWithMessages(interval);
    stalled += interval;
  }
  return true;
}

bool SubTransfer::SendPacket(std::size_t length) {
  if (length > 0 && std::fread(packet_, 1, length, file_.get()) != length) return false;
  return Send(packet_, length);
}

bool SubTransfer::ExpectAcknowledgement(std::size_t length) {
  const std::size_t compared = length < kContinueRecord.size() ? length : kContinueRecord.size();
  if (ReadReply(session_, client_, reply_, length, true) < static_cast<int>(length)) return false;
  // The block acknowledgement is 48 bytes of which the first 16 are examined; the last
  // block's is 16 bytes, all examined.
  return std::memcmp(reply_, kContinueRecord.data(), compared) == 0;
}

bool SubTransfer::Fail() {
  session_.log().LogError("Update Sub firmware failed");
  file_.reset();
  session_.RequestStop();
  session_.EndSession();
  return false;
}

bool SubTransfer::Run() {
  std::memset(reply_, 0, sizeof reply_);
  file_.reset(std::fopen(session_.state().SubFwFile.c_str(), "rb"));
  if (!file_) return Fail();
  // The image must still be as long as when it was checked: a shorter one would send
  // bytes that were never summed.
  if (std::fseek(file_.get(), 0, SEEK_END) != 0 ||
      std::ftell(file_.get()) != static_cast<long>(kSubHeaderSize) + static_cast<long>(info_.PayloadSize) ||
      std::fseek(file_.get(), kSubHeaderSize, SEEK_SET) != 0) {
    return Fail();
  }

  for (std::uint32_t i = 0; i < info_.BlockCount; ++i) {
    std::uint8_t headers[32];
    std::memcpy(headers, kBlockAnnouncement.data(), 16);
    std::memcpy(headers + 16, kBlockHeader.data(), 16);
    if (!Send(headers, sizeof headers)) return Fail();
    session_.WaitWithMessages(s_.subRecordWaitMs);
    for (std::uint32_t p = 0; p < kSubPacketsPerBlock; ++p) {
      if (!SendPacket(kSubPacketSize)) return Fail();
      if (Stopped()) return Fail();
      session_.WaitWithMessages(s_.subPacketWaitMs);
    }
    if (!ExpectAcknowledgement(48)) return Fail();
    std::memset(reply_, 0, sizeof reply_);
    session_.ReportProgress(SubBlockPercent(i, info_.BlockCount));
    if (!Send(kContinueRecord.data(), kContinueRecord.size())) return Fail();
    session_.WaitWithMessages(s_.subRecordWaitMs);
  }

  const std::uint32_t remainder = info_.PayloadSize % kSubBlockSize;
  const auto last = BuildLastRecords(remainder, info_.Checksum);
  std::memset(reply_, 0, sizeof reply_);
  if (!Send(last.data(), last.size())) return Fail();
  session_.WaitWithMessages(s_.subRecordWaitMs);
  for (std::uint32_t p = 0; p < remainder / kSubPacketSize; ++p) {
    if (!SendPacket(kSubPacketSize)) return Fail();
    if (Stopped()) return Fail();
    session_.WaitWithMessages(s_.subPacketWaitMs);
  }
  // The final packet may be empty: a write of nothing, as the projector expects none.
  if (!SendPacket(remainder % kSubPacketSize)) return Fail();
  if (!ExpectAcknowledgement(16)) return Fail();

  session_.log().LogInfo("Burning...... Please waiting.....");
  const int got = ReceiveWithRetry(session_, client_, reply_, 32, s_.burnReplyRetries, s_.burnReplyIntervalMs);
  if (got != 32) return Fail();
  if (std::memcmp(reply_, kBurnReportHead.data(), 16) != 0) return Fail();
  if (GetBigEndian32(reply_ + 28) != info_.Checksum) return Fail();

  std::memset(reply_, 0, sizeof reply_);
  if (!Send(kContinueRecord.data(), kContinueRecord.size()) || !Send(kCloseRecord.data(), kCloseRecord.size())) {
    return Fail();
  }
  const int closing = ReadReply(session_, client_, reply_, 48, false);
  if (closing <= 0 || reply_[0] != 's' || reply_[1] != 'd') return Fail();

  session_.ReportProgress(100);
  file_.reset();
  return true;
}

}  // namespace

std::uint32_t SubBlockPercent(std::uint32_t i, std::uint32_t blockCount) {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(i) * 100u / (blockCount + blockCount / 10u));
}

int ReceiveWithRetry(UpdateSession& session, TcpClient& client, std::uint8_t* buffer, std::size_t count,
                     std::uint32_t retries, std::uint32_t intervalMs) {
  session.WaitWithMessages(session.settings().replyFirstWaitMs);
  for (std::uint32_t tries = 0;;) {
    const int n = client.ReceiveBuf(buffer, static_cast<int>(count));
    if (n != -1) return n;
    if (++tries > retries) return 0;
    if (session.state().StopRequested.load() != 0) return 0;
    session.WaitWithMessages(intervalMs);
  }
}

int ReadReply(UpdateSession& session, TcpClient& client, std::uint8_t* buffer, std::size_t length, bool whole) {
  if (!buffer) return 0;
  if (length >= kMaxReply) length = kMaxReply;
  const UpdaterSettings& s = session.settings();
  if (!whole) return ReceiveWithRetry(session, client, buffer, length, s.shortReplyRetries, s.shortReplyIntervalMs);
  std::size_t total = 0;
  do {
    const int n =
        ReceiveWithRetry(session, client, buffer + total, length - total, s.shortReplyRetries, s.shortReplyIntervalMs);
    if (n <= 0) return 0;
    total += static_cast<std::size_t>(n);
  } while (total < length);
  return static_cast<int>(total);
}

bool SendSubFirmware(UpdateSession& session, TcpClient& client, const SubFwInfo& info) {
  return SubTransfer(session, client, info).Run();
}

}  // namespace tessaly
