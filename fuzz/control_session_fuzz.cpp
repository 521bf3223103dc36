// The control connection's read handler, ControlSession::ClientSocketRead, over a
// scripted in-memory connection: what it reads, what it answers, which worker it starts.
//
// Input: four bytes of state (update stage, firmware selection, reads suspended, the
// Sub image's model), then steps until the input ends:
//   0            the connection has nothing waiting (-1)
//   1            the connection is closed (0)
//   2 hh ll ...  a piece of hhll bytes arrives (more than one read takes may be left over)
//   3 s          the update stage becomes s % 3, reads are suspended when s & 4
//   other        one more read notification with whatever is left over

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <string>

#include "control/control_session.h"
#include "control/frames.h"
#include "platform/update_loop.h"
#include "control_reference.h"
#include "fuzz_support.h"

namespace tessaly::fuzz {
namespace {

// A front end that runs nothing posted: the session's timer is never enabled by a
// read, and nothing here waits for posted work.
class NullQueue final : public TaskQueue {
 public:
  void Post(std::function<void()>) override {}
  bool OnQueueThread() const override { return true; }
  void ProcessEvents() override {}
};

// The connection: each ReceiveBuf gives what the script holds for it, at most what was
// asked for; the rest of a piece stays for the next read, as a stream does.
class ScriptedConnection final : public ScriptedConnectionBase {
 public:
  int SendBuf(const void* data, int length) override {
    FUZZ_CHECK(length >= 0);
    const auto* p = static_cast<const std::uint8_t*>(data);
    sent.emplace_back(p, p + length);
    return length;
  }
  int ReceiveBuf(void* buffer, int length) override {
    ++reads;
    // The handler's buffer holds one read and the NUL after it.
    FUZZ_CHECK(length > 0 && static_cast<std::size_t>(length) <= kControlReadMax);
    lastRead.clear();
    if (result != 1) return result;
    const std::size_t n = std::min(pending.size(), static_cast<std::size_t>(length));
    if (n == 0) return -1;
    std::memcpy(buffer, pending.data(), n);
    lastRead.assign(pending.begin(), pending.begin() + static_cast<long>(n));
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(n));
    return static_cast<int>(n);
  }

  int result = 1;  // -1 or 0 to give that instead of data
  Bytes pending;
  Bytes lastRead;
  std::vector<Bytes> sent;
  int reads = 0;
};

template <std::size_t N>
Bytes B(const std::array<std::uint8_t, N>& a) {
  return Bytes(a.begin(), a.end());
}

// How far the connection's exchange has come, by the reference's own count: a reply is
// acted on only in its turn.
enum class Turn { Connected, MainSent, ModelAsked, SubSent, AwaitSq, AwaitSc, Done };

struct World {
  World() : session(UpdaterSettings{}), loop(CreateUpdateLoop()) {
    control = std::make_unique<ControlSession>(
        session.session, *loop, connection, subInfo,
        ControlSession::Stages{[this] { ++mainStarts; }, [this] { ++subStarts; }, {}});
  }
  QuietSession session;
  NullQueue view;
  std::unique_ptr<UpdateLoop> loop;  // the timer counts on it
  ScriptedConnection connection;
  SubFwInfo subInfo;
  int mainStarts = 0;
  int subStarts = 0;
  Turn turn = Turn::Connected;              // this input's connection
  std::unique_ptr<ControlSession> control;  // its timer is on the loop: made once per process
};

World& TheWorld() {
  static World* world = new World();  // kept to the end of the process
  return *world;
}

// One notification, and what it must have done, judged from the state before it.
void Notify(World& w) {
  UpdateState& s = w.session.state;
  const std::uint8_t stage = s.UpdateStage.load();
  const std::uint8_t selection = s.FirmwareSelection.load();
  const bool suspended = s.ReadsSuspended.load() != 0;
  const int readsBefore = w.connection.reads;
  const int mainBefore = w.mainStarts;
  const int subBefore = w.subStarts;
  w.connection.sent.clear();

  w.control->ClientSocketRead();

  const std::vector<Bytes>& sent = w.connection.sent;
  auto nothingElse = [&] { FUZZ_CHECK(w.mainStarts == mainBefore && w.subStarts == subBefore); };
  auto nothing = [&] {
    FUZZ_CHECK(sent.empty());
    FUZZ_CHECK(s.UpdateStage.load() == stage);
    nothingElse();
  };
  if (suspended) {
    FUZZ_CHECK(w.connection.reads == readsBefore);  // the Sub worker owns the connection
    nothing();
    return;
  }
  FUZZ_CHECK(w.connection.reads == readsBefore + 1);
  const Bytes& read = w.connection.lastRead;
  const ControlRead kind = ReferenceClassify(read.data(), read.size());
  switch (kind) {
    case ControlRead::Greeting:
      FUZZ_CHECK(sent.size() == 1 && sent[0] == Bytes(kSessionRequest.begin(), kSessionRequest.end()));
      nothingElse();
      break;
    case ControlRead::SessionAck:
      if (w.turn == Turn::Connected && (selection & MainFw) && stage == 0) {
        FUZZ_CHECK(sent.size() == 1 && sent[0] == B(kMainDownloadCommand));
        FUZZ_CHECK(s.UpdateStage.load() == 1);
        w.turn = Turn::MainSent;
      } else if (w.turn == Turn::Connected && (selection & SubFw)) {
        FUZZ_CHECK(sent.size() == 1 && sent[0] == B(kModelQuery));
        FUZZ_CHECK(s.UpdateStage.load() == 2);
        w.turn = Turn::ModelAsked;
      } else if (w.turn == Turn::ModelAsked) {
        FUZZ_CHECK(sent.size() == 1 && sent[0] == B(kModelQuery));
        FUZZ_CHECK(s.UpdateStage.load() == stage);
      } else {
        FUZZ_CHECK(sent.empty());
      }
      nothingElse();
      break;
    case ControlRead::UdAck:
      if (w.turn == Turn::MainSent && stage == 1) {
        FUZZ_CHECK(sent.empty() && w.mainStarts == mainBefore + 1 && w.subStarts == subBefore);
        w.turn = Turn::Done;
      } else if (w.turn == Turn::SubSent && stage == 2) {
        FUZZ_CHECK(sent.size() == 1 && sent[0] == B(kSqRecord));
        nothingElse();
        w.turn = Turn::AwaitSq;
      } else {
        nothing();  // out of turn: no SQ, and never a second Main worker
      }
      break;
    case ControlRead::ModelAnswer: {
      if (w.turn != Turn::ModelAsked) {
        nothing();
        break;
      }
      const std::uint8_t letter = read[kModelLetterOffset];
      const std::uint8_t model = letter == 'A' ? kModelQMA : letter == 'B' ? kModelQMB : kModelUnknown;
      FUZZ_CHECK(w.control->PjModelKind() == model);
      if (model != kModelUnknown && model == w.subInfo.ModelKind) {
        FUZZ_CHECK(sent.size() == 1 && sent[0] == B(kSubDownloadCommand));
        w.turn = Turn::SubSent;
      } else {
        FUZZ_CHECK(sent.empty());
        FUZZ_CHECK(s.UpdateInProgress.load() == 0);  // the session was ended
        w.turn = Turn::Done;
      }
      nothingElse();
      break;
    }
    case ControlRead::SqReply:
      if (w.turn != Turn::AwaitSq) {
        nothing();
        break;
      }
      FUZZ_CHECK(sent.size() == 1 && sent[0] == B(kScRecord));
      nothingElse();
      w.turn = Turn::AwaitSc;
      break;
    case ControlRead::ScReply:
      if (w.turn != Turn::AwaitSc) {
        // An unasked "sc" never starts the Sub writer: the model was not checked.
        nothing();
        FUZZ_CHECK(s.ReadsSuspended.load() == 0);
        break;
      }
      FUZZ_CHECK(sent.empty() && w.subStarts == subBefore + 1 && w.mainStarts == mainBefore);
      FUZZ_CHECK(s.ReadsSuspended.load() == 1 && s.UpdateInProgress.load() == 1);
      w.turn = Turn::Done;
      break;
    case ControlRead::Other: nothing(); break;
  }
}

}  // namespace
}  // namespace tessaly::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessaly;
  fuzz::World& w = fuzz::TheWorld();
  fuzz::ByteReader in(data, size);
  UpdateState& s = w.session.state;
  s.UpdateStage.store(static_cast<std::uint8_t>(in.Byte() % 3));
  s.FirmwareSelection.store(static_cast<std::uint8_t>(in.Byte() % 4));
  s.ReadsSuspended.store(static_cast<std::uint8_t>(in.Byte() & 1));
  s.UpdateInProgress.store(1);
  s.StopRequested.store(0);
  s.SessionRunning.store(1);
  w.control->OpenControlConnection("127.0.0.1", kPjControlPort);  // each input is a connection of its own
  w.turn = fuzz::Turn::Connected;
  w.subInfo.ModelKind = static_cast<std::uint8_t>(in.Byte() % 3);
  w.connection.pending.clear();

  // Every step is one notification at most; what is left over gets its own afterwards.
  int steps = 0;
  while (!in.Empty() && ++steps <= 4096) {
    const std::uint8_t op = in.Byte();
    w.connection.result = 1;
    if (op == 0 || op == 1) {
      w.connection.result = op == 0 ? -1 : 0;
    } else if (op == 2) {
      const fuzz::Bytes piece = in.Take(in.U16());
      w.connection.pending.insert(w.connection.pending.end(), piece.begin(), piece.end());
    } else if (op == 3) {
      const std::uint8_t v = in.Byte();
      s.UpdateStage.store(static_cast<std::uint8_t>(v % 3));
      s.ReadsSuspended.store(static_cast<std::uint8_t>((v & 4) ? 1 : 0));
      continue;
    }
    fuzz::Notify(w);
  }
  w.connection.result = 1;
  for (int i = 0; i < 8 && !w.connection.pending.empty() && s.ReadsSuspended.load() == 0; ++i) fuzz::Notify(w);
  return 0;
}
