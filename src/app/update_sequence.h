#pragma once
// "Update Firmware" and "Abort ", and the stages on the update loop.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/update_request.h"
#include "control/control_session.h"
#include "platform/profile.h"
#include "platform/update_loop.h"
#include "session/stage_context.h"
#include "session/update_session.h"
#include "subfw/sub_firmware_file.h"

namespace tessaly {

constexpr const char* kAbortQuestion =
    "Firmware updating in progress.\n"
    "The firmware on the board will be damaged if you presses abort button.\n"
    "Do you still want to abort progress?";
constexpr const char* kCloseQuestion =
    "Firmware updating in progress.\n"
    "The firmware on the board will be damaged if you exit.\n"
    "Do you still want to exit?";

// Every front end's check of the files an update sends, before anything goes to the
// projector: each named file opens and holds something to send, and the Sub image's facts
// are read into `info`. With both files named, a Sub image of no known model is refused
// here: the Sub stage could never take it, and the Main firmware would be written for
// nothing. False, with the reason logged.
bool CheckUpdateFiles(const std::string& mainFile, const std::string& subFile, MessageLog& log, SubFwInfo& info);
// Every front end's check of a projector address: a dotted IPv4 address only, on every
// path ("192.168.0.300" would be read as 192.168.0.44, and the boot loader handed an
// address nobody typed). False, with the reason logged; `bytes` gets the address.
bool CheckProjectorAddress(const std::string& text, MessageLog& log, std::array<std::uint8_t, 4>& bytes);

// The stages an update runs, each started on the loop with its context: it reports how it
// ended once through `done`, posted on the loop, and logs its own failures. PrepareMainFirmware binds the Main stage's ports before the projector is
// switched into download mode; false when it could not (it says why). Releasing is for
// every end of a session.
using StageRoutine = std::function<std::unique_ptr<RunningStage>(StageContext, std::function<void(StageEnd)> done)>;
struct StageRoutines {
  StageRoutine UpdateMainFirmware;
  StageRoutine SendSubFirmware;
  std::function<bool()> PrepareMainFirmware;
};

class UpdateSequence {
 public:
  // `firewallGate`: true when the boot loader's requests can reach this program; false
  // after it said why. Asked before anything is served on the manual path.
  UpdateSequence(UpdateSession& session, UpdateLoop& loop, Profile& profile, ControlSession& control,
                 SubFwInfo& subInfo, StageRoutines stages, std::function<bool()> firewallGate = nullptr);
  ~UpdateSequence();

  // The front end's thread. Checks the request and starts the update: the connection is
  // opened on the loop. False when it was refused (the lines say why) or the last
  // update's stages still run.
  bool Start(const UpdateRequest& request);
  // The loop's thread: the operator's Abort, asked and answered before it came here.
  void AbortOnLoop();

  // Begin a stage on the loop; any thread.
  void StartMainStage();
  void StartSubStage();
  // The loop's thread: the stop request cancels the stages and the restart wait at once.
  void CancelOnLoop();
  // What the reconnection for the Sub stage waits for once the restart wait is over: the
  // gate calls `begin` on the loop when the Sub stage may begin. None: it begins at once.
  // Before the first update.
  using SubStageGate = std::function<void(std::function<void()> begin)>;
  void SetSubStageGate(SubStageGate gate) { subGate_ = std::move(gate); }

 private:
  // The restart wait is over: reconnects for the Sub stage, unless the update was stopped
  // or has ended since. While a question is open it waits for the answer.
  void ConnectForSubStage();
  StageContext Context();
  void RunMainStage();
  void MainStageEnded(StageEnd end);
  void RunSubStage();
  void SubStageEnded(StageEnd end);
  void StepBegan(UpdateStep step);

  UpdateSession& session_;
  UpdateState& state_;
  MessageLog& log_;
  UpdateLoop& loop_;
  Profile& profile_;
  ControlSession& control_;
  SubFwInfo& subInfo_;
  StageRoutines stages_;
  std::function<bool()> firewallGate_;
  SubStageGate subGate_;
  std::atomic<bool> manual_{false};
  // The loop's thread only. Set when the restart wait ends; taken by the reconnection.
  bool reconnectDue_ = false;
  std::unique_ptr<RunningStage> mainStage_;
  std::unique_ptr<RunningStage> subStage_;
  std::unique_ptr<LoopTimer> restartWait_;
};

}  // namespace tessaly
