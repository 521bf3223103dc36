#pragma once
// A simulated projector of the fleet tests, started in a far namespace with both images of
// the test's folder.

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace tessaly::testing {

// Listens on `address` as a QMB; `extra` adds fault options. Wait for its line
// "listening on ADDRESS:20554, model QMB" before using it.
inline std::unique_ptr<ChildProcess> StartFleetProjector(pid_t farNamespace, const std::string& address,
                                                         const TempDir& dir, const std::vector<std::string>& extra) {
  std::vector<std::string> args{"--net=/proc/" + std::to_string(farNamespace) + "/ns/net",
                                TESSALY_PJSIM_PATH,
                                "--listen",
                                address,
                                "--model",
                                "QMB",
                                "--burn-ms",
                                "300",
                                "--image",
                                dir.File("main.bin"),
                                "--sub-image",
                                dir.File("sub.brec2")};
  args.insert(args.end(), extra.begin(), extra.end());
  return std::make_unique<ChildProcess>("/usr/bin/nsenter", args, dir.path().string());
}

}  // namespace tessaly::testing
