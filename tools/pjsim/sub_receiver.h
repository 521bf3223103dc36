#pragma once
// The video processor's Sub firmware receiver on the control connection: after "sc" it
// takes the stream piece by piece (sub::StreamMachine), answers through the connection,
// burns, and keeps its findings in the report (Report::sub). Called on the control
// service's thread; the burn and the split gaps end at once on Stop(). The control
// service's Stop() waits for a hook that is waiting, so stop the receiver first
// (ProjectorSim does).

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "control_hooks.h"
#include "sim_options.h"
#include "sim_report.h"
#include "sub_protocol.h"

namespace tessaly::pjsim {

// The receiver's behaviour as the options ask for it; sub_expected_image as loaded.
sub::Config SubConfigFrom(const SimOptions& options);

class SubReceiver final : public ControlHooks {
 public:
  // One line per answer sent or wait begun; called on the service thread, no lock held.
  using EventSink = std::function<void(const std::string&)>;

  // `store` may be null (the receiver then keeps its own). `observer`, if any, hears of the
  // messages and violations recorded when the connection ends, which no Channel carries.
  explicit SubReceiver(sub::Config config, std::shared_ptr<ReportStore> store = nullptr,
                       std::shared_ptr<ControlHooks> observer = nullptr, EventSink events = nullptr);
  SubReceiver(const SubReceiver&) = delete;
  SubReceiver& operator=(const SubReceiver&) = delete;

  void OnSubStream(Channel& channel) override;
  void OnSubStreamData(std::span<const std::uint8_t> bytes, Channel& channel) override;
  void OnConnectionEnded(const ConnectionRecord& connection) override;

  // Ends a wait under way and skips those to come. Callable from any thread; idempotent.
  void Stop();

  // The latest Sub exchange (Report::sub); run 0 before any.
  SubReceiverReport report() const;
  // Waits until `condition` holds for the whole report, at most `timeout`.
  bool WaitFor(const std::function<bool(const Report&)>& condition, std::chrono::milliseconds timeout) const;
  const std::shared_ptr<ReportStore>& report_store() const { return store_; }

 private:
  // Waits unless Stop() comes first; false when stopping.
  bool Pause(std::chrono::milliseconds duration);
  bool stopping() const;
  void Perform(const std::vector<sub::Action>& actions, Channel& channel);
  void RecordOnChannel(const sub::Output& out, Channel& channel);
  void RecordDirectly(const sub::Output& out);
  void Publish();
  // The timeline's Sub interval: begun by the stream's first byte, ended by its last once
  // the exchange is complete, else by EndInterval (the connection's end, a new stream).
  void TrackByte(sub::Clock::time_point at);
  void EndInterval(sub::Clock::time_point at);
  void Event(const std::string& text);

  const sub::Config config_;
  const std::shared_ptr<ReportStore> store_;
  const std::shared_ptr<ControlHooks> observer_;
  const EventSink events_;

  // The service thread's own.
  std::optional<sub::StreamMachine> machine_;
  int connection_ = 0;
  int run_ = 0;
  sub::Clock::time_point last_byte_{};  // of the current stream

  mutable std::mutex stop_mutex_;
  std::condition_variable stop_changed_;
  bool stopping_ = false;
};

}  // namespace tessaly::pjsim
