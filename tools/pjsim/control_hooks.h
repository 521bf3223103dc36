#pragma once
// Extension points of the control service. All calls come from the service thread, one
// connection at a time, and never with a lock held; a hook must not call Stop().
//
// Later parts plug in here:
//  - the boot loader (BOOTP/TFTP over UDP) starts from OnMainDownloadMode;
//  - the Sub firmware receiver (sub_receiver.h) takes the stream from OnSubStream /
//    OnSubStreamData and answers through the Channel.

#include <cstdint>
#include <span>
#include <string>

#include "sim_report.h"

namespace tessaly::pjsim {

// The projector's end of the current connection. Valid only during the hook call.
class Channel {
 public:
  virtual ~Channel() = default;
  virtual int connection() const = 0;
  virtual const std::string& peer() const = 0;  // the updater, "a.b.c.d:port"
  // The projector's end, "a.b.c.d:port"; empty when unknown.
  virtual std::string local() const { return {}; }
  // One write of all bytes; false when the connection has failed.
  virtual bool Send(std::span<const std::uint8_t> bytes) = 0;
  // Ends the connection once the hook returns, as a projector that restarts would.
  virtual void Close() = 0;
  // Into the run's report, at the connection's current step.
  virtual void RecordMessage(std::string name, std::span<const std::uint8_t> bytes, bool valid) = 0;
  virtual void RecordViolation(std::string text) = 0;
};

class ControlHooks {
 public:
  virtual ~ControlHooks() = default;

  // Observation only.
  virtual void OnConnectionAccepted(const ConnectionRecord& connection) { (void)connection; }
  virtual void OnMessage(const Message& message) { (void)message; }
  virtual void OnViolation(const Violation& violation) { (void)violation; }
  virtual void OnConnectionEnded(const ConnectionRecord& connection) { (void)connection; }

  // The Main download-mode acknowledgement has been sent: the main controller now restarts
  // into its boot loader. The control connection stays open unless the hook closes it.
  virtual void OnMainDownloadMode(Channel& channel) { (void)channel; }

  // "sc" has been sent: whatever the updater sends next is the Sub firmware stream.
  virtual void OnSubStream(Channel& channel) { (void)channel; }

  // Each piece of the stream as read from the socket (read boundaries, not records).
  // The default records it as a SUB-DATA message.
  virtual void OnSubStreamData(std::span<const std::uint8_t> bytes, Channel& channel);
};

}  // namespace tessaly::pjsim
