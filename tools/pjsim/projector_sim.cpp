#include "projector_sim.h"

namespace tessaly::pjsim {
namespace {

SimOptions WithSubImage(SimOptions options, std::string& error) {
  error = LoadSubImage(options);
  return options;
}

}  // namespace

// The control service's hooks and the boot loader's observer in one: passes everything on
// to the caller's observers, starts the boot loader on the Main command, restarts the
// control service when the boot loader says so, and hands the Sub stream to the receiver.
class ProjectorSim::Wiring final : public ControlHooks, public BootLoaderObserver {
 public:
  Wiring(std::shared_ptr<ControlHooks> control, std::shared_ptr<BootLoaderObserver> boot,
         std::shared_ptr<SubReceiver> sub)
      : control_(control ? std::move(control) : std::make_shared<ControlHooks>()),
        boot_(boot ? std::move(boot) : std::make_shared<BootLoaderObserver>()),
        sub_(std::move(sub)) {}

  // Set once, before the control service starts.
  void Attach(ProjectorSim* sim) { sim_ = sim; }

  void OnConnectionAccepted(const ConnectionRecord& c) override { control_->OnConnectionAccepted(c); }
  void OnMessage(const Message& m) override { control_->OnMessage(m); }
  void OnViolation(const Violation& v) override { control_->OnViolation(v); }
  void OnConnectionEnded(const ConnectionRecord& c) override {
    // The receiver first: what it finds at the end belongs before the end itself.
    sub_->OnConnectionEnded(c);
    control_->OnConnectionEnded(c);
  }
  void OnSubStream(Channel& channel) override {
    control_->OnSubStream(channel);
    sub_->OnSubStream(channel);
  }
  // Not passed on: the observer's default would record every piece a second time.
  void OnSubStreamData(std::span<const std::uint8_t> bytes, Channel& channel) override {
    sub_->OnSubStreamData(bytes, channel);
  }
  void OnMainDownloadMode(Channel& channel) override {
    control_->OnMainDownloadMode(channel);
    BootContext context;
    context.connection = channel.connection();
    context.updater_address = channel.peer();
    context.own_address = channel.local();
    sim_->StartBootLoader(context);
  }

  void OnBootEvent(const std::string& text) override { boot_->OnBootEvent(text); }
  void OnBootViolation(const Violation& v) override { boot_->OnBootViolation(v); }
  void OnRestart(std::chrono::milliseconds delay) override {
    boot_->OnRestart(delay);
    sim_->control_->Restart(delay);
  }

 private:
  const std::shared_ptr<ControlHooks> control_;
  const std::shared_ptr<BootLoaderObserver> boot_;
  const std::shared_ptr<SubReceiver> sub_;
  ProjectorSim* sim_ = nullptr;
};

ProjectorSim::ProjectorSim(SimOptions options, std::shared_ptr<ControlHooks> control_observer,
                           std::shared_ptr<BootLoaderObserver> boot_observer, SubReceiver::EventSink sub_events)
    : options_(WithSubImage(std::move(options), sub_error_)),
      store_(std::make_shared<ReportStore>()),
      sub_(std::make_shared<SubReceiver>(SubConfigFrom(options_), store_, control_observer, std::move(sub_events))),
      wiring_(std::make_shared<Wiring>(std::move(control_observer), std::move(boot_observer), sub_)),
      control_(std::make_unique<ControlService>(options_, wiring_, store_)),
      listener_(options_.magic_port, options_.bootp_client_port, store_) {
  wiring_->Attach(this);
}

ProjectorSim::~ProjectorSim() { Stop(); }

bool ProjectorSim::Start() {
  if (!sub_error_.empty()) return false;
  listener_.Start();
  return control_->Start();
}

void ProjectorSim::Stop() {
  // A burn under way holds the service thread: end it before joining that thread.
  sub_->Stop();
  std::unique_ptr<BootLoader> boot;
  {
    std::lock_guard<std::mutex> lock(boot_mutex_);
    stopping_ = true;
    boot = std::move(boot_);
  }
  // The boot loader first: its restart reaches into the control service.
  if (boot) boot->Stop();
  control_->Stop();
  listener_.Stop();
}

bool ProjectorSim::StartBootLoader(const BootContext& context) {
  std::lock_guard<std::mutex> lock(boot_mutex_);
  if (stopping_) return false;
  if (boot_) boot_->Stop();
  boot_ = std::make_unique<BootLoader>(options_, store_, wiring_);
  return boot_->Start(context);
}

bool ProjectorSim::boot_loader_running() const {
  std::lock_guard<std::mutex> lock(boot_mutex_);
  return boot_ && boot_->running();
}

}  // namespace tessaly::pjsim
