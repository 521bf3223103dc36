#pragma once
// An update's machinery for the whole run, with no window. A front end attaches its
// thread and its events, and then speaks to the core only through the face below: it
// starts an update with a request, aborts it, answers the core's questions, asks whether
// firmware is being written, and shuts the core down before either goes away. The core
// speaks back only through UpdateEvents, on the front end's thread.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/keep_awake.h"
#include "app/saved_log.h"
#include "app/update_sequence.h"
#include "bootloader/main_firmware.h"
#include "control/control_session.h"
#include "platform/datagram.h"
#include "platform/debug_output.h"
#include "platform/firewall.h"
#include "platform/profile.h"
#include "platform/tcp_client.h"
#include "platform/update_loop.h"
#include "session/message_log.h"
#include "session/settings.h"
#include "session/ui_queue.h"
#include "session/update_session.h"
#include "session/update_state.h"
#include "subfw/sub_firmware_file.h"

namespace tessaly {

namespace testing {
struct CoreProbe;
}

class UpdateCore {
 public:
  UpdateCore(Profile& profile, DebugOutput& debug, UpdaterSettings settings = {}, StageRoutines stages = {});
  // A core on a loop it shares with other cores (a fleet's units): it adds sockets and
  // timers to the loop, not a thread. Such a core goes only once the loop has stopped.
  UpdateCore(Profile& profile, DebugOutput& debug, UpdateLoop& sharedLoop, UpdaterSettings settings = {},
             StageRoutines stages = {});
  ~UpdateCore();
  UpdateCore(const UpdateCore&) = delete;
  UpdateCore& operator=(const UpdateCore&) = delete;

  // Creates the connection and the sequence for the front end's thread and events.
  void Attach(TaskQueue& queue, UpdateEvents& events);
  // Every update from here on leaves a saved log (app/saved_log.h). The front end's
  // thread, before the first update.
  void EnableSavedLog(SavedLogOptions options = {});
  // What asks the firewall before the projector is switched (the system's by default).
  // Before the first update.
  void SetFirewallCheck(std::unique_ptr<FirewallCheck> check) { firewall_ = std::move(check); }
  // What the reconnection for the Sub stage waits for after the restart wait (a fleet
  // holds its Sub stages until no Main stage is left). Before Attach.
  void SetSubStageGate(UpdateSequence::SubStageGate gate) { subGate_ = std::move(gate); }
  // Where the core's lines for the operator that are not the update's (the PC may sleep)
  // go: standard error by default. Any thread may write. Before the first update.
  void SetWarnings(DebugOutput& warnings) { warnings_ = &warnings; }
  // The boot loader's inbound ports: BOOTP, TFTP and the TFTP data ports.
  static std::vector<PortRange> BootLoaderPorts(const UpdaterSettings& settings);

  // The face. Each call is made on the front end's thread.
  //
  // Checks the request and starts the update; the rest is told through the events. False
  // when it was refused (the lines say why) or the last update's stages still run.
  bool Start(const UpdateRequest& request);
  // The operator's Abort. While firmware is being written the Abort question is asked
  // first, and only a Yes aborts.
  void Abort();
  // The front end wants to close while firmware is being written: the Close question is
  // asked, and a Yes stops the update at once.
  void AskBeforeClosing();
  // Answers the open question (the event QuestionAsked). Answering none does nothing.
  void AnswerQuestion(Answer answer);
  // Firmware is being written into the projector: an Abort or a close must ask first.
  bool FirmwareBeingWritten() const { return state_.UpdateInProgress.load() != 0; }
  // Raises the stop request, ends every stage, stops the loop and all work for the
  // front end; lets the PC sleep again and finishes the saved log. Safe to call more
  // than once; the face does nothing after it.
  void Shutdown();

  // Lines of the front end's own (the firmware search, the files a command line names):
  // written to the update's log, where they keep their place among its lines, the saved
  // log's included.
  MessageLog& log() { return log_; }
  // The saved log of the latest update; empty when none was written.
  std::string LastSavedLogPath() const;

 private:
  friend struct testing::CoreProbe;  // the tests of the parts, never a front end

  UpdateCore(Profile& profile, DebugOutput& debug, std::unique_ptr<UpdateLoop> ownLoop, UpdateLoop* sharedLoop,
             UpdaterSettings settings, StageRoutines stages);
  void Ask(Question which);
  void EndStages();
  void ReleasePreparedPorts();
  bool FirewallLetsBootLoaderIn();
  void SaveLine(LogLevel level, const std::string& text);
  void UpdateBegan();
  void UpdateEnded(UpdateOutcome outcome);

  // The core's own listeners hear every event before the front end does: the saved log
  // and the hold on system sleep follow the update through them alone.
  class Listeners;
  std::unique_ptr<Listeners> listeners_;

  UpdaterSettings settings_;
  // The loop of the core's updates, its own or shared: everything made on it goes before
  // it stops.
  std::unique_ptr<UpdateLoop> ownLoop_;
  UpdateLoop* loop_;
  bool shutDown_ = false;
  UpdateState state_;
  UiQueue ui_;
  MessageLog log_;
  UpdateSession session_;
  SubFwInfo subInfo_;
  Profile& profile_;
  StageRoutines stages_;
  std::unique_ptr<DatagramNetwork> network_;
  std::unique_ptr<FirewallCheck> firewall_;
  std::unique_ptr<TcpClient> client_;
  std::unique_ptr<ControlSession> control_;
  std::unique_ptr<UpdateSequence> sequence_;
  // Bound when the connection is made, taken by the Main stage, released by every end
  // of a session.
  std::mutex preparedMutex_;
  MainPorts prepared_;
  // The question waiting for its answer; the front end's thread.
  std::optional<Question> question_;
  UpdateSequence::SubStageGate subGate_;
  StderrDebugOutput stderr_;
  DebugOutput* warnings_ = &stderr_;
  // Both follow the state above and go before it.
  std::unique_ptr<SavedLog> savedLog_;
  std::unique_ptr<KeepAwake> keepAwake_;
};

}  // namespace tessaly
