#pragma once
// The tests of the core's parts reach them here; no front end does.

#include <memory>

#include "app/update_core.h"
#include "app/updater.h"

namespace tessaly::testing {

struct CoreProbe {
  explicit CoreProbe(UpdateCore& c) : core(c) {}
  explicit CoreProbe(Updater& u) : core(u.core_), form_(&u.form_) {}

  UpdateState& state() const { return core.state_; }
  UpdateSession& session() const { return core.session_; }
  MessageLog& log() const { return core.log_; }
  UiQueue& ui() const { return core.ui_; }
  const UpdaterSettings& settings() const { return core.settings_; }
  ControlSession& control() const { return *core.control_; }
  UpdateSequence& sequence() const { return *core.sequence_; }
  TcpClient& client() const { return *core.client_; }
  SubFwInfo& subInfo() const { return core.subInfo_; }
  UpdateLoop& loop() const { return *core.loop_; }
  TSorviForm& form() const { return *form_; }

  UpdateCore& core;

 private:
  TSorviForm* form_ = nullptr;
};

inline CoreProbe Probe(UpdateCore& core) { return CoreProbe(core); }
inline CoreProbe Probe(Updater& updater) { return CoreProbe(updater); }
inline CoreProbe Probe(const std::unique_ptr<Updater>& updater) { return CoreProbe(*updater); }
inline CoreProbe Probe(Updater* updater) { return CoreProbe(*updater); }
inline CoreProbe Probe(const std::unique_ptr<UpdateCore>& core) { return CoreProbe(*core); }

}  // namespace tessaly::testing
