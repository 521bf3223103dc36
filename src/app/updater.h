#pragma once
// Everything that lives for the whole run, created before the window and released
// after it: the update state, the log, the session operations, the workers, the
// window logic. A front end (the Qt window, the command line, a test) creates one,
// attaches its view, calls Start, and calls Shutdown before its view goes away.

#include <memory>
#include <mutex>

#include "app/message_log.h"
#include "bootloader/main_firmware.h"
#include "control/control_session.h"
#include "platform/datagram.h"
#include "platform/tcp_client.h"
#include "subfw/sub_firmware_file.h"
#include "update/update_sequence.h"
#include "app/sorvi_form.h"
#include "update/settings.h"
#include "update/ui_queue.h"
#include "update/update_session.h"
#include "update/update_state.h"

namespace tessaly {

class Updater {
 public:
  Updater(FormPlatform platform, UpdaterSettings settings = {}, StageRoutines stages = {});
  ~Updater();
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // Creates the control connection and the update sequence for `view`.
  void AttachView(View& view);
  // Window creation (FormCreate). Runs on the view's thread.
  void Start();
  // Raises the stop request, ends and joins every worker and stops all work for the
  // view. Safe to call more than once.
  void Shutdown();

  TSorviForm& form() { return form_; }
  UpdateState& state() { return state_; }
  UpdateSession& session() { return session_; }
  MessageLog& log() { return log_; }
  Workers& workers() { return session_.workers(); }
  UiQueue& ui() { return ui_; }
  const UpdaterSettings& settings() const { return settings_; }
  ControlSession& control() { return *control_; }
  UpdateSequence& sequence() { return *sequence_; }
  TcpClient& client() { return *client_; }
  SubFwInfo& subInfo() { return subInfo_; }

 private:
  void ReleasePreparedPorts();

  UpdaterSettings settings_;
  UpdateState state_;
  UiQueue ui_;
  MessageLog log_;
  UpdateSession session_;
  SubFwInfo subInfo_;
  FormPlatform platform_;
  StageRoutines stages_;
  TSorviForm form_;
  std::unique_ptr<DatagramNetwork> network_;
  std::unique_ptr<TcpClient> client_;
  std::unique_ptr<ControlSession> control_;
  std::unique_ptr<UpdateSequence> sequence_;
  // Bound when the connection is made, taken by the Main worker, released by every end
  // of a session.
  std::mutex preparedMutex_;
  MainPorts prepared_;
};

}  // namespace tessaly
