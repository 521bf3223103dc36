#pragma once
// One Sub firmware update through the core, against the simulated projector on loopback,
// with its events recorded in order.

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "app/update_core.h"
#include "projector_sim.h"
#include "support/fake_stages.h"
#include "support/fake_view.h"
#include "support/fakes.h"
#include "support/recording_events.h"
#include "support/temp_dir.h"

namespace tessaly::testing {

struct SubUpdateRun {
  explicit SubUpdateRun(pjsim::SimOptions o = {}, StageRoutines stages = {}) {
    image.assign(32, 0);
    image[9] = 0x0A;  // QMA, as the simulator answers
    for (std::size_t i = 0; i < 16368 + 500; ++i) image.push_back(static_cast<std::uint8_t>(i * 7));
    o.listen_address = "127.0.0.1";
    o.port = 0;
    o.sub_expected_image = std::make_shared<std::vector<std::uint8_t>>(image);
    sim = std::make_unique<pjsim::ProjectorSim>(o);
    started = sim->Start();
    UpdaterSettings s;
    s.controlPort = sim->port();
    s.subPacketWaitMs = 1;
    s.subRecordWaitMs = 1;
    core = std::make_unique<UpdateCore>(profile, debug, s, std::move(stages));
    core->Attach(thread, events);
    events.answer = [this](Answer a) { core->AnswerQuestion(a); };
  }
  ~SubUpdateRun() { core->Shutdown(); }

  UpdateRequest SubRequest() {
    UpdateRequest request;
    request.projectorAddress = "127.0.0.1";
    request.macAddress = "FF.FF.FF.FF.FF.FF";
    request.subFile = dir.Write("s.brec2", image);
    return request;
  }
  bool Start() { return Start(SubRequest()); }
  bool Start(const UpdateRequest& request) { return core->Start(request); }
  bool Saw(const std::string& event) const {
    return std::find(events.events.begin(), events.events.end(), event) != events.events.end();
  }
  bool PumpUntilSeen(const std::string& event, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    return thread.PumpUntil([&] { return Saw(event); }, timeout);
  }
  bool Ended() const { return !events.events.empty() && events.events.back().rfind("end: ", 0) == 0; }
  bool PumpUntilEnded(std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    return thread.PumpUntil([&] { return Ended(); }, timeout);
  }
  // The log lines among the events, as "info: ..." and "error: ...".
  std::vector<std::string> LogLines() const {
    std::vector<std::string> out;
    for (const std::string& e : events.events) {
      if (e.rfind("info: ", 0) == 0 || e.rfind("error: ", 0) == 0) out.push_back(e);
    }
    return out;
  }

  TempDir dir;
  std::vector<std::uint8_t> image;
  std::unique_ptr<pjsim::ProjectorSim> sim;
  bool started = false;
  MemoryProfile profile;
  RecordingDebugOutput debug;
  FakeView thread;  // only its queue: the core's thread is the test's
  RecordingEvents events;
  std::unique_ptr<UpdateCore> core;
};

}  // namespace tessaly::testing
