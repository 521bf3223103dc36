#pragma once
// "Update Firmware" and "Abort ", and the two worker threads that run the stages.

#include <functional>

#include "bootloader/adapter_list.h"
#include "control/control_session.h"
#include "platform/profile.h"
#include "subfw/sub_firmware_file.h"
#include "update/update_session.h"
#include "update/workers.h"

namespace tessaly {

constexpr const char* kAbortQuestion =
    "Firmware updating in progress.\n"
    "The firmware on the board will be damaged if you presses abort button.\n"
    "Do you still want to abort progress?";

// The stage routines the workers run: 0 / true for success. Each logs its own failures.
struct StageRoutines {
  std::function<int()> UpdateMainFirmware;
  std::function<bool()> SendSubFirmware;
};

class UpdateSequence {
 public:
  UpdateSequence(UpdateSession& session, View& view, Profile& profile, ControlSession& control, Workers& workers,
                 const AdapterAddressTable& adapterAddresses, SubFwInfo& subInfo, StageRoutines stages);

  // Window's thread.
  void UpdateFwBtnClick();
  void AbortBtnClick();

  void StartMainFwThread();
  void StartSubFwThread();
  // Thread bodies.
  void MainFwThread();
  void SubFwThread();

 private:
  bool CheckFiles();

  UpdateSession& session_;
  UpdateState& state_;
  MessageLog& log_;
  View& view_;
  Profile& profile_;
  ControlSession& control_;
  Workers& workers_;
  const AdapterAddressTable& adapterAddresses_;
  SubFwInfo& subInfo_;
  StageRoutines stages_;
};

}  // namespace tessaly
