// The Sub stream, StartSubStage on a test loop, against a connection whose replies come from the
// input: the block acknowledgements, the burn report and the closing reply, cut into
// reads anywhere, with nothing waiting (-1) or the connection closed (0) in between.
//
// Input: one byte picks the image, then one item per read:
//   0          nothing waiting (-1)
//   1          closed (0)
//   n >= 2     a piece of n - 1 bytes; a read asking for less leaves the rest for the next
// Once the input is used up nothing is waiting any more.
//
// The whole exchange is then held against the protocol as the projector sees it: every
// write, and every read with what it asked for. The transfer must succeed exactly when
// every reply was right, give up only after its retries, and stop at the first wrong one.

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "subfw/sub_firmware_transfer.h"
#include "subfw/sub_records.h"
#include "support/manual_loop.h"

namespace tessaly::fuzz {
namespace {

constexpr std::uint32_t kPayloadSizes[] = {0, 700, 2 * kSubPacketSize, kSubBlockSize, kSubBlockSize + 700};
constexpr std::size_t kLargestReply = 48;  // the transfer's reply buffer

UpdaterSettings FuzzSettings() {
  UpdaterSettings s;
  s.subRecordWaitMs = 0;
  s.subPacketWaitMs = 0;
  s.replyFirstWaitMs = 0;
  s.shortReplyRetries = 2;
  s.shortReplyIntervalMs = 0;
  s.burnReplyRetries = 3;
  s.burnReplyIntervalMs = 0;
  return s;
}

struct Image {
  explicit Image(std::uint32_t payloadSize)
      : payload(Pattern(payloadSize, 11)), file("sub-" + std::to_string(payloadSize)) {
    Bytes bytes(kSubHeaderSize, 0);
    bytes[kSubModelOffset] = 0x0A;
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    file.Write(bytes);
    FUZZ_CHECK(VerifySubFirmware(file.path(), info));
  }
  Bytes payload;
  ProcessFile file;
  SubFwInfo info;
};

enum class Ev { Write, Data, None, Closed };
struct Event {
  Ev type;
  Bytes bytes;
  int asked = 0;
};

class ScriptedConnection final : public ScriptedConnectionBase {
 public:
  explicit ScriptedConnection(ByteReader& in) : in_(in) {}
  int SendBuf(const void* data, int length) override {
    FUZZ_CHECK(length >= 0);
    const auto* p = static_cast<const std::uint8_t*>(data);
    events.push_back({Ev::Write, Bytes(p, p + length)});
    return length;
  }
  int ReceiveBuf(void* buffer, int length) override {
    FUZZ_CHECK(length > 0 && static_cast<std::size_t>(length) <= kLargestReply);
    // A transfer that keeps reading with nothing coming must still end by its retries.
    FUZZ_CHECK(events.size() < 100000);
    if (piece_.empty() && !in_.Empty()) {
      const std::uint8_t item = in_.Byte();
      if (item == 0 || item == 1) {
        events.push_back({item == 0 ? Ev::None : Ev::Closed, {}, length});
        return item == 0 ? -1 : 0;
      }
      piece_ = in_.Take(item - 1u);
    }
    if (piece_.empty()) {
      events.push_back({Ev::None, {}, length});
      return -1;
    }
    const std::size_t n = std::min(piece_.size(), static_cast<std::size_t>(length));
    std::memcpy(buffer, piece_.data(), n);
    events.push_back({Ev::Data, Bytes(piece_.begin(), piece_.begin() + static_cast<long>(n)), length});
    piece_.erase(piece_.begin(), piece_.begin() + static_cast<long>(n));
    return static_cast<int>(n);
  }

  std::vector<Event> events;

 private:
  ByteReader& in_;
  Bytes piece_;
};

// Walks the exchange as the protocol has it and says whether the transfer had to succeed.
class Protocol {
 public:
  Protocol(const std::vector<Event>& ev, const Image& image, const UpdaterSettings& s)
      : ev_(ev), image_(image), s_(s) {}

  bool ShouldSucceed() {
    const std::uint32_t payload = image_.info.PayloadSize;
    std::size_t offset = 0;
    auto packet = [&](std::size_t n) {
      Write(Bytes(image_.payload.begin() + static_cast<long>(offset),
                  image_.payload.begin() + static_cast<long>(offset + n)));
      offset += n;
    };
    for (std::uint32_t b = 0; b < payload / kSubBlockSize; ++b) {
      Bytes headers(kBlockAnnouncement.begin(), kBlockAnnouncement.end());
      headers.insert(headers.end(), kBlockHeader.begin(), kBlockHeader.end());
      Write(headers);
      for (std::uint32_t p = 0; p < kSubPacketsPerBlock; ++p) packet(kSubPacketSize);
      if (!Acknowledgement(48)) return Over();
      Write(Record(kContinueRecord));
    }
    const std::uint32_t remainder = payload % kSubBlockSize;
    const auto last = BuildLastRecords(remainder, image_.info.Checksum);
    Write(Bytes(last.begin(), last.end()));
    for (std::uint32_t p = 0; p < remainder / kSubPacketSize; ++p) packet(kSubPacketSize);
    packet(remainder % kSubPacketSize);
    FUZZ_CHECK(offset == image_.payload.size());
    if (!Acknowledgement(16)) return Over();
    if (!BurnReport()) return Over();
    Write(Record(kContinueRecord));
    Write(Record(kCloseRecord));
    if (!ClosingReply()) return Over();
    FUZZ_CHECK(at_ == ev_.size());
    return true;
  }

 private:
  static Bytes Record(const SubRecord& r) { return Bytes(r.begin(), r.end()); }
  bool Over() {
    FUZZ_CHECK(at_ == ev_.size());  // nothing more after a wrong reply or the last retry
    return false;
  }
  void Write(const Bytes& want) {
    FUZZ_CHECK(at_ < ev_.size() && ev_[at_].type == Ev::Write);
    FUZZ_CHECK(ev_[at_].bytes == want);
    ++at_;
  }
  // The next read that gave something or closed; false when the reader gave up after
  // its retries (then nothing may follow).
  bool NextRead(int asked, std::uint32_t retries, const Event*& read) {
    for (std::uint32_t none = 0;;) {
      FUZZ_CHECK(at_ < ev_.size() && ev_[at_].type != Ev::Write);
      FUZZ_CHECK(ev_[at_].asked == asked);
      read = &ev_[at_++];
      if (read->type != Ev::None) return true;
      if (++none == retries + 1) {
        FUZZ_CHECK(at_ == ev_.size());
        return false;
      }
    }
  }
  // Gathered to its whole length; the first 16 bytes are the continue record.
  bool Acknowledgement(std::size_t length) {
    Bytes got;
    while (got.size() < length) {
      const Event* read = nullptr;
      if (!NextRead(static_cast<int>(length - got.size()), s_.shortReplyRetries, read)) return false;
      if (read->type == Ev::Closed) return false;
      got.insert(got.end(), read->bytes.begin(), read->bytes.end());
    }
    return std::equal(kContinueRecord.begin(), kContinueRecord.end(), got.begin());
  }
  // One read of all 32 bytes: the head, then the checksum in the last four.
  bool BurnReport() {
    const Event* read = nullptr;
    if (!NextRead(32, s_.burnReplyRetries, read) || read->type == Ev::Closed || read->bytes.size() != 32) return false;
    return std::equal(kBurnReportHead.begin(), kBurnReportHead.end(), read->bytes.begin()) &&
           GetBigEndian32(read->bytes.data() + 28) == image_.info.Checksum;
  }
  // One read that begins "sd".
  bool ClosingReply() {
    const Event* read = nullptr;
    if (!NextRead(48, s_.shortReplyRetries, read) || read->type == Ev::Closed) return false;
    return read->bytes.size() >= 2 && read->bytes[0] == 's' && read->bytes[1] == 'd';
  }

  const std::vector<Event>& ev_;
  const Image& image_;
  const UpdaterSettings& s_;
  std::size_t at_ = 0;
};

}  // namespace
}  // namespace tessaly::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessaly;
  static std::unique_ptr<fuzz::Image> images[std::size(fuzz::kPayloadSizes)];
  fuzz::ByteReader in(data, size);
  const std::size_t pick = in.Byte() % std::size(fuzz::kPayloadSizes);
  if (!images[pick]) images[pick] = std::make_unique<fuzz::Image>(fuzz::kPayloadSizes[pick]);
  const fuzz::Image& image = *images[pick];

  fuzz::QuietSession q(fuzz::FuzzSettings());
  q.state.UpdateStage.store(2);
  q.state.FirmwareSelection.store(SubFw);
  q.state.UpdateInProgress.store(1);
  fuzz::ScriptedConnection connection(in);

  testing::ManualLoop loop;
  std::optional<bool> sent;
  int reports = 0;
  StageContext ctx{
      .log = q.log,
      .settings = q.settings,
      .loop = loop,
      .progress = [&](std::uint32_t percent) { q.session.ReportProgress(percent); },
      .firmwareBeingWritten = [] {},
      .stopRequested = [&] { return q.state.StopRequested.load() != 0; },
  };
  std::unique_ptr<RunningStage> stage = StartSubStage(ctx, connection, image.file.path(), image.info, [&](bool done) {
    ++reports;
    sent = done;
  });
  FUZZ_CHECK(loop.RunUntil([&] { return sent.has_value(); }));
  // Nothing is left on the loop once the end is reported, and it is reported once.
  FUZZ_CHECK(loop.RunUntilIdle());
  FUZZ_CHECK(reports == 1);

  const bool right = fuzz::Protocol(connection.events, image, q.settings).ShouldSucceed();
  FUZZ_CHECK(*sent == right);
  return 0;
}
