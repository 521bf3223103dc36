// The whole Main firmware stage against a scripted boot loader on an in-memory network.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>

#include "bootloader/main_firmware.h"
#include "support/core_probe.h"
#include "bootloader/tftp.h"
#include "platform/update_loop.h"
#include "support/fake_network.h"
#include "support/harness.h"
#include "support/manual_loop.h"
#include "support/param_print.h"
#include "support/session_stage.h"
#include "support/temp_dir.h"

namespace tessaly::testing {
namespace {

const MacAddress kFF{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const std::uint32_t kPc = ::inet_addr("10.0.0.5");
const std::uint32_t kPj = ::inet_addr("10.0.0.2");

// The projector's boot loader, as the updater expects it to behave, with knobs for its faults.
struct ScriptedBootLoader {
  explicit ScriptedBootLoader(FakeNetwork& n, const UpdaterSettings& s) : net(n), settings(s) {
    net.onSend = [this](const FakeNetwork::Sent& sent) { OnSend(sent); };
  }

  Bytes Request() const {
    Bytes p(requestLength, 0);
    p[0] = 1, p[1] = 1, p[2] = 6;
    p[4] = 0x12, p[5] = 0x34, p[6] = 0x56, p[7] = 0x78;
    std::memcpy(&p[28], mac.data(), 6);
    std::memcpy(&p[44], sname.data(), sname.size());
    return p;
  }
  void SendRequest() { net.Deliver(settings.bootpServerPort, {kPj, 68}, Request()); }
  void SendRrq() {
    // Asking from a new port begins a new transfer, even should the server draw the same
    // data port again.
    if (!(tid == transferTid)) dataPort = 0;
    Bytes rrq{0, 1};
    for (char c : std::string("firmware.bin")) rrq.push_back(static_cast<std::uint8_t>(c));
    rrq.push_back(0);
    for (char c : std::string("octet")) rrq.push_back(static_cast<std::uint8_t>(c));
    rrq.push_back(0);
    net.Deliver(settings.tftpServerPort, tid, rrq);
  }
  void Ack(std::uint16_t port, std::uint32_t block, Endpoint from) {
    net.Deliver(port, from, Bytes{0, 4, static_cast<std::uint8_t>(block >> 8), static_cast<std::uint8_t>(block)});
  }

  void OnSend(const FakeNetwork::Sent& s) {
    if (s.fromPort == settings.magicPort) {
      ++magic;
      if (answerMagic && magic == 1) SendRequest();
      return;
    }
    if (s.fromPort == settings.bootpServerPort) {
      replies.push_back(s);
      if (rrqAfterReply && replies.size() == 1) SendRrq();
      return;
    }
    if (s.fromPort == settings.tftpServerPort) {
      errors.push_back(s);
      return;
    }
    // DATA from a data port.
    if (s.data.size() < 4 || s.data[1] != 3) {
      others.push_back(s);
      return;
    }
    if (keepFirstPort && dataPort != 0 && dataPort != s.fromPort) {
      // As a real client does: the first DATA fixed the transfer's port; others get ERROR 5.
      ++strays;
      net.Deliver(s.fromPort, tid, Bytes{0, 5, 0, 5, 0});
      return;
    }
    if (dataPort != s.fromPort) {
      dataPort = s.fromPort;
      transferTid = tid;
      ++transfers;
      image.clear();
      expected = 1;
    }
    ++dataSeen;
    const std::uint16_t number = static_cast<std::uint16_t>(s.data[2] << 8 | s.data[3]);
    if (number == static_cast<std::uint16_t>(expected)) {
      image.insert(image.end(), s.data.begin() + 4, s.data.end());
      ++expected;
      if (s.data.size() < 516) complete = true;
    } else {
      ++repeats;
    }
    if (stopAtBlock && number == stopAtBlock) silent = true;
    if (silent) return;
    if (dropAcks > 0) {
      --dropAcks;
      return;
    }
    Ack(dataPort, number, tid);
    if (duplicateAcks) Ack(dataPort, number, tid);
    if (strangerAck) Ack(dataPort, static_cast<std::uint32_t>(number) + 1, {kPj, 4444});
  }

  FakeNetwork& net;
  const UpdaterSettings& settings;
  MacAddress mac = kFF;
  std::string sname = "stellaris";
  std::size_t requestLength = 300;
  Endpoint tid{kPj, 2001};
  Endpoint transferTid;  // the tid of the transfer under way
  bool answerMagic = true;
  bool rrqAfterReply = true;
  int dropAcks = 0;
  bool duplicateAcks = false;
  bool strangerAck = false;
  bool keepFirstPort = false;
  std::uint16_t stopAtBlock = 0;
  bool silent = false;

  int magic = 0;
  std::vector<FakeNetwork::Sent> replies, errors, others;
  std::uint16_t dataPort = 0;
  int transfers = 0;
  int dataSeen = 0;
  int repeats = 0;
  int strays = 0;
  std::uint32_t expected = 1;
  Bytes image;
  bool complete = false;
};

constexpr const char* kFailedLine = "Update Main firmware failed";

// The Main stage on the test's loop, from its start to its end.
struct Stage {
  explicit Stage(std::size_t imageSize, UpdaterSettings settings = {})
      : h(settings), image(Pattern(imageSize)), net(loop), peer(net, Probe(h.updater).settings()) {
    target.mac = kFF;
    target.localAddress = kPc;
    target.projectorAddress = kPj;
    target.imagePath = dir.Write("main.bin", image);
    Probe(h.updater).state().UpdateStage.store(1);
    Probe(h.updater).state().FirmwareSelection.store(MainFw);
  }
  UpdateSession& session() { return Probe(h.updater).session(); }
  // Runs the stage to its end. The stage reports 0 first and says kFailedLine last on any
  // end but success: both are checked here, and what the serving itself reported is kept
  // in `progress` and `lines`.
  int Run(MainPorts prepared = {}) {
    std::vector<std::uint32_t> reported;
    int result = -100;
    int doneCalls = 0;
    auto report = [this, &reported](std::uint32_t p) {
      reported.push_back(p);
      if (onProgress) onProgress(p);
    };
    stage = StartMainStage(SessionStageContext(session(), loop, report), net, target, std::move(prepared),
                           [&](int r) {
                             result = r;
                             ++doneCalls;
                           });
    EXPECT_TRUE(loop.RunUntil([&] { return doneCalls > 0; })) << "the stage never ended";
    stage.reset();
    loop.RunReady();
    EXPECT_EQ(doneCalls, 1);
    EXPECT_FALSE(net.Waiting());
    EXPECT_FALSE(reported.empty());
    if (!reported.empty()) {
      EXPECT_EQ(reported.front(), 0u);
      progress.assign(reported.begin() + 1, reported.end());
    }
    lines = h.LogTexts();
    if (result != kMainServed) {
      EXPECT_FALSE(lines.empty());
      if (!lines.empty()) {
        EXPECT_EQ(lines.back(), kFailedLine);
        lines.pop_back();
      }
    }
    return result;
  }
  // Raises the stop request and cancels the stage, as the update does on an Abort: the
  // Cancel reaches the loop after the turn under way.
  void Abort() {
    session().RequestStop();
    loop.Post([this] {
      if (stage) stage->Cancel();
    });
  }
  TempDir dir;
  Harness h;
  Bytes image;
  ManualLoop loop;
  FakeNetwork net;
  ScriptedBootLoader peer;
  MainStageTarget target;
  std::unique_ptr<RunningStage> stage;
  std::function<void(std::uint32_t)> onProgress;
  std::vector<std::uint32_t> progress;
  std::vector<std::string> lines;
};

TEST(MainStage, ServesTheImageByteForByte) {
  Stage st(1000);
  EXPECT_EQ(st.Run(), kMainServed);
  EXPECT_EQ(st.peer.image, st.image);
  EXPECT_EQ(st.progress, (std::vector<std::uint32_t>{51, 100}));
  EXPECT_EQ(st.lines, std::vector<std::string>{"Startup Main firmware update process..."});
  EXPECT_EQ(Probe(st.h.updater).state().UpdateInProgress.load(), 1);
  EXPECT_EQ(st.net.openSockets, 0) << "every socket closed at the end";
  ASSERT_EQ(st.peer.replies.size(), 1u);
  const auto& reply = st.peer.replies[0];
  EXPECT_EQ(reply.to, (Endpoint{0xFFFFFFFFu, 68}));
  ASSERT_EQ(reply.data.size(), 300u);
  EXPECT_EQ(reply.data[0], 2);
  EXPECT_EQ(Bytes(reply.data.begin() + 4, reply.data.begin() + 8), (Bytes{0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ(0, std::memcmp(&reply.data[16], &kPj, 4));
  EXPECT_EQ(0, std::memcmp(&reply.data[20], &kPc, 4));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&reply.data[108])), "firmware.bin");
  EXPECT_EQ(st.peer.magic, 1) << "no Magic packet once the boot loader has asked";
  // The sockets: BOOTP on the wildcard address tied to the adapter, the others bound to it.
  ASSERT_GE(st.net.opened.size(), 4u);
  EXPECT_EQ(st.net.opened[0].port, 67);
  EXPECT_TRUE(st.net.opened[0].broadcast);
  EXPECT_TRUE(st.net.opened[0].receiveBroadcast);
  EXPECT_EQ(st.net.opened[1].port, 69);
  EXPECT_FALSE(st.net.opened[1].broadcast);
  EXPECT_EQ(st.net.opened[2].port, 9);
  EXPECT_TRUE(st.net.opened[2].broadcast);
  EXPECT_GE(st.net.opened[3].port, 32768);
  EXPECT_LE(st.net.opened[3].port, 40959);
  for (const auto& o : st.net.opened) EXPECT_EQ(o.localAddress, kPc);
}

struct SizeCase {
  std::size_t size;
  std::vector<std::uint32_t> progress;
};
TESSALY_PRINT_PARAM(SizeCase, size)

class MainStageSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(MainStageSizes, ProgressAndImage) {
  Stage st(GetParam().size);
  EXPECT_EQ(st.Run(), kMainServed);
  EXPECT_EQ(st.peer.image, st.image);
  if (!GetParam().progress.empty()) {
    EXPECT_EQ(st.progress, GetParam().progress);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, MainStageSizes,
                         ::testing::Values(SizeCase{1, {100}}, SizeCase{511, {100}}, SizeCase{512, {99, 100}},
                                           SizeCase{1024, {50, 99, 100}}, SizeCase{1000, {51, 100}},
                                           SizeCase{65536 * 512 + 700, {}}));

TEST(MainStage, DroppedAcksAreResentEverySecondIdleCycle) {
  Stage st(2000);
  st.peer.dropAcks = 2;
  EXPECT_EQ(st.Run(), kMainServed);
  EXPECT_EQ(st.peer.image, st.image);
  EXPECT_EQ(st.peer.repeats, 2);
  EXPECT_EQ(st.net.idleCycles, 4);  // two idle cycles per resend
}

TEST(MainStage, DuplicateAcksAreIgnoredWithoutAResend) {
  Stage st(5000);
  st.peer.duplicateAcks = true;
  EXPECT_EQ(st.Run(), kMainServed);
  EXPECT_EQ(st.peer.image, st.image);
  EXPECT_EQ(st.peer.repeats, 0);
  EXPECT_EQ(st.peer.dataSeen, 10);
}

TEST(MainStage, SilentPeerEndsAfterElevenIdleCycles) {
  Stage st(5000);
  st.peer.stopAtBlock = 3;
  EXPECT_EQ(st.Run(), kMainStopped);
  EXPECT_EQ(st.net.idleCycles, 11);
  EXPECT_EQ(st.peer.repeats, 5) << "block 3 again at idle cycles 2, 4, 6, 8 and 10";
  EXPECT_EQ(st.lines, std::vector<std::string>{"Startup Main firmware update process..."});
  EXPECT_EQ(st.net.openSockets, 0);
}

TEST(MainStage, NoBootLoaderTimesOutAfter131IdleCycles) {
  Stage st(100);
  st.peer.answerMagic = false;
  EXPECT_EQ(st.Run(), kMainStopped);
  EXPECT_EQ(st.net.idleCycles, 131);
  EXPECT_EQ(st.peer.magic, 132);  // once at the start and in every idle cycle
  EXPECT_EQ(st.lines, std::vector<std::string>{"Waiting update Main firmware packet timeout"});
  for (const auto& s : st.net.sent) {
    if (s.fromPort == 9) {
      EXPECT_EQ(s.to, (Endpoint{0xFFFFFFFFu, 9}));
      EXPECT_EQ(s.data,
                (Bytes{0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                       0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    }
  }
}

TEST(MainStage, RequestForAnotherMacIsIgnoredAndMagicGoesOn) {
  Stage st(100);
  st.peer.mac = {0, 1, 2, 3, 4, 5};
  st.net.onIdle = [&](int cycle) {
    if (cycle == 20) st.Abort();
  };
  EXPECT_EQ(st.Run(), kMainStopped);
  EXPECT_TRUE(st.peer.replies.empty());
  EXPECT_EQ(st.peer.magic, 21);
  EXPECT_EQ(Probe(st.h.updater).state().UpdateInProgress.load(), 0);
}

TEST(MainStage, StopRequestEndsWithinOneWait) {
  Stage st(100000);
  st.net.onIdle = [&](int) { st.Abort(); };
  st.peer.stopAtBlock = 5;
  EXPECT_EQ(st.Run(), kMainStopped);
  EXPECT_EQ(st.net.idleCycles, 1);
  EXPECT_EQ(st.net.openSockets, 0);
}

TEST(MainStage, StopRaisedBeforeTheSocketsOpenSendsNothing) {
  // An Abort between the worker's start and its sockets belongs to this update: the stage
  // must neither clear it nor wake the boot loader.
  Stage st(1000);
  Probe(st.h.updater).session().RequestStop();
  EXPECT_EQ(st.Run(), kMainStopped);
  EXPECT_TRUE(st.net.sent.empty());
  EXPECT_EQ(st.net.waits, 0);
  EXPECT_EQ(Probe(st.h.updater).state().StopRequested.load(), 1u);
  EXPECT_EQ(st.net.openSockets, 0);
}

TEST(MainStage, FirstBlockWithoutBootpMarksFirmwareBeingWritten) {
  Stage st(1500);
  st.peer.answerMagic = false;
  st.net.onIdle = [&](int cycle) {
    if (cycle == 1) st.peer.SendRrq();
  };
  std::vector<std::uint8_t> flagAtData;
  const auto peerSees = st.net.onSend;
  st.net.onSend = [&](const FakeNetwork::Sent& sent) {
    if (sent.data.size() >= 2 && sent.data[1] == 3) flagAtData.push_back(Probe(st.h.updater).state().UpdateInProgress.load());
    peerSees(sent);
  };
  EXPECT_EQ(st.Run(), kMainServed);
  EXPECT_TRUE(st.peer.replies.empty()) << "no BOOTP request was made";
  EXPECT_EQ(flagAtData, (std::vector<std::uint8_t>{1, 1, 1}));
}

TEST(MainStage, PortsBoundAheadAreTakenAsTheyAre) {
  Stage st(1000);
  MainPorts ports;
  ASSERT_EQ(OpenMainPorts(st.session().log(), Probe(st.h.updater).settings(), st.net, kPc, ports), kMainServed);
  ASSERT_TRUE(ports.Bound());
  const std::size_t openedAhead = st.net.opened.size();
  EXPECT_EQ(st.Run(std::move(ports)), kMainServed);
  EXPECT_EQ(st.peer.image, st.image);
  EXPECT_FALSE(ports.Bound()) << "the stage owns them now";
  // Only the data port is opened by the stage itself.
  ASSERT_EQ(st.net.opened.size(), openedAhead + 1);
  EXPECT_GE(st.net.opened.back().port, 32768);
  EXPECT_EQ(st.net.openSockets, 0);
}

TEST(MainStage, StopSetWhenTheLastAckArrivesGivesSix) {
  Stage st(700);
  st.onProgress = [&](std::uint32_t p) {
    if (p == 100) st.Abort();  // at the very moment the image is done
  };
  EXPECT_EQ(st.Run(), kMainStopped);
  EXPECT_EQ(st.peer.image, st.image);
  EXPECT_EQ(st.progress.back(), 100u);
}

struct PortCase {
  std::uint16_t port;
  int result;
};
TESSALY_PRINT_PARAM(PortCase, port)

class MainStagePorts : public ::testing::TestWithParam<PortCase> {};

TEST_P(MainStagePorts, HeldPortGivesItsResultAndALine) {
  Stage st(100);
  st.net.refusedPorts = {GetParam().port};
  EXPECT_EQ(st.Run(), GetParam().result);
  EXPECT_EQ(st.lines, std::vector<std::string>{"Cannot bind UDP port " + std::to_string(GetParam().port) +
                                                      " on 10.0.0.5: Address already in use"});
  EXPECT_EQ(st.net.openSockets, 0);
  EXPECT_TRUE(st.net.sent.empty());
}

TEST_P(MainStagePorts, BindingAheadReleasesWhatWasBound) {
  Stage st(100);
  st.net.refusedPorts = {GetParam().port};
  MainPorts ports;
  EXPECT_EQ(OpenMainPorts(st.session().log(), Probe(st.h.updater).settings(), st.net, kPc, ports), GetParam().result);
  EXPECT_FALSE(ports.bootp || ports.tftp || ports.magic);
  EXPECT_EQ(st.net.openSockets, 0);
  EXPECT_EQ(st.h.LogTexts(), std::vector<std::string>{"Cannot bind UDP port " + std::to_string(GetParam().port) +
                                                      " on 10.0.0.5: Address already in use"});
}

INSTANTIATE_TEST_SUITE_P(Ports, MainStagePorts,
                         ::testing::Values(PortCase{67, kMainBootpSocket}, PortCase{69, kMainTftpSocket},
                                           PortCase{9, kMainMagicSocket}));

TEST(MainStage, DataPortDrawsAreBounded) {
  Stage st(100);
  for (int p = 32768; p <= 40959; ++p) st.net.refusedPorts.insert(static_cast<std::uint16_t>(p));
  EXPECT_EQ(st.Run(), kMainTftpSocket);
  EXPECT_EQ(st.net.opened.size(), 3u + 64u);
  EXPECT_EQ(st.lines.back(),
            "No TFTP data port could be bound on 10.0.0.5 after 64 tries: Address already in use");
}

TEST(MainStage, EmptyOrMissingImageGivesOne) {
  Stage st(0);
  EXPECT_EQ(st.Run(), kMainImageUnreadable);
  EXPECT_TRUE(st.net.opened.empty());
  st.target.imagePath = st.dir.File("missing.bin");
  EXPECT_EQ(st.Run(), kMainImageUnreadable);
}

TEST(MainStage, AckFromAStrangerMovesNothing) {
  Stage st(3000);
  st.peer.strangerAck = true;  // another host ACKs the next block before the boot loader does
  EXPECT_EQ(st.Run(), kMainServed);
  EXPECT_EQ(st.peer.image, st.image);
  EXPECT_EQ(st.peer.repeats, 0);
  int unknownTid = 0;
  for (const auto& s : st.net.sent) {
    if (s.to == Endpoint{kPj, 4444}) {
      EXPECT_EQ(Bytes(s.data.begin(), s.data.begin() + 4), (Bytes{0, 5, 0, 5}));
      ++unknownTid;
    }
  }
  EXPECT_EQ(unknownTid, 5);  // the stage ends before the stranger's last datagram is read
}

TEST(MainStage, ShortRequestCarriesNoBytesOfAnEarlierDatagram) {
  Stage st(100);
  st.peer.answerMagic = false;
  st.peer.requestLength = 240;
  Bytes junk(700, 0xEE);
  st.net.onIdle = [&](int cycle) {
    if (cycle == 1) st.net.Deliver(67, {kPj, 68}, junk);  // a stray datagram fills the buffer
    if (cycle == 2) st.peer.SendRequest();
  };
  EXPECT_EQ(st.Run(), kMainServed);
  ASSERT_EQ(st.peer.replies.size(), 1u);
  const Bytes& reply = st.peer.replies[0].data;
  for (std::size_t i = 240; i < 300; ++i) EXPECT_EQ(reply[i], 0) << "byte " << i;
}

TEST(MainStage, WrongRequestOnTheServerPortGetsOnlyRrq) {
  Stage st(100);
  st.peer.answerMagic = false;
  st.net.onIdle = [&, first = true](int) mutable {
    if (first) st.net.Deliver(69, {kPj, 3333}, Bytes{0, 2, 'x', 0, 'o', 0});
    if (!first) st.Abort();
    first = false;
  };
  EXPECT_EQ(st.Run(), kMainStopped);
  ASSERT_EQ(st.peer.errors.size(), 1u);
  EXPECT_EQ(st.peer.errors[0].to, (Endpoint{kPj, 3333}));
  EXPECT_EQ(st.peer.errors[0].data, BuildError(4, "Only RRQ is supported!"));
}

TEST(MainStage, ReadRequestWithoutBootpStillServesAndKeepsWaking) {
  Stage st(1500);
  st.peer.answerMagic = false;
  st.peer.dropAcks = 1;
  st.net.onIdle = [&](int cycle) {
    if (cycle == 1) st.peer.SendRrq();
  };
  EXPECT_EQ(st.Run(), kMainServed);
  EXPECT_EQ(st.peer.image, st.image);
  EXPECT_GE(st.peer.magic, 3) << "no BOOTP answered: the Magic packet goes on in idle cycles";
}

TEST(MainStage, SilentReadRequestWithoutBootpTimesOut) {
  Stage st(1000);
  st.peer.answerMagic = false;
  st.peer.stopAtBlock = 1;  // takes block 1, then never answers again
  st.net.waitLimit = 1000;  // resending for ever would end here, as a failure
  st.net.onIdle = [&](int cycle) {
    if (cycle == 1) st.peer.SendRrq();
  };
  EXPECT_EQ(st.Run(), kMainStopped);
  // One idle cycle before the request, then 131 without the transfer moving on; the
  // resends every second idle cycle do not restart that count.
  EXPECT_EQ(st.net.idleCycles, 1 + 131);
  EXPECT_EQ(st.peer.repeats, 65);
  EXPECT_EQ(st.lines, std::vector<std::string>{"Waiting update Main firmware packet timeout"});
  EXPECT_EQ(st.net.openSockets, 0);
}

TEST(MainStage, EmptyDatagramsOnEveryPortMoveNothing) {
  Stage st(1000);
  st.peer.answerMagic = false;
  st.net.onIdle = [&](int cycle) {
    if (cycle == 1) {
      st.net.Deliver(67, {kPj, 68}, {});
      st.net.Deliver(69, {kPj, 3333}, {});
    }
    if (cycle == 2) st.peer.SendRequest();
  };
  bool emptyOnData = false;
  st.net.onSend = [&, inner = st.net.onSend](const FakeNetwork::Sent& s) {
    if (s.fromPort >= 32768 && !emptyOnData) {
      emptyOnData = true;  // from the transfer's own peer, ahead of its ACK
      st.net.Deliver(s.fromPort, st.peer.tid, {});
    }
    inner(s);
  };
  EXPECT_EQ(st.Run(), kMainServed);
  EXPECT_TRUE(emptyOnData);
  EXPECT_EQ(st.peer.image, st.image);
  EXPECT_EQ(st.peer.repeats, 0);
  EXPECT_EQ(st.peer.replies.size(), 1u);
  // The empty datagram on the server port is no read request, and is told so.
  ASSERT_EQ(st.peer.errors.size(), 1u);
  EXPECT_EQ(st.peer.errors[0].to, (Endpoint{kPj, 3333}));
  EXPECT_EQ(st.peer.errors[0].data, BuildError(4, "Only RRQ is supported!"));
}

TEST(MainStage, NewReadRequestRestartsFromANewPort) {
  Stage st(5000);
  bool restarted = false;
  st.net.onSend = [&, inner = st.net.onSend](const FakeNetwork::Sent& s) {
    inner(s);
    if (!restarted && st.peer.dataSeen == 3) {
      restarted = true;
      st.peer.tid = {kPj, 2002};
      st.peer.SendRrq();
    }
  };
  EXPECT_EQ(st.Run(), kMainServed);
  EXPECT_EQ(st.peer.transfers, 2);
  EXPECT_EQ(st.peer.image, st.image);
}

// The boot loader's repeated read request crosses our resend of block 1: it has taken the
// first data port already and refuses any other, so block 1 must come again from that port.
TEST(MainStage, RepeatedReadRequestBeforeTheFirstAckKeepsTheDataPort) {
  for (const bool fromAnotherPort : {false, true}) {
    SCOPED_TRACE(fromAnotherPort ? "repeated from another port" : "repeated from the same port");
    Stage st(3000);
    st.peer.keepFirstPort = !fromAnotherPort;
    bool repeated = false;
    st.net.onSend = [&, inner = st.net.onSend](const FakeNetwork::Sent& s) {
      const bool firstBlock = s.data.size() >= 4 && s.data[1] == 3 && s.data[3] == 1 && st.peer.dataSeen == 0;
      inner(s);
      if (firstBlock && !repeated) {
        repeated = true;
        if (fromAnotherPort) st.peer.tid = {kPj, 2002};  // a restarted boot loader: a new transfer
        st.peer.SendRrq();
      }
    };
    EXPECT_EQ(st.Run(), kMainServed);
    EXPECT_EQ(st.peer.image, st.image);
    EXPECT_EQ(st.peer.strays, 0);
    EXPECT_EQ(st.peer.transfers, fromAnotherPort ? 2 : 1);
    ASSERT_FALSE(st.progress.empty());
    EXPECT_EQ(st.progress.back(), 100u);
  }
}

// Other hosts on the projector's segment. The stage serves the projector's address alone;
// what others send changes nothing and keeps no clock from running.
const Endpoint kStranger{::inet_addr("10.0.0.9"), 5000};
const std::string kStrangerLine = "Ignored a TFTP read request from 10.0.0.9: only the projector 10.0.0.2 is served";

Bytes ReadRequest() {
  static const char kRrq[] = "\0\1firmware.bin\0octet";
  return Bytes(kRrq, kRrq + sizeof kRrq);
}

TEST(MainStage, AnotherHostsReadRequestGetsNothingAndTakesNothing) {
  for (const bool midTransfer : {false, true}) {
    SCOPED_TRACE(midTransfer ? "in the middle of the transfer" : "before the boot loader asks");
    Stage st(5000);
    st.peer.answerMagic = midTransfer;
    if (!midTransfer) {
      // The stranger asks at once; the boot loader wakes a second later.
      st.net.DeliverAt(st.net.NowUs(), 69, kStranger, ReadRequest());
      st.net.DeliverAt(st.net.NowUs() + 1000000, 67, {kPj, 68}, st.peer.Request());
    }
    int strangerRequests = 0;
    st.net.onSend = [&, inner = st.net.onSend](const FakeNetwork::Sent& s) {
      inner(s);
      if (midTransfer && st.peer.dataSeen == 3 && strangerRequests == 0) {
        ++strangerRequests;  // twice, from two ports: one line all the same
        st.net.Deliver(69, kStranger, ReadRequest());
        st.net.Deliver(69, {kStranger.address, 5001}, ReadRequest());
      }
    };
    EXPECT_EQ(st.Run(), kMainServed);
    EXPECT_EQ(st.peer.image, st.image);
    EXPECT_EQ(st.peer.transfers, 1) << "the boot loader's transfer never restarted";
    for (const auto& sent : st.net.sent) EXPECT_NE(sent.to.address, kStranger.address);
    EXPECT_EQ(st.progress.back(), 100u);
    const auto debug = st.h.debug.Lines();
    EXPECT_EQ(std::count(debug.begin(), debug.end(), kStrangerLine), 1);
    EXPECT_EQ(st.lines, std::vector<std::string>{"Startup Main firmware update process..."})
        << "not in the window's log";
  }
}

TEST(MainStage, StrangersAreSaidUpToALimitThenOnce) {
  Stage st(1000);
  st.peer.answerMagic = false;
  const std::uint32_t limit = Probe(st.h.updater).settings().strangersLogged;
  for (std::uint32_t i = 0; i < limit + 5; ++i) {
    st.net.DeliverAt(st.net.NowUs() + 1000 * i, 69, {htonl(0x0A000100u + i), 7000}, ReadRequest());
  }
  st.net.DeliverAt(st.net.NowUs() + 1000000, 67, {kPj, 68}, st.peer.Request());
  EXPECT_EQ(st.Run(), kMainServed);
  const auto debug = st.h.debug.Lines();
  ASSERT_GE(debug.size(), limit + 1);
  EXPECT_EQ(debug[0], "Ignored a TFTP read request from 10.0.1.0: only the projector 10.0.0.2 is served");
  EXPECT_EQ(std::count_if(debug.begin(), debug.end(),
                          [](const std::string& l) { return l.rfind("Ignored a TFTP read request", 0) == 0; }),
            static_cast<long>(limit));
  EXPECT_EQ(std::count(debug.begin(), debug.end(), "Read requests from further hosts are ignored without a line"), 1);
}

struct NoiseCase {
  const char* name;
  bool bootLoader;            // false: nothing answers the Magic packet
  std::uint64_t endsAfterUs;  // from the last accepted datagram, or from the start
  std::vector<std::string> lines;
};
TESSALY_PRINT_PARAM(NoiseCase, name)

class MainStageNoise : public ::testing::TestWithParam<NoiseCase> {};

// One junk byte to ports 67 and 69 every 0.3 s: each wakes the wait, none moves a clock.
TEST_P(MainStageNoise, JunkEveryThreeTenthsStopsNoClock) {
  const NoiseCase& c = GetParam();
  Stage st(5000);
  st.peer.answerMagic = c.bootLoader;
  st.peer.stopAtBlock = 5;  // silent once block 5 has come
  const std::uint64_t start = st.net.NowUs();
  for (std::uint64_t i = 1; i <= 300; ++i) {
    st.net.DeliverAt(start + 300000 * i, 67, {kStranger.address, 68}, Bytes{0x01});
    st.net.DeliverAt(start + 300000 * i, 69, kStranger, Bytes{0x7F});
  }
  std::uint64_t block5 = 0;
  int magic = 0;
  st.net.onSend = [&, inner = st.net.onSend](const FakeNetwork::Sent& s) {
    if (s.fromPort == 9) ++magic;
    if (s.data.size() >= 4 && s.data[1] == 3 && s.data[3] == 5 && block5 == 0) block5 = st.net.NowUs();
    inner(s);
  };
  EXPECT_EQ(st.Run(), kMainStopped);
  EXPECT_EQ(st.lines, c.lines);
  if (c.bootLoader) {
    ASSERT_NE(block5, 0u);
    EXPECT_EQ(st.net.NowUs() - block5, c.endsAfterUs);
    EXPECT_EQ(st.peer.repeats, 5) << "block 5 again every second";
  } else {
    EXPECT_EQ(st.net.NowUs() - start, c.endsAfterUs);
    EXPECT_EQ(magic, 132) << "the Magic packet every half second";
  }
  EXPECT_EQ(st.net.openSockets, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, MainStageNoise,
                         ::testing::Values(NoiseCase{"boot_loader_silent_after_block_5",
                                                     true,
                                                     5500000,
                                                     {"Startup Main firmware update process..."}},
                                           NoiseCase{"no_boot_loader",
                                                     false,
                                                     65500000,
                                                     {"Waiting update Main firmware packet timeout"}}),
                         [](const ::testing::TestParamInfo<NoiseCase>& p) { return std::string(p.param.name); });

// The boot loader's own retry: after about 4 s of silence a new read request from a new
// port, while junk goes on arriving. It restarts the transfer, which then completes.
TEST(MainStage, RetryFromANewPortAfterFourSecondsOfSilenceIsServed) {
  UpdaterSettings oneDataPort;
  oneDataPort.dataPortCount = 1;  // the retry's transfer on the same data port as the first
  Stage st(5000, oneDataPort);
  st.peer.stopAtBlock = 3;
  const std::uint64_t start = st.net.NowUs();
  for (std::uint64_t i = 1; i <= 100; ++i) st.net.DeliverAt(start + 300000 * i, 69, kStranger, Bytes{0x7F});
  std::uint64_t silentFrom = 0;
  st.net.onSend = [&, inner = st.net.onSend](const FakeNetwork::Sent& s) {
    inner(s);
    if (st.peer.silent && silentFrom == 0) silentFrom = st.net.NowUs();
  };
  st.net.onIdle = [&](int) {
    if (silentFrom == 0 || !st.peer.silent || st.net.NowUs() - silentFrom < 4000000) return;
    st.peer.silent = false;
    st.peer.stopAtBlock = 0;
    st.peer.tid = {kPj, 2002};
    st.peer.SendRrq();
  };
  EXPECT_EQ(st.Run(), kMainServed);
  EXPECT_EQ(st.peer.transfers, 2);
  EXPECT_EQ(st.peer.image, st.image);
  EXPECT_EQ(st.progress.back(), 100u);
}

TEST(MainStage, BootpFloodIsAnsweredAtAPaceAndSaidOnce) {
  Stage st(3000);
  st.peer.answerMagic = false;
  st.peer.rrqAfterReply = false;
  const std::uint64_t start = st.net.NowUs();
  for (std::uint64_t i = 0; i < 2000; ++i) st.net.DeliverAt(start + 500 * i, 67, {0, 68}, st.peer.Request());
  st.net.DeliverAt(start + 1500000, 69, st.peer.tid, ReadRequest());
  std::vector<std::uint64_t> replies;
  st.net.onSend = [&, inner = st.net.onSend](const FakeNetwork::Sent& s) {
    if (s.fromPort == 67) replies.push_back(st.net.NowUs());
    inner(s);
  };
  EXPECT_EQ(st.Run(), kMainServed);
  EXPECT_EQ(st.peer.image, st.image);
  EXPECT_EQ(replies, (std::vector<std::uint64_t>{start, start + 250000, start + 500000, start + 750000}));
  EXPECT_EQ(st.lines, std::vector<std::string>{"Startup Main firmware update process..."});
}

// A Cancel while the stage waits for a boot loader that says nothing: the stage ends at
// once, on the loop's clock as it stands, and nothing more goes out.
TEST(MainStage, CancelWhileWaitingEndsAtOnceAndSendsNothingMore) {
  for (const bool bootLoaderAnswers : {false, true}) {
    SCOPED_TRACE(bootLoaderAnswers ? "silent after block 3" : "no boot loader");
    Stage st(5000);
    st.peer.answerMagic = bootLoaderAnswers;
    st.peer.stopAtBlock = 3;
    int result = -100;
    int doneCalls = 0;
    st.stage = StartMainStage(SessionStageContext(st.session(), st.loop), st.net, st.target, {}, [&](int r) {
      result = r;
      ++doneCalls;
    });
    const auto waiting = [&] {
      if (bootLoaderAnswers) return st.peer.silent && st.net.Waiting();
      return st.net.idleCycles == 3 && st.net.Waiting();
    };
    ASSERT_TRUE(st.loop.RunUntil(waiting));
    const std::uint64_t at = st.loop.NowUs();
    const std::size_t sent = st.net.sent.size();
    const int idle = st.net.idleCycles;
    st.stage->Cancel();
    EXPECT_FALSE(st.net.Waiting());
    EXPECT_EQ(st.net.openSockets, 0) << "the ports are free when Cancel returns";
    EXPECT_EQ(doneCalls, 0) << "the end is reported in a handler of its own";
    st.loop.RunReady();
    EXPECT_EQ(doneCalls, 1);
    EXPECT_EQ(result, kMainStopped);
    EXPECT_EQ(st.loop.NowUs(), at) << "no wait ran out first";
    st.stage->Cancel();  // a second one changes nothing
    st.loop.Advance(70'000'000);  // past every time-out the stage had
    EXPECT_EQ(doneCalls, 1);
    EXPECT_EQ(st.net.sent.size(), sent);
    EXPECT_EQ(st.net.idleCycles, idle);
    std::vector<std::string> lines{kFailedLine};
    if (bootLoaderAnswers) lines.insert(lines.begin(), "Startup Main firmware update process...");
    EXPECT_EQ(st.h.LogTexts(), lines);
  }
}

// A Cancel from the stage's own callback, in the middle of a turn: nothing goes out after it.
TEST(MainStage, CancelFromAProgressReportSendsNothingMore) {
  Stage st(5000);
  std::size_t sentAtCancel = 0;
  st.onProgress = [&](std::uint32_t p) {
    if (p == 0 || sentAtCancel != 0) return;
    sentAtCancel = st.net.sent.size();
    st.stage->Cancel();
  };
  EXPECT_EQ(st.Run(), kMainStopped);
  EXPECT_NE(sentAtCancel, 0u);
  EXPECT_EQ(st.net.sent.size(), sentAtCancel);
  EXPECT_EQ(st.progress, std::vector<std::uint32_t>{10});
  EXPECT_EQ(st.net.openSockets, 0);
}

// Runs `work` on the loop and waits for it; false when it did not run within 10 s.
bool OnLoop(UpdateLoop& loop, std::function<void()> work) {
  auto ran = std::make_shared<std::promise<void>>();
  std::future<void> finished = ran->get_future();
  loop.Post([work = std::move(work), ran] {
    work();
    ran->set_value();
  });
  return finished.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

// The system's network on the update loop, over loopback: a stage waiting for a boot
// loader that never answers ends as soon as it is cancelled, not when its wait runs out.
TEST(MainStageThreaded, CancelEndsAWaitingStageOnTheRealNetwork) {
  using namespace std::chrono_literals;
  const std::uint32_t lo = ::inet_addr("127.0.0.1");
  TempDir dir;
  Harness h;
  UpdaterSettings settings;
  settings.broadcastAddress = lo;
  settings.selectWaitUs = 30'000'000;  // one wait lasts far longer than the deadline below
  MainStageTarget target;
  target.mac = kFF;
  target.localAddress = lo;
  target.projectorAddress = lo;
  target.imagePath = dir.Write("main.bin", Pattern(3000));
  std::unique_ptr<UpdateLoop> loop = CreateUpdateLoop();
  std::unique_ptr<DatagramNetwork> net = CreateSystemDatagramNetwork(*loop);
  std::unique_ptr<DatagramNetwork> peerNet = CreateSystemDatagramNetwork(*loop);
  std::unique_ptr<DatagramSocket> bootLoader;  // where the Magic packet goes
  std::unique_ptr<RunningStage> stage;
  std::promise<int> ended;
  std::future<int> result = ended.get_future();
  std::promise<Bytes> magic;
  std::future<Bytes> magicArrived = magic.get_future();
  // Whatever the end of the test, the loop stops before the sockets and networks go.
  struct StopFirst {
    UpdateLoop& loop;
    ~StopFirst() { loop.Stop(); }
  } stopFirst{*loop};

  ASSERT_TRUE(OnLoop(*loop, [&] {
    std::string error;
    bootLoader = peerNet->Open({lo, 0, false, false}, error);
    MainPorts ports;  // every port the system's choice
    ports.bootp = net->Open({lo, 0, true, false}, error);
    ports.tftp = net->Open({lo, 0, false, false}, error);
    ports.magic = net->Open({lo, 0, true, false}, error);
    if (!bootLoader || !ports.Bound()) {
      ADD_FAILURE() << "cannot bind on loopback: " << error;
      return;
    }
    settings.magicPort = bootLoader->LocalPort();
    peerNet->AsyncWait({bootLoader.get()}, 10'000'000, [&](int ready, const std::vector<bool>&) {
      Bytes packet(700);
      Endpoint from;
      const int length = ready > 0 ? bootLoader->ReceiveFrom(packet.data(), packet.size(), from) : -1;
      packet.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
      magic.set_value(packet);
    });
    StageContext ctx{Probe(h.updater).session().log(), settings, *loop, nullptr, nullptr, [] { return false; }, nullptr};
    stage = StartMainStage(ctx, *net, target, std::move(ports), [&](int r) { ended.set_value(r); });
  }));
  ASSERT_TRUE(stage);
  ASSERT_EQ(magicArrived.wait_for(10s), std::future_status::ready);
  const Bytes packet = magicArrived.get();
  ASSERT_EQ(packet.size(), 30u);
  EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 6), Bytes(6, 0xAA));

  // The stage now waits up to 30 s for a BOOTP request.
  const auto cancelled = std::chrono::steady_clock::now();
  loop->Post([&] { stage->Cancel(); });
  ASSERT_EQ(result.wait_for(2s), std::future_status::ready) << "Cancel did not end the wait";
  EXPECT_LT(std::chrono::steady_clock::now() - cancelled, 2s);
  EXPECT_EQ(result.get(), kMainStopped);
  ASSERT_TRUE(OnLoop(*loop, [&] {
    Bytes more(700);
    Endpoint from;
    EXPECT_EQ(bootLoader->ReceiveFrom(more.data(), more.size(), from), -1) << "a second Magic packet";
    stage.reset();
    bootLoader.reset();
  }));
  loop->Stop();
  EXPECT_TRUE(h.view.PumpUntil([&] { return !h.LogTexts().empty(); }, 5000ms));
  EXPECT_EQ(h.LogTexts(), std::vector<std::string>{kFailedLine});
}

// The whole stage on the update's addresses and file, reporting to the session.
int RunOnSession(Harness& h, ManualLoop& loop, DatagramNetwork& net) {
  const UpdateState& s = Probe(h.updater).state();
  MainStageTarget target;
  target.mac = s.PjMacAddr;
  target.localAddress = s.PcIpAddr.load();
  std::memcpy(&target.projectorAddress, s.PjIpAddr.data(), 4);
  target.imagePath = s.MainFwFile;
  int result = -100;
  int doneCalls = 0;
  auto stage = StartMainStage(SessionStageContext(Probe(h.updater).session(), loop), net, target, {}, [&](int r) {
    result = r;
    ++doneCalls;
  });
  EXPECT_TRUE(loop.RunUntil([&] { return doneCalls > 0; }));
  stage.reset();
  loop.RunReady();
  EXPECT_EQ(doneCalls, 1);
  return result;
}

TEST(UpdateMainFirmwareStage, FailureLineAndStartProgress) {
  TempDir dir;
  Harness h;
  ManualLoop loop;
  FakeNetwork net(loop);
  Probe(h.updater).state().UpdateStage.store(1);
  Probe(h.updater).state().FirmwareSelection.store(MainFw);
  Probe(h.updater).state().MainFwFile = dir.File("missing.bin");
  EXPECT_EQ(RunOnSession(h, loop, net), kMainImageUnreadable);
  EXPECT_EQ(h.LogTexts(), std::vector<std::string>{"Update Main firmware failed"});
  EXPECT_EQ(h.view.Position(Control::UpdateProgBar), 0);
  EXPECT_EQ(h.view.Text(Control::PercentText), "0%");
}

struct WholeBlocksCase {
  const char* name;
  std::uint16_t silentFrom;  // 0: the boot loader acknowledges everything
  int result;
  std::vector<std::string> lines;
  const char* shown;
};
TESSALY_PRINT_PARAM(WholeBlocksCase, name)

class UpdateMainFirmwareWholeBlocks : public ::testing::TestWithParam<WholeBlocksCase> {};

// With a length that is a multiple of 512 the last block is empty: only its
// acknowledgement means the boot loader holds the image.
TEST_P(UpdateMainFirmwareWholeBlocks, SuccessOnlyAtTheEmptyLastBlock) {
  const WholeBlocksCase& c = GetParam();
  TempDir dir;
  Harness h;
  ManualLoop loop;
  FakeNetwork net(loop);
  ScriptedBootLoader peer(net, Probe(h.updater).settings());
  peer.stopAtBlock = c.silentFrom;
  auto& s = Probe(h.updater).state();
  s.UpdateStage.store(1);
  s.FirmwareSelection.store(MainFw);
  s.MainFwFile = dir.Write("m.bin", Pattern(1024));
  s.PcIpAddr.store(kPc);
  s.PjIpAddr = {10, 0, 0, 2};
  EXPECT_EQ(RunOnSession(h, loop, net), c.result);
  EXPECT_EQ(h.LogTexts(), c.lines);
  EXPECT_EQ(h.view.Text(Control::PercentText), c.shown);
  EXPECT_EQ(s.StagesSucceeded.load(), c.result == kMainServed ? MainFw : 0);
  ASSERT_FALSE(peer.replies.empty());
  EXPECT_EQ(Bytes(peer.replies[0].data.begin() + 16, peer.replies[0].data.begin() + 20), (Bytes{10, 0, 0, 2}));
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateMainFirmwareWholeBlocks,
                         ::testing::Values(WholeBlocksCase{"acknowledged",
                                                           0,
                                                           kMainServed,
                                                           {"Startup Main firmware update process...",
                                                            "Updated Main Firmware has succeeded."},
                                                           "100%"},
                                           WholeBlocksCase{"empty_block_never_acknowledged",
                                                           3,
                                                           kMainStopped,
                                                           {"Startup Main firmware update process...",
                                                            "Update Main firmware failed"},
                                                           "99%"}),
                         [](const ::testing::TestParamInfo<WholeBlocksCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace tessaly::testing
