#include "sub_receiver.h"

#include <utility>

namespace tessaly::pjsim {

sub::Config SubConfigFrom(const SimOptions& options) {
  sub::Config c;
  c.expected_image = options.sub_expected_image;
  c.burn_time = options.burn_time;
  c.ack_split_gap = options.sub_ack_split_gap;
  c.burn_report_split_gap = options.sub_burn_report_split_gap;
  c.bad_ack_at = options.sub_bad_ack_at;
  c.split_ack = options.sub_split_ack;
  c.split_burn_report = options.sub_split_burn_report;
  c.wrong_checksum = options.sub_wrong_checksum;
  c.close_upper = options.sub_close_upper;
  c.close_mid_block = options.sub_close_mid_block;
  return c;
}

SubReceiver::SubReceiver(sub::Config config, std::shared_ptr<ReportStore> store, std::shared_ptr<ControlHooks> observer,
                         EventSink events)
    : config_(std::move(config)),
      store_(store ? std::move(store) : std::make_shared<ReportStore>()),
      observer_(std::move(observer)),
      events_(std::move(events)) {}

void SubReceiver::OnSubStream(Channel& channel) {
  // A stream whose connection is still open ends here: the new one takes over.
  if (machine_) EndInterval(sub::Clock::now());
  machine_.emplace(config_, sub::Clock::now());
  connection_ = channel.connection();
  ++run_;
  Event("connection " + std::to_string(connection_) + ": Sub firmware stream begins");
  Publish();
}

void SubReceiver::OnSubStreamData(std::span<const std::uint8_t> bytes, Channel& channel) {
  if (!machine_ || channel.connection() != connection_) {
    // Not ours to parse; keep it visible all the same.
    channel.RecordMessage("SUB-DATA", bytes, false);
    return;
  }
  const sub::Clock::time_point now = sub::Clock::now();
  const sub::Output out = machine_->Feed(bytes, now);
  RecordOnChannel(out, channel);
  TrackByte(now);
  Publish();
  Perform(out.actions, channel);
}

void SubReceiver::OnConnectionEnded(const ConnectionRecord& connection) {
  if (!machine_ || connection.index != connection_) return;
  // Stop() ends the connection too: that is no fault of the updater's.
  if (stopping() || connection.end_reason == "stopped") {
    machine_->Stopped();
    EndInterval(sub::Clock::now());
    Publish();
    return;
  }
  const sub::Output out = machine_->End();
  RecordDirectly(out);
  EndInterval(sub::Clock::now());
  Publish();
  const SubReceiverReport r = machine_->report();
  Event("connection " + std::to_string(connection_) + ": Sub exchange " + std::string(SubPhaseName(r.phase)) + " (" +
        r.where + ")");
}

void SubReceiver::Stop() {
  {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    stopping_ = true;
  }
  stop_changed_.notify_all();
}

bool SubReceiver::stopping() const {
  std::lock_guard<std::mutex> lock(stop_mutex_);
  return stopping_;
}

bool SubReceiver::Pause(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(stop_mutex_);
  if (duration.count() <= 0) return !stopping_;
  return !stop_changed_.wait_for(lock, duration, [this] { return stopping_; });
}

void SubReceiver::Perform(const std::vector<sub::Action>& actions, Channel& channel) {
  const std::string prefix = "connection " + std::to_string(connection_) + ": ";
  for (const sub::Action& a : actions) {
    switch (a.kind) {
      case sub::Action::Kind::kSend:
        if (!channel.Send(a.bytes)) {
          Event(prefix + "could not send the " + a.what);
          return;
        }
        Event(prefix + "sent " + a.what + " (" + std::to_string(a.bytes.size()) + " bytes)");
        machine_->Sent(a.mark);
        Publish();
        break;
      case sub::Action::Kind::kWait:
        Event(prefix + a.what + " for " + std::to_string(a.duration.count()) + " ms");
        if (!Pause(a.duration)) {
          machine_->Stopped();
          Publish();
          return;
        }
        break;
      case sub::Action::Kind::kClose:
        Event(prefix + a.what);
        channel.Close();
        break;
    }
  }
}

void SubReceiver::RecordOnChannel(const sub::Output& out, Channel& channel) {
  for (const sub::Note& n : out.messages) channel.RecordMessage(n.name, n.bytes, n.valid);
  for (const std::string& v : out.violations) channel.RecordViolation(v);
}

void SubReceiver::RecordDirectly(const sub::Output& out) {
  if (out.messages.empty() && out.violations.empty()) return;
  std::vector<Message> messages;
  std::vector<Violation> violations;
  for (const sub::Note& n : out.messages) {
    messages.push_back(Message{connection_, Step::kSubStream, n.name, n.bytes, n.valid});
  }
  for (const std::string& v : out.violations) violations.push_back(Violation{connection_, Step::kSubStream, v});
  store_->Change([&](Report& r) {
    r.messages.insert(r.messages.end(), messages.begin(), messages.end());
    r.violations.insert(r.violations.end(), violations.begin(), violations.end());
  });
  if (!observer_) return;
  for (const Message& m : messages) observer_->OnMessage(m);
  for (const Violation& v : violations) observer_->OnViolation(v);
}

void SubReceiver::TrackByte(sub::Clock::time_point at) {
  last_byte_ = at;
  const SubPhase phase = machine_->report().phase;
  store_->Change([&](Report& r) {
    if (r.sub_received.empty() || r.sub_received.back().run != run_) {
      r.sub_received.push_back(SubInterval{run_, connection_, at, std::nullopt, SubPhase::kOff});
    }
    // A completed exchange ends with its last byte, not with its connection.
    SubInterval& i = r.sub_received.back();
    if (!i.to && phase == SubPhase::kClosed) {
      i.to = at;
      i.end = phase;
    }
  });
}

void SubReceiver::EndInterval(sub::Clock::time_point at) {
  const SubPhase phase = machine_->report().phase;
  store_->Change([&](Report& r) {
    if (r.sub_received.empty()) return;
    SubInterval& i = r.sub_received.back();
    if (i.run != run_ || i.to) return;
    // The close record's answer comes after its last byte: a complete exchange ends there.
    i.to = phase == SubPhase::kClosed ? last_byte_ : at;
    i.end = phase;
  });
}

void SubReceiver::Publish() {
  if (!machine_) return;
  SubReceiverReport copy = machine_->report();
  copy.run = run_;
  copy.connection = connection_;
  store_->Change([&](Report& r) { r.sub = std::move(copy); });
}

SubReceiverReport SubReceiver::report() const {
  SubReceiverReport out;
  store_->Read([&](const Report& r) { out = r.sub; });
  return out;
}

bool SubReceiver::WaitFor(const std::function<bool(const Report&)>& condition,
                          std::chrono::milliseconds timeout) const {
  return store_->WaitFor(condition, timeout);
}

void SubReceiver::Event(const std::string& text) {
  if (events_) events_(text);
}

}  // namespace tessaly::pjsim
